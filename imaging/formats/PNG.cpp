// PNG reader. Every chunk the reader interprets is checked against its CRC and
// against the bytes the stream still holds before anything is allocated; the
// image data chunks feed one inflate stream row by row, and each row is
// unfiltered in place against the previous one, so two row buffers are all
// the memory a load needs besides the picture.

#include "imaging/formats/PNG.h"

#include <zlib.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "imaging/ByteReader.h"
#include "imaging/ImageStrings.h"
#include "imaging/decoders/ImageCompression.h"
#include "platform/Exceptions.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TPNGGraphic, TImageGraphic)

namespace {

constexpr uint8_t Signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint32_t HeaderChunkSize = 13;
constexpr float DisplayGamma = 2.2f;
// Image data is read in pieces of at most this size, so that a file written as one
// huge data chunk needs no more memory than one written in small ones.
constexpr size_t ImageDataPiece = 64 * 1024;

// Deflate codes a run of 258 bytes in as few as two bits, so no stream expands
// more than this; image data promised beyond it cannot be in the file.
constexpr uint64_t MaxDeflateRatio = 1032;

constexpr uint32_t ChunkType(const char (&Name)[5]) {
    return uint32_t{uint8_t(Name[0])} << 24 | uint32_t{uint8_t(Name[1])} << 16 | uint32_t{uint8_t(Name[2])} << 8 |
           uint32_t{uint8_t(Name[3])};
}

constexpr uint32_t IHDR = ChunkType("IHDR");
constexpr uint32_t PLTE = ChunkType("PLTE");
constexpr uint32_t IDAT = ChunkType("IDAT");
constexpr uint32_t IEND = ChunkType("IEND");
constexpr uint32_t gAMA = ChunkType("gAMA");
constexpr uint32_t bKGD = ChunkType("bKGD");
constexpr uint32_t tRNS = ChunkType("tRNS");

// Types are compared with bit 5 of every letter ignored, so "idat" is IDAT.
constexpr uint32_t LetterCaseBits = 0x20202020u;
// Bit 5 of the first letter marks an ancillary chunk.
constexpr uint32_t AncillaryBit = 0x20000000u;

enum class TColorType : uint8_t { Gray = 0, RGB = 2, Indexed = 3, GrayAlpha = 4, RGBA = 6 };

struct TAdam7Pass {
    uint32_t FirstRow;
    uint32_t FirstColumn;
    uint32_t RowStep;
    uint32_t ColumnStep;
    uint8_t Mask; // the target pixels of every eight the pass fills, first pixel in bit 7
};

constexpr std::array<TAdam7Pass, 7> Adam7 = {{
    {0, 0, 8, 8, 0x80},
    {0, 4, 8, 8, 0x08},
    {4, 0, 8, 4, 0x88},
    {0, 2, 4, 4, 0x22},
    {2, 0, 4, 2, 0xAA},
    {0, 1, 2, 2, 0x55},
    {1, 0, 2, 1, 0xFF},
}};

uint32_t BigEndian32(const uint8_t* P) {
    return uint32_t{P[0]} << 24 | uint32_t{P[1]} << 16 | uint32_t{P[2]} << 8 | uint32_t{P[3]};
}

uint16_t BigEndian16(const uint8_t* P) { return static_cast<uint16_t>(P[0] << 8 | P[1]); }

/// The header chunk's fields.
struct THeader {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint8_t BitDepth = 0;
    uint8_t ColorType = 0;
    uint8_t CompressionMethod = 0;
    uint8_t FilterMethod = 0;
    uint8_t InterlaceMethod = 0;
};

THeader ParseHeader(const std::vector<uint8_t>& Data) {
    QV_ASSERT(Data.size() == HeaderChunkSize, "Assertion failure");
    return THeader{BigEndian32(Data.data()), BigEndian32(Data.data() + 4), Data[8], Data[9], Data[10], Data[11],
                   Data[12]};
}

/// Walks the chunks of a stream: a header, then either the data (checked
/// against the stored CRC) or a skip over data and CRC.
class TChunkReader {
public:
    explicit TChunkReader(TStream& Stream) : FReader(Stream) {}

    bool ReadSignature() {
        uint8_t Bytes[sizeof(Signature)];
        FReader.ReadExact(Bytes, sizeof(Bytes));
        return std::memcmp(Bytes, Signature, sizeof(Signature)) == 0;
    }

    void ReadHeader() {
        uint8_t Head[8];
        FReader.ReadExact(Head, sizeof(Head));
        FLength = BigEndian32(Head);
        FType = BigEndian32(Head + 4);
        FCrc = static_cast<uint32_t>(crc32(0, Head + 4, 4));
    }

    uint32_t Length() const { return FLength; }
    bool Is(uint32_t Type) const { return ((FType ^ Type) & ~LetterCaseBits) == 0; }
    bool Critical() const { return (FType & AncillaryBit) == 0; }
    /// Bytes of the stream from the current chunk's data on.
    int64_t Remaining() const { return FReader.Remaining(); }

    /// Starts reading the data; a length beyond what the stream still holds
    /// raises "Stream read error" before anything is allocated.
    void BeginData() {
        if (int64_t{FLength} + 4 > FReader.Remaining()) throw EReadError();
        FDataLeft = FLength;
        FInData = true;
    }
    bool InData() const { return FInData; }
    uint32_t DataLeft() const { return FDataLeft; }
    /// Reads the next at most Limit bytes of the data into Buffer (resized to them, its storage reused).
    size_t ReadPiece(std::vector<uint8_t>& Buffer, size_t Limit) {
        const size_t Count = std::min<size_t>(FDataLeft, Limit);
        Buffer.resize(Count);
        FReader.ReadExact(Buffer.data(), static_cast<int64_t>(Count));
        // zlib answers its initial value for a null buffer, so empty data must not be passed in.
        if (Count > 0) FCrc = static_cast<uint32_t>(crc32(FCrc, Buffer.data(), static_cast<uInt>(Count)));
        FDataLeft -= static_cast<uint32_t>(Count);
        return Count;
    }
    /// After the last piece: reads the stored CRC; a mismatch raises the CRC message.
    void EndData() {
        if (FReader.ReadU32BE() != FCrc) RaiseInvalidGraphicFmt(gesInvalidCRC, gesPNGFormat);
        FInData = false;
    }
    /// Reads the whole data into Buffer and checks it.
    void ReadData(std::vector<uint8_t>& Buffer) {
        BeginData();
        ReadPiece(Buffer, FLength);
        EndData();
    }

    /// Passes over the data and the CRC without checking them.
    void Skip() { FReader.Skip(int64_t{FLength} + 4); }

private:
    TByteReader FReader;
    uint32_t FLength = 0;
    uint32_t FType = 0;
    uint32_t FCrc = 0;
    uint32_t FDataLeft = 0;
    bool FInData = false;
};

// --- Row filters ------------------------------------------------------------------------------
// Each works in place on the row (without its filter byte) against the previous
// row; "left" is the byte one pixel (Bpp bytes) before, bytes outside the row are 0.
// Pixels of two bytes or more go through the vector unit a pixel at a time, which
// breaks the byte-by-byte dependence on the left pixel that limits the plain loops.

template <size_t Bpp>
void UndoSub(uint8_t* Row, size_t Length) {
    for (size_t I = Bpp; I < Length; ++I) Row[I] = static_cast<uint8_t>(Row[I] + Row[I - Bpp]);
}

void UndoUp(uint8_t* Row, const uint8_t* Previous, size_t Length) {
    size_t I = 0;
#if defined(__SSE2__)
    for (; I + 16 <= Length; I += 16) {
        const __m128i Sum = _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Row + I)),
                                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(Previous + I)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Row + I), Sum);
    }
#endif
    for (; I < Length; ++I) Row[I] = static_cast<uint8_t>(Row[I] + Previous[I]);
}

template <size_t Bpp>
void UndoAverage(uint8_t* Row, const uint8_t* Previous, size_t Length) {
    const size_t Head = std::min(Bpp, Length);
    for (size_t I = 0; I < Head; ++I) Row[I] = static_cast<uint8_t>(Row[I] + (Previous[I] >> 1));
    for (size_t I = Bpp; I < Length; ++I)
        Row[I] = static_cast<uint8_t>(Row[I] + ((unsigned{Row[I - Bpp]} + Previous[I]) >> 1));
}

inline uint8_t PaethPredictor(int Left, int Up, int UpperLeft) {
    const int Pa = std::abs(Up - UpperLeft);            // |p - a| with p = a + b - c
    const int Pb = std::abs(Left - UpperLeft);          // |p - b|
    const int Pc = std::abs(Left + Up - 2 * UpperLeft); // |p - c|
    if (Pa <= Pb && Pa <= Pc) return static_cast<uint8_t>(Left);
    return static_cast<uint8_t>(Pb <= Pc ? Up : UpperLeft);
}

template <size_t Bpp>
void UndoPaeth(uint8_t* Row, const uint8_t* Previous, size_t Length) {
    // With left and upper left 0 the predictor is the byte above.
    const size_t Head = std::min(Bpp, Length);
    for (size_t I = 0; I < Head; ++I) Row[I] = static_cast<uint8_t>(Row[I] + Previous[I]);
    for (size_t I = Bpp; I < Length; ++I)
        Row[I] = static_cast<uint8_t>(Row[I] + PaethPredictor(Row[I - Bpp], Previous[I], Previous[I - Bpp]));
}

#if defined(__SSE2__)

// Pixels are moved as whole words in registers: assembling them in memory from
// smaller pieces would stall every load behind the stores that built it.
template <size_t Bpp>
__m128i LoadPixel(const uint8_t* P) {
    if constexpr (Bpp == 2 || Bpp == 3) {
        uint16_t Low;
        std::memcpy(&Low, P, 2);
        const uint32_t High = Bpp == 3 ? uint32_t{P[2]} << 16 : 0;
        return _mm_cvtsi32_si128(static_cast<int>(Low | High));
    } else if constexpr (Bpp == 4) {
        uint32_t V;
        std::memcpy(&V, P, 4);
        return _mm_cvtsi32_si128(static_cast<int>(V));
    } else if constexpr (Bpp == 6) {
        uint32_t Low;
        uint16_t High;
        std::memcpy(&Low, P, 4);
        std::memcpy(&High, P + 4, 2);
        return _mm_cvtsi64_si128(static_cast<long long>(uint64_t{Low} | uint64_t{High} << 32));
    } else {
        static_assert(Bpp == 8);
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(P));
    }
}

template <size_t Bpp>
void StorePixel(uint8_t* P, __m128i V) {
    if constexpr (Bpp == 8) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(P), V);
    } else {
        const auto W = static_cast<uint64_t>(_mm_cvtsi128_si64(V));
        if constexpr (Bpp == 4 || Bpp == 6) {
            const auto Low = static_cast<uint32_t>(W);
            std::memcpy(P, &Low, 4);
        } else {
            const auto Low = static_cast<uint16_t>(W);
            std::memcpy(P, &Low, 2);
        }
        if constexpr (Bpp == 3) P[2] = static_cast<uint8_t>(W >> 16);
        if constexpr (Bpp == 6) {
            const auto High = static_cast<uint16_t>(W >> 32);
            std::memcpy(P + 4, &High, 2);
        }
    }
}

// The left pixel of the first one is 0 in every rule, so no pixel needs a case of its own.
template <size_t Bpp>
void UndoSubWide(uint8_t* Row, size_t Length) {
    __m128i Left = _mm_setzero_si128();
    for (size_t I = 0; I + Bpp <= Length; I += Bpp) {
        Left = _mm_add_epi8(Left, LoadPixel<Bpp>(Row + I));
        StorePixel<Bpp>(Row + I, Left);
    }
}

template <size_t Bpp>
void UndoAverageWide(uint8_t* Row, const uint8_t* Previous, size_t Length) {
    const __m128i One = _mm_set1_epi8(1);
    __m128i Left = _mm_setzero_si128();
    for (size_t I = 0; I + Bpp <= Length; I += Bpp) {
        const __m128i Up = LoadPixel<Bpp>(Previous + I);
        // The vector average rounds up; the filter's rounds down.
        const __m128i Floor = _mm_sub_epi8(_mm_avg_epu8(Left, Up), _mm_and_si128(_mm_xor_si128(Left, Up), One));
        Left = _mm_add_epi8(LoadPixel<Bpp>(Row + I), Floor);
        StorePixel<Bpp>(Row + I, Left);
    }
}

inline __m128i Abs16(__m128i V) { return _mm_max_epi16(V, _mm_sub_epi16(_mm_setzero_si128(), V)); }

inline __m128i Select(__m128i Mask, __m128i IfSet, __m128i Otherwise) {
    return _mm_or_si128(_mm_and_si128(Mask, IfSet), _mm_andnot_si128(Mask, Otherwise));
}

template <size_t Bpp>
void UndoPaethWide(uint8_t* Row, const uint8_t* Previous, size_t Length) {
    // Samples widened to 16 bits, so that the distances keep their signs.
    const __m128i Zero = _mm_setzero_si128();
    __m128i Left = Zero, UpperLeft = Zero;
    for (size_t I = 0; I + Bpp <= Length; I += Bpp) {
        const __m128i Up = _mm_unpacklo_epi8(LoadPixel<Bpp>(Previous + I), Zero);
        const __m128i ToLeft = _mm_sub_epi16(Up, UpperLeft); // p - a
        const __m128i ToUp = _mm_sub_epi16(Left, UpperLeft); // p - b
        const __m128i Pa = Abs16(ToLeft), Pb = Abs16(ToUp), Pc = Abs16(_mm_add_epi16(ToLeft, ToUp));
        const __m128i Smallest = _mm_min_epi16(Pc, _mm_min_epi16(Pa, Pb));
        const __m128i Nearest =
            Select(_mm_cmpeq_epi16(Smallest, Pa), Left, Select(_mm_cmpeq_epi16(Smallest, Pb), Up, UpperLeft));
        const __m128i Result = _mm_add_epi8(_mm_packus_epi16(Nearest, Nearest), LoadPixel<Bpp>(Row + I));
        StorePixel<Bpp>(Row + I, Result);
        Left = _mm_unpacklo_epi8(Result, Zero);
        UpperLeft = Up;
    }
}

#endif

template <size_t Bpp>
void UndoFilter(uint8_t Filter, uint8_t* Row, const uint8_t* Previous, size_t Length) {
    // None, and unknown filter types, leave the bytes as stored.
#if defined(__SSE2__)
    if constexpr (Bpp >= 2) {
        switch (Filter) {
        case 1: UndoSubWide<Bpp>(Row, Length); break;
        case 2: UndoUp(Row, Previous, Length); break;
        case 3: UndoAverageWide<Bpp>(Row, Previous, Length); break;
        case 4: UndoPaethWide<Bpp>(Row, Previous, Length); break;
        default: break;
        }
        return;
    }
#endif
    switch (Filter) {
    case 1: UndoSub<Bpp>(Row, Length); break;
    case 2: UndoUp(Row, Previous, Length); break;
    case 3: UndoAverage<Bpp>(Row, Previous, Length); break;
    case 4: UndoPaeth<Bpp>(Row, Previous, Length); break;
    default: break;
    }
}

/// Undoes the filter of one row; Previous holds at least as many bytes as Row.
void UndoRowFilter(uint8_t Filter, std::span<uint8_t> Row, const uint8_t* Previous, size_t BytesPerPixel) {
    uint8_t* R = Row.data();
    const size_t N = Row.size();
    switch (BytesPerPixel) {
    case 1: UndoFilter<1>(Filter, R, Previous, N); break;
    case 2: UndoFilter<2>(Filter, R, Previous, N); break;
    case 3: UndoFilter<3>(Filter, R, Previous, N); break;
    case 4: UndoFilter<4>(Filter, R, Previous, N); break;
    case 6: UndoFilter<6>(Filter, R, Previous, N); break;
    case 8: UndoFilter<8>(Filter, R, Previous, N); break;
    default: QV_ASSERT(false, "Assertion failure");
    }
}

/// The picture's colour for a tRNS sample: 16-bit samples scaled to 8 bits, others by their low byte.
uint8_t ReduceSample(uint16_t Value, uint8_t BitDepth) {
    return BitDepth == 16 ? static_cast<uint8_t>(uint32_t{Value} * 255 / 65535) : static_cast<uint8_t>(Value);
}

} // namespace

// --- One load -----------------------------------------------------------------------------------

class TPNGGraphic::TLoad {
public:
    TLoad(TPNGGraphic& Picture, TStream& Stream) : FPicture(Picture), FChunks(Stream) {}

    void Run();

private:
    TColorManager& ColorManager() { return FPicture.ColorManager(); }
    void ReadPalette();
    void ReadGamma();
    void ReadTransparency();
    void SetupColorDepth();
    void DecodeImage();
    void CheckImageDataFits(uint64_t BitsPerPixel) const;
    void ApplyTransparency();
    void ReadRow(uint8_t* Row, size_t Count);
    void ReadImageDataPiece();

    TPNGGraphic& FPicture;
    TChunkReader FChunks;
    THeader FHeader;
    std::vector<uint8_t> FData; // the current chunk's data, or a piece of it
    std::unique_ptr<TLZ77Decoder> FDecoder;
    uint8_t* FInput = nullptr; // next unread byte of the current image data chunk
    size_t FInputLeft = 0;
    bool FColorDepthSet = false;
    bool FHasPalette = false;
    bool FImageDecoded = false;
    uint8_t FBytesPerPixel = 0;
    enum class TKey : uint8_t { None, Gray, RGB } FKey = TKey::None;
    std::array<uint16_t, 3> FKeySamples{};
};

void TPNGGraphic::TLoad::Run() {
    FPicture.StartProgress(gesPreparing);
    FPicture.SetPalette(std::vector<TRGBQuad>{});
    FPicture.SetTransparent(false);
    FPicture.SetTransparentColor(clNone);

    if (!FChunks.ReadSignature()) RaiseInvalidGraphicFmt(gesInvalidImage, gesPNGFormat);
    FChunks.ReadHeader();
    ColorManager().SourceOptions = TConversionOptions{TConversionOption::ByteSwap};
    FChunks.ReadData(FData);
    FHeader = ParseHeader(FData);
    if (FPicture.ImageProperties().Compression != TCompressionScheme::LZ77)
        RaiseInvalidGraphicFmt(gesUnsupportedFeature, gesCompressionScheme, gesPNGFormat);
    FDecoder = std::make_unique<TLZ77Decoder>(Z_PARTIAL_FLUSH, false);
    FDecoder->DecodeInit();

    for (;;) {
        FChunks.ReadHeader();
        if (FChunks.Is(IDAT)) {
            DecodeImage();
            FImageDecoded = true;
            // The chunk that follows the image data is passed over like any unknown one.
        } else if (FChunks.Is(PLTE)) {
            ReadPalette();
            continue;
        } else if (FChunks.Is(gAMA)) {
            ReadGamma();
            continue;
        } else if (FChunks.Is(bKGD)) {
            // Checked like every chunk the reader knows; the picture never shows the
            // background, since the rows write every one of its pixels.
            FChunks.ReadData(FData);
            continue;
        } else if (FChunks.Is(tRNS)) {
            ReadTransparency();
            continue;
        }
        const bool End = FChunks.Is(IEND);
        const bool Critical = FChunks.Critical();
        FChunks.Skip();
        if (End) break;
        if (Critical) RaiseInvalidGraphic(gesUnknownCriticalChunk);
    }
    // A file without image data is not a picture, however well formed its chunks are.
    if (!FImageDecoded) RaiseInvalidGraphicFmt(gesInvalidImage, gesPNGFormat);
    FDecoder->DecodeEnd();
}

void TPNGGraphic::TLoad::ReadPalette() {
    if (FChunks.Length() % 3 != 0) RaiseInvalidGraphicFmt(gesInvalidPalette, gesPNGFormat);
    FChunks.ReadData(FData);
    // A palette in a grey or colour file is only a suggestion for display; it changes nothing.
    if (FHeader.ColorType != static_cast<uint8_t>(TColorType::Indexed)) return;
    SetupColorDepth();
    const auto Count = static_cast<uint32_t>(FData.size() / 3);
    FPicture.SetPalette(
        ColorManager().CreateColorPalette({FData.data()}, TPaletteLayout::Interleaved8Triple, Count, false));
    FHasPalette = Count > 0;
}

void TPNGGraphic::TLoad::ReadGamma() {
    FChunks.ReadData(FData);
    if (FData.size() != 4) return;
    // The colour manager still has its 8-bit sample sizes here (gAMA comes before
    // PLTE and the image data), so the table has the 256 entries palettes index.
    const float FileGamma = static_cast<float>(BigEndian32(FData.data())) / 100000.0f;
    ColorManager().SetGammaCorrection(FileGamma, DisplayGamma);
    ColorManager().TargetOptions.Include(TConversionOption::UseGamma);
    FPicture.ImageProperties().Options.Include(TImageOption::GammaApplied);
}

void TPNGGraphic::TLoad::ReadTransparency() {
    FChunks.ReadData(FData);
    // Palette alpha and a tRNS chunk in a picture with alpha play no part.
    if (FHeader.ColorType == static_cast<uint8_t>(TColorType::Gray) && FData.size() == 2) {
        FKey = TKey::Gray;
        FKeySamples[0] = BigEndian16(FData.data());
    } else if (FHeader.ColorType == static_cast<uint8_t>(TColorType::RGB) && FData.size() == 6) {
        FKey = TKey::RGB;
        for (size_t I = 0; I < 3; ++I) FKeySamples[I] = BigEndian16(FData.data() + 2 * I);
    }
}

void TPNGGraphic::TLoad::SetupColorDepth() {
    const uint8_t Depth = FHeader.BitDepth;
    auto DepthIn = [Depth](std::initializer_list<uint8_t> Depths) {
        return std::find(Depths.begin(), Depths.end(), Depth) != Depths.end();
    };
    TColorScheme Source, Target;
    uint8_t SourceSamples = 1, TargetSamples = 1, TargetBits = 8;
    bool GrayPalette = false;
    switch (static_cast<TColorType>(FHeader.ColorType)) {
    case TColorType::Gray:
        if (!DepthIn({1, 2, 4, 8, 16})) RaiseInvalidGraphicFmt(gesInvalidColorFormat, gesPNGFormat);
        Source = Target = TColorScheme::Gray;
        TargetBits = Depth == 2 ? 4 : Depth == 16 ? 8 : Depth;
        GrayPalette = true;
        FBytesPerPixel = static_cast<uint8_t>((Depth + 7) / 8);
        break;
    case TColorType::RGB:
        if (!DepthIn({8, 16})) RaiseInvalidGraphicFmt(gesInvalidColorFormat, gesPNGFormat);
        Source = TColorScheme::RGB;
        Target = TColorScheme::BGR;
        SourceSamples = TargetSamples = 3;
        FBytesPerPixel = static_cast<uint8_t>(Depth * 3 / 8);
        break;
    case TColorType::Indexed:
        if (!DepthIn({1, 2, 4, 8})) RaiseInvalidGraphicFmt(gesInvalidColorFormat, gesPNGFormat);
        Source = Target = TColorScheme::Indexed;
        TargetBits = Depth == 2 ? 4 : Depth;
        FBytesPerPixel = 1;
        break;
    case TColorType::GrayAlpha:
        if (!DepthIn({8, 16})) RaiseInvalidGraphicFmt(gesInvalidColorFormat, gesPNGFormat);
        Source = TColorScheme::GrayAlpha;
        Target = TColorScheme::Indexed;
        GrayPalette = true;
        FBytesPerPixel = static_cast<uint8_t>(Depth * 2 / 8);
        break;
    case TColorType::RGBA:
        if (!DepthIn({8, 16})) RaiseInvalidGraphicFmt(gesInvalidColorFormat, gesPNGFormat);
        Source = TColorScheme::RGBA;
        Target = TColorScheme::BGRA;
        SourceSamples = TargetSamples = 4;
        FBytesPerPixel = static_cast<uint8_t>(Depth * 4 / 8);
        break;
    default: RaiseInvalidGraphicFmt(gesInvalidColorFormat, gesPNGFormat);
    }
    TColorManager& Cm = ColorManager();
    Cm.SetSourceColorScheme(Source);
    Cm.SetTargetColorScheme(Target);
    Cm.SetSourceSamplesPerPixel(SourceSamples);
    Cm.SetTargetSamplesPerPixel(TargetSamples);
    Cm.SetSourceBitsPerSample(Depth);
    Cm.SetTargetBitsPerSample(TargetBits);
    FPicture.SetPixelFormat(Cm.PlatformPixelFormat(true));
    if (GrayPalette) {
        FPicture.SetPalette(Cm.CreateGrayPalette(false));
        FHasPalette = true;
    }
    FColorDepthSet = true;
}

void TPNGGraphic::TLoad::CheckImageDataFits(uint64_t BitsPerPixel) const {
    const uint64_t Width = FHeader.Width, Height = FHeader.Height;
    const uint64_t Pixels = Width * Height;
    // Pictures beyond the bitmap limits are refused by the bitmap itself, before it allocates.
    if (Width > uint64_t{MaxSide} || Height > uint64_t{MaxSide} || Pixels > uint64_t(MaxPixels)) return;
    const uint64_t RawBytes = Pixels * BitsPerPixel / 8;
    if (static_cast<uint64_t>(FChunks.Remaining()) < RawBytes / MaxDeflateRatio) throw EReadError();
}

void TPNGGraphic::TLoad::ApplyTransparency() {
    TColor Key;
    if (FKey == TKey::Gray) {
        // The picture holds grey levels as indices into its grey palette (gamma
        // applied there), so the key is the palette entry the level lands on.
        const uint16_t Level = FKeySamples[0];
        const uint32_t Index = FHeader.BitDepth == 2    ? uint32_t{uint8_t(Level)} * 15 / 3
                               : FHeader.BitDepth == 16 ? uint32_t{Level} * 255 / 65535
                                                        : uint32_t{uint8_t(Level)};
        const std::vector<TRGBQuad>& Palette = FPicture.Palette();
        if (Index >= Palette.size()) return; // no pixel can hold the level
        const TRGBQuad& Entry = Palette[Index];
        Key = RGB(Entry.rgbRed, Entry.rgbGreen, Entry.rgbBlue);
    } else if (FKey == TKey::RGB) {
        std::array<uint8_t, 3> Colour{};
        const bool Gamma = ColorManager().TargetOptions.Contains(TConversionOption::UseGamma);
        for (size_t I = 0; I < 3; ++I) {
            const uint8_t V = ReduceSample(FKeySamples[I], FHeader.BitDepth);
            Colour[I] = Gamma ? ColorManager().GammaTable()[V] : V;
        }
        Key = RGB(Colour[0], Colour[1], Colour[2]);
    } else {
        return;
    }
    FPicture.SetTransparentColor(Key);
    FPicture.SetTransparent(true);
}

void TPNGGraphic::TLoad::DecodeImage() {
    FPicture.EndProgress();
    FPicture.StartProgress(gesTransfering);
    if (!FColorDepthSet) SetupColorDepth();
    // Indexed pixels without a palette would show as black, a wrong picture reported as a good one.
    if (FHeader.ColorType == static_cast<uint8_t>(TColorType::Indexed) && !FHasPalette)
        RaiseInvalidGraphicFmt(gesInvalidPalette, gesPNGFormat);
    const uint8_t Depth = FHeader.BitDepth;
    const size_t PixelStep = Depth == 16 ? FBytesPerPixel / 2u : FBytesPerPixel;
    CheckImageDataFits(uint64_t{Depth} * PixelStep);
    FPicture.SetupBitmap();
    ApplyTransparency();

    const uint32_t Width = FHeader.Width, Height = FHeader.Height;
    auto RowSize = [&](uint64_t Pixels) { return static_cast<size_t>((Pixels * Depth + 7) / 8 * PixelStep + 1); };
    const size_t FullRowSize = RowSize(Width);
    std::vector<uint8_t> First(FullRowSize), Second(FullRowSize);
    uint8_t* Current = First.data();
    uint8_t* Previous = Second.data();
    auto Convert = [&](size_t Size, uint32_t Row, uint8_t Mask) {
        UndoRowFilter(Current[0], std::span<uint8_t>(Current + 1, Size - 1), Previous + 1, FBytesPerPixel);
        FPicture.ConvertRow(std::span<const uint8_t>(Current + 1, Size - 1), static_cast<int>(Row), Mask);
        std::swap(Current, Previous);
    };
    if (FHeader.InterlaceMethod == 1) {
        for (const TAdam7Pass& Pass : Adam7) {
            if (Pass.FirstColumn >= Width) continue;
            const size_t PassRowSize = RowSize((uint64_t{Width} + Pass.ColumnStep - Pass.FirstColumn - 1) / Pass.ColumnStep);
            // Every pass starts from an all-zero previous row.
            std::memset(Previous, 0, PassRowSize);
            const bool LastPass = &Pass == &Adam7.back();
            for (uint32_t Row = Pass.FirstRow; Row < Height; Row += Pass.RowStep) {
                ReadRow(Current, PassRowSize);
                Convert(PassRowSize, Row, Pass.Mask);
                if (LastPass) FPicture.RowProgress(Row + Pass.RowStep);
            }
        }
    } else {
        for (uint32_t Row = 0; Row < Height; ++Row) {
            ReadRow(Current, FullRowSize);
            Convert(FullRowSize, Row, 0xFF);
            FPicture.RowProgress(Row);
        }
    }
    // Image data chunks after the image is complete are checked and passed over.
    while (FChunks.Is(IDAT)) ReadImageDataPiece();
}

void TPNGGraphic::TLoad::ReadImageDataPiece() {
    if (!FChunks.InData()) FChunks.BeginData();
    FInputLeft = FChunks.ReadPiece(FData, ImageDataPiece);
    FInput = FData.data();
    // Once its last piece is read, the chunk is checked and the next header read,
    // before any of that piece is decoded.
    if (FChunks.DataLeft() == 0) {
        FChunks.EndData();
        FChunks.ReadHeader();
    }
}

void TPNGGraphic::TLoad::ReadRow(uint8_t* Row, size_t Count) {
    uint8_t* Out = Row;
    size_t Wanted = Count;
    while (Wanted > 0) {
        while (FInputLeft == 0) {
            // The image data ended early: the row keeps what the buffer held.
            if (!FChunks.Is(IDAT)) return;
            ReadImageDataPiece();
        }
        uint8_t* const InBefore = FInput;
        uint8_t* const OutBefore = Out;
        uint8_t* In = FInput;
        const auto Packed = static_cast<int32_t>(std::min<size_t>(FInputLeft, std::numeric_limits<int32_t>::max()));
        const auto Unpacked = static_cast<int32_t>(std::min<size_t>(Wanted, std::numeric_limits<int32_t>::max()));
        FDecoder->Decode(In, Out, Packed, Unpacked, FInputLeft, Wanted);
        FInputLeft -= static_cast<size_t>(In - InBefore);
        FInput = In;
        Wanted -= static_cast<size_t>(Out - OutBefore);
        const int Result = FDecoder->ZLibResult();
        if (Result == Z_STREAM_END) {
            if (FDecoder->OutputRoom() != 0 || FDecoder->InputLeft() != 0)
                RaiseInvalidGraphicFmt(gesExtraCompressedData, gesPNGFormat);
            return;
        }
        // A call that moved nothing would never end; zlib only does that on damaged data.
        if (Result != Z_OK || (In == InBefore && Out == OutBefore))
            RaiseInvalidGraphicFmt(gesCompression, gesPNGFormat);
    }
}

// --- TPNGGraphic --------------------------------------------------------------------------------

TPNGGraphic::TPNGGraphic() = default;
TPNGGraphic::~TPNGGraphic() = default;

bool TPNGGraphic::CanLoadStream(TStream& Stream) const {
    const int64_t Start = Stream.Position();
    bool Result = false;
    if (Stream.Size() - Start > static_cast<int64_t>(sizeof(Signature))) {
        uint8_t Bytes[sizeof(Signature)];
        Result = Stream.Read(Bytes, sizeof(Bytes)) == static_cast<int64_t>(sizeof(Bytes)) &&
                 std::memcmp(Bytes, Signature, sizeof(Signature)) == 0;
    }
    Stream.SetPosition(Start);
    return Result;
}

bool TPNGGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    TImageProperties& P = ImageProperties();
    TChunkReader Chunks(Stream);
    if (!Chunks.ReadSignature()) return false;
    Chunks.ReadHeader();
    // A header of any other size is not a PNG header; it is never copied by its stated length.
    if (!Chunks.Is(IHDR) || Chunks.Length() != HeaderChunkSize) return false;
    P.Options.Include(TImageOption::BigEndian);
    std::vector<uint8_t> Data;
    Chunks.ReadData(Data);
    const THeader H = ParseHeader(Data);
    if (H.Width == 0 || H.Height == 0) return false;
    P.Width = H.Width;
    P.Height = H.Height;
    P.Compression = H.CompressionMethod == 0 ? TCompressionScheme::LZ77 : TCompressionScheme::Unknown;
    P.BitsPerSample = H.BitDepth;
    P.SamplesPerPixel = 1;
    switch (static_cast<TColorType>(H.ColorType)) {
    case TColorType::Gray: P.ColorScheme = TColorScheme::Gray; break;
    case TColorType::RGB:
        P.ColorScheme = TColorScheme::RGB;
        P.SamplesPerPixel = 3;
        break;
    case TColorType::Indexed: P.ColorScheme = TColorScheme::Indexed; break;
    case TColorType::GrayAlpha: P.ColorScheme = TColorScheme::GrayAlpha; break;
    case TColorType::RGBA:
        P.ColorScheme = TColorScheme::RGBA;
        P.SamplesPerPixel = 4;
        break;
    default: P.ColorScheme = TColorScheme::Unknown; break;
    }
    P.BitsPerPixel = static_cast<uint8_t>(P.SamplesPerPixel * P.BitsPerSample);
    P.PNGFilterMethod = H.FilterMethod;
    P.Interlaced = H.InterlaceMethod != 0;
    P.HasAlpha = P.ColorScheme == TColorScheme::GrayAlpha || P.ColorScheme == TColorScheme::RGBA;
    for (;;) {
        Chunks.ReadHeader();
        if (Chunks.Is(gAMA)) {
            Chunks.ReadData(Data);
            // A gAMA chunk of another size is ignored, as the load ignores it.
            if (Data.size() != 4) continue;
            P.FileGamma = static_cast<float>(BigEndian32(Data.data())) / 100000.0f;
            return true;
        }
        const bool End = Chunks.Is(IEND);
        Chunks.Skip();
        if (End) return true;
    }
}

void TPNGGraphic::LoadFromStream(TStream& Stream) {
    BeginLoadOrRaise(Stream, gesPNGFormat);
    TLoad Load(*this, Stream);
    try {
        Load.Run();
    } catch (...) {
        EndProgress();
        throw;
    }
    EndProgress();
}

// --- Icon entries -------------------------------------------------------------------------------

void DecodePNGIconEntry(TStream& Stream, TBitmap& Bitmap) {
    TPNGGraphic Reader;
    Reader.LoadFromStream(Stream);
    Bitmap.Assign(&Reader);
    if (!Bitmap.Transparent() || Bitmap.PixelFormat() == pf32bit) return;
    // Icons carry transparency as alpha: the pixels of the transparent colour get alpha 0.
    const auto Colour = static_cast<uint32_t>(Bitmap.TransparentColor());
    const uint32_t Key = (Colour & 0xFFu) << 16 | (Colour & 0xFF00u) | (Colour >> 16 & 0xFFu);
    Bitmap.SetPixelFormat(pf32bit);
    for (int Y = 0; Y < Bitmap.Height(); ++Y) {
        uint8_t* Row = Bitmap.ScanLine(Y);
        for (int X = 0; X < Bitmap.Width(); ++X) {
            uint32_t Pixel;
            std::memcpy(&Pixel, Row + 4 * X, 4);
            Pixel = (Pixel & 0x00FFFFFFu) | ((Pixel & 0x00FFFFFFu) == Key ? 0u : 0xFF000000u);
            std::memcpy(Row + 4 * X, &Pixel, 4);
        }
    }
}

} // namespace qv
