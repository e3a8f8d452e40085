// libFuzzer target for every decoder family. The first input byte picks the
// decoder, the next two its parameter and the output size; the rest is the
// compressed data (fuzz/DecoderInput.h). Buffers are exactly sized so that the
// sanitizers see any access outside them.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <zlib.h>

#include "fuzz/DecoderInput.h"
#include "imaging/decoders/ImageCompression.h"
#include "platform/Streams.h"

using namespace qv;
using namespace qvfuzz;

namespace {

std::unique_ptr<TDecoder> MakeDecoder(uint8_t Kind, uint8_t Parameter, TImageProperties& Properties,
                                      TStream& Stream) {
    switch (Kind % DecoderKinds) {
        case 0: return std::make_unique<TTargaRLEDecoder>(Parameter);
        case 1: return std::make_unique<TPackbitsRLEDecoder>();
        case 2: return std::make_unique<TPCXRLEDecoder>();
        case 3: return std::make_unique<TSGIRLEDecoder>(Parameter & 1 ? 16 : 8);
        case 4: return std::make_unique<TCUTRLEDecoder>();
        case 5: return std::make_unique<TPSPRLEDecoder>();
        case 6: return std::make_unique<TRLADecoder>();
        case 7: return std::make_unique<TTIFFLZWDecoder>();
        case 8: return std::make_unique<TGIFLZWDecoder>(Parameter % 12);
        case 9: return std::make_unique<TCCITTMHDecoder>(0, Parameter & 1, Parameter & 2, Parameter * 13u);
        case 10: return std::make_unique<TCCITTFax3Decoder>(0, Parameter & 1, false, Parameter * 13u);
        case 11: return std::make_unique<TLZ77Decoder>(Z_PARTIAL_FLUSH, Parameter & 1);
        case KindTIFFJPEG:
            SetTIFFJPEGProperties(Parameter, Properties);
            return std::make_unique<TTIFFJPEGDecoder>(Properties);
        case KindThunder: return std::make_unique<TThunderDecoder>(Parameter);
        default: return std::make_unique<TPCDDecoder>(Stream);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < DecoderHeaderSize) return 0;
    const uint8_t Kind = Data[0];
    const uint8_t Parameter = Data[1];
    const size_t OutputSize = static_cast<size_t>(Data[2]) * OutputUnit;
    std::vector<uint8_t> Input(Data + DecoderHeaderSize, Data + Size);
    std::vector<uint8_t> Output(OutputSize);
    TImageProperties Properties;
    TBytesStream Stream(Input.data(), static_cast<int64_t>(Input.size()));
    static bool Quiet = (SetWarningSink([](const std::string&, const std::string&) {}), true);
    (void)Quiet;
    try {
        auto Decoder = MakeDecoder(Kind, Parameter, Properties, Stream);
        Decoder->DecodeInit();
        if (Kind % DecoderKinds >= KindPCDPlanes) {
            std::vector<uint8_t> Luma(OutputSize), Chroma1(OutputSize / 2), Chroma2(OutputSize / 2);
            TPCDPlanes Planes{Luma.data(), Chroma1.data(), Chroma2.data(), Luma.size(), Chroma1.size(), Chroma2.size()};
            if (Kind % DecoderKinds == KindPCDPlanes) {
                static_cast<TPCDDecoder&>(*Decoder).DecodePlanes(Planes, PCDStride(Parameter), PCDRows(Parameter));
            } else {
                // The general entry point: the plane record travels as the source bytes.
                std::vector<uint8_t> Record(sizeof(Planes));
                std::memcpy(Record.data(), &Planes, sizeof(Planes));
                uint8_t* Source = Record.data();
                uint8_t* Dest = nullptr;
                Decoder->Decode(Source, Dest, PCDStride(Parameter), PCDRows(Parameter), Record.size(), 0);
            }
        } else {
            uint8_t* Source = Input.data();
            uint8_t* Dest = Output.data();
            Decoder->Decode(Source, Dest, static_cast<int32_t>(Input.size()), static_cast<int32_t>(OutputSize),
                            Input.size(), Output.size());
        }
        Decoder->DecodeEnd();
    } catch (const Exception&) {
    }
    return 0;
}
