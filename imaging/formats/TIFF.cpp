#include "imaging/formats/TIFF.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <set>

#include "imaging/ByteReader.h"
#include "imaging/decoders/ImageCompression.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TTIFFGraphic, TImageGraphic)

namespace {

// Tags read by the reader.
constexpr uint16_t TagImageWidth = 256;
constexpr uint16_t TagImageLength = 257;
constexpr uint16_t TagBitsPerSample = 258;
constexpr uint16_t TagCompression = 259;
constexpr uint16_t TagPhotometric = 262;
constexpr uint16_t TagFillOrder = 266;
constexpr uint16_t TagStripOffsets = 273;
constexpr uint16_t TagSamplesPerPixel = 277;
constexpr uint16_t TagRowsPerStrip = 278;
constexpr uint16_t TagStripByteCounts = 279;
constexpr uint16_t TagXResolution = 282;
constexpr uint16_t TagYResolution = 283;
constexpr uint16_t TagPlanarConfig = 284;
constexpr uint16_t TagT4Options = 292;
constexpr uint16_t TagT6Options = 293;
constexpr uint16_t TagResolutionUnit = 296;
constexpr uint16_t TagPredictor = 317;
constexpr uint16_t TagColorMap = 320;
constexpr uint16_t TagTileWidth = 322;
constexpr uint16_t TagTileLength = 323;
constexpr uint16_t TagTileOffsets = 324;
constexpr uint16_t TagTileByteCounts = 325;
constexpr uint16_t TagExtraSamples = 338;
constexpr uint16_t TagJPEGTables = 347;
constexpr uint16_t TagYCbCrCoefficients = 529;
constexpr uint16_t TagYCbCrSubSampling = 530;
constexpr uint16_t TagYCbCrPositioning = 531;

// Field types.
constexpr uint16_t TypeByte = 1;
constexpr uint16_t TypeShort = 3;
constexpr uint16_t TypeLong = 4;
constexpr uint16_t TypeRational = 5;
constexpr uint16_t TypeSShort = 8;
constexpr uint16_t TypeSLong = 9;
constexpr uint16_t TypeSRational = 10;

constexpr size_t HeaderSize = 8;
constexpr size_t EntrySize = 12;
constexpr uint32_t MaxColorMapValues = 3 * 256;
// No decoder here turns one packed byte into more than this many bytes, so a picture larger
// than its strips can describe is refused before the bitmap is allocated; small pictures
// (up to MinCheckedBytes) are always allowed, whatever their strips hold.
constexpr uint64_t MaxExpansion = 4096;
constexpr uint64_t MinCheckedBytes = uint64_t{1} << 26;

/// Bytes one value of a field type occupies; 0 for types whose values are not interpreted.
uint64_t TypeSize(uint16_t Type) {
    switch (Type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: return 4;
    case 5: case 10: return 8;
    default: return 0;
    }
}

TCompressionScheme CompressionOf(uint32_t Value) {
    switch (Value) {
    case 1: return TCompressionScheme::None;
    case 2: return TCompressionScheme::CCITTRLE;
    case 3: return TCompressionScheme::CCITTFax3;
    case 4: return TCompressionScheme::CCITTFax4;
    case 5: return TCompressionScheme::LZW;
    case 6: return TCompressionScheme::OldJPEG;
    case 7: return TCompressionScheme::JPEG;
    case 8: case 32946: return TCompressionScheme::LZ77;
    case 32766: return TCompressionScheme::NeXT;
    case 32771: return TCompressionScheme::CCITTRLEW;
    case 32773: return TCompressionScheme::PackBits;
    case 32809: return TCompressionScheme::Thunderscan;
    case 32895: return TCompressionScheme::IT8CTPAD;
    case 32896: return TCompressionScheme::IT8LW;
    case 32897: return TCompressionScheme::IT8MP;
    case 32898: return TCompressionScheme::IT8BL;
    case 32908: return TCompressionScheme::PixarFilm;
    case 32909: return TCompressionScheme::PixarLog;
    case 32947: return TCompressionScheme::DCS;
    case 34661: return TCompressionScheme::JBIG;
    default: return TCompressionScheme::Unknown;
    }
}

TColorScheme ColorSchemeOf(uint32_t Photometric, uint32_t SamplesPerPixel, TImageOptions& Options) {
    switch (Photometric) {
    case 0: Options.Include(TImageOption::MinIsWhite); return TColorScheme::Gray;
    case 1: return TColorScheme::Gray;
    case 2: return SamplesPerPixel < 4 ? TColorScheme::RGB : TColorScheme::RGBA;
    case 3: return TColorScheme::Indexed;
    case 5: return TColorScheme::CMYK;
    case 6: return TColorScheme::YCbCr;
    case 8: return TColorScheme::CIELab;
    default: return TColorScheme::Unknown;
    }
}

/// Samples a pixel of the scheme holds in the file; 0 where the colour manager decides.
uint32_t SamplesOf(TColorScheme Scheme) {
    switch (Scheme) {
    case TColorScheme::Indexed:
    case TColorScheme::Gray: return 1;
    case TColorScheme::GrayAlpha: return 2;
    case TColorScheme::RGB:
    case TColorScheme::BGR:
    case TColorScheme::CIELab:
    case TColorScheme::YCbCr: return 3;
    case TColorScheme::RGBA:
    case TColorScheme::CMYK: return 4;
    default: return 0;
    }
}

const std::array<uint8_t, 256> ReversedBits = [] {
    std::array<uint8_t, 256> Table{};
    for (int Value = 0; Value < 256; ++Value) {
        uint8_t Reversed = 0;
        for (int Bit = 0; Bit < 8; ++Bit)
            if (Value & (1 << Bit)) Reversed = static_cast<uint8_t>(Reversed | (0x80 >> Bit));
        Table[static_cast<size_t>(Value)] = Reversed;
    }
    return Table;
}();

void ReverseBitOrder(std::span<uint8_t> Data) {
    for (uint8_t& Byte : Data) Byte = ReversedBits[Byte];
}

uint8_t Narrow(uint32_t Value) { return static_cast<uint8_t>(std::min<uint32_t>(Value, 255)); }

[[noreturn]] void RaiseInvalid() { RaiseInvalidGraphicFmt(gesInvalidImage, gesTIFFFormat); }

[[noreturn]] void RaiseUnsupported(const char* Feature) {
    RaiseInvalidGraphicFmt(gesUnsupportedFeature, Feature, gesTIFFFormat);
}

/// Where one strip or tile lies in the file.
struct TBlock {
    uint64_t Offset;
    uint64_t ByteCount; ///< clamped to the bytes the stream holds from Offset
};

/// How the picture's data is cut up: strips of whole rows or tiles, every sample of a pixel
/// together or one plane per sample, each plane a full set of strips or tiles of its own.
struct TBlockLayout {
    bool Tiled = false;
    uint32_t BlockWidth = 0;   ///< pixels across a block: the picture's width for strips
    uint32_t BlockLength = 0;  ///< rows of a tile, or of a strip of separate planes
    uint32_t Across = 1;       ///< blocks side by side
    uint64_t PerPlane = 0;     ///< blocks of one plane
};

/// Bytes of a row of Pixels pixels of Samples samples.
uint64_t LineBytes(uint64_t Pixels, uint32_t Samples, uint32_t Bits) { return (Pixels * Samples * Bits + 7) / 8; }

uint32_t DivideUp(uint32_t Value, uint32_t Divisor) {
    return static_cast<uint32_t>((uint64_t{Value} + Divisor - 1) / Divisor);
}

/// Copies Bits bits from the start of Source to Target at bit offset TargetBit (most
/// significant bit first), for tiles of packed pixels whose width is not a whole byte.
void CopyBits(const uint8_t* Source, uint8_t* Target, uint64_t TargetBit, uint64_t Bits) {
    for (uint64_t I = 0; I < Bits; ++I) {
        const bool Set = (Source[I / 8] & (0x80 >> (I % 8))) != 0;
        const uint64_t T = TargetBit + I;
        const auto Bit = static_cast<uint8_t>(0x80 >> (T % 8));
        Target[T / 8] = static_cast<uint8_t>(Set ? Target[T / 8] | Bit : Target[T / 8] & ~Bit);
    }
}

/// Puts the rows of a decoded block (BlockLine bytes apart) into Rows rows of a band (BandLine
/// bytes apart) from pixel X on: Pixels pixels of PixelBits bits. A block of subsampled chroma
/// (H x V pixels a sample, 8 bits) is spread over the pixels each of its samples covers.
void PlaceBlock(const uint8_t* Block, uint64_t BlockLine, uint8_t* Band, uint64_t BandLine, uint32_t Rows,
                uint64_t X, uint64_t Pixels, uint32_t PixelBits, uint32_t H, uint32_t V) {
    for (uint32_t R = 0; R < Rows; ++R) {
        const uint8_t* From = Block + (R / V) * BlockLine;
        uint8_t* To = Band + R * BandLine;
        if (H != 1 || V != 1) {
            for (uint64_t I = 0; I < Pixels; ++I) To[X + I] = From[I / H];
        } else if (const uint64_t BitAt = X * PixelBits; BitAt % 8 == 0) {
            std::memcpy(To + BitAt / 8, From, static_cast<size_t>((Pixels * PixelBits + 7) / 8));
        } else {
            CopyBits(From, To, BitAt, Pixels * PixelBits);
        }
    }
}

/// Blocks of subsampled YCbCr: each holds Horizontal x Vertical luma samples, then Cb and Cr.
struct TYCbCrBlocks {
    uint32_t Horizontal = 1;
    uint32_t Vertical = 1;
    bool Used() const { return Horizontal != 1 || Vertical != 1; }
    uint64_t StripBytes(uint32_t Width, uint32_t Rows) const {
        const uint64_t Across = (uint64_t{Width} + Horizontal - 1) / Horizontal;
        const uint64_t Down = (uint64_t{Rows} + Vertical - 1) / Vertical;
        return Across * Down * (uint64_t{Horizontal} * Vertical + 2);
    }
    /// Spreads the blocks of a strip into Rows rows of Y, Cb, Cr pixels.
    void Unpack(std::span<const uint8_t> Blocks, std::span<uint8_t> Pixels, uint32_t Width, uint32_t Rows) const {
        const uint64_t Across = (uint64_t{Width} + Horizontal - 1) / Horizontal;
        const size_t BlockBytes = size_t{Horizontal} * Vertical + 2;
        size_t At = 0;
        for (uint64_t Band = 0; Band * Vertical < Rows; ++Band) {
            for (uint64_t Block = 0; Block < Across; ++Block, At += BlockBytes) {
                if (At + BlockBytes > Blocks.size()) return;
                const uint8_t* B = Blocks.data() + At;
                const uint8_t Cb = B[BlockBytes - 2];
                const uint8_t Cr = B[BlockBytes - 1];
                for (uint32_t J = 0; J < Vertical; ++J) {
                    const uint64_t Y = Band * Vertical + J;
                    if (Y >= Rows) break;
                    for (uint32_t I = 0; I < Horizontal; ++I) {
                        const uint64_t X = Block * Horizontal + I;
                        if (X >= Width) break;
                        uint8_t* P = Pixels.data() + (Y * Width + X) * 3;
                        P[0] = B[J * Horizontal + I];
                        P[1] = Cb;
                        P[2] = Cr;
                    }
                }
            }
        }
    }
};

} // namespace

TTIFFGraphic::TTIFFGraphic() = default;
TTIFFGraphic::~TTIFFGraphic() = default;

// --- Tag queries ------------------------------------------------------------------------------

uint16_t TTIFFGraphic::Word(const uint8_t* P) const {
    return FBigEndian ? static_cast<uint16_t>(P[0] << 8 | P[1]) : static_cast<uint16_t>(P[1] << 8 | P[0]);
}

uint32_t TTIFFGraphic::Long(const uint8_t* P) const {
    const uint32_t Value = uint32_t{P[0]} | uint32_t{P[1]} << 8 | uint32_t{P[2]} << 16 | uint32_t{P[3]} << 24;
    return FBigEndian ? SwapLong(Value) : Value;
}

const TTIFFGraphic::TIFDEntry* TTIFFGraphic::FindTag(uint16_t Tag) const {
    const auto It = std::lower_bound(FIFD.begin(), FIFD.end(), Tag,
                                     [](const TIFDEntry& Entry, uint16_t Wanted) { return Entry.Tag < Wanted; });
    return It != FIFD.end() && It->Tag == Tag ? &*It : nullptr;
}

uint32_t TTIFFGraphic::GetValue(uint16_t Tag, uint32_t Default) const {
    const TIFDEntry* Entry = FindTag(Tag);
    // A tag without values has nothing to give.
    if (Entry == nullptr || Entry->Count == 0) return Default;
    if (Entry->Count != 1) return Long(Entry->Value.data());
    switch (Entry->DataType) {
    case TypeByte: return Entry->Value[0];
    case TypeShort:
    case TypeSShort: return Word(Entry->Value.data());
    case TypeLong:
    case TypeSLong: return Long(Entry->Value.data());
    default: return Default;
    }
}

std::vector<uint8_t> TTIFFGraphic::EntryBytes(TStream& Stream, const TIFDEntry& Entry, uint64_t Size) const {
    if (Size <= 4) return std::vector<uint8_t>(Entry.Value.begin(), Entry.Value.begin() + static_cast<ptrdiff_t>(Size));
    const uint64_t Offset = Long(Entry.Value.data());
    const int64_t Available = Stream.Size() - BasePosition();
    // Checked before the allocation: a count can claim far more values than the file holds.
    if (Available < 0 || Offset > static_cast<uint64_t>(Available) || Size > static_cast<uint64_t>(Available) - Offset)
        throw EReadError();
    Stream.SetPosition(BasePosition() + static_cast<int64_t>(Offset));
    TByteReader Reader(Stream);
    return Reader.ReadBytes(static_cast<int64_t>(Size));
}

float TTIFFGraphic::GetRealValue(TStream& Stream, uint16_t Tag, float Default) const {
    const TIFDEntry* Entry = FindTag(Tag);
    if (Entry == nullptr || Entry->Count != 1) return Default;
    switch (Entry->DataType) {
    case TypeByte:
    case TypeShort:
    case TypeLong: return static_cast<float>(GetValue(Tag, 0));
    case TypeRational:
    case TypeSRational: {
        const std::vector<float> Values = GetRealList(Stream, Tag);
        return Values.empty() ? Default : Values[0];
    }
    default: return Default;
    }
}

std::vector<uint32_t> TTIFFGraphic::GetValueList(TStream& Stream, uint16_t Tag) const {
    std::vector<uint32_t> Result;
    const TIFDEntry* Entry = FindTag(Tag);
    if (Entry == nullptr || Entry->Count == 0) return Result;
    const uint64_t Size = TypeSize(Entry->DataType);
    if (Size == 0 || Size == 8) return Result;
    const std::vector<uint8_t> Bytes = EntryBytes(Stream, *Entry, Size * Entry->Count);
    Result.resize(Entry->Count);
    for (size_t I = 0; I < Result.size(); ++I) {
        const uint8_t* P = Bytes.data() + I * Size;
        Result[I] = Size == 1 ? *P : Size == 2 ? Word(P) : Long(P);
    }
    return Result;
}

std::vector<float> TTIFFGraphic::GetRealList(TStream& Stream, uint16_t Tag) const {
    std::vector<float> Result;
    const TIFDEntry* Entry = FindTag(Tag);
    if (Entry == nullptr || Entry->Count == 0) return Result;
    if (Entry->DataType != TypeRational && Entry->DataType != TypeSRational) {
        for (uint32_t Value : GetValueList(Stream, Tag)) Result.push_back(static_cast<float>(Value));
        return Result;
    }
    const std::vector<uint8_t> Bytes = EntryBytes(Stream, *Entry, uint64_t{8} * Entry->Count);
    Result.resize(Entry->Count);
    for (size_t I = 0; I < Result.size(); ++I) {
        const uint32_t Numerator = Long(Bytes.data() + I * 8);
        const uint32_t Denominator = Long(Bytes.data() + I * 8 + 4);
        if (Denominator == 0) continue; // no quotient: 0
        Result[I] = Entry->DataType == TypeSRational
                        ? static_cast<float>(static_cast<int32_t>(Numerator)) /
                              static_cast<float>(static_cast<int32_t>(Denominator))
                        : static_cast<float>(Numerator) / static_cast<float>(Denominator);
    }
    return Result;
}

std::vector<uint8_t> TTIFFGraphic::GetByteList(TStream& Stream, uint16_t Tag) const {
    const TIFDEntry* Entry = FindTag(Tag);
    if (Entry != nullptr && Entry->Count != 0 && TypeSize(Entry->DataType) == 1)
        return EntryBytes(Stream, *Entry, Entry->Count);
    std::vector<uint8_t> Result;
    for (uint32_t Value : GetValueList(Stream, Tag)) Result.push_back(static_cast<uint8_t>(Value));
    return Result;
}

bool TTIFFGraphic::ReadIFD(TStream& Stream, uint64_t Offset) {
    FIFD.clear();
    const int64_t Available = Stream.Size() - BasePosition();
    if (Available < 2 || Offset > static_cast<uint64_t>(Available) - 2) return false;
    Stream.SetPosition(BasePosition() + static_cast<int64_t>(Offset));
    TByteReader Reader(Stream);
    uint8_t CountBytes[2];
    Reader.ReadExact(CountBytes, 2);
    const uint16_t Count = Word(CountBytes);
    const std::vector<uint8_t> Raw = Reader.ReadBytes(int64_t{Count} * static_cast<int64_t>(EntrySize));
    FIFD.resize(Count);
    for (size_t I = 0; I < Count; ++I) {
        const uint8_t* P = Raw.data() + I * EntrySize;
        TIFDEntry& Entry = FIFD[I];
        Entry.Tag = Word(P);
        Entry.DataType = Word(P + 2);
        Entry.Count = Long(P + 4);
        std::memcpy(Entry.Value.data(), P + 8, 4);
    }
    std::stable_sort(FIFD.begin(), FIFD.end(), [](const TIFDEntry& A, const TIFDEntry& B) { return A.Tag < B.Tag; });
    return true;
}

// --- Header and properties --------------------------------------------------------------------

bool TTIFFGraphic::CanLoadStream(TStream& Stream) const {
    const int64_t Start = Stream.Position();
    const int64_t Left = Stream.Size() - Start;
    bool Result = false;
    uint8_t Header[HeaderSize];
    if (Left > static_cast<int64_t>(HeaderSize) && Stream.Read(Header, HeaderSize) == static_cast<int64_t>(HeaderSize)) {
        const bool Big = Header[0] == 'M' && Header[1] == 'M';
        const bool Little = Header[0] == 'I' && Header[1] == 'I';
        const uint16_t Version = Big ? static_cast<uint16_t>(Header[2] << 8 | Header[3])
                                     : static_cast<uint16_t>(Header[3] << 8 | Header[2]);
        uint32_t First = uint32_t{Header[4]} | uint32_t{Header[5]} << 8 | uint32_t{Header[6]} << 16 |
                         uint32_t{Header[7]} << 24;
        if (Big) First = SwapLong(First);
        Result = (Big || Little) && Version == 42 && First < static_cast<uint64_t>(Left);
    }
    Stream.SetPosition(Start);
    return Result;
}

bool TTIFFGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    // Every offset of the file counts from where it starts.
    SetBasePosition(Stream.Position());
    FIFD.clear();
    FYCbCrCoefficients.clear();
    FYCbCrPositioning = 1;
    TImageProperties& P = ImageProperties();

    uint8_t Header[HeaderSize];
    if (Stream.Read(Header, HeaderSize) != static_cast<int64_t>(HeaderSize)) return false;
    FBigEndian = Header[0] == 'M' && Header[1] == 'M';
    if (FBigEndian) P.Options.Include(TImageOption::BigEndian);
    P.Version = Word(Header + 2);
    P.FirstIFD = Long(Header + 4);
    if (P.Version != 42) return false;

    // Walk the chain to the wanted IFD; a chain that comes back to an IFD never gets there.
    uint64_t Offset = P.FirstIFD;
    std::set<uint64_t> Seen;
    for (uint32_t Index = 0; Index < ImageIndex; ++Index) {
        if (!Seen.insert(Offset).second || !ReadIFD(Stream, Offset)) return false;
        TByteReader Reader(Stream);
        uint8_t Next[4];
        Reader.ReadExact(Next, 4);
        Offset = Long(Next);
        if (Offset == 0 || Seen.contains(Offset)) return false;
    }
    if (!ReadIFD(Stream, Offset)) return false;

    P.Width = GetValue(TagImageWidth, 0);
    P.Height = GetValue(TagImageLength, 0);
    if (P.Width == 0 || P.Height == 0) return false;

    P.RowsPerStrip = GetValueList(Stream, TagRowsPerStrip);
    if (P.RowsPerStrip.empty() || (P.RowsPerStrip.size() == 1 && P.RowsPerStrip[0] == 0xFFFFFFFFu))
        P.RowsPerStrip = {P.Height};
    const uint32_t SamplesPerPixel = GetValue(TagSamplesPerPixel, 1);
    P.SamplesPerPixel = Narrow(SamplesPerPixel);
    const std::vector<uint32_t> Bits = GetValueList(Stream, TagBitsPerSample);
    P.BitsPerSample = Bits.empty() ? 1 : Narrow(Bits[0]);
    P.TileWidth = GetValue(TagTileWidth, 0);
    P.TileLength = GetValue(TagTileLength, 0);
    if (P.TileWidth != 0 && P.TileLength != 0) P.Options.Include(TImageOption::Tiled);
    const uint32_t Photometric = GetValue(TagPhotometric, 0);
    const std::vector<uint32_t> Extra = GetValueList(Stream, TagExtraSamples);
    P.HasAlpha = !Extra.empty() && std::none_of(Extra.begin(), Extra.end(), [](uint32_t V) { return V > 2; });
    P.BitsPerPixel = Narrow(uint32_t{P.BitsPerSample} * P.SamplesPerPixel);
    P.Compression = CompressionOf(GetValue(TagCompression, 0));
    P.ColorScheme = ColorSchemeOf(Photometric, SamplesPerPixel, P.Options);
    if (P.ColorScheme == TColorScheme::YCbCr) {
        FYCbCrCoefficients = GetRealList(Stream, TagYCbCrCoefficients);
        if (FYCbCrCoefficients.empty()) FYCbCrCoefficients = {0.299f, 0.587f, 0.114f};
        P.YCbCrSubSampling = GetByteList(Stream, TagYCbCrSubSampling);
        // Both factors or neither: a single value leaves no vertical factor to read.
        if (P.YCbCrSubSampling.size() < 2) P.YCbCrSubSampling = {2, 2};
        P.YCbCrSubSampling.resize(2);
        FYCbCrPositioning = GetValue(TagYCbCrPositioning, 1);
    }
    P.JPEGColorMode = 0;
    P.JPEGTablesMode = 3;
    // Absent means contiguous samples, the format's default.
    P.PlanarConfig = GetValue(TagPlanarConfig, 1);
    P.XResolution = GetRealValue(Stream, TagXResolution, 0);
    P.YResolution = GetRealValue(Stream, TagYResolution, 0);
    if (GetValue(TagResolutionUnit, 2) == 3) {
        P.XResolution *= 2.54f;
        P.YResolution *= 2.54f;
    }
    P.Predictor = GetValue(TagPredictor, 0);
    if (GetValue(TagFillOrder, 1) == 2) P.Options.Include(TImageOption::ReversedBitOrder);
    return true;
}

void TTIFFGraphic::SaveToStream(TStream&) {}

// --- Loading ----------------------------------------------------------------------------------

void TTIFFGraphic::LoadFromStream(TStream& Stream) {
    BeginLoadOrRaise(Stream, gesTIFFFormat);
    LoadImage(Stream);
}

void TTIFFGraphic::LoadImage(TStream& Stream) {
    TImageProperties& P = ImageProperties();
    TColorManager& CM = ColorManager();
    const bool BigEndian = P.Options.Contains(TImageOption::BigEndian);
    const bool Reversed = P.Options.Contains(TImageOption::ReversedBitOrder);
    const uint32_t Width = P.Width;
    const uint32_t Height = P.Height;
    const bool Separate = P.PlanarConfig == 2 && P.SamplesPerPixel > 1;

    StartProgress(gesPreparing);
    std::unique_ptr<TDecoder> Decoder;
    try {
        // Colour set-up.
        TColorScheme Source = P.ColorScheme;
        if (P.Compression == TCompressionScheme::JPEG && P.SamplesPerPixel == 3 && !Separate &&
            (Source == TColorScheme::RGB || Source == TColorScheme::YCbCr))
            Source = TColorScheme::BGR; // the JPEG decoder delivers that order
        TColorScheme Target = Source;
        const bool Palette = Source == TColorScheme::Indexed;
        // The extra sample of grey and palette pixels is dropped: skipped inside each pixel, or
        // its plane never read.
        if ((Source == TColorScheme::Gray || Source == TColorScheme::Indexed) && P.SamplesPerPixel == 2 && !Separate)
            Source = TColorScheme::GrayAlpha;
        switch (Source) {
        case TColorScheme::GrayAlpha: Target = Palette ? TColorScheme::Indexed : TColorScheme::Gray; break;
        case TColorScheme::RGB: Target = TColorScheme::BGR; break;
        case TColorScheme::RGBA: Target = TColorScheme::BGRA; break;
        case TColorScheme::CMY:
        case TColorScheme::CMYK:
        case TColorScheme::CIELab:
        case TColorScheme::YCbCr: Target = TColorScheme::BGR; break;
        default: Target = Source; break;
        }
        // Samples the picture is made of: with separate planes, the planes read.
        uint32_t Samples = P.SamplesPerPixel;
        if (const uint32_t Needed = SamplesOf(Source); Needed != 0) {
            if (Separate ? Needed > P.SamplesPerPixel : Needed != P.SamplesPerPixel)
                throw EColorConversionError(gesInvalidPixelDepth);
            if (Separate) Samples = Needed;
        }
        if (Separate && Samples > 4) throw EColorConversionError(gesInvalidPixelDepth);
        if (Palette && P.BitsPerSample > 8) RaiseInvalid();

        const uint8_t Bits = P.BitsPerSample;
        const bool Wide = Bits == 16;
        // These routines read 16-bit words in the machine's order: the rows are swapped here.
        const bool SwapRows = Wide && BigEndian && (Source == TColorScheme::CMYK || Source == TColorScheme::YCbCr);
        // 16-bit Lab goes in as its high bytes, through the 8-bit formulas.
        const bool LabHighBytes = Wide && Source == TColorScheme::CIELab;
        if (BigEndian && !SwapRows && !LabHighBytes) CM.SourceOptions.Include(TConversionOption::ByteSwap);
        if (Source == TColorScheme::CIELab) CM.SourceOptions.Include(TConversionOption::LabLightness255);
        CM.SetSourceBitsPerSample(LabHighBytes ? 8 : Bits);
        CM.SetTargetBitsPerSample(Wide ? 8 : Bits == 2 ? 4 : Bits);
        CM.SetSourceColorScheme(Source);
        CM.SetTargetColorScheme(Target);
        CM.SetSourceSamplesPerPixel(static_cast<uint8_t>(Samples));
        CM.SetTargetSamplesPerPixel(Source == TColorScheme::CMYK        ? 3
                                    : Source == TColorScheme::GrayAlpha ? 1
                                                                        : static_cast<uint8_t>(Samples));

        // Subsampled YCbCr: blocks inside each strip or tile, or smaller chroma planes.
        TYCbCrBlocks Subsampled;
        uint32_t ChromaH = 1, ChromaV = 1;
        if (Source == TColorScheme::YCbCr) {
            CM.SetYCbCrParameters(std::span<const float>(FYCbCrCoefficients), P.YCbCrSubSampling[0],
                                  P.YCbCrSubSampling[1]);
            if (Separate) {
                ChromaH = P.YCbCrSubSampling[0];
                ChromaV = P.YCbCrSubSampling[1];
            } else {
                Subsampled.Horizontal = P.YCbCrSubSampling[0];
                Subsampled.Vertical = P.YCbCrSubSampling[1];
            }
            if ((Subsampled.Used() || ChromaH != 1 || ChromaV != 1) && Bits != 8)
                throw EColorConversionError(gesConversionUnsupported);
        }
        const uint32_t Planes = Separate ? Samples : 1;
        const uint32_t PlaneSamples = Separate ? 1 : P.SamplesPerPixel;
        // Planes 1 and 2 of separate YCbCr hold the chroma.
        auto PlaneH = [&](uint32_t Plane) { return Plane == 1 || Plane == 2 ? ChromaH : 1u; };
        auto PlaneV = [&](uint32_t Plane) { return Plane == 1 || Plane == 2 ? ChromaV : 1u; };

        // Strips or tiles, and whether they can describe the picture at all.
        const uint64_t BytesPerLine = LineBytes(Width, P.SamplesPerPixel, Bits);
        P.BytesPerLine = static_cast<uint32_t>(std::min<uint64_t>(BytesPerLine, std::numeric_limits<uint32_t>::max()));
        const uint64_t PictureBytes = BytesPerLine * Height;
        TBlockLayout Layout;
        Layout.Tiled = P.Options.Contains(TImageOption::Tiled);
        const bool UseTileTags = Layout.Tiled && FindTag(TagTileOffsets) != nullptr;
        const std::vector<uint32_t> Offsets = GetValueList(Stream, UseTileTags ? TagTileOffsets : TagStripOffsets);
        const std::vector<uint32_t> Counts = GetValueList(Stream, UseTileTags ? TagTileByteCounts : TagStripByteCounts);
        if (Offsets.empty()) RaiseInvalid();
        auto StripRows = [&](uint64_t S) {
            const uint32_t Rows = S < P.RowsPerStrip.size() ? P.RowsPerStrip[S] : P.RowsPerStrip.back();
            if (Rows == 0) RaiseInvalid();
            return Rows;
        };
        if (Layout.Tiled) {
            Layout.BlockWidth = P.TileWidth;
            Layout.BlockLength = P.TileLength;
            Layout.Across = DivideUp(Width, P.TileWidth);
            Layout.PerPlane = uint64_t{Layout.Across} * DivideUp(Height, P.TileLength);
            // A tile may overhang the picture, but not by more than the picture itself could hold.
            const uint64_t Limit = std::max(PictureBytes, MinCheckedBytes);
            if (LineBytes(P.TileWidth, PlaneSamples, Bits) > Limit / P.TileLength) RaiseInvalid();
        } else {
            Layout.BlockWidth = Width;
            if (Separate) {
                Layout.BlockLength = std::min(StripRows(0), Height);
                Layout.PerPlane = DivideUp(Height, Layout.BlockLength);
            } else {
                Layout.PerPlane = Offsets.size();
            }
        }
        // Unpacked bytes of a block of Rows rows of plane Plane, as the file stores them.
        auto BlockBytes = [&](uint32_t Plane, uint32_t Rows) {
            const uint32_t Across = DivideUp(Layout.BlockWidth, PlaneH(Plane));
            return Subsampled.Used() ? Subsampled.StripBytes(Across, Rows)
                                     : LineBytes(Across, PlaneSamples, Bits) * DivideUp(Rows, PlaneV(Plane));
        };
        const uint64_t FileBytes = static_cast<uint64_t>(std::max<int64_t>(0, Stream.Size() - BasePosition()));
        // Only the blocks of the planes read count; the product is formed only when it is small.
        const uint64_t Used = Layout.PerPlane >= Offsets.size()
                                  ? Offsets.size()
                                  : std::min<uint64_t>(Offsets.size(), Layout.PerPlane * Planes);
        std::vector<TBlock> Blocks;
        uint64_t DataBytes = 0;
        for (uint64_t I = 0; I < Used; ++I) {
            TBlock Block{Offsets[I], 0};
            const uint64_t Left = Block.Offset < FileBytes ? FileBytes - Block.Offset : 0;
            if (I < Counts.size())
                Block.ByteCount = Counts[I];
            else if (P.Compression == TCompressionScheme::None)
                Block.ByteCount = BlockBytes(static_cast<uint32_t>(I / Layout.PerPlane),
                                             Layout.Tiled || Separate ? Layout.BlockLength : StripRows(I));
            else if (I + 1 < Offsets.size() && Offsets[I + 1] > Offsets[I])
                Block.ByteCount = Offsets[I + 1] - Offsets[I];
            else
                Block.ByteCount = Left;
            Block.ByteCount = std::min(Block.ByteCount, Left);
            DataBytes += Block.ByteCount;
            Blocks.push_back(Block);
        }
        if (PictureBytes > std::max(DataBytes * MaxExpansion, MinCheckedBytes)) RaiseInvalid();

        SetupBitmap();

        // Palette.
        if (Target == TColorScheme::Indexed) {
            if (const TIFDEntry* Map = FindTag(TagColorMap); Map != nullptr && Map->Count >= 3) {
                const uint32_t Values = std::min(Map->Count, MaxColorMapValues) / 3 * 3;
                const std::vector<uint8_t> Raw = EntryBytes(Stream, *Map, uint64_t{Values} * 2);
                const uint32_t Third = Values / 3;
                const uint8_t* Start = Raw.data();
                SetPalette(CM.CreateColorPalette({Start, Start + Third * 2, Start + Third * 4},
                                                 TPaletteLayout::Planar16Triple, Third, false));
            }
        } else if (Target == TColorScheme::Gray) {
            SetPalette(CM.CreateGrayPalette(P.Options.Contains(TImageOption::MinIsWhite)));
        }

        const bool Predict = P.Compression != TCompressionScheme::None && P.Predictor == 2;
        if (Predict && ((Bits != 8 && Bits != 16) || Subsampled.Used())) RaiseUnsupported(gesCompressionScheme);

        // Decoder.
        bool FaxDecoder = false;
        switch (P.Compression) {
        case TCompressionScheme::None: break;
        case TCompressionScheme::PackBits: Decoder = std::make_unique<TPackbitsRLEDecoder>(); break;
        case TCompressionScheme::LZW: Decoder = std::make_unique<TTIFFLZWDecoder>(); break;
        case TCompressionScheme::CCITTFax3: {
            const uint32_t Options = GetValue(TagT4Options, 0);
            // Uncompressed mode (bit 1) is not decoded; two-dimensional coding (bit 0) is.
            if ((Options & 2) != 0) RaiseUnsupported(gesCompressionScheme);
            Decoder = std::make_unique<TCCITTFax3Decoder>(Options, Reversed, false, Layout.BlockWidth);
            FaxDecoder = true;
            break;
        }
        case TCompressionScheme::CCITTFax4: {
            const uint32_t Options = GetValue(TagT6Options, 0);
            if ((Options & 2) != 0) RaiseUnsupported(gesCompressionScheme); // uncompressed mode
            Decoder = std::make_unique<TCCITTFax4Decoder>(Options, Reversed, false, Layout.BlockWidth);
            FaxDecoder = true;
            break;
        }
        case TCompressionScheme::CCITTRLE:
        case TCompressionScheme::CCITTRLEW:
            Decoder = std::make_unique<TCCITTMHDecoder>(GetValue(TagT4Options, 0), Reversed,
                                                        P.Compression == TCompressionScheme::CCITTRLEW,
                                                        Layout.BlockWidth);
            FaxDecoder = true;
            break;
        case TCompressionScheme::LZ77: Decoder = std::make_unique<TLZ77Decoder>(1, true); break;
        case TCompressionScheme::JPEG:
            P.JPEGTables = GetByteList(Stream, TagJPEGTables);
            Decoder = std::make_unique<TTIFFJPEGDecoder>(P);
            break;
        case TCompressionScheme::Thunderscan: Decoder = std::make_unique<TThunderDecoder>(Layout.BlockWidth); break;
        default: RaiseUnsupported(gesCompressionScheme);
        }
        if (Decoder) Decoder->DecodeInit();

        EndProgress();
        StartProgress(gesTransfering);
        P.CurrentRow = 0;
        P.CurrentStrip = 0;
        // The blocks the file holds for the picture, so the JPEG decoder can tell a block's plane
        // from its index.
        P.StripCount = static_cast<uint32_t>(
            std::min<uint64_t>(Layout.PerPlane * (Separate ? P.SamplesPerPixel : 1), UINT32_MAX));

        // Early writers' LZW: codes least significant bit first and no early change of the
        // code width, as GIF codes them; made when a block starts that way.
        std::unique_ptr<TGIFLZWDecoder> OldStyleLZW;
        std::vector<uint8_t> Packed;
        std::vector<uint8_t> Unpacked;
        // Reads block Index (Rows rows of Across pixels of one plane, or of whole pixels) and
        // leaves its rows, LineBytes(Across) apart, in Out.
        auto ReadBlock = [&](uint64_t Index, uint32_t Across, uint32_t Rows, std::vector<uint8_t>& Out) {
            const TBlock& Block = Blocks[Index];
            const uint64_t Line = LineBytes(Across, PlaneSamples, Bits);
            const uint64_t Size = Subsampled.Used() ? Subsampled.StripBytes(Across, Rows) : Line * Rows;
            if (Size > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ||
                Block.ByteCount > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
                RaiseInvalid();
            std::vector<uint8_t>& Data = Subsampled.Used() ? Unpacked : Out;
            Data.assign(static_cast<size_t>(Size), 0);
            P.CurrentStrip = static_cast<uint32_t>(Index);
            if (Block.ByteCount > 0) {
                Stream.SetPosition(BasePosition() + static_cast<int64_t>(Block.Offset));
                TByteReader Reader(Stream);
                if (Decoder) {
                    // ByteCount was cut to what the stream holds, so this reads it all.
                    Packed.resize(static_cast<size_t>(Block.ByteCount));
                    Reader.ReadExact(Packed.data(), static_cast<int64_t>(Packed.size()));
                    if (Reversed && !FaxDecoder) ReverseBitOrder(Packed);
                    // Old-style LZW starts with a clear code written least significant bit first.
                    TDecoder* BlockDecoder = Decoder.get();
                    if (P.Compression == TCompressionScheme::LZW && Packed.size() >= 2 && Packed[0] == 0 &&
                        (Packed[1] & 1) != 0) {
                        if (!OldStyleLZW) OldStyleLZW = std::make_unique<TGIFLZWDecoder>(8);
                        BlockDecoder = OldStyleLZW.get();
                    }
                    uint8_t* In = Packed.data();
                    uint8_t* OutData = Data.data();
                    BlockDecoder->Decode(In, OutData, static_cast<int32_t>(Packed.size()), static_cast<int32_t>(Size),
                                         Packed.size(), Data.size());
                } else {
                    const int64_t Got =
                        Reader.ReadAtMost(Data.data(), static_cast<int64_t>(std::min(Block.ByteCount, Size)));
                    if (Reversed) ReverseBitOrder(std::span<uint8_t>(Data.data(), static_cast<size_t>(Got)));
                }
            }
            if (Subsampled.Used()) {
                Out.assign(static_cast<size_t>(Line * Rows), 0);
                Subsampled.Unpack(Unpacked, Out, Across, Rows);
            }
            // The predictor runs along the rows of each block, tiles included.
            if (Predict)
                for (uint32_t R = 0; R < Rows; ++R)
                    UndoHorizontalDifference(std::span<uint8_t>(Out).subspan(size_t{R} * Line, Line),
                                             static_cast<uint8_t>(PlaneSamples), Bits, BigEndian);
        };

        // Band by band (a strip's rows, or a row of tiles), each plane gathered into whole rows.
        std::vector<std::vector<uint8_t>> Band(Planes);
        std::vector<uint8_t> Tile;
        std::vector<uint64_t> BandLine(Planes);
        std::vector<std::vector<uint8_t>> LabRows(LabHighBytes ? Planes : 0);
        std::vector<std::span<const uint8_t>> Sources(Planes);
        for (uint32_t Plane = 0; Plane < Planes; ++Plane) {
            BandLine[Plane] = LineBytes(Width, PlaneSamples, Bits);
            if (LabHighBytes) LabRows[Plane].resize(static_cast<size_t>(uint64_t{Width} * PlaneSamples));
        }
        for (uint64_t BandIndex = 0; P.CurrentRow < Height && BandIndex < Layout.PerPlane; ++BandIndex) {
            const uint32_t Row = P.CurrentRow;
            const uint32_t Rows =
                std::min(Layout.Tiled || Separate ? Layout.BlockLength : StripRows(BandIndex), Height - Row);
            for (uint32_t Plane = 0; Plane < Planes; ++Plane) {
                const uint32_t H = PlaneH(Plane), V = PlaneV(Plane);
                std::vector<uint8_t>& Out = Band[Plane];
                const uint64_t First = Plane * Layout.PerPlane + BandIndex * Layout.Across;
                // A strip at full resolution is its band: decoded where the rows are converted.
                if (!Layout.Tiled && H == 1 && V == 1) {
                    if (First < Blocks.size())
                        ReadBlock(First, Width, Rows, Out);
                    else
                        Out.assign(static_cast<size_t>(BandLine[Plane] * Rows), 0);
                    continue;
                }
                Out.assign(static_cast<size_t>(BandLine[Plane] * Rows), 0);
                const uint32_t BlockRows = Layout.Tiled ? Layout.BlockLength : Rows;
                for (uint32_t Column = 0; Column < Layout.Across && First + Column < Blocks.size(); ++Column) {
                    const uint32_t Across = DivideUp(Layout.BlockWidth, H);
                    ReadBlock(First + Column, Across, DivideUp(BlockRows, V), Tile);
                    const uint64_t X = uint64_t{Column} * Layout.BlockWidth;
                    PlaceBlock(Tile.data(), LineBytes(Across, PlaneSamples, Bits), Out.data(), BandLine[Plane], Rows,
                               X, std::min<uint64_t>(Layout.BlockWidth, Width - X), PlaneSamples * Bits, H, V);
                }
            }
            for (uint32_t R = 0; R < Rows; ++R) {
                for (uint32_t Plane = 0; Plane < Planes; ++Plane) {
                    const std::span<uint8_t> Line =
                        std::span<uint8_t>(Band[Plane]).subspan(static_cast<size_t>(R * BandLine[Plane]),
                                                                static_cast<size_t>(BandLine[Plane]));
                    if (SwapRows) SwapWordArray(Line.data(), Line.size() / 2);
                    if (LabHighBytes) {
                        std::vector<uint8_t>& Lab = LabRows[Plane];
                        for (size_t I = 0; I < Lab.size(); ++I) Lab[I] = Line[I * 2 + (BigEndian ? 0 : 1)];
                        Sources[Plane] = Lab;
                    } else {
                        Sources[Plane] = Line;
                    }
                }
                ConvertRow(Sources, static_cast<int>(P.CurrentRow));
                ++P.CurrentRow;
                RowProgress(P.CurrentRow);
            }
        }
        EndProgress();
        if (Decoder) Decoder->DecodeEnd();
    } catch (...) {
        EndProgress();
        if (Decoder) {
            try {
                Decoder->DecodeEnd();
            } catch (const Exception&) {
                // The first failure is the one reported.
            }
        }
        throw;
    }
}

} // namespace qv
