#include "formats/CorpusExpectations.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace qvtest {

namespace {

using TCheck = TCorpusCheck;

std::string Lower(std::string S) {
    for (char& C : S) C = static_cast<char>(C >= 'A' && C <= 'Z' ? C - 'A' + 'a' : C);
    return S;
}

std::string Extension(const std::string& Name) {
    const size_t Dot = Name.rfind('.');
    return Dot == std::string::npos ? "" : Lower(Name.substr(Dot + 1));
}

TCorpusExpectation Near(int Tolerance, TAlphaCheck Alpha = TAlphaCheck::Compare) {
    return {TCheck::Compare, Tolerance, Alpha, "", "", ""};
}
TCorpusExpectation Refused(std::string Message) { return {TCheck::Fails, 0, TAlphaCheck::Compare, std::move(Message), "", ""}; }
TCorpusExpectation Other(TCheck Check, std::string Why, int Tolerance = 0, TAlphaCheck Alpha = TAlphaCheck::Compare) {
    return {Check, Tolerance, Alpha, "", std::move(Why), ""};
}

const std::string TiffScheme = "Cannot load image. The compression scheme is not supported for TIF/TIFF files.";
const std::string PngInvalidColor = "Invalid color format in PNG file.";
const std::string PngInvalidImage = "Cannot load image. Invalid or unexpected PNG image format.";
const std::string PngCrc = "Cannot load image. CRC error found in PNG file.";

const std::string Sixteen = "16-bit samples: the reference rounds where the reader narrows by truncation";
const std::string Jpeg = "JPEG-compressed data: another decoder's rounding";
const std::string Cmyk = "CMYK: the reference applies a colour profile; checked on the raw ink samples";
const std::string Merged = "several layers: the reference merges them";
const std::string Lab = "CIELab: the reference converts with another formula";

// The files whose expectation differs from their format's rule, by format and name.
const std::map<std::pair<std::string, std::string>, TCorpusExpectation>& FileTable() {
    static const std::map<std::pair<std::string, std::string>, TCorpusExpectation> Table = {
        // TIFF: what the reader refuses, and where the reference cannot be matched exactly.
        {{"tiff", "smallliz.tif"}, Refused(TiffScheme)},
        // 16-bit colour maps: narrowed by rounding, the reference takes the high byte.
        {{"tiff", "flower-palette-02.tif"}, Near(1)},
        {{"tiff", "flower-palette-04.tif"}, Near(1)},
        {{"tiff", "flower-palette-08.tif"}, Near(1)},
        {{"tiff", "flower-minisblack-16.tif"}, Near(1)},
        {{"tiff", "flower-rgb-contig-16.tif"}, Near(1)},
        {{"tiff", "ladoga.tif"}, Near(1)},
        {{"tiff", "16bit.MM.deflate.tif"}, Near(1)},
        {{"tiff", "tahoe_grey16_MM.tif"}, Near(1)},
        {{"tiff", "tahoe_rgb16_lzw.tif"}, Near(1)},
        {{"tiff", "tiff_16bit_RGB.tiff"}, Near(1)},
        {{"tiff", "flower-separated-contig-16.tif"}, Near(2)},
        {{"tiff", "quad-jpeg.tif"}, Near(3)},
        {{"tiff", "tiff_strip_ycbcr_jpeg_2x2_sampling.tif"}, Near(3)},
        {{"tiff", "tiff_strip_ycbcr_jpeg_1x1_sampling.tif"}, Near(3)},
        {{"tiff", "tahoe_jpeg_ycbcr.tif"}, Near(3)},
        {{"tiff", "tahoe_jpeg_rgb.tif"}, Near(3)},
        {{"tiff", "tahoe_grey_jpeg.tif"}, Near(3)},
        {{"tiff", "ycbcr-cat.tif"}, Near(3)},
        {{"tiff", "tiff_strip_cmyk_jpeg.tif"}, Other(TCheck::Channels, Cmyk, 1, TAlphaCheck::Ignore)},
        {{"tiff", "flower-separated-contig-08.tif"}, Other(TCheck::Channels, Cmyk, 1, TAlphaCheck::Ignore)},
        {{"tiff", "flower-separated-planar-08.tif"}, Other(TCheck::Channels, Cmyk, 1, TAlphaCheck::Ignore)},
        {{"tiff", "tahoe_cmyk.tif"}, Other(TCheck::Channels, Cmyk, 1, TAlphaCheck::Ignore)},
        {{"tiff", "tahoe_cmyk_lzw_MM.tif"}, Other(TCheck::Channels, Cmyk, 1, TAlphaCheck::Ignore)},
        {{"tiff", "lab.tif"}, Other(TCheck::SizeOnly, Lab)},
        {{"tiff", "tahoe_lab.tif"}, Other(TCheck::SizeOnly, Lab)},
        {{"tiff", "text.tif"}, Other(TCheck::RowEnds, "ThunderScan: the reference leaves each row's last run unwritten")},
        {{"tiff", "strike.tif"}, Near(0, TAlphaCheck::ColourWhereOpaque)}, // associated alpha
        // Photoshop. Judged by their headers: five_channels.psd is a 1 x 1 RGB file, tahoe_lab_raw.psd is RGB.
        {{"psd", "16bit_grayscale.psd"}, Near(1)},
        {{"psd", "psd_rgb_16_rle.psd"}, Near(1)},
        {{"psd", "rgb16-raw-affinityphoto-1.8.5.psd"}, Near(1)},
        {{"psd", "tahoe_rgb16_rle.psd"}, Near(1)},
        {{"psd", "cmyk8_testcard.psd"}, Other(TCheck::Channels, Cmyk)},
        {{"psd", "tahoe_cmyk_rle.psd"}, Other(TCheck::Channels, Cmyk)},
        {{"psd", "laba_8bit.psd"}, Other(TCheck::SizeOnly, Lab)},
        // Paintshop Pro: the references merge the layers (document.psp is also cropped to 28 of its 32 columns).
        {{"psp", "bitmap_about_logo.psp"}, Other(TCheck::Loads, Merged)},
        {{"psp", "document.psp"}, Other(TCheck::Loads, Merged)},
        {{"psp", "icon_app1.psp"}, Other(TCheck::Loads, Merged)},
        // SGI: 16-bit samples.
        {{"sgi", "hopper16.rgb"}, Near(1)},
        {{"sgi", "tahoe_rgb16_rle.sgi"}, Near(1)},
        {{"sgi", "tahoe_grey16_verbatim.sgi"}, Near(1)},
        // PCX: files whose reference differs from this reader by design.
        {{"pcx", "kif_mono.pcx"}, Other(TCheck::Inverted, "its reference shows the 1-bit picture inverted")},
        {{"pcx", "tahoe_4planes_v3.pcx"},
         Other(TCheck::SizeOnly, "version 3 shows the platform's 16-colour palette, not the header's")},
        {{"pcx", "p_4_planes.pcx"},
         Other(TCheck::SizeOnly, "suspect reference: it disagrees with every other decoder of the file")},
        // PNG: the invalid files of the suite and the message each raises.
        {{"png", "xc1n0g08.png"}, Refused(PngInvalidColor)}, // colour type 1
        {{"png", "xcsn0g01.png"}, Refused(PngCrc)},          // image data CRC
        {{"png", "xd0n2c08.png"}, Refused(PngInvalidColor)}, // bit depth 0
        {{"png", "xdtn0g01.png"}, Refused(PngInvalidImage)}, // no image data
        {{"png", "xhdn0g08.png"}, Refused(PngCrc)},          // header CRC
        // The platform's own readers.
        {{"bmp", "rgb16-565.bmp"}, Other(TCheck::Compare, "5-6-5 samples: the platform widens by a shift, the reference by scaling", 1)},
        {{"bmp", "rgb32bf.bmp"},
         Other(TCheck::Compare, "no alpha mask: the platform shows the picture opaque, the reference clear", 0, TAlphaCheck::Ignore)},
        {{"ico", "python.ico"}, Other(TCheck::Loads, "several entries: the platform shows the largest, the reference the first")},
        // Autodesk: written from palette pictures, every component cut to its top 6 bits.
        {{"cel", "hopper96.cel"}, {TCheck::Source, 0, TAlphaCheck::Compare, "", "", "hopper96_p256.png"}},
        {{"cel", "pattern16_odd.cel"}, {TCheck::Source, 0, TAlphaCheck::Compare, "", "", "pattern_p16.png"}},
        {{"cel", "tahoe.pic"}, {TCheck::Source, 0, TAlphaCheck::Compare, "", "", "tahoe_p256.png"}},
    };
    return Table;
}

uint32_t Big32(const uint8_t* P) {
    return uint32_t{P[0]} << 24 | uint32_t{P[1]} << 16 | uint32_t{P[2]} << 8 | P[3];
}

// The PNG rule: a gAMA chunk before what it corrects makes the reader apply gamma (the PNG test
// checks those through the reader's gamma table); 16-bit samples narrow one level apart from the
// reference; alpha is compared where the picture keeps it (RGBA, or a grey/RGB colour key).
TCorpusExpectation PngRule(const std::vector<uint8_t>& File) {
    uint8_t Depth = 0, ColorType = 0;
    bool Palette = false, Gamma = false, Key = false;
    for (size_t At = 8; At + 12 <= File.size();) {
        const uint32_t Length = Big32(&File[At]);
        std::string Type(File.begin() + static_cast<std::ptrdiff_t>(At + 4), File.begin() + static_cast<std::ptrdiff_t>(At + 8));
        for (char& C : Type) C = static_cast<char>(C & ~0x20);
        const size_t Data = At + 8;
        if (Type == "IHDR" && Length >= 13 && Data + 13 <= File.size()) {
            Depth = File[Data + 8];
            ColorType = File[Data + 9];
        } else if (Type == "PLTE") {
            Palette = true;
        } else if (Type == "GAMA" && Length == 4 && Data + 4 <= File.size()) {
            Gamma = Gamma || (!(Palette && ColorType == 3) && Big32(&File[Data]) != 0);
        } else if (Type == "TRNS") {
            Key = ColorType == 0 || ColorType == 2;
        } else if (Type == "IDAT") {
            break;
        }
        At = Data + size_t{Length} + 4;
    }
    if (Gamma) return Other(TCheck::SizeOnly, "gamma applied as the file states; the PNG test checks it through the gamma table");
    return Near(Depth == 16 ? 1 : 0, ColorType == 6 || Key ? TAlphaCheck::Compare : TAlphaCheck::Ignore);
}

uint8_t Expand5(uint8_t V) { return static_cast<uint8_t>((V << 3) | (V >> 2)); }

} // namespace

TCorpusExpectation CorpusExpectation(const std::string& Format, const std::string& Name,
                                     const std::vector<uint8_t>& Data) {
    const auto Found = FileTable().find({Format, Name});
    if (Found != FileTable().end()) return Found->second;
    if (Format == "png") return PngRule(Data);
    if (Format == "pnm") return Near(1);
    // The reference is un-premultiplied, the reader keeps the stored samples.
    if (Format == "rla") return Near(1, TAlphaCheck::ColourWhereOpaque);
    // The reference carries the transparent index as alpha, the picture does not.
    if (Format == "gif") return Near(0, TAlphaCheck::Ignore);
    if (Format == "tga") {
        // Grey + alpha files show their grey, the alpha dropped.
        const bool GreyAlpha = Data.size() > 16 && (Data[2] == 3 || Data[2] == 11) && Data[16] == 16;
        return Near(0, GreyAlpha ? TAlphaCheck::Ignore : TAlphaCheck::Compare);
    }
    if (Format == "pcd") return Other(TCheck::Similar, "the reference uses another PhotoYCC formula", 40);
    if (Format == "jpeg") return Other(TCheck::Compare, Jpeg, 2);
    return Near(0);
}

bool IsCorpusPicture(const std::string& Format, const std::string& Name) {
    return !(Format == "cut" && Extension(Name) == "pal");
}

std::array<int, 4> GifFirstImageRect(const std::vector<uint8_t>& File) {
    size_t At = 10;
    auto Need = [&](size_t N) {
        if (At + N > File.size()) throw std::runtime_error("GIF file ends before its first image");
    };
    Need(3);
    const uint8_t Flags = File[At];
    At += 3;
    if (Flags & 0x80) At += size_t{3} << ((Flags & 7) + 1);
    for (;;) {
        Need(1);
        const uint8_t Byte = File[At++];
        if (Byte == 0x2C) break;
        if (Byte != 0x21) throw std::runtime_error("unexpected GIF block");
        Need(1);
        ++At;
        for (;;) {
            Need(1);
            const uint8_t N = File[At++];
            if (N == 0) break;
            At += N;
        }
    }
    Need(8);
    auto U16 = [&](size_t P) { return int(File[P]) | int(File[P + 1]) << 8; };
    return {U16(At), U16(At + 2), U16(At + 4), U16(At + 6)};
}

TRgbaImage Crop(const TRgbaImage& Image, const std::array<int, 4>& R) {
    TRgbaImage Out;
    Out.Width = R[2];
    Out.Height = R[3];
    for (int Y = 0; Y < R[3]; ++Y)
        for (int X = 0; X < R[2]; ++X) {
            const bool Inside = R[0] + X < Image.Width && R[1] + Y < Image.Height;
            const uint8_t* P = Inside ? Image.At(R[0] + X, R[1] + Y) : nullptr;
            for (int C = 0; C < 4; ++C) Out.Pixels.push_back(P ? P[C] : 0);
        }
    return Out;
}

TRgbaImage AdjustedReference(const std::string& Format, const std::vector<uint8_t>& Data, TRgbaImage Ref) {
    if (Format == "gif") return Crop(Ref, GifFirstImageRect(Data));
    if (Format != "tga" || Data.size() < 18) return Ref;
    // 5-bit pixels widen by bit replication, 5-bit colour map entries by a shift.
    const uint8_t Type = Data[2], Depth = Data[16];
    const bool Grey = Type == 3 || Type == 11;
    const bool FivePixels = !Grey && (Depth == 15 || Depth == 16);
    const bool FiveMap = Depth == 8 && !Grey && Data[1] == 1 && (Data[7] == 15 || Data[7] == 16);
    for (size_t I = 0; I < Ref.Pixels.size(); ++I) {
        if (I % 4 == 3) continue;
        if (FivePixels) Ref.Pixels[I] = Expand5(static_cast<uint8_t>(Ref.Pixels[I] >> 3));
        if (FiveMap) Ref.Pixels[I] = static_cast<uint8_t>(Ref.Pixels[I] & 0xF8);
    }
    // The corpus's right-to-left file holds the rows of its bottom-up twin, whose reference
    // it has, with only the origin bits changed: shown top row first (the right-to-left bit
    // plays no part), it is that reference upside down.
    if (Data[17] & 0x10)
        for (int Y = 0; Y < Ref.Height / 2; ++Y)
            std::swap_ranges(&Ref.Pixels[size_t(Y) * Ref.Width * 4], &Ref.Pixels[size_t(Y + 1) * Ref.Width * 4],
                             &Ref.Pixels[size_t(Ref.Height - 1 - Y) * Ref.Width * 4]);
    return Ref;
}

TRgbaImage FromInkChannels(const TRgbaImage& Channels) {
    TRgbaImage Result = Channels;
    for (size_t I = 0; I < Result.Pixels.size(); I += 4) {
        const int K = Channels.Pixels[I + 3];
        for (int C = 0; C < 3; ++C) {
            const int X = Channels.Pixels[I + static_cast<size_t>(C)];
            Result.Pixels[I + static_cast<size_t>(C)] = static_cast<uint8_t>(std::clamp(255 - X - K + X * K / 255, 0, 255));
        }
        Result.Pixels[I + 3] = 255;
    }
    return Result;
}

TRgbaImage WithReferenceRowEnds(TRgbaImage Actual, const TRgbaImage& Reference) {
    if (Actual.Width != Reference.Width || Actual.Height != Reference.Height || Actual.Width == 0) return Actual;
    for (int Y = 0; Y < Actual.Height; ++Y) {
        const uint8_t Last = Actual.At(Actual.Width - 1, Y)[0];
        for (int X = Actual.Width - 1; X >= 0 && Actual.At(X, Y)[0] == Last; --X)
            std::memcpy(&Actual.Pixels[(static_cast<size_t>(Y) * Actual.Width + X) * 4], Reference.At(X, Y), 4);
    }
    return Actual;
}

TRgbaImage SixBitPart(const TRgbaImage& Source, int Width, int Height) {
    TRgbaImage Out;
    Out.Width = std::min(Width, Source.Width);
    Out.Height = std::min(Height, Source.Height);
    for (int Y = 0; Y < Out.Height; ++Y)
        for (int X = 0; X < Out.Width; ++X)
            for (int C = 0; C < 4; ++C)
                Out.Pixels.push_back(C < 3 ? static_cast<uint8_t>(Source.At(X, Y)[C] & 0xFC) : Source.At(X, Y)[C]);
    return Out;
}

TRgbaImage InvertedColour(TRgbaImage Image) {
    for (size_t I = 0; I < Image.Pixels.size(); ++I)
        if (I % 4 != 3) Image.Pixels[I] = static_cast<uint8_t>(255 - Image.Pixels[I]);
    return Image;
}

std::string DifferenceOf(const TRgbaImage& Actual, const TRgbaImage& Reference, int Tolerance, TAlphaCheck Alpha) {
    std::ostringstream Out;
    if (Actual.Width != Reference.Width || Actual.Height != Reference.Height) {
        Out << "size " << Actual.Width << "x" << Actual.Height << ", reference " << Reference.Width << "x"
            << Reference.Height;
        return Out.str();
    }
    int Largest = 0;
    uint64_t Over = 0;
    std::ostringstream First;
    for (int Y = 0; Y < Actual.Height; ++Y)
        for (int X = 0; X < Actual.Width; ++X) {
            const uint8_t* A = Actual.At(X, Y);
            const uint8_t* R = Reference.At(X, Y);
            if (Alpha == TAlphaCheck::ColourWhereOpaque && R[3] != 255) continue;
            const int Samples = Alpha == TAlphaCheck::Compare ? 4 : 3;
            int Worst = 0;
            for (int C = 0; C < Samples; ++C) Worst = std::max(Worst, std::abs(int(A[C]) - int(R[C])));
            Largest = std::max(Largest, Worst);
            if (Worst <= Tolerance) continue;
            if (Over++ == 0)
                First << "first at (" << X << "," << Y << "): rgba " << int(A[0]) << "," << int(A[1]) << ","
                      << int(A[2]) << "," << int(A[3]) << " vs " << int(R[0]) << "," << int(R[1]) << ","
                      << int(R[2]) << "," << int(R[3]);
        }
    if (Over == 0) return "";
    Out << Over << " pixels differ by more than " << Tolerance << " (largest " << Largest << "); " << First.str();
    return Out.str();
}

double MeanColourDifference(const TRgbaImage& A, const TRgbaImage& B) {
    if (A.Pixels.size() != B.Pixels.size() || A.Pixels.empty()) return 1e9;
    double Sum = 0;
    for (size_t I = 0; I < A.Pixels.size(); ++I)
        if (I % 4 != 3) Sum += std::abs(int(A.Pixels[I]) - int(B.Pixels[I]));
    return Sum / (double(A.Pixels.size()) / 4 * 3);
}

} // namespace qvtest
