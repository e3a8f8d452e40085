#include "app/Glyphs.h"

#include <array>
#include <string_view>

#include "display/Pix32.h"

namespace qv {

namespace {

constexpr int GlyphSize = 16;
using TArt = std::array<std::string_view, GlyphSize>;

// One character per pixel; '.' is transparent.
TPixel32 ArtPixel(char C) {
    switch (C) {
    case 'k': return MakePixel(32, 36, 56, 255);     // outline
    case 'b': return MakePixel(40, 96, 208, 255);    // blue
    case 'c': return MakePixel(120, 170, 245, 255);  // light blue
    case 'w': return MakePixel(255, 255, 255, 255);
    case 'g': return MakePixel(196, 196, 196, 255);  // light grey
    case 'd': return MakePixel(96, 96, 104, 255);    // dark grey
    case 'y': return MakePixel(245, 200, 40, 255);   // yellow
    case 'G': return MakePixel(64, 168, 72, 255);    // green
    default: return 0;
    }
}

constexpr TArt PreviousArt{
    "................", "................", ".......k........", "......kk........",
    ".....kck........", "....kcckkkkkkk..", "...kccccccccck..", "..kcbbbbbbbbbk..",
    "..kbbbbbbbbbbk..", "...kbbbbbbbbbk..", "....kbbkkkkkkk..", ".....kbk........",
    "......kk........", ".......k........", "................", "................"};

constexpr TArt FirstArt{
    "................", "................", ".kk......k......", ".kk.....kk......",
    ".kk....kck......", ".kk...kcckkkkkk.", ".kk..kcccccccck.", ".kk.kcbbbbbbbbk.",
    ".kk.kbbbbbbbbbk.", ".kk..kbbbbbbbbk.", ".kk...kbbkkkkkk.", ".kk....kbk......",
    ".kk.....kk......", ".kk......k......", "................", "................"};

constexpr TArt ActualSizeArt{
    "................", ".kkkkkkkkkkkkkk.", ".kwwwwwwwwwwwwk.", ".kwwwwwwwwwwwwk.",
    ".kwwbwwwwwbwwwk.", ".kwbbwwwwbbwwwk.", ".kwwbwwbwwbwwwk.", ".kwwbwwwwwbwwwk.",
    ".kwwbwwbwwbwwwk.", ".kwwbwwwwwbwwwk.", ".kwbbbwwwbbbwwk.", ".kwwwwwwwwwwwwk.",
    ".kwwwwwwwwwwwwk.", ".kkkkkkkkkkkkkk.", "................", "................"};

constexpr TArt ZoomInArt{
    "................", "....kkkk........", "..kkwwwwkk......", ".kwwwwwwwwk.....",
    ".kwwwbbwwwk.....", "kwwwwbbwwwwk....", "kwwbbbbbbwwk....", "kwwbbbbbbwwk....",
    "kwwwwbbwwwwk....", ".kwwwbbwwwk.....", ".kwwwwwwwwk.....", "..kkwwwwkkdd....",
    "....kkkk.dddd...", "..........dddd..", "...........dddd.", "............ddd."};

constexpr TArt ZoomOutArt{
    "................", "....kkkk........", "..kkwwwwkk......", ".kwwwwwwwwk.....",
    ".kwwwwwwwwk.....", "kwwwwwwwwwwk....", "kwwbbbbbbwwk....", "kwwbbbbbbwwk....",
    "kwwwwwwwwwwk....", ".kwwwwwwwwk.....", ".kwwwwwwwwk.....", "..kkwwwwkkdd....",
    "....kkkk.dddd...", "..........dddd..", "...........dddd.", "............ddd."};

constexpr TArt HideBrowserArt{
    "................", "................", "kkkkkkkkkkkkkkkk", "kbbbbbbbbbbbbbbk",
    "kkkkkkkkkkkkkkkk", "kggggkwwwwwwwwwk", "kgddgkwwwwwwyywk", "kggggkwwwwwwyywk",
    "kgddgkwwwwwwwwwk", "kggggkwwwwwwwwwk", "kgddgkwwwwwwwwwk", "kggggkwwwGGwwwwk",
    "kggggkwGGGGGGwwk", "kkkkkkkkkkkkkkkk", "................", "................"};

constexpr TArt WebArt{
    "................", ".....kkkkkk.....", "...kkcbbbbckk...", "..kcbbGGbbbbck..",
    ".kcbGGGGGbbbbck.", ".kbbGGGGGGbbbbk.", "kcbbbGGGGbbbGGck", "kbbbbbGGbbbGGGbk",
    "kbbbbbbGbbGGGGbk", "kbbbbbbbbbGGGbbk", "kcbbbbbbbbbGGbck", ".kbbbbGGbbbbbbk.",
    ".kcbbbGGGbbbbck.", "..kcbbbbbbbbck..", "...kkcbbbbckk...", ".....kkkkkk....."};

enum class TMirror { No, Yes };

std::unique_ptr<TBitmap> GlyphFromArt(const TArt& Art, TMirror Mirror) {
    auto Bitmap = New32BitBitmap(GlyphSize, GlyphSize);
    for (int Y = 0; Y < GlyphSize; ++Y) {
        auto* Row = reinterpret_cast<TPixel32*>(Bitmap->ScanLine(Y));
        const std::string_view Line = Art[static_cast<size_t>(Y)];
        for (int X = 0; X < GlyphSize; ++X) {
            const int Source = Mirror == TMirror::Yes ? GlyphSize - 1 - X : X;
            Row[X] = ArtPixel(Line[static_cast<size_t>(Source)]);
        }
    }
    return Bitmap;
}

} // namespace

std::unique_ptr<TImageList> CreateViewerGlyphs() {
    auto List = std::make_unique<TImageList>(GlyphSize, GlyphSize);
    // Next and Last are Previous and First seen in a mirror.
    List->Add(*GlyphFromArt(PreviousArt, TMirror::No));
    List->Add(*GlyphFromArt(PreviousArt, TMirror::Yes));
    List->Add(*GlyphFromArt(FirstArt, TMirror::No));
    List->Add(*GlyphFromArt(FirstArt, TMirror::Yes));
    List->Add(*GlyphFromArt(ActualSizeArt, TMirror::No));
    List->Add(*GlyphFromArt(ZoomInArt, TMirror::No));
    List->Add(*GlyphFromArt(ZoomOutArt, TMirror::No));
    List->Add(*GlyphFromArt(HideBrowserArt, TMirror::No));
    List->Add(*GlyphFromArt(WebArt, TMirror::No));
    return List;
}

} // namespace qv
