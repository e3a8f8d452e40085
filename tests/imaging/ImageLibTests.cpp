#include "imaging/ImageLib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "TestSupport.h"
#include "imaging/ByteReader.h"

using namespace qv;

namespace {

using Bytes = std::vector<uint8_t>;

/// A minimal reader: "QVTI", width and height (16-bit little-endian), then
/// width x height RGB pixels, loaded through the shared loading helpers.
class TTinyGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TTinyGraphic)
public:
    bool CanLoadStream(TStream& Stream) const override {
        TByteReader Reader(Stream);
        return Reader.ReadU32BE() == 0x51565449;
    }

    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override {
        TImageGraphic::ReadImageProperties(Stream, ImageIndex);
        TByteReader Reader(Stream);
        if (Reader.Remaining() < 8 || Reader.ReadU32BE() != 0x51565449) return false;
        auto& P = ImageProperties();
        P.Width = Reader.ReadU16LE();
        P.Height = Reader.ReadU16LE();
        P.ColorScheme = TColorScheme::RGB;
        P.BitsPerSample = 8;
        P.SamplesPerPixel = 3;
        P.BitsPerPixel = 24;
        P.Compression = TCompressionScheme::None;
        return true;
    }

    void LoadFromStream(TStream& Stream) override {
        BeginLoadOrRaise(Stream, "TINY");
        TByteReader Reader(Stream);
        Reader.Skip(8);
        StartProgress(gesTransfering);
        ColorManager().SetSourceColorScheme(TColorScheme::RGB);
        ColorManager().SetTargetColorScheme(TColorScheme::BGR);
        SetupBitmap();
        Bytes Row(size_t{ImageProperties().Width} * 3);
        for (uint32_t Y = 0; Y < ImageProperties().Height; ++Y) {
            Reader.ReadExact(Row);
            ConvertRow(Row, static_cast<int>(Y));
            RowProgress(Y);
        }
        EndProgress();
    }
};

QV_DEFINE_GRAPHIC_CLASS(TTinyGraphic, TImageGraphic)

Bytes TinyFile(uint16_t Width, uint16_t Height) {
    Bytes File = {'Q', 'V', 'T', 'I', uint8_t(Width), uint8_t(Width >> 8), uint8_t(Height), uint8_t(Height >> 8)};
    for (int I = 0; I < Width * Height; ++I) File.insert(File.end(), {uint8_t(I), uint8_t(I + 1), uint8_t(I + 2)});
    return File;
}

struct TProgressRecord {
    TProgressStage Stage;
    int Percent;
    bool Redraw;
    TRect R;
    std::string Msg;
};

} // namespace

// --- TImageGraphic ----------------------------------------------------------------------------

TEST(ImageGraphic, BaseReadImagePropertiesResetsTheRecord) {
    TImageGraphic G;
    auto& P = G.ImageProperties();
    P.Width = 5;
    P.FileGamma = 2.5f;
    P.RowsPerStrip = {1, 2, 3};
    P.Options.Include(TImageOption::BigEndian);
    const Bytes Data = {1, 2, 3};
    TBytesStream Stream(Data.data(), 3);
    EXPECT_FALSE(G.ReadImageProperties(Stream, 0));
    EXPECT_TRUE(P.IsReset());
    EXPECT_FLOAT_EQ(P.FileGamma, 1.0f);
    EXPECT_EQ(P.Width, 0u);
    EXPECT_TRUE(P.RowsPerStrip.empty());
    EXPECT_FALSE(G.CanLoadStream(Stream));
}

TEST(ImageGraphic, AssignCopiesPropertiesOnlyFromReaders) {
    TTinyGraphic Source;
    const Bytes File = TinyFile(2, 2);
    TBytesStream Stream(File.data(), static_cast<int64_t>(File.size()));
    Source.LoadFromStream(Stream);

    TImageGraphic Target;
    Target.Assign(&Source);
    EXPECT_EQ(Target.ImageProperties(), Source.ImageProperties());
    EXPECT_EQ(Target.Width(), 2);
    EXPECT_EQ(Target.PixelBGRA(1, 1), Source.PixelBGRA(1, 1));

    TBitmap Plain;
    Plain.SetPixelFormat(pf24bit);
    Plain.SetSize(3, 1);
    Target.Assign(&Plain);
    EXPECT_EQ(Target.Width(), 3) << "the image is copied";
    EXPECT_EQ(Target.ImageProperties().Width, 2u) << "the properties stay as they were";
}

TEST(ImageGraphic, LoadingProtocolConvertsRowsAndReportsProgress) {
    const Bytes File = TinyFile(3, 3);
    Bytes Padded = {0xAA, 0xBB};
    Padded.insert(Padded.end(), File.begin(), File.end());
    TBytesStream Stream(Padded.data(), static_cast<int64_t>(Padded.size()));
    Stream.SetPosition(2);

    TTinyGraphic G;
    std::vector<TProgressRecord> Events;
    G.OnProgress = [&](TGraphic&, TProgressStage Stage, uint8_t Percent, bool Redraw, const TRect& R,
                       const std::string& Msg) { Events.push_back({Stage, Percent, Redraw, R, Msg}); };
    G.LoadFromStream(Stream);

    EXPECT_EQ(G.BasePosition(), 2);
    EXPECT_EQ(G.PixelFormat(), pf24bit);
    ASSERT_EQ(G.Width(), 3);
    // Pixel 4 (x 1, y 1) stored R=4, G=5, B=6; the bitmap reads back blue, green, red, alpha.
    EXPECT_EQ(G.PixelBGRA(1, 1) & 0xFFFFFF, 0x040506u);

    ASSERT_EQ(Events.size(), 5u);
    EXPECT_EQ(Events[0].Stage, psStarting);
    EXPECT_EQ(Events[0].Msg, "Transfering...");
    EXPECT_EQ(Events[0].R, Rect(0, 0, 3, 1));
    EXPECT_FALSE(Events[0].Redraw);
    // Row * 100 / 3 rounded to nearest: 0, 33, 67.
    EXPECT_EQ(Events[1].Percent, 0);
    EXPECT_EQ(Events[2].Percent, 33);
    EXPECT_EQ(Events[3].Percent, 67);
    EXPECT_TRUE(Events[3].Redraw);
    EXPECT_EQ(Events[3].R, Rect(0, 2, 3, 3)) << "the rectangle moves down a row at a time";
    EXPECT_EQ(Events[4].Stage, psEnding);
    EXPECT_EQ(Events[4].R, Rect(0, 3, 3, 4));
}

TEST(ImageGraphic, InvalidAndTruncatedFiles) {
    TTinyGraphic G;
    Bytes File = TinyFile(2, 2);
    File[0] = 'X';
    TBytesStream Bad(File.data(), static_cast<int64_t>(File.size()));
    try {
        G.LoadFromStream(Bad);
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& E) {
        EXPECT_EQ(E.Message(), "Cannot load image. Invalid or unexpected TINY image format.");
    }

    const Bytes Good = TinyFile(4, 4);
    for (size_t Length = 0; Length < Good.size(); ++Length) {
        TBytesStream Cut(Good.data(), static_cast<int64_t>(Length));
        EXPECT_THROW(G.LoadFromStream(Cut), Exception) << Length;
    }
}

TEST(ImageGraphic, CanLoadByClassKeepsThePosition) {
    const Bytes File = TinyFile(1, 1);
    TBytesStream Stream(File.data(), static_cast<int64_t>(File.size()));
    EXPECT_TRUE(TImageGraphic::CanLoadStream(TTinyGraphic::StaticClass(), Stream));
    EXPECT_EQ(Stream.Position(), 0);
    EXPECT_FALSE(TImageGraphic::CanLoadStream(TBitmap::StaticClass(), Stream)) << "not a reader class";
    EXPECT_FALSE(TImageGraphic::CanLoadStream(TImageGraphic::StaticClass(), Stream));

    TBytesStream Short(File.data(), 2);
    EXPECT_FALSE(TImageGraphic::CanLoadStream(TTinyGraphic::StaticClass(), Short)) << "too short for a signature";

    const std::string Path = qvtest::TempDir() + "/tiny.qvti";
    qvtest::WriteFileBytes(Path, File);
    EXPECT_TRUE(TImageGraphic::CanLoadFile(TTinyGraphic::StaticClass(), Path));
    EXPECT_TRUE(TTinyGraphic().CanLoadFile(Path));
    EXPECT_THROW(TImageGraphic::CanLoadFile(TTinyGraphic::StaticClass(), Path + ".missing"), EFOpenError);
}

TEST(ImageGraphic, EveryLoadStartsFromAResetColourManager) {
    const Bytes File = TinyFile(2, 2);
    auto Load = [&](TTinyGraphic& G) {
        TBytesStream Stream(File.data(), static_cast<int64_t>(File.size()));
        G.LoadFromStream(Stream);
        return std::vector<uint32_t>{G.PixelBGRA(0, 0), G.PixelBGRA(1, 0), G.PixelBGRA(0, 1), G.PixelBGRA(1, 1)};
    };
    TTinyGraphic Fresh;
    const auto Expected = Load(Fresh);
    // What a previous file may have left: gamma, swapped samples, other sample sizes and schemes.
    TTinyGraphic Used;
    Load(Used);
    TColorManager& Cm = Used.ColorManager();
    Cm.SetGammaCorrection(0.3f, 2.2f);
    Cm.TargetOptions.Include(TConversionOption::UseGamma);
    Cm.SourceOptions.Include(TConversionOption::ByteSwap);
    Cm.SetSourceBitsPerSample(16);
    Cm.SetTargetSamplesPerPixel(4);
    Cm.SetYCbCrParameters({0.2f}, 2, 1);
    EXPECT_EQ(Load(Used), Expected);
    EXPECT_EQ(Cm.GammaTable(), TColorManager().GammaTable());
    EXPECT_FALSE(Cm.TargetOptions.Contains(TConversionOption::UseGamma));
    EXPECT_FLOAT_EQ(Cm.YCbCrCoefficients()[0], 0.299f);
}

TEST(ImageGraphic, SetupBitmapRefusesOversizedHeaders) {
    TImageGraphic G;
    G.ImageProperties().Width = 0xFFFFFFFFu;
    G.ImageProperties().Height = 1;
    struct TOpen : TImageGraphic {
        using TImageGraphic::SetupBitmap;
    };
    EXPECT_THROW(static_cast<TOpen&>(G).SetupBitmap(), EInvalidGraphic);
}

// --- Shared routines --------------------------------------------------------------------------

TEST(SharedRoutines, ByteSwaps) {
    Bytes Words = {1, 2, 3, 4};
    SwapWordArray(Words.data(), 2);
    EXPECT_EQ(Words, (Bytes{2, 1, 4, 3}));
    Bytes Longs = {1, 2, 3, 4, 5, 6, 7, 8};
    SwapLongArray(Longs.data(), 2);
    EXPECT_EQ(Longs, (Bytes{4, 3, 2, 1, 8, 7, 6, 5}));
    static_assert(SwapLong(0x11223344u) == 0x44332211u);
    EXPECT_EQ(SwapLong(0xFF000080u), 0x800000FFu);
}

TEST(SharedRoutines, UndoHorizontalDifference) {
    Bytes Row = {10, 1, 1, 255};
    UndoHorizontalDifference(Row, 3);
    EXPECT_EQ(Row, (Bytes{10, 11, 12, 11}));
    Bytes One = {7};
    UndoHorizontalDifference(One, 0);
    EXPECT_EQ(One, Bytes{7});

    Bytes Rgb = {10, 20, 30, 1, 2, 3, 250, 250, 250};
    UndoHorizontalDifference(Rgb, 2, 3);
    EXPECT_EQ(Rgb, (Bytes{10, 20, 30, 11, 22, 33, 5, 16, 27}));
    Bytes Rgba = {1, 2, 3, 4, 1, 1, 1, 1};
    UndoHorizontalDifference(Rgba, 1, 4);
    EXPECT_EQ(Rgba, (Bytes{1, 2, 3, 4, 2, 3, 4, 5}));
    Bytes Two = {1, 2, 3, 4};
    UndoHorizontalDifference(Two, 3, 2); // two samples per pixel run byte-wise
    EXPECT_EQ(Two, (Bytes{1, 3, 6, 10}));
}

TEST(SharedRoutines, UndoHorizontalDifferenceStaysInsideTheRow) {
    // A pixel count beyond the row (a width the row was not sized for) stops at its end.
    for (uint32_t BytesPerPixel : {1u, 3u, 4u}) {
        Bytes Buffer(20, 1);
        const std::span<uint8_t> Row(Buffer.data(), 12);
        if (BytesPerPixel == 1) UndoHorizontalDifference(Row, 1000);
        if (BytesPerPixel == 3) UndoHorizontalDifference3(Row, 1000);
        if (BytesPerPixel == 4) UndoHorizontalDifference4(Row, 1000);
        for (size_t K = 0; K < 12; ++K) EXPECT_EQ(Buffer[K], K / BytesPerPixel + 1) << BytesPerPixel << " byte " << K;
        EXPECT_EQ(Bytes(Buffer.begin() + 12, Buffer.end()), Bytes(8, 1)) << "nothing after the row";
    }
    Bytes Short = {5, 6};
    UndoHorizontalDifference(Short, 7, 3); // shorter than one 3-byte pixel
    EXPECT_EQ(Short, (Bytes{5, 6}));
}

TEST(SharedRoutines, UndoHorizontalDifferencePerSample) {
    // Grey + alpha: stride 2 samples, at 8 bits.
    Bytes GreyAlpha = {10, 200, 5, 1, 250, 60, 9};
    UndoHorizontalDifference(GreyAlpha, 2, 8, false);
    EXPECT_EQ(GreyAlpha, (Bytes{10, 200, 15, 201, 9, 5, 9})) << "sums modulo 256; the partial pixel is left alone";

    // 16-bit RGB in both byte orders: words are summed with their carries, modulo 65536.
    const std::vector<uint16_t> Deltas = {0x00FF, 0x1000, 0xFFFF, 0x0001, 0x0100, 0x0002, 0x0001, 0xFFFF, 0x8000};
    const std::vector<uint16_t> Sums = {0x00FF, 0x1000, 0xFFFF, 0x0100, 0x1100, 0x0001, 0x0101, 0x10FF, 0x8001};
    for (bool BigEndian : {false, true}) {
        Bytes Row;
        for (uint16_t V : Deltas)
            Row.insert(Row.end(), BigEndian ? std::initializer_list<uint8_t>{uint8_t(V >> 8), uint8_t(V)}
                                            : std::initializer_list<uint8_t>{uint8_t(V), uint8_t(V >> 8)});
        Row.push_back(0x77); // an odd byte after the last word
        UndoHorizontalDifference(Row, 3, 16, BigEndian);
        for (size_t I = 0; I < Sums.size(); ++I) {
            const uint16_t Got = BigEndian ? uint16_t(Row[2 * I] << 8 | Row[2 * I + 1]) : uint16_t(Row[2 * I + 1] << 8 | Row[2 * I]);
            EXPECT_EQ(Got, Sums[I]) << (BigEndian ? "big" : "little") << "-endian word " << I;
        }
        EXPECT_EQ(Row.back(), 0x77);
    }
    Bytes Any = {1, 2};
    EXPECT_THROW(UndoHorizontalDifference(Any, 1, 4, false), EAssertionFailed);
}

TEST(SharedRoutines, Upsample2x2) {
    Bytes Plane(4 * 4, 0xEE); // stride 4, rows 0..3
    Plane[0] = 0;
    Plane[1] = 100;
    Plane[4] = 200;
    Plane[5] = 50;
    Upsample2x2(2, 2, 4, Plane.data());
    EXPECT_EQ(Plane, (Bytes{0, 50, 100, 100, 100, 88, 75, 75, 200, 125, 50, 50, 200, 125, 50, 50}));

    // A 3 x 3 plane with a wider stride; the columns beyond 2W stay untouched.
    Bytes Wide(6 * 7, 0xEE);
    const uint8_t Source[3][3] = {{0, 10, 20}, {30, 40, 50}, {60, 70, 80}};
    for (int R = 0; R < 3; ++R)
        for (int C = 0; C < 3; ++C) Wide[R * 7 + C] = Source[R][C];
    Upsample2x2(3, 3, 7, Wide.data());
    const uint8_t Expected[6][6] = {{0, 5, 10, 15, 20, 20},   {15, 20, 25, 30, 35, 35}, {30, 35, 40, 45, 50, 50},
                                    {45, 50, 55, 60, 65, 65}, {60, 65, 70, 75, 80, 80}, {60, 65, 70, 75, 80, 80}};
    for (int R = 0; R < 6; ++R) {
        for (int C = 0; C < 6; ++C) EXPECT_EQ(Wide[R * 7 + C], Expected[R][C]) << R << "," << C;
        EXPECT_EQ(Wide[R * 7 + 6], 0xEE);
    }
    EXPECT_THROW(Upsample2x2(3, 3, 5, Wide.data()), EAssertionFailed) << "stride below 2W";
}

TEST(SharedRoutines, RaiseInvalidGraphic) {
    try {
        RaiseInvalidGraphicFmt(gesInvalidImage, "PNG");
    } catch (const EInvalidGraphic& E) {
        EXPECT_EQ(E.Message(), "Cannot load image. Invalid or unexpected PNG image format.");
    }
    EXPECT_THROW(RaiseInvalidGraphic("x"), EInvalidGraphic);
}

// --- TFileFormatList --------------------------------------------------------------------------

namespace {

class TScratchA : public TBitmap {
    QV_DECLARE_GRAPHIC_CLASS(TScratchA)
};
QV_DEFINE_GRAPHIC_CLASS(TScratchA, TBitmap)

class TScratchB : public TBitmap {
    QV_DECLARE_GRAPHIC_CLASS(TScratchB)
};
QV_DEFINE_GRAPHIC_CLASS(TScratchB, TBitmap)

std::string PlatformDescription(const std::string& Extension) {
    for (const auto& E : TPicture::RegisteredFormats())
        if (E.Extension == Extension) return E.Description;
    return "<none>";
}

const TFormatKinds Raster{TFormatKind::Raster};

} // namespace

TEST(FileFormatList, RegistersIntoThePlatformRegistry) {
    TFileFormatList List;
    List.RegisterFileFormat("qxa", "Scratch A images", "", Raster, false, TScratchA::StaticClass());
    List.RegisterFileFormat("qxb", "", "", Raster, false, TScratchA::StaticClass());
    List.RegisterFileFormat("qxc", "", "Scratch C", TFormatKinds{TFormatKind::Raster, TFormatKind::MultiImage}, false,
                            TScratchA::StaticClass());
    List.RegisterFileFormat("", "ignored", "ignored", Raster, false, TScratchB::StaticClass());

    EXPECT_EQ(List.ClassCount(), 1);
    EXPECT_EQ(List.ExtensionCount(), 3);
    EXPECT_EQ(List.ClassEntry(0).Count, 3);
    EXPECT_EQ(List.ExtensionEntry(2).FormatTypes.Bits(), 12);
    EXPECT_EQ(PlatformDescription("qxb"), "Scratch A images") << "no description falls back to the class's";
    EXPECT_EQ(PlatformDescription("qxc"), "Scratch C");
    EXPECT_EQ(TPicture::GraphicFileMask(TScratchA::StaticClass()), "*.qxc;*.qxb;*.qxa");

    EXPECT_EQ(List.FindExtension("QXB"), 1);
    EXPECT_EQ(List.FindExtension("qXc"), 2);
    EXPECT_EQ(List.FindExtension(""), -1);
    EXPECT_EQ(List.FindExtension("qxd"), -1);
    EXPECT_EQ(List.FindGraphicClass(TScratchB::StaticClass()), -1);

    try {
        List.RegisterFileFormat("QXA", "", "", Raster, false, TScratchB::StaticClass());
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& E) {
        EXPECT_EQ(E.Message(), "Attempt to register QXA twice.");
    }
    EXPECT_EQ(List.ClassCount(), 1) << "a refused registration changes nothing";
    EXPECT_EQ(List.ExtensionCount(), 3);

    List.ClearFormats();
    EXPECT_EQ(List.ClassCount(), 0);
    EXPECT_EQ(TPicture::GraphicFileMask(TScratchA::StaticClass()), "");
}

TEST(FileFormatList, UnregisteringExtensionsThenTheClass) {
    TFileFormatList List;
    List.RegisterFileFormat("qrle", "Scratch bitmaps", "Scratch RLE", Raster, false, TScratchA::StaticClass());
    List.RegisterFileFormat("qdib", "", "Scratch DIB", Raster, false, TScratchA::StaticClass());

    List.UnregisterFileFormat("qrle", TScratchA::StaticClass());
    ASSERT_EQ(List.ClassCount(), 1);
    EXPECT_EQ(List.ClassEntry(0).Count, 1);
    EXPECT_EQ(List.FindExtension("qrle"), -1);
    EXPECT_EQ(TPicture::GraphicFileMask(TScratchA::StaticClass()), "*.qdib;*.qrle")
        << "the platform registry only drops whole classes";

    List.UnregisterFileFormat("qnone", TScratchA::StaticClass());
    EXPECT_EQ(List.ExtensionCount(), 1);

    List.UnregisterFileFormat("QDIB", TScratchA::StaticClass());
    EXPECT_EQ(List.ClassCount(), 0);
    EXPECT_EQ(List.ExtensionCount(), 0);
    EXPECT_EQ(TPicture::GraphicFileMask(TScratchA::StaticClass()), "");
}

TEST(FileFormatList, UnregisteringByClass) {
    TFileFormatList List;
    List.RegisterFileFormat("qa1", "A", "", Raster, false, TScratchA::StaticClass());
    List.RegisterFileFormat("qb1", "B", "", Raster, false, TScratchB::StaticClass());
    List.RegisterFileFormat("qa2", "", "", Raster, false, TScratchA::StaticClass());

    List.UnregisterFileFormat("", TScratchA::StaticClass());
    EXPECT_EQ(List.ClassCount(), 1);
    ASSERT_EQ(List.ExtensionCount(), 1);
    EXPECT_EQ(List.ExtensionEntry(0).Extension, "qb1");
    EXPECT_EQ(TPicture::GraphicFileMask(TScratchA::StaticClass()), "");
    EXPECT_EQ(TPicture::GraphicFileMask(TScratchB::StaticClass()), "*.qb1");

    EXPECT_THROW(List.UnregisterFileFormat("", TScratchA::StaticClass()), EListError)
        << "a class that is not registered";
}

TEST(FileFormatList, ReplacingMovesTheExtensionToTheNewClass) {
    TFileFormatList List;
    List.RegisterFileFormat("qr1", "A", "", Raster, false, TScratchA::StaticClass());
    List.RegisterFileFormat("qr1", "B", "", Raster, true, TScratchB::StaticClass());
    ASSERT_EQ(List.ClassCount(), 1) << "the old class lost its last extension";
    EXPECT_EQ(List.ClassEntry(0).GraphicClass, TScratchB::StaticClass());
    EXPECT_EQ(List.ExtensionEntry(0).ClassEntry->Description, "B");
    EXPECT_EQ(TPicture::FindGraphicClass("qr1"), TScratchB::StaticClass());

    List.RegisterFileFormat("qr1", "", "", Raster, true, TScratchB::StaticClass());
    EXPECT_EQ(List.ClassEntry(0).Count, 1) << "same class: the entry is unchanged";
    // The platform registry keeps the old class's registration; drop it so other tests see a clean mask.
    TPicture::UnregisterGraphicClass(TScratchA::StaticClass());
}
