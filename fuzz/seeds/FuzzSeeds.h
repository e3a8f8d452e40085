#pragma once
// Seeds for the paths that random bytes rarely reach: valid inputs built in
// code, grouped in kinds; scripts/fuzz hands each target the kinds listed for it.

#include <cstdint>
#include <string>
#include <vector>

namespace qvfuzz {

struct TSeed {
    std::string Name;
    std::vector<uint8_t> Bytes;
};

struct TSeedKind {
    const char* Name;
    std::vector<TSeed> (*Make)();
};

/// Every kind, by the name scripts/fuzz uses.
const std::vector<TSeedKind>& SeedKinds();

/// FuzzDecoders inputs holding one JPEG strip (libjpeg, YCbCr sampled 2 x 2) of the size the
/// target's TIFF properties expect, baseline, progressive and with restart markers.
std::vector<TSeed> TIFFJPEGSeeds();
/// FuzzDecoders inputs for both Photo-CD entry points: one Huffman table, a row marker and
/// one code per pixel for every luma row (some with chroma rows and stray bits), then the end marker.
std::vector<TSeed> PhotoCDSeeds();
/// MQD documents of several layers: every blend mode over a base, opacities, offsets partly
/// outside the document, both layer flags.
std::vector<TSeed> LayeredDocumentSeeds();
/// Icon files whose entries are PNG streams (grey, palette, RGB, RGBA, and 256 x 256), one
/// beside a bitmap entry.
std::vector<TSeed> PNGIconSeeds();

} // namespace qvfuzz
