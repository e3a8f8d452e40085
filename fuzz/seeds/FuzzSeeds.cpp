// Seeds built in code for the fuzz targets; see FuzzSeeds.h.

#include "fuzz/seeds/FuzzSeeds.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <stdexcept>

#include <jpeglib.h>
#include <zlib.h>

#include "display/Pix32.h"
#include "display/PixEffect.h"
#include "document/MQDoc.h"
#include "fuzz/DecoderInput.h"
#include "platform/Streams.h"

namespace qvfuzz {

namespace {

void PutU16LE(std::vector<uint8_t>& Out, uint32_t Value) {
    Out.push_back(static_cast<uint8_t>(Value));
    Out.push_back(static_cast<uint8_t>(Value >> 8));
}

void PutU32LE(std::vector<uint8_t>& Out, uint32_t Value) {
    PutU16LE(Out, Value & 0xFFFF);
    PutU16LE(Out, Value >> 16);
}

void PutU32BE(std::vector<uint8_t>& Out, uint32_t Value) {
    for (int Shift = 24; Shift >= 0; Shift -= 8) Out.push_back(static_cast<uint8_t>(Value >> Shift));
}

/// A FuzzDecoders input: kind, parameter, output size in units, then the data.
TSeed DecoderSeed(std::string Name, uint8_t Kind, uint8_t Parameter, size_t OutputBytes,
                  const std::vector<uint8_t>& Data) {
    const size_t Units = (OutputBytes + OutputUnit - 1) / OutputUnit;
    if (Units > 255) throw std::logic_error("decoder seed output too large: " + Name);
    TSeed Seed{std::move(Name), {Kind, Parameter, static_cast<uint8_t>(Units)}};
    Seed.Bytes.insert(Seed.Bytes.end(), Data.begin(), Data.end());
    return Seed;
}

// A picture with edges, gradients and colour, so that every coefficient path has work.
uint8_t PatternSample(int X, int Y, int Channel) {
    const int Value = Channel == 0 ? X * 9 + Y * 3 : Channel == 1 ? (X ^ Y) * 17 : ((X / 4 + Y / 4) % 2) * 200 + Y;
    return static_cast<uint8_t>(Value);
}

// ---------------------------------------------------------------------------
// JPEG strips

struct TJpegOptions {
    int Quality = 75;
    bool Progressive = false;
    int RestartRows = 0;
    bool Optimize = false;
};

std::vector<uint8_t> CompressJpeg(int Width, int Height, const TJpegOptions& Options) {
    jpeg_compress_struct Info{};
    jpeg_error_mgr Error{};
    Info.err = jpeg_std_error(&Error);
    jpeg_create_compress(&Info);
    unsigned char* Buffer = nullptr;
    unsigned long BufferSize = 0;
    jpeg_mem_dest(&Info, &Buffer, &BufferSize);
    Info.image_width = static_cast<JDIMENSION>(Width);
    Info.image_height = static_cast<JDIMENSION>(Height);
    Info.input_components = 3;
    Info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&Info); // YCbCr, luma sampled 2 x 2, chroma 1 x 1: what the strip check wants
    jpeg_set_quality(&Info, Options.Quality, TRUE);
    if (Options.Progressive) jpeg_simple_progression(&Info);
    Info.restart_in_rows = Options.RestartRows;
    Info.optimize_coding = Options.Optimize ? TRUE : FALSE;
    jpeg_start_compress(&Info, TRUE);
    std::vector<uint8_t> Row(static_cast<size_t>(Width) * 3);
    while (Info.next_scanline < Info.image_height) {
        const int Y = static_cast<int>(Info.next_scanline);
        for (int X = 0; X < Width; ++X)
            for (int C = 0; C < 3; ++C) Row[static_cast<size_t>(X) * 3 + C] = PatternSample(X, Y, C);
        JSAMPROW Rows[1] = {Row.data()};
        jpeg_write_scanlines(&Info, Rows, 1);
    }
    jpeg_finish_compress(&Info);
    std::vector<uint8_t> Result(Buffer, Buffer + BufferSize);
    jpeg_destroy_compress(&Info);
    std::free(Buffer);
    return Result;
}

// The smallest output (a whole number of BGR scanlines, at most 255 units) that holds every row.
size_t StripOutputBytes(int Width, int Height) {
    const size_t Line = static_cast<size_t>(Width) * 3;
    for (size_t Units = 1; Units <= 255; ++Units)
        if ((Units * OutputUnit) % Line == 0 && Units * OutputUnit >= Line * static_cast<size_t>(Height))
            return Units * OutputUnit;
    throw std::logic_error("no output size holds the strip");
}

// ---------------------------------------------------------------------------
// Photo-CD residuals

class TBitWriter {
public:
    void Put(uint32_t Value, int Count) {
        for (int Bit = Count - 1; Bit >= 0; --Bit) {
            if (FUsed == 0) FBytes.push_back(0);
            if ((Value >> Bit) & 1) FBytes.back() |= static_cast<uint8_t>(0x80 >> FUsed);
            FUsed = (FUsed + 1) % 8;
        }
    }
    std::vector<uint8_t>& Bytes() { return FBytes; }

private:
    std::vector<uint8_t> FBytes;
    int FUsed = 0;
};

// Prefix codes 0, 10, 110, 1110 for the deltas 1, 2, 4, 8: no run of ones a row marker could be
// mistaken for, and every decoded pixel tells which code reached it.
struct TResidualCode {
    uint32_t Code;
    int Length;
    int8_t Delta;
};
constexpr TResidualCode ResidualCodes[] = {{0b0, 1, 1}, {0b10, 2, 2}, {0b110, 3, 4}, {0b1110, 4, 8}};

void PutRowMarker(TBitWriter& Bits, uint32_t Plane, uint32_t Row) {
    Bits.Put(0xFFFFFE, 24);
    Bits.Put(Plane, 2);
    Bits.Put(Row, 13);
    Bits.Put(0, 1);
}

std::vector<uint8_t> PhotoCDStream(int32_t Stride, int32_t Rows, bool WithChroma) {
    TBitWriter Bits;
    Bits.Put(std::size(ResidualCodes) - 1, 8);
    for (const TResidualCode& Code : ResidualCodes) {
        Bits.Put(static_cast<uint32_t>(Code.Length - 1), 8);
        Bits.Put(Code.Code << (16 - Code.Length), 16);
        Bits.Put(static_cast<uint8_t>(Code.Delta), 8);
    }
    for (int32_t Row = 0; Row < Rows; ++Row) {
        PutRowMarker(Bits, 0, static_cast<uint32_t>(Row));
        for (int32_t X = 0; X < Stride; ++X) {
            const TResidualCode& Code = ResidualCodes[static_cast<size_t>(Row + X) % std::size(ResidualCodes)];
            Bits.Put(Code.Code, Code.Length);
        }
        if (WithChroma && Row % 2 == 0) {
            // Chroma rows without their tables: the decoder skips to the next marker.
            for (uint32_t Plane : {2u, 3u}) {
                PutRowMarker(Bits, Plane, static_cast<uint32_t>(Row));
                for (int32_t X = 0; X < Stride; ++X) Bits.Put(0b10, 2);
            }
        }
    }
    PutRowMarker(Bits, 0, static_cast<uint32_t>(Rows));
    // The decoder reads whole 2048-byte sectors.
    std::vector<uint8_t> Data = std::move(Bits.Bytes());
    Data.resize((Data.size() + 2047) / 2048 * 2048, 0);
    return Data;
}

// ---------------------------------------------------------------------------
// Layered documents

void FillLayer(qv::TPictureLayer& Layer, int32_t Width, int32_t Height, int Seed) {
    qv::AllocSurface(Width, Height, Layer.Surface);
    for (int32_t Y = 0; Y < Height; ++Y) {
        qv::TPixel32* Row = qv::SurfaceScanline(Layer.Surface, Y);
        for (int32_t X = 0; X < Width; ++X) {
            // Alpha runs through 0, partial and full, so every blend has all its cases.
            const uint8_t Alpha = static_cast<uint8_t>((X + Y + Seed) % 4 == 0 ? 0 : (X * 37 + Seed * 50) | 0x40);
            Row[X] = qv::MakePixel(PatternSample(X + Seed, Y, 0), PatternSample(X, Y + Seed, 1),
                                   PatternSample(X, Y, 2), Alpha);
        }
    }
}

qv::TPictureLayer& AddLayer(qv::TPictureDoc& Doc, int32_t Width, int32_t Height, int32_t Left, int32_t Top,
                            uint8_t Mode, uint8_t Opacity) {
    qv::TPictureLayer& Layer = Doc.LayerAt(Doc.AddLayer(Doc.LayerCount()));
    FillLayer(Layer, Width, Height, Doc.LayerCount());
    Layer.Left = Left;
    Layer.Top = Top;
    Layer.BlendMode = Mode;
    Layer.Opacity = Opacity;
    return Layer;
}

TSeed DocumentSeed(std::string Name, qv::TPictureDoc& Doc) {
    qv::TMemoryStream Stream;
    Doc.SaveToStream(Stream);
    return {std::move(Name), Stream.Data()};
}

// ---------------------------------------------------------------------------
// PNG icons

void PutChunk(std::vector<uint8_t>& Png, const char* Type, const std::vector<uint8_t>& Data) {
    PutU32BE(Png, static_cast<uint32_t>(Data.size()));
    const size_t Start = Png.size();
    Png.insert(Png.end(), Type, Type + 4);
    Png.insert(Png.end(), Data.begin(), Data.end());
    PutU32BE(Png, static_cast<uint32_t>(crc32(0, Png.data() + Start, static_cast<uInt>(Png.size() - Start))));
}

/// An 8-bit PNG of the colour type (0 grey, 2 RGB, 3 palette, 6 RGBA), rows unfiltered.
std::vector<uint8_t> MakePng(int Width, int Height, int ColorType) {
    const int Channels = ColorType == 2 ? 3 : ColorType == 6 ? 4 : 1;
    std::vector<uint8_t> Png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> Header;
    PutU32BE(Header, static_cast<uint32_t>(Width));
    PutU32BE(Header, static_cast<uint32_t>(Height));
    Header.insert(Header.end(), {8, static_cast<uint8_t>(ColorType), 0, 0, 0});
    PutChunk(Png, "IHDR", Header);
    if (ColorType == 3) {
        std::vector<uint8_t> Palette, Transparency;
        for (int Index = 0; Index < 16; ++Index) {
            Palette.insert(Palette.end(), {static_cast<uint8_t>(Index * 16), static_cast<uint8_t>(255 - Index * 8),
                                           static_cast<uint8_t>(Index * 5)});
            Transparency.push_back(static_cast<uint8_t>(Index * 17));
        }
        PutChunk(Png, "PLTE", Palette);
        PutChunk(Png, "tRNS", Transparency);
    }
    std::vector<uint8_t> Raw;
    for (int Y = 0; Y < Height; ++Y) {
        Raw.push_back(0);
        for (int X = 0; X < Width; ++X)
            for (int C = 0; C < Channels; ++C)
                Raw.push_back(ColorType == 3 ? static_cast<uint8_t>((X / 3 + Y / 3) % 16) : PatternSample(X, Y, C));
    }
    uLongf Packed = compressBound(static_cast<uLong>(Raw.size()));
    std::vector<uint8_t> Deflated(Packed);
    if (compress2(Deflated.data(), &Packed, Raw.data(), static_cast<uLong>(Raw.size()), 9) != Z_OK)
        throw std::runtime_error("zlib failed");
    Deflated.resize(Packed);
    PutChunk(Png, "IDAT", Deflated);
    PutChunk(Png, "IEND", {});
    return Png;
}

/// A 32-bit bitmap entry: its header, the colour rows bottom-up, the mask rows.
std::vector<uint8_t> MakeBitmapEntry(int Side) {
    std::vector<uint8_t> Entry;
    const uint32_t MaskStride = static_cast<uint32_t>((Side + 31) / 32 * 4);
    PutU32LE(Entry, 40);
    PutU32LE(Entry, static_cast<uint32_t>(Side));
    PutU32LE(Entry, static_cast<uint32_t>(Side * 2));
    PutU16LE(Entry, 1);
    PutU16LE(Entry, 32);
    PutU32LE(Entry, 0);
    PutU32LE(Entry, static_cast<uint32_t>(Side * Side * 4) + MaskStride * static_cast<uint32_t>(Side));
    for (int Field = 0; Field < 4; ++Field) PutU32LE(Entry, 0);
    for (int Y = 0; Y < Side; ++Y)
        for (int X = 0; X < Side; ++X)
            Entry.insert(Entry.end(), {PatternSample(X, Y, 2), PatternSample(X, Y, 1), PatternSample(X, Y, 0),
                                       static_cast<uint8_t>(X * 16)});
    Entry.resize(Entry.size() + MaskStride * static_cast<size_t>(Side), 0);
    return Entry;
}

struct TIconImage {
    int Side;
    int Depth;
    std::vector<uint8_t> Data;
};

std::vector<uint8_t> MakeIcon(const std::vector<TIconImage>& Images) {
    std::vector<uint8_t> Icon;
    PutU16LE(Icon, 0);
    PutU16LE(Icon, 1);
    PutU16LE(Icon, static_cast<uint32_t>(Images.size()));
    uint32_t Offset = static_cast<uint32_t>(6 + 16 * Images.size());
    for (const TIconImage& Image : Images) {
        const uint8_t Side = static_cast<uint8_t>(Image.Side >= 256 ? 0 : Image.Side);
        Icon.insert(Icon.end(), {Side, Side, 0, 0});
        PutU16LE(Icon, 1);
        PutU16LE(Icon, static_cast<uint32_t>(Image.Depth));
        PutU32LE(Icon, static_cast<uint32_t>(Image.Data.size()));
        PutU32LE(Icon, Offset);
        Offset += static_cast<uint32_t>(Image.Data.size());
    }
    for (const TIconImage& Image : Images) Icon.insert(Icon.end(), Image.Data.begin(), Image.Data.end());
    return Icon;
}

} // namespace

std::vector<TSeed> TIFFJPEGSeeds() {
    struct TStrip {
        int Width, Height;
        TJpegOptions Options;
        const char* Variant;
    };
    const TStrip Strips[] = {
        {16, 8, {}, "baseline"},
        {1, 8, {}, "baseline"},
        {7, 10, {90, false, 0, false}, "baseline"},
        {33, 9, {75, true, 0, false}, "progressive"},
        {64, 8, {50, false, 1, false}, "restart"},
        {63, 11, {95, false, 0, true}, "optimized"},
        {16, 11, {75, true, 1, true}, "progressive-restart"},
    };
    std::vector<TSeed> Seeds;
    for (const TStrip& Strip : Strips) {
        const uint8_t Parameter = static_cast<uint8_t>((Strip.Height - 8) * 64 + Strip.Width - 1);
        const std::string Name = "tiff-jpeg-" + std::to_string(Strip.Width) + "x" + std::to_string(Strip.Height) +
                                 "-" + Strip.Variant;
        Seeds.push_back(DecoderSeed(Name, KindTIFFJPEG, Parameter, StripOutputBytes(Strip.Width, Strip.Height),
                                    CompressJpeg(Strip.Width, Strip.Height, Strip.Options)));
    }
    // Room for the first scanline only: the strip is abandoned after it.
    Seeds.push_back(DecoderSeed("tiff-jpeg-16x8-first-line", KindTIFFJPEG, 15, 48, CompressJpeg(16, 8, {})));
    return Seeds;
}

std::vector<TSeed> PhotoCDSeeds() {
    struct TPlanes {
        uint8_t Parameter;
        bool WithChroma;
    };
    const TPlanes Cases[] = {{103, false}, {255, true}, {0, false}, {36, true}};
    std::vector<TSeed> Seeds;
    for (const TPlanes& Case : Cases) {
        const int32_t Stride = PCDStride(Case.Parameter), Rows = PCDRows(Case.Parameter);
        const std::vector<uint8_t> Data = PhotoCDStream(Stride, Rows, Case.WithChroma);
        const size_t Output = static_cast<size_t>(Stride) * static_cast<size_t>(Rows);
        const std::string Name = std::to_string(Stride) + "x" + std::to_string(Rows) + (Case.WithChroma ? "-chroma" : "");
        Seeds.push_back(DecoderSeed("photo-cd-planes-" + Name, KindPCDPlanes, Case.Parameter, Output, Data));
        Seeds.push_back(DecoderSeed("photo-cd-decode-" + Name, KindPCDDecode, Case.Parameter, Output, Data));
    }
    return Seeds;
}

std::vector<TSeed> LayeredDocumentSeeds() {
    static const char* const ModeNames[qv::BlendModeCount] = {"normal",     "multiply", "screen",  "soft-light",
                                                              "color",      "luminosity", "lighten", "darken",
                                                              "invert",     "dissolve"};
    std::vector<TSeed> Seeds;
    const uint8_t Opacities[] = {255, 160, 64, 0};
    {
        // Every mode stacked over one opaque base, staggered so that the layers overlap each other.
        qv::TPictureDoc Doc;
        Doc.SetDocSize(32, 24);
        Doc.SetBackgroundColor(qv::clWhite);
        AddLayer(Doc, 32, 24, 0, 0, 0, 255);
        for (uint8_t Mode = 0; Mode < qv::BlendModeCount; ++Mode)
            AddLayer(Doc, 12, 10, Mode * 3 - 4, Mode * 2 - 3, Mode, Opacities[Mode % 3]);
        Seeds.push_back(DocumentSeed("mqd-all-modes", Doc));
    }
    for (uint8_t Mode = 0; Mode < qv::BlendModeCount; ++Mode) {
        qv::TPictureDoc Doc;
        Doc.SetDocSize(16, 16);
        AddLayer(Doc, 16, 16, 0, 0, 0, 255);
        AddLayer(Doc, 16, 16, -4, 5, Mode, Opacities[Mode % 4]);
        Seeds.push_back(DocumentSeed(std::string("mqd-") + ModeNames[Mode], Doc));
    }
    {
        // Layers beyond every edge, one covering more than the document, the flags set, an
        // undefined mode byte (drawn as normal).
        qv::TPictureDoc Doc;
        Doc.SetDocSize(20, 12);
        Doc.SetBackgroundColor(0x00336699);
        AddLayer(Doc, 30, 20, -5, -4, 2, 200).preserveAlpha = true;
        AddLayer(Doc, 6, 6, 1000, 3, 1, 255).locked = true;
        AddLayer(Doc, 6, 6, -10, -10, 7, 255);
        AddLayer(Doc, 8, 3, 15, 10, qv::BlendModeCount, 128);
        AddLayer(Doc, 1, 1, 19, 11, 9, 90).Name = "one pixel";
        Seeds.push_back(DocumentSeed("mqd-edges-and-flags", Doc));
    }
    return Seeds;
}

std::vector<TSeed> PNGIconSeeds() {
    std::vector<TSeed> Seeds;
    Seeds.push_back({"icon-png-rgba-32", MakeIcon({{32, 32, MakePng(32, 32, 6)}})});
    Seeds.push_back({"icon-png-rgb-48", MakeIcon({{48, 24, MakePng(48, 48, 2)}})});
    Seeds.push_back({"icon-png-grey-16", MakeIcon({{16, 8, MakePng(16, 16, 0)}})});
    Seeds.push_back({"icon-png-palette-24", MakeIcon({{24, 8, MakePng(24, 24, 3)}})});
    Seeds.push_back({"icon-png-256", MakeIcon({{256, 32, MakePng(256, 256, 6)}})});
    Seeds.push_back({"icon-png-beside-bitmap", MakeIcon({{16, 32, MakeBitmapEntry(16)}, {32, 32, MakePng(32, 32, 6)}})});
    return Seeds;
}

const std::vector<TSeedKind>& SeedKinds() {
    static const std::vector<TSeedKind> Kinds = {
        {"tiff-jpeg", TIFFJPEGSeeds},
        {"photo-cd", PhotoCDSeeds},
        {"mqd-layers", LayeredDocumentSeeds},
        {"png-icon", PNGIconSeeds},
    };
    return Kinds;
}

} // namespace qvfuzz
