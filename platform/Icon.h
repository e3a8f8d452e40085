#pragma once
// Windows icons: the largest, deepest entry of the icon directory, decoded
// into 32 bits with alpha (the AND mask applied for lower depths).

#include "platform/Graphics.h"

namespace qv {

class TIcon : public TGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TIcon)
public:
    TIcon();
    ~TIcon() override;

    bool Empty() const override { return FBitmap.Empty(); }
    int Width() const override { return FBitmap.Width(); }
    int Height() const override { return FBitmap.Height(); }
    void LoadFromStream(TStream& Stream) override;
    void AssignTo(TGraphic& Dest) const override;

    const TBitmap& Bitmap() const { return FBitmap; }

private:
    TBitmap FBitmap;
};

} // namespace qv
