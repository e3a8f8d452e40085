// Windows bitmap files: the file header, bitmap headers of every version,
// palettes, uncompressed rows, bit fields and RLE4/RLE8; and the writer of
// plain uncompressed files.

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/DibFormat.h"
#include "platform/System.h"

namespace qv {

namespace {

constexpr int FileHeaderSize = 14;
constexpr int InfoHeaderSize = 40;

uint16_t GetU16(const uint8_t* P) { return static_cast<uint16_t>(P[0] | (P[1] << 8)); }
uint32_t GetU32(const uint8_t* P) {
    return uint32_t{P[0]} | (uint32_t{P[1]} << 8) | (uint32_t{P[2]} << 16) | (uint32_t{P[3]} << 24);
}
void PutU16(uint8_t* P, uint32_t V) {
    P[0] = static_cast<uint8_t>(V);
    P[1] = static_cast<uint8_t>(V >> 8);
}
void PutU32(uint8_t* P, uint32_t V) {
    PutU16(P, V);
    PutU16(P + 2, V >> 16);
}

bool IsSupportedHeaderSize(uint32_t Size) {
    switch (Size) {
    case 12: case 16: case 40: case 52: case 56: case 64: case 108: case 124: return true;
    default: return false;
    }
}

// One colour channel described by a bit-field mask: where it sits and how
// wide it is, so that any mask widens to 8 bits the same way.
struct TChannel {
    uint32_t Mask = 0;
    int Shift = 0;
    int Bits = 0;

    explicit TChannel(uint32_t M) : Mask(M) {
        if (M == 0) return;
        Shift = std::countr_zero(M);
        Bits = 32 - std::countl_zero(M >> Shift);
    }
    uint8_t Extract(uint32_t Pixel) const {
        if (Bits == 0) return 0;
        const uint32_t V = (Pixel & Mask) >> Shift;
        if (Bits >= 8) return static_cast<uint8_t>(V >> (Bits - 8));
        const uint32_t Max = (uint32_t{1} << Bits) - 1;
        return static_cast<uint8_t>((V * 255 + Max / 2) / Max);
    }
};

// Sets the alpha byte of every pixel of a 32-bit bitmap to opaque.
void MakeOpaque(TBitmap& Bitmap) {
    for (int Y = 0; Y < Bitmap.Height(); ++Y) {
        uint8_t* Row = Bitmap.ScanLine(Y);
        for (int X = 0; X < Bitmap.Width(); ++X) Row[4 * X + 3] = 255;
    }
}

bool AllAlphaZero(const TBitmap& Bitmap) {
    for (int Y = 0; Y < Bitmap.Height(); ++Y) {
        const uint8_t* Row = Bitmap.ScanLine(Y);
        for (int X = 0; X < Bitmap.Width(); ++X)
            if (Row[4 * X + 3] != 0) return false;
    }
    return true;
}

// Bytes of uncompressed pixel data; some writers leave out the padding of the last row.
int64_t StoredPixelBytes(const TDibHeader& Header) {
    const int64_t LastRow = (static_cast<int64_t>(Header.Width) * Header.BitCount + 7) / 8;
    return Header.StoredRowBytes() * (Header.Height - 1) + LastRow;
}

// Reads the uncompressed rows of a bitmap whose stored layout equals the
// bitmap's own (same bits per pixel, rows padded to 4).
void ReadDirectRows(TStream& Stream, const TDibHeader& Header, TBitmap& Bitmap) {
    const int64_t Stride = Header.StoredRowBytes();
    const int64_t LastRow = (static_cast<int64_t>(Header.Width) * Header.BitCount + 7) / 8;
    const int H = Header.Height;
    const int64_t Needed = StoredPixelBytes(Header);
    const bool Contiguous = Bitmap.RowBytes() == Stride && Bitmap.ScanLine(H - 1) + Stride * (H - 1) == Bitmap.ScanLine(0);
    if (!Header.TopDown && Contiguous) {
        Stream.ReadBuffer(Bitmap.ScanLine(H - 1), Needed);
        return;
    }
    for (int I = 0; I < H; ++I) {
        uint8_t* Row = Bitmap.ScanLine(Header.TopDown ? I : H - 1 - I);
        Stream.ReadBuffer(Row, I == H - 1 ? LastRow : Stride);
    }
}

// Reads uncompressed 16- or 32-bit rows through arbitrary bit-field masks
// into a 24-bit or 32-bit bitmap.
void ReadMaskedRows(TStream& Stream, const TDibHeader& Header, uint32_t RedMask, uint32_t GreenMask,
                    uint32_t BlueMask, uint32_t AlphaMask, TBitmap& Bitmap) {
    const int64_t Stride = Header.StoredRowBytes();
    const int64_t LastRow = static_cast<int64_t>(Header.Width) * (Header.BitCount / 8);
    const int H = Header.Height;
    const TChannel Red(RedMask), Green(GreenMask), Blue(BlueMask), Alpha(AlphaMask);
    const bool Wide = Header.BitCount == 32;
    const int OutBytes = Bitmap.PixelFormat() == pf32bit ? 4 : 3;
    std::vector<uint8_t> Buffer(static_cast<size_t>(Stride));
    for (int I = 0; I < H; ++I) {
        Stream.ReadBuffer(Buffer.data(), I == H - 1 ? LastRow : Stride);
        uint8_t* Row = Bitmap.ScanLine(Header.TopDown ? I : H - 1 - I);
        for (int X = 0; X < Header.Width; ++X) {
            const uint32_t Pixel = Wide ? GetU32(&Buffer[4 * static_cast<size_t>(X)]) : GetU16(&Buffer[2 * static_cast<size_t>(X)]);
            uint8_t* Out = Row + static_cast<ptrdiff_t>(X) * OutBytes;
            Out[0] = Blue.Extract(Pixel);
            Out[1] = Green.Extract(Pixel);
            Out[2] = Red.Extract(Pixel);
            if (OutBytes == 4) Out[3] = Alpha.Extract(Pixel);
        }
    }
}

// Decodes RLE8 or RLE4 data into an 8-bit or 4-bit bitmap. Runs and deltas
// are clipped to the bitmap; pixels no code reaches keep index 0.
void ReadRleRows(TStream& Stream, const TDibHeader& Header, TBitmap& Bitmap) {
    const std::vector<uint8_t> Data = [&] {
        std::vector<uint8_t> Bytes(static_cast<size_t>(Stream.Remaining()));
        Stream.ReadBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
        return Bytes;
    }();
    const bool Four = Header.Compression == TDibCompression::Rle4;
    const int64_t W = Header.Width, H = Header.Height;
    int64_t X = 0, Y = 0;
    size_t Pos = 0;
    uint8_t* Row = nullptr;
    auto SelectRow = [&] {
        Row = Y < H ? Bitmap.ScanLine(static_cast<int>(Header.TopDown ? Y : H - 1 - Y)) : nullptr;
    };
    auto Put = [&](uint8_t Index) {
        if (Row && X < W) {
            if (!Four) {
                Row[X] = Index;
            } else {
                uint8_t& Byte = Row[X >> 1];
                Byte = (X & 1) ? static_cast<uint8_t>((Byte & 0xF0) | (Index & 0x0F))
                               : static_cast<uint8_t>((Byte & 0x0F) | (Index << 4));
            }
        }
        ++X;
    };
    SelectRow();
    bool Finished = false;
    while (!Finished && Y < H) {
        if (Data.size() - Pos < 2) break;
        const uint8_t Count = Data[Pos], Value = Data[Pos + 1];
        Pos += 2;
        if (Count > 0) {
            // An encoded run; runs past the row's end are dropped, not wrapped.
            const int64_t Limit = std::min<int64_t>(Count, std::max<int64_t>(W - X, 0));
            for (int64_t I = 0; I < Limit; ++I)
                Put(Four ? static_cast<uint8_t>((I & 1) ? Value & 0x0F : Value >> 4) : Value);
            X += Count - Limit;
            continue;
        }
        switch (Value) {
        case 0: // end of line
            X = 0;
            ++Y;
            SelectRow();
            break;
        case 1: // end of bitmap
            Finished = true;
            break;
        case 2: { // delta: move right and up
            if (Data.size() - Pos < 2) {
                Pos = Data.size();
                break;
            }
            X += Data[Pos];
            Y += Data[Pos + 1];
            Pos += 2;
            SelectRow();
            break;
        }
        default: { // an absolute run of Value literal pixels, padded to a 16-bit boundary
            const size_t Bytes = Four ? (Value + 1u) / 2 : Value;
            const size_t Padded = (Bytes + 1) & ~size_t{1};
            if (Data.size() - Pos < Bytes) {
                Pos = Data.size();
                break;
            }
            for (int I = 0; I < Value; ++I) {
                const uint8_t B = Data[Pos + static_cast<size_t>(Four ? I / 2 : I)];
                Put(Four ? static_cast<uint8_t>((I & 1) ? B & 0x0F : B >> 4) : B);
            }
            Pos = std::min(Data.size(), Pos + Padded);
            break;
        }
        }
    }
    // Data that stops short of the end-of-bitmap code is accepted only when
    // every row was reached; anything less is a truncated file.
    if (!Finished && Y < H && !(Y == H - 1 && X >= W)) throw EReadError();
}

} // namespace

// ---------------------------------------------------------------------------
// Shared bitmap-record routines

int64_t TDibHeader::StoredPaletteEntries() const {
    if (BitCount > 8) return 0;
    const int64_t Full = int64_t{1} << BitCount;
    return ColorsUsed == 0 ? Full : std::min<int64_t>(ColorsUsed, Full);
}

int64_t TDibHeader::StoredRowBytes() const { return ((static_cast<int64_t>(Width) * BitCount + 31) / 32) * 4; }

TDibHeader ReadDibHeader(TStream& Stream) {
    TDibHeader H;
    uint8_t Buf[124] = {};
    Stream.ReadBuffer(Buf, 4);
    H.HeaderSize = GetU32(Buf);
    if (!IsSupportedHeaderSize(H.HeaderSize))
        throw EInvalidGraphic(Format("Bitmap header size %u is not supported", H.HeaderSize));
    Stream.ReadBuffer(Buf + 4, H.HeaderSize - 4);
    int64_t Width, Height;
    if (H.HeaderSize == 12) {
        // The core header of OS/2 1.x: 16-bit sizes, palette of triples.
        Width = GetU16(Buf + 4);
        Height = GetU16(Buf + 6);
        H.BitCount = GetU16(Buf + 10);
        H.PaletteEntrySize = 3;
    } else {
        Width = static_cast<int32_t>(GetU32(Buf + 4));
        Height = static_cast<int32_t>(GetU32(Buf + 8));
        H.BitCount = GetU16(Buf + 14);
        if (H.HeaderSize >= 20) H.Compression = static_cast<TDibCompression>(GetU32(Buf + 16));
        if (H.HeaderSize >= 36) H.ColorsUsed = GetU32(Buf + 32);
    }
    const uint32_t Compression = static_cast<uint32_t>(H.Compression);
    // OS/2 2.x reuses compression 3 and 4 for Huffman 1D and RLE24.
    if (H.HeaderSize == 64 && (Compression == 3 || Compression == 4))
        throw EInvalidGraphic(Format("OS/2 bitmap compression %u is not supported", Compression));
    if (H.HeaderSize >= 52 && H.HeaderSize != 64) {
        H.RedMask = GetU32(Buf + 40);
        H.GreenMask = GetU32(Buf + 44);
        H.BlueMask = GetU32(Buf + 48);
        if (H.HeaderSize >= 56) H.AlphaMask = GetU32(Buf + 52);
    }
    if (H.Compression == TDibCompression::BitFields || H.Compression == TDibCompression::AlphaBitFields) {
        if (H.HeaderSize == InfoHeaderSize) {
            // The masks follow a plain info header.
            const int Count = H.Compression == TDibCompression::AlphaBitFields ? 4 : 3;
            uint8_t Masks[16] = {};
            Stream.ReadBuffer(Masks, Count * 4);
            H.RedMask = GetU32(Masks);
            H.GreenMask = GetU32(Masks + 4);
            H.BlueMask = GetU32(Masks + 8);
            H.AlphaMask = Count == 4 ? GetU32(Masks + 12) : 0;
        } else if (H.HeaderSize < 52) {
            throw EInvalidGraphic("Bitmap bit fields are missing");
        }
        H.HasMasks = true;
        if ((H.RedMask | H.GreenMask | H.BlueMask) == 0) throw EInvalidGraphic("Bitmap bit-field masks are empty");
    }

    if (Width < 0 || Height == INT32_MIN) throw EInvalidGraphic("Bitmap image is not valid");
    H.TopDown = Height < 0;
    if (H.TopDown) Height = -Height;
    if (Width > TBitmap::MaxSide || Height > TBitmap::MaxSide || Width * Height > TBitmap::MaxPixels)
        throw EInvalidGraphic(Format("Bitmap size %lld*%lld exceeds the picture size limit", static_cast<long long>(Width),
                                     static_cast<long long>(Height)));
    H.Width = static_cast<int32_t>(Width);
    H.Height = static_cast<int32_t>(Height);

    bool Valid = false;
    switch (H.Compression) {
    case TDibCompression::Rgb:
        Valid = H.BitCount == 1 || H.BitCount == 4 || H.BitCount == 8 || H.BitCount == 16 || H.BitCount == 24 ||
                H.BitCount == 32;
        if (H.HeaderSize == 12) Valid = Valid && H.BitCount != 16 && H.BitCount != 32;
        break;
    case TDibCompression::Rle8: Valid = H.BitCount == 8; break;
    case TDibCompression::Rle4: Valid = H.BitCount == 4; break;
    case TDibCompression::BitFields:
    case TDibCompression::AlphaBitFields: Valid = H.BitCount == 16 || H.BitCount == 32; break;
    case TDibCompression::Jpeg: throw EInvalidGraphic("JPEG-compressed bitmaps are not supported");
    case TDibCompression::Png: throw EInvalidGraphic("PNG-compressed bitmaps are not supported");
    default: throw EInvalidGraphic(Format("Bitmap compression %u is not supported", Compression));
    }
    if (!Valid)
        throw EInvalidGraphic(Format("Bitmaps of %u bits per pixel with compression %u are not supported",
                                     unsigned{H.BitCount}, Compression));
    return H;
}

std::vector<TRGBQuad> ReadDibPalette(TStream& Stream, const TDibHeader& Header, int64_t MaxEntries) {
    if (Header.BitCount > 8) return {};
    const int64_t Count = std::clamp<int64_t>(MaxEntries, 0, Header.StoredPaletteEntries());
    const int64_t Bytes = Count * Header.PaletteEntrySize;
    std::vector<uint8_t> Raw(static_cast<size_t>(Bytes));
    Stream.ReadBuffer(Raw.data(), Bytes);
    std::vector<TRGBQuad> Palette(size_t{1} << Header.BitCount);
    for (int64_t I = 0; I < Count; ++I) {
        const uint8_t* E = &Raw[static_cast<size_t>(I * Header.PaletteEntrySize)];
        Palette[static_cast<size_t>(I)] = TRGBQuad{E[0], E[1], E[2], 0};
    }
    return Palette;
}

bool ReadDibPixels(TStream& Stream, const TDibHeader& Header, std::vector<TRGBQuad> Palette, TBitmap& Bitmap) {
    uint32_t R = Header.RedMask, G = Header.GreenMask, B = Header.BlueMask, A = Header.AlphaMask;
    if (!Header.HasMasks) {
        if (Header.BitCount == 16) {
            R = 0x7C00, G = 0x03E0, B = 0x001F, A = 0;
        } else if (Header.BitCount == 32) {
            R = 0xFF0000, G = 0xFF00, B = 0xFF;
        }
    }
    if (Header.BitCount == 24) A = 0;

    TPixelFormat Format = pf24bit;
    bool Masked = false;
    switch (Header.BitCount) {
    case 1: Format = pf1bit; break;
    case 4: Format = pf4bit; break;
    case 8: Format = pf8bit; break;
    case 16:
        if (R == 0x7C00 && G == 0x03E0 && B == 0x001F && A == 0) Format = pf15bit;
        else if (R == 0xF800 && G == 0x07E0 && B == 0x001F && A == 0) Format = pf16bit;
        else Masked = true, Format = A ? pf32bit : pf24bit;
        break;
    case 24: Format = pf24bit; break;
    default:
        if (R == 0xFF0000 && G == 0xFF00 && B == 0xFF && (A == 0 || A == 0xFF000000u)) Format = pf32bit;
        else Masked = true, Format = A ? pf32bit : pf24bit;
        break;
    }

    const bool Rle = Header.Compression == TDibCompression::Rle8 || Header.Compression == TDibCompression::Rle4;
    // Uncompressed rows must all be there before the bitmap is allocated.
    if (!Rle && Header.Width > 0 && Header.Height > 0 && Stream.Remaining() < StoredPixelBytes(Header))
        throw EReadError();

    Bitmap.FreeImage();
    Bitmap.SetPixelFormat(Format);
    Bitmap.SetPalette(Header.BitCount <= 8 ? std::move(Palette) : std::vector<TRGBQuad>{});
    Bitmap.SetSize(Header.Width, Header.Height);
    if (Bitmap.Empty()) return false;

    if (Rle)
        ReadRleRows(Stream, Header, Bitmap);
    else if (Masked)
        ReadMaskedRows(Stream, Header, R, G, B, A, Bitmap);
    else
        ReadDirectRows(Stream, Header, Bitmap);

    if (Format != pf32bit) return false;
    // A file whose alpha mask is set but whose alpha bytes are all zero was
    // written by a program that ignores alpha: show it opaque.
    if (A == 0 || AllAlphaZero(Bitmap)) {
        MakeOpaque(Bitmap);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// TBitmap file input and output

void TBitmap::LoadFromStream(TStream& Stream) {
    const int64_t Base = Stream.Position();
    uint8_t FileHeader[FileHeaderSize];
    Stream.ReadBuffer(FileHeader, FileHeaderSize);
    if (FileHeader[0] != 'B' || FileHeader[1] != 'M') throw EInvalidGraphic("Bitmap image is not valid");
    const int64_t OffBits = GetU32(FileHeader + 10);

    const TDibHeader Header = ReadDibHeader(Stream);
    const int64_t PaletteStart = Stream.Position();
    std::vector<TRGBQuad> Palette;
    if (Header.BitCount <= 8) {
        // A palette shorter than the bit count allows ends where the pixels
        // begin; trust the pixel offset over the assumed palette length.
        const bool OffsetUsable = OffBits != 0 && Base + OffBits >= PaletteStart;
        const int64_t Room = OffsetUsable ? (Base + OffBits - PaletteStart) / Header.PaletteEntrySize : INT64_MAX;
        Palette = ReadDibPalette(Stream, Header, Room);
    }
    // An offset of zero, or one pointing into the headers, means the pixels follow the palette.
    const int64_t PixelStart = (OffBits != 0 && Base + OffBits >= Stream.Position()) ? Base + OffBits : Stream.Position();
    if (PixelStart > Stream.Size()) throw EReadError();
    Stream.SetPosition(PixelStart);
    ReadDibPixels(Stream, Header, std::move(Palette), *this);
}

void TBitmap::SaveToStream(TStream& Stream) {
    int Bits = 32;
    switch (FPixelFormat) {
    case pf1bit: Bits = 1; break;
    case pf4bit: Bits = 4; break;
    case pf8bit: Bits = 8; break;
    case pf15bit:
    case pf16bit: Bits = 16; break;
    case pf24bit: Bits = 24; break;
    default: Bits = 32; break;
    }
    // 5-6-5 pixels cannot be told apart from 5-5-5 without their masks.
    const bool WithMasks = FPixelFormat == pf16bit;
    const int PaletteEntries = Bits <= 8 ? 1 << Bits : 0;
    const int64_t Stride = ((static_cast<int64_t>(FWidth) * Bits + 31) / 32) * 4;
    const int64_t ImageSize = Stride * FHeight;
    const int64_t OffBits = FileHeaderSize + InfoHeaderSize + (WithMasks ? 12 : 0) + PaletteEntries * 4;

    std::vector<uint8_t> Head(static_cast<size_t>(OffBits), 0);
    uint8_t* P = Head.data();
    P[0] = 'B';
    P[1] = 'M';
    PutU32(P + 2, static_cast<uint32_t>(OffBits + ImageSize)); // file size
    PutU32(P + 10, static_cast<uint32_t>(OffBits));            // offset of the pixels
    P += FileHeaderSize;
    PutU32(P, InfoHeaderSize);
    PutU32(P + 4, static_cast<uint32_t>(FWidth));
    PutU32(P + 8, static_cast<uint32_t>(FHeight)); // positive: bottom-up rows
    PutU16(P + 12, 1);                             // planes
    PutU16(P + 14, static_cast<uint32_t>(Bits));
    PutU32(P + 16, WithMasks ? 3u : 0u);           // BI_BITFIELDS or BI_RGB
    PutU32(P + 20, static_cast<uint32_t>(ImageSize));
    PutU32(P + 32, static_cast<uint32_t>(PaletteEntries));
    P += InfoHeaderSize;
    if (WithMasks) {
        PutU32(P, 0xF800);
        PutU32(P + 4, 0x07E0);
        PutU32(P + 8, 0x001F);
        P += 12;
    }
    for (int I = 0; I < PaletteEntries; ++I) {
        const TRGBQuad Q = static_cast<size_t>(I) < FPalette.size() ? FPalette[static_cast<size_t>(I)] : TRGBQuad{};
        P[4 * I] = Q.rgbBlue;
        P[4 * I + 1] = Q.rgbGreen;
        P[4 * I + 2] = Q.rgbRed;
    }
    Stream.WriteBuffer(Head.data(), static_cast<int64_t>(Head.size()));
    // Stored rows are bottom-up like the file's, so the block goes out as it is.
    if (ImageSize > 0) Stream.WriteBuffer(FBits.data(), ImageSize);
}

} // namespace qv
