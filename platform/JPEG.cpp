// JPEG pictures over libjpeg (libjpeg-turbo). The library reports fatal
// errors through a longjmp; every library call that can fail runs inside one
// of the small guarded functions below, which hold no C++ objects, so the
// jump never crosses a C++ frame. The wrapper turns a failed call into an
// EInvalidGraphic with the library's message.

#include "platform/JPEG.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

#include "platform/System.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TJPEGImage, TGraphic)

namespace {

struct TJpegError {
    jpeg_error_mgr Manager; // first, so the library's pointer converts back
    std::jmp_buf Jump;
    char Message[JMSG_LENGTH_MAX];
};

extern "C" void JpegErrorExit(j_common_ptr Info) {
    auto* Error = reinterpret_cast<TJpegError*>(Info->err);
    (*Info->err->format_message)(Info, Error->Message);
    std::longjmp(Error->Jump, 1);
}

// Warnings (corrupt data the library can step over) never end a load.
extern "C" void JpegEmitMessage(j_common_ptr Info, int Level) {
    if (Level < 0) ++Info->err->num_warnings;
}

extern "C" void JpegOutputMessage(j_common_ptr) {}

// The guarded calls: each returns false when the library gave up.

bool GuardedCreate(jpeg_decompress_struct* Info, TJpegError* Error) {
    if (setjmp(Error->Jump)) return false;
    jpeg_create_decompress(Info);
    return true;
}

bool GuardedReadHeader(jpeg_decompress_struct* Info, TJpegError* Error, const unsigned char* Data, unsigned long Size) {
    if (setjmp(Error->Jump)) return false;
    jpeg_mem_src(Info, Data, Size);
    return jpeg_read_header(Info, TRUE) == JPEG_HEADER_OK;
}

bool GuardedStart(jpeg_decompress_struct* Info, TJpegError* Error) {
    if (setjmp(Error->Jump)) return false;
    return jpeg_start_decompress(Info) == TRUE;
}

bool GuardedReadRow(jpeg_decompress_struct* Info, TJpegError* Error, unsigned char* Row) {
    if (setjmp(Error->Jump)) return false;
    JSAMPROW Rows[1] = {Row};
    return jpeg_read_scanlines(Info, Rows, 1) == 1;
}

bool GuardedFinish(jpeg_decompress_struct* Info, TJpegError* Error) {
    if (setjmp(Error->Jump)) return false;
    jpeg_finish_decompress(Info);
    return true;
}

// Owns one decompressor and releases it on every path.
class TJpegDecompressor {
public:
    TJpegDecompressor() {
        std::memset(&FInfo, 0, sizeof(FInfo));
        std::memset(&FError, 0, sizeof(FError));
        FInfo.err = jpeg_std_error(&FError.Manager);
        FError.Manager.error_exit = JpegErrorExit;
        FError.Manager.emit_message = JpegEmitMessage;
        FError.Manager.output_message = JpegOutputMessage;
        FCreated = GuardedCreate(&FInfo, &FError);
        if (!FCreated) Fail();
    }
    ~TJpegDecompressor() {
        if (FCreated) jpeg_destroy_decompress(&FInfo);
    }
    TJpegDecompressor(const TJpegDecompressor&) = delete;
    TJpegDecompressor& operator=(const TJpegDecompressor&) = delete;

    jpeg_decompress_struct& Info() { return FInfo; }
    void ReadHeader(const std::vector<uint8_t>& Data) {
        if (!GuardedReadHeader(&FInfo, &FError, Data.data(), static_cast<unsigned long>(Data.size()))) Fail();
    }
    void Start() {
        if (!GuardedStart(&FInfo, &FError)) Fail();
    }
    void ReadRow(uint8_t* Row) {
        if (!GuardedReadRow(&FInfo, &FError, Row)) Fail();
    }
    void Finish() {
        if (!GuardedFinish(&FInfo, &FError)) Fail();
    }

private:
    // A call can also give up without an error exit (a stream of tables only).
    [[noreturn]] void Fail() {
        throw EInvalidGraphic(std::string("JPEG error: ") + (FError.Message[0] ? FError.Message : "the data holds no picture"));
    }

    jpeg_decompress_struct FInfo;
    TJpegError FError;
    bool FCreated = false;
};

inline uint8_t MulDiv255(unsigned A, unsigned B) { return static_cast<uint8_t>((A * B + 127) / 255); }

} // namespace

TJPEGImage::TJPEGImage() = default;
TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::LoadFromStream(TStream& Stream) {
    // The whole remaining stream goes to the library at once: its source
    // manager then never calls back into C++ code that might throw.
    const int64_t Size = Stream.Remaining();
    if (Size > static_cast<int64_t>(UINT32_MAX)) throw EInvalidGraphic("JPEG file is too large");
    std::vector<uint8_t> Data(static_cast<size_t>(Size));
    Stream.ReadBuffer(Data.data(), Size);

    FBitmap.FreeImage();
    try {
        Decode(Data);
    } catch (...) {
        // A failed load leaves no half-decoded picture behind.
        FBitmap.FreeImage();
        throw;
    }
}

void TJPEGImage::Decode(const std::vector<uint8_t>& Data) {
    TJpegDecompressor Decompressor;
    jpeg_decompress_struct& Info = Decompressor.Info();
    Decompressor.ReadHeader(Data);

    const int64_t Width = Info.image_width, Height = Info.image_height;
    if (Width > TBitmap::MaxSide || Height > TBitmap::MaxSide || Width * Height > TBitmap::MaxPixels)
        throw EInvalidGraphic(Format("JPEG size %lld*%lld exceeds the picture size limit", static_cast<long long>(Width),
                                     static_cast<long long>(Height)));

    enum class TKind { Color, Gray, Cmyk } Kind = TKind::Color;
    switch (Info.jpeg_color_space) {
    case JCS_GRAYSCALE:
        Kind = TKind::Gray;
        Info.out_color_space = JCS_GRAYSCALE;
        break;
    case JCS_CMYK:
    case JCS_YCCK:
        Kind = TKind::Cmyk;
        Info.out_color_space = JCS_CMYK;
        break;
    default:
        Info.out_color_space = JCS_EXT_BGR;
        break;
    }
    // Adobe's marker means inverted CMYK samples: Photoshop writes 255 for no ink.
    const bool Inverted = Kind == TKind::Cmyk && Info.saw_Adobe_marker;
    Decompressor.Start();

    TBitmap& Result = FBitmap;
    Result.SetPixelFormat(Kind == TKind::Gray ? pf8bit : pf24bit);
    if (Kind == TKind::Gray) {
        std::vector<TRGBQuad> Grey(256);
        for (int I = 0; I < 256; ++I) {
            const auto V = static_cast<uint8_t>(I);
            Grey[static_cast<size_t>(I)] = TRGBQuad{V, V, V, 0};
        }
        Result.SetPalette(std::move(Grey));
    } else {
        Result.SetPalette(std::vector<TRGBQuad>{});
    }
    Result.SetSize(static_cast<int>(Info.output_width), static_cast<int>(Info.output_height));

    std::vector<uint8_t> CmykRow(Kind == TKind::Cmyk ? static_cast<size_t>(Info.output_width) * 4 : 0);
    for (int Y = 0; Y < Result.Height(); ++Y) {
        uint8_t* Row = Result.ScanLine(Y);
        if (Kind != TKind::Cmyk) {
            Decompressor.ReadRow(Row);
            continue;
        }
        Decompressor.ReadRow(CmykRow.data());
        for (int X = 0; X < Result.Width(); ++X) {
            const uint8_t* S = &CmykRow[4 * static_cast<size_t>(X)];
            unsigned C = S[0], M = S[1], Ye = S[2], K = S[3];
            if (!Inverted) {
                C = 255 - C, M = 255 - M, Ye = 255 - Ye, K = 255 - K;
            }
            // Here each value is the share of light left (255 = no ink).
            Row[3 * X] = MulDiv255(Ye, K);
            Row[3 * X + 1] = MulDiv255(M, K);
            Row[3 * X + 2] = MulDiv255(C, K);
        }
    }
    Decompressor.Finish();
}

void TJPEGImage::AssignTo(TGraphic& Dest) const {
    if (auto* Bitmap = dynamic_cast<TBitmap*>(&Dest)) {
        Bitmap->Assign(&FBitmap);
        return;
    }
    TGraphic::AssignTo(Dest);
}

} // namespace qv
