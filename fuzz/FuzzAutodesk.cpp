// Autodesk cels and pictures from arbitrary bytes: loading either raises a qv::Exception or
// leaves a picture whose every pixel can be read.

#include <cstddef>
#include <cstdint>

#include "FuzzReader.h"
#include "imaging/formats/Autodesk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    qvfuzz::LoadAndTouch<qv::TAutodeskGraphic>(Data, Size);
    return 0;
}
