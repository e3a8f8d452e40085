#include "imaging/formats/CUT.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

#include "imaging/ByteReader.h"
#include "imaging/decoders/ImageCompression.h"
#include "platform/System.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TCUTGraphic, TImageGraphic)

namespace {

constexpr int64_t HeaderSize = 6;
// A run of two bytes gives at most 127 pixels: data that cannot fill the picture
// is not allowed to size it.
constexpr uint64_t PixelsPerTwoBytes = 127;

// The palette file is read in blocks; an entry never straddles two of them.
constexpr size_t PaletteBlockSize = 512;
constexpr size_t PaletteCountOffset = 12;
constexpr size_t PaletteEntriesOffset = 40;
constexpr size_t PaletteEntrySize = 6;
constexpr size_t LastEntryOffset = PaletteBlockSize - PaletteEntrySize; // 506

/// ".pal" with the letter case of Ext letter by letter (".CUT" gives ".PAL", ".Cut" ".Pal").
std::string PaletteExtInCaseOf(const std::string& Ext) {
    std::string Result = ".pal";
    for (size_t I = 1; I < Result.size() && I < Ext.size(); ++I)
        if (std::isupper(static_cast<unsigned char>(Ext[I])))
            Result[I] = static_cast<char>(std::toupper(static_cast<unsigned char>(Result[I])));
    return Result;
}

/// Clears the palette file name when a file load ends, so that a later stream
/// load does not take the colours of an earlier file.
class TPaletteFileScope {
public:
    TPaletteFileScope(TCUTGraphic& Graphic, const std::string& Name) : FGraphic(Graphic) {
        FGraphic.SetPaletteFile(Name);
    }
    ~TPaletteFileScope() { FGraphic.SetPaletteFile(std::string()); }
    TPaletteFileScope(const TPaletteFileScope&) = delete;
    TPaletteFileScope& operator=(const TPaletteFileScope&) = delete;

private:
    TCUTGraphic& FGraphic;
};

} // namespace

bool TCUTGraphic::CanLoadStream(TStream&) const { return false; }

bool TCUTGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    SetPixelFormat(pf8bit);
    TByteReader Reader(Stream);
    TImageProperties& Properties = ImageProperties();
    Properties.Width = Reader.ReadU16LE();
    Properties.Height = Reader.ReadU16LE();
    Properties.ColorScheme = TColorScheme::Indexed;
    Properties.BitsPerSample = 8;
    Properties.SamplesPerPixel = 1;
    Properties.BitsPerPixel = 8;
    Properties.Compression = TCompressionScheme::RLE;
    return true;
}

std::string TCUTGraphic::FindPaletteFile(const std::string& FileName) {
    const std::string OwnCase = PaletteExtInCaseOf(ExtractFileExt(FileName));
    for (const std::string& Ext : {OwnCase, std::string(".pal"), std::string(".PAL")}) {
        const std::string Candidate = ChangeFileExt(FileName, Ext);
        if (FileExists(Candidate)) return Candidate;
    }
    return std::string();
}

void TCUTGraphic::LoadFromFile(const std::string& FileName) {
    const TPaletteFileScope Scope(*this, FindPaletteFile(FileName));
    TImageGraphic::LoadFromFile(FileName);
}

void TCUTGraphic::LoadPalette() {
    TLogPalette Palette;
    if (!FPaletteFile.empty() && FileExists(FPaletteFile)) {
        TFileStream File(FPaletteFile, TFileMode::OpenRead);
        std::array<uint8_t, PaletteBlockSize> Block{};
        File.ReadBuffer(Block.data(), PaletteBlockSize);
        // The file holds the highest index; a palette never has more than 256 entries.
        const uint32_t Highest = Block[PaletteCountOffset] | (uint32_t{Block[PaletteCountOffset + 1]} << 8);
        const uint32_t Count = std::min<uint32_t>(Highest + 1, MaxPaletteEntries);
        Palette.palPalEntry.resize(Count);
        size_t Offset = PaletteEntriesOffset;
        for (TPaletteEntry& Entry : Palette.palPalEntry) {
            if (Offset > LastEntryOffset) {
                File.ReadBuffer(Block.data(), PaletteBlockSize);
                Offset = 0;
            }
            // Each component is a 16-bit value of which the low byte is used as it is.
            Entry = TPaletteEntry{Block[Offset], Block[Offset + 2], Block[Offset + 4], 0};
            Offset += PaletteEntrySize;
        }
    } else {
        Palette.palPalEntry.resize(MaxPaletteEntries);
        for (int I = 0; I < MaxPaletteEntries; ++I) {
            const auto Level = static_cast<uint8_t>(I);
            Palette.palPalEntry[I] = TPaletteEntry{Level, Level, Level, 0};
        }
    }
    SetPalette(Palette);
}

void TCUTGraphic::LoadFromStream(TStream& Stream) {
    BeginLoad(Stream);
    SeekFromBase(Stream, HeaderSize);
    const TImageProperties& Properties = ImageProperties();
    const int64_t Rest = Stream.Size() - Stream.Position();
    if (uint64_t{Properties.Width} * Properties.Height > PixelsPerTwoBytes * static_cast<uint64_t>(Rest / 2))
        throw EReadError();

    StartProgress(gesTransfering);
    TColorManager& Colors = ColorManager();
    Colors.SetSourceColorScheme(TColorScheme::Indexed);
    Colors.SetTargetColorScheme(TColorScheme::Indexed);
    Colors.SetSourceBitsPerSample(8);
    Colors.SetTargetBitsPerSample(8);
    Colors.SetSourceSamplesPerPixel(1);
    Colors.SetTargetSamplesPerPixel(1);
    SetupBitmap();
    LoadPalette();

    std::vector<uint8_t> Data = TByteReader(Stream).ReadBytes(Rest);
    TCUTRLEDecoder Decoder;
    Decoder.DecodeInit();
    uint8_t* Source = Data.data();
    uint8_t* const End = Data.data() + Data.size();
    for (uint32_t Y = 0; Y < Properties.Height; ++Y) {
        uint8_t* Dest = ScanLine(static_cast<int>(Y));
        // The source position carries over from row to row.
        Decoder.Decode(Source, Dest, 0, static_cast<int32_t>(Properties.Width), static_cast<size_t>(End - Source),
                       Properties.Width);
        RowProgress(Y);
    }
    Decoder.DecodeEnd();
    EndProgress();
}

} // namespace qv
