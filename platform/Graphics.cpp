#include "platform/Graphics.h"

#include <algorithm>
#include <cstring>

#include "platform/Icon.h"
#include "platform/JPEG.h"
#include "platform/Metafile.h"
#include "platform/System.h"

namespace qv {

// ---------------------------------------------------------------------------
// Class descriptors and TGraphic

bool TGraphicClassInfo::InheritsFrom(const TGraphicClassInfo* Other) const {
    for (const TGraphicClassInfo* C = this; C; C = C->Parent)
        if (C == Other) return true;
    return false;
}

TGraphicClass TGraphic::StaticClass() {
    static const TGraphicClassInfo Info{"TGraphic", nullptr, nullptr};
    return &Info;
}

TGraphicClass TGraphic::ClassType() const { return StaticClass(); }

void TGraphic::SaveToStream(TStream&) {
    throw EInvalidGraphic(std::string("Saving is not supported for ") + ClassType()->Name + " pictures");
}

void TGraphic::LoadFromFile(const std::string& FileName) {
    TFileStream Stream(FileName, TFileMode::OpenRead);
    LoadFromStream(Stream);
}

void TGraphic::SaveToFile(const std::string& FileName) {
    TFileStream Stream(FileName, TFileMode::Create);
    SaveToStream(Stream);
}

void TGraphic::Assign(const TGraphic* Source) {
    if (!Source) throw EConvertError(std::string("Cannot assign nothing to a ") + ClassType()->Name);
    Source->AssignTo(*this);
}

void TGraphic::AssignTo(TGraphic& Dest) const {
    throw EConvertError(std::string("Cannot assign a ") + ClassType()->Name + " to a " + Dest.ClassType()->Name);
}

void TGraphic::Progress(TProgressStage Stage, uint8_t PercentDone, bool RedrawNow, const TRect& R,
                        const std::string& Msg) {
    if (OnProgress) OnProgress(*this, Stage, PercentDone, RedrawNow, R, Msg);
}

// ---------------------------------------------------------------------------
// Pixel formats and palettes

int PixelFormatBits(TPixelFormat Format) {
    switch (Format) {
    case pf1bit: return 1;
    case pf4bit: return 4;
    case pf8bit: return 8;
    case pf15bit: return 15;
    case pf16bit: return 16;
    case pf24bit: return 24;
    case pf32bit: return 32;
    case pfDevice:
    case pfCustom: return 0;
    }
    return 0;
}

namespace {

// Bits each pixel occupies in storage.
int StorageBits(TPixelFormat Format) {
    switch (Format) {
    case pf1bit: return 1;
    case pf4bit: return 4;
    case pf8bit: return 8;
    case pf15bit:
    case pf16bit: return 16;
    case pf24bit: return 24;
    default: return 32;
    }
}

bool IsIndexed(TPixelFormat Format) { return Format == pf1bit || Format == pf4bit || Format == pf8bit; }

int64_t RowBytesFor(int Width, TPixelFormat Format) {
    return ((static_cast<int64_t>(Width) * StorageBits(Format) + 31) / 32) * 4;
}

std::vector<TRGBQuad> ToQuads(const TLogPalette& Palette) {
    std::vector<TRGBQuad> Quads;
    const size_t Count = std::min<size_t>(Palette.palPalEntry.size(), MaxPaletteEntries);
    Quads.reserve(Count);
    for (size_t I = 0; I < Count; ++I) {
        const TPaletteEntry& E = Palette.palPalEntry[I];
        Quads.push_back(TRGBQuad{E.peBlue, E.peGreen, E.peRed, 0});
    }
    return Quads;
}

// A palette for an indexed bitmap that has none yet.
std::vector<TRGBQuad> DefaultPaletteFor(TPixelFormat Format) {
    if (Format == pf1bit) return {TRGBQuad{0, 0, 0, 0}, TRGBQuad{255, 255, 255, 0}};
    if (Format == pf4bit) return ToQuads(DefaultPalette16());
    // 8 bits: 3 bits red, 3 bits green, 2 bits blue, spread over the full range.
    std::vector<TRGBQuad> Quads(256);
    for (int I = 0; I < 256; ++I) {
        const int R = (I >> 5) & 7, G = (I >> 2) & 7, B = I & 3;
        Quads[static_cast<size_t>(I)] = TRGBQuad{static_cast<uint8_t>(B * 255 / 3), static_cast<uint8_t>(G * 255 / 7),
                                                 static_cast<uint8_t>(R * 255 / 7), 0};
    }
    return Quads;
}

inline uint8_t Expand5(unsigned V) { return static_cast<uint8_t>((V << 3) | (V >> 2)); }
inline uint8_t Expand6(unsigned V) { return static_cast<uint8_t>((V << 2) | (V >> 4)); }

uint32_t ReadPixel(const uint8_t* Row, int X, TPixelFormat Format, const std::vector<TRGBQuad>& Palette) {
    auto FromPalette = [&](unsigned Index) -> uint32_t {
        if (Index >= Palette.size()) return 0xFF000000u;
        const TRGBQuad& Q = Palette[Index];
        return 0xFF000000u | (uint32_t{Q.rgbRed} << 16) | (uint32_t{Q.rgbGreen} << 8) | Q.rgbBlue;
    };
    switch (Format) {
    case pf1bit: return FromPalette((Row[X >> 3] >> (7 - (X & 7))) & 1);
    case pf4bit: return FromPalette((X & 1) ? (Row[X >> 1] & 0x0F) : (Row[X >> 1] >> 4));
    case pf8bit: return FromPalette(Row[X]);
    case pf15bit: {
        const unsigned V = Row[2 * X] | (Row[2 * X + 1] << 8);
        return 0xFF000000u | (uint32_t{Expand5((V >> 10) & 31)} << 16) | (uint32_t{Expand5((V >> 5) & 31)} << 8) |
               Expand5(V & 31);
    }
    case pf16bit: {
        const unsigned V = Row[2 * X] | (Row[2 * X + 1] << 8);
        return 0xFF000000u | (uint32_t{Expand5((V >> 11) & 31)} << 16) | (uint32_t{Expand6((V >> 5) & 63)} << 8) |
               Expand5(V & 31);
    }
    case pf24bit:
        return 0xFF000000u | (uint32_t{Row[3 * X + 2]} << 16) | (uint32_t{Row[3 * X + 1]} << 8) | Row[3 * X];
    default: {
        uint32_t V;
        std::memcpy(&V, Row + 4 * X, 4);
        return V;
    }
    }
}

class TNearestColor {
public:
    explicit TNearestColor(const std::vector<TRGBQuad>& Palette) : FPalette(Palette) {}
    unsigned Find(uint32_t BGRA) {
        const uint32_t Key = BGRA & 0xFFFFFF;
        if (FHaveLast && Key == FLastKey) return FLastIndex;
        const int R = (Key >> 16) & 0xFF, G = (Key >> 8) & 0xFF, B = Key & 0xFF;
        unsigned Best = 0;
        int BestDistance = 1 << 30;
        for (size_t I = 0; I < FPalette.size(); ++I) {
            const int DR = R - FPalette[I].rgbRed, DG = G - FPalette[I].rgbGreen, DB = B - FPalette[I].rgbBlue;
            const int Distance = DR * DR + DG * DG + DB * DB;
            if (Distance < BestDistance) {
                BestDistance = Distance;
                Best = static_cast<unsigned>(I);
                if (Distance == 0) break;
            }
        }
        FHaveLast = true;
        FLastKey = Key;
        FLastIndex = Best;
        return Best;
    }

private:
    const std::vector<TRGBQuad>& FPalette;
    bool FHaveLast = false;
    uint32_t FLastKey = 0;
    unsigned FLastIndex = 0;
};

void WritePixel(uint8_t* Row, int X, TPixelFormat Format, uint32_t BGRA, TNearestColor& Nearest) {
    const unsigned R = (BGRA >> 16) & 0xFF, G = (BGRA >> 8) & 0xFF, B = BGRA & 0xFF;
    switch (Format) {
    case pf1bit: {
        const uint8_t Mask = static_cast<uint8_t>(0x80 >> (X & 7));
        if (Nearest.Find(BGRA) & 1) Row[X >> 3] |= Mask;
        else Row[X >> 3] &= static_cast<uint8_t>(~Mask);
        break;
    }
    case pf4bit: {
        const unsigned Index = Nearest.Find(BGRA) & 0x0F;
        uint8_t& Byte = Row[X >> 1];
        Byte = (X & 1) ? static_cast<uint8_t>((Byte & 0xF0) | Index) : static_cast<uint8_t>((Byte & 0x0F) | (Index << 4));
        break;
    }
    case pf8bit: Row[X] = static_cast<uint8_t>(Nearest.Find(BGRA)); break;
    case pf15bit: {
        const unsigned V = ((R >> 3) << 10) | ((G >> 3) << 5) | (B >> 3);
        Row[2 * X] = static_cast<uint8_t>(V);
        Row[2 * X + 1] = static_cast<uint8_t>(V >> 8);
        break;
    }
    case pf16bit: {
        const unsigned V = ((R >> 3) << 11) | ((G >> 2) << 5) | (B >> 3);
        Row[2 * X] = static_cast<uint8_t>(V);
        Row[2 * X + 1] = static_cast<uint8_t>(V >> 8);
        break;
    }
    case pf24bit:
        Row[3 * X] = static_cast<uint8_t>(B);
        Row[3 * X + 1] = static_cast<uint8_t>(G);
        Row[3 * X + 2] = static_cast<uint8_t>(R);
        break;
    default: std::memcpy(Row + 4 * X, &BGRA, 4); break;
    }
}

} // namespace

const TLogPalette& DefaultPalette16() {
    static const TLogPalette Palette = [] {
        TLogPalette P;
        const uint8_t Entries[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                        {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                        {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                        {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
        for (const auto& E : Entries) P.palPalEntry.push_back(TPaletteEntry{E[0], E[1], E[2], 0});
        return P;
    }();
    return Palette;
}

// ---------------------------------------------------------------------------
// TBitmap

QV_DEFINE_GRAPHIC_CLASS(TBitmap, TGraphic)

void TBitmap::Reallocate(int NewWidth, int NewHeight, TPixelFormat NewFormat, bool KeepPixels) {
    if (NewWidth < 0 || NewHeight < 0)
        throw EInvalidGraphic(Format("Invalid picture size %d*%d", NewWidth, NewHeight));
    if (NewWidth > MaxSide || NewHeight > MaxSide || static_cast<int64_t>(NewWidth) * NewHeight > MaxPixels)
        throw EInvalidGraphic(Format("Picture size %d*%d exceeds the limit of %lld pixels and %d pixels per side",
                                     NewWidth, NewHeight, static_cast<long long>(MaxPixels), MaxSide));
    const int64_t NewRowBytes = RowBytesFor(NewWidth, NewFormat);
    std::vector<uint8_t, TZeroedAllocator<uint8_t>> NewBits;
    try {
        NewBits.resize(static_cast<size_t>(NewRowBytes * NewHeight)); // zero: fresh calloc memory
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory();
    }
    if (IsIndexed(NewFormat) && FPalette.empty()) FPalette = DefaultPaletteFor(NewFormat);
    if (KeepPixels && !FBits.empty()) {
        const int Rows = std::min(FHeight, NewHeight);
        const int Columns = std::min(FWidth, NewWidth);
        for (int Y = 0; Y < Rows; ++Y) {
            const uint8_t* Src = FBits.data() + static_cast<int64_t>(FHeight - 1 - Y) * FRowBytes;
            uint8_t* Dst = NewBits.data() + static_cast<int64_t>(NewHeight - 1 - Y) * NewRowBytes;
            if (NewFormat == FPixelFormat) {
                std::memcpy(Dst, Src, static_cast<size_t>((static_cast<int64_t>(Columns) * StorageBits(NewFormat) + 7) / 8));
                // Clear the spare bits of a partial last byte so grown columns start at zero.
                const int64_t Bits = static_cast<int64_t>(Columns) * StorageBits(NewFormat);
                if (Bits % 8 != 0) Dst[Bits / 8] &= static_cast<uint8_t>(0xFF00 >> (Bits % 8));
            } else {
                TNearestColor Nearest(FPalette);
                const bool FromAlpha = StorageBits(FPixelFormat) == 32;
                for (int X = 0; X < Columns; ++X) {
                    uint32_t BGRA = ReadPixel(Src, X, FPixelFormat, FPalette);
                    // Formats without alpha arrive with the alpha byte clear, as a device bitmap has it.
                    if (!FromAlpha) BGRA &= 0x00FFFFFF;
                    WritePixel(Dst, X, NewFormat, BGRA, Nearest);
                }
            }
        }
    }
    FBits = std::move(NewBits);
    FWidth = NewWidth;
    FHeight = NewHeight;
    FRowBytes = static_cast<int>(NewRowBytes);
    FPixelFormat = NewFormat;
}

void TBitmap::SetWidth(int Value) {
    if (Value != FWidth) Reallocate(Value, FHeight, FPixelFormat, true);
}

void TBitmap::SetHeight(int Value) {
    if (Value != FHeight) Reallocate(FWidth, Value, FPixelFormat, true);
}

void TBitmap::SetSize(int NewWidth, int NewHeight) {
    if (NewWidth != FWidth || NewHeight != FHeight) Reallocate(NewWidth, NewHeight, FPixelFormat, true);
}

void TBitmap::SetPixelFormat(TPixelFormat Value) {
    if (Value == FPixelFormat) return;
    if (IsIndexed(Value) && (!IsIndexed(FPixelFormat) || FPalette.size() > (size_t{1} << StorageBits(Value))))
        if (!IsIndexed(FPixelFormat)) FPalette.clear();
    Reallocate(FWidth, FHeight, Value, true);
}

uint8_t* TBitmap::ScanLine(int Row) {
    if (Row < 0 || Row >= FHeight) throw EInvalidGraphic(Format("Scan line index out of range (%d)", Row));
    return FBits.data() + static_cast<int64_t>(FHeight - 1 - Row) * FRowBytes;
}

const uint8_t* TBitmap::ScanLine(int Row) const { return const_cast<TBitmap*>(this)->ScanLine(Row); }

void TBitmap::SetPalette(std::vector<TRGBQuad> Entries) {
    if (Entries.size() > MaxPaletteEntries) Entries.resize(MaxPaletteEntries);
    FPalette = std::move(Entries);
}

void TBitmap::SetPalette(const TLogPalette& Palette) { SetPalette(ToQuads(Palette)); }

TLogPalette TBitmap::LogPalette() const {
    TLogPalette P;
    for (const TRGBQuad& Q : FPalette) P.palPalEntry.push_back(TPaletteEntry{Q.rgbRed, Q.rgbGreen, Q.rgbBlue, 0});
    return P;
}

void TBitmap::FreeImage() {
    FBits.clear();
    FBits.shrink_to_fit();
    FWidth = 0;
    FHeight = 0;
    FRowBytes = 0;
}

void TBitmap::Assign(const TGraphic* Source) {
    if (Source == this) return;
    if (!Source) {
        FreeImage();
        return;
    }
    if (const auto* Other = dynamic_cast<const TBitmap*>(Source)) {
        FBits = Other->FBits;
        FWidth = Other->FWidth;
        FHeight = Other->FHeight;
        FRowBytes = Other->FRowBytes;
        FPixelFormat = Other->FPixelFormat;
        FPalette = Other->FPalette;
        FTransparentColor = Other->FTransparentColor;
        SetTransparent(Other->Transparent());
        return;
    }
    Source->AssignTo(*this);
}

void TBitmap::TakeFrom(TBitmap& Source) {
    if (&Source == this) return;
    FBits = std::move(Source.FBits);
    FWidth = Source.FWidth;
    FHeight = Source.FHeight;
    FRowBytes = Source.FRowBytes;
    FPixelFormat = Source.FPixelFormat;
    FPalette = Source.FPalette;
    FTransparentColor = Source.FTransparentColor;
    SetTransparent(Source.Transparent());
    Source.FreeImage();
}

uint32_t TBitmap::PixelBGRA(int X, int Y) const {
    if (X < 0 || X >= FWidth) throw EInvalidGraphic(Format("Pixel index out of range (%d)", X));
    return ReadPixel(ScanLine(Y), X, FPixelFormat, FPalette);
}

// ---------------------------------------------------------------------------
// TPicture and the registry of picture formats

namespace {

struct TRegistry {
    std::vector<TPicture::TFormatEntry> Entries; // oldest first
    TRegistry() {
        // The platform's own formats come first, so the mask ends with them.
        Entries.push_back({"wmf", "Metafiles", TMetafile::StaticClass()});
        Entries.push_back({"emf", "Enhanced Metafiles", TMetafile::StaticClass()});
        Entries.push_back({"ico", "Icons", TIcon::StaticClass()});
        Entries.push_back({"bmp", "Bitmaps", TBitmap::StaticClass()});
        Entries.push_back({"jpeg", "JPEG Image File", TJPEGImage::StaticClass()});
        Entries.push_back({"jpg", "JPEG Image File", TJPEGImage::StaticClass()});
    }
};

TRegistry& Registry() {
    static TRegistry Instance;
    return Instance;
}

} // namespace

std::string ExtractFileExtNoDot(const std::string& FileName) {
    const std::string Ext = ExtractFileExt(FileName);
    return Ext.empty() ? Ext : Ext.substr(1);
}

void TPicture::RegisterFileFormat(const std::string& Extension, const std::string& Description, TGraphicClass Class) {
    Registry().Entries.push_back({LowerCase(Extension), Description, Class});
}

void TPicture::UnregisterGraphicClass(TGraphicClass Class) {
    auto& Entries = Registry().Entries;
    Entries.erase(std::remove_if(Entries.begin(), Entries.end(),
                                 [Class](const TFormatEntry& E) { return E.Class->InheritsFrom(Class); }),
                  Entries.end());
}

std::string TPicture::GraphicFileMask(TGraphicClass Class) {
    std::string Mask;
    const auto& Entries = Registry().Entries;
    for (auto It = Entries.rbegin(); It != Entries.rend(); ++It) {
        if (!It->Class->InheritsFrom(Class)) continue;
        if (!Mask.empty()) Mask += ';';
        Mask += "*." + It->Extension;
    }
    return Mask;
}

TGraphicClass TPicture::FindGraphicClass(const std::string& Extension) {
    const std::string Wanted = LowerCase(Extension);
    const auto& Entries = Registry().Entries;
    for (auto It = Entries.rbegin(); It != Entries.rend(); ++It)
        if (It->Extension == Wanted) return It->Class;
    return nullptr;
}

std::vector<TPicture::TFormatEntry> TPicture::RegisteredFormats() {
    const auto& Entries = Registry().Entries;
    return std::vector<TFormatEntry>(Entries.rbegin(), Entries.rend());
}

void TPicture::LoadFromFile(const std::string& FileName) {
    const std::string Ext = ExtractFileExtNoDot(FileName);
    const TGraphicClass Class = FindGraphicClass(Ext);
    if (!Class || !Class->Create) throw EInvalidGraphic("Unknown picture file extension (." + Ext + ")");
    std::unique_ptr<TGraphic> NewGraphic = Class->Create();
    NewGraphic->LoadFromFile(FileName);
    FGraphic = std::move(NewGraphic);
}

} // namespace qv
