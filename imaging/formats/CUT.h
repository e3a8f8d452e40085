#pragma once
// Dr. Halo CUT pictures: 8-bit palette indices in run-length rows, with the
// colours in a companion palette file of the same name.

#include <cstdint>
#include <string>

#include "imaging/ImageLib.h"

namespace qv {

/// Reads Dr. Halo CUT pictures. The palette comes from the ".pal" file beside
/// the picture; without one the picture shows with a 256-level gray palette.
class TCUTGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TCUTGraphic)
public:
    /// Always false: the format has no signature, only its extension selects it.
    bool CanLoadStream(TStream& Stream) const override;
    /// Reads width and height; always true for a stream that holds them.
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    /// Loads the file with the palette file beside it: the extension ".pal" in the
    /// picture extension's own letter case, then in lower, then in upper case.
    void LoadFromFile(const std::string& FileName) override;
    /// Loads from a stream with the palette file named by SetPaletteFile (gray when none).
    void LoadFromStream(TStream& Stream) override;

    /// The palette file stream loads use; empty for the gray palette.
    const std::string& PaletteFile() const { return FPaletteFile; }
    void SetPaletteFile(const std::string& Value) { FPaletteFile = Value; }

    /// The palette file that belongs to the picture FileName, or "" when there is none.
    static std::string FindPaletteFile(const std::string& FileName);

private:
    void LoadPalette();

    std::string FPaletteFile;
};

} // namespace qv
