// Load throughput of the Photoshop and Paintshop Pro readers on generated
// files: a 4000 x 3000 PackBits RGB Photoshop file beside stb_image decoding
// the same file to 8-bit RGB, and 24-bit Paintshop Pro files with deflate and
// run-length channels. Items/s are pixels; bytes/s the file size.

#include <benchmark/benchmark.h>

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <vector>

#include <stb/stb_image.h>

#include "imaging/formats/PSD.h"
#include "imaging/formats/PSP.h"
#include "platform/Streams.h"

using namespace qv;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t PSDWidth = 4000;
constexpr uint32_t PSDHeight = 3000;
constexpr uint32_t PSPWidth = 2000;
constexpr uint32_t PSPHeight = 1500;

/// One channel of a photo-like picture: smooth gradients, flat bands and a little noise.
Bytes MakePlane(uint32_t Width, uint32_t Height, int Channel) {
    Bytes Plane(size_t{Width} * Height);
    uint32_t Seed = 12345u + static_cast<uint32_t>(Channel);
    for (uint32_t Y = 0; Y < Height; ++Y)
        for (uint32_t X = 0; X < Width; ++X) {
            Seed = Seed * 1103515245u + 12345u;
            const int Noise = (X / 64 + Y / 64) % 3 == 0 ? 0 : static_cast<int>(Seed >> 29) - 4;
            const int Base = Channel == 0 ? int(X * 255 / Width) : Channel == 1 ? int(Y * 255 / Height)
                                                                                : int((X + Y) / 8 % 64) * 4;
            Plane[size_t{Y} * Width + X] = static_cast<uint8_t>(std::clamp(Base + Noise, 0, 255));
        }
    return Plane;
}

/// PackBits: runs of three or more equal bytes, literals of up to 128 bytes between them.
Bytes PackBits(const uint8_t* Row, size_t Size) {
    Bytes Out;
    size_t I = 0;
    while (I < Size) {
        size_t Run = 1;
        while (I + Run < Size && Run < 128 && Row[I + Run] == Row[I]) ++Run;
        if (Run >= 3) {
            Out.push_back(static_cast<uint8_t>(1 - int(Run)));
            Out.push_back(Row[I]);
            I += Run;
            continue;
        }
        size_t End = I;
        while (End < Size && End - I < 128 && !(End + 2 < Size && Row[End] == Row[End + 1] && Row[End] == Row[End + 2]))
            ++End;
        Out.push_back(static_cast<uint8_t>(End - I - 1));
        Out.insert(Out.end(), Row + I, Row + End);
        I = End;
    }
    return Out;
}

void PutBE(Bytes& B, uint32_t V, int Size) {
    for (int K = Size - 1; K >= 0; --K) B.push_back(static_cast<uint8_t>(V >> (8 * K)));
}
void PutLE(Bytes& B, uint64_t V, int Size) {
    for (int K = 0; K < Size; ++K) B.push_back(static_cast<uint8_t>(V >> (8 * K)));
}

const Bytes& PSDFile() {
    static const Bytes Data = [] {
        Bytes B = {'8', 'B', 'P', 'S'};
        PutBE(B, 1, 2);
        B.insert(B.end(), 6, 0);
        PutBE(B, 3, 2);
        PutBE(B, PSDHeight, 4);
        PutBE(B, PSDWidth, 4);
        PutBE(B, 8, 2);
        PutBE(B, 3, 2); // RGB
        PutBE(B, 0, 4); // colour mode data, resources, layers
        PutBE(B, 0, 4);
        PutBE(B, 0, 4);
        PutBE(B, 1, 2); // PackBits
        std::vector<Bytes> Rows;
        for (int C = 0; C < 3; ++C) {
            const Bytes Plane = MakePlane(PSDWidth, PSDHeight, C);
            for (uint32_t Y = 0; Y < PSDHeight; ++Y) Rows.push_back(PackBits(&Plane[size_t{Y} * PSDWidth], PSDWidth));
        }
        for (const Bytes& Row : Rows) PutBE(B, static_cast<uint32_t>(Row.size()), 2);
        for (const Bytes& Row : Rows) B.insert(B.end(), Row.begin(), Row.end());
        return B;
    }();
    return Data;
}

/// A major version 5 file with one raster layer of three channels, compressed by Compress.
Bytes PSPFile(uint16_t Compression, Bytes (*Compress)(const Bytes&)) {
    auto Block = [](Bytes& Into, uint16_t Id, const Bytes& Content) {
        Into.insert(Into.end(), {'~', 'B', 'K', 0});
        PutLE(Into, Id, 2);
        PutLE(Into, Content.size(), 4);
        Into.insert(Into.end(), Content.begin(), Content.end());
    };
    Bytes B(32, 0);
    std::copy_n("Paint Shop Pro Image File\n\x1a", 27, B.begin());
    PutLE(B, 5, 2);
    PutLE(B, 0, 2);
    Bytes Attributes;
    PutLE(Attributes, 46, 4);
    PutLE(Attributes, PSPWidth, 4);
    PutLE(Attributes, PSPHeight, 4);
    PutLE(Attributes, std::bit_cast<uint64_t>(72.0), 8);
    Attributes.push_back(1);
    PutLE(Attributes, Compression, 2);
    PutLE(Attributes, 24, 2);
    PutLE(Attributes, 1, 2);
    PutLE(Attributes, 1u << 24, 4);
    Attributes.push_back(0);
    Attributes.insert(Attributes.end(), 14, 0);
    Block(B, 0, Attributes);
    Bytes Layer;
    PutLE(Layer, 4 + 2 + 115, 4);
    PutLE(Layer, 0, 2);
    Layer.push_back(1); // raster
    Layer.insert(Layer.end(), 114, 0);
    PutLE(Layer, 8, 4);
    PutLE(Layer, 1, 2);
    PutLE(Layer, 3, 2);
    for (uint16_t Type = 1; Type <= 3; ++Type) {
        const Bytes Packed = Compress(MakePlane(PSPWidth, PSPHeight, Type - 1));
        Bytes Channel;
        PutLE(Channel, 16, 4);
        PutLE(Channel, Packed.size(), 4);
        PutLE(Channel, size_t{PSPWidth} * PSPHeight, 4);
        PutLE(Channel, 0, 2);
        PutLE(Channel, Type, 2);
        Channel.insert(Channel.end(), Packed.begin(), Packed.end());
        Block(Layer, 5, Channel);
    }
    Bytes Bank;
    Block(Bank, 4, Layer);
    Block(B, 3, Bank);
    return B;
}

Bytes Deflate(const Bytes& Data) {
    uLongf Size = compressBound(static_cast<uLong>(Data.size()));
    Bytes Out(Size);
    compress(Out.data(), &Size, Data.data(), static_cast<uLong>(Data.size()));
    Out.resize(Size);
    return Out;
}

/// Paintshop Pro runs: 128 + n repeats the next byte n times, n < 128 copies n bytes.
Bytes RunLength(const Bytes& Data) {
    Bytes Out;
    size_t I = 0;
    while (I < Data.size()) {
        size_t Run = 1;
        while (I + Run < Data.size() && Run < 127 && Data[I + Run] == Data[I]) ++Run;
        if (Run >= 3) {
            Out.push_back(static_cast<uint8_t>(128 + Run));
            Out.push_back(Data[I]);
            I += Run;
            continue;
        }
        size_t End = I;
        while (End < Data.size() && End - I < 127 &&
               !(End + 2 < Data.size() && Data[End] == Data[End + 1] && Data[End] == Data[End + 2]))
            ++End;
        Out.push_back(static_cast<uint8_t>(End - I));
        Out.insert(Out.end(), Data.begin() + long(I), Data.begin() + long(End));
        I = End;
    }
    return Out;
}

const Bytes& PSPDeflateFile() {
    static const Bytes Data = PSPFile(2, Deflate);
    return Data;
}
const Bytes& PSPRunLengthFile() {
    static const Bytes Data = PSPFile(1, RunLength);
    return Data;
}

void Report(benchmark::State& State, size_t FileBytes, uint64_t Pixels) {
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(FileBytes));
    State.SetItemsProcessed(static_cast<int64_t>(State.iterations() * Pixels));
}

template <typename TReader, const Bytes& (*MakeFile)()>
void BM_Load(benchmark::State& State) {
    const Bytes& Data = MakeFile();
    TReader Reader;
    for (auto _ : State) {
        TBytesStream Stream(Data.data(), static_cast<int64_t>(Data.size()));
        Reader.LoadFromStream(Stream);
        benchmark::DoNotOptimize(Reader.ScanLine(0));
    }
    Report(State, Data.size(), uint64_t{static_cast<uint32_t>(Reader.Width())} * static_cast<uint32_t>(Reader.Height()));
}
BENCHMARK(BM_Load<TPSDGraphic, PSDFile>)->Name("BM_PSDLoadPackBitsRGB")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load<TPSPGraphic, PSPDeflateFile>)->Name("BM_PSPLoadDeflate24")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load<TPSPGraphic, PSPRunLengthFile>)->Name("BM_PSPLoadRunLength24")->Unit(benchmark::kMillisecond);

// The same Photoshop file through stb_image, to 8-bit RGB.
void BM_PSDStbImage(benchmark::State& State) {
    const Bytes& Data = PSDFile();
    for (auto _ : State) {
        int W = 0, H = 0, Components = 0;
        stbi_uc* Pixels = stbi_load_from_memory(Data.data(), static_cast<int>(Data.size()), &W, &H, &Components, 3);
        if (Pixels == nullptr) {
            State.SkipWithError("stb_image cannot read the file");
            break;
        }
        benchmark::DoNotOptimize(Pixels);
        stbi_image_free(Pixels);
    }
    Report(State, Data.size(), uint64_t{PSDWidth} * PSDHeight);
}
BENCHMARK(BM_PSDStbImage)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
