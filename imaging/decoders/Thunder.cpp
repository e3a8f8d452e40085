// ThunderScan 4-bit decoder: runs, 2-bit and 3-bit deltas and raw pixels.

#include "imaging/decoders/DecoderBuffers.h"
#include "imaging/decoders/ImageCompression.h"

namespace qv {

using decoders::ClampCount;
using decoders::TInputCursor;

namespace {

constexpr int TwoBitDeltas[4] = {0, 1, 0, -1};            // index 2 skips
constexpr int ThreeBitDeltas[8] = {0, 1, 2, 3, 0, -3, -2, -1}; // index 4 skips

/// Writes the pixels of one row, two per byte with the first in the high nibble; pixels past
/// the row's width or the buffer's end are dropped.
class TNibbleRow {
public:
    TNibbleRow(uint8_t* Row, size_t RowBytes, uint64_t Width) : FRow(Row), FRowBytes(RowBytes), FWidth(Width) {}

    uint64_t Count() const { return FCount; }
    bool Complete() const { return FCount >= FWidth; }
    uint8_t Last() const { return FLast; }

    void Set(uint8_t Pixel) {
        FLast = Pixel & 0x0F;
        if (FCount < FWidth) {
            const uint64_t Byte = FCount >> 1;
            if (Byte < FRowBytes) {
                if ((FCount & 1) == 0)
                    FRow[Byte] = static_cast<uint8_t>(FLast << 4);
                else
                    FRow[Byte] = static_cast<uint8_t>((FRow[Byte] & 0xF0) | FLast);
            }
        }
        ++FCount;
    }

private:
    uint8_t* FRow;
    size_t FRowBytes;
    uint64_t FWidth;
    uint64_t FCount = 0;
    uint8_t FLast = 0;
};

} // namespace

TThunderDecoder::TThunderDecoder(uint32_t Width) : FWidth(Width) {}

void TThunderDecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                             size_t SourceSize, size_t DestSize) {
    TInputCursor Input(Source, ClampCount(PackedSize, SourceSize));
    const size_t OutputSize = ClampCount(UnpackedSize, DestSize);
    const size_t RowBytes = (static_cast<size_t>(FWidth) + 1) / 2;
    if (RowBytes == 0) return;
    for (size_t RowStart = 0; RowStart < OutputSize && !Input.Empty(); RowStart += RowBytes) {
        TNibbleRow Row(Dest + RowStart, std::min(RowBytes, OutputSize - RowStart), FWidth);
        while (!Input.Empty() && !Row.Complete()) {
            const uint8_t Code = Input.Next();
            switch (Code >> 6) {
                case 0: // run of the last pixel
                    for (size_t Index = 0; Index < (Code & 0x3Fu) && !Row.Complete(); ++Index) Row.Set(Row.Last());
                    break;
                case 1: // three 2-bit deltas
                    for (int Shift = 4; Shift >= 0; Shift -= 2) {
                        const int Delta = (Code >> Shift) & 3;
                        if (Delta != 2) Row.Set(static_cast<uint8_t>(Row.Last() + TwoBitDeltas[Delta]));
                    }
                    break;
                case 2: // two 3-bit deltas
                    for (int Shift = 3; Shift >= 0; Shift -= 3) {
                        const int Delta = (Code >> Shift) & 7;
                        if (Delta != 4) Row.Set(static_cast<uint8_t>(Row.Last() + ThreeBitDeltas[Delta]));
                    }
                    break;
                default: // raw pixel
                    Row.Set(Code & 0x0F);
                    break;
            }
        }
    }
}

} // namespace qv
