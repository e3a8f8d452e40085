#pragma once
// How FuzzDecoders reads its input: the first byte picks the decoder, the
// second is its parameter, the third the output size in units of 16 bytes;
// the rest is the compressed data. Shared with the seed writer, so that its
// seeds keep matching what the target expects.

#include <cstddef>
#include <cstdint>

#include "imaging/ImageTypes.h"

namespace qvfuzz {

constexpr size_t DecoderHeaderSize = 3;
constexpr size_t OutputUnit = 16;
constexpr int DecoderKinds = 16;

/// Decoder kinds with parameters of their own; the others are listed in FuzzDecoders.cpp.
enum TDecoderKind : uint8_t {
    KindTIFFJPEG = 12,
    KindThunder = 13,
    KindPCDPlanes = 14, ///< TPCDDecoder::DecodePlanes
    KindPCDDecode = 15, ///< TPCDDecoder::Decode, handed a plane record
};

/// The TIFF properties a JPEG strip is checked against: contiguous YCbCr, 8 bits, sampling 2 x 2,
/// one strip of Width = Parameter % 64 + 1 by Height = Parameter / 64 + 8 pixels.
inline void SetTIFFJPEGProperties(uint8_t Parameter, qv::TImageProperties& Properties) {
    Properties.Width = Parameter % 64 + 1;
    Properties.Height = Parameter / 64 + 8;
    Properties.RowsPerStrip = {Properties.Height};
    Properties.PlanarConfig = 1;
    Properties.SamplesPerPixel = 3;
    Properties.BitsPerSample = 8;
    Properties.ColorScheme = qv::TColorScheme::YCbCr;
    Properties.YCbCrSubSampling = {2, 2};
}

/// Photo-CD planes: row stride in pixels and luminance rows; the luma plane has the output
/// size, each chroma plane half of it.
inline int32_t PCDStride(uint8_t Parameter) { return Parameter % 32 + 1; }
inline int32_t PCDRows(uint8_t Parameter) { return Parameter / 32 + 1; }

} // namespace qvfuzz
