#pragma once
// What every reader test shares: loading through a fresh reader object, the
// picture brought to 8-bit RGBA exactly as the image view brings it to 32 bits,
// the shared corpus of each format with its references, pixel comparison with
// a tolerance, and the sweep over cut and byte-flipped copies of a file.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestPng.h"
#include "formats/CorpusExpectations.h"
#include "platform/Graphics.h"

namespace qvtest {

/// Makes a fresh reader object.
using TReaderFactory = std::function<std::unique_ptr<qv::TGraphic>()>;

template <typename TReader>
TReaderFactory ReaderOf() {
    return [] { return std::make_unique<TReader>(); };
}

/// A copy of the picture brought to 32 bits (Ensure32Bit), as RGBA rows top-down.
TRgbaImage BitmapToRgba(const qv::TBitmap& Bitmap);
/// Loads Data with Reader (which must be a TBitmap) from a memory stream.
void LoadInto(qv::TGraphic& Reader, const std::vector<uint8_t>& Data);
/// The message of the qv::Exception a load of Data with a fresh reader raises,
/// or IfLoaded when it loads.
std::string LoadMessage(const TReaderFactory& Factory, const std::vector<uint8_t>& Data,
                        const std::string& IfLoaded = "");
/// Loads Data with a fresh reader and answers the picture as RGBA.
TRgbaImage LoadAsRgba(const TReaderFactory& Factory, const std::vector<uint8_t>& Data);

/// Paths of every file in <corpus>/files/<Format>/, sorted; empty without the corpus.
std::vector<std::string> CorpusFiles(const std::string& Format);
/// The file name without its folder.
std::string BaseName(const std::string& Path);
/// <corpus>/ref/<format>/<name>.png (Suffix ".channels.png" for raw CMYK samples); empty when absent.
std::string ReferenceFor(const std::string& File, const std::string& Suffix = ".png");

/// The expectation of a corpus file (by its folder and name), from the shared table.
TCorpusExpectation ExpectationFor(const std::string& File, const std::vector<uint8_t>& Data);

/// Compares two pictures sample by sample: success when the sizes agree and no
/// compared sample differs by more than Tolerance; the message names the first
/// differing pixel, the largest difference and how many pixels exceed it.
::testing::AssertionResult SameRgba(const TRgbaImage& Actual, const TRgbaImage& Reference, int Tolerance,
                                    TAlphaCheck Alpha);

/// Cuts Data at Cuts lengths (short prefixes first, then spread over the file)
/// and loads Flips copies with a few bytes changed (fixed seed). Every load must
/// end within the time cap in a clean qv::Exception other than an assertion, or
/// give a picture that a second load of the same bytes reproduces exactly.
void SweepDamaged(const TReaderFactory& Factory, const std::vector<uint8_t>& Data, const std::string& Name,
                  int Cuts = 16, int Flips = 16);

} // namespace qvtest
