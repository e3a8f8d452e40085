#pragma once
// Helpers shared by the picture-class tests: loading from bytes and comparing
// a loaded bitmap with an RGBA reference picture.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "TestPng.h"
#include "platform/Graphics.h"

namespace qvtest {

/// Loads Data into Graphic through a memory stream.
inline void LoadFromBytes(qv::TGraphic& Graphic, const std::vector<uint8_t>& Data) {
    qv::TBytesStream Stream(Data.data(), static_cast<int64_t>(Data.size()));
    Graphic.LoadFromStream(Stream);
}

/// Largest difference of any channel between Bitmap and Reference (alpha
/// included when CompareAlpha); -1 when the sizes differ.
inline int MaxChannelDifference(const qv::TBitmap& Bitmap, const TRgbaImage& Reference, bool CompareAlpha = true) {
    if (Bitmap.Width() != Reference.Width || Bitmap.Height() != Reference.Height) return -1;
    int Worst = 0;
    for (int Y = 0; Y < Bitmap.Height(); ++Y)
        for (int X = 0; X < Bitmap.Width(); ++X) {
            const uint32_t P = Bitmap.PixelBGRA(X, Y);
            const uint8_t* R = Reference.At(X, Y);
            const int Got[4] = {int(P >> 16 & 0xFF), int(P >> 8 & 0xFF), int(P & 0xFF), int(P >> 24)};
            for (int C = 0; C < (CompareAlpha ? 4 : 3); ++C) Worst = std::max(Worst, std::abs(Got[C] - R[C]));
        }
    return Worst;
}

/// Red, green, blue and alpha of one pixel as 0xRRGGBBAA, for readable expectations.
inline uint32_t Rgba(const qv::TBitmap& Bitmap, int X, int Y) {
    const uint32_t P = Bitmap.PixelBGRA(X, Y);
    return ((P >> 16 & 0xFF) << 24) | ((P >> 8 & 0xFF) << 16) | ((P & 0xFF) << 8) | (P >> 24);
}

/// Cuts Data at many lengths (every length up to Dense, then in Step steps)
/// and loads each cut through Load, which must either raise a qv::Exception
/// or leave a picture; anything else fails the calling test.
template <typename TLoad>
void TruncationSweep(const std::vector<uint8_t>& Data, TLoad Load, size_t Dense = 256, size_t Step = 7) {
    for (size_t Length = 0; Length < Data.size(); Length += Length < Dense ? 1 : Step) {
        std::vector<uint8_t> Cut(Data.begin(), Data.begin() + static_cast<ptrdiff_t>(Length));
        try {
            Load(Cut);
        } catch (const qv::Exception&) {
        }
    }
}

struct TJpegOptions {
    J_COLOR_SPACE Space = JCS_RGB;
    int Components = 3;
    bool Progressive = false;
    bool AdobeMarker = true;
};

/// Compresses interleaved samples (rows top-down) with libjpeg to make fixtures.
inline std::vector<uint8_t> CompressJpeg(int Width, int Height, const std::vector<uint8_t>& Samples, const TJpegOptions& O) {
    jpeg_compress_struct Info;
    jpeg_error_mgr Error;
    Info.err = jpeg_std_error(&Error);
    jpeg_create_compress(&Info);
    unsigned char* Buffer = nullptr;
    unsigned long Size = 0;
    jpeg_mem_dest(&Info, &Buffer, &Size);
    Info.image_width = static_cast<JDIMENSION>(Width);
    Info.image_height = static_cast<JDIMENSION>(Height);
    Info.input_components = O.Components;
    Info.in_color_space = O.Space;
    jpeg_set_defaults(&Info);
    jpeg_set_quality(&Info, 95, TRUE);
    Info.write_Adobe_marker = O.AdobeMarker ? TRUE : FALSE;
    if (O.Progressive) jpeg_simple_progression(&Info);
    jpeg_start_compress(&Info, TRUE);
    for (int Y = 0; Y < Height; ++Y) {
        JSAMPROW Row = const_cast<JSAMPROW>(&Samples[static_cast<size_t>(Y) * Width * O.Components]);
        jpeg_write_scanlines(&Info, &Row, 1);
    }
    jpeg_finish_compress(&Info);
    jpeg_destroy_compress(&Info);
    std::vector<uint8_t> Data(Buffer, Buffer + Size);
    std::free(Buffer);
    return Data;
}

} // namespace qvtest
