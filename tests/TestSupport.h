#pragma once
// Helpers shared by the test programs: where the shared corpus and the
// project's own test data live, and small file utilities.

#include <cstdint>
#include <string>
#include <vector>

namespace qvtest {

/// Folder of the shared corpus ("<shared>/corpus"); empty when it is absent.
std::string CorpusDir();
/// Folder of the project's own test data (tests/data).
std::string TestDataDir();
/// Folder of the bundled samples.
std::string SamplesDir();
std::vector<uint8_t> ReadFileBytes(const std::string& Path);
void WriteFileBytes(const std::string& Path, const std::vector<uint8_t>& Data);
/// A fresh temporary folder for one test; removed at process exit.
std::string TempDir();

} // namespace qvtest

/// Skips the current test when the shared corpus is absent.
#define QV_REQUIRE_CORPUS()                                              \
    do {                                                                 \
        if (::qvtest::CorpusDir().empty()) GTEST_SKIP() << "shared corpus not present"; \
    } while (0)
