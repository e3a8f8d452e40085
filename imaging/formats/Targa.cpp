#include "imaging/formats/Targa.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "imaging/ByteReader.h"
#include "imaging/decoders/ImageCompression.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TTargaGraphic, TImageGraphic)

namespace {

constexpr int64_t HeaderSize = 18;
constexpr uint8_t TopFirstFlag = 0x20;
// A packet holds at most 128 pixels, so a row buffer this much longer than the row
// takes the rest of a packet that crosses the row's end.
constexpr uint32_t MaxPacketPixels = 128;
constexpr uint32_t MaxTargaSide = 65535;

enum TImageType : uint8_t {
    NoImage = 0,
    ColorMapped = 1,
    TrueColor = 2,
    Grey = 3,
    ColorMappedRLE = 9,
    TrueColorRLE = 10,
    GreyRLE = 11
};

struct TTargaHeader {
    uint8_t IdLength = 0;
    uint8_t ColorMapType = 0;
    uint8_t ImageType = 0;
    uint16_t FirstEntry = 0;
    uint16_t MapLength = 0;
    uint8_t EntrySize = 0;
    uint16_t XOrigin = 0;
    uint16_t YOrigin = 0;
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t Depth = 0;
    uint8_t Descriptor = 0;
};

TTargaHeader ReadHeader(TByteReader& In) {
    TTargaHeader H;
    H.IdLength = In.ReadU8();
    H.ColorMapType = In.ReadU8();
    H.ImageType = In.ReadU8();
    H.FirstEntry = In.ReadU16LE();
    H.MapLength = In.ReadU16LE();
    H.EntrySize = In.ReadU8();
    H.XOrigin = In.ReadU16LE();
    H.YOrigin = In.ReadU16LE();
    H.Width = In.ReadU16LE();
    H.Height = In.ReadU16LE();
    H.Depth = In.ReadU8();
    H.Descriptor = In.ReadU8();
    return H;
}

bool IsGrey(uint8_t ImageType) { return ImageType == Grey || ImageType == GreyRLE; }
bool IsRunLength(uint8_t ImageType) {
    return ImageType == ColorMappedRLE || ImageType == TrueColorRLE || ImageType == GreyRLE;
}
bool IsUncompressed(uint8_t ImageType) {
    return ImageType == ColorMapped || ImageType == TrueColor || ImageType == Grey;
}
/// Grey files of 16 bits hold a grey byte and an alpha byte per pixel.
bool IsGreyAlpha(const TTargaHeader& H) { return IsGrey(H.ImageType) && H.Depth == 16; }

/// Bytes of one stored pixel; 15-bit pixels take a whole word.
uint32_t StoredPixelBytes(uint8_t Depth) { return (uint32_t{Depth} + 7) / 8; }

/// The colour map as a palette, read from the stream; entry sizes other than 15, 16,
/// 24 and 32 bits are passed over and leave Palette empty. Maps of more than 256
/// entries are read whole and give their first 256.
std::vector<TPaletteEntry> ReadColorMap(TByteReader& In, const TTargaHeader& H, const TColorManager& Manager) {
    const uint32_t EntryBytes = StoredPixelBytes(H.EntrySize);
    const std::vector<uint8_t> Map = In.ReadBytes(int64_t{H.MapLength} * EntryBytes);
    const uint32_t Count = std::min<uint32_t>(H.MapLength, MaxPaletteEntries);
    switch (H.EntrySize) {
    case 24:
        return Manager.CreateColorPalette({Map.data()}, TPaletteLayout::Interleaved8Triple, Count, true).palPalEntry;
    case 32:
        return Manager.CreateColorPalette({Map.data()}, TPaletteLayout::Interleaved8Quad, Count, true).palPalEntry;
    case 15:
    case 16: {
        std::vector<TPaletteEntry> Entries(Count);
        for (uint32_t I = 0; I < Count; ++I) {
            const unsigned Word = Map[2 * I] | (Map[2 * I + 1] << 8);
            Entries[I] = TPaletteEntry{static_cast<uint8_t>((Word & 0x7C00) >> 7),
                                       static_cast<uint8_t>((Word & 0x03E0) >> 2),
                                       static_cast<uint8_t>((Word & 0x1F) << 3), 0};
        }
        return Entries;
    }
    default: return {};
    }
}

/// Complete pixels that the packets in Packed[0, Used) describe (Used as the decoder
/// consumed it; a packet cut by the data's end counts its complete pixels).
uint64_t PacketPixels(const uint8_t* Packed, size_t Used, size_t PixelSize) {
    uint64_t Pixels = 0;
    size_t Position = 0;
    while (Position < Used) {
        const uint8_t Header = Packed[Position++];
        const size_t Count = (Header & 0x7F) + 1u;
        if (Header & 0x80) {
            if (Used - Position < PixelSize) break;
            Position += PixelSize;
            Pixels += Count;
        } else {
            const size_t Bytes = std::min(Count * PixelSize, Used - Position);
            Pixels += Bytes / PixelSize;
            Position += Bytes;
        }
    }
    return Pixels;
}

/// Run-length data read ahead from the stream in large blocks.
class TPackedWindow {
public:
    explicit TPackedWindow(TByteReader& In, size_t Capacity) : FIn(In), FBuffer(Capacity) {}

    /// Makes at least Wanted bytes available unless the data ends first.
    void Fill(size_t Wanted) {
        if (FEnd - FStart >= Wanted || FExhausted) return;
        std::memmove(FBuffer.data(), FBuffer.data() + FStart, FEnd - FStart);
        FEnd -= FStart;
        FStart = 0;
        if (FBuffer.size() < Wanted) FBuffer.resize(Wanted);
        const int64_t Got = FIn.ReadAtMost(FBuffer.data() + FEnd, static_cast<int64_t>(FBuffer.size() - FEnd));
        FEnd += static_cast<size_t>(Got);
        FExhausted = FIn.AtEnd();
    }
    uint8_t* Data() { return FBuffer.data() + FStart; }
    size_t Available() const { return FEnd - FStart; }
    void Consume(size_t Count) { FStart += std::min(Count, Available()); }
    /// Gives the bytes read ahead back to the stream.
    void Return() {
        FIn.Stream().Seek(-static_cast<int64_t>(Available()), TSeekOrigin::Current);
        FStart = FEnd;
    }

private:
    TByteReader& FIn;
    std::vector<uint8_t> FBuffer;
    size_t FStart = 0;
    size_t FEnd = 0;
    bool FExhausted = false;
};

} // namespace

bool TTargaGraphic::CanLoadStream(TStream& Stream) const {
    const int64_t Start = Stream.Position();
    if (Stream.Remaining() <= HeaderSize) return false;
    TByteReader In(Stream);
    const TTargaHeader H = ReadHeader(In);
    Stream.SetPosition(Start);
    const bool TypeKnown = H.ImageType == NoImage || IsUncompressed(H.ImageType) || IsRunLength(H.ImageType);
    const bool EntrySizeKnown = H.EntrySize == 15 || H.EntrySize == 16 || H.EntrySize == 24 || H.EntrySize == 32;
    const bool DepthKnown = H.Depth == 8 || H.Depth == 15 || H.Depth == 16 || H.Depth == 24 || H.Depth == 32;
    return TypeKnown && H.ColorMapType <= 1 && EntrySizeKnown && DepthKnown;
}

bool TTargaGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    TImageProperties& P = ImageProperties();
    TByteReader In(Stream);
    const TTargaHeader H = ReadHeader(In);
    P.Width = H.Width;
    P.Height = H.Height;
    P.BitsPerSample = 8;
    if (IsGreyAlpha(H)) {
        P.ColorScheme = TColorScheme::GrayAlpha;
        P.SamplesPerPixel = 2;
        P.HasAlpha = true;
    } else {
        switch (H.Depth) {
        case 8:
            P.ColorScheme = IsGrey(H.ImageType) ? TColorScheme::Gray : TColorScheme::Indexed;
            P.SamplesPerPixel = 1;
            break;
        case 15:
        case 16:
            P.ColorScheme = TColorScheme::RGB;
            P.BitsPerSample = 5;
            P.SamplesPerPixel = 3;
            break;
        case 24:
            P.ColorScheme = TColorScheme::RGB;
            P.SamplesPerPixel = 3;
            break;
        case 32:
            P.ColorScheme = TColorScheme::RGBA;
            P.SamplesPerPixel = 4;
            P.HasAlpha = true;
            break;
        default:
            P.ColorScheme = TColorScheme::Unknown;
            P.SamplesPerPixel = 0;
            break;
        }
    }
    P.BitsPerPixel = static_cast<uint8_t>(P.SamplesPerPixel * P.BitsPerSample);
    P.Compression = IsRunLength(H.ImageType) ? TCompressionScheme::RLE : TCompressionScheme::None;
    return true;
}

void TTargaGraphic::LoadFromStream(TStream& Stream) {
    BeginLoad(Stream);
    const TImageProperties& P = ImageProperties();
    StartProgress(gesPreparing);
    TByteReader In(Stream);
    const TTargaHeader H = ReadHeader(In);
    const bool TopFirst = (H.Descriptor & TopFirstFlag) != 0;
    In.Skip(H.IdLength);

    // Grey + alpha files show their grey byte in a grey picture, the alpha dropped.
    const bool GreyAlpha = IsGreyAlpha(H);
    TColorManager& Manager = ColorManager();
    Manager.SetSourceSamplesPerPixel(P.SamplesPerPixel);
    Manager.SetTargetSamplesPerPixel(GreyAlpha ? 1 : P.SamplesPerPixel);
    Manager.SetSourceColorScheme(P.ColorScheme);
    Manager.SourceOptions = TConversionOptions();
    Manager.SetTargetColorScheme(GreyAlpha ? TColorScheme::Gray : TColorScheme::BGR);
    Manager.SetSourceBitsPerSample(P.BitsPerSample);
    Manager.SetTargetBitsPerSample(P.BitsPerSample);

    // The palette is this file's alone; it is given to the picture once its format is set,
    // which would drop it otherwise.
    TLogPalette Palette;
    if (IsGrey(H.ImageType)) {
        // A colour map in a grey file means nothing, but its bytes come before the pixels.
        if (H.ColorMapType == 1) In.Skip(int64_t{H.MapLength} * StoredPixelBytes(H.EntrySize));
        Palette = Manager.CreateGrayPalette(false);
    } else if (H.ColorMapType == 1) {
        Palette.palPalEntry = ReadColorMap(In, H, Manager);
    }

    const uint32_t Width = H.Width;
    const uint32_t Height = H.Height;
    const uint32_t PixelSize = StoredPixelBytes(H.Depth);
    const uint64_t RowSize = uint64_t{Width} * PixelSize;
    const uint64_t PixelCount = uint64_t{Width} * Height;
    // The data a header promises must be in the file before the picture is allocated:
    // all rows for stored pixels; for run-length data at least one packet per 128 pixels.
    if (IsUncompressed(H.ImageType) && RowSize * Height > static_cast<uint64_t>(In.Remaining())) throw EReadError();
    if (IsRunLength(H.ImageType) && PixelSize > 0 &&
        (PixelCount + MaxPacketPixels - 1) / MaxPacketPixels * (PixelSize + 1) > static_cast<uint64_t>(In.Remaining()))
        throw EReadError();

    // Without a palette of its own an indexed picture has the platform's default one.
    SetPalette(std::vector<TRGBQuad>());
    SetupBitmap();
    if (!Palette.palPalEntry.empty()) SetPalette(Palette);
    EndProgress();
    StartProgress(gesTransfering);

    const bool Decodable = IsUncompressed(H.ImageType) || IsRunLength(H.ImageType);
    if (Decodable && PixelCount > 0) {
        const uint64_t PictureRow = GreyAlpha ? Width : RowSize;
        if (PixelSize == 0 || static_cast<uint64_t>(RowBytes()) < PictureRow)
            throw EColorConversionError(gesConversionUnsupported);
        auto Destination = [&](uint32_t Row) { return ScanLine(static_cast<int>(TopFirst ? Row : Height - 1 - Row)); };
        auto Store = [&](uint8_t* Target, const uint8_t* Source) {
            if (!GreyAlpha) {
                std::memcpy(Target, Source, static_cast<size_t>(RowSize));
                return;
            }
            for (uint32_t X = 0; X < Width; ++X) Target[X] = Source[2 * X];
        };

        if (IsUncompressed(H.ImageType)) {
            std::vector<uint8_t> Row(GreyAlpha ? static_cast<size_t>(RowSize) : 0);
            for (uint32_t R = 0; R < Height; ++R) {
                uint8_t* Target = Destination(R);
                if (GreyAlpha) {
                    In.ReadExact(Row.data(), static_cast<int64_t>(RowSize));
                    Store(Target, Row.data());
                } else {
                    In.ReadExact(Target, static_cast<int64_t>(RowSize));
                }
                RowProgress(R);
            }
        } else {
            // Packets may cross row ends (old writers do that): the row is decoded into a
            // buffer with room for the rest of the last packet, and that rest begins the next row.
            TTargaRLEDecoder Decoder(H.Depth);
            const size_t BufferPixels = size_t{Width} + MaxPacketPixels;
            std::vector<uint8_t> RowBuffer(BufferPixels * PixelSize, 0);
            // The most one row can take: a one-pixel packet per pixel, the last a whole raw packet.
            const size_t RowWorst = size_t{Width} * (PixelSize + 1) + MaxPacketPixels * PixelSize;
            TPackedWindow Window(In, std::max<size_t>(RowWorst, 256 * 1024));
            size_t Carry = 0;
            Decoder.DecodeInit();
            for (uint32_t R = 0; R < Height; ++R) {
                size_t Total = Carry;
                if (Carry < Width) {
                    const size_t Wanted = Width - Carry;
                    Window.Fill(RowWorst);
                    uint8_t* Source = Window.Data();
                    uint8_t* Dest = RowBuffer.data() + Carry * PixelSize;
                    const size_t Available = Window.Available();
                    const auto Packed = static_cast<int32_t>(std::min<size_t>(Available, std::numeric_limits<int32_t>::max()));
                    Decoder.Decode(Source, Dest, Packed, static_cast<int32_t>(Wanted), Available,
                                   RowBuffer.size() - Carry * PixelSize);
                    const auto Used = static_cast<size_t>(Source - Window.Data());
                    Total = static_cast<size_t>(
                        std::min<uint64_t>(Carry + PacketPixels(Window.Data(), Used, PixelSize), BufferPixels));
                    Window.Consume(Used);
                }
                // Where the data ended the row's rest is black.
                if (Total < Width)
                    std::memset(RowBuffer.data() + Total * PixelSize, 0, (Width - Total) * PixelSize);
                Store(Destination(R), RowBuffer.data());
                Carry = Total > Width ? Total - Width : 0;
                std::memmove(RowBuffer.data(), RowBuffer.data() + size_t{Width} * PixelSize, Carry * PixelSize);
                RowProgress(R);
            }
            Decoder.DecodeEnd();
            Window.Return();
        }
    }
    EndProgress();
}

void TTargaGraphic::SaveToStream(TStream& Stream) {
    StartProgress(gesPreparing);
    if (PixelFormat() == pf1bit || PixelFormat() == pf4bit) SetPixelFormat(pf8bit);
    uint32_t PixelSize = 4;
    switch (PixelFormat()) {
    case pf8bit: PixelSize = 1; break;
    case pf15bit:
    case pf16bit: PixelSize = 2; break;
    case pf24bit: PixelSize = 3; break;
    default: PixelSize = 4; break; // 32-bit, and device and custom pictures, which are kept at 32 bits
    }
    if (Empty()) return;
    const auto Width = static_cast<uint32_t>(this->Width());
    const auto Height = static_cast<uint32_t>(this->Height());
    if (Width > MaxTargaSide || Height > MaxTargaSide) RaiseInvalidGraphic(gesTargaTooLarge);

    const bool Mapped = PixelSize == 1;
    std::vector<uint8_t> Out;
    Out.reserve(64 * 1024);
    auto Put16 = [&](uint32_t V) {
        Out.push_back(static_cast<uint8_t>(V));
        Out.push_back(static_cast<uint8_t>(V >> 8));
    };
    Out.push_back(0);                                // identification field length
    Out.push_back(Mapped ? 1 : 0);                   // colour map type
    Out.push_back(Mapped ? ColorMappedRLE : TrueColorRLE);
    Put16(0);                                        // first colour map entry
    Put16(256);                                      // colour map length
    Out.push_back(24);                               // colour map entry size
    Put16(0);                                        // x origin
    Put16(0);                                        // y origin
    Put16(Width);
    Put16(Height);
    Out.push_back(static_cast<uint8_t>(PixelSize * 8));
    Out.push_back(TopFirstFlag);
    if (Mapped) {
        // Entries the picture's palette does not have are written black.
        const std::vector<TRGBQuad>& Entries = Palette();
        for (size_t I = 0; I < MaxPaletteEntries; ++I) {
            const TRGBQuad Q = I < Entries.size() ? Entries[I] : TRGBQuad{};
            Out.insert(Out.end(), {Q.rgbBlue, Q.rgbGreen, Q.rgbRed});
        }
    }
    Stream.WriteBuffer(Out.data(), static_cast<int64_t>(Out.size()));
    Out.clear();
    EndProgress();

    StartProgress(gesTransfering);
    TTargaRLEDecoder Encoder(static_cast<uint8_t>(PixelSize * 8));
    const size_t EncodedLimit = size_t{Width} * (PixelSize + 1);
    std::vector<uint8_t> Encoded(EncodedLimit);
    // Targa words are 5-5-5: 5-6-5 rows are narrowed first.
    const bool Narrow = PixelFormat() == pf16bit;
    std::vector<uint8_t> Narrowed(Narrow ? size_t{Width} * 2 : 0);
    TRect Rect = ProgressRect();
    Encoder.EncodeInit();
    for (uint32_t Y = 0; Y < Height; ++Y) {
        const uint8_t* Row = ScanLine(static_cast<int>(Y));
        if (Narrow) {
            for (uint32_t X = 0; X < Width; ++X) {
                const unsigned V = Row[2 * X] | (Row[2 * X + 1] << 8);
                const unsigned W = ((V >> 1) & 0x7FE0) | (V & 0x1F);
                Narrowed[2 * X] = static_cast<uint8_t>(W);
                Narrowed[2 * X + 1] = static_cast<uint8_t>(W >> 8);
            }
            Row = Narrowed.data();
        }
        uint32_t Stored = 0;
        Encoder.Encode(Row, Encoded.data(), Width, Stored, Encoded.size());
        Out.insert(Out.end(), Encoded.begin(), Encoded.begin() + Stored);
        if (Out.size() >= 256 * 1024 || Y + 1 == Height) {
            Stream.WriteBuffer(Out.data(), static_cast<int64_t>(Out.size()));
            Out.clear();
        }
        Progress(psRunning, 0, false, Rect, "");
        Rect = OffsetRect(Rect, 0, 1);
    }
    Encoder.EncodeEnd();
    EndProgress();
}

} // namespace qv
