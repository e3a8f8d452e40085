#include <gtest/gtest.h>

#include <algorithm>
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
