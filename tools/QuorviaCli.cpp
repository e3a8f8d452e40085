// quorvia-cli: the viewer's load path without its window. "info" prints the
// viewer's description of each picture (with --verbose the reader's image
// properties too), "convert" writes a loaded picture as PAM, BMP, Targa or a
// one-layer MQD document, "formats" lists the registered extensions.

#include <cstdio>
#include <exception>
#include <iterator>
#include <string>

#include "app/MyGUtils.h"
#include "display/Pix32.h"
#include "document/MQDoc.h"
#include "imaging/ImageLib.h"
#include "imaging/formats/Targa.h"
#include "platform/Graphics.h"
#include "platform/Streams.h"
#include "platform/System.h"

using namespace qv;

namespace {

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

/// Loads any picture the viewer can show into Bitmap, chosen by extension.
void LoadAnyPicture(TBitmap& Bitmap, const std::string& Path) {
    // Layered documents show flattened without background, as in the viewer.
    if (LowerCase(ExtractFileExtNoDot(Path)) == "mqd")
        LoadDocumentToBitmap(Bitmap, Path);
    else
        LoadPictureToBitmap(Bitmap, Path);
}

/// Writes Bitmap as an 8-bit RGBA PAM file, rows top-down.
void SavePam(const TBitmap& Source, const std::string& Path) {
    TBitmap Bitmap;
    Bitmap.Assign(&Source);
    // The same 32-bit form the image view shows: alpha 255, or 0 at the transparent colour.
    Ensure32Bit(Bitmap);
    const std::string Header = Format("P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
                                      Bitmap.Width(), Bitmap.Height());
    TFileStream Out(Path, TFileMode::Create);
    Out.WriteBuffer(Header.data(), static_cast<int64_t>(Header.size()));
    std::string Row(static_cast<size_t>(Bitmap.Width()) * 4, '\0');
    for (int Y = 0; Y < Bitmap.Height(); ++Y) {
        const uint8_t* Bgra = Bitmap.ScanLine(Y);
        for (size_t X = 0; X < static_cast<size_t>(Bitmap.Width()); ++X) {
            Row[4 * X] = static_cast<char>(Bgra[4 * X + 2]);
            Row[4 * X + 1] = static_cast<char>(Bgra[4 * X + 1]);
            Row[4 * X + 2] = static_cast<char>(Bgra[4 * X]);
            Row[4 * X + 3] = static_cast<char>(Bgra[4 * X + 3]);
        }
        Out.WriteBuffer(Row.data(), static_cast<int64_t>(Row.size()));
    }
}

/// Writes Bitmap in the format its extension names.
void SavePicture(const TBitmap& Bitmap, const std::string& Path) {
    const std::string Ext = LowerCase(ExtractFileExtNoDot(Path));
    if (Ext == "pam") {
        SavePam(Bitmap, Path);
    } else if (Ext == "bmp") {
        TBitmap Copy;
        Copy.Assign(&Bitmap);
        Copy.SaveToFile(Path);
    } else if (Ext == "tga") {
        TTargaGraphic Targa;
        Targa.Assign(&Bitmap);
        Targa.SaveToFile(Path);
    } else if (Ext == "mqd") {
        SavePictureAsDocument(Bitmap, Path);
    } else {
        throw Exception("Cannot write ." + Ext + " files (use .pam, .bmp, .tga or .mqd)");
    }
}

std::string ErrorText(const std::exception_ptr& Error) {
    try {
        std::rethrow_exception(Error);
    } catch (const std::exception& E) {
        return E.what();
    } catch (...) {
        return "Unknown error";
    }
}

const char* SchemeName(TColorScheme Scheme) {
    static const char* const Names[] = {"unknown", "indexed", "gray", "gray+alpha", "RGB",    "RGBA",     "BGR",
                                        "BGRA",    "CMY",     "CMYK", "CIE L*a*b*", "YCbCr", "PhotoYCC"};
    const auto Index = static_cast<size_t>(Scheme);
    return Index < std::size(Names) ? Names[Index] : "unknown";
}

const char* CompressionName(TCompressionScheme Scheme) {
    static const char* const Names[] = {
        "unknown", "none", "run-length", "PackBits", "LZW", "CCITT Group 3", "CCITT modified Huffman",
        "CCITT Group 4", "CCITT modified Huffman (word aligned)", "deflate", "JPEG", "old JPEG", "ThunderScan",
        "NeXT", "IT8 CT padded", "IT8 line art", "IT8 monochrome", "IT8 binary line art", "Pixar film",
        "Pixar log", "DCS", "JBIG", "Photo-CD Huffman"};
    const auto Index = static_cast<size_t>(Scheme);
    return Index < std::size(Names) ? Names[Index] : "unknown";
}

/// The description the registry gives the file's extension.
std::string FormatDescription(const std::string& Path) {
    const std::string Ext = LowerCase(ExtractFileExtNoDot(Path));
    for (const TPicture::TFormatEntry& Entry : TPicture::RegisteredFormats())
        if (Entry.Extension == Ext) return Entry.Description;
    return "";
}

/// The reader's image properties, one "name: value" per line; fields a format
/// does not have (zero) are left out.
void PrintProperties(const std::string& Path, const TImageProperties& P) {
    auto Line = [](const char* Name, const std::string& Value) { std::printf("  %s: %s\n", Name, Value.c_str()); };
    auto Number = [&](const char* Name, uint64_t Value) {
        if (Value != 0) Line(Name, std::to_string(Value));
    };
    auto Flag = [&](const char* Name, bool Value) {
        if (Value) Line(Name, "yes");
    };
    Line("format", FormatDescription(Path));
    Number("version", P.Version);
    Line("width", std::to_string(P.Width));
    Line("height", std::to_string(P.Height));
    Line("color scheme", SchemeName(P.ColorScheme));
    Line("bits per sample", std::to_string(P.BitsPerSample));
    Line("samples per pixel", std::to_string(P.SamplesPerPixel));
    Line("bits per pixel", std::to_string(P.BitsPerPixel));
    Line("compression", CompressionName(P.Compression));
    Line("gamma", Format("%g", static_cast<double>(P.FileGamma)));
    if (P.XResolution != 0 || P.YResolution != 0)
        Line("resolution", Format("%g x %g", static_cast<double>(P.XResolution), static_cast<double>(P.YResolution)));
    Line("interlaced", P.Interlaced ? "yes" : "no");
    Line("alpha", P.HasAlpha ? "yes" : "no");
    Flag("big endian", P.Options.Contains(TImageOption::BigEndian));
    Flag("min is white", P.Options.Contains(TImageOption::MinIsWhite));
    Flag("reversed bit order", P.Options.Contains(TImageOption::ReversedBitOrder));
    Flag("tiled", P.Options.Contains(TImageOption::Tiled));
    Flag("gamma applied", P.Options.Contains(TImageOption::GammaApplied));
    Number("first IFD", P.FirstIFD);
    Number("planar configuration", P.PlanarConfig);
    Number("tile width", P.TileWidth);
    Number("tile length", P.TileLength);
    Number("bytes per line", P.BytesPerLine);
    Number("strip count", P.StripCount);
    if (!P.RowsPerStrip.empty()) Number("rows per strip", P.RowsPerStrip.front());
    Number("predictor", P.Predictor);
    if (P.YCbCrSubSampling.size() >= 2)
        Line("YCbCr subsampling", Format("%u x %u", unsigned{P.YCbCrSubSampling[0]}, unsigned{P.YCbCrSubSampling[1]}));
    Number("JPEG color mode", P.JPEGColorMode);
    Number("JPEG tables mode", P.JPEGTablesMode);
    Number("JPEG tables bytes", P.JPEGTables.size());
    Flag("Photo-CD overview", P.PCDOverview);
    Number("Photo-CD rotation", P.PCDRotation);
    Number("Photo-CD images", P.PCDImageCount);
    Flag("GIF local color table", P.GIFLocalColorTable);
    Flag("RLA bottom up", P.RLABottomUp);
    Number("PSD channels", P.PSDChannels);
    Number("PNG filter method", P.PNGFilterMethod);
}

/// Loads Path as LoadAnyPicture does, keeping the reader for its image properties.
void LoadWithProperties(TBitmap& Bitmap, const std::string& Path, TImageProperties& Properties, bool& HasProperties) {
    HasProperties = false;
    if (LowerCase(ExtractFileExtNoDot(Path)) == "mqd") {
        LoadDocumentToBitmap(Bitmap, Path);
        return;
    }
    TPicture Picture;
    Picture.LoadFromFile(Path);
    if (const auto* Reader = dynamic_cast<const TImageGraphic*>(Picture.Graphic())) {
        Properties = Reader->ImageProperties();
        HasProperties = true;
    }
    Bitmap.Assign(Picture.Graphic());
}

int Info(int Count, char** Files, bool Verbose) {
    int Status = 0;
    for (int I = 0; I < Count; ++I) {
        const std::string Path = Files[I];
        const std::string Name = ExtractFileName(Path);
        try {
            TBitmap Bitmap;
            TImageProperties Properties;
            bool HasProperties = false;
            const uint32_t Start = TickCount();
            if (Verbose)
                LoadWithProperties(Bitmap, Path, Properties, HasProperties);
            else
                LoadAnyPicture(Bitmap, Path);
            const int Elapsed = static_cast<int>(TickCount() - Start);
            std::printf("%s\n", Format("%s %d*%d*%dbit (loaded in %dms)", Name.c_str(), Bitmap.Width(), Bitmap.Height(),
                                       PixelFormatBits(Bitmap.PixelFormat()), Elapsed)
                                    .c_str());
            if (HasProperties) PrintProperties(Path, Properties);
        } catch (...) {
            std::printf("%s: error: %s\n", Name.c_str(), ErrorText(std::current_exception()).c_str());
            Status = ExitFailure;
        }
    }
    return Status;
}

int Convert(const std::string& In, const std::string& Out) {
    try {
        TBitmap Bitmap;
        LoadAnyPicture(Bitmap, In);
        SavePicture(Bitmap, Out);
        return 0;
    } catch (...) {
        std::fprintf(stderr, "%s: error: %s\n", ExtractFileName(In).c_str(), ErrorText(std::current_exception()).c_str());
        return ExitFailure;
    }
}

int Formats() {
    const TFileFormatList& List = FileFormatList();
    for (const TPicture::TFormatEntry& Entry : TPicture::RegisteredFormats()) {
        // The class's common description, where the image library registered the class.
        const int Class = List.FindGraphicClass(Entry.Class);
        const std::string Common = Class >= 0 ? List.ClassEntry(Class).Description : std::string();
        if (Common.empty() || Common == Entry.Description)
            std::printf("%-5s %s\n", Entry.Extension.c_str(), Entry.Description.c_str());
        else
            std::printf("%-5s %-40s (%s)\n", Entry.Extension.c_str(), Entry.Description.c_str(), Common.c_str());
    }
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: quorvia-cli info [--verbose] FILE...\n"
                 "                                      describe each picture as the viewer does;\n"
                 "                                      --verbose adds the reader's image properties\n"
                 "       quorvia-cli convert IN OUT     write a picture as .pam (8-bit RGBA), .bmp, .tga or .mqd\n"
                 "       quorvia-cli formats            list the registered file extensions\n");
    return ExitUsage;
}

} // namespace

int main(int argc, char** argv) {
    InitializeImageLib();
    const std::string Command = argc > 1 ? argv[1] : "";
    if (Command == "info" && argc > 3 && std::string(argv[2]) == "--verbose") return Info(argc - 3, argv + 3, true);
    if (Command == "info" && argc > 2 && std::string(argv[2]) != "--verbose") return Info(argc - 2, argv + 2, false);
    if (Command == "convert" && argc == 4) return Convert(argv[2], argv[3]);
    if (Command == "formats" && argc == 2) return Formats();
    return Usage();
}
