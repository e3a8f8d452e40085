// TIFF files and EPS files with a TIFF preview from arbitrary bytes: loading
// either raises or leaves a picture whose every pixel can be read.

#include <cstddef>
#include <cstdint>

#include "FuzzReader.h"
#include "imaging/formats/EPS.h"
#include "imaging/formats/TIFF.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    // The EPS signature picks the EPS reader, so files of both kinds seed one target.
    const bool EPS = Size >= 4 && Data[0] == 0xC5 && Data[1] == 0xD0 && Data[2] == 0xD3 && Data[3] == 0xC6;
    if (EPS)
        qvfuzz::LoadAndTouch<qv::TEPSGraphic>(Data, Size);
    else
        qvfuzz::LoadAndTouch<qv::TTIFFGraphic>(Data, Size);
    return 0;
}
