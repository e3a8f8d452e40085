// Dr. Halo CUT pictures from arbitrary bytes: loading either raises a
// qv::Exception or leaves a picture whose every pixel can be read. A stream
// has no file name, so no palette file is found and the gray palette is used.

#include <cstddef>
#include <cstdint>

#include "FuzzReader.h"
#include "imaging/formats/CUT.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    qvfuzz::LoadAndTouch<qv::TCUTGraphic>(Data, Size);
    return 0;
}
