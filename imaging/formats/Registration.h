#pragma once
// The start-up registration table of the image-format library and its
// shut-down order, kept together in one place.

namespace qv {

class TFileFormatList;

/// Registers every extension of the start-up table into List, in the table's order.
void RegisterStartupFormats(TFileFormatList& List);
/// Unregisters in the shut-down order; the registry's own release drops what remains.
/// Raises qv::Exception naming every class of the order that List does not hold (after
/// unregistering all the others).
void UnregisterShutdownFormats(TFileFormatList& List);

} // namespace qv
