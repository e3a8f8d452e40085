// The PNG reader from arbitrary bytes: loading either raises a qv::Exception
// or leaves a picture whose every pixel can be read.

#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzReader.h"
#include "imaging/formats/PNG.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    qvfuzz::LoadAndTouch<qv::TPNGGraphic>(Data, Size);
    return 0;
}
