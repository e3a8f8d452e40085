// Targa files from arbitrary bytes through the Targa reader; a picture that loaded
// is written again, and the written file must load to the same size.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/FuzzReader.h"
#include "imaging/formats/Targa.h"

namespace {

// Keeps one input fast: writing encodes every pixel.
constexpr int64_t MaxWrittenPixels = int64_t{1} << 20;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    qv::TBytesStream Stream(Data, static_cast<int64_t>(Size));
    qv::TTargaGraphic Reader;
    try {
        Reader.LoadFromStream(Stream);
    } catch (const qv::EAssertionFailed&) {
        throw; // a broken precondition is a fault whatever the input
    } catch (const qv::Exception&) {
        return 0;
    }
    volatile uint32_t Sum = qvfuzz::Checksum(Reader);
    (void)Sum;
    // An empty picture writes nothing.
    if (Reader.Empty() || int64_t{Reader.Width()} * Reader.Height() > MaxWrittenPixels) return 0;
    qv::TMemoryStream Written;
    Reader.SaveToStream(Written);
    Written.SetPosition(0);
    qv::TTargaGraphic Again;
    Again.LoadFromStream(Written);
    if (Again.Width() != Reader.Width() || Again.Height() != Reader.Height()) std::abort();
    return 0;
}
