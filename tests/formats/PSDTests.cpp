#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/formats/PSD.h"
#include "platform/Exceptions.h"

using namespace qv;
using namespace qvtest;
using Bytes = std::vector<uint8_t>;

namespace {

// --- A small Photoshop writer for what the corpus lacks --------------------------------------

struct TPSDFile {
    uint16_t Version = 1;
    uint16_t Channels = 1;
    uint32_t Width = 4;
    uint32_t Height = 2;
    uint16_t Depth = 8;
    uint16_t Mode = 1;            // grey
    Bytes ColorData{};            // palette or duotone settings
    uint16_t Compression = 0;     // 0 raw, 1 PackBits, 2 ZIP
    std::vector<Bytes> Planes{};  // one per channel, rows of (Width * Depth + 7) / 8 bytes
};

void Put16(Bytes& B, uint32_t V) {
    B.push_back(static_cast<uint8_t>(V >> 8));
    B.push_back(static_cast<uint8_t>(V));
}
void Put32(Bytes& B, uint32_t V) {
    Put16(B, V >> 16);
    Put16(B, V & 0xFFFF);
}

Bytes WritePSD(const TPSDFile& F) {
    Bytes B = {'8', 'B', 'P', 'S'};
    Put16(B, F.Version);
    B.insert(B.end(), 6, 0);                // reserved
    Put16(B, F.Channels);
    Put32(B, F.Height);
    Put32(B, F.Width);
    Put16(B, F.Depth);
    Put16(B, F.Mode);
    Put32(B, static_cast<uint32_t>(F.ColorData.size()));
    B.insert(B.end(), F.ColorData.begin(), F.ColorData.end());
    Put32(B, 0);                            // image resources
    Put32(B, 0);                            // layer and mask information
    Put16(B, F.Compression);
    const size_t RowBytes = (size_t(F.Width) * F.Depth + 7) / 8;
    if (F.Compression != 1) {
        for (const Bytes& Plane : F.Planes) B.insert(B.end(), Plane.begin(), Plane.end());
        return B;
    }
    // PackBits rows as literal packets of at most 128 bytes, after the table of their sizes.
    std::vector<Bytes> Rows;
    for (const Bytes& Plane : F.Planes)
        for (size_t Row = 0; Row * RowBytes < Plane.size(); ++Row) {
            Bytes Packed;
            for (size_t X = 0; X < RowBytes; X += 128) {
                const size_t N = std::min<size_t>(128, RowBytes - X);
                Packed.push_back(static_cast<uint8_t>(N - 1));
                Packed.insert(Packed.end(), Plane.begin() + long(Row * RowBytes + X), Plane.begin() + long(Row * RowBytes + X + N));
            }
            Rows.push_back(Packed);
        }
    for (const Bytes& Row : Rows) Put16(B, static_cast<uint32_t>(Row.size()));
    for (const Bytes& Row : Rows) B.insert(B.end(), Row.begin(), Row.end());
    return B;
}

Bytes Ramp(size_t Size, int Step, int Start = 0) {
    Bytes Plane(Size);
    for (size_t I = 0; I < Size; ++I) Plane[I] = static_cast<uint8_t>(Start + int(I) * Step);
    return Plane;
}

/// Every sample v as a big-endian 16-bit sample v × 257.
Bytes Widen(const Bytes& Plane) {
    Bytes Wide;
    for (uint8_t V : Plane) Wide.insert(Wide.end(), {V, V});
    return Wide;
}

TRgbaImage Load(const Bytes& Data) { return LoadAsRgba(ReaderOf<TPSDGraphic>(), Data); }

std::string LoadError(const Bytes& Data) { return LoadMessage(ReaderOf<TPSDGraphic>(), Data, "(loaded)"); }

} // namespace

TEST(PSDCorpus, EveryFileAsItsReferenceShowsIt) {
    QV_REQUIRE_CORPUS();
    const auto Files = CorpusFiles("psd");
    ASSERT_FALSE(Files.empty());
    for (const std::string& File : Files) {
        const std::string Name = BaseName(File);
        SCOPED_TRACE(Name);
        const Bytes Data = ReadFileBytes(File);
        const TCorpusExpectation Expect = ExpectationFor(File, Data);
        TRgbaImage Actual;
        ASSERT_NO_THROW(Actual = Load(Data));
        const TRgbaImage Reference = ReadPng(ReferenceFor(File));
        switch (Expect.Check) {
        case TCorpusCheck::Compare: EXPECT_TRUE(SameRgba(Actual, Reference, Expect.Tolerance, Expect.Alpha)); break;
        case TCorpusCheck::Channels:
            EXPECT_TRUE(SameRgba(Actual, FromInkChannels(ReadPng(ReferenceFor(File, ".channels.png"))), Expect.Tolerance,
                                 Expect.Alpha));
            break;
        case TCorpusCheck::SizeOnly:
            EXPECT_EQ(Actual.Width, Reference.Width);
            EXPECT_EQ(Actual.Height, Reference.Height);
            break;
        default: ADD_FAILURE() << "no Photoshop check for this expectation"; break;
        }
        // The largest file is swept less, so that the sanitizer build stays quick.
        const int Cuts = Data.size() > 500000 ? 3 : 12;
        SweepDamaged(ReaderOf<TPSDGraphic>(), Data, Name, Cuts, Cuts);
    }
}

TEST(PSDFixtures, LayoutsTheCorpusLacks) {
    // Raw bitmap rows are (width + 7) / 8 bytes, 1 = black; PackBits rows decode the same.
    TPSDFile Bitmap{.Channels = 1, .Width = 10, .Height = 2, .Depth = 1, .Mode = 0, .Planes = {{0xA0, 0x40, 0x01, 0xFF}}};
    const TRgbaImage Bits = Load(WritePSD(Bitmap));
    for (int X = 0; X < 10; ++X) {
        const bool Black = X == 0 || X == 2 || X == 9;
        EXPECT_EQ(Bits.At(X, 0)[0], Black ? 0 : 255) << X;
    }
    EXPECT_EQ(Bits.At(7, 1)[0], 0);
    Bitmap.Compression = 1;
    EXPECT_TRUE(SameRgba(Load(WritePSD(Bitmap)), Bits, 0, TAlphaCheck::Compare));

    // 16-bit CMYK (byte order) and 16-bit Lab (high bytes) show as their 8-bit twins.
    const size_t Pixels = 4 * 2;
    TPSDFile Cmyk{.Channels = 4, .Mode = 4, .Planes = {Ramp(Pixels, 31), Ramp(Pixels, 17, 40), Ramp(Pixels, 7, 200), Ramp(Pixels, 3)}};
    TPSDFile Lab{.Channels = 3, .Mode = 9, .Planes = {Ramp(Pixels, 30), Ramp(Pixels, 9, 100), Ramp(Pixels, 13, 60)}};
    for (TPSDFile* Narrow : {&Cmyk, &Lab}) {
        TPSDFile Wide = *Narrow;
        Wide.Depth = 16;
        for (Bytes& Plane : Wide.Planes) Plane = Widen(Plane);
        EXPECT_TRUE(SameRgba(Load(WritePSD(Wide)), Load(WritePSD(*Narrow)), Narrow == &Cmyk ? 1 : 0, TAlphaCheck::Compare))
            << "mode " << Narrow->Mode;
    }

    // Extra channels of one-sample pictures are ignored; duotone settings are skipped by their length.
    const Bytes Grey = Ramp(Pixels, 29);
    const TRgbaImage Plain = Load(WritePSD(TPSDFile{.Planes = {Grey}}));
    EXPECT_TRUE(SameRgba(Load(WritePSD(TPSDFile{.Channels = 2, .Planes = {Grey, Bytes(Pixels, 9)}})), Plain, 0,
                         TAlphaCheck::Compare));
    EXPECT_TRUE(SameRgba(Load(WritePSD(TPSDFile{.Mode = 8, .ColorData = Bytes(30, 7), .Planes = {Grey}})), Plain, 0,
                         TAlphaCheck::Compare));
    Bitmap.Channels = 2;
    Bitmap.Planes.push_back(Bytes(4, 0x55));
    EXPECT_TRUE(SameRgba(Load(WritePSD(Bitmap)), Bits, 0, TAlphaCheck::Compare));

    // A colour table longer than 768 bytes: red, green and blue planes of 256, the rest skipped.
    Bytes Table(1000, 0x77);
    for (int I = 0; I < 256; ++I) {
        Table[size_t(I)] = uint8_t(I);
        Table[256 + size_t(I)] = uint8_t(255 - I);
        Table[512 + size_t(I)] = uint8_t(I / 2);
    }
    const TRgbaImage Indexed = Load(WritePSD(
        TPSDFile{.Channels = 2, .Width = 4, .Height = 1, .Mode = 2, .ColorData = Table, .Planes = {{0, 1, 100, 255}, {5, 5, 5, 5}}}));
    for (int X = 0; X < 4; ++X) {
        const int I = std::array{0, 1, 100, 255}[size_t(X)];
        EXPECT_EQ(Indexed.At(X, 0)[0], I);
        EXPECT_EQ(Indexed.At(X, 0)[1], 255 - I);
        EXPECT_EQ(Indexed.At(X, 0)[2], I / 2);
    }
}

TEST(PSDFixtures, WhatCannotBeShownRaisesItsMessage) {
    const std::string Invalid = "Cannot load image. Invalid or unexpected PSD or PDD image format.";
    const Bytes Rgb = Ramp(8, 5);
    // A 100-byte file that claims 16384 x 16384 pixels in 56 channels.
    auto Huge = [](uint16_t Compression) {
        Bytes Data = WritePSD(TPSDFile{.Channels = 56, .Width = 16384, .Height = 16384, .Mode = 3, .Compression = Compression});
        Data.resize(100, 0);
        return Data;
    };
    Bytes Truncated = WritePSD(TPSDFile{.Channels = 3, .Mode = 3, .Compression = 1, .Planes = {Rgb, Rgb, Rgb}});
    Truncated.resize(Truncated.size() - 3);
    const struct {
        const char* What;
        Bytes Data;
        std::string Message;
    } Cases[] = {
        {"RGB with two channels", WritePSD(TPSDFile{.Channels = 2, .Mode = 3, .Planes = {Rgb, Rgb}}), Invalid},
        {"multichannel with two channels", WritePSD(TPSDFile{.Channels = 2, .Mode = 7, .Planes = {Rgb, Rgb}}), Invalid},
        {"ZIP data", WritePSD(TPSDFile{.Compression = 2, .Planes = {Rgb}}), Invalid},
        {"ZIP data with prediction", WritePSD(TPSDFile{.Compression = 3, .Planes = {Rgb}}), Invalid},
        {"large document", WritePSD(TPSDFile{.Version = 2, .Planes = {Rgb}}), Invalid},
        {"huge raw claim", Huge(0), "Stream read error"},
        {"huge PackBits claim", Huge(1), "Stream read error"},
        {"truncated PackBits rows", Truncated, "Stream read error"},
        {"32-bit samples", WritePSD(TPSDFile{.Depth = 32, .Planes = {Bytes(32, 1)}}),
         "Color depth is invalid. Bits per sample must be 1, 2, 4, 8 or 16."},
        {"colour mode 5", WritePSD(TPSDFile{.Mode = 5, .Planes = {Rgb}}), "Color conversion failed. Could not find a proper method."},
    };
    for (const auto& Case : Cases) {
        const auto Start = std::chrono::steady_clock::now();
        EXPECT_EQ(LoadError(Case.Data), Case.Message) << Case.What;
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count(), 1.0) << Case.What;
    }
}
