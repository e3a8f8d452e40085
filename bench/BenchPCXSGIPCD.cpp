// Load throughput in megapixels per second of the PCX, SGI and Photo-CD readers on generated
// files held in memory: a 4000 x 3000 run-length 24-bit PCX, a run-length RGB SGI of the same
// size, and a Photo-CD base image. Beside them, the parts a load cannot go below: the
// run-length decoding alone and the colour conversion of the rows alone.

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "imaging/ImageColor.h"
#include "imaging/decoders/ImageCompression.h"
#include "imaging/formats/PCD.h"
#include "imaging/formats/PCX.h"
#include "imaging/formats/SGI.h"
#include "platform/Streams.h"

using namespace qv;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t Width = 4000;
constexpr uint32_t Height = 3000;

/// One sample of a photo-like picture: smooth gradients, a band of fine noise and flat areas,
/// so that the run-length schemes meet both runs and busy stretches.
uint8_t Sample(uint32_t X, uint32_t Y, uint32_t Channel, std::mt19937& Random) {
    uint32_t V = (X / (5 + Channel) + Y / 7 + Channel * 40) & 0xFF;
    if ((Y / 200) % 3 == 1) V = (V + Random() % 6) & 0xFF;
    if ((X / 250 + Y / 250) % 5 == 0) V = 30 * Channel + 20;
    return static_cast<uint8_t>(V);
}

/// Planes of one row: red, green, blue, each Width bytes.
const std::vector<Bytes>& RowPlanes() {
    static const std::vector<Bytes> Rows = [] {
        std::vector<Bytes> Result(Height, Bytes(size_t{Width} * 3));
        std::mt19937 Random(7);
        for (uint32_t Y = 0; Y < Height; ++Y)
            for (uint32_t C = 0; C < 3; ++C)
                for (uint32_t X = 0; X < Width; ++X) Result[Y][C * Width + X] = Sample(X, Y, C, Random);
        return Result;
    }();
    return Rows;
}

void Put16LE(Bytes& B, size_t At, uint32_t V) {
    B[At] = static_cast<uint8_t>(V);
    B[At + 1] = static_cast<uint8_t>(V >> 8);
}

void Append32BE(Bytes& B, uint32_t V) {
    for (int Shift = 24; Shift >= 0; Shift -= 8) B.push_back(static_cast<uint8_t>(V >> Shift));
}

const Bytes& PcxFile() {
    static const Bytes File = [] {
        Bytes B(128, 0);
        B[0] = 10;
        B[1] = 5;
        B[2] = 1;
        B[3] = 8;
        Put16LE(B, 8, Width - 1);
        Put16LE(B, 10, Height - 1);
        B[65] = 3;
        Put16LE(B, 66, Width);
        Put16LE(B, 68, 1);
        // Runs of up to 63 bytes; single bytes below 0xC0 are stored as they are.
        for (const Bytes& Row : RowPlanes())
            for (size_t I = 0; I < Row.size();) {
                size_t Run = 1;
                while (I + Run < Row.size() && Run < 63 && Row[I + Run] == Row[I] && (I + Run) % Width != 0) ++Run;
                if (Run > 1 || Row[I] >= 0xC0) B.push_back(static_cast<uint8_t>(0xC0 | Run));
                B.push_back(Row[I]);
                I += Run;
            }
        return B;
    }();
    return File;
}

/// One SGI run-length row: runs of equal samples, literal stretches of up to 127 otherwise.
void PackSgiRow(const uint8_t* Row, size_t Count, Bytes& Out) {
    for (size_t I = 0; I < Count;) {
        size_t Run = 1;
        while (I + Run < Count && Run < 127 && Row[I + Run] == Row[I]) ++Run;
        if (Run >= 3) {
            Out.push_back(static_cast<uint8_t>(Run));
            Out.push_back(Row[I]);
            I += Run;
            continue;
        }
        size_t Literal = 0;
        while (I + Literal < Count && Literal < 127 &&
               !(I + Literal + 2 < Count && Row[I + Literal] == Row[I + Literal + 1] &&
                 Row[I + Literal] == Row[I + Literal + 2]))
            ++Literal;
        Literal = std::max<size_t>(Literal, 1);
        Out.push_back(static_cast<uint8_t>(0x80 | Literal));
        Out.insert(Out.end(), Row + I, Row + I + Literal);
        I += Literal;
    }
    Out.push_back(0);
}

const Bytes& SgiFile() {
    static const Bytes File = [] {
        std::vector<Bytes> Packed(size_t{Height} * 3);
        for (uint32_t Y = 0; Y < Height; ++Y)
            for (uint32_t C = 0; C < 3; ++C)
                PackSgiRow(RowPlanes()[Height - 1 - Y].data() + size_t{C} * Width, Width, Packed[C * Height + Y]);
        Bytes B(512, 0);
        B[0] = 0x01;
        B[1] = 0xDA; // 474
        B[2] = 1;
        B[3] = 1;
        B[5] = 3;
        B[6] = static_cast<uint8_t>(Width >> 8);
        B[7] = static_cast<uint8_t>(Width);
        B[8] = static_cast<uint8_t>(Height >> 8);
        B[9] = static_cast<uint8_t>(Height);
        B[11] = 3;
        uint32_t Offset = 512 + Height * 3 * 8;
        for (const Bytes& Row : Packed) {
            Append32BE(B, Offset);
            Offset += static_cast<uint32_t>(Row.size());
        }
        for (const Bytes& Row : Packed) Append32BE(B, static_cast<uint32_t>(Row.size()));
        for (const Bytes& Row : Packed) B.insert(B.end(), Row.begin(), Row.end());
        return B;
    }();
    return File;
}

const Bytes& PcdFile() {
    static const Bytes File = [] {
        Bytes B(96 * 2048, 0);
        std::memcpy(B.data() + 2048, "PCD_IPI", 7);
        std::mt19937 Random(3);
        for (uint32_t Y = 0; Y < 512; Y += 2) {
            for (uint32_t R = 0; R < 2; ++R)
                for (uint32_t X = 0; X < 768; ++X) B.push_back(Sample(X, Y + R, 0, Random));
            for (uint32_t C = 1; C < 3; ++C)
                for (uint32_t X = 0; X < 384; ++X) B.push_back(static_cast<uint8_t>(100 + Sample(X, Y, C, Random) / 2));
        }
        B.resize(B.size() + 2048, 0);
        return B;
    }();
    return File;
}

template <typename TReader>
void LoadLoop(benchmark::State& State, const Bytes& File, uint64_t Pixels) {
    for (auto _ : State) {
        TBytesStream Stream(File.data(), static_cast<int64_t>(File.size()));
        TReader Reader;
        Reader.LoadFromStream(Stream);
        benchmark::DoNotOptimize(Reader.ScanLine(0));
    }
    State.counters["MP/s"] = benchmark::Counter(static_cast<double>(Pixels) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_PCX_Load_RLE24(benchmark::State& State) {
    LoadLoop<TPCXGraphic>(State, PcxFile(), uint64_t{Width} * Height);
}

void BM_SGI_Load_RLE_RGB(benchmark::State& State) {
    LoadLoop<TSGIGraphic>(State, SgiFile(), uint64_t{Width} * Height);
}

void BM_PCD_Load_Base(benchmark::State& State) {
    LoadLoop<TPCDGraphic>(State, PcdFile(), 768 * 512);
}

/// The PCX pixel area decoded in one piece, without conversion.
void BM_PCX_DecodeOnly(benchmark::State& State) {
    Bytes Packed(PcxFile().begin() + 128, PcxFile().end());
    Bytes Pixels(size_t{Width} * 3 * Height);
    TPCXRLEDecoder Decoder;
    for (auto _ : State) {
        uint8_t* Source = Packed.data();
        uint8_t* Dest = Pixels.data();
        Decoder.Decode(Source, Dest, static_cast<int32_t>(Packed.size()), static_cast<int32_t>(Pixels.size()),
                       Packed.size(), Pixels.size());
        benchmark::DoNotOptimize(Pixels.data());
    }
    State.counters["MP/s"] = benchmark::Counter(double{Width} * Height / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

/// The colour conversion of every row from three planes to blue, green, red: the ceiling of both
/// run-length loads.
void BM_ConvertPlanarRGBToBGR(benchmark::State& State) {
    TColorManager Cm;
    Cm.SetSourceColorScheme(TColorScheme::RGB);
    Cm.SetTargetColorScheme(TColorScheme::BGR);
    Bytes Target(size_t{Width} * 3);
    for (auto _ : State) {
        for (const Bytes& Row : RowPlanes())
            Cm.ConvertLine({Row.data(), Row.data() + Width, Row.data() + 2 * Width}, Target.data(), Width, 0xFF);
        benchmark::DoNotOptimize(Target.data());
    }
    State.counters["MP/s"] = benchmark::Counter(double{Width} * Height / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(BM_PCX_Load_RLE24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SGI_Load_RLE_RGB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PCD_Load_Base)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PCX_DecodeOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertPlanarRGBToBGR)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
