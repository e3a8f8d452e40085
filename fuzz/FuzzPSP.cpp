// The Paintshop Pro reader from arbitrary bytes: loading either raises a
// qv::Exception or leaves a picture whose every pixel can be read.

#include <cstddef>
#include <cstdint>

#include "FuzzReader.h"
#include "imaging/formats/PSP.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    qvfuzz::LoadAndTouch<qv::TPSPGraphic>(Data, Size);
    return 0;
}
