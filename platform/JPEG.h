#pragma once
// JPEG pictures through libjpeg: baseline and progressive; colour into
// 24 bits, greyscale into 8 bits with a grey palette, Adobe CMYK/YCCK into
// 24 bits. Library warnings never end a load; damaged data raises
// EInvalidGraphic.

#include <cstdint>
#include <vector>

#include "platform/Graphics.h"

namespace qv {

class TJPEGImage : public TGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TJPEGImage)
public:
    TJPEGImage();
    ~TJPEGImage() override;

    bool Empty() const override { return FBitmap.Empty(); }
    int Width() const override { return FBitmap.Width(); }
    int Height() const override { return FBitmap.Height(); }
    void LoadFromStream(TStream& Stream) override;
    void AssignTo(TGraphic& Dest) const override;

    /// The decoded picture.
    const TBitmap& Bitmap() const { return FBitmap; }
    /// Hands the decoded picture to Dest without copying it; this image is left empty.
    void ReleaseBitmap(TBitmap& Dest) { Dest.TakeFrom(FBitmap); }

private:
    void Decode(const std::vector<uint8_t>& Data);

    TBitmap FBitmap;
};

} // namespace qv
