// qv_fuzz_seeds OUTDIR [KIND...]: writes the seeds of every kind (or the
// kinds named) to OUTDIR/<kind>/<name>; --list prints the kinds.

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/seeds/FuzzSeeds.h"

int main(int Argc, char** Argv) {
    if (Argc >= 2 && std::strcmp(Argv[1], "--list") == 0) {
        for (const qvfuzz::TSeedKind& Kind : qvfuzz::SeedKinds()) std::printf("%s\n", Kind.Name);
        return 0;
    }
    if (Argc < 2) {
        std::fprintf(stderr, "usage: qv_fuzz_seeds OUTDIR [KIND...] | --list\n");
        return 2;
    }
    try {
        const std::filesystem::path Root = Argv[1];
        for (const qvfuzz::TSeedKind& Kind : qvfuzz::SeedKinds()) {
            bool Wanted = Argc == 2;
            for (int Index = 2; Index < Argc; ++Index) Wanted = Wanted || Kind.Name == std::string(Argv[Index]);
            if (!Wanted) continue;
            const std::filesystem::path Folder = Root / Kind.Name;
            std::filesystem::create_directories(Folder);
            for (const qvfuzz::TSeed& Seed : Kind.Make()) {
                std::ofstream Out(Folder / Seed.Name, std::ios::binary);
                Out.write(reinterpret_cast<const char*>(Seed.Bytes.data()), static_cast<std::streamsize>(Seed.Bytes.size()));
                if (!Out) throw std::runtime_error("cannot write " + (Folder / Seed.Name).string());
                std::printf("%s\n", (Folder / Seed.Name).c_str());
            }
        }
    } catch (const std::exception& Error) {
        std::fprintf(stderr, "qv_fuzz_seeds: %s\n", Error.what());
        return 1;
    }
    return 0;
}
