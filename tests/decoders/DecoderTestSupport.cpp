#include "DecoderTestSupport.h"

#include "TestPng.h"

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
    Result.BigEndian = Raw[0] == 'M';
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
            case 317: Result.Predictor = First(); break;
            case 320: Result.ColorMap = Values; break;
            case 322: Result.TileWidth = First(); break;
            case 338: Result.ExtraSamples = Values; break;
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
    TRgbaImage Image = ReadPng(Path);
    TReferencePicture Result;
    Result.Width = static_cast<uint32_t>(Image.Width);
    Result.Height = static_cast<uint32_t>(Image.Height);
    Result.RGBA = std::move(Image.Pixels);
    return Result;
}

} // namespace qvtest
