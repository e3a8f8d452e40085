#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

#include "TestPng.h"
#include "TestSupport.h"
#include "platform/Graphics.h"

using namespace qvtest;
namespace fs = std::filesystem;

namespace {

struct TRun {
    int Status = -1;
    std::string Output;
};

// Runs the tool with Arguments (already quoted) and collects its standard output.
TRun RunCli(const std::string& Arguments) {
    TRun Run;
    const std::string Command = std::string("'") + QV_CLI_PATH + "' " + Arguments + " 2>/dev/null";
    FILE* Pipe = popen(Command.c_str(), "r");
    if (!Pipe) return Run;
    std::array<char, 4096> Buffer;
    size_t Got;
    while ((Got = fread(Buffer.data(), 1, Buffer.size(), Pipe)) > 0) Run.Output.append(Buffer.data(), Got);
    const int Raw = pclose(Pipe);
    Run.Status = WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1;
    return Run;
}

std::string Quote(const std::string& S) { return "'" + S + "'"; }

std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> Result;
    std::istringstream In(Text);
    for (std::string Line; std::getline(In, Line);) Result.push_back(Line);
    return Result;
}

// Reads an 8-bit RGBA PAM file as the tool writes it.
TRgbaImage ReadPam(const std::string& Path) {
    const std::vector<uint8_t> Data = ReadFileBytes(Path);
    const std::string Text(Data.begin(), Data.end());
    const size_t End = Text.find("ENDHDR\n");
    if (End == std::string::npos) throw std::runtime_error("not a PAM file");
    TRgbaImage Image;
    std::istringstream Header(Text.substr(0, End));
    for (std::string Key; Header >> Key;) {
        if (Key == "WIDTH") Header >> Image.Width;
        else if (Key == "HEIGHT") Header >> Image.Height;
        else if (Key == "DEPTH" || Key == "MAXVAL" || Key == "TUPLTYPE") Header >> Key;
    }
    Image.Pixels.assign(Data.begin() + static_cast<ptrdiff_t>(End + 7), Data.end());
    if (Image.Pixels.size() != static_cast<size_t>(Image.Width) * Image.Height * 4)
        throw std::runtime_error("PAM pixel data has the wrong size");
    return Image;
}

} // namespace

TEST(QuorviaCli, FormatsEndWithThePlatformFormats) {
    const TRun Run = RunCli("formats");
    EXPECT_EQ(Run.Status, 0);
    const auto All = Lines(Run.Output);
    ASSERT_GE(All.size(), 6u);
    const char* Expected[] = {"jpg", "jpeg", "bmp", "ico", "emf", "wmf"};
    for (size_t I = 0; I < 6; ++I) {
        const std::string& Line = All[All.size() - 6 + I];
        EXPECT_EQ(Line.substr(0, Line.find(' ')), Expected[I]) << Line;
    }
    EXPECT_NE(All.back().find("Metafiles"), std::string::npos);
}

TEST(QuorviaCli, InfoDescribesEachFileAndReportsFailures) {
    const std::string Dir = TempDir();
    qv::TBitmap Bitmap;
    Bitmap.SetPixelFormat(qv::pf8bit);
    Bitmap.SetSize(7, 3);
    Bitmap.SaveToFile(Dir + "/small.bmp");
    WriteFileBytes(Dir + "/broken.bmp", {'B', 'M', 1, 2, 3});

    TRun Run = RunCli("info " + Quote(Dir + "/small.bmp"));
    EXPECT_EQ(Run.Status, 0);
    EXPECT_TRUE(std::regex_match(Run.Output, std::regex(R"(small\.bmp 7\*3\*8bit \(loaded in \d+ms\)\n)"))) << Run.Output;

    Run = RunCli("info " + Quote(Dir + "/broken.bmp") + " " + Quote(Dir + "/small.bmp"));
    EXPECT_NE(Run.Status, 0);
    const auto Out = Lines(Run.Output);
    ASSERT_EQ(Out.size(), 2u);
    EXPECT_EQ(Out[0], "broken.bmp: error: Stream read error");
    EXPECT_EQ(Out[1].rfind("small.bmp 7*3*8bit", 0), 0u);
}

TEST(QuorviaCli, VerboseInfoListsTheReadersImageProperties) {
    const std::string Dir = TempDir();
    const std::string Pgm = "P5 3 2 255\n\x01\x02\x03\x04\x05\x06";
    WriteFileBytes(Dir + "/grey.pgm", std::vector<uint8_t>(Pgm.begin(), Pgm.end()));
    WriteFileBytes(Dir + "/short.pgm", {'P', '5', ' ', '3'});

    TRun Run = RunCli("info --verbose " + Quote(Dir + "/grey.pgm"));
    EXPECT_EQ(Run.Status, 0);
    const auto Out = Lines(Run.Output);
    ASSERT_GE(Out.size(), 6u) << Run.Output;
    EXPECT_EQ(Out[0].rfind("grey.pgm 3*2*8bit (loaded in ", 0), 0u);
    for (const char* Expected : {"  format: Portable gray map images", "  width: 3", "  height: 2",
                                 "  bits per sample: 8", "  samples per pixel: 1", "  compression: none"})
        EXPECT_NE(std::find(Out.begin(), Out.end(), Expected), Out.end()) << Expected << " in\n" << Run.Output;

    // Errors keep their one line and the failing status.
    Run = RunCli("info --verbose " + Quote(Dir + "/short.pgm"));
    EXPECT_NE(Run.Status, 0);
    EXPECT_EQ(Lines(Run.Output).size(), 1u);
    EXPECT_EQ(Run.Output.rfind("short.pgm: error: ", 0), 0u) << Run.Output;
}

TEST(QuorviaCli, AnythingElseGetsTheUsage) {
    EXPECT_EQ(RunCli("").Status, 2);
    EXPECT_EQ(RunCli("info").Status, 2);
    EXPECT_EQ(RunCli("info --verbose").Status, 2);
    EXPECT_EQ(RunCli("convert a.bmp").Status, 2);
    EXPECT_EQ(RunCli("frobnicate").Status, 2);
}

TEST(QuorviaCli, ConvertWritesBitmaps) {
    const std::string Dir = TempDir();
    qv::TBitmap Bitmap;
    Bitmap.SetPixelFormat(qv::pf24bit);
    Bitmap.SetSize(5, 4);
    Bitmap.ScanLine(1)[3 * 2 + 2] = 200; // red at (2, 1)
    Bitmap.SaveToFile(Dir + "/in.bmp");
    ASSERT_EQ(RunCli("convert " + Quote(Dir + "/in.bmp") + " " + Quote(Dir + "/out.bmp")).Status, 0);
    qv::TBitmap Copy;
    Copy.LoadFromFile(Dir + "/out.bmp");
    EXPECT_EQ(Copy.PixelFormat(), qv::pf24bit);
    EXPECT_EQ(Copy.PixelBGRA(2, 1), 0xFFC80000u);
    ASSERT_EQ(RunCli("convert " + Quote(Dir + "/in.bmp") + " " + Quote(Dir + "/out.pam")).Status, 0);
    const TRgbaImage Pam = ReadPam(Dir + "/out.pam");
    EXPECT_EQ(Pam.Width, 5);
    EXPECT_EQ(Pam.At(2, 1)[0], 200);
    EXPECT_EQ(Pam.At(2, 1)[3], 255);
    EXPECT_NE(RunCli("convert " + Quote(Dir + "/in.bmp") + " " + Quote(Dir + "/out.xyz")).Status, 0);
}

TEST(QuorviaCli, ConvertWritesTargaThatReadsBackAsTheSource) {
    const std::string Dir = TempDir();
    for (const qv::TPixelFormat Format : {qv::pf8bit, qv::pf24bit}) {
        SCOPED_TRACE(qv::PixelFormatBits(Format));
        qv::TBitmap Bitmap;
        Bitmap.SetPixelFormat(Format);
        Bitmap.SetSize(70, 3);
        for (int Y = 0; Y < 3; ++Y)
            for (int X = 0; X < Bitmap.RowBytes(); ++X) Bitmap.ScanLine(Y)[X] = static_cast<uint8_t>(X < 40 ? Y : X * 7);
        Bitmap.SaveToFile(Dir + "/in.bmp");
        ASSERT_EQ(RunCli("convert " + Quote(Dir + "/in.bmp") + " " + Quote(Dir + "/out.tga")).Status, 0);
        const std::vector<uint8_t> Targa = ReadFileBytes(Dir + "/out.tga");
        ASSERT_GE(Targa.size(), 18u);
        EXPECT_EQ(Targa[2], Format == qv::pf8bit ? 9 : 10); // run-length encoded
        ASSERT_EQ(RunCli("convert " + Quote(Dir + "/out.tga") + " " + Quote(Dir + "/back.pam")).Status, 0);
        ASSERT_EQ(RunCli("convert " + Quote(Dir + "/in.bmp") + " " + Quote(Dir + "/in.pam")).Status, 0);
        EXPECT_EQ(ReadPam(Dir + "/back.pam").Pixels, ReadPam(Dir + "/in.pam").Pixels);
    }
}

TEST(QuorviaCliCorpus, ConvertedPlatformFormatsMatchReferences) {
    QV_REQUIRE_CORPUS();
    const std::string Dir = TempDir();
    int Compared = 0;
    for (const char* Format : {"bmp", "ico", "jpeg"}) {
        for (const auto& Entry : fs::directory_iterator(fs::path(CorpusDir()) / "files" / Format)) {
            const std::string Name = Entry.path().filename().string();
            SCOPED_TRACE(Name);
            const std::string Out = Dir + "/" + Name + ".pam";
            ASSERT_EQ(RunCli("convert " + Quote(Entry.path().string()) + " " + Quote(Out)).Status, 0);
            const TRgbaImage Got = ReadPam(Out);
            const TRgbaImage Reference = ReadPng((fs::path(CorpusDir()) / "ref" / Format / (Name + ".png")).string());
            // Icon references show the first entry, the tool the largest one;
            // they are compared where the two are the same.
            if (std::string(Format) == "ico" && (Got.Width != Reference.Width || Got.Height != Reference.Height)) continue;
            ASSERT_EQ(Got.Width, Reference.Width);
            ASSERT_EQ(Got.Height, Reference.Height);
            // A reference with alpha 0 everywhere took a padding byte for alpha (rgb32bf.bmp).
            bool ReferenceAlpha = false;
            for (size_t I = 3; I < Reference.Pixels.size(); I += 4) ReferenceAlpha |= Reference.Pixels[I] != 0;
            // JPEG decoders round differently; 5- and 6-bit samples of the 16-bit
            // bitmap widen by bit replication here and by truncation in its reference.
            const int Tolerance = std::string(Format) == "jpeg" || Name == "rgb16-565.bmp" ? 1 : 0;
            int Worst = 0;
            for (size_t I = 0; I < Got.Pixels.size(); ++I) {
                if (I % 4 == 3 && !ReferenceAlpha) continue;
                Worst = std::max(Worst, std::abs(int(Got.Pixels[I]) - int(Reference.Pixels[I])));
            }
            EXPECT_LE(Worst, Tolerance);
            ++Compared;
        }
    }
    EXPECT_GE(Compared, 25);
}
