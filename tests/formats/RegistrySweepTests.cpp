// The damaged-file sweep over every shared corpus file, each loaded by the class
// the registry gives its extension, as the viewer loads it.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/ImageLib.h"
#include "platform/Graphics.h"

using namespace qvtest;
namespace fs = std::filesystem;

TEST(RegistrySweep, EveryCorpusFileCutAndFlippedThroughItsRegisteredClass) {
    QV_REQUIRE_CORPUS();
    qv::InitializeImageLib();
    std::vector<fs::path> Folders;
    for (const auto& Entry : fs::directory_iterator(fs::path(CorpusDir()) / "files"))
        if (Entry.is_directory()) Folders.push_back(Entry.path());
    std::sort(Folders.begin(), Folders.end());
    int Swept = 0;
    for (const fs::path& Folder : Folders) {
        const std::string Format = Folder.filename().string();
        for (const std::string& File : CorpusFiles(Format)) {
            const std::string Name = BaseName(File);
            if (!IsCorpusPicture(Format, Name)) continue;
            SCOPED_TRACE(Format + "/" + Name);
            const qv::TGraphicClass Class = qv::TPicture::FindGraphicClass(qv::ExtractFileExtNoDot(File));
            ASSERT_NE(Class, nullptr) << "no class registered for the extension";
            // The platform's JPEG and icon classes hold no bitmap to compare; their own tests cover them.
            if (!Class->InheritsFrom(qv::TBitmap::StaticClass())) continue;
            SweepDamaged([Class] { return Class->Create(); }, ReadFileBytes(File), Name, 16, 16);
            ++Swept;
        }
    }
    EXPECT_GT(Swept, 300);
}
