#pragma once
// The Tagged Image File Format reader: the first image of a file in either byte
// order, stored in strips or tiles, its samples together or in separate planes,
// through the decoders of every scheme it names.

#include <array>
#include <cstdint>
#include <vector>

#include "imaging/ImageLib.h"

namespace qv {

class TTIFFGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TTIFFGraphic)
public:
    /// One entry of an image file directory. The value field is kept as the four bytes the
    /// file holds, so values stored in it are read in the file's byte order.
    struct TIFDEntry {
        uint16_t Tag = 0;
        uint16_t DataType = 0;
        uint32_t Count = 0;
        std::array<uint8_t, 4> Value{};
    };

    TTIFFGraphic();
    ~TTIFFGraphic() override;

    /// True when more than 8 bytes remain, the mark is "II" or "MM", the version is 42 and the
    /// first IFD offset lies before the stream's end. The position is kept.
    bool CanLoadStream(TStream& Stream) const override;
    /// Fills ImageProperties from the IFD numbered ImageIndex of the file that starts at the
    /// stream's position; false when the header is not TIFF, the chain ends (or loops) before
    /// that IFD, or width or height is 0.
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    /// Decodes the first image.
    void LoadFromStream(TStream& Stream) override;
    /// Saving is not offered: does nothing.
    void SaveToStream(TStream& Stream) override;

    /// The entries of the IFD read last, sorted by tag.
    const std::vector<TIFDEntry>& IFD() const { return FIFD; }

private:
    // Tag queries on the IFD read last.
    const TIFDEntry* FindTag(uint16_t Tag) const;
    uint32_t GetValue(uint16_t Tag, uint32_t Default) const;
    float GetRealValue(TStream& Stream, uint16_t Tag, float Default) const;
    std::vector<uint32_t> GetValueList(TStream& Stream, uint16_t Tag) const;
    std::vector<float> GetRealList(TStream& Stream, uint16_t Tag) const;
    std::vector<uint8_t> GetByteList(TStream& Stream, uint16_t Tag) const;
    /// Reads the IFD at Offset (from BasePosition) into FIFD, sorted; false when it is not in the stream.
    bool ReadIFD(TStream& Stream, uint64_t Offset);
    /// The bytes of an entry's values: the value field, or Size bytes at its offset.
    std::vector<uint8_t> EntryBytes(TStream& Stream, const TIFDEntry& Entry, uint64_t Size) const;
    uint16_t Word(const uint8_t* P) const;
    uint32_t Long(const uint8_t* P) const;

    /// The load after the header was read: colour set-up, picture, decoder and strips.
    void LoadImage(TStream& Stream);

    std::vector<TIFDEntry> FIFD;
    bool FBigEndian = false;
    TFloatArray FYCbCrCoefficients;
    uint32_t FYCbCrPositioning = 1;
};

} // namespace qv
