#pragma once
// Helpers of the decoder tests: decoding into guarded buffers, garbage and
// truncation sweeps, and small readers for the corpus pictures (TIFF strips,
// reference PNG pixels) used to check decoders against independent decodes.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "imaging/decoders/ImageCompression.h"

namespace qvtest {

/// Bytes placed behind every output buffer; a decoder that writes past its buffer changes them.
constexpr size_t GuardSize = 64;
constexpr uint8_t GuardByte = 0xA5;

struct TDecodeOutcome {
    std::vector<uint8_t> Output;  ///< the DestSize bytes of the output buffer
    size_t SourceAdvance = 0;     ///< how far Source was moved
    size_t DestAdvance = 0;       ///< how far Dest was moved
    std::vector<uint8_t> Input;   ///< the input buffer afterwards (some decoders change it)
};

/// Decodes Input (an exactly sized heap block, so reads past it are caught by the address
/// sanitizer) into a DestSize-byte buffer pre-filled with Fill and followed by guard bytes.
inline TDecodeOutcome Decode(qv::TDecoder& Decoder, const std::vector<uint8_t>& Input, int32_t PackedSize,
                             int32_t UnpackedSize, size_t DestSize, uint8_t Fill = 0) {
    auto In = std::make_unique<uint8_t[]>(Input.empty() ? 1 : Input.size());
    std::copy(Input.begin(), Input.end(), In.get());
    std::vector<uint8_t> Out(DestSize + GuardSize, GuardByte);
    std::fill(Out.begin(), Out.begin() + static_cast<ptrdiff_t>(DestSize), Fill);
    uint8_t* Source = In.get();
    uint8_t* Dest = Out.data();
    Decoder.Decode(Source, Dest, PackedSize, UnpackedSize, Input.size(), DestSize);
    for (size_t Index = DestSize; Index < Out.size(); ++Index)
        if (Out[Index] != GuardByte) {
            ADD_FAILURE() << "decoder wrote past its output buffer at byte " << Index;
            break;
        }
    TDecodeOutcome Result;
    Result.SourceAdvance = static_cast<size_t>(Source - In.get());
    Result.DestAdvance = static_cast<size_t>(Dest - Out.data());
    Result.Output.assign(Out.begin(), Out.begin() + static_cast<ptrdiff_t>(DestSize));
    Result.Input.assign(In.get(), In.get() + Input.size());
    return Result;
}

/// Feeds a decoder random bytes, every cut of a valid stream and huge counts; the decoder
/// may raise EGraphicCompression (or the exceptions in Allowed) but must stay inside its
/// buffers. Make creates a fresh, initialised decoder.
inline void Sweep(const std::function<std::unique_ptr<qv::TDecoder>()>& Make, const std::vector<uint8_t>& Valid,
                  int32_t UnpackedSize, size_t DestSize, uint32_t Seed = 1) {
    auto Run = [&](const std::vector<uint8_t>& Input, int32_t Packed, int32_t Unpacked, size_t Size) {
        try {
            auto Decoder = Make();
            Decode(*Decoder, Input, Packed, Unpacked, Size);
        } catch (const qv::EGraphicCompression&) {
        } catch (const qv::EReadError&) {
        } catch (const qv::EAbort&) {
        }
    };
    // Every cut of the valid stream (in steps for long streams).
    const size_t Step = std::max<size_t>(1, Valid.size() / 200);
    for (size_t Length = 0; Length <= Valid.size(); Length += Step) {
        std::vector<uint8_t> Cut(Valid.begin(), Valid.begin() + static_cast<ptrdiff_t>(Length));
        Run(Cut, static_cast<int32_t>(Length), UnpackedSize, DestSize);
    }
    // Random bytes and random damage to the valid stream.
    std::mt19937 Random(Seed);
    for (int Round = 0; Round < 200; ++Round) {
        std::vector<uint8_t> Garbage(Random() % 600);
        for (uint8_t& Byte : Garbage) Byte = static_cast<uint8_t>(Random());
        Run(Garbage, static_cast<int32_t>(Garbage.size()), UnpackedSize, DestSize);
        std::vector<uint8_t> Damaged = Valid;
        for (int Hit = 0; Hit < 4 && !Damaged.empty(); ++Hit)
            Damaged[Random() % Damaged.size()] = static_cast<uint8_t>(Random());
        Run(Damaged, static_cast<int32_t>(Damaged.size()), UnpackedSize, DestSize);
    }
    // Counts that claim far more than the buffers hold.
    Run(Valid, INT32_MAX, INT32_MAX, DestSize);
    Run(Valid, INT32_MAX, INT32_MAX, 1);
    Run(Valid, -1, -1, DestSize);
    Run(std::vector<uint8_t>(1000, 0xFF), INT32_MAX, INT32_MAX, DestSize);
    Run(std::vector<uint8_t>(1000, 0x00), INT32_MAX, INT32_MAX, DestSize);
    Run(std::vector<uint8_t>(1000, 0x80), INT32_MAX, INT32_MAX, DestSize);
}

/// One picture of the corpus read with an independent minimal TIFF parser: the raw strips
/// and the tags the decoders need.
struct TTIFFStrips {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t Compression = 0;
    uint32_t Photometric = 0;
    uint32_t FillOrder = 1;
    uint32_t RowsPerStrip = 0;
    uint32_t SamplesPerPixel = 1;
    uint32_t BitsPerSample = 1;
    uint32_t PlanarConfig = 1;
    uint32_t T4Options = 0;
    uint32_t Predictor = 1;
    uint32_t TileWidth = 0; ///< non-zero for tiled pictures (their tiles are not read)
    bool BigEndian = false;
    std::vector<uint32_t> ExtraSamples;
    std::vector<uint32_t> ColorMap; ///< red, green, blue planes of 16-bit values
    std::vector<uint8_t> JPEGTables;
    std::vector<uint8_t> YCbCrSubSampling;
    std::vector<std::vector<uint8_t>> Strips;
};

/// Reads the first image's strips of a TIFF file.
TTIFFStrips ReadTIFFStrips(const std::string& Path);

/// An 8-bit RGBA reference picture.
struct TReferencePicture {
    uint32_t Width = 0;
    uint32_t Height = 0;
    std::vector<uint8_t> RGBA;
};

/// Reads a corpus reference picture as 8-bit RGBA (through the shared test PNG reader).
TReferencePicture ReadReferencePNG(const std::string& Path);

} // namespace qvtest
