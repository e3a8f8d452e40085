// quorvia-cli: the viewer's load path without its window. "info" prints the
// viewer's description of each picture, "convert" writes a loaded picture
// as PAM, BMP, Targa or a one-layer MQD document, "formats" lists the registered extensions.

#include <cstdio>
#include <exception>
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

int Info(int Count, char** Files) {
    int Status = 0;
    for (int I = 0; I < Count; ++I) {
        const std::string Path = Files[I];
        const std::string Name = ExtractFileName(Path);
        try {
            TBitmap Bitmap;
            const uint32_t Start = TickCount();
            LoadAnyPicture(Bitmap, Path);
            const int Elapsed = static_cast<int>(TickCount() - Start);
            std::printf("%s\n", Format("%s %d*%d*%dbit (loaded in %dms)", Name.c_str(), Bitmap.Width(), Bitmap.Height(),
                                       PixelFormatBits(Bitmap.PixelFormat()), Elapsed)
                                    .c_str());
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
    for (const TPicture::TFormatEntry& Entry : TPicture::RegisteredFormats())
        std::printf("%-5s %s\n", Entry.Extension.c_str(), Entry.Description.c_str());
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: quorvia-cli info FILE...       describe each picture as the viewer does\n"
                 "       quorvia-cli convert IN OUT     write a picture as .pam (8-bit RGBA), .bmp, .tga or .mqd\n"
                 "       quorvia-cli formats            list the registered file extensions\n");
    return ExitUsage;
}

} // namespace

int main(int argc, char** argv) {
    InitializeImageLib();
    const std::string Command = argc > 1 ? argv[1] : "";
    if (Command == "info" && argc > 2) return Info(argc - 2, argv + 2);
    if (Command == "convert" && argc == 4) return Convert(argv[2], argv[3]);
    if (Command == "formats" && argc == 2) return Formats();
    return Usage();
}
