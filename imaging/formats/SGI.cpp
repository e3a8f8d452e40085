#include "imaging/formats/SGI.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/ByteReader.h"
#include "imaging/decoders/ImageCompression.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TSGIGraphic, TImageGraphic)

namespace {

constexpr int64_t HeaderSize = 512;
constexpr uint16_t SGIMagic = 474;
constexpr uint8_t StorageRLE = 1;
constexpr uint8_t MaxChannels = 4;
// One run-length header covers at most 127 samples.
constexpr uint64_t MaxRunSamples = 127;

struct TSGIHeader {
    uint16_t Magic = 0;
    uint8_t Storage = 0;
    uint8_t BytesPerValue = 0;
    uint16_t Dimension = 0;
    uint16_t XSize = 0, YSize = 0, ZSize = 0;
};

TSGIHeader ReadHeader(TStream& Stream) {
    TByteReader Reader(Stream);
    TSGIHeader H;
    H.Magic = Reader.ReadU16BE();
    H.Storage = Reader.ReadU8();
    H.BytesPerValue = Reader.ReadU8();
    H.Dimension = Reader.ReadU16BE();
    H.XSize = Reader.ReadU16BE();
    H.YSize = Reader.ReadU16BE();
    H.ZSize = Reader.ReadU16BE();
    Reader.Skip(HeaderSize - 12); // pixel range, name, colour map id, padding
    return H;
}

/// Fetches one stored row of one channel, verbatim or through the run-length tables.
class TRowFetcher {
public:
    TRowFetcher(TStream& Stream, int64_t Base, uint32_t Width, uint32_t Height, uint32_t BytesPerValue)
        : FStream(Stream), FBase(Base), FWidth(Width), FHeight(Height), FBytes(BytesPerValue),
          FDecoder(static_cast<uint8_t>(BytesPerValue * 8)) {}

    /// Reads the row start and row length tables (Height x Channels entries each) that follow
    /// the header; the stream must hold them.
    void ReadTables(uint32_t Channels) {
        const uint64_t Entries = uint64_t{FHeight} * Channels;
        TByteReader Reader(FStream);
        const std::vector<uint8_t> Bytes = Reader.ReadBytes(static_cast<int64_t>(Entries * 8));
        TMemoryReader Tables(Bytes);
        FStarts.resize(Entries);
        FLengths.resize(Entries);
        for (uint32_t& Start : FStarts) Start = Tables.ReadU32BE();
        for (uint32_t& Length : FLengths) Length = Tables.ReadU32BE();
        // The largest row the encoding produces: every sample, one header per 127 of them and
        // the end marker; longer stated lengths are never read.
        const uint64_t MaxPacked = (uint64_t{FWidth} + (FWidth + MaxRunSamples - 1) / MaxRunSamples + 1) * FBytes;
        FPacked.resize(static_cast<size_t>(MaxPacked));
        FRunLength = true;
    }

    /// Row Row (counted from the first stored row) of channel Channel into Target, which holds
    /// Width x BytesPerValue bytes. What the file does not hold stays zero; false when the file
    /// holds nothing of the row.
    bool Fetch(uint32_t Channel, uint32_t Row, std::span<uint8_t> Target) {
        std::fill(Target.begin(), Target.end(), 0);
        const int64_t Size = FStream.Size();
        if (!FRunLength) {
            const uint64_t RowBytes = uint64_t{FWidth} * FBytes;
            const uint64_t Offset = HeaderSize + (uint64_t{Channel} * FHeight + Row) * RowBytes;
            if (Offset >= static_cast<uint64_t>(Size - FBase)) return false;
            FStream.SetPosition(FBase + static_cast<int64_t>(Offset));
            TByteReader(FStream).ReadAtMost(Target.data(), static_cast<int64_t>(Target.size()));
            return true;
        }
        const size_t Entry = size_t{Channel} * FHeight + Row;
        // The offsets count from the start of the file, not from the tables.
        const uint64_t Offset = FStarts[Entry];
        if (Offset >= static_cast<uint64_t>(Size - FBase)) return false;
        FStream.SetPosition(FBase + static_cast<int64_t>(Offset));
        const uint64_t Wanted = std::min<uint64_t>(uint64_t{FLengths[Entry]} * FBytes, FPacked.size());
        const int64_t Got = TByteReader(FStream).ReadAtMost(FPacked.data(), static_cast<int64_t>(Wanted));
        uint8_t* Source = FPacked.data();
        uint8_t* Dest = Target.data();
        FDecoder.Decode(Source, Dest, static_cast<int32_t>(Got), static_cast<int32_t>(FWidth),
                        static_cast<size_t>(Got), Target.size());
        return Got > 0;
    }

private:
    TStream& FStream;
    int64_t FBase;
    uint32_t FWidth;
    uint32_t FHeight;
    uint32_t FBytes;
    bool FRunLength = false;
    TCardinalArray FStarts;
    TCardinalArray FLengths;
    std::vector<uint8_t> FPacked;
    TSGIRLEDecoder FDecoder;
};

} // namespace

bool TSGIGraphic::CanLoadStream(TStream& Stream) const {
    const int64_t Start = Stream.Position();
    if (Stream.Remaining() <= HeaderSize) return false;
    const TSGIHeader H = ReadHeader(Stream);
    Stream.SetPosition(Start);
    return H.Magic == SGIMagic && (H.BytesPerValue == 1 || H.BytesPerValue == 2) && H.Dimension >= 1 &&
           H.Dimension <= 3;
}

bool TSGIGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    const TSGIHeader H = ReadHeader(Stream);
    if (H.Magic != SGIMagic) return false;
    TImageProperties& P = ImageProperties();
    P.Options = TImageOptions{TImageOption::BigEndian};
    P.BitsPerSample = static_cast<uint8_t>(H.BytesPerValue * 8);
    P.Width = H.XSize;
    P.Height = H.YSize;
    P.SamplesPerPixel = static_cast<uint8_t>(H.ZSize & 0xFF);
    P.ColorScheme = P.SamplesPerPixel == 3   ? TColorScheme::RGB
                    : P.SamplesPerPixel == 4 ? TColorScheme::RGBA
                                             : TColorScheme::Indexed;
    P.BitsPerPixel = static_cast<uint8_t>(P.BitsPerSample * P.SamplesPerPixel);
    P.Compression = H.Storage == StorageRLE ? TCompressionScheme::RLE : TCompressionScheme::None;
    return true;
}

void TSGIGraphic::LoadFromStream(TStream& Stream) {
    SetStream(&Stream);
    struct TForgetStream {
        TSGIGraphic& Owner;
        ~TForgetStream() { Owner.SetStream(nullptr); }
    } Forget{*this};

    BeginLoadOrRaise(Stream, gesSGIFormat);
    const TImageProperties& P = ImageProperties();
    StartProgress(gesPreparing);
    const TSGIHeader H = ReadHeader(Stream);
    // Checked before the tables, whose size they set, are read.
    if ((H.BytesPerValue != 1 && H.BytesPerValue != 2) || P.SamplesPerPixel == 0 ||
        P.SamplesPerPixel > MaxChannels)
        RaiseInvalidGraphicFmt(gesInvalidImage, gesSGIFormat);

    TRowFetcher Fetcher(Stream, BasePosition(), P.Width, P.Height, H.BytesPerValue);
    if (P.Compression == TCompressionScheme::RLE) Fetcher.ReadTables(P.SamplesPerPixel);

    // Grey and grey-with-alpha files show their first channel only.
    const bool Color = P.ColorScheme == TColorScheme::RGB || P.ColorScheme == TColorScheme::RGBA;
    const uint8_t Channels = Color ? P.SamplesPerPixel : 1;
    TColorManager& Cm = ColorManager();
    Cm.SourceOptions = TConversionOptions{TConversionOption::ByteSwap};
    Cm.SetSourceBitsPerSample(P.BitsPerSample);
    Cm.SetTargetBitsPerSample(8);
    Cm.SetSourceSamplesPerPixel(Channels);
    Cm.SetTargetSamplesPerPixel(Channels);
    Cm.SetSourceColorScheme(P.ColorScheme);
    Cm.SetTargetColorScheme(P.ColorScheme == TColorScheme::RGB    ? TColorScheme::BGR
                            : P.ColorScheme == TColorScheme::RGBA ? TColorScheme::BGRA
                                                                  : TColorScheme::Indexed);
    SetupBitmap();
    if (!Color) SetPalette(Cm.CreateGrayPalette(false));
    EndProgress();

    StartProgress(gesTransfering);
    const size_t ChannelBytes = size_t{P.Width} * H.BytesPerValue;
    std::vector<std::vector<uint8_t>> Buffers(Channels, std::vector<uint8_t>(ChannelBytes));
    auto Plane = [&](size_t K) { return std::span<const uint8_t>(Buffers[K]); };
    for (uint32_t R = 0; R < P.Height; ++R) {
        bool Stored = false;
        for (uint32_t K = 0; K < Channels; ++K) Stored = Fetcher.Fetch(K, R, Buffers[K]) || Stored;
        const int Line = static_cast<int>(P.Height - 1 - R);
        // A row the file does not hold converts to zero bytes, which a new scan line already holds.
        if (Stored) {
            if (Channels == 3)
                ConvertRow({Plane(0), Plane(1), Plane(2)}, Line);
            else if (Channels == 4)
                ConvertRow({Plane(0), Plane(1), Plane(2), Plane(3)}, Line);
            else
                ConvertRow(Plane(0), Line);
        }
        RowProgress(R);
    }
    EndProgress();
}

} // namespace qv
