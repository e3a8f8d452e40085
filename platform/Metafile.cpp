#include "platform/Metafile.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TMetafile, TGraphic)

void TMetafile::LoadFromStream(TStream&) {
    throw EInvalidGraphic("Metafiles (emf, wmf) are not supported");
}

} // namespace qv
