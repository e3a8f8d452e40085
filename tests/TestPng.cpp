#include "TestPng.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "TestSupport.h"

namespace qvtest {

namespace {

uint32_t BigEndian32(const uint8_t* P) {
    return (uint32_t{P[0]} << 24) | (uint32_t{P[1]} << 16) | (uint32_t{P[2]} << 8) | P[3];
}

int Paeth(int A, int B, int C) {
    const int P = A + B - C, PA = std::abs(P - A), PB = std::abs(P - B), PC = std::abs(P - C);
    if (PA <= PB && PA <= PC) return A;
    return PB <= PC ? B : C;
}

} // namespace

TRgbaImage DecodePng(const std::vector<uint8_t>& Data) {
    static const uint8_t Signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (Data.size() < 8 || std::memcmp(Data.data(), Signature, 8) != 0) throw std::runtime_error("not a PNG file");
    int Width = 0, Height = 0, Depth = 0, ColorType = 0;
    std::vector<uint8_t> Compressed, Palette, Transparency;
    size_t Pos = 8;
    while (Pos + 12 <= Data.size()) {
        const uint32_t Length = BigEndian32(&Data[Pos]);
        if (Length > Data.size() - Pos - 12) throw std::runtime_error("PNG chunk beyond the file");
        const std::string Type(reinterpret_cast<const char*>(&Data[Pos + 4]), 4);
        const uint8_t* Body = &Data[Pos + 8];
        if (Type == "IHDR") {
            Width = static_cast<int>(BigEndian32(Body));
            Height = static_cast<int>(BigEndian32(Body + 4));
            Depth = Body[8];
            ColorType = Body[9];
            if (Body[12] != 0) throw std::runtime_error("interlaced PNG not supported by the test reader");
        } else if (Type == "PLTE") {
            Palette.assign(Body, Body + Length);
        } else if (Type == "tRNS") {
            Transparency.assign(Body, Body + Length);
        } else if (Type == "IDAT") {
            Compressed.insert(Compressed.end(), Body, Body + Length);
        } else if (Type == "IEND") {
            break;
        }
        Pos += Length + 12;
    }
    static const int ChannelsOf[7] = {1, 0, 3, 1, 2, 0, 4};
    if (Width <= 0 || Height <= 0 || ColorType > 6 || ChannelsOf[ColorType] == 0 || (Depth != 8 && Depth != 16))
        throw std::runtime_error("PNG layout not supported by the test reader");
    const int Channels = ChannelsOf[ColorType];
    const size_t Bpp = static_cast<size_t>(Channels * Depth / 8);
    const size_t Stride = Bpp * static_cast<size_t>(Width);

    std::vector<uint8_t> Raw((Stride + 1) * static_cast<size_t>(Height));
    uLongf RawSize = static_cast<uLongf>(Raw.size());
    if (uncompress(Raw.data(), &RawSize, Compressed.data(), static_cast<uLong>(Compressed.size())) != Z_OK ||
        RawSize != Raw.size())
        throw std::runtime_error("PNG image data damaged");

    TRgbaImage Image;
    Image.Width = Width;
    Image.Height = Height;
    Image.Pixels.resize(static_cast<size_t>(Width) * Height * 4);
    std::vector<uint8_t> Previous(Stride, 0), Current(Stride);
    for (int Y = 0; Y < Height; ++Y) {
        const uint8_t* Line = &Raw[static_cast<size_t>(Y) * (Stride + 1)];
        const uint8_t Filter = Line[0];
        for (size_t I = 0; I < Stride; ++I) {
            const int A = I >= Bpp ? Current[I - Bpp] : 0, B = Previous[I], C = I >= Bpp ? Previous[I - Bpp] : 0;
            int Predictor = 0;
            switch (Filter) {
            case 0: break;
            case 1: Predictor = A; break;
            case 2: Predictor = B; break;
            case 3: Predictor = (A + B) / 2; break;
            case 4: Predictor = Paeth(A, B, C); break;
            default: throw std::runtime_error("PNG filter type unknown");
            }
            Current[I] = static_cast<uint8_t>(Line[1 + I] + Predictor);
        }
        for (int X = 0; X < Width; ++X) {
            auto Sample = [&](int Channel) { return Current[static_cast<size_t>(X) * Bpp + static_cast<size_t>(Channel * Depth / 8)]; };
            uint8_t* Out = &Image.Pixels[(static_cast<size_t>(Y) * Width + X) * 4];
            switch (ColorType) {
            case 0: Out[0] = Out[1] = Out[2] = Sample(0), Out[3] = 255; break;
            case 2: Out[0] = Sample(0), Out[1] = Sample(1), Out[2] = Sample(2), Out[3] = 255; break;
            case 3: {
                const size_t Index = Sample(0);
                if (Index * 3 + 2 >= Palette.size()) throw std::runtime_error("PNG palette index beyond the palette");
                Out[0] = Palette[Index * 3], Out[1] = Palette[Index * 3 + 1], Out[2] = Palette[Index * 3 + 2];
                Out[3] = Index < Transparency.size() ? Transparency[Index] : 255;
                break;
            }
            case 4: Out[0] = Out[1] = Out[2] = Sample(0), Out[3] = Sample(1); break;
            default: Out[0] = Sample(0), Out[1] = Sample(1), Out[2] = Sample(2), Out[3] = Sample(3); break;
            }
        }
        Previous.swap(Current);
    }
    return Image;
}

TRgbaImage ReadPng(const std::string& Path) { return DecodePng(ReadFileBytes(Path)); }

} // namespace qvtest
