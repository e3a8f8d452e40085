// Portable maps from arbitrary bytes: loading either raises a qv::Exception or
// leaves a picture whose every pixel can be read.

#include <cstddef>
#include <cstdint>

#include "FuzzReader.h"
#include "imaging/formats/PPM.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    qvfuzz::LoadAndTouch<qv::TPPMGraphic>(Data, Size);
    return 0;
}
