#include "imaging/formats/GIF.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <limits>

#include "imaging/ByteReader.h"
#include "imaging/decoders/ImageCompression.h"
#include "platform/System.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TGIFGraphic, TImageGraphic)

namespace {

constexpr uint8_t ExtensionIntroducer = 0x21;
constexpr uint8_t ImageSeparator = 0x2C; // ','
constexpr uint8_t Trailer = 0x3B;        // ';'
constexpr uint8_t PlainTextLabel = 0x01;
constexpr uint8_t GraphicControlLabel = 0xF9;
constexpr uint8_t CommentLabel = 0xFE;
constexpr uint8_t ApplicationLabel = 0xFF;

constexpr uint8_t ColorTableFlag = 0x80;
constexpr uint8_t InterlaceFlag = 0x40;

// No byte of LZW data starts more than eight codes, and no code yields more than the
// 4096 bytes of the longest string: data that cannot fill the picture even so is not
// worth a picture's allocation.
constexpr uint64_t MaxPixelsPerPackedByte = 8 * 4096;

bool HasSignature(const uint8_t* Header) {
    return std::toupper(Header[0]) == 'G' && std::toupper(Header[1]) == 'I' && std::toupper(Header[2]) == 'F';
}

struct TScreenDescriptor {
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t Flags = 0;
};

TScreenDescriptor ReadScreenDescriptor(TByteReader& In) {
    TScreenDescriptor Screen;
    Screen.Width = In.ReadU16LE();
    Screen.Height = In.ReadU16LE();
    Screen.Flags = In.ReadU8();
    In.Skip(2); // background colour index, pixel aspect ratio
    return Screen;
}

struct TImageDescriptor {
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t Flags = 0;
};

TImageDescriptor ReadImageDescriptor(TByteReader& In) {
    TImageDescriptor Image;
    In.Skip(4); // left and top play no part: the picture is the image alone
    Image.Width = In.ReadU16LE();
    Image.Height = In.ReadU16LE();
    Image.Flags = In.ReadU8();
    return Image;
}

uint32_t ColorTableEntries(uint8_t Flags) { return 2u << (Flags & 7); }

void SkipSubBlocks(TByteReader& In) {
    for (uint8_t Length = In.ReadU8(); Length != 0; Length = In.ReadU8()) In.Skip(Length);
}

/// Reads up to the image separator or the trailer, skipping extensions and stray bytes;
/// returns the byte that ended the scan.
uint8_t ScanToImage(TByteReader& In) {
    for (;;) {
        uint8_t Last = In.ReadU8();
        if (Last == ExtensionIntroducer) {
            Last = In.ReadU8();
            switch (Last) {
            case PlainTextLabel:
                In.Skip(In.ReadU8());
                SkipSubBlocks(In);
                break;
            case GraphicControlLabel: In.Skip(int64_t{In.ReadU8()} + 1); break;
            case ImageSeparator:
            case Trailer: break;
            default:
                // Comments, application blocks and every other extension are chains of
                // sub-blocks; passing over them byte by byte could stop on a ',' inside.
                SkipSubBlocks(In);
                break;
            }
        }
        if (Last == ImageSeparator || Last == Trailer) return Last;
    }
}

TLogPalette ReadColorTable(TByteReader& In, uint8_t Flags) {
    const uint32_t Count = ColorTableEntries(Flags);
    const std::vector<uint8_t> Table = In.ReadBytes(int64_t{Count} * 3);
    TLogPalette Palette;
    Palette.palPalEntry.resize(Count);
    for (uint32_t I = 0; I < Count; ++I)
        Palette.palPalEntry[I] = TPaletteEntry{Table[3 * I], Table[3 * I + 1], Table[3 * I + 2], 0};
    return Palette;
}

/// The contents of the data sub-blocks from the stream's position, one after the other.
/// A chain cut short by the end of the stream yields what is there. The stream is left
/// behind the last byte used.
std::vector<uint8_t> GatherSubBlocks(TStream& Stream) {
    std::vector<uint8_t> Packed;
    std::vector<uint8_t> Chunk(64 * 1024);
    size_t Have = 0;
    size_t Next = 0;
    auto Refill = [&] {
        Have = static_cast<size_t>(std::max<int64_t>(0, Stream.Read(Chunk.data(), static_cast<int64_t>(Chunk.size()))));
        Next = 0;
        return Have > 0;
    };
    for (;;) {
        if (Next == Have && !Refill()) break;
        size_t Length = Chunk[Next++];
        if (Length == 0) break;
        while (Length > 0) {
            if (Next == Have && !Refill()) break;
            const size_t Take = std::min(Length, Have - Next);
            Packed.insert(Packed.end(), Chunk.begin() + static_cast<std::ptrdiff_t>(Next),
                          Chunk.begin() + static_cast<std::ptrdiff_t>(Next + Take));
            Next += Take;
            Length -= Take;
        }
        if (Length > 0) break;
    }
    Stream.Seek(-static_cast<int64_t>(Have - Next), TSeekOrigin::Current);
    return Packed;
}

} // namespace

bool TGIFGraphic::CanLoadStream(TStream& Stream) const {
    const int64_t Start = Stream.Position();
    if (Stream.Remaining() <= 22) return false;
    uint8_t Header[3];
    Stream.ReadBuffer(Header, 3);
    Stream.SetPosition(Start);
    return HasSignature(Header);
}

bool TGIFGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    TImageProperties& Properties = ImageProperties();
    TByteReader In(Stream);
    uint8_t Header[6];
    In.ReadExact(Header, sizeof Header);
    if (!HasSignature(Header)) return false;
    Properties.Version = static_cast<uint32_t>(StrToInt(std::string(reinterpret_cast<const char*>(Header) + 3, 2)));
    Properties.ColorScheme = TColorScheme::Indexed;
    Properties.SamplesPerPixel = 1;
    Properties.BitsPerSample = 8;
    Properties.Compression = TCompressionScheme::LZW;

    const TScreenDescriptor Screen = ReadScreenDescriptor(In);
    if (Screen.Flags & ColorTableFlag) {
        Properties.BitsPerSample = static_cast<uint8_t>((Screen.Flags & 7) + 1);
        In.Skip(int64_t{ColorTableEntries(Screen.Flags)} * 3);
    }
    if (ScanToImage(In) == ImageSeparator) {
        const TImageDescriptor Image = ReadImageDescriptor(In);
        Properties.Width = Image.Width != 0 ? Image.Width : Screen.Width;
        Properties.Height = Image.Height != 0 ? Image.Height : Screen.Height;
        Properties.GIFLocalColorTable = (Image.Flags & ColorTableFlag) != 0;
        if (Properties.GIFLocalColorTable) Properties.BitsPerSample = static_cast<uint8_t>((Image.Flags & 7) + 1);
        Properties.Interlaced = (Image.Flags & InterlaceFlag) != 0;
    }
    Properties.BitsPerPixel = static_cast<uint8_t>(Properties.SamplesPerPixel * Properties.BitsPerSample);
    return true;
}

void TGIFGraphic::LoadFromStream(TStream& Stream) {
    BeginLoadOrRaise(Stream, gesGIFFormat);
    StartProgress(gesPreparing);
    TByteReader In(Stream);
    In.Skip(6);
    // The palette is this file's: its colour tables, or the platform's default.
    SetPalette(std::vector<TRGBQuad>());
    SetPixelFormat(pf8bit);
    const TScreenDescriptor Screen = ReadScreenDescriptor(In);
    if (Screen.Flags & ColorTableFlag) SetPalette(ReadColorTable(In, Screen.Flags));
    const uint8_t Last = ScanToImage(In);
    EndProgress();
    if (Last != ImageSeparator) return;

    StartProgress(gesLoadingData);
    const TImageDescriptor Image = ReadImageDescriptor(In);
    const uint32_t Width = ImageProperties().Width;
    const uint32_t Height = ImageProperties().Height;
    if (Image.Flags & ColorTableFlag) SetPalette(ReadColorTable(In, Image.Flags));
    const uint8_t CodeSize = In.ReadU8();
    const std::vector<uint8_t> Packed = GatherSubBlocks(Stream);

    const uint64_t PixelCount = uint64_t{Width} * Height;
    if (PixelCount > uint64_t{Packed.size()} * MaxPixelsPerPackedByte) throw EReadError();
    if (Packed.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        RaiseInvalidGraphicFmt(gesInvalidImage, gesGIFFormat);
    SetSize(static_cast<int>(Width), static_cast<int>(Height));
    // Pixels the data does not reach stay 0: a short file shows index 0 there.
    std::vector<uint8_t> Pixels(static_cast<size_t>(PixelCount), 0);
    if (PixelCount > 0) {
        TGIFLZWDecoder Decoder(CodeSize);
        uint8_t* Source = const_cast<uint8_t*>(Packed.data());
        uint8_t* Dest = Pixels.data();
        Decoder.DecodeInit();
        Decoder.Decode(Source, Dest, static_cast<int32_t>(Packed.size()), static_cast<int32_t>(PixelCount),
                       Packed.size(), Pixels.size());
        Decoder.DecodeEnd();
    }
    EndProgress();

    StartProgress(gesTransfering);
    const uint8_t* Row = Pixels.data();
    if (!ImageProperties().Interlaced) {
        for (uint32_t Y = 0; Y < Height; ++Y, Row += Width) {
            std::memcpy(ScanLine(static_cast<int>(Y)), Row, Width);
            RowProgress(Y);
        }
    } else {
        struct TPass {
            uint32_t First, Step;
        };
        constexpr std::array<TPass, 4> Passes{{{0, 8}, {4, 8}, {2, 4}, {1, 2}}};
        for (size_t Pass = 0; Pass < Passes.size(); ++Pass)
            for (uint32_t Y = Passes[Pass].First; Y < Height; Y += Passes[Pass].Step, Row += Width) {
                std::memcpy(ScanLine(static_cast<int>(Y)), Row, Width);
                if (Pass == Passes.size() - 1) RowProgress(Y + Passes[Pass].Step);
            }
    }
    EndProgress();
}

} // namespace qv
