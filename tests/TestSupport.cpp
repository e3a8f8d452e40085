#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace qvtest {

std::string CorpusDir() {
    const char* Env = std::getenv("QV_CORPUS_DIR");
    fs::path Dir = Env ? fs::path(Env) : fs::path(QV_SHARED_DIR) / "corpus";
    return fs::is_directory(Dir / "files") ? Dir.string() : std::string();
}

std::string TestDataDir() { return (fs::path(QV_SOURCE_DIR) / "tests" / "data").string(); }

std::string SamplesDir() { return (fs::path(QV_SOURCE_DIR) / "samples").string(); }

std::vector<uint8_t> ReadFileBytes(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    if (!In) throw std::runtime_error("cannot open " + Path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& Path, const std::vector<uint8_t>& Data) {
    std::ofstream Out(Path, std::ios::binary);
    Out.write(reinterpret_cast<const char*>(Data.data()), static_cast<std::streamsize>(Data.size()));
    if (!Out) throw std::runtime_error("cannot write " + Path);
}

namespace {
struct TTempRoot {
    fs::path Path;
    TTempRoot() {
        Path = fs::temp_directory_path() / ("quorvia-tests-" + std::to_string(::getpid()));
        fs::create_directories(Path);
    }
    ~TTempRoot() {
        std::error_code Ignored;
        fs::remove_all(Path, Ignored);
    }
};
} // namespace

std::string TempDir() {
    static TTempRoot Root;
    static int Counter = 0;
    fs::path Dir = Root.Path / std::to_string(++Counter);
    fs::create_directories(Dir);
    return Dir.string();
}

} // namespace qvtest
