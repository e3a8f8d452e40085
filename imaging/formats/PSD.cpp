#include "imaging/formats/PSD.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "imaging/ByteReader.h"
#include "imaging/decoders/ImageCompression.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TPSDGraphic, TImageGraphic)

namespace {

constexpr int64_t HeaderSize = 26;

enum TPSDMode : uint16_t {
    pmBitmap = 0,
    pmGrayscale = 1,
    pmIndexed = 2,
    pmRGB = 3,
    pmCMYK = 4,
    pmMultichannel = 7,
    pmDuotone = 8,
    pmLab = 9
};

enum TPSDCompression : uint16_t { pcRaw = 0, pcPackBits = 1, pcZip = 2, pcZipPredicted = 3 };

struct TPSDHeader {
    std::array<uint8_t, 4> Signature{};
    uint16_t Version = 0;
    uint16_t Channels = 0;
    uint32_t Height = 0;
    uint32_t Width = 0;
    uint16_t Depth = 0;
    uint16_t Mode = 0;

    bool HasSignature() const { return std::memcmp(Signature.data(), "8BPS", 4) == 0; }
};

TPSDHeader ReadHeader(TByteReader& Reader) {
    TPSDHeader Header;
    Reader.ReadExact(Header.Signature.data(), 4);
    Header.Version = Reader.ReadU16BE();
    Reader.Skip(6); // reserved
    Header.Channels = Reader.ReadU16BE();
    Header.Height = Reader.ReadU32BE();
    Header.Width = Reader.ReadU32BE();
    Header.Depth = Reader.ReadU16BE();
    Header.Mode = Reader.ReadU16BE();
    return Header;
}

TColorScheme SchemeOf(uint16_t Mode, uint16_t Channels) {
    switch (Mode) {
    case pmBitmap:
    case pmGrayscale:
    case pmDuotone: return TColorScheme::Gray;
    case pmIndexed: return TColorScheme::Indexed;
    case pmRGB:
    case pmMultichannel: return Channels == 3 ? TColorScheme::RGB : TColorScheme::RGBA;
    case pmCMYK: return TColorScheme::CMYK;
    case pmLab: return TColorScheme::CIELab;
    default: return TColorScheme::Unknown;
    }
}

/// The channel planes a scheme's picture is made of; channels after them are not read.
unsigned PlanesOf(TColorScheme Scheme) {
    switch (Scheme) {
    case TColorScheme::Gray:
    case TColorScheme::Indexed: return 1;
    case TColorScheme::RGB:
    case TColorScheme::CIELab: return 3;
    default: return 4; // RGBA and CMYK
    }
}

[[noreturn]] void RaiseInvalidPSD() { RaiseInvalidGraphicFmt(gesInvalidImage, gesPSDFormat); }

/// Skips one length-prefixed section.
void SkipSection(TByteReader& Reader) { Reader.Skip(Reader.ReadU32BE()); }

} // namespace

bool TPSDGraphic::CanLoadStream(TStream& Stream) const {
    if (Stream.Remaining() <= HeaderSize) return false;
    const int64_t Start = Stream.Position();
    TByteReader Reader(Stream);
    std::array<uint8_t, 6> Bytes{};
    Reader.ReadExact(Bytes.data(), 6);
    Stream.SetPosition(Start);
    for (size_t I = 0; I < 4; ++I)
        if (static_cast<uint8_t>(std::toupper(Bytes[I])) != static_cast<uint8_t>("8BPS"[I])) return false;
    return Bytes[4] == 0 && Bytes[5] == 1;
}

bool TPSDGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    TByteReader Reader(Stream);
    const TPSDHeader Header = ReadHeader(Reader);
    if (!Header.HasSignature()) return false;

    TImageProperties& P = ImageProperties();
    P.Version = Header.Version;
    P.Options = TImageOptions{TImageOption::BigEndian};
    if (Header.Mode == pmBitmap) P.Options.Include(TImageOption::MinIsWhite);
    P.Width = Header.Width;
    P.Height = Header.Height;
    P.BitsPerSample = static_cast<uint8_t>(std::min<uint16_t>(Header.Depth, 255));
    P.PSDChannels = static_cast<uint8_t>(std::min<uint16_t>(Header.Channels, 255));
    P.SamplesPerPixel = static_cast<uint8_t>(std::min<uint16_t>(Header.Channels, 4));
    P.BitsPerPixel = static_cast<uint8_t>(std::min(P.SamplesPerPixel * P.BitsPerSample, 255));
    P.ColorScheme = SchemeOf(Header.Mode, Header.Channels);
    // Large documents (version 2) size their sections in 8 bytes: their data is not read here.
    if (Header.Version != 1) return true;

    SkipSection(Reader); // colour mode data
    SkipSection(Reader); // image resources
    SkipSection(Reader); // layer and mask information
    switch (Reader.ReadU16BE()) {
    case pcRaw: P.Compression = TCompressionScheme::None; break;
    case pcPackBits: P.Compression = TCompressionScheme::PackBits; break;
    case pcZip:
    case pcZipPredicted: P.Compression = TCompressionScheme::LZ77; break;
    default: P.Compression = TCompressionScheme::Unknown; break;
    }
    return true;
}

void TPSDGraphic::LoadFromStream(TStream& Stream) {
    BeginLoadOrRaise(Stream, gesPSDFormat);
    const TImageProperties& P = ImageProperties();
    const bool PackBits = P.Compression == TCompressionScheme::PackBits;
    if (P.Version != 1 || (!PackBits && P.Compression != TCompressionScheme::None)) RaiseInvalidPSD();

    StartProgress(gesPreparing);
    TByteReader Reader(Stream);
    const TPSDHeader Header = ReadHeader(Reader);
    const TColorScheme Scheme = P.ColorScheme;
    const uint32_t Width = Header.Width;
    const uint32_t Height = Header.Height;
    const uint16_t Depth = Header.Depth;

    TColorManager& Colors = ColorManager();
    // The colour manager refuses depths it has no routines for (0, 32) with its own message.
    Colors.SetSourceBitsPerSample(static_cast<uint8_t>(std::min<uint16_t>(Depth, 255)));
    if (Scheme == TColorScheme::Unknown) throw EColorConversionError(gesConversionUnsupported);
    const bool Colour = Scheme != TColorScheme::Gray && Scheme != TColorScheme::Indexed;
    if ((Depth != 1 && Depth != 8 && Depth != 16) || (Depth == 1 && Colour) ||
        (Depth != 8 && Scheme == TColorScheme::Indexed))
        RaiseInvalidPSD();
    const unsigned Planes = PlanesOf(Scheme);
    if (Header.Channels < Planes) RaiseInvalidPSD();
    const bool Wide = Depth == 16;
    // 16-bit Lab has no settled meaning for the Lab routine: its high bytes go through as 8-bit Lab.
    const bool LabHighBytes = Scheme == TColorScheme::CIELab && Wide;

    Colors.SourceOptions = TConversionOptions{TConversionOption::ByteSwap};
    Colors.SetSourceBitsPerSample(LabHighBytes ? 8 : static_cast<uint8_t>(Depth));
    Colors.SetTargetBitsPerSample(Wide ? 8 : static_cast<uint8_t>(Depth));
    Colors.SetSourceColorScheme(Scheme);
    uint8_t SourceSamples = static_cast<uint8_t>(Planes);
    uint8_t TargetSamples = SourceSamples;
    switch (Scheme) {
    case TColorScheme::RGB: Colors.SetTargetColorScheme(TColorScheme::BGR); break;
    case TColorScheme::RGBA: Colors.SetTargetColorScheme(TColorScheme::BGRA); break;
    case TColorScheme::CMYK:
        Colors.SetTargetColorScheme(TColorScheme::BGR);
        TargetSamples = 3;
        break;
    case TColorScheme::CIELab:
        Colors.SetTargetColorScheme(TColorScheme::BGR);
        Colors.SourceOptions.Include(TConversionOption::LabLightness255).Include(TConversionOption::LabChroma128);
        break;
    default: Colors.SetTargetColorScheme(Scheme); break;
    }
    Colors.SetSourceSamplesPerPixel(SourceSamples);
    Colors.SetTargetSamplesPerPixel(TargetSamples);

    // Colour mode data: the palette of indexed files, otherwise (duotone settings) skipped.
    TLogPalette Palette;
    const uint32_t ColorDataLength = Reader.ReadU32BE();
    if (Scheme == TColorScheme::Indexed) {
        // Planes of red, green and blue; a longer section holds 256 entries of each and more after them.
        const uint32_t Entries = ColorDataLength >= 768 ? 256 : ColorDataLength / 3;
        const std::vector<uint8_t> Table = Reader.ReadBytes(std::min<uint32_t>(ColorDataLength, 768));
        Reader.Skip(ColorDataLength - Table.size());
        const uint8_t* Base = Table.data();
        Palette = Colors.CreateColorPalette({Base, Base + Entries, Base + 2 * Entries}, TPaletteLayout::Planar8Triple,
                                            Entries, false);
    } else {
        Reader.Skip(ColorDataLength);
        if (Scheme == TColorScheme::Gray) Palette = Colors.CreateGrayPalette(P.Options.Contains(TImageOption::MinIsWhite));
    }
    SkipSection(Reader); // image resources
    SkipSection(Reader); // layer and mask information
    Reader.Skip(2);      // compression word

    // Everything the picture is made of is checked against the stream before anything is allocated.
    const uint64_t RowBytes = (uint64_t{Width} * Depth + 7) / 8;
    std::vector<uint16_t> Counts; // per used plane and row, plane after plane
    uint64_t DataSize = 0;
    if (PackBits) {
        const uint64_t TableSize = uint64_t{Height} * Header.Channels * 2;
        if (TableSize > static_cast<uint64_t>(Reader.Remaining())) throw EReadError();
        const std::vector<uint8_t> Table = Reader.ReadBytes(static_cast<int64_t>(uint64_t{Height} * Planes * 2));
        Reader.Skip(static_cast<int64_t>(TableSize - Table.size()));
        Counts.resize(Table.size() / 2);
        for (size_t I = 0; I < Counts.size(); ++I) {
            Counts[I] = static_cast<uint16_t>(Table[2 * I] << 8 | Table[2 * I + 1]);
            DataSize += Counts[I];
        }
    } else {
        DataSize = CheckedSize({RowBytes, Height, Planes}, INT64_MAX, "PSD image data");
    }
    if (DataSize > static_cast<uint64_t>(Reader.Remaining())) throw EReadError();
    SetupBitmap();
    if (!Colour) SetPalette(Palette);
    EndProgress();

    if (Colour) {
        StartProgress(gesLoadingData);
    } else {
        StartProgress(gesTransfering);
    }
    std::vector<uint8_t> Data = Reader.ReadBytes(static_cast<int64_t>(DataSize));
    if (Colour) {
        EndProgress();
        StartProgress(gesTransfering);
    }

    const size_t Row8 = static_cast<size_t>(RowBytes);
    std::array<std::vector<uint8_t>, 4> Decoded; // one row per plane (PackBits)
    std::array<std::vector<uint8_t>, 3> HighBytes; // one 8-bit row per plane (16-bit Lab)
    std::array<uint64_t, 4> Cursor{};              // where each plane's next PackBits row starts
    uint64_t PlaneStart = 0;
    for (unsigned C = 0; C < Planes; ++C) {
        if (PackBits) {
            Decoded[C].assign(Row8, 0);
            Cursor[C] = PlaneStart;
            for (uint32_t Row = 0; Row < Height; ++Row) PlaneStart += Counts[C * uint64_t{Height} + Row];
        }
        if (LabHighBytes && C < 3) HighBytes[C].assign(Width, 0);
    }
    TPackbitsRLEDecoder Decoder;
    std::array<std::span<uint8_t>, 4> Rows;
    for (uint32_t Row = 0; Row < Height; ++Row) {
        for (unsigned C = 0; C < Planes; ++C) {
            if (PackBits) {
                const uint16_t Count = Counts[C * uint64_t{Height} + Row];
                std::fill(Decoded[C].begin(), Decoded[C].end(), 0);
                uint8_t* Source = Data.data() + Cursor[C];
                uint8_t* Dest = Decoded[C].data();
                Decoder.Decode(Source, Dest, Count, static_cast<int32_t>(Row8), Count, Row8);
                Cursor[C] += Count;
                Rows[C] = Decoded[C];
            } else {
                Rows[C] = std::span<uint8_t>(Data.data() + (uint64_t{C} * Height + Row) * RowBytes, Row8);
            }
        }
        if (Scheme == TColorScheme::CMYK) {
            // Photoshop stores ink as 255 = none; the conversion expects the amount of ink.
            for (unsigned C = 0; C < 4; ++C)
                for (uint8_t& V : Rows[C]) V = static_cast<uint8_t>(~V);
            // The CMYK routine reads 16-bit samples in host order regardless of the swap option.
            if (Wide)
                for (unsigned C = 0; C < 4; ++C) SwapWordArray(Rows[C].data(), Width);
        } else if (LabHighBytes) {
            for (unsigned C = 0; C < 3; ++C) {
                for (uint32_t X = 0; X < Width; ++X) HighBytes[C][X] = Rows[C][2 * size_t{X}];
                Rows[C] = HighBytes[C];
            }
        }
        const int Y = static_cast<int>(Row);
        switch (Planes) {
        case 1: ConvertRow(Rows[0], Y); break;
        case 3: ConvertRow({Rows[0], Rows[1], Rows[2]}, Y); break;
        default: ConvertRow({Rows[0], Rows[1], Rows[2], Rows[3]}, Y); break;
        }
        RowProgress(Row);
    }
    EndProgress();
}

} // namespace qv
