#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "platform/Exceptions.h"
#include "platform/System.h"

using namespace qv;

TEST(System, MulDivRoundsToNearestWith64BitProduct) {
    EXPECT_EQ(MulDiv(1, 100, 3), 33);
    EXPECT_EQ(MulDiv(2, 100, 3), 67);
    EXPECT_EQ(MulDiv(1, 1, 2), 1);
    EXPECT_EQ(MulDiv(-1, 1, 2), -1);
    EXPECT_EQ(MulDiv(100000, 100000, 100000), 100000);
    EXPECT_EQ(MulDiv(5, 7, 0), -1);
    EXPECT_EQ(MulDiv(0x7FFFFFFF, 2, 1), -1);
}

TEST(System, FormatAndFileNames) {
    EXPECT_EQ(Format("%s %d*%d*%dbit (loaded in %dms)", "cat.png", 640, 480, 24, 31),
              "cat.png 640*480*24bit (loaded in 31ms)");
    EXPECT_EQ(ExtractFileName("/a/b/c.TIF"), "c.TIF");
    EXPECT_EQ(ExtractFileExt("/a/b.d/c"), "");
    EXPECT_EQ(ExtractFileExt("/a/b/c.TIF"), ".TIF");
    EXPECT_EQ(ExtractFilePath("/a/b/c"), "/a/b/");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/a"), "/a/");
    EXPECT_EQ(StrToInt("-42"), -42);
    EXPECT_THROW(StrToInt("4x"), EConvertError);
    EXPECT_THROW(StrToInt(""), EConvertError);
    EXPECT_THROW(StrToInt("99999999999"), EConvertError);
}

TEST(System, FolderSearchHonoursAttributeMask) {
    const std::string Dir = qvtest::TempDir();
    for (const char* Name : {"a.bmp", "b", ".hidden.png"}) std::ofstream(Dir + "/" + Name) << "x";
    std::filesystem::create_directory(Dir + "/sub.dir");

    auto Names = [&](int32_t Attr) {
        std::vector<std::string> Found;
        TFolderSearch Search;
        TSearchRec Rec;
        if (Search.FindFirst(Dir + "/*.*", Attr, Rec)) {
            do Found.push_back(Rec.Name);
            while (Search.FindNext(Rec));
        }
        std::sort(Found.begin(), Found.end());
        return Found;
    };
    EXPECT_EQ(Names(faReadOnly | faArchive), (std::vector<std::string>{"a.bmp", "b"}));
    EXPECT_EQ(Names(faAnyFile), (std::vector<std::string>{".hidden.png", "a.bmp", "b", "sub.dir"}));

    TFolderSearch Missing;
    TSearchRec Rec;
    EXPECT_FALSE(Missing.FindFirst(Dir + "/nowhere/*.*", faAnyFile, Rec));
}

TEST(System, RandomStaysInRangeAndRepeatsFromASeed) {
    RandSeed = 12345;
    std::vector<int> First;
    for (int I = 0; I < 100; ++I) {
        First.push_back(Random(10));
        EXPECT_GE(First.back(), 0);
        EXPECT_LT(First.back(), 10);
    }
    RandSeed = 12345;
    for (int I = 0; I < 100; ++I) EXPECT_EQ(Random(10), First[static_cast<size_t>(I)]);
}

TEST(System, ChangeFileExtKeepsFolderAndName) {
    EXPECT_EQ(ChangeFileExt("/pics/PIC.CUT", ".PAL"), "/pics/PIC.PAL");
    EXPECT_EQ(ChangeFileExt("/a.b/c", ".pal"), "/a.b/c.pal");
    EXPECT_EQ(ChangeFileExt("x.tar.gz", ""), "x.tar");
}

TEST(System, TextToFloatUsesDotWhateverTheLocale) {
    struct TCase {
        const char* Text;
        bool Valid;
        double Value;
    };
    const TCase Cases[] = {
        {" 1.0", true, 1.0},  {"2.2  ", true, 2.2}, {"+0.5", true, 0.5}, {"-3e2", true, -300},
        {"0.0", true, 0.0},   {"", false, 0},       {"  ", false, 0},    {"1,5", false, 0},
        {"2.2x", false, 0},   {"+-1", false, 0},    {"1e999", false, 0},
    };
    // A desktop whose decimal separator is a comma must not change what the text says.
    const char* Saved = std::setlocale(LC_NUMERIC, nullptr);
    const std::string Previous = Saved ? Saved : "C";
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    for (const TCase& Case : Cases) {
        double Value = -1;
        EXPECT_EQ(TryTextToFloat(Case.Text, Value), Case.Valid) << Case.Text;
        if (Case.Valid) {
            EXPECT_DOUBLE_EQ(Value, Case.Value) << Case.Text;
        }
    }
    double Value = 0;
    EXPECT_TRUE(TryTextToFloat("inf", Value));
    EXPECT_TRUE(std::isinf(Value));
    std::setlocale(LC_NUMERIC, Previous.c_str());
}
