#include "imaging/formats/EPS.h"

#include "imaging/ByteReader.h"

namespace qv {

QV_DEFINE_GRAPHIC_CLASS(TEPSGraphic, TTIFFGraphic)

namespace {

constexpr int64_t HeaderSize = 30;
constexpr uint32_t Signature = 0xC6D3D0C5;

struct TEPSHeader {
    uint32_t Signature = 0;
    int32_t TIFFOffset = 0;
    int32_t TIFFLength = 0;
};

TEPSHeader ReadHeader(TStream& Stream) {
    TByteReader Reader(Stream);
    TEPSHeader Header;
    Header.Signature = Reader.ReadU32LE();
    Reader.Skip(16); // PostScript and metafile sections
    Header.TIFFOffset = Reader.ReadI32LE();
    Header.TIFFLength = Reader.ReadI32LE();
    Reader.Skip(2); // checksum
    return Header;
}

} // namespace

bool TEPSGraphic::CanLoadStream(TStream& Stream) const {
    const int64_t Start = Stream.Position();
    bool Result = false;
    if (Stream.Size() - Start > HeaderSize) {
        const TEPSHeader Header = ReadHeader(Stream);
        Result = Header.Signature == Signature && Start + HeaderSize < Header.TIFFOffset && Header.TIFFLength > 0;
    }
    Stream.SetPosition(Start);
    return Result;
}

void TEPSGraphic::LoadFromStream(TStream& Stream) {
    const int64_t Start = Stream.Position();
    const TEPSHeader Header = ReadHeader(Stream);
    if (Header.Signature != Signature) RaiseInvalidGraphicFmt(gesInvalidImage, gesEPSFormat);
    // Offset 0 (no preview) is left to the TIFF reader, which then finds the header and refuses it;
    // an offset before the header's end or past the file's end points at no preview.
    const int64_t Offset = Header.TIFFOffset;
    if (Offset < 0 || (Offset > 0 && Offset < HeaderSize) || Offset >= Stream.Size() - Start)
        RaiseInvalidGraphicFmt(gesInvalidImage, gesEPSFormat);
    Stream.SetPosition(Start + Offset);
    TTIFFGraphic::LoadFromStream(Stream);
}

} // namespace qv
