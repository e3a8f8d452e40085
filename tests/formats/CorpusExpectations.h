#pragma once
// What every shared corpus file is expected to give, in one table used by the
// reader tests and by the conformance program: the check, its tolerance, how
// alpha takes part, the message of a file that must be refused and the reason
// for every file that is not compared plainly with its reference. Also the
// adjustments that turn a reference into the picture the viewer shows.
// Nothing here depends on the readers or on gtest.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "TestPng.h"

namespace qvtest {

/// How alpha takes part in a comparison.
enum class TAlphaCheck {
    Ignore,            ///< colour only, everywhere
    Compare,           ///< colour and alpha, everywhere
    ColourWhereOpaque  ///< colour only where the reference's alpha is 255 (premultiplied or dropped alpha)
};

enum class TCorpusCheck {
    Compare,  ///< against the (adjusted) reference within Tolerance
    Fails,    ///< refused with Message
    Channels, ///< CMYK: against the conversion of the raw samples of <name>.channels.png
    RowEnds,  ///< as Compare, but each row's trailing run is the reference's (it leaves it unwritten)
    Source,   ///< no independent decoder reads it: against the corpus source picture it was made from
    Inverted, ///< the reference shows the 1-bit picture inverted
    Similar,  ///< the reference uses another colour formula: mean difference below Tolerance
    SizeOnly, ///< only the size is comparable (Why says why)
    Loads     ///< only required to load (Why says why)
};

struct TCorpusExpectation {
    TCorpusCheck Check = TCorpusCheck::Compare;
    int Tolerance = 0;
    TAlphaCheck Alpha = TAlphaCheck::Compare;
    std::string Message; ///< Fails: the exact message
    std::string Why;     ///< every check but a plain Compare: the reason
    std::string Source;  ///< Source: the file under <corpus>/sources/
};

/// The expectation for the corpus file <Format>/<Name>; Data (its bytes) decides
/// the rules that depend on the header (PNG gamma, depth and alpha).
TCorpusExpectation CorpusExpectation(const std::string& Format, const std::string& Name,
                                     const std::vector<uint8_t>& Data);

/// Whether a file of the corpus folder is a picture (not a palette companion).
bool IsCorpusPicture(const std::string& Format, const std::string& Name);

/// The reference brought to what this system shows of the file: the first GIF
/// image's rectangle, Targa 5-bit widening and row order. Other formats unchanged.
TRgbaImage AdjustedReference(const std::string& Format, const std::vector<uint8_t>& Data, TRgbaImage Reference);

/// Left, top, width and height of a GIF file's first image.
std::array<int, 4> GifFirstImageRect(const std::vector<uint8_t>& File);
/// The part R of Image (outside it: zero samples).
TRgbaImage Crop(const TRgbaImage& Image, const std::array<int, 4>& R);
/// The picture our CMYK conversion makes of raw samples (C, M, Y, K in R, G, B, A; 0 = no ink).
TRgbaImage FromInkChannels(const TRgbaImage& Channels);
/// Actual with each row's trailing run of equal pixels taken from Reference.
TRgbaImage WithReferenceRowEnds(TRgbaImage Actual, const TRgbaImage& Reference);
/// The top-left Width x Height of a source picture with colour cut to its top 6 bits.
TRgbaImage SixBitPart(const TRgbaImage& Source, int Width, int Height);
/// Colour samples turned to 255 - value.
TRgbaImage InvertedColour(TRgbaImage Image);

/// Empty when the sizes agree and no compared sample differs by more than
/// Tolerance; otherwise what differs.
std::string DifferenceOf(const TRgbaImage& Actual, const TRgbaImage& Reference, int Tolerance, TAlphaCheck Alpha);
/// Mean absolute colour difference (sizes must agree).
double MeanColourDifference(const TRgbaImage& A, const TRgbaImage& B);

} // namespace qvtest
