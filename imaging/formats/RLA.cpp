#include "imaging/formats/RLA.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "imaging/ByteReader.h"
#include "imaging/decoders/ImageCompression.h"
#include "platform/System.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TRLAGraphic, TImageGraphic)

namespace {

constexpr int64_t HeaderSize = 740;
constexpr uint16_t Revision = 0xFFFE;
constexpr int ColorChannels = 3;
constexpr uint32_t MaxChannelBits = 16;
// A run of two bytes gives at most 128 samples: data that cannot fill the picture
// is not allowed to size it.
constexpr uint64_t SamplesPerTwoBytes = 128;

// Header field offsets.
constexpr size_t ActiveWindowOffset = 8;
constexpr size_t ChannelCountOffset = 20;
constexpr size_t MatteCountOffset = 22;
constexpr size_t RevisionOffset = 26;
constexpr size_t GammaOffset = 28;
constexpr size_t GammaSize = 16;
constexpr size_t ChannelSpaceOffset = 580;
constexpr size_t ChannelSpaceSize = 32;
constexpr size_t ChannelBitsOffset = 658;

using THeader = std::array<uint8_t, HeaderSize>;

int16_t SignedAt(const THeader& Header, size_t Offset) {
    return static_cast<int16_t>((Header[Offset] << 8) | Header[Offset + 1]);
}

uint16_t UnsignedAt(const THeader& Header, size_t Offset) {
    return static_cast<uint16_t>((Header[Offset] << 8) | Header[Offset + 1]);
}

/// A text field up to its first zero byte.
std::string TextAt(const THeader& Header, size_t Offset, size_t Size) {
    const auto Begin = Header.begin() + static_cast<std::ptrdiff_t>(Offset);
    const auto End = std::find(Begin, Begin + static_cast<std::ptrdiff_t>(Size), 0);
    return std::string(Begin, End);
}

/// The gamma text as a correction to apply; 1.0 (none) for text that is not a
/// number, and for 0, negative and infinite values, which writers use for "not recorded".
float GammaOf(const std::string& Text) {
    double Value = 0;
    if (!TryTextToFloat(Text, Value) || !std::isfinite(Value) || Value <= 0) return 1.0f;
    return static_cast<float>(Value);
}

} // namespace

bool TRLAGraphic::CanLoadStream(TStream& Stream) const {
    const int64_t Start = Stream.Position();
    bool Result = false;
    if (Stream.Remaining() > HeaderSize) {
        THeader Header{};
        Stream.ReadBuffer(Header.data(), HeaderSize);
        const std::string Space = LowerCase(TextAt(Header, ChannelSpaceOffset, ChannelSpaceSize));
        Result = UnsignedAt(Header, RevisionOffset) == Revision && (Space == "rgb" || Space == "xyz");
    }
    Stream.SetPosition(Start);
    return Result;
}

bool TRLAGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    THeader Header{};
    TByteReader(Stream).ReadExact(Header.data(), HeaderSize);

    FColorChannels = UnsignedAt(Header, ChannelCountOffset);
    FMatteChannels = SignedAt(Header, MatteCountOffset);
    FChannelBits = UnsignedAt(Header, ChannelBitsOffset);
    const std::string Space = LowerCase(TextAt(Header, ChannelSpaceOffset, ChannelSpaceSize));
    FKnownSpace = Space == "rgb";

    TImageProperties& Properties = ImageProperties();
    Properties.Options = TImageOptions{TImageOption::BigEndian};
    // Any matte count of one or more gives one alpha channel: the first matte.
    Properties.SamplesPerPixel = static_cast<uint8_t>(FColorChannels + (FMatteChannels > 0 ? 1 : 0));
    Properties.BitsPerSample = static_cast<uint8_t>(FChannelBits);
    Properties.BitsPerPixel = static_cast<uint8_t>(Properties.SamplesPerPixel * Properties.BitsPerSample);
    if (Space == "xyz") return false;
    if (FKnownSpace) Properties.ColorScheme = FMatteChannels > 0 ? TColorScheme::RGBA : TColorScheme::RGB;
    Properties.FileGamma = GammaOf(TextAt(Header, GammaOffset, GammaSize));
    Properties.Compression = TCompressionScheme::RLE;

    const int32_t Left = SignedAt(Header, ActiveWindowOffset);
    const int32_t Right = SignedAt(Header, ActiveWindowOffset + 2);
    const int32_t Bottom = SignedAt(Header, ActiveWindowOffset + 4);
    const int32_t Top = SignedAt(Header, ActiveWindowOffset + 6);
    Properties.Width = Right >= Left ? static_cast<uint32_t>(Right - Left + 1) : 0;
    Properties.Height = static_cast<uint32_t>(std::abs(Bottom - Top) + 1);
    Properties.RLABottomUp = Bottom < Top;
    return true;
}

void TRLAGraphic::LoadFromStream(TStream& Stream) {
    // Every check comes before any buffer is made.
    if (!BeginLoad(Stream) || !FKnownSpace) throw EColorConversionError(gesConversionUnsupported);
    const TImageProperties& Properties = ImageProperties();
    const uint32_t Width = Properties.Width;
    const uint32_t Height = Properties.Height;
    if (Width == 0) RaiseInvalidGraphicFmt(gesInvalidImage, gesRLAFormat);
    if (FColorChannels != ColorChannels) throw EColorConversionError(gesInvalidPixelDepth);
    if (FChannelBits == 0 || FChannelBits > MaxChannelBits) throw EColorConversionError(gesInvalidSampleDepth);
    const bool HasMatte = FMatteChannels > 0;
    const size_t Channels = ColorChannels + (HasMatte ? 1 : 0);
    // Samples of more than 8 bits are two planes per channel row: high bytes, then low bytes.
    const size_t SampleBytes = FChannelBits > 8 ? 2 : 1;

    // The offset table: every row must start inside the file, with room for a block length.
    SeekFromBase(Stream, HeaderSize);
    const int64_t FileBytes = Stream.Size() - BasePosition();
    std::vector<uint32_t> Offsets(Height);
    {
        TByteReader Reader(Stream);
        if (int64_t{Height} * 4 > Reader.Remaining()) throw EReadError();
        for (uint32_t& Offset : Offsets) {
            Offset = Reader.ReadU32BE();
            if (int64_t{Offset} + 2 > FileBytes) throw EReadError();
        }
    }
    const uint64_t DataBytes = static_cast<uint64_t>(FileBytes - HeaderSize);
    if (uint64_t{Width} * Height * SampleBytes > SamplesPerTwoBytes * (DataBytes / 2)) throw EReadError();

    StartProgress(gesTransfering);
    TColorManager& Colors = ColorManager();
    Colors.SetSourceSamplesPerPixel(static_cast<uint8_t>(Channels));
    Colors.SetTargetSamplesPerPixel(static_cast<uint8_t>(Channels));
    Colors.SetSourceBitsPerSample(8);
    Colors.SetTargetBitsPerSample(8);
    Colors.SetSourceColorScheme(Properties.ColorScheme);
    Colors.SetTargetColorScheme(HasMatte ? TColorScheme::BGRA : TColorScheme::BGR);
    if (Properties.FileGamma != 1.0f) {
        Colors.SetGammaCorrection(Properties.FileGamma, 2.2f);
        Colors.TargetOptions.Include(TConversionOption::UseGamma);
        ImageProperties().Options.Include(TImageOption::GammaApplied);
    }
    SetupBitmap();

    // A block that decodes short leaves the rest of its channel as the row before left it.
    std::array<std::vector<uint8_t>, 4> Decoded;
    for (size_t C = 0; C < Channels; ++C) Decoded[C].assign(Width * SampleBytes, 0);
    const bool Reduce = FChannelBits != 8;
    const uint32_t MaxValue = (1u << FChannelBits) - 1;
    const std::vector<uint8_t> Scale = Reduce ? SampleScaleTable(MaxValue) : std::vector<uint8_t>();
    std::array<std::vector<uint8_t>, 4> Samples;
    if (Reduce)
        for (size_t C = 0; C < Channels; ++C) Samples[C].assign(Width, 0);
    const std::array<std::vector<uint8_t>, 4>& Planes = Reduce ? Samples : Decoded;

    TRLADecoder Decoder;
    Decoder.DecodeInit();
    std::vector<uint8_t> Packed;
    for (uint32_t Row = 0; Row < Height; ++Row) {
        SeekFromBase(Stream, Offsets[Row]);
        TByteReader Reader(Stream);
        for (size_t C = 0; C < Channels; ++C) {
            const uint16_t Length = Reader.ReadU16BE();
            Packed.resize(Length);
            Reader.ReadExact(Packed.data(), Length);
            uint8_t* Source = Packed.data();
            uint8_t* Dest = Decoded[C].data();
            Decoder.Decode(Source, Dest, Length, static_cast<int32_t>(Decoded[C].size()), Packed.size(),
                           Decoded[C].size());
            if (!Reduce) continue;
            const uint8_t* High = Decoded[C].data();
            const uint8_t* Low = SampleBytes == 2 ? High + Width : nullptr;
            for (uint32_t X = 0; X < Width; ++X) {
                const uint32_t Value = Low ? (uint32_t{High[X]} << 8) | Low[X] : High[X];
                Samples[C][X] = Scale[std::min(Value, MaxValue)];
            }
        }
        const int Target = static_cast<int>(Properties.RLABottomUp ? Height - 1 - Row : Row);
        if (HasMatte)
            ConvertRow({Planes[0], Planes[1], Planes[2], Planes[3]}, Target);
        else
            ConvertRow({Planes[0], Planes[1], Planes[2]}, Target);
        RowProgress(Row);
    }
    Decoder.DecodeEnd();
    EndProgress();
}

} // namespace qv
