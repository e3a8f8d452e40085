// JPEG-compressed TIFF strips through libjpeg. libjpeg reports errors by
// calling its error exit, which must not return; here it long-jumps back into
// one of the small wrappers below, which contain nothing that needs unwinding,
// and the wrapper's caller raises EGraphicCompression. A strip's header decides
// how much libjpeg allocates and how long it works, so both are bounded.

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include "imaging/ImageStrings.h"
#include "imaging/decoders/DecoderBuffers.h"
#include "imaging/decoders/ImageCompression.h"
#include "platform/System.h"

namespace qv {

using decoders::ClampCount;

namespace {

constexpr const char* WarningCaption = gesJPEGWarningCaption;
const JOCTET EndOfImage[2] = {0xFF, 0xD9};

// A progressive strip is held whole in memory as coefficients (2 bytes per sample);
// a few bytes of header can ask for gigabytes. Beyond this libjpeg refuses.
constexpr long MaxJPEGMemory = 256l << 20;
// Every scan of a progressive strip is another pass over all its coefficients;
// encoders write about ten, a crafted strip can hold thousands of tiny ones.
constexpr int MaxProgressiveScans = 100;

struct TJPEGErrorManager {
    jpeg_error_mgr Public;
    std::jmp_buf Jump;
    char Message[JMSG_LENGTH_MAX];
};

} // namespace

struct TTIFFJPEGDecoder::TState {
    jpeg_decompress_struct Info{};
    TJPEGErrorManager Error{};
    jpeg_source_mgr Source{};
    jpeg_progress_mgr Progress{};
    bool Created = false;
    const JOCTET* Data = nullptr;
    size_t DataSize = 0;
    int HorizontalSampling = 1;
    int VerticalSampling = 1;
};

namespace {

// ---- libjpeg callbacks: plain functions, nothing in them needs unwinding.

void ErrorExit(j_common_ptr Info) {
    auto* Error = reinterpret_cast<TJPEGErrorManager*>(Info->err);
    (*Info->err->format_message)(Info, Error->Message);
    std::longjmp(Error->Jump, 1);
}

/// Called by libjpeg as it works through the data; stops a strip with too many scans
/// the way libjpeg stops on an error.
void MonitorProgress(j_common_ptr Info) {
    if (!Info->is_decompressor) return;
    if (reinterpret_cast<j_decompress_ptr>(Info)->input_scan_number <= MaxProgressiveScans) return;
    auto* Error = reinterpret_cast<TJPEGErrorManager*>(Info->err);
    std::snprintf(Error->Message, sizeof(Error->Message), "%s",
                  Format(gesJPEGTooManyScans, MaxProgressiveScans).c_str());
    std::longjmp(Error->Jump, 1);
}

void OutputMessage(j_common_ptr Info) {
    char Text[JMSG_LENGTH_MAX];
    (*Info->err->format_message)(Info, Text);
    ShowWarning(WarningCaption, Text);
}

void InitSource(j_decompress_ptr Info) {
    auto* State = static_cast<TTIFFJPEGDecoder::TState*>(Info->client_data);
    Info->src->next_input_byte = State->Data;
    Info->src->bytes_in_buffer = State->DataSize;
}

void SupplyEndOfImage(j_decompress_ptr Info) {
    ShowWarning(WarningCaption, gesJPEGEOI);
    Info->src->next_input_byte = EndOfImage;
    Info->src->bytes_in_buffer = sizeof(EndOfImage);
}

boolean FillInputBuffer(j_decompress_ptr Info) {
    SupplyEndOfImage(Info);
    return TRUE;
}

void SkipInputData(j_decompress_ptr Info, long Count) {
    if (Count <= 0) return;
    if (static_cast<unsigned long>(Count) > Info->src->bytes_in_buffer) {
        SupplyEndOfImage(Info);
        return;
    }
    Info->src->next_input_byte += Count;
    Info->src->bytes_in_buffer -= static_cast<size_t>(Count);
}

void TermSource(j_decompress_ptr) {}

// ---- Calls into libjpeg, each with its own jump target. They return false when libjpeg
// failed; the message is then in the error manager.

bool SafeCreate(jpeg_decompress_struct* Info, TJPEGErrorManager* Error) {
    if (setjmp(Error->Jump)) return false;
    jpeg_create_decompress(Info);
    return true;
}

bool SafeReadHeader(jpeg_decompress_struct* Info, TJPEGErrorManager* Error, boolean RequireImage, int* Result) {
    if (setjmp(Error->Jump)) return false;
    *Result = jpeg_read_header(Info, RequireImage);
    return true;
}

bool SafeStart(jpeg_decompress_struct* Info, TJPEGErrorManager* Error) {
    if (setjmp(Error->Jump)) return false;
    jpeg_start_decompress(Info);
    return true;
}

bool SafeReadScanline(jpeg_decompress_struct* Info, TJPEGErrorManager* Error, JSAMPROW Row, JDIMENSION* Lines) {
    if (setjmp(Error->Jump)) return false;
    *Lines = jpeg_read_scanlines(Info, &Row, 1);
    return true;
}

bool SafeFinish(jpeg_decompress_struct* Info, TJPEGErrorManager* Error) {
    if (setjmp(Error->Jump)) return false;
    jpeg_finish_decompress(Info);
    return true;
}

[[noreturn]] void RaiseLibraryError(TTIFFJPEGDecoder::TState& State) {
    std::string Message = Format(gesJPEGLibraryError, State.Error.Message);
    jpeg_abort_decompress(&State.Info);
    throw EGraphicCompression(Message);
}

uint32_t RoundUpDivide(uint32_t Value, int Divisor) {
    if (Divisor <= 1) return Value;
    return static_cast<uint32_t>((static_cast<uint64_t>(Value) + Divisor - 1) / static_cast<uint64_t>(Divisor));
}

} // namespace

TTIFFJPEGDecoder::TTIFFJPEGDecoder(const TImageProperties& Properties)
    : FState(std::make_unique<TState>()), FProperties(Properties) {}

TTIFFJPEGDecoder::~TTIFFJPEGDecoder() {
    if (FState->Created) jpeg_destroy_decompress(&FState->Info);
}

void TTIFFJPEGDecoder::DecodeInit() {
    TState& State = *FState;
    if (State.Created) {
        jpeg_destroy_decompress(&State.Info);
        State.Created = false;
    }
    State.Info = jpeg_decompress_struct{};
    State.Info.err = jpeg_std_error(&State.Error.Public);
    State.Error.Public.error_exit = ErrorExit;
    State.Error.Public.output_message = OutputMessage;
    if (!SafeCreate(&State.Info, &State.Error))
        throw EGraphicCompression(Format(gesJPEGLibraryError, State.Error.Message));
    State.Created = true;
    State.Info.client_data = &State;
    State.Info.mem->max_memory_to_use = MaxJPEGMemory;
    State.Progress.progress_monitor = MonitorProgress;
    State.Info.progress = &State.Progress;

    const TByteArray& Sampling = FProperties.YCbCrSubSampling;
    State.HorizontalSampling = Sampling.size() >= 1 ? Sampling[0] : 1;
    State.VerticalSampling = Sampling.size() >= 2 ? Sampling[1] : 1;

    State.Source.init_source = InitSource;
    State.Source.fill_input_buffer = FillInputBuffer;
    State.Source.skip_input_data = SkipInputData;
    State.Source.resync_to_restart = jpeg_resync_to_restart;
    State.Source.term_source = TermSource;
    State.Source.next_input_byte = nullptr;
    State.Source.bytes_in_buffer = 0;
    State.Info.src = &State.Source;

    if (!FProperties.JPEGTables.empty()) {
        State.Data = FProperties.JPEGTables.data();
        State.DataSize = FProperties.JPEGTables.size();
        int Result = 0;
        const bool Done = SafeReadHeader(&State.Info, &State.Error, FALSE, &Result);
        if (!Done || Result != JPEG_HEADER_TABLES_ONLY) {
            jpeg_abort_decompress(&State.Info);
            throw EGraphicCompression(gesJPEGBogusTableField);
        }
    }
    State.Data = nullptr;
    State.DataSize = 0;
}

void TTIFFJPEGDecoder::DecodeEnd() {
    if (!FState->Created) return;
    jpeg_destroy_decompress(&FState->Info);
    FState->Created = false;
}

void TTIFFJPEGDecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                              size_t SourceSize, size_t DestSize) {
    TState& State = *FState;
    if (!State.Created) DecodeInit();
    jpeg_decompress_struct& Info = State.Info;

    // 1. A fresh decompression over the strip; the tables read at DecodeInit stay.
    jpeg_abort_decompress(&Info);
    State.Data = Source;
    State.DataSize = ClampCount(PackedSize, SourceSize);
    State.Source.next_input_byte = nullptr;
    State.Source.bytes_in_buffer = 0;
    int HeaderResult = 0;
    if (!SafeReadHeader(&Info, &State.Error, TRUE, &HeaderResult)) RaiseLibraryError(State);
    if (HeaderResult != JPEG_HEADER_OK) {
        jpeg_abort_decompress(&Info);
        throw EGraphicCompression(gesJPEGStripSize);
    }

    // 2. The strip's or tile's size as the image properties give it. Tiles are whole, also
    // where they overhang the picture.
    const bool Contiguous = FProperties.PlanarConfig != 2;
    uint32_t ExpectedWidth = FProperties.Width;
    uint32_t ExpectedHeight = 0;
    if (FProperties.Options.Contains(TImageOption::Tiled)) {
        ExpectedWidth = FProperties.TileWidth;
        ExpectedHeight = FProperties.TileLength;
    } else {
        const uint32_t RowsPerStrip = FProperties.RowsPerStrip.empty() ? FProperties.Height : FProperties.RowsPerStrip[0];
        const uint32_t RowsLeft = FProperties.Height > FProperties.CurrentRow ? FProperties.Height - FProperties.CurrentRow : 0;
        ExpectedHeight = std::min(RowsPerStrip, RowsLeft);
    }
    // Separate planes: the blocks of every plane after the first hold subsampled chroma.
    const uint32_t PerPlane = FProperties.SamplesPerPixel > 0 ? FProperties.StripCount / FProperties.SamplesPerPixel : 0;
    if (!Contiguous && PerPlane > 0 && FProperties.CurrentStrip >= PerPlane) {
        ExpectedWidth = RoundUpDivide(ExpectedWidth, State.HorizontalSampling);
        ExpectedHeight = RoundUpDivide(ExpectedHeight, State.VerticalSampling);
    }
    auto Fail = [&](const char* Message) {
        jpeg_abort_decompress(&Info);
        throw EGraphicCompression(Message);
    };
    if (Info.image_width != ExpectedWidth || Info.image_height != ExpectedHeight) Fail(gesJPEGStripSize);

    // 3. Components and precision.
    const int ExpectedComponents = Contiguous ? FProperties.SamplesPerPixel : 1;
    if (Info.num_components != ExpectedComponents) Fail(gesJPEGComponentCount);
    if (Info.data_precision != FProperties.BitsPerSample) Fail(gesJPEGDataPrecision);

    // 4. Sampling factors.
    if (Contiguous) {
        if (Info.comp_info[0].h_samp_factor != State.HorizontalSampling ||
            Info.comp_info[0].v_samp_factor != State.VerticalSampling)
            Fail(gesJPEGSamplingFactors);
        for (int Component = 1; Component < Info.num_components; ++Component)
            if (Info.comp_info[Component].h_samp_factor != 1 || Info.comp_info[Component].v_samp_factor != 1)
                Fail(gesJPEGSamplingFactors);
    } else if (Info.comp_info[0].h_samp_factor != 1 || Info.comp_info[0].v_samp_factor != 1) {
        Fail(gesJPEGSamplingFactors);
    }

    // 5. Colour spaces: YCbCr and RGB data come out blue, green, red; anything else as stored.
    if (FProperties.ColorScheme == TColorScheme::YCbCr && Info.num_components == 3) {
        Info.jpeg_color_space = JCS_YCbCr;
        Info.out_color_space = JCS_EXT_BGR;
    } else if (FProperties.ColorScheme == TColorScheme::RGB && Info.num_components == 3) {
        Info.jpeg_color_space = JCS_RGB;
        Info.out_color_space = JCS_EXT_BGR;
    } else {
        Info.jpeg_color_space = JCS_UNKNOWN;
        Info.out_color_space = JCS_UNKNOWN;
    }
    Info.dct_method = JDCT_ISLOW;
    if (!SafeStart(&Info, &State.Error)) RaiseLibraryError(State);

    // 6. Whole scanlines only.
    FScanlineSize = Info.output_width * static_cast<uint32_t>(Info.output_components);
    const size_t Wanted = UnpackedSize > 0 ? static_cast<size_t>(UnpackedSize) : 0;
    if (FScanlineSize == 0 || Wanted % FScanlineSize != 0) Fail(gesJPEGFractionalLine);
    const size_t Room = std::min(Wanted, DestSize);
    size_t Written = 0;
    while (Written + FScanlineSize <= Room && Info.output_scanline < Info.output_height) {
        JDIMENSION Lines = 0;
        if (!SafeReadScanline(&Info, &State.Error, Dest + Written, &Lines)) RaiseLibraryError(State);
        if (Lines == 0) break;
        Written += FScanlineSize;
    }
    // Finishing needs every scanline read; a strip cut short by the buffer is abandoned instead.
    if (Info.output_scanline < Info.output_height) {
        jpeg_abort_decompress(&Info);
    } else if (!SafeFinish(&Info, &State.Error)) {
        RaiseLibraryError(State);
    }
    State.Data = nullptr;
    State.DataSize = 0;
}

} // namespace qv
