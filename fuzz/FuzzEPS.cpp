// Encapsulated PostScript files from arbitrary bytes: a load raises a clean exception or leaves a picture whose
// every pixel can be read.

#include "fuzz/FuzzReader.h"
#include "imaging/formats/EPS.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    qvfuzz::LoadAndTouch<qv::TEPSGraphic>(Data, Size);
    return 0;
}
