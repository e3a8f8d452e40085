#pragma once
// Windows metafiles (emf, wmf): registered so that the file mask lists them,
// but loading one raises a clear "not supported" error.

#include "platform/Graphics.h"

namespace qv {

class TMetafile : public TGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TMetafile)
public:
    bool Empty() const override { return true; }
    int Width() const override { return 0; }
    int Height() const override { return 0; }
    void LoadFromStream(TStream& Stream) override;
};

} // namespace qv
