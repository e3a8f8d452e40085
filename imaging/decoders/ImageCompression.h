#pragma once
// The decompression schemes the format readers meet, behind one decoder
// interface: run-length, LZW, CCITT fax, deflate, TIFF-JPEG, ThunderScan and
// Photo-CD Huffman residuals.
//
// Every Decode call is given, besides the counts its scheme obeys, the true
// sizes of the buffers behind Source and Dest. No decoder reads more than
// SourceSize bytes at Source or writes more than DestSize bytes at Dest,
// whatever the data claims; runs and strings are cut at those ends.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/ImageTypes.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

namespace qv {

/// Receives the warnings decoders report without failing: a caption ("Warning") and a text.
using TWarningSink = std::function<void(const std::string& Caption, const std::string& Text)>;

/// Replaces the warning sink (the application may show warnings); an empty
/// function restores the default, which writes them to standard error.
void SetWarningSink(TWarningSink Sink);

/// Hands one warning to the current sink. Never throws.
void ShowWarning(const std::string& Caption, const std::string& Text) noexcept;

/// Abstract base of every decoder. Readers create a decoder, call DecodeInit,
/// one or more Decode calls, then DecodeEnd.
class TDecoder {
public:
    TDecoder() = default;
    virtual ~TDecoder() = default;
    TDecoder(const TDecoder&) = delete;
    TDecoder& operator=(const TDecoder&) = delete;

    /// Decodes compressed bytes at Source into Dest. PackedSize and UnpackedSize are the counts
    /// of the scheme (see each class); SourceSize and DestSize are the bytes that may be read at
    /// Source and written at Dest. Decoders that advance Source or Dest say so.
    virtual void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                        size_t SourceSize, size_t DestSize) = 0;
    /// Ends a sequence of Decode calls.
    virtual void DecodeEnd() {}
    /// Prepares a sequence of Decode calls.
    virtual void DecodeInit() {}
    /// Compresses Count pixels at Source into Dest (at most DestSize bytes) and sets BytesStored
    /// to the bytes written. Only the Targa decoder encodes; the others store nothing.
    virtual void Encode(const uint8_t* Source, uint8_t* Dest, uint32_t Count, uint32_t& BytesStored,
                        size_t DestSize);
    /// Prepares a sequence of Encode calls.
    virtual void EncodeInit() {}
    /// Ends a sequence of Encode calls.
    virtual void EncodeEnd() {}
};

// ---------------------------------------------------------------------------
// Run-length decoders

/// Truevision Targa packets of 8, 15, 16, 24 or 32-bit pixels. Obeys UnpackedSize in pixels;
/// Source is advanced past the last packet read, Dest is not.
class TTargaRLEDecoder : public TDecoder {
public:
    explicit TTargaRLEDecoder(uint8_t ColorDepth);
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
    /// Run-length encodes Count pixels; a Dest of Count × (pixel size + 1) bytes always suffices.
    /// Raises EGraphicCompression when the packets would not fit into DestSize bytes.
    void Encode(const uint8_t* Source, uint8_t* Dest, uint32_t Count, uint32_t& BytesStored,
                size_t DestSize) override;
    uint8_t ColorDepth() const { return FColorDepth; }

private:
    uint8_t FColorDepth;
};

/// Apple PackBits as used by TIFF and Photoshop. Obeys PackedSize bytes in and UnpackedSize
/// bytes out; neither pointer is advanced.
class TPackbitsRLEDecoder : public TDecoder {
public:
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
};

/// ZSoft PCX runs. Obeys UnpackedSize in bytes; neither pointer is advanced.
class TPCXRLEDecoder : public TDecoder {
public:
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
};

/// One SGI run-length row of 8 or 16-bit samples (16-bit samples keep the file's big-endian
/// order). Stops at a zero count; neither pointer is advanced.
class TSGIRLEDecoder : public TDecoder {
public:
    explicit TSGIRLEDecoder(uint8_t SampleSize);
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
    uint8_t SampleSize() const { return FSampleSize; }

private:
    uint8_t FSampleSize;
};

/// One Dr. Halo CUT row: a 2-byte stored length, then packets up to a zero header.
/// Source is advanced past the terminating zero.
class TCUTRLEDecoder : public TDecoder {
public:
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
};

/// Paintshop Pro runs. Obeys PackedSize bytes; neither pointer is advanced.
class TPSPRLEDecoder : public TDecoder {
public:
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
    /// Bytes the last Decode wrote at Dest (runs cut at DestSize count only what was written).
    size_t BytesWritten() const { return FBytesWritten; }

private:
    size_t FBytesWritten = 0;
};

/// Alias/Wavefront RLA runs. Obeys PackedSize bytes; neither pointer is advanced.
class TRLADecoder : public TDecoder {
public:
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
};

// ---------------------------------------------------------------------------
// LZW decoders

/// String table and code reader shared by the TIFF and GIF flavours of LZW.
class TLZWDecoderBase : public TDecoder {
protected:
    /// One table entry. Every string of a table is also somewhere in the output decoded so far
    /// (each entry is an earlier string followed by the byte written after it), so an entry
    /// keeps where it was written instead of a prefix chain.
    struct TEntry {
        uint32_t Offset; ///< where in this call's output the string was written
        uint16_t Length;
        uint8_t First;   ///< its first byte
        uint8_t Spare;
    };
    static constexpr uint32_t TableSize = 4096;
    std::array<TEntry, TableSize> FTable{};

    /// Puts the single bytes 0 .. ClearCode − 1 into the table.
    void InitTable(uint32_t ClearCode);
};

/// TIFF LZW (compression 5): codes most significant bit first, the width growing one code
/// early. Obeys PackedSize and UnpackedSize (bytes); neither pointer is advanced.
class TTIFFLZWDecoder : public TLZWDecoderBase {
public:
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
};

/// GIF LZW: codes least significant bit first, the initial code size from the file.
/// Obeys PackedSize and UnpackedSize (bytes); neither pointer is advanced.
class TGIFLZWDecoder : public TLZWDecoderBase {
public:
    /// Raises EGraphicCompression for an initial code size above 11, which leaves no room in
    /// the 4096-entry table.
    explicit TGIFLZWDecoder(uint8_t InitialCodeSize);
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
    uint8_t InitialCodeSize() const { return FInitialCodeSize; }

private:
    uint8_t FInitialCodeSize;
};

// ---------------------------------------------------------------------------
// CCITT fax decoders

/// Input of the fax decoders: Bits bits, most significant first, at the top of Buffer (the rest
/// zero), ending on an input byte boundary; then BytesLeft bytes at Source.
struct TFaxBitReader {
    uint64_t Buffer = 0;
    int Bits = 0;
    const uint8_t* Source = nullptr;
    size_t BytesLeft = 0;
};

/// Code trees, bit reader and bit writer of the one-dimensional T.4 fax codes.
class TCCITTDecoder : public TDecoder {
public:
    /// Options is the TIFF fax options value (kept, not consulted); SwapBits means the data is
    /// stored least significant bit first; WordAligned makes each compressed row start on an even
    /// offset of the input (modified Huffman only), the decoded rows staying byte-aligned.
    TCCITTDecoder(uint32_t Options, bool SwapBits, bool WordAligned, uint32_t Width);

    uint32_t Options() const { return FOptions; }
    bool SwapBits() const { return FSwapBits; }
    bool WordAligned() const { return FWordAligned; }
    uint32_t Width() const { return FWidth; }

    /// A code-tree node: children for bit 0 and bit 1 (0 = none; node 0 is the root) and, for a
    /// leaf, the run length, −1 for the end-of-line code or −2 for an invalid code.
    struct TTreeNode {
        uint16_t Child[2] = {0, 0};
        int16_t Value = 0;
    };

protected:
    /// Zeroes the output, reverses the input's bit order when SwapBits is set and sets up the
    /// bit reader and writer. Returns the bytes of output that may be written.
    size_t StartDecode(uint8_t* Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize,
                       size_t SourceSize, size_t DestSize);
    bool InputLeft() const { return FIn.Bits > 0 || FIn.BytesLeft > 0; }
    /// Reads up to and including the 1 that ends an end-of-line code: first (unless ZerosSeen)
    /// up to eleven zeros in a row, then up to the next 1. Returns false when the input ends first.
    bool SkipEndOfLine(bool ZerosSeen);

    /// Two-dimensional coding (T.4 2-D rows and T.6): the reference line as its
    /// FReferenceCount changing elements (positions where the colour changes, white
    /// first), followed by ReferenceEnd entries at Width that end every search.
    std::vector<uint32_t> FReference;
    size_t FReferenceCount = 0;
    static constexpr size_t ReferenceEnd = 4;
    /// Makes the reference line the imaginary all-white line before the first row.
    void ResetReference();
    /// Makes the first Count entries of FCurrent the reference line.
    void TakeReference(size_t Count);
    /// Gives FCurrent room for Count changing elements and the end entries; it only grows, so
    /// that rows reuse it without clearing.
    void ReserveCurrent(size_t Count);
    /// How a two-dimensionally coded row ended.
    enum class TRowEnd : uint8_t {
        Complete, ///< all Width pixels decoded; the reference line is this row
        Damaged,  ///< a code that fits no mode, a position outside the row, or the input ended
        NoRow     ///< an end-of-line (or end-of-block) code where the row should begin; nothing read
    };
    /// Decodes one two-dimensionally coded row at the writer's position into the
    /// output and the new reference line; the pixels of a damaged row decoded so
    /// far stay written. The writer's position is left at the row's start.
    TRowEnd Decode2DRow();
    /// Room for the changing elements of the row being decoded.
    std::vector<uint32_t> FCurrent;
    /// Takes the reference line for the next row from the row just written (the
    /// row of Width pixels starting at bit RowStart of the output).
    void ReferenceFromRow(uint64_t RowStart);

    TFaxBitReader FIn;
    const uint8_t* FInputStart = nullptr;

    // Output: FDestLimit bytes at FDest, rows starting on byte boundaries; FBitPosition is the
    // start of the next row.
    uint8_t* FDest = nullptr;
    size_t FDestLimit = 0;
    uint64_t FBitPosition = 0;

private:
    uint32_t FOptions;
    bool FSwapBits;
    bool FWordAligned;
    uint32_t FWidth;
};

/// Group 3 data (TIFF compression 3): rows introduced by end-of-line codes. With bit 0
/// of Options (T4Options 2-D coding) each end-of-line code is followed by a tag bit: 1
/// for a one-dimensional row, 0 for a row coded against the one above; a damaged row
/// resynchronises at the next end-of-line code.
/// Writes at most UnpackedSize bytes; neither pointer is advanced.
class TCCITTFax3Decoder : public TCCITTDecoder {
public:
    using TCCITTDecoder::TCCITTDecoder;
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;

private:
    /// The rows of two-dimensional Group 3 data, one- and two-dimensional mixed.
    void DecodeMixedRows(size_t Limit);
};

/// Group 4 data (TIFF compression 4, ITU-T T.6): every row coded two-dimensionally
/// against the one above it (the first against an all-white line), no end-of-line
/// codes, rows not aligned in the input. Decodes until the output is full, the
/// end-of-block code or a damaged code, which ends the strip with the rows decoded so
/// far (the rest white). Neither pointer is advanced.
class TCCITTFax4Decoder : public TCCITTDecoder {
public:
    using TCCITTDecoder::TCCITTDecoder;
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
};

/// Modified Huffman data (TIFF compression 2): rows start on byte boundaries, no end-of-line
/// codes. Decodes while input remains; neither pointer is advanced.
class TCCITTMHDecoder : public TCCITTDecoder {
public:
    using TCCITTDecoder::TCCITTDecoder;
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
};

// ---------------------------------------------------------------------------
// Deflate, TIFF-JPEG, ThunderScan and Photo-CD

/// Deflate data in a zlib stream (PNG, TIFF, Paintshop Pro) through zlib's inflate. Keeps its
/// stream between DecodeInit and DecodeEnd, so one stream may be fed across many calls.
class TLZ77Decoder : public TDecoder {
public:
    /// FlushMode is the zlib flush value of every inflate call; AutoReset starts a new zlib
    /// stream at every Decode.
    TLZ77Decoder(int32_t FlushMode, bool AutoReset);
    ~TLZ77Decoder() override;

    /// Inflates PackedSize bytes at Source into at most UnpackedSize bytes at Dest and advances
    /// both pointers past what was consumed and produced. The zlib result is kept, not raised.
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
    /// Ends the zlib stream; raises "LZ77 decompression error." on failure.
    void DecodeEnd() override;
    /// Starts a zlib stream (15-bit window, zlib header); raises "LZ77 decompression error.".
    void DecodeInit() override;

    int32_t FlushMode() const { return FFlushMode; }
    bool AutoReset() const { return FAutoReset; }
    /// The result of the last zlib call (Z_OK, Z_STREAM_END, Z_DATA_ERROR, ...).
    int ZLibResult() const { return FZLibResult; }
    /// Input bytes not consumed by the last Decode.
    uint32_t InputLeft() const;
    /// Output room left of UnpackedSize after the last Decode.
    uint32_t OutputRoom() const;

private:
    struct TState;
    std::unique_ptr<TState> FState;
    int32_t FFlushMode;
    bool FAutoReset;
    int FZLibResult = 0;
};

/// JPEG-compressed TIFF strips and tiles through libjpeg. Keeps the decompressor and the JPEG
/// tables between DecodeInit and DecodeEnd; colour pixels come out blue, green, red, the
/// single-component blocks of separate planes as stored.
class TTIFFJPEGDecoder : public TDecoder {
public:
    /// Properties are the TIFF reader's image properties; they must outlive the decoder.
    explicit TTIFFJPEGDecoder(const TImageProperties& Properties);
    ~TTIFFJPEGDecoder() override;

    /// Decodes one strip or tile of PackedSize bytes into UnpackedSize bytes (whole scanlines) at
    /// Dest. Its expected size comes from the properties: the tile size, or the strip's rows at
    /// CurrentRow; a block of a later plane (CurrentStrip of StripCount) is smaller by the chroma
    /// subsampling. Raises EGraphicCompression when the block does not match them or libjpeg
    /// fails; truncated strips only warn. Neither pointer is advanced.
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
    /// Destroys the decompressor.
    void DecodeEnd() override;
    /// Creates the decompressor and reads the JPEG tables, if the file has them.
    void DecodeInit() override;

    /// Bytes of one decoded scanline of the last strip.
    uint32_t ScanlineSize() const { return FScanlineSize; }

    struct TState;

private:
    std::unique_ptr<TState> FState;
    const TImageProperties& FProperties;
    uint32_t FScanlineSize = 0;
};

/// ThunderScan 4-bit data in TIFF files. A decoder row is one image row of Width pixels, two per
/// byte with the first in the high nibble, so a row takes (Width + 1) / 2 bytes of UnpackedSize.
/// Obeys PackedSize and UnpackedSize (bytes); neither pointer is advanced.
class TThunderDecoder : public TDecoder {
public:
    explicit TThunderDecoder(uint32_t Width);
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
    uint32_t Width() const { return FWidth; }

private:
    uint32_t FWidth;
};

/// The three planes the Photo-CD decoder adds its residuals to, with their sizes in bytes.
struct TPCDPlanes {
    uint8_t* Luma = nullptr;
    uint8_t* Chroma1 = nullptr;
    uint8_t* Chroma2 = nullptr;
    size_t LumaSize = 0;
    size_t Chroma1Size = 0;
    size_t Chroma2Size = 0;
};

/// Huffman-coded residuals of the Photo-CD high-resolution planes, read from a stream.
class TPCDDecoder : public TDecoder {
public:
    /// Stream is read from its current position; it must outlive the decoder.
    explicit TPCDDecoder(TStream& Stream);

    /// Source points at a TPCDPlanes record (SourceSize at least its size); PackedSize is the
    /// row stride in pixels and UnpackedSize the number of luminance rows. Dest is not used.
    void Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                size_t SourceSize, size_t DestSize) override;
    /// Adds the residuals of the stream to the planes; see Decode. Writes stay inside the
    /// planes' sizes. The stream running out raises EReadError; plane 1 raises EAbort.
    void DecodePlanes(const TPCDPlanes& Planes, int32_t Stride, int32_t Rows);

private:
    TStream& FStream;
};

} // namespace qv
