#pragma once
// The body every reader's fuzz target shares: load the bytes with a fresh
// reader object; loading either raises a qv::Exception (never the assertion
// failure, which marks a programming error) or leaves a picture whose every
// pixel can be read (of very large pictures the edge rows).

#include <cstddef>
#include <cstdint>

#include "platform/Exceptions.h"
#include "platform/Graphics.h"
#include "platform/Streams.h"

namespace qvfuzz {

// Keeps one input fast: a few bytes of run-length data can describe a large blank picture.
constexpr int64_t MaxTouchedPixels = int64_t{1} << 22;

inline uint32_t Checksum(const qv::TBitmap& Bitmap) {
    uint32_t Sum = 0;
    const bool Whole = int64_t{Bitmap.Width()} * Bitmap.Height() <= MaxTouchedPixels;
    for (int Y = 0; Y < Bitmap.Height(); Y = (Whole || Y + 1 == Bitmap.Height()) ? Y + 1 : Bitmap.Height() - 1)
        for (int X = 0; X < Bitmap.Width(); ++X) Sum += Bitmap.PixelBGRA(X, Y);
    return Sum;
}

/// Loads Data with a new TReader and reads back its picture.
template <typename TReader>
void LoadAndTouch(const uint8_t* Data, size_t Size) {
    qv::TBytesStream Stream(Data, static_cast<int64_t>(Size));
    TReader Reader;
    try {
        Reader.LoadFromStream(Stream);
    } catch (const qv::EAssertionFailed&) {
        // A reader that breaks a routine's precondition has a fault, whatever the input: let it
        // reach libFuzzer (and the replay test) as a finding.
        throw;
    } catch (const qv::Exception&) {
        return;
    }
    volatile uint32_t Sum = Checksum(Reader);
    (void)Sum;
}

} // namespace qvfuzz
