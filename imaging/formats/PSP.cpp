#include "imaging/formats/PSP.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "imaging/ByteReader.h"
#include "imaging/decoders/ImageCompression.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TPSPGraphic, TImageGraphic)

namespace {

constexpr int64_t HeaderSize = 36;
constexpr char Signature[] = "Paint Shop Pro Image File";
constexpr size_t SignatureLength = sizeof(Signature) - 1;
constexpr uint8_t BlockMark = 0x7E; // the '~' of "~BK"
constexpr int32_t ZFinish = 4;      // zlib's Z_FINISH: each channel is one whole stream
constexpr int32_t ZStreamEnd = 1;   // zlib's Z_STREAM_END

enum TPSPBlockId : uint16_t { pbImageAttributes = 0, pbColorPalette = 2, pbLayerBank = 3, pbLayer = 4 };

/// Channel types that take part in the picture: 0 composite (or transparency), 1 red, 2 green, 3 blue.
constexpr unsigned ChannelTypes = 4;

struct TBlockHeader {
    uint8_t Mark = 0;
    uint16_t Id = 0;
    uint32_t TotalLength = 0;
    int64_t DataStart = 0;

    int64_t End() const { return DataStart + TotalLength; }
};

/// What the header and the image-attributes block say.
struct TFileLayout {
    uint16_t Major = 0;
    uint32_t Width = 0;
    uint32_t Height = 0;
    double Resolution = 0;
    uint8_t ResolutionUnit = 0;
    uint16_t Compression = 0;
    uint16_t BitDepth = 0;
    uint8_t Greyscale = 0;
    int64_t FirstBlock = 0; ///< where the block after the attributes starts
};

int64_t BlockHeaderSize(uint16_t Major) { return Major == 3 ? 14 : 10; }

/// Reads the block header at Position when a whole one lies before Limit; false
/// means there is no further block.
bool ReadBlockHeader(TStream& Stream, int64_t Position, int64_t Limit, uint16_t Major, TBlockHeader& Block) {
    const int64_t Size = BlockHeaderSize(Major);
    if (Position < 0 || Position > Limit - Size) return false;
    Stream.SetPosition(Position);
    TByteReader Reader(Stream, Size);
    std::array<uint8_t, 4> Identifier{};
    Reader.ReadExact(Identifier.data(), 4);
    Block.Mark = Identifier[0];
    Block.Id = Reader.ReadU16LE();
    if (Major == 3) Reader.Skip(4); // initial data length
    Block.TotalLength = Reader.ReadU32LE();
    Block.DataStart = Stream.Position();
    return true;
}

bool SignatureMatches(const uint8_t* Bytes) {
    for (size_t I = 0; I < SignatureLength; ++I)
        if (std::tolower(Bytes[I]) != std::tolower(static_cast<unsigned char>(Signature[I]))) return false;
    return true;
}

/// Reads the file header and the image-attributes block at the stream's position.
/// False when the data is not of the format.
bool ReadLayout(TStream& Stream, TFileLayout& Layout) {
    TByteReader Reader(Stream);
    std::array<uint8_t, HeaderSize> Header{};
    Reader.ReadExact(Header.data(), HeaderSize);
    Layout.Major = static_cast<uint16_t>(Header[32] | Header[33] << 8);
    if (!SignatureMatches(Header.data()) || Layout.Major < 3) return false;

    TBlockHeader Block;
    if (!ReadBlockHeader(Stream, Stream.Position(), Stream.Size(), Layout.Major, Block)) throw EReadError();
    if (Block.Mark != BlockMark || Block.Id != pbImageAttributes) return false;
    TByteReader Chunk(Stream, Block.TotalLength);
    if (Layout.Major >= 4) Chunk.Skip(4); // chunk length
    Layout.Width = Chunk.ReadU32LE();
    Layout.Height = Chunk.ReadU32LE();
    const uint32_t Low = Chunk.ReadU32LE();
    const uint32_t High = Chunk.ReadU32LE();
    Layout.Resolution = std::bit_cast<double>(uint64_t{High} << 32 | Low);
    Layout.ResolutionUnit = Chunk.ReadU8();
    Layout.Compression = Chunk.ReadU16LE();
    Layout.BitDepth = Chunk.ReadU16LE();
    Chunk.Skip(2 + 4);                   // plane count, colour count
    Layout.Greyscale = Chunk.ReadU8();
    Chunk.Skip(4 + 4 + 2 + 4);           // total image size, active layer, layer count, graphic contents
    Layout.FirstBlock = Block.End();
    return true;
}

/// A resolution as a float: non-finite or out-of-range values become 0.
float ResolutionValue(double Value) {
    if (!std::isfinite(Value) || std::fabs(Value) > std::numeric_limits<float>::max()) return 0;
    return static_cast<float>(Value);
}

[[noreturn]] void RaiseInvalidPSP() { RaiseInvalidGraphicFmt(gesInvalidImage, gesPSPFormat); }

/// The most bytes Size compressed bytes can decode to, so that a channel buffer
/// never exceeds what its data can fill.
uint64_t MostDecoded(TCompressionScheme Compression, uint64_t Size) {
    switch (Compression) {
    case TCompressionScheme::RLE: return Size * 64 + 64;   // a 2-byte run writes at most 127 bytes
    case TCompressionScheme::LZ77: return Size * 1032 + 1024; // deflate's largest ratio
    default: return Size;
    }
}

/// One decoded channel: its bytes, how many of them the data filled, and its row stride.
struct TChannel {
    bool Present = false;
    std::vector<uint8_t> Data;
    uint64_t Stride = 0;
};

/// The channels of one layer block: which of them the picture takes, decoded.
class TLayerChannels {
public:
    TLayerChannels(TStream& Stream, const TFileLayout& Layout, const TImageProperties& Properties)
        : FStream(Stream), FLayout(Layout), FProperties(Properties) {}

    /// Reads the layer information of a layer block ending at Limit; true for a
    /// raster layer, whose channels ReadChannels then reads.
    bool Open(const TBlockHeader& Block, int64_t Limit);
    void ReadChannels();
    /// True when a channel of a type the picture uses was read.
    bool HasImage() const {
        return std::any_of(FChannels.begin(), FChannels.end(), [](const TChannel& C) { return C.Present; });
    }
    bool Has(unsigned Type) const { return FChannels[Type].Present; }
    /// Picture row Row of the channel of a type: the layer's pixels where it covers
    /// the row, zero elsewhere and where its data ended.
    std::span<const uint8_t> RowOf(unsigned Type, uint32_t Row);

private:
    void ReadChannel(const TBlockHeader& Block, int64_t Limit);
    /// Reads the layer's rectangle and the stored part of it; a layer that does not
    /// state a usable one covers the whole picture.
    void ReadRectangles(TByteReader& Reader);
    /// Row Row of the stored rectangle, zero where the data ended.
    std::span<const uint8_t> StoredRow(unsigned Type, uint64_t Row);

    TStream& FStream;
    const TFileLayout& FLayout;
    const TImageProperties& FProperties;
    int64_t FLimit = 0;
    int64_t FChannelsStart = 0;
    uint16_t FChannelCount = 0;
    // The stored pixels: StoredWidth x StoredHeight at (Left, Top) of the picture.
    int64_t FLeft = 0;
    int64_t FTop = 0;
    uint64_t FStoredWidth = 0;
    uint64_t FStoredHeight = 0;
    bool FWholePicture = true;
    std::array<TChannel, ChannelTypes> FChannels;
    std::array<std::vector<uint8_t>, ChannelTypes> FScratch;
    std::array<std::vector<uint8_t>, ChannelTypes> FPlaced;
};

/// Bytes of one row of Width samples of Bits bits, as the picture's rows hold them.
uint64_t PackedBytes(uint64_t Width, unsigned Bits) { return (Width * Bits + 7) / 8; }

uint8_t SampleAt(const uint8_t* Row, uint64_t X, unsigned Bits) {
    if (Bits == 8) return Row[X];
    if (Bits == 4) return static_cast<uint8_t>((Row[X / 2] >> (X % 2 ? 0 : 4)) & 0x0F);
    return static_cast<uint8_t>((Row[X / 8] >> (7 - X % 8)) & 1);
}

void PutSample(uint8_t* Row, uint64_t X, unsigned Bits, uint8_t Value) {
    if (Bits == 8) {
        Row[X] = Value;
        return;
    }
    const unsigned Shift = Bits == 4 ? (X % 2 ? 0 : 4) : 7 - static_cast<unsigned>(X % 8);
    uint8_t& Byte = Row[Bits == 4 ? X / 2 : X / 8];
    Byte = static_cast<uint8_t>((Byte & ~(((1u << Bits) - 1) << Shift)) | (Value << Shift));
}

} // namespace

bool TPSPGraphic::CanLoadStream(TStream& Stream) const {
    if (Stream.Remaining() <= HeaderSize) return false;
    const int64_t Start = Stream.Position();
    std::array<uint8_t, HeaderSize> Header{};
    Stream.ReadBuffer(Header.data(), HeaderSize);
    Stream.SetPosition(Start);
    return SignatureMatches(Header.data()) && (Header[32] | Header[33] << 8) >= 3;
}

bool TPSPGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    TFileLayout Layout;
    if (!ReadLayout(Stream, Layout)) return false;
    TImageProperties& P = ImageProperties();
    P.Version = Layout.Major;
    if (Layout.BitDepth == 24) {
        P.BitsPerSample = 8;
        P.SamplesPerPixel = 3;
        P.ColorScheme = TColorScheme::RGB;
    } else {
        P.BitsPerSample = static_cast<uint8_t>(std::min<uint16_t>(Layout.BitDepth, 255));
        P.SamplesPerPixel = 1;
        P.ColorScheme = Layout.Greyscale != 0 ? TColorScheme::Gray : TColorScheme::Indexed;
    }
    P.BitsPerPixel = static_cast<uint8_t>(std::min(P.BitsPerSample * P.SamplesPerPixel, 255));
    P.Width = Layout.Width;
    P.Height = Layout.Height;
    switch (Layout.Compression) {
    case 0: P.Compression = TCompressionScheme::None; break;
    case 1: P.Compression = TCompressionScheme::RLE; break;
    case 2: P.Compression = TCompressionScheme::LZ77; break;
    case 3: P.Compression = TCompressionScheme::JPEG; break;
    default: P.Compression = TCompressionScheme::Unknown; break;
    }
    const double PerInch = Layout.ResolutionUnit == 2 ? Layout.Resolution * 2.54 : Layout.Resolution;
    P.XResolution = ResolutionValue(PerInch);
    P.YResolution = P.XResolution;
    return true;
}

void TPSPGraphic::LoadFromStream(TStream& Stream) {
    BeginLoadOrRaise(Stream, gesPSPFormat);
    const TImageProperties& P = ImageProperties();
    StartProgress(gesPreparing);
    TFileLayout Layout;
    if (!ReadLayout(Stream, Layout)) RaiseInvalidPSP();

    const uint8_t Bits = P.BitsPerSample;
    if (Bits != 1 && Bits != 4 && Bits != 8) RaiseInvalidGraphicFmt(gesInvalidColorFormat, gesPSPFormat);
    TColorManager& Colors = ColorManager();
    Colors.SourceOptions = TConversionOptions{};
    Colors.SetSourceBitsPerSample(Bits);
    Colors.SetTargetBitsPerSample(Bits);
    Colors.SetSourceSamplesPerPixel(P.SamplesPerPixel);
    Colors.SetTargetSamplesPerPixel(P.SamplesPerPixel);
    Colors.SetSourceColorScheme(P.ColorScheme);
    const bool Colour = P.ColorScheme == TColorScheme::RGB;
    Colors.SetTargetColorScheme(Colour ? TColorScheme::BGR : P.ColorScheme);
    SetupBitmap();
    // A palette for this file only: grey until the file's own palette block replaces it.
    if (!Colour) SetPalette(Colors.CreateGrayPalette(false));
    EndProgress();

    auto TransferLayer = [&](TLayerChannels& Layer) {
        // A colour layer with a transparency channel shows through it.
        const bool Alpha = Colour && Layer.Has(0);
        if (Alpha) {
            Colors.SetSourceColorScheme(TColorScheme::RGBA);
            Colors.SetTargetColorScheme(TColorScheme::BGRA);
            Colors.SetSourceSamplesPerPixel(4);
            Colors.SetTargetSamplesPerPixel(4);
            ImageProperties().HasAlpha = true;
            SetupBitmap();
        }
        StartProgress(gesTransfering);
        for (uint32_t Row = 0; Row < P.Height; ++Row) {
            const int Y = static_cast<int>(Row);
            if (Alpha)
                ConvertRow({Layer.RowOf(1, Row), Layer.RowOf(2, Row), Layer.RowOf(3, Row), Layer.RowOf(0, Row)}, Y);
            else if (Colour)
                ConvertRow({Layer.RowOf(1, Row), Layer.RowOf(2, Row), Layer.RowOf(3, Row)}, Y);
            else
                ConvertRow(Layer.RowOf(0, Row), Y);
            RowProgress(Row);
        }
        EndProgress();
    };

    const int64_t StreamEnd = Stream.Size();
    TBlockHeader Block;
    bool Done = false;
    for (int64_t Next = Layout.FirstBlock; ReadBlockHeader(Stream, Next, StreamEnd, Layout.Major, Block);) {
        if (Block.Mark != BlockMark) break;
        Next = Block.End();
        const int64_t BlockEnd = std::min(Block.End(), StreamEnd);
        if (Block.Id == pbColorPalette && !Colour) {
            TByteReader Reader(Stream, BlockEnd - Block.DataStart);
            if (Layout.Major >= 4) Reader.Skip(4); // chunk length
            // The picture's palette holds 256 entries; further ones are not read.
            const uint32_t Entries = std::min<uint32_t>(Reader.ReadU32LE(), 256);
            const std::vector<uint8_t> Quads = Reader.ReadBytes(int64_t{Entries} * 4);
            SetPalette(Colors.CreateColorPalette({Quads.data()}, TPaletteLayout::Interleaved8Quad, Entries, true));
        } else if (Block.Id == pbLayerBank && !Done) {
            // Layers up to the bank's end; anything but a layer block ends the search in this bank.
            TBlockHeader Sub;
            for (int64_t SubNext = Block.DataStart; ReadBlockHeader(Stream, SubNext, BlockEnd, Layout.Major, Sub);) {
                if (Sub.Mark != BlockMark || Sub.Id != pbLayer) break;
                SubNext = Sub.End();
                TLayerChannels Layer(Stream, Layout, P);
                if (!Layer.Open(Sub, std::min(Sub.End(), BlockEnd))) continue;
                StartProgress(gesLoadingData);
                Layer.ReadChannels();
                EndProgress();
                if (!Layer.HasImage()) continue;
                TransferLayer(Layer);
                Done = true;
                break;
            }
        }
    }
}

namespace {

bool TLayerChannels::Open(const TBlockHeader& Block, int64_t Limit) {
    FStream.SetPosition(Block.DataStart);
    TByteReader Reader(FStream, Limit - Block.DataStart);
    // Moves to the end of a chunk that counts its own length field.
    auto SkipToChunkEnd = [&](int64_t ChunkStart, uint32_t ChunkLength) {
        const int64_t End = ChunkStart + ChunkLength;
        if (End < Reader.Position()) throw EReadError();
        Reader.Seek(End);
    };
    if (FLayout.Major == 3) {
        Reader.Skip(256); // name
        const uint8_t Type = Reader.ReadU8();
        ReadRectangles(Reader);
        Reader.Skip(114 - 32);
        if (Type != 0) return false;
    } else {
        const int64_t ChunkStart = Reader.Position();
        const uint32_t ChunkLength = Reader.ReadU32LE();
        Reader.Skip(Reader.ReadU16LE()); // name
        const uint8_t Type = Reader.ReadU8();
        ReadRectangles(Reader);
        SkipToChunkEnd(ChunkStart, ChunkLength);
        // Undefined or raster; vector, adjustment and other layers hold no pixels of their own.
        if (Type > 1) return false;
    }
    const int64_t BitmapChunkStart = Reader.Position();
    const uint32_t BitmapChunkLength = FLayout.Major >= 4 ? Reader.ReadU32LE() : 0;
    Reader.ReadU16LE(); // bitmap count
    FChannelCount = Reader.ReadU16LE();
    if (FLayout.Major >= 4) SkipToChunkEnd(BitmapChunkStart, BitmapChunkLength);
    FChannelsStart = Reader.Position();
    FLimit = Limit;
    return true;
}

void TLayerChannels::ReadRectangles(TByteReader& Reader) {
    std::array<int32_t, 8> R{}; // the layer's rectangle, then the stored part of it (left, top, right, bottom)
    for (int32_t& V : R) V = Reader.ReadI32LE();
    FStoredWidth = FProperties.Width;
    FStoredHeight = FProperties.Height;
    FLeft = FTop = 0;
    FWholePicture = true;
    const int64_t Width = int64_t{R[6]} - R[4];
    const int64_t Height = int64_t{R[7]} - R[5];
    if (Width <= 0 || Height <= 0) return;
    const int64_t Left = int64_t{R[0]} + R[4];
    const int64_t Top = int64_t{R[1]} + R[5];
    if (Left == 0 && Top == 0 && Width == FProperties.Width && Height == FProperties.Height) return;
    FLeft = Left;
    FTop = Top;
    FStoredWidth = static_cast<uint64_t>(Width);
    FStoredHeight = static_cast<uint64_t>(Height);
    FWholePicture = false;
}

void TLayerChannels::ReadChannels() {
    TBlockHeader Channel;
    int64_t Next = FChannelsStart;
    for (uint16_t I = 0; I < FChannelCount && ReadBlockHeader(FStream, Next, FLimit, FLayout.Major, Channel); ++I) {
        if (Channel.Mark != BlockMark) break;
        // Whatever a channel holds, the next one starts after its block.
        Next = Channel.End();
        ReadChannel(Channel, std::min(Channel.End(), FLimit));
    }
}

void TLayerChannels::ReadChannel(const TBlockHeader& Block, int64_t Limit) {
    TByteReader Reader(FStream, Limit - Block.DataStart);
    if (FLayout.Major >= 4) Reader.Skip(4); // chunk length
    const uint32_t CompressedLength = Reader.ReadU32LE();
    Reader.ReadU32LE(); // uncompressed length: the buffer is sized from the picture instead
    Reader.ReadU16LE(); // bitmap type
    const uint16_t Type = Reader.ReadU16LE();
    // The first channel of each type is the picture's; masks and later channels of a type are not.
    if (Type >= ChannelTypes || FChannels[Type].Present) return;

    const TImageProperties& P = FProperties;
    const TCompressionScheme Compression = P.Compression;
    if (Compression != TCompressionScheme::None && Compression != TCompressionScheme::RLE &&
        Compression != TCompressionScheme::LZ77)
        RaiseInvalidPSP();
    if (CompressedLength > static_cast<uint64_t>(Reader.Remaining())) throw EReadError();

    const uint64_t Width = FStoredWidth;
    const uint64_t Height = FStoredHeight;
    const unsigned Bits = P.BitsPerSample;
    // Writers pad 4-bit rows to 4 bytes; room for that, the stride is settled by what was decoded.
    const uint64_t Stride = Bits == 1 ? (Width + 7) / 8 : Bits == 4 ? (Width * 4 + 31) / 32 * 4 : Width;
    const uint64_t Size = std::min(Stride * Height, MostDecoded(Compression, CompressedLength));
    TChannel& Channel = FChannels[Type];
    Channel.Data.assign(static_cast<size_t>(Size), 0);
    uint64_t Produced = 0;
    const auto Packed = static_cast<int32_t>(std::min<uint64_t>(CompressedLength, INT32_MAX));
    const auto Unpacked = static_cast<int32_t>(std::min<uint64_t>(Size, INT32_MAX));
    if (Compression == TCompressionScheme::None) {
        Produced = static_cast<uint64_t>(Reader.ReadAtMost(Channel.Data.data(), std::min<int64_t>(CompressedLength, Unpacked)));
    } else {
        std::vector<uint8_t> Source = Reader.ReadBytes(CompressedLength);
        uint8_t* In = Source.data();
        uint8_t* Out = Channel.Data.data();
        if (Compression == TCompressionScheme::RLE) {
            TPSPRLEDecoder Decoder;
            Decoder.Decode(In, Out, Packed, Unpacked, Source.size(), Channel.Data.size());
            Produced = Decoder.BytesWritten();
        } else {
            TLZ77Decoder Decoder(ZFinish, false);
            Decoder.DecodeInit();
            Decoder.Decode(In, Out, Packed, Unpacked, Source.size(), Channel.Data.size());
            // Each channel is one whole zlib stream: one that does not end (cut, damaged, or more
            // than the picture holds) is not shown as if it were complete.
            const bool Complete = Decoder.ZLibResult() == ZStreamEnd;
            Produced = Size - Decoder.OutputRoom();
            Decoder.DecodeEnd();
            if (!Complete) throw EGraphicCompression(gesLZ77Error);
        }
    }
    Channel.Present = true;
    Channel.Stride = Stride;
    if (Bits == 4) {
        const uint64_t Least = (Width * 4 + 7) / 8;
        const bool Padded = Height > 0 && Produced % Height == 0 && Produced / Height >= Least;
        Channel.Stride = Padded ? Produced / Height : Width / 2 + 1;
    }
}

std::span<const uint8_t> TLayerChannels::RowOf(unsigned Type, uint32_t Row) {
    if (FWholePicture) return StoredRow(Type, Row);
    const unsigned Bits = FProperties.BitsPerSample;
    const uint64_t Width = FProperties.Width;
    std::vector<uint8_t>& Placed = FPlaced[Type];
    Placed.assign(static_cast<size_t>(PackedBytes(Width, Bits)), 0);
    const int64_t StoredY = int64_t{Row} - FTop;
    if (StoredY < 0 || static_cast<uint64_t>(StoredY) >= FStoredHeight) return Placed;
    const std::span<const uint8_t> Stored = StoredRow(Type, static_cast<uint64_t>(StoredY));
    // The columns of the stored row that fall inside the picture.
    const int64_t First = std::max<int64_t>(0, -FLeft);
    const int64_t Last = std::min<int64_t>(static_cast<int64_t>(FStoredWidth), static_cast<int64_t>(Width) - FLeft);
    for (int64_t X = First; X < Last; ++X)
        PutSample(Placed.data(), static_cast<uint64_t>(X + FLeft), Bits, SampleAt(Stored.data(), static_cast<uint64_t>(X), Bits));
    return Placed;
}

std::span<const uint8_t> TLayerChannels::StoredRow(unsigned Type, uint64_t Row) {
    const TChannel& Channel = FChannels[Type];
    const uint64_t Stride = Channel.Present ? Channel.Stride : PackedBytes(FStoredWidth, FProperties.BitsPerSample);
    const uint64_t Start = Row * Stride;
    if (Start + Stride <= Channel.Data.size()) return {Channel.Data.data() + Start, static_cast<size_t>(Stride)};
    // Past the data: zero, with whatever part of the row the data still held.
    std::vector<uint8_t>& Scratch = FScratch[Type];
    Scratch.assign(static_cast<size_t>(Stride), 0);
    if (Start < Channel.Data.size())
        std::copy(Channel.Data.begin() + static_cast<ptrdiff_t>(Start), Channel.Data.end(), Scratch.begin());
    return Scratch;
}

} // namespace

} // namespace qv
