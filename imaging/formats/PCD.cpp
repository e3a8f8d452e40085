#include "imaging/formats/PCD.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "imaging/ByteReader.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TPCDGraphic, TImageGraphic)

namespace {

constexpr int64_t SectorSize = 2048;
constexpr int64_t PropertiesSize = 3 * SectorSize;
constexpr int64_t ImagePackSignatureOffset = SectorSize;
constexpr int64_t AttributesOffset = 3586;
constexpr int64_t ImageCountOffset = 10;
constexpr int64_t BaseImageSector = 96;
constexpr uint32_t BaseResolution = 2;
constexpr uint32_t MaxResolution = 5;
constexpr uint32_t BaseWidth = 768;
constexpr uint32_t BaseHeight = 512;
constexpr uint32_t ChromaWidth = BaseWidth / 2;
constexpr uint32_t ChromaHeight = BaseHeight / 2;
// Per pair of rows: two luma rows, then one row of each chroma component.
constexpr int64_t BaseImageBytes = int64_t{BaseHeight} / 2 * (2 * BaseWidth + 2 * ChromaWidth);
constexpr std::array<uint8_t, 7> OverviewSignature{'P', 'C', 'D', '_', 'O', 'P', 'A'};
constexpr std::array<uint8_t, 3> ImagePackSignature{'P', 'C', 'D'};

template <size_t N>
bool SignatureAt(const std::array<uint8_t, PropertiesSize>& Block, int64_t Offset, const std::array<uint8_t, N>& S) {
    return std::equal(S.begin(), S.end(), Block.begin() + Offset);
}

/// The first three sectors, which hold both signatures and the image attributes.
std::array<uint8_t, PropertiesSize> ReadPropertySectors(TStream& Stream) {
    std::array<uint8_t, PropertiesSize> Block{};
    TByteReader(Stream).ReadExact(Block.data(), PropertiesSize);
    return Block;
}

} // namespace

bool TPCDGraphic::CanLoadStream(TStream& Stream) const {
    const int64_t Start = Stream.Position();
    if (Stream.Remaining() <= PropertiesSize) return false;
    const auto Block = ReadPropertySectors(Stream);
    Stream.SetPosition(Start);
    return SignatureAt(Block, 0, OverviewSignature) || SignatureAt(Block, ImagePackSignatureOffset, ImagePackSignature);
}

bool TPCDGraphic::ReadImageProperties(TStream& Stream, uint32_t ImageIndex) {
    TImageGraphic::ReadImageProperties(Stream, ImageIndex);
    const auto Block = ReadPropertySectors(Stream);
    TImageProperties& P = ImageProperties();
    P.PCDOverview = SignatureAt(Block, 0, OverviewSignature);
    if (!P.PCDOverview && !SignatureAt(Block, ImagePackSignatureOffset, ImagePackSignature)) return false;
    P.PCDRotation = Block[AttributesOffset] & 3;
    const uint32_t Resolution = P.PCDOverview ? 0 : std::min(ImageIndex, MaxResolution);
    P.Width = 192u << Resolution;
    P.Height = 128u << Resolution;
    if (P.PCDRotation == 1 || P.PCDRotation == 3) std::swap(P.Width, P.Height);
    P.ColorScheme = TColorScheme::PhotoYCC;
    P.BitsPerSample = 8;
    P.SamplesPerPixel = 3;
    P.BitsPerPixel = 24;
    P.Compression = Resolution < 3 ? TCompressionScheme::None : TCompressionScheme::PCDHuffman;
    P.PCDImageCount = static_cast<uint16_t>(Block[ImageCountOffset] << 8 | Block[ImageCountOffset + 1]);
    return true;
}

void TPCDGraphic::LoadFromStream(TStream& Stream) {
    // An overview file holds thumbnails, not a base image; reading one as a base image shows garbage.
    if (!BeginLoad(Stream, BaseResolution) || ImageProperties().PCDOverview)
        RaiseInvalidGraphicFmt(gesInvalidImage, gesPCDFormat);
    TImageProperties& P = ImageProperties();
    const uint8_t Rotation = P.PCDRotation;
    StartProgress(gesPreparing);

    P.Width = BaseWidth;
    P.Height = BaseHeight;
    // Fail before allocating when the base image cannot be in the file.
    TByteReader Reader(Stream);
    if (Reader.Remaining() < BaseImageSector * SectorSize + BaseImageBytes) throw EReadError();
    Reader.Skip(BaseImageSector * SectorSize);

    constexpr size_t PlaneSize = size_t{BaseWidth} * BaseHeight;
    std::vector<uint8_t> Luma(PlaneSize);
    std::vector<uint8_t> Chroma1(PlaneSize);
    std::vector<uint8_t> Chroma2(PlaneSize);

    TColorManager& Cm = ColorManager();
    Cm.SetSourceColorScheme(TColorScheme::PhotoYCC);
    Cm.SetSourceBitsPerSample(8);
    Cm.SetSourceSamplesPerPixel(3);
    Cm.SetTargetColorScheme(TColorScheme::BGR);
    Cm.SetTargetBitsPerSample(8);
    Cm.SetTargetSamplesPerPixel(3);
    Cm.SetYCbCrParameters({0.2125f, 0.7154f, 0.0721f}, 2, 2);
    EndProgress();

    StartProgress(gesLoadingData);
    for (uint32_t Row = 0; Row < BaseHeight; Row += 2) {
        PercentProgress(Row, BaseHeight);
        // The chroma planes keep their half-size rows at the full stride for Upsample2x2.
        const size_t ChromaRow = size_t{Row} / 2 * BaseWidth;
        Reader.ReadExact(Luma.data() + size_t{Row} * BaseWidth, 2 * BaseWidth);
        Reader.ReadExact(Chroma1.data() + ChromaRow, ChromaWidth);
        Reader.ReadExact(Chroma2.data() + ChromaRow, ChromaWidth);
    }
    EndProgress();

    StartProgress(gesUpsampling);
    PercentProgress(80, 100);
    Upsample2x2(ChromaWidth, ChromaHeight, BaseWidth, Chroma1.data());
    PercentProgress(100, 100);
    Upsample2x2(ChromaWidth, ChromaHeight, BaseWidth, Chroma2.data());
    EndProgress();

    auto PlaneRow = [](const std::vector<uint8_t>& Plane, uint32_t Y) {
        return std::span<const uint8_t>(Plane.data() + size_t{Y} * BaseWidth, BaseWidth);
    };
    const bool Turned = Rotation == 1 || Rotation == 3;
    SetPixelFormat(pf24bit);
    SetSize(static_cast<int>(Turned ? BaseHeight : BaseWidth), static_cast<int>(Turned ? BaseWidth : BaseHeight));
    StartProgress(gesTransfering);
    if (!Turned) {
        // Rotation 2 (upside down) is shown as stored.
        for (uint32_t Y = 0; Y < BaseHeight; ++Y) {
            ConvertRow({PlaneRow(Luma, Y), PlaneRow(Chroma1, Y), PlaneRow(Chroma2, Y)}, static_cast<int>(Y));
            RowProgress(Y);
        }
    } else {
        std::vector<uint8_t> Converted(size_t{BaseWidth} * 3);
        std::vector<uint8_t*> Lines(BaseWidth);
        for (uint32_t X = 0; X < BaseWidth; ++X) Lines[X] = ScanLine(static_cast<int>(X));
        for (uint32_t Y = 0; Y < BaseHeight; ++Y) {
            const std::array<std::span<const uint8_t>, 3> Sources{PlaneRow(Luma, Y), PlaneRow(Chroma1, Y),
                                                                   PlaneRow(Chroma2, Y)};
            Cm.ConvertLineChecked(Sources, Converted, BaseWidth, 0xFF);
            // Rotation 1: source row Y becomes column Y, read bottom to top; rotation 3: column
            // 511 - Y, read top to bottom.
            for (uint32_t X = 0; X < BaseWidth; ++X) {
                uint8_t* Target = Rotation == 1 ? Lines[BaseWidth - 1 - X] + size_t{Y} * 3
                                                : Lines[X] + size_t{BaseHeight - 1 - Y} * 3;
                std::memcpy(Target, Converted.data() + size_t{X} * 3, 3);
            }
            RowProgress(Y);
        }
    }
    EndProgress();
}

} // namespace qv
