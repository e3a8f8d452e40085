// Runs a fuzz target's LLVMFuzzerTestOneInput, outside libFuzzer, on every
// file under the folders named on the command line (missing folders are
// empty). The suite replays the inputs each fuzzer once failed on, and the
// bundled samples, so a fault a fuzzer found stays mended in every build.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* Argc, char*** Argv);

namespace {

std::vector<std::filesystem::path> FilesUnder(const std::filesystem::path& Folder) {
    std::vector<std::filesystem::path> Files;
    std::error_code Error;
    if (!std::filesystem::is_directory(Folder, Error)) return Files;
    for (const auto& Entry : std::filesystem::recursive_directory_iterator(Folder))
        if (Entry.is_regular_file()) Files.push_back(Entry.path());
    std::sort(Files.begin(), Files.end());
    return Files;
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& File) {
    std::ifstream In(File, std::ios::binary);
    if (!In) throw std::runtime_error("cannot read " + File.string());
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

} // namespace

int main(int Argc, char** Argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&Argc, &Argv);
    int Replayed = 0, Failed = 0;
    for (int Index = 1; Index < Argc; ++Index) {
        for (const auto& File : FilesUnder(Argv[Index])) {
            // Named first, so that a crash inside the target shows which input caused it.
            std::printf("replay %s\n", File.c_str());
            std::fflush(stdout);
            try {
                const std::vector<uint8_t> Bytes = ReadFile(File);
                // An empty vector's data() may be null; libFuzzer never passes null.
                const uint8_t Empty = 0;
                LLVMFuzzerTestOneInput(Bytes.empty() ? &Empty : Bytes.data(), Bytes.size());
            } catch (const std::exception& Error) {
                std::printf("FAILED %s: uncaught exception: %s\n", File.c_str(), Error.what());
                ++Failed;
            }
            ++Replayed;
        }
    }
    std::printf("%d inputs replayed, %d failed\n", Replayed, Failed);
    return Failed == 0 ? 0 : 1;
}
