#include "DecoderTestSupport.h"

#include <zlib.h>

#include <cstdlib>
#include <stdexcept>

#include "TestSupport.h"

namespace qvtest {

namespace {

class TFileBytes {
public:
    TFileBytes(std::vector<uint8_t> Data, bool BigEndian) : FData(std::move(Data)), FBigEndian(BigEndian) {}

    const std::vector<uint8_t>& Data() const { return FData; }
    uint32_t U8(uint64_t At) const {
        Need(At, 1);
        return FData[At];
    }
    uint32_t U16(uint64_t At) const {
        Need(At, 2);
        return FBigEndian ? (FData[At] << 8) | FData[At + 1] : FData[At] | (FData[At + 1] << 8);
    }
    uint32_t U32(uint64_t At) const {
        Need(At, 4);
        return FBigEndian ? (uint32_t(U16(At)) << 16) | U16(At + 2) : U16(At) | (uint32_t(U16(At + 2)) << 16);
    }
    void Need(uint64_t At, uint64_t Count) const {
        if (At + Count > FData.size()) throw std::runtime_error("test TIFF reader: offset outside the file");
    }

private:
    std::vector<uint8_t> FData;
    bool FBigEndian;
};

} // namespace

TTIFFStrips ReadTIFFStrips(const std::string& Path) {
    std::vector<uint8_t> Raw = ReadFileBytes(Path);
    if (Raw.size() < 8) throw std::runtime_error("test TIFF reader: file too short");
    const TFileBytes File(Raw, Raw[0] == 'M');
    TTIFFStrips Result;
    const uint32_t Directory = File.U32(4);
    const uint32_t EntryCount = File.U16(Directory);
    std::vector<uint32_t> Offsets;
    std::vector<uint32_t> Counts;
    for (uint32_t Index = 0; Index < EntryCount; ++Index) {
        const uint64_t Entry = Directory + 2 + 12ull * Index;
        const uint32_t Tag = File.U16(Entry);
        const uint32_t Type = File.U16(Entry + 2);
        const uint32_t Count = File.U32(Entry + 4);
        const uint32_t TypeSize = Type == 3 ? 2 : (Type == 4 ? 4 : 1);
        const uint64_t ValueAt = uint64_t(Count) * TypeSize <= 4 ? Entry + 8 : File.U32(Entry + 8);
        auto Value = [&](uint32_t I) -> uint32_t {
            return Type == 3 ? File.U16(ValueAt + 2ull * I) : (Type == 4 ? File.U32(ValueAt + 4ull * I) : File.U8(ValueAt + I));
        };
        std::vector<uint32_t> Values;
        for (uint32_t I = 0; I < Count && (Type == 3 || Type == 4 || Type == 1); ++I) Values.push_back(Value(I));
        auto First = [&] { return Values.empty() ? 0u : Values[0]; };
        switch (Tag) {
            case 256: Result.Width = First(); break;
            case 257: Result.Height = First(); break;
            case 258: Result.BitsPerSample = First(); break;
            case 259: Result.Compression = First(); break;
            case 262: Result.Photometric = First(); break;
            case 266: Result.FillOrder = First(); break;
            case 273: Offsets = Values; break;
            case 277: Result.SamplesPerPixel = First(); break;
            case 278: Result.RowsPerStrip = First(); break;
            case 279: Counts = Values; break;
            case 284: Result.PlanarConfig = First(); break;
            case 292: Result.T4Options = First(); break;
            case 530:
                for (uint32_t V : Values) Result.YCbCrSubSampling.push_back(static_cast<uint8_t>(V));
                break;
            case 347:
                File.Need(ValueAt, Count);
                Result.JPEGTables.assign(Raw.begin() + static_cast<ptrdiff_t>(ValueAt),
                                         Raw.begin() + static_cast<ptrdiff_t>(ValueAt + Count));
                break;
            default: break;
        }
    }
    if (Result.RowsPerStrip == 0 || Result.RowsPerStrip > Result.Height) Result.RowsPerStrip = Result.Height;
    if (Offsets.size() != Counts.size()) throw std::runtime_error("test TIFF reader: strip tables differ");
    for (size_t Index = 0; Index < Offsets.size(); ++Index) {
        File.Need(Offsets[Index], Counts[Index]);
        Result.Strips.emplace_back(Raw.begin() + Offsets[Index], Raw.begin() + Offsets[Index] + Counts[Index]);
    }
    return Result;
}

TReferencePicture ReadReferencePNG(const std::string& Path) {
    const std::vector<uint8_t> Raw = ReadFileBytes(Path);
    auto U32 = [&](size_t At) {
        if (At + 4 > Raw.size()) throw std::runtime_error("test PNG reader: truncated");
        return (uint32_t(Raw[At]) << 24) | (uint32_t(Raw[At + 1]) << 16) | (uint32_t(Raw[At + 2]) << 8) | Raw[At + 3];
    };
    TReferencePicture Result;
    std::vector<uint8_t> Compressed;
    uint32_t Channels = 4;
    for (size_t At = 8; At + 8 <= Raw.size();) {
        const uint32_t Length = U32(At);
        const std::string Type(Raw.begin() + static_cast<ptrdiff_t>(At + 4), Raw.begin() + static_cast<ptrdiff_t>(At + 8));
        if (At + 12 + Length > Raw.size()) throw std::runtime_error("test PNG reader: chunk outside the file");
        if (Type == "IHDR") {
            Result.Width = U32(At + 8);
            Result.Height = U32(At + 12);
            if (Raw[At + 16] != 8 || Raw[At + 20] != 0) throw std::runtime_error("test PNG reader: unsupported layout");
            Channels = Raw[At + 17] == 6 ? 4 : (Raw[At + 17] == 2 ? 3 : 0);
            if (Channels == 0) throw std::runtime_error("test PNG reader: unsupported colour type");
        } else if (Type == "IDAT") {
            Compressed.insert(Compressed.end(), Raw.begin() + static_cast<ptrdiff_t>(At + 8),
                              Raw.begin() + static_cast<ptrdiff_t>(At + 8 + Length));
        }
        At += 12 + Length;
    }
    const size_t Stride = size_t(Result.Width) * Channels;
    std::vector<uint8_t> Filtered((Stride + 1) * Result.Height);
    uLongf Size = static_cast<uLongf>(Filtered.size());
    if (uncompress(Filtered.data(), &Size, Compressed.data(), static_cast<uLong>(Compressed.size())) != Z_OK ||
        Size != Filtered.size())
        throw std::runtime_error("test PNG reader: bad image data");
    std::vector<uint8_t> Pixels(Stride * Result.Height);
    for (uint32_t Row = 0; Row < Result.Height; ++Row) {
        const uint8_t Filter = Filtered[Row * (Stride + 1)];
        const uint8_t* In = &Filtered[Row * (Stride + 1) + 1];
        uint8_t* Out = &Pixels[Row * Stride];
        const uint8_t* Up = Row > 0 ? Out - Stride : nullptr;
        for (size_t X = 0; X < Stride; ++X) {
            const int A = X >= Channels ? Out[X - Channels] : 0;
            const int B = Up ? Up[X] : 0;
            const int C = Up && X >= Channels ? Up[X - Channels] : 0;
            int Predicted = 0;
            switch (Filter) {
                case 1: Predicted = A; break;
                case 2: Predicted = B; break;
                case 3: Predicted = (A + B) / 2; break;
                case 4: {
                    const int P = A + B - C;
                    const int PA = std::abs(P - A), PB = std::abs(P - B), PC = std::abs(P - C);
                    Predicted = PA <= PB && PA <= PC ? A : (PB <= PC ? B : C);
                    break;
                }
                default: break;
            }
            Out[X] = static_cast<uint8_t>(In[X] + Predicted);
        }
    }
    Result.RGBA.resize(size_t(Result.Width) * Result.Height * 4);
    for (size_t Pixel = 0; Pixel < size_t(Result.Width) * Result.Height; ++Pixel)
        for (uint32_t Channel = 0; Channel < 4; ++Channel)
            Result.RGBA[Pixel * 4 + Channel] = Channel < Channels ? Pixels[Pixel * Channels + Channel] : 255;
    return Result;
}

} // namespace qvtest
