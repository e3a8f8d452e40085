#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/formats/CUT.h"
#include "platform/Exceptions.h"
#include "platform/System.h"

using namespace qvtest;

namespace {

/// A 3 x 1 picture: one literal run of indices 0, 1, 2 (the row's byte count is skipped).
const std::vector<uint8_t> ThreePixels = {
    3, 0, 1, 0, // width 3, height 1
    0, 0,       // reserved
    5, 0,       // the row's byte count
    3, 0, 1, 2, // literal run of three
    0           // end of row
};

/// A palette file whose entry i holds (Value(i), i, 0) as 16-bit components,
/// laid out in 512-byte blocks as the format keeps them.
template <typename TValue>
std::vector<uint8_t> PaletteFile(uint16_t Highest, int Entries, TValue Value) {
    std::vector<uint8_t> File(512, 0);
    File[12] = static_cast<uint8_t>(Highest);
    File[13] = static_cast<uint8_t>(Highest >> 8);
    size_t Offset = 40;
    for (int I = 0; I < Entries; ++I) {
        if (Offset > 506) {
            Offset = 0;
            File.resize(File.size() + 512, 0);
        }
        const size_t At = File.size() - 512 + Offset;
        const uint16_t Components[3] = {static_cast<uint16_t>(Value(I)), static_cast<uint16_t>(I), 0};
        for (int C = 0; C < 3; ++C) {
            File[At + 2 * C] = static_cast<uint8_t>(Components[C]);
            File[At + 2 * C + 1] = static_cast<uint8_t>(Components[C] >> 8);
        }
        Offset += 6;
    }
    return File;
}

/// Writes picture and palette into a fresh folder and loads the picture by file name.
TRgbaImage LoadWithPalette(const std::string& CutName, const std::string& PalName, const std::vector<uint8_t>& Palette,
                           const std::vector<uint8_t>& Picture = ThreePixels) {
    const std::string Dir = TempDir();
    WriteFileBytes(Dir + "/" + CutName, Picture);
    if (!PalName.empty()) WriteFileBytes(Dir + "/" + PalName, Palette);
    qv::TCUTGraphic Reader;
    Reader.LoadFromFile(Dir + "/" + CutName);
    return BitmapToRgba(Reader);
}

std::array<int, 3> Rgb(const TRgbaImage& Image, int X) { return {Image.At(X, 0)[0], Image.At(X, 0)[1], Image.At(X, 0)[2]}; }

} // namespace

TEST(CUT, CorpusMatchesReferences) {
    QV_REQUIRE_CORPUS();
    const auto Files = CorpusFiles("cut");
    int Pictures = 0;
    for (const std::string& File : Files) {
        if (qv::LowerCase(qv::ExtractFileExt(File)) != ".cut") continue;
        SCOPED_TRACE(BaseName(File));
        ++Pictures;
        qv::TCUTGraphic Reader;
        Reader.LoadFromFile(File);
        EXPECT_TRUE(SameRgba(BitmapToRgba(Reader), ReadPng(ReferenceFor(File)), 0, TAlphaCheck::Compare));
        SweepDamaged(ReaderOf<qv::TCUTGraphic>(), ReadFileBytes(File), BaseName(File));
    }
    EXPECT_EQ(Pictures, 3);
}

TEST(CUT, PaletteFileInEveryLetterCase) {
    const std::vector<uint8_t> Palette = PaletteFile(2, 3, [](int I) { return 100 + I; });
    struct TCase {
        const char* Picture;
        const char* Palette; // "" for none
    };
    const TCase Cases[] = {
        {"PIC.CUT", "PIC.PAL"}, {"pic.cut", "pic.pal"}, {"Pic.Cut", "Pic.Pal"},
        {"pic.CUT", "pic.pal"}, {"PIC.cut", "PIC.PAL"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Picture);
        EXPECT_EQ(Rgb(LoadWithPalette(Case.Picture, Case.Palette, Palette), 2), (std::array<int, 3>{102, 2, 0}));
    }
    // Without a palette file the indices are gray levels.
    EXPECT_EQ(Rgb(LoadWithPalette("none.cut", "", {}), 2), (std::array<int, 3>{2, 2, 2}));
}

TEST(CUT, PaletteBlocksAndCounts) {
    // 256 entries span four blocks: 78 in the first, 85 in each further one.
    const TRgbaImage Full =
        LoadWithPalette("full.cut", "full.pal", PaletteFile(255, 256, [](int I) { return 255 - I; }),
                        {3, 0, 1, 0, 0, 0, 5, 0, 3, 77, 78, 255, 0});
    EXPECT_EQ(Rgb(Full, 0), (std::array<int, 3>{178, 77, 0}));
    EXPECT_EQ(Rgb(Full, 1), (std::array<int, 3>{177, 78, 0}));
    EXPECT_EQ(Rgb(Full, 2), (std::array<int, 3>{0, 255, 0}));
    // A highest index of 0xFFFF still gives 256 entries; values keep their low byte (512 -> 0).
    const TRgbaImage Wide = LoadWithPalette("wide.cut", "wide.pal", PaletteFile(0xFFFF, 256, [](int I) { return 512 + I; }));
    EXPECT_EQ(Rgb(Wide, 0), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(Rgb(Wide, 2), (std::array<int, 3>{2, 2, 0}));
    // A palette file cut inside a needed block fails the load.
    std::vector<uint8_t> Short = PaletteFile(255, 256, [](int I) { return I; });
    Short.resize(1000);
    EXPECT_THROW(LoadWithPalette("short.cut", "short.pal", Short), qv::EReadError);
}

TEST(CUT, StreamLoadsAndShortFiles) {
    const std::string Dir = TempDir();
    WriteFileBytes(Dir + "/a.cut", ThreePixels);
    WriteFileBytes(Dir + "/a.pal", PaletteFile(2, 3, [](int) { return 200; }));
    qv::TCUTGraphic Reader;
    Reader.LoadFromFile(Dir + "/a.cut");
    EXPECT_EQ(Rgb(BitmapToRgba(Reader), 1), (std::array<int, 3>{200, 1, 0}));
    // A later stream load does not keep the earlier file's colours.
    LoadInto(Reader, ThreePixels);
    EXPECT_EQ(Rgb(BitmapToRgba(Reader), 1), (std::array<int, 3>{1, 1, 1}));
    Reader.SetPaletteFile(Dir + "/a.pal");
    LoadInto(Reader, ThreePixels);
    EXPECT_EQ(Rgb(BitmapToRgba(Reader), 1), (std::array<int, 3>{200, 1, 0}));

    for (size_t Size = 0; Size < 6; ++Size) {
        SCOPED_TRACE(Size);
        EXPECT_THROW(LoadAsRgba(ReaderOf<qv::TCUTGraphic>(), std::vector<uint8_t>(ThreePixels.begin(), ThreePixels.begin() + Size)),
                     qv::EReadError);
    }
    // 65535 x 65535 from a few bytes: refused before the bitmap is made.
    EXPECT_THROW(LoadAsRgba(ReaderOf<qv::TCUTGraphic>(), {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0x81, 7, 0}),
                 qv::EReadError);
}
