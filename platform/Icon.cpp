// Windows icons and cursors: the icon directory, its bitmap entries (colour
// bitmap plus 1-bit AND mask, stacked in one double-height bitmap) and
// PNG-compressed entries through an installable decoder.

#include "platform/Icon.h"

#include <cstring>

#include "platform/DibFormat.h"
#include "platform/System.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TIcon, TGraphic)

namespace {

constexpr int IconHeaderSize = 6;
constexpr int DirEntrySize = 16;
const uint8_t PngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

TIcon::TPngDecoder PngDecoder = nullptr;

uint16_t GetU16(const uint8_t* P) { return static_cast<uint16_t>(P[0] | (P[1] << 8)); }
uint32_t GetU32(const uint8_t* P) {
    return uint32_t{P[0]} | (uint32_t{P[1]} << 8) | (uint32_t{P[2]} << 16) | (uint32_t{P[3]} << 24);
}
uint32_t GetU32BE(const uint8_t* P) {
    return (uint32_t{P[0]} << 24) | (uint32_t{P[1]} << 16) | (uint32_t{P[2]} << 8) | uint32_t{P[3]};
}

// One directory entry after its image header was checked against it.
struct TIconEntry {
    int64_t Offset = 0; // absolute stream position
    int64_t Size = 0;
    int Width = 0;
    int Height = 0;
    int Depth = 0;
    bool Png = false;
    TDibHeader Header;  // bitmap entries only
    bool HasMaskRows = true;
};

[[noreturn]] void Refuse(int Index, const char* Why) {
    throw EInvalidGraphic(Format("Icon entry %d is not valid: %s", Index, Why));
}

// A directory size of 0 stands for 256 or more.
bool SideMatches(int DirSide, int64_t ImageSide) { return DirSide == 0 ? ImageSide >= 256 : DirSide == ImageSide; }

TIconEntry CheckEntry(TStream& Stream, int64_t Base, int64_t StreamSize, int Count, int Index, const uint8_t* Dir) {
    TIconEntry E;
    const int DirWidth = Dir[0], DirHeight = Dir[1];
    E.Size = GetU32(Dir + 8);
    const int64_t Offset = GetU32(Dir + 12);
    if (Offset < IconHeaderSize + int64_t{DirEntrySize} * Count) Refuse(Index, "its data overlaps the directory");
    if (Base + Offset + E.Size > StreamSize) Refuse(Index, "its data lies beyond the end of the file");
    if (E.Size < 16) Refuse(Index, "its data is too short");
    E.Offset = Base + Offset;
    Stream.SetPosition(E.Offset);

    uint8_t Signature[8];
    Stream.ReadBuffer(Signature, 8);
    if (std::memcmp(Signature, PngSignature, 8) == 0) {
        uint8_t Ihdr[18]; // chunk length, "IHDR", width, height, bit depth, colour type
        if (E.Size < 8 + 18) Refuse(Index, "its PNG header is cut short");
        Stream.ReadBuffer(Ihdr, sizeof(Ihdr));
        if (std::memcmp(Ihdr + 4, "IHDR", 4) != 0) Refuse(Index, "its PNG data has no header");
        const int64_t W = GetU32BE(Ihdr + 8), H = GetU32BE(Ihdr + 12);
        if (!SideMatches(DirWidth, W) || !SideMatches(DirHeight, H)) Refuse(Index, "the directory misstates its size");
        if (W > TBitmap::MaxSide || H > TBitmap::MaxSide || W * H > TBitmap::MaxPixels)
            Refuse(Index, "its size exceeds the picture size limit");
        static const int Channels[7] = {1, 0, 3, 1, 2, 0, 4};
        const int ColorType = Ihdr[17] < 7 ? Ihdr[17] : 0;
        E.Png = true;
        E.Width = static_cast<int>(W);
        E.Height = static_cast<int>(H);
        E.Depth = Ihdr[16] * Channels[ColorType];
        return E;
    }

    Stream.SetPosition(E.Offset);
    TDibHeader H = ReadDibHeader(Stream);
    if (H.TopDown) Refuse(Index, "its bitmap is stored top-down");
    if (H.Compression != TDibCompression::Rgb && H.Compression != TDibCompression::BitFields)
        Refuse(Index, "its bitmap is compressed");
    if (!SideMatches(DirWidth, H.Width)) Refuse(Index, "the directory misstates its width");
    // The stored height covers the colour rows and the mask rows; a few
    // writers store the colour rows alone.
    if (SideMatches(DirHeight, H.Height / 2) && H.Height % 2 == 0) {
        H.Height /= 2;
    } else if (SideMatches(DirHeight, H.Height)) {
        E.HasMaskRows = false;
    } else {
        Refuse(Index, "the directory misstates its height");
    }
    const int64_t ColourBytes = (Stream.Position() - E.Offset) + H.StoredPaletteEntries() * H.PaletteEntrySize +
                                H.StoredRowBytes() * H.Height;
    if (ColourBytes > E.Size) Refuse(Index, "the directory misstates its data size");
    E.Width = H.Width;
    E.Height = H.Height;
    E.Depth = H.BitCount;
    E.Header = H;
    return E;
}

// Widens any decoded entry to 32 bits; formats without alpha become opaque.
void To32Bit(const TBitmap& Source, bool KeepAlpha, TBitmap& Dest) {
    Dest.FreeImage();
    Dest.SetPixelFormat(pf32bit);
    Dest.SetPalette(std::vector<TRGBQuad>{});
    Dest.SetSize(Source.Width(), Source.Height());
    const bool Is32 = Source.PixelFormat() == pf32bit;
    for (int Y = 0; Y < Source.Height(); ++Y) {
        uint8_t* Row = Dest.ScanLine(Y);
        if (Is32) {
            std::memcpy(Row, Source.ScanLine(Y), static_cast<size_t>(Source.Width()) * 4);
            if (KeepAlpha) continue;
            for (int X = 0; X < Source.Width(); ++X) Row[4 * X + 3] = 255;
            continue;
        }
        for (int X = 0; X < Source.Width(); ++X) {
            const uint32_t BGRA = Source.PixelBGRA(X, Y) | 0xFF000000u;
            std::memcpy(Row + 4 * X, &BGRA, 4);
        }
    }
}

void DecodeBitmapEntry(TStream& Stream, const TIconEntry& E, TBitmap& Dest) {
    Stream.SetPosition(E.Offset);
    TDibHeader Header = ReadDibHeader(Stream);
    Header.Height = E.Height;
    // Icons of 32 bits carry alpha in their fourth byte whatever the header says.
    if (Header.BitCount == 32 && !Header.HasMasks) Header.AlphaMask = 0xFF000000u;
    std::vector<TRGBQuad> Palette = ReadDibPalette(Stream, Header);
    const int64_t MaskStart = Stream.Position() + Header.StoredRowBytes() * Header.Height;
    TBitmap Colour;
    const bool AlphaFromFile = ReadDibPixels(Stream, Header, std::move(Palette), Colour);
    To32Bit(Colour, AlphaFromFile, Dest);
    if (AlphaFromFile || !E.HasMaskRows) return;

    // The AND mask: a set bit makes the pixel transparent. It is missing
    // from some damaged files; then the picture stays opaque.
    const int64_t MaskStride = ((static_cast<int64_t>(E.Width) + 31) / 32) * 4;
    const int64_t MaskBytes = MaskStride * E.Height;
    if (MaskStart + MaskBytes > E.Offset + E.Size) return;
    Stream.SetPosition(MaskStart);
    std::vector<uint8_t> Mask(static_cast<size_t>(MaskBytes));
    Stream.ReadBuffer(Mask.data(), MaskBytes);
    for (int I = 0; I < E.Height; ++I) {
        const uint8_t* Bits = &Mask[static_cast<size_t>(I * MaskStride)];
        uint8_t* Row = Dest.ScanLine(E.Height - 1 - I);
        for (int X = 0; X < E.Width; ++X)
            if ((Bits[X >> 3] >> (7 - (X & 7))) & 1) Row[4 * X + 3] = 0;
    }
}

void DecodePngEntry(TStream& Stream, const TIconEntry& E, TBitmap& Dest) {
    if (!PngDecoder) throw EInvalidGraphic("PNG-compressed icons are not supported");
    Stream.SetPosition(E.Offset);
    std::vector<uint8_t> Data(static_cast<size_t>(E.Size));
    Stream.ReadBuffer(Data.data(), E.Size);
    TBytesStream Entry(Data.data(), E.Size);
    TBitmap Picture;
    PngDecoder(Entry, Picture);
    To32Bit(Picture, Picture.PixelFormat() == pf32bit, Dest);
}

} // namespace

TIcon::TIcon() = default;
TIcon::~TIcon() = default;

void TIcon::SetPngDecoder(TPngDecoder Decoder) { PngDecoder = Decoder; }

void TIcon::LoadFromStream(TStream& Stream) { Load(Stream, -1); }

void TIcon::LoadEntryFromStream(TStream& Stream, int Index) {
    if (Index < 0) throw EInvalidGraphic(Format("Icon entry %d does not exist", Index));
    Load(Stream, Index);
}

void TIcon::Load(TStream& Stream, int Index) {
    FBitmap.FreeImage();
    const int64_t Base = Stream.Position();
    const int64_t StreamSize = Stream.Size();
    uint8_t Head[IconHeaderSize];
    Stream.ReadBuffer(Head, IconHeaderSize);
    const int Type = GetU16(Head + 2), Count = GetU16(Head + 4);
    // Type 1 is an icon, type 2 a cursor; both store the same images.
    if (GetU16(Head) != 0 || (Type != 1 && Type != 2) || Count == 0) throw EInvalidGraphic("Icon image is not valid");
    if (Index >= Count) throw EInvalidGraphic(Format("Icon entry %d does not exist", Index));
    std::vector<uint8_t> Dir(static_cast<size_t>(Count) * DirEntrySize);
    Stream.ReadBuffer(Dir.data(), static_cast<int64_t>(Dir.size()));

    // Every entry is checked, so that a directory that lies anywhere is refused.
    std::vector<TIconEntry> Entries;
    for (int I = 0; I < Count; ++I)
        Entries.push_back(CheckEntry(Stream, Base, StreamSize, Count, I, &Dir[static_cast<size_t>(I) * DirEntrySize]));

    if (Index < 0) {
        // The largest, deepest entry; PNG entries only when they can be decoded
        // or nothing else is there (they then refuse with a clear message).
        auto Better = [](const TIconEntry& A, const TIconEntry& B) {
            const int64_t AreaA = int64_t{A.Width} * A.Height, AreaB = int64_t{B.Width} * B.Height;
            return AreaA != AreaB ? AreaA > AreaB : A.Depth > B.Depth;
        };
        for (int I = 0; I < Count; ++I) {
            const TIconEntry& E = Entries[static_cast<size_t>(I)];
            if (Index < 0) {
                Index = I;
                continue;
            }
            const TIconEntry& Best = Entries[static_cast<size_t>(Index)];
            const bool Usable = !E.Png || PngDecoder, BestUsable = !Best.Png || PngDecoder;
            if ((Usable && !BestUsable) || (Usable == BestUsable && Better(E, Best))) Index = I;
        }
    }
    const TIconEntry& Chosen = Entries[static_cast<size_t>(Index)];
    try {
        if (Chosen.Png) DecodePngEntry(Stream, Chosen, FBitmap);
        else DecodeBitmapEntry(Stream, Chosen, FBitmap);
    } catch (...) {
        FBitmap.FreeImage();
        throw;
    }
}

void TIcon::AssignTo(TGraphic& Dest) const {
    if (auto* Bitmap = dynamic_cast<TBitmap*>(&Dest)) {
        Bitmap->Assign(&FBitmap);
        return;
    }
    TGraphic::AssignTo(Dest);
}

} // namespace qv
