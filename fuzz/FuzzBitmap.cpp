// The platform's picture classes from arbitrary bytes: Windows bitmaps, icons
// (PNG entries through the PNG reader, as at start-up) and JPEG. Every input
// goes through all three; loading either raises a qv::Exception or leaves a
// picture whose every pixel can be read, and a loaded bitmap saves to a file
// that loads again.

#include <cstddef>
#include <cstdint>

#include "platform/Graphics.h"
#include "platform/Icon.h"
#include "imaging/formats/PNG.h"
#include "platform/JPEG.h"

namespace {

// Keeps one input fast: a few bytes of RLE can describe a large blank bitmap.
constexpr int64_t MaxTouchedPixels = int64_t{1} << 22;

// Touches every pixel (of large bitmaps the first and last rows) so that a
// wrong size or format shows under the sanitizers.
uint32_t Checksum(const qv::TBitmap& Bitmap) {
    uint32_t Sum = 0;
    const bool Whole = int64_t{Bitmap.Width()} * Bitmap.Height() <= MaxTouchedPixels;
    for (int Y = 0; Y < Bitmap.Height(); Y = (Whole || Y + 1 == Bitmap.Height()) ? Y + 1 : Bitmap.Height() - 1)
        for (int X = 0; X < Bitmap.Width(); ++X) Sum += Bitmap.PixelBGRA(X, Y);
    return Sum;
}

template <typename TPictureClass>
void LoadAndTouch(const uint8_t* Data, size_t Size) {
    qv::TBytesStream Stream(Data, static_cast<int64_t>(Size));
    TPictureClass Picture;
    try {
        Picture.LoadFromStream(Stream);
    } catch (const qv::Exception&) {
        return;
    }
    qv::TBitmap Bitmap;
    Bitmap.Assign(&Picture);
    volatile uint32_t Sum = Checksum(Bitmap);
    (void)Sum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qv::TIcon::SetPngDecoder(&qv::DecodePNGIconEntry);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    LoadAndTouch<qv::TIcon>(Data, Size);
    LoadAndTouch<qv::TJPEGImage>(Data, Size);

    qv::TBytesStream Stream(Data, static_cast<int64_t>(Size));
    qv::TBitmap Bitmap;
    try {
        Bitmap.LoadFromStream(Stream);
    } catch (const qv::Exception&) {
        return 0;
    }
    volatile uint32_t Sum = Checksum(Bitmap);
    (void)Sum;
    qv::TMemoryStream Saved;
    Bitmap.SaveToStream(Saved);
    Saved.SetPosition(0);
    qv::TBitmap Again;
    Again.LoadFromStream(Saved);
    if (Again.Width() != Bitmap.Width() || Again.Height() != Bitmap.Height() || Again.PixelFormat() != Bitmap.PixelFormat())
        __builtin_trap();
    return 0;
}
