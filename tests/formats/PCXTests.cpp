#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/formats/PCX.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

using namespace qv;
using namespace qvtest;

namespace {

/// A PCX file: header fields, then the pixel bytes as given (already run-length encoded
/// when Encoding is 1), then an optional trailing palette block.
struct TPcxFixture {
    uint8_t Manufacturer = 10;
    uint8_t Version = 5;
    uint8_t Encoding = 0;
    uint8_t BitsPerPixel = 8;
    uint16_t XMin = 0, YMin = 0, XMax = 0, YMax = 0;
    uint8_t Planes = 1;
    uint16_t BytesPerLine = 0;
    uint16_t PaletteInfo = 1;
    std::vector<uint8_t> Data;
    std::vector<uint8_t> Trailing; // 769 bytes with the marker, or empty

    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> B(128, 0);
        auto Put16 = [&](size_t At, uint16_t V) {
            B[At] = static_cast<uint8_t>(V);
            B[At + 1] = static_cast<uint8_t>(V >> 8);
        };
        B[0] = Manufacturer;
        B[1] = Version;
        B[2] = Encoding;
        B[3] = BitsPerPixel;
        Put16(4, XMin);
        Put16(6, YMin);
        Put16(8, XMax);
        Put16(10, YMax);
        for (int I = 0; I < 48; ++I) B[16 + I] = static_cast<uint8_t>(I * 5); // header palette
        B[65] = Planes;
        Put16(66, BytesPerLine);
        Put16(68, PaletteInfo);
        B.insert(B.end(), Data.begin(), Data.end());
        B.insert(B.end(), Trailing.begin(), Trailing.end());
        return B;
    }
};

std::unique_ptr<TPCXGraphic> Load(const std::vector<uint8_t>& Bytes) {
    auto Reader = std::make_unique<TPCXGraphic>();
    LoadInto(*Reader, Bytes);
    return Reader;
}

std::string LoadError(const std::vector<uint8_t>& Bytes) { return LoadMessage(ReaderOf<TPCXGraphic>(), Bytes, "no error"); }

} // namespace

TEST(PcxCorpus, EveryFileMatchesItsReference) {
    QV_REQUIRE_CORPUS();
    const std::vector<std::string> Files = CorpusFiles("pcx");
    ASSERT_FALSE(Files.empty());
    for (const std::string& File : Files) {
        const std::string Name = BaseName(File);
        SCOPED_TRACE(Name);
        const std::vector<uint8_t> Data = ReadFileBytes(File);
        const TRgbaImage Picture = LoadAsRgba(ReaderOf<TPCXGraphic>(), Data);
        const TRgbaImage Reference = ReadPng(ReferenceFor(File));
        // Files whose reference differs from this reader by design are listed in the shared table.
        const TCorpusExpectation Expect = ExpectationFor(File, Data);
        if (Expect.Check == TCorpusCheck::Inverted) {
            EXPECT_TRUE(SameRgba(Picture, InvertedColour(Reference), Expect.Tolerance, Expect.Alpha));
        } else if (Name == "tahoe_4planes_v3.pcx") {
            // Same pixels as the version-5 file, shown through the default palette.
            const auto V3 = Load(Data);
            const auto V5 = Load(ReadFileBytes(File.substr(0, File.size() - 7) + ".pcx"));
            ASSERT_EQ(V3->Height(), V5->Height());
            for (int Y = 0; Y < V3->Height(); ++Y)
                ASSERT_EQ(0, std::memcmp(V3->ScanLine(Y), V5->ScanLine(Y), static_cast<size_t>(V3->RowBytes())));
            EXPECT_EQ(V3->LogPalette().palPalEntry, DefaultPalette16().palPalEntry);
        } else if (Expect.Check == TCorpusCheck::SizeOnly) {
            EXPECT_EQ(Picture.Width, Reference.Width);
            EXPECT_EQ(Picture.Height, Reference.Height);
        } else {
            ASSERT_EQ(Expect.Check, TCorpusCheck::Compare);
            EXPECT_TRUE(SameRgba(Picture, Reference, Expect.Tolerance, Expect.Alpha));
        }
        SweepDamaged(ReaderOf<TPCXGraphic>(), Data, Name);
    }
}

TEST(PcxReader, RefusedHeaders) {
    const char* Invalid = "Cannot load image. Invalid or unexpected PCX or SCR image format.";
    const char* Layout = "Invalid color format in PCX file.";
    struct TCase {
        uint8_t Manufacturer, Bits, Planes;
        uint16_t BytesPerLine, YMax;
        const char* Message;
    };
    for (const TCase& C : {TCase{11, 8, 1, 8, 1, Invalid},
                           TCase{10, 1, 3, 2, 1, Layout}, TCase{10, 2, 3, 2, 1, Layout}, TCase{10, 16, 1, 16, 1, Layout},
                           TCase{10, 8, 255, 65535, 1, Layout},
                           TCase{10, 8, 1, 7, 1, Layout}, // rows shorter than the width
                           TCase{10, 1, 4, 0, 1, Layout},
                           // Padding beyond the width is allowed, but not 16 GiB of it.
                           TCase{10, 8, 4, 65535, 65535, "PCX pixel data"}}) {
        TPcxFixture F;
        F.Manufacturer = C.Manufacturer;
        F.BitsPerPixel = C.Bits;
        F.Planes = C.Planes;
        F.BytesPerLine = C.BytesPerLine;
        F.XMax = 7;
        F.YMax = C.YMax;
        F.Data.assign(64, 0);
        const std::string Message = LoadError(F.Bytes());
        EXPECT_NE(Message.find(C.Message), std::string::npos)
            << Message << " for " << int(C.Bits) << " x " << int(C.Planes) << ", " << C.BytesPerLine;
    }
    // CanLoadStream agrees with a load: screen captures (205) are recognised, other makers are not.
    for (const uint8_t Manufacturer : {uint8_t{10}, uint8_t{205}, uint8_t{11}}) {
        TPcxFixture F;
        F.Manufacturer = Manufacturer;
        F.BytesPerLine = 1;
        F.Data.assign(4, 1);
        TMemoryStream Stream(F.Bytes());
        EXPECT_EQ(TPCXGraphic().CanLoadStream(Stream), Manufacturer != 11);
        EXPECT_EQ(Stream.Position(), 0);
        if (Manufacturer != 11) {
            EXPECT_EQ(Load(F.Bytes())->Width(), 1);
        }
    }
}

TEST(PcxReader, FourPlanesOfEightBitsCarryAlpha) {
    TPcxFixture F;
    F.Planes = 4;
    F.XMin = 10; // the size comes from the window corners
    F.XMax = 11;
    F.BytesPerLine = 3; // one byte of padding per plane
    F.Data = {10, 20, 0, 30, 40, 0, 50, 60, 0, 255, 128, 0};
    const auto Picture = Load(F.Bytes());
    ASSERT_EQ(Picture->PixelFormat(), pf32bit);
    ASSERT_EQ(Picture->Width(), 2);
    EXPECT_EQ(Picture->PixelBGRA(0, 0), 0xFF0A1E32u); // alpha 255, red 10, green 30, blue 50
    EXPECT_EQ(Picture->PixelBGRA(1, 0), 0x8014283Cu);
}

TEST(PcxReader, EightBitFilesWithoutTrailingPaletteKeepEveryRow) {
    // 4 x 3 stored pixels, no trailing palette block, grey palette information.
    TPcxFixture F;
    F.XMax = 3;
    F.YMax = 2;
    F.BytesPerLine = 4;
    F.PaletteInfo = 2;
    for (int I = 0; I < 12; ++I) F.Data.push_back(static_cast<uint8_t>(I * 20 + 5));
    const auto Gray = Load(F.Bytes());
    ASSERT_EQ(Gray->Height(), 3);
    EXPECT_EQ(Gray->ScanLine(2)[3], 225); // the last byte of the file is a pixel
    EXPECT_EQ(Gray->PixelBGRA(3, 2) & 0xFFFFFF, 0xE1E1E1u);

    // With the block, the same pixels take their colours from it.
    F.Trailing.assign(769, 0);
    F.Trailing[0] = 12;
    F.Trailing[1 + 225 * 3] = 200; // red of entry 225
    EXPECT_EQ(Load(F.Bytes())->PixelBGRA(3, 2) & 0xFFFFFF, 0xC80000u);

    // A marker inside the header is not a palette: a 20-byte picture of 20 x 1.
    TPcxFixture Small;
    Small.XMax = 19;
    Small.BytesPerLine = 20;
    for (int I = 0; I < 20; ++I) Small.Data.push_back(12);
    EXPECT_EQ(Load(Small.Bytes())->ScanLine(0)[19], 12);
}

TEST(PcxReader, MissingRowsAreZero) {
    // 8 x 4, run-length: only the first row is present (a run of eight 7s).
    TPcxFixture F;
    F.Encoding = 1;
    F.XMax = 7;
    F.YMax = 3;
    F.BytesPerLine = 8;
    F.Data = {0xC8, 7};
    const auto Picture = Load(F.Bytes());
    ASSERT_EQ(Picture->Height(), 4);
    EXPECT_EQ(Picture->ScanLine(0)[7], 7);
    for (int Y = 1; Y < 4; ++Y)
        for (int X = 0; X < 8; ++X) EXPECT_EQ(Picture->ScanLine(Y)[X], 0) << X << "," << Y;

    // A stored file cut inside its second row.
    F.Encoding = 0;
    F.Data.assign(11, 9);
    const auto Stored = Load(F.Bytes());
    EXPECT_EQ(Stored->ScanLine(1)[2], 9);
    EXPECT_EQ(Stored->ScanLine(1)[3], 0);
    EXPECT_EQ(Stored->ScanLine(3)[7], 0);
}
