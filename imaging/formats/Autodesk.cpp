#include "imaging/formats/Autodesk.h"

#include <array>

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TAutodeskGraphic, TImageGraphic)

namespace {

constexpr uint16_t Signature = 0x9119;
constexpr int64_t HeaderSize = 32;
constexpr size_t PaletteSize = 3 * MaxPaletteEntries;
constexpr size_t BitsOffset = 10;
constexpr size_t CompressionOffset = 11;

using THeader = std::array<uint8_t, HeaderSize>;

uint16_t WordAt(const THeader& Header, size_t Offset) {
    return static_cast<uint16_t>(Header[Offset] | (Header[Offset + 1] << 8));
}

/// Reads what the stream delivers of Count bytes; the rest of Buffer stays as it was.
int64_t ReadSome(TStream& Stream, uint8_t* Buffer, int64_t Count) {
    int64_t Done = 0;
    while (Done < Count) {
        const int64_t Got = Stream.Read(Buffer + Done, Count - Done);
        if (Got <= 0) break;
        Done += Got;
    }
    return Done;
}

} // namespace

bool TAutodeskGraphic::CanLoadStream(TStream& Stream) const {
    const int64_t Start = Stream.Position();
    bool Result = false;
    if (Stream.Remaining() > HeaderSize) {
        THeader Header{};
        Stream.ReadBuffer(Header.data(), HeaderSize);
        Result = WordAt(Header, 0) == Signature && Header[BitsOffset] == 8 && Header[CompressionOffset] == 0;
    }
    Stream.SetPosition(Start);
    return Result;
}

bool TAutodeskGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    // Bytes a short stream never delivers read as zero.
    THeader Header{};
    if (ReadSome(Stream, Header.data(), 2) < 2 || WordAt(Header, 0) != Signature) return false;
    ReadSome(Stream, Header.data() + 2, HeaderSize - 2);
    TImageProperties& Properties = ImageProperties();
    Properties.ColorScheme = TColorScheme::Indexed;
    Properties.Width = WordAt(Header, 2);
    Properties.Height = WordAt(Header, 4);
    Properties.BitsPerSample = 8;
    Properties.SamplesPerPixel = 1;
    Properties.BitsPerPixel = 8;
    Properties.Compression = TCompressionScheme::None;
    return true;
}

void TAutodeskGraphic::LoadFromStream(TStream& Stream) {
    BeginLoadOrRaise(Stream, gesAutodeskFormat);
    StartProgress(gesTransfering);
    THeader Header{};
    ReadSome(Stream, Header.data(), HeaderSize);

    std::array<uint8_t, PaletteSize> Components{};
    ReadSome(Stream, Components.data(), PaletteSize);
    TLogPalette Palette;
    Palette.palPalEntry.resize(MaxPaletteEntries);
    // Components run 0..63; the shift works on one byte, so 64 and above wrap.
    auto Widen = [](uint8_t V) { return static_cast<uint8_t>(V << 2); };
    for (size_t I = 0; I < Palette.palPalEntry.size(); ++I)
        Palette.palPalEntry[I] =
            TPaletteEntry{Widen(Components[3 * I]), Widen(Components[3 * I + 1]), Widen(Components[3 * I + 2]), 0};

    TColorManager& Colors = ColorManager();
    Colors.SetSourceColorScheme(TColorScheme::Indexed);
    Colors.SetTargetColorScheme(TColorScheme::Indexed);
    Colors.SetSourceSamplesPerPixel(1);
    Colors.SetTargetSamplesPerPixel(1);
    Colors.SetSourceBitsPerSample(8);
    Colors.SetTargetBitsPerSample(8);
    SetupBitmap();
    SetPalette(Palette);

    const uint32_t Width = ImageProperties().Width;
    const uint32_t Height = ImageProperties().Height;
    bool Ended = false;
    for (uint32_t Y = 0; Y < Height; ++Y) {
        // Rows the stream no longer reaches keep the bitmap's zero pixels.
        if (!Ended) Ended = ReadSome(Stream, ScanLine(static_cast<int>(Y)), Width) < Width;
        RowProgress(Y);
    }
    EndProgress();
}

} // namespace qv
