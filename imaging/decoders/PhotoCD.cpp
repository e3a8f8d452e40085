// Photo-CD Huffman residual decoder: adds the coded deltas of the high
// resolution levels to the luma and chroma planes in place.

#include <cstring>

#include "imaging/decoders/DecoderBuffers.h"
#include "imaging/decoders/ImageCompression.h"

namespace qv {

namespace {

constexpr size_t SectorSize = 2048;
constexpr uint32_t SyncMask = 0xFFFFFF00;
constexpr uint32_t SyncPattern = 0xFFFFFE00;

/// A 32-bit window on the stream's bits, most significant first; refilled from 2048-byte reads.
class TBitWindow {
public:
    explicit TBitWindow(TStream& Stream) : FStream(Stream), FBuffer(SectorSize) {}

    uint32_t Bits() const { return FBits; }

    void Take(int Count) {
        FBits <<= Count;
        FCount -= Count;
        while (FCount < 25) {
            FBits |= static_cast<uint32_t>(NextByte()) << (24 - FCount);
            FCount += 8;
        }
    }

    bool AtSync() const { return (FBits & SyncMask) == SyncPattern; }

    /// Skips to the next sync pattern: whole bytes until a run of ones shows, then single bits.
    void Resync() {
        while ((FBits & 0x00FFF000) != 0x00FFF000) Take(8);
        while (!AtSync()) Take(1);
    }

private:
    uint8_t NextByte() {
        if (FPosition >= SectorSize) {
            FStream.ReadBuffer(FBuffer.data(), static_cast<int64_t>(SectorSize));
            FPosition = 0;
        }
        return FBuffer[FPosition++];
    }

    TStream& FStream;
    std::vector<uint8_t> FBuffer;
    size_t FPosition = SectorSize;
    uint32_t FBits = 0;
    int FCount = 32;
};

/// One Huffman table: for every value of the window's top 16 bits, the first entry whose code
/// matches (index + 1; 0 = none).
struct TResidualTable {
    struct TEntry {
        uint8_t Length;
        int8_t Delta;
    };
    std::vector<TEntry> Entries;
    std::vector<uint16_t> Lookup;
};

/// Reads one table; false when a code is longer than 16 bits, which ends decoding.
bool ReadTable(TBitWindow& Window, TResidualTable& Table) {
    struct TCode {
        uint32_t Code;
        uint32_t Mask;
    };
    Window.Take(8);
    const size_t Count = (Window.Bits() & 0xFF) + 1;
    std::vector<TCode> Codes;
    Codes.reserve(Count);
    Table.Entries.clear();
    for (size_t Index = 0; Index < Count; ++Index) {
        Window.Take(8);
        const uint32_t Length = (Window.Bits() & 0xFF) + 1;
        if (Length > 16) return false;
        Window.Take(16);
        const uint32_t Code = (Window.Bits() & 0xFFFF) << 16;
        Window.Take(8);
        const int8_t Delta = static_cast<int8_t>(Window.Bits() & 0xFF);
        Codes.push_back({Code, ~uint32_t{0} << (32 - Length)});
        Table.Entries.push_back({static_cast<uint8_t>(Length), Delta});
    }
    Table.Lookup.assign(65536, 0);
    // Filled from the last entry back, so the first matching entry wins.
    for (size_t Index = Count; Index-- > 0;) {
        const TCode& Code = Codes[Index];
        if ((Code.Code & ~Code.Mask) != 0) continue; // bits outside its length: never matches
        const uint32_t First = Code.Code >> 16;
        const uint32_t Span = 1u << (16 - Table.Entries[Index].Length);
        for (uint32_t Key = First; Key < First + Span; ++Key) Table.Lookup[Key] = static_cast<uint16_t>(Index + 1);
    }
    return true;
}

} // namespace

TPCDDecoder::TPCDDecoder(TStream& Stream) : FStream(Stream) {}

void TPCDDecoder::Decode(uint8_t*& Source, uint8_t*&, int32_t PackedSize, int32_t UnpackedSize, size_t SourceSize,
                         size_t) {
    QV_ASSERT(Source != nullptr && SourceSize >= sizeof(TPCDPlanes), "Photo-CD decoding needs a plane record");
    TPCDPlanes Planes;
    std::memcpy(&Planes, Source, sizeof(Planes));
    DecodePlanes(Planes, PackedSize, UnpackedSize);
}

void TPCDDecoder::DecodePlanes(const TPCDPlanes& Planes, int32_t Stride, int32_t Rows) {
    TBitWindow Window(FStream);
    const size_t TableCount = Stride <= 1536 ? 1 : 3;
    std::vector<TResidualTable> Tables(TableCount);
    for (TResidualTable& Table : Tables)
        if (!ReadTable(Window, Table)) return;

    const uint64_t RowStride = Stride > 0 ? static_cast<uint64_t>(Stride) : 0;
    Window.Take(16);
    Window.Take(16);
    Window.Resync();

    uint8_t* Plane = nullptr;
    uint64_t PlaneSize = 0;
    uint64_t Offset = 0;
    const TResidualTable* Table = nullptr;
    for (;;) {
        if (Window.AtSync()) {
            Window.Take(16);
            const uint32_t Row = (Window.Bits() >> 9) & 0x1FFF;
            if (Rows >= 0 && Row == static_cast<uint32_t>(Rows)) return;
            Window.Take(8);
            const uint32_t PlaneNumber = Window.Bits() >> 30;
            Window.Take(16);
            size_t TableIndex = 0;
            switch (PlaneNumber) {
                case 0:
                    Plane = Planes.Luma;
                    PlaneSize = Planes.LumaSize;
                    Offset = Row * RowStride;
                    TableIndex = 0;
                    break;
                case 2:
                    Plane = Planes.Chroma1;
                    PlaneSize = Planes.Chroma1Size;
                    Offset = (Row / 2) * RowStride;
                    TableIndex = 1;
                    break;
                case 3:
                    Plane = Planes.Chroma2;
                    PlaneSize = Planes.Chroma2Size;
                    Offset = (Row / 2) * RowStride;
                    TableIndex = 2;
                    break;
                default:
                    throw EAbort();
            }
            // A chroma plane named when only the luma table was read has no codes: skip to the
            // next row marker.
            if (TableIndex >= Tables.size()) {
                Table = nullptr;
                Window.Resync();
                continue;
            }
            Table = &Tables[TableIndex];
            continue;
        }
        const uint16_t Match = Table != nullptr ? Table->Lookup[Window.Bits() >> 16] : 0;
        if (Match == 0) {
            Window.Resync();
            continue;
        }
        const TResidualTable::TEntry& Entry = Table->Entries[Match - 1u];
        if (Plane != nullptr && Offset < PlaneSize) {
            const int Value = Plane[Offset] + Entry.Delta;
            Plane[Offset] = static_cast<uint8_t>(Value < 0 ? 0 : (Value > 255 ? 255 : Value));
        }
        Window.Take(Entry.Length);
        ++Offset;
    }
}

} // namespace qv
