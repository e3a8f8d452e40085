#pragma once
// Portable bit, gray and pixel maps, in their text (P1, P2, P3) and binary
// (P4, P5, P6) forms.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "imaging/ImageLib.h"

namespace qv {

/// Reads portable maps: bitmaps to 1 bit with a white/black palette, gray maps to
/// 8 bits with a gray palette, pixel maps to 24 bits. Samples are scaled from the
/// file's maximum value to 0..255; maximum values above 255 take two bytes per
/// sample in the binary forms.
class TPPMGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TPPMGraphic)
public:
    /// True when more than 10 bytes remain and they start with "P1" to "P6".
    bool CanLoadStream(TStream& Stream) const override;
    /// Reads the magic and the header numbers; false for data that does not start
    /// with "P", a type digit other than 1 to 6, or a maximum value of 0 or above 65535.
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    void LoadFromStream(TStream& Stream) override;

private:
    static constexpr size_t BufferSize = 4096;

    /// The header: type digit and maximum value (1 for bitmaps).
    struct THeader {
        int Type = 0;
        uint32_t Width = 0;
        uint32_t Height = 0;
        uint32_t MaxValue = 1;
    };

    void ResetBuffer(TStream& Stream);
    /// Reads the next block; false at the true end of the stream.
    bool Refill();
    /// Bytes the buffer and the stream still hold.
    uint64_t BytesLeft() const;
    /// The next byte; raises "Stream read error in PPM file." at the end.
    uint8_t GetChar();
    /// Skips a comment up to and including its line end (LF, CR or CR LF).
    void SkipComment();
    /// Skips non-digits (and comments), then reads a decimal number that ends at
    /// its first non-digit (consumed) or at the end of the data; saturates.
    uint32_t ReadNumber();
    /// The next '0' or '1' of a plain bitmap, skipping blanks and comments.
    uint8_t ReadBit();
    /// Reads exactly Count bytes of binary data.
    void ReadBlock(uint8_t* Dest, size_t Count);
    /// Parses the header from the stream's position; false when it is not a portable map.
    bool ReadHeader(TStream& Stream, THeader& Header);

    void ReadTextRow(const THeader& Header, std::span<uint8_t> Row, const std::vector<uint8_t>& Scale);
    void ReadBinaryRow(const THeader& Header, std::span<uint8_t> Row, std::vector<uint8_t>& Raw,
                       const std::vector<uint8_t>& Scale);

    std::array<uint8_t, BufferSize> FBuffer{};
    size_t FIndex = 0;
    size_t FCount = 0;
    TStream* FSource = nullptr;
};

} // namespace qv
