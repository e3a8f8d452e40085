// GIF files from arbitrary bytes through the GIF reader.

#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzReader.h"
#include "imaging/formats/GIF.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    qvfuzz::LoadAndTouch<qv::TGIFGraphic>(Data, Size);
    return 0;
}
