#include "FormatTestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>

#include "TestSupport.h"
#include "display/Pix32.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

namespace fs = std::filesystem;

namespace qvtest {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr double SlowBuildFactor = 30;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr double SlowBuildFactor = 30;
#else
constexpr double SlowBuildFactor = 1;
#endif
#else
constexpr double SlowBuildFactor = 1;
#endif

/// What one load of damaged bytes gave: the exception's text, or the picture.
struct TOutcome {
    bool Failed = false;
    std::string Message;
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Pixels;
};

TOutcome LoadOnce(const TReaderFactory& Factory, const std::vector<uint8_t>& Data, const std::string& What) {
    TOutcome Outcome;
    const std::unique_ptr<qv::TGraphic> Reader = Factory();
    try {
        LoadInto(*Reader, Data);
    } catch (const qv::EAssertionFailed& E) {
        ADD_FAILURE() << What << ": assertion failure (a buffer of the wrong size): " << E.what();
        Outcome.Failed = true;
        return Outcome;
    } catch (const qv::Exception& E) {
        Outcome.Failed = true;
        Outcome.Message = E.what();
        return Outcome;
    } catch (const std::exception& E) {
        ADD_FAILURE() << What << ": not one of the readers' exceptions: " << E.what();
        Outcome.Failed = true;
        return Outcome;
    }
    const auto& Bitmap = dynamic_cast<const qv::TBitmap&>(*Reader);
    Outcome.Width = Bitmap.Width();
    Outcome.Height = Bitmap.Height();
    for (int Y = 0; Y < Outcome.Height; ++Y) {
        const uint8_t* Row = Bitmap.ScanLine(Y);
        Outcome.Pixels.insert(Outcome.Pixels.end(), Row, Row + Bitmap.RowBytes());
    }
    return Outcome;
}

void CheckLoad(const TReaderFactory& Factory, const std::vector<uint8_t>& Data, const std::string& What) {
    const double Cap = std::max(1.0, static_cast<double>(Data.size()) / 100000.0) * SlowBuildFactor;
    const auto Start = std::chrono::steady_clock::now();
    const TOutcome First = LoadOnce(Factory, Data, What);
    const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    EXPECT_LE(Seconds, Cap) << What << ": load took " << Seconds << " s";
    if (First.Failed) return;
    const TOutcome Second = LoadOnce(Factory, Data, What);
    EXPECT_FALSE(Second.Failed) << What << ": second load failed: " << Second.Message;
    EXPECT_TRUE(First.Width == Second.Width && First.Height == Second.Height && First.Pixels == Second.Pixels)
        << What << ": two loads of the same bytes gave different pictures";
}

} // namespace

TRgbaImage BitmapToRgba(const qv::TBitmap& Bitmap) {
    qv::TBitmap Copy;
    Copy.Assign(&Bitmap);
    qv::Ensure32Bit(Copy);
    TRgbaImage Image;
    Image.Width = Copy.Width();
    Image.Height = Copy.Height();
    Image.Pixels.resize(size_t(Image.Width) * size_t(Image.Height) * 4);
    for (int Y = 0; Y < Image.Height; ++Y) {
        const uint8_t* Row = Copy.ScanLine(Y);
        uint8_t* Out = &Image.Pixels[size_t(Y) * size_t(Image.Width) * 4];
        for (int X = 0; X < Image.Width; ++X, Row += 4, Out += 4) {
            Out[0] = Row[2];
            Out[1] = Row[1];
            Out[2] = Row[0];
            Out[3] = Row[3];
        }
    }
    return Image;
}

void LoadInto(qv::TGraphic& Reader, const std::vector<uint8_t>& Data) {
    qv::TMemoryStream Stream(Data);
    Reader.LoadFromStream(Stream);
}

std::string LoadMessage(const TReaderFactory& Factory, const std::vector<uint8_t>& Data,
                        const std::string& IfLoaded) {
    try {
        const std::unique_ptr<qv::TGraphic> Reader = Factory();
        LoadInto(*Reader, Data);
    } catch (const qv::Exception& E) {
        return E.what();
    }
    return IfLoaded;
}

TRgbaImage LoadAsRgba(const TReaderFactory& Factory, const std::vector<uint8_t>& Data) {
    const std::unique_ptr<qv::TGraphic> Reader = Factory();
    LoadInto(*Reader, Data);
    return BitmapToRgba(dynamic_cast<const qv::TBitmap&>(*Reader));
}

std::vector<std::string> CorpusFiles(const std::string& Format) {
    std::vector<std::string> Files;
    const std::string Corpus = CorpusDir();
    if (Corpus.empty()) return Files;
    const fs::path Dir = fs::path(Corpus) / "files" / Format;
    if (!fs::is_directory(Dir)) return Files;
    for (const auto& Entry : fs::directory_iterator(Dir))
        if (Entry.is_regular_file()) Files.push_back(Entry.path().string());
    std::sort(Files.begin(), Files.end());
    return Files;
}

std::string BaseName(const std::string& Path) { return fs::path(Path).filename().string(); }

std::string ReferenceFor(const std::string& File, const std::string& Suffix) {
    const fs::path Path(File);
    const fs::path Ref =
        fs::path(CorpusDir()) / "ref" / Path.parent_path().filename() / (Path.filename().string() + Suffix);
    return fs::is_regular_file(Ref) ? Ref.string() : std::string();
}

::testing::AssertionResult SameRgba(const TRgbaImage& Actual, const TRgbaImage& Reference, int Tolerance,
                                    TAlphaCheck Alpha) {
    const std::string Difference = DifferenceOf(Actual, Reference, Tolerance, Alpha);
    if (Difference.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << Difference;
}

TCorpusExpectation ExpectationFor(const std::string& File, const std::vector<uint8_t>& Data) {
    const std::filesystem::path Path(File);
    return CorpusExpectation(Path.parent_path().filename().string(), Path.filename().string(), Data);
}

void SweepDamaged(const TReaderFactory& Factory, const std::vector<uint8_t>& Data, const std::string& Name,
                  int Cuts, int Flips) {
    std::vector<size_t> Lengths;
    for (size_t L : {size_t{0}, size_t{1}, size_t{2}, size_t{4}, size_t{8}, size_t{17}, size_t{64}})
        if (L < Data.size()) Lengths.push_back(L);
    for (int K = 1; K <= Cuts; ++K) Lengths.push_back(Data.size() * size_t(K) / size_t(Cuts + 1));
    Lengths.push_back(Data.size() > 0 ? Data.size() - 1 : 0);
    std::sort(Lengths.begin(), Lengths.end());
    Lengths.erase(std::unique(Lengths.begin(), Lengths.end()), Lengths.end());
    for (size_t L : Lengths) {
        const std::vector<uint8_t> Cut(Data.begin(), Data.begin() + static_cast<ptrdiff_t>(L));
        CheckLoad(Factory, Cut, Name + " cut at " + std::to_string(L));
    }
    if (Data.empty()) return;
    std::mt19937 Random(0x51u ^ static_cast<unsigned>(Data.size()));
    for (int K = 0; K < Flips; ++K) {
        std::vector<uint8_t> Copy = Data;
        // Headers are where the sizes live: half the changes land in the first 512 bytes.
        const size_t Span = K % 2 == 0 ? std::min<size_t>(Data.size(), 512) : Data.size();
        const int Changes = 1 + K % 4;
        std::ostringstream What;
        What << Name << " flip " << K << " at";
        for (int C = 0; C < Changes; ++C) {
            const size_t At = Random() % Span;
            Copy[At] = static_cast<uint8_t>(K % 3 == 0 ? Copy[At] ^ 0xFF : Random());
            What << " " << At;
        }
        CheckLoad(Factory, Copy, What.str());
    }
}

} // namespace qvtest
