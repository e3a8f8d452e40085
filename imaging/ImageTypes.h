#pragma once
// The plain types every reader and decoder shares: colour and compression
// schemes, the image-options set, growable arrays and the image-properties
// record a reader fills from a file header.

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace qv {

/// A one-byte set over an enum whose values are bit numbers 0..7.
template <typename E>
class TEnumSet {
public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<E> Items) {
        for (E Item : Items) Include(Item);
    }
    /// The set whose members are the given bits.
    static constexpr TEnumSet FromBits(uint8_t Bits) {
        TEnumSet Result;
        Result.FBits = Bits;
        return Result;
    }

    constexpr bool Contains(E Item) const { return (FBits & Mask(Item)) != 0; }
    constexpr TEnumSet& Include(E Item) {
        FBits = static_cast<uint8_t>(FBits | Mask(Item));
        return *this;
    }
    constexpr TEnumSet& Exclude(E Item) {
        FBits = static_cast<uint8_t>(FBits & ~Mask(Item));
        return *this;
    }
    /// Includes Item when Value is true, else excludes it.
    constexpr TEnumSet& Set(E Item, bool Value) { return Value ? Include(Item) : Exclude(Item); }
    constexpr uint8_t Bits() const { return FBits; }
    constexpr bool Empty() const { return FBits == 0; }

    constexpr TEnumSet operator|(TEnumSet Other) const { return FromBits(FBits | Other.FBits); }
    constexpr TEnumSet operator&(TEnumSet Other) const { return FromBits(FBits & Other.FBits); }
    friend constexpr bool operator==(TEnumSet, TEnumSet) = default;

private:
    static constexpr uint8_t Mask(E Item) { return static_cast<uint8_t>(1u << static_cast<unsigned>(Item)); }
    uint8_t FBits = 0;
};

/// Colour scheme of stored or target pixels.
enum class TColorScheme : uint8_t {
    Unknown, Indexed, Gray, GrayAlpha, RGB, RGBA, BGR, BGRA, CMY, CMYK, CIELab, YCbCr, PhotoYCC
};

/// Compression of a file's pixel data. RLE stands for every format's own
/// run-length scheme; LZ77 is deflate.
enum class TCompressionScheme : uint8_t {
    Unknown, None, RLE, PackBits, LZW, CCITTFax3, CCITTRLE, CCITTFax4, CCITTRLEW, LZ77, JPEG, OldJPEG,
    Thunderscan, NeXT, IT8CTPAD, IT8LW, IT8MP, IT8BL, PixarFilm, PixarLog, DCS, JBIG, PCDHuffman
};

/// Members of TImageOptions; the value is the bit number.
enum class TImageOption : uint8_t {
    Tiled = 0,            ///< the TIFF image is stored in tiles
    BigEndian = 1,        ///< multi-byte samples are stored most significant byte first
    MinIsWhite = 2,       ///< in gray or bilevel data 0 is white
    ReversedBitOrder = 3, ///< TIFF fill order 2
    GammaApplied = 4      ///< the reader switched gamma correction on in its colour manager
};
using TImageOptions = TEnumSet<TImageOption>;

using TCardinalArray = std::vector<uint32_t>;
using TByteArray = std::vector<uint8_t>;
using TFloatArray = std::vector<float>;

/// What a reader learns from a file header. Each reader sets the fields its
/// format has; all others stay zero (FileGamma 1.0).
struct TImageProperties {
    uint32_t Version = 0;
    TImageOptions Options;
    uint32_t Width = 0;
    uint32_t Height = 0;
    TColorScheme ColorScheme = TColorScheme::Unknown;
    uint8_t BitsPerSample = 0;
    uint8_t SamplesPerPixel = 0;
    uint8_t BitsPerPixel = 0;
    TCompressionScheme Compression = TCompressionScheme::Unknown;
    float FileGamma = 1.0f;
    float XResolution = 0;
    float YResolution = 0;
    bool Interlaced = false;
    bool HasAlpha = false;
    uint32_t FirstIFD = 0;
    uint32_t PlanarConfig = 0;
    uint32_t CurrentRow = 0;
    uint32_t TileWidth = 0;
    uint32_t TileLength = 0;
    uint32_t BytesPerLine = 0;
    TCardinalArray RowsPerStrip;
    TByteArray YCbCrSubSampling;
    TByteArray JPEGTables;
    uint32_t JPEGColorMode = 0;
    uint32_t JPEGTablesMode = 0;
    uint32_t CurrentStrip = 0;
    uint32_t StripCount = 0;
    uint32_t Predictor = 0;
    bool PCDOverview = false;
    uint8_t PCDRotation = 0;
    uint16_t PCDImageCount = 0;
    bool GIFLocalColorTable = false;
    bool RLABottomUp = false;
    uint8_t PSDChannels = 0;
    uint8_t PNGFilterMethod = 0;

    /// Releases the arrays and sets every field to zero, FileGamma to 1.0.
    void Reset() { *this = TImageProperties{}; }
    /// True when the record is exactly the reset record.
    bool IsReset() const;

    friend bool operator==(const TImageProperties&, const TImageProperties&) = default;
};

inline bool TImageProperties::IsReset() const { return *this == TImageProperties{}; }

} // namespace qv
