#include "imaging/formats/PCX.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "imaging/ByteReader.h"
#include "imaging/decoders/ImageCompression.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TPCXGraphic, TImageGraphic)

namespace {

constexpr int64_t HeaderSize = 128;
// The trailing 256-colour palette: the marker byte 12, then 256 red, green, blue triples.
constexpr int64_t TrailingPaletteSize = 769;
constexpr uint8_t TrailingPaletteMarker = 12;
constexpr uint8_t ManufacturerPCX = 10;
constexpr uint8_t ManufacturerScreenCapture = 205;
constexpr uint16_t PaletteInfoGray = 2;
// The decoded pixel area is held whole; four planes of 65535 bytes over 65536 rows
// would be 16 GiB, far beyond any picture the bitmap accepts.
constexpr uint64_t MaxPixelDataBytes = uint64_t{1} << 30;
// One run-length pair yields at most 63 bytes.
constexpr uint64_t MaxRunLength = 63;

struct TPCXHeader {
    uint8_t Manufacturer = 0;
    uint8_t Version = 0;
    uint8_t Encoding = 0;
    uint8_t BitsPerPixel = 0;
    uint16_t XMin = 0, YMin = 0, XMax = 0, YMax = 0;
    uint16_t XResolution = 0, YResolution = 0;
    std::array<uint8_t, 48> ColorMap{};
    uint8_t Planes = 0;
    uint16_t BytesPerLine = 0;
    uint16_t PaletteInfo = 0;
};

TPCXHeader ReadHeader(TStream& Stream) {
    TByteReader Reader(Stream);
    TPCXHeader H;
    H.Manufacturer = Reader.ReadU8();
    H.Version = Reader.ReadU8();
    H.Encoding = Reader.ReadU8();
    H.BitsPerPixel = Reader.ReadU8();
    H.XMin = Reader.ReadU16LE();
    H.YMin = Reader.ReadU16LE();
    H.XMax = Reader.ReadU16LE();
    H.YMax = Reader.ReadU16LE();
    H.XResolution = Reader.ReadU16LE();
    H.YResolution = Reader.ReadU16LE();
    Reader.ReadExact(H.ColorMap.data(), static_cast<int64_t>(H.ColorMap.size()));
    Reader.Skip(1); // reserved
    H.Planes = Reader.ReadU8();
    H.BytesPerLine = Reader.ReadU16LE();
    H.PaletteInfo = Reader.ReadU16LE();
    Reader.Skip(HeaderSize - 70);
    return H;
}

bool KnownManufacturer(uint8_t Value) {
    return Value == ManufacturerPCX || Value == ManufacturerScreenCapture;
}

/// The plane layouts the reader converts: 1, 2, 4 or 8 bits in one plane, four 1-bit
/// planes (16 colours), three 8-bit planes (red, green, blue) and four (with alpha).
bool SupportedLayout(uint8_t BitsPerPixel, uint8_t Planes) {
    if (Planes == 1) return BitsPerPixel == 1 || BitsPerPixel == 2 || BitsPerPixel == 4 || BitsPerPixel == 8;
    if (Planes == 4) return BitsPerPixel == 1 || BitsPerPixel == 8;
    return Planes == 3 && BitsPerPixel == 8;
}

/// For each plane byte, its eight bits spread to the low bit of eight nibbles in scan-line
/// order (first pixel in the high nibble of the first byte), as one little-endian word.
struct TNibbleSpread {
    std::array<uint32_t, 256> Table{};
    TNibbleSpread() {
        for (uint32_t Byte = 0; Byte < 256; ++Byte) {
            uint32_t Word = 0;
            for (uint32_t Pixel = 0; Pixel < 8; ++Pixel) {
                if ((Byte & (0x80u >> Pixel)) == 0) continue;
                const uint32_t OutByte = Pixel / 2;
                const uint32_t Shift = (Pixel % 2 == 0) ? 4 : 0;
                Word |= 1u << (OutByte * 8 + Shift);
            }
            Table[Byte] = Word;
        }
    }
};

/// Merges four 1-bit planes into a row of 4-bit pixels; each pixel is plane 3 x 8 + plane 2 x 4
/// + plane 1 x 2 + plane 0.
void MergeBitPlanes(const uint8_t* Row, size_t BytesPerLine, uint8_t* Target, size_t TargetBytes) {
    static const TNibbleSpread Spread;
    const uint8_t* P0 = Row;
    const uint8_t* P1 = Row + BytesPerLine;
    const uint8_t* P2 = Row + 2 * BytesPerLine;
    const uint8_t* P3 = Row + 3 * BytesPerLine;
    for (size_t Out = 0, In = 0; Out < TargetBytes; Out += 4, ++In) {
        const uint32_t Word = Spread.Table[P0[In]] | (Spread.Table[P1[In]] << 1) | (Spread.Table[P2[In]] << 2) |
                              (Spread.Table[P3[In]] << 3);
        const size_t Count = std::min<size_t>(4, TargetBytes - Out);
        for (size_t K = 0; K < Count; ++K) Target[Out + K] = static_cast<uint8_t>(Word >> (8 * K));
    }
}

} // namespace

bool TPCXGraphic::CanLoadStream(TStream& Stream) const {
    const int64_t Start = Stream.Position();
    if (Stream.Remaining() <= HeaderSize) return false;
    const TPCXHeader H = ReadHeader(Stream);
    Stream.SetPosition(Start);
    // The same manufacturers LoadFromStream accepts, so the answer agrees with a load.
    return KnownManufacturer(H.Manufacturer) &&
           (H.Version == 0 || H.Version == 2 || H.Version == 3 || H.Version == 5) && H.Encoding <= 1;
}

bool TPCXGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    const TPCXHeader H = ReadHeader(Stream);
    if (!KnownManufacturer(H.Manufacturer)) return false;
    // A window whose maximum lies before its minimum describes no picture.
    if (H.XMax < H.XMin || H.YMax < H.YMin) return false;
    TImageProperties& P = ImageProperties();
    P.Version = H.Version;
    P.Width = uint32_t{H.XMax} - H.XMin + 1;
    P.Height = uint32_t{H.YMax} - H.YMin + 1;
    P.SamplesPerPixel = H.Planes;
    P.BitsPerSample = H.BitsPerPixel;
    P.BitsPerPixel = static_cast<uint8_t>(H.Planes * H.BitsPerPixel);
    if (H.Planes == 4 && H.BitsPerPixel == 8)
        P.ColorScheme = TColorScheme::RGBA;
    else
        P.ColorScheme = P.BitsPerPixel > 8 ? TColorScheme::RGB : TColorScheme::Indexed;
    P.Compression = H.Encoding == 1 ? TCompressionScheme::RLE : TCompressionScheme::None;
    P.XResolution = H.XResolution;
    P.YResolution = H.YResolution;
    P.BytesPerLine = H.BytesPerLine;
    return true;
}

void TPCXGraphic::LoadFromStream(TStream& Stream) {
    BeginLoadOrRaise(Stream, gesPCXOrSCRFormat);
    const TImageProperties& P = ImageProperties();
    StartProgress(gesPreparing);
    const TPCXHeader H = ReadHeader(Stream);
    const int64_t StreamSize = Stream.Size();
    const int64_t DataStart = Stream.Position();

    if (!SupportedLayout(H.BitsPerPixel, H.Planes)) RaiseInvalidGraphicFmt(gesInvalidColorFormat, gesPCXFormat);
    // Each plane's row must hold the picture's width; padding beyond it is skipped.
    const uint64_t PlaneRowNeed = (uint64_t{P.Width} * H.BitsPerPixel + 7) / 8;
    if (H.BytesPerLine < PlaneRowNeed) RaiseInvalidGraphicFmt(gesInvalidColorFormat, gesPCXFormat);
    const uint64_t RowSize = uint64_t{H.Planes} * H.BytesPerLine;
    const uint64_t AreaSize = CheckedSize({H.Planes, H.BytesPerLine, P.Height}, MaxPixelDataBytes, "PCX pixel data");

    TColorManager& Cm = ColorManager();
    Cm.SetSourceColorScheme(P.ColorScheme);
    Cm.SetSourceBitsPerSample(P.BitsPerSample);
    Cm.SetSourceSamplesPerPixel(P.SamplesPerPixel);
    if (P.ColorScheme == TColorScheme::Indexed)
        Cm.SetTargetColorScheme(TColorScheme::Indexed);
    else
        Cm.SetTargetColorScheme(P.ColorScheme == TColorScheme::RGBA ? TColorScheme::BGRA : TColorScheme::BGR);
    Cm.SetTargetBitsPerSample(P.BitsPerPixel == 2 ? 4 : P.BitsPerSample);
    Cm.SetTargetSamplesPerPixel(P.SamplesPerPixel);
    const bool BitPlanes = Cm.PlatformPixelFormat(true) == pfCustom;
    if (BitPlanes) {
        SetPixelFormat(pf4bit);
        SetSize(static_cast<int>(P.Width), static_cast<int>(P.Height));
    } else {
        SetupBitmap();
    }

    // The trailing palette counts only where its marker stands, after the header; a file
    // without one keeps all its bytes as pixel data.
    bool TrailingPalette = false;
    std::array<uint8_t, 768> Trailing{};
    if (PixelFormat() == pf8bit && StreamSize - TrailingPaletteSize >= DataStart) {
        Stream.SetPosition(StreamSize - TrailingPaletteSize);
        TByteReader Reader(Stream);
        if (Reader.ReadU8() == TrailingPaletteMarker) {
            Reader.ReadExact(Trailing.data(), static_cast<int64_t>(Trailing.size()));
            TrailingPalette = true;
        }
        Stream.SetPosition(DataStart);
    }

    if (PixelFormat() != pf24bit && PixelFormat() != pf32bit) {
        if (P.Version == 3 && PixelFormat() != pf1bit)
            SetPalette(DefaultPalette16());
        else if (PixelFormat() == pf1bit)
            SetPalette(Cm.CreateGrayPalette(false));
        else if (PixelFormat() == pf4bit)
            SetPalette(H.PaletteInfo == PaletteInfoGray
                           ? Cm.CreateGrayPalette(false)
                           : Cm.CreateColorPalette({H.ColorMap.data()}, TPaletteLayout::Interleaved8Triple, 16, false));
        else if (TrailingPalette)
            SetPalette(Cm.CreateColorPalette({Trailing.data()}, TPaletteLayout::Interleaved8Triple, 256, false));
        else if (H.PaletteInfo == PaletteInfoGray)
            SetPalette(Cm.CreateGrayPalette(false));
    }

    const uint64_t DataSize =
        static_cast<uint64_t>(std::max<int64_t>(0, StreamSize - DataStart - (TrailingPalette ? TrailingPaletteSize : 0)));
    const bool RunLength = P.Compression == TCompressionScheme::RLE;
    // Hold only the rows the data can fill; the rest of the picture stays zero.
    const uint64_t Fillable = RunLength ? (DataSize + 1) / 2 * MaxRunLength : DataSize;
    const uint64_t BufferRows = RowSize == 0 ? 0 : std::min<uint64_t>(P.Height, (Fillable + RowSize - 1) / RowSize);
    std::vector<uint8_t> Pixels(std::min(AreaSize, BufferRows * RowSize));
    TByteReader Reader(Stream);
    if (RunLength) {
        std::vector<uint8_t> Packed(static_cast<size_t>(DataSize));
        Reader.ReadExact(Packed.data(), static_cast<int64_t>(Packed.size()));
        TPCXRLEDecoder Decoder;
        uint8_t* Source = Packed.data();
        uint8_t* Dest = Pixels.data();
        Decoder.DecodeInit();
        Decoder.Decode(Source, Dest, static_cast<int32_t>(std::min<uint64_t>(DataSize, INT32_MAX)),
                       static_cast<int32_t>(std::min<uint64_t>(Pixels.size(), INT32_MAX)), Packed.size(),
                       Pixels.size());
        Decoder.DecodeEnd();
    } else {
        Reader.ReadAtMost(Pixels.data(), static_cast<int64_t>(std::min<uint64_t>(Pixels.size(), DataSize)));
    }

    EndProgress();
    StartProgress(gesTransfering);
    const std::vector<uint8_t> ZeroRow(static_cast<size_t>(RowSize));
    const size_t PlaneBytes = H.BytesPerLine;
    const size_t MergedBytes = (size_t{P.Width} * 4 + 7) / 8;
    for (uint32_t Y = 0; Y < P.Height; ++Y) {
        const uint8_t* Row = Y < BufferRows ? Pixels.data() + Y * RowSize : ZeroRow.data();
        const int Line = static_cast<int>(Y);
        if (BitPlanes) {
            MergeBitPlanes(Row, PlaneBytes, ScanLine(Line), MergedBytes);
        } else if (H.Planes >= 3) {
            auto Plane = [&](size_t K) { return std::span<const uint8_t>(Row + K * PlaneBytes, PlaneBytes); };
            if (H.Planes == 3)
                ConvertRow({Plane(0), Plane(1), Plane(2)}, Line);
            else
                ConvertRow({Plane(0), Plane(1), Plane(2), Plane(3)}, Line);
        } else {
            ConvertRow(std::span<const uint8_t>(Row, static_cast<size_t>(RowSize)), Line);
        }
        RowProgress(Y);
    }
    EndProgress();
}

} // namespace qv
