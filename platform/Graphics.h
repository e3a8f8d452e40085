#pragma once
// The picture framework: graphic classes with a class descriptor, the
// device-independent bitmap every reader fills, palettes, progress
// notifications, and TPicture with its registry of file extensions.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/Colors.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"
#include "platform/Types.h"

namespace qv {

class TGraphic;

/// Describes a graphic class: its name, its parent class and how to make an
/// instance. Classes are compared by descriptor address.
struct TGraphicClassInfo {
    const char* Name;
    const TGraphicClassInfo* Parent;
    std::unique_ptr<TGraphic> (*Create)();

    /// True when this class is Other or derives from it.
    bool InheritsFrom(const TGraphicClassInfo* Other) const;
};
using TGraphicClass = const TGraphicClassInfo*;

/// Declares the class descriptor of a graphic class (inside the class body).
#define QV_DECLARE_GRAPHIC_CLASS(T)            \
public:                                        \
    static ::qv::TGraphicClass StaticClass();  \
    ::qv::TGraphicClass ClassType() const override;

/// Defines the class descriptor of graphic class T derived from TParent (in a .cpp file).
#define QV_DEFINE_GRAPHIC_CLASS(T, TParent)                                                        \
    ::qv::TGraphicClass T::StaticClass() {                                                        \
        static const ::qv::TGraphicClassInfo Info{                                                \
            #T, TParent::StaticClass(),                                                           \
            []() -> std::unique_ptr<::qv::TGraphic> { return std::make_unique<T>(); }};          \
        return &Info;                                                                             \
    }                                                                                             \
    ::qv::TGraphicClass T::ClassType() const { return StaticClass(); }

enum TProgressStage { psStarting, psRunning, psEnding };

/// Progress notification: sender, stage, percent, redraw requested, the
/// rectangle that changed, and a caption ("Preparing...", "Transfering...").
using TProgressEvent = std::function<void(TGraphic& Sender, TProgressStage Stage, uint8_t PercentDone,
                                          bool RedrawNow, const TRect& R, const std::string& Msg)>;

/// Abstract picture: something with a size that loads from a stream.
class TGraphic {
public:
    TGraphic() = default;
    virtual ~TGraphic() = default;
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;

    static TGraphicClass StaticClass();
    virtual TGraphicClass ClassType() const;
    /// True when an object is an instance of Class or of a class derived from it.
    bool InheritsFrom(TGraphicClass Class) const { return ClassType()->InheritsFrom(Class); }

    virtual bool Empty() const = 0;
    virtual int Width() const = 0;
    virtual int Height() const = 0;

    virtual void LoadFromStream(TStream& Stream) = 0;
    virtual void SaveToStream(TStream& Stream);
    /// Opens the file for shared reading and calls LoadFromStream.
    virtual void LoadFromFile(const std::string& FileName);
    virtual void SaveToFile(const std::string& FileName);
    /// Copies Source into this graphic: Source->AssignTo(*this); a null
    /// Source or one that cannot convert raises EConvertError.
    virtual void Assign(const TGraphic* Source);
    /// Copies this graphic into Dest; the base raises EConvertError
    /// ("Cannot assign a X to a Y").
    virtual void AssignTo(TGraphic& Dest) const;

    bool Transparent() const { return FTransparent; }
    virtual void SetTransparent(bool Value) { FTransparent = Value; }

    TProgressEvent OnProgress;

protected:
    /// Sends a progress notification when someone listens.
    void Progress(TProgressStage Stage, uint8_t PercentDone, bool RedrawNow, const TRect& R,
                  const std::string& Msg);

private:
    bool FTransparent = false;
};

enum TPixelFormat : uint8_t { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };

/// Bits per pixel of the pixel format as the viewer reports it (device and custom: 0).
int PixelFormatBits(TPixelFormat Format);

/// One palette entry in pixel byte order.
struct TRGBQuad {
    uint8_t rgbBlue = 0;
    uint8_t rgbGreen = 0;
    uint8_t rgbRed = 0;
    uint8_t rgbReserved = 0;
    friend bool operator==(const TRGBQuad&, const TRGBQuad&) = default;
};

/// One logical palette entry.
struct TPaletteEntry {
    uint8_t peRed = 0;
    uint8_t peGreen = 0;
    uint8_t peBlue = 0;
    uint8_t peFlags = 0;
    friend bool operator==(const TPaletteEntry&, const TPaletteEntry&) = default;
};

/// A logical palette (version 0x300), at most 256 entries.
struct TLogPalette {
    uint16_t palVersion = 0x300;
    std::vector<TPaletteEntry> palPalEntry;
};

constexpr int MaxPaletteEntries = 256;

/// The platform's default 16-colour palette.
const TLogPalette& DefaultPalette16();

/// Storage of pixel rows: the memory comes zeroed from calloc, which need not write
/// fresh pages of a large picture, so a picture's pixels are written once (by its
/// reader) instead of twice. Elements made without a value are left as calloc gave
/// them; a buffer therefore only ever grows from empty.
template <typename T>
struct TZeroedAllocator {
    using value_type = T;
    TZeroedAllocator() = default;
    template <typename U>
    TZeroedAllocator(const TZeroedAllocator<U>&) noexcept {}
    T* allocate(size_t Count) {
        void* P = std::calloc(Count, sizeof(T));
        if (P == nullptr) throw std::bad_alloc();
        return static_cast<T*>(P);
    }
    void deallocate(T* P, size_t) noexcept { std::free(P); }
    template <typename U>
    void construct(U* P) noexcept {
        ::new (static_cast<void*>(P)) U;
    }
    template <typename U, typename... TArgs>
    void construct(U* P, TArgs&&... Args) {
        ::new (static_cast<void*>(P)) U(std::forward<TArgs>(Args)...);
    }
    friend bool operator==(const TZeroedAllocator&, const TZeroedAllocator&) { return true; }
};

/// A device-independent bitmap stored bottom-up, rows padded to 4 bytes, so
/// ScanLine(1) - ScanLine(0) is negative. Storage per pixel format: 1, 4, 8
/// bits indexed; 15 (5-5-5) and 16 (5-6-5) bits; 24 bits blue, green, red;
/// 32 bits blue, green, red, alpha. pfDevice and pfCustom store 32 bits.
class TBitmap : public TGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TBitmap)
public:
    /// Limits on the picture size, checked wherever a size is set, so that no
    /// file can make a reader allocate without bound.
    static constexpr int64_t MaxPixels = int64_t{1} << 28;
    static constexpr int32_t MaxSide = 1 << 20;

    TBitmap() = default;
    ~TBitmap() override = default;

    bool Empty() const override { return FWidth == 0 || FHeight == 0; }
    int Width() const override { return FWidth; }
    int Height() const override { return FHeight; }
    /// Changing the size keeps the overlapping rows and columns; new pixels are zero.
    /// Raises EInvalidGraphic for a negative size or one beyond the limits.
    virtual void SetWidth(int Value);
    virtual void SetHeight(int Value);
    void SetSize(int NewWidth, int NewHeight);

    TPixelFormat PixelFormat() const { return FPixelFormat; }
    /// Changing the format of a non-empty bitmap converts its pixels exactly
    /// (to indexed formats: the nearest colour of the palette).
    void SetPixelFormat(TPixelFormat Value);

    /// Address of row Row (0 = top); raises EInvalidGraphic when out of range.
    uint8_t* ScanLine(int Row);
    const uint8_t* ScanLine(int Row) const;
    /// Bytes of one stored row (padded to 4).
    int RowBytes() const { return FRowBytes; }

    /// The palette of an indexed bitmap (1, 4 and 8 bits), at most 256 entries.
    const std::vector<TRGBQuad>& Palette() const { return FPalette; }
    void SetPalette(std::vector<TRGBQuad> Entries);
    void SetPalette(const TLogPalette& Palette);
    TLogPalette LogPalette() const;

    TColor TransparentColor() const { return FTransparentColor; }
    void SetTransparentColor(TColor Value) { FTransparentColor = Value; }

    /// Releases the image: size 0 x 0, palette kept.
    void FreeImage();
    /// From another bitmap: same-format copy of the whole bitmap, palette and
    /// transparency included. Other graphics copy themselves in (AssignTo).
    void Assign(const TGraphic* Source) override;
    /// Takes Source's pixels, palette and transparency over without copying
    /// them; Source is left empty (its palette kept).
    void TakeFrom(TBitmap& Source);

    /// Reads a Windows bitmap file (every header version, RLE, bit fields).
    void LoadFromStream(TStream& Stream) override;
    /// Writes a Windows bitmap file in the current pixel format.
    void SaveToStream(TStream& Stream) override;

    /// Colour of one pixel in pixel byte order (blue, green, red, alpha),
    /// resolved through the palette for indexed formats.
    uint32_t PixelBGRA(int X, int Y) const;

protected:
    void Reallocate(int NewWidth, int NewHeight, TPixelFormat NewFormat, bool KeepPixels);

private:
    int FWidth = 0;
    int FHeight = 0;
    int FRowBytes = 0;
    TPixelFormat FPixelFormat = pfDevice;
    std::vector<uint8_t, TZeroedAllocator<uint8_t>> FBits;
    std::vector<TRGBQuad> FPalette;
    TColor FTransparentColor = clDefault;
};

/// Holds one graphic loaded by file extension through the registry.
class TPicture {
public:
    TPicture() = default;
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;

    /// Makes the graphic of the class registered for the file's extension and
    /// loads the file into it; raises EInvalidGraphic for an unknown extension.
    void LoadFromFile(const std::string& FileName);
    TGraphic* Graphic() const { return FGraphic.get(); }
    void SetGraphic(std::unique_ptr<TGraphic> Value) { FGraphic = std::move(Value); }

    /// Adds an extension (without dot) with its description and class.
    static void RegisterFileFormat(const std::string& Extension, const std::string& Description,
                                   TGraphicClass Class);
    /// Removes every extension of Class and of the classes derived from it.
    static void UnregisterGraphicClass(TGraphicClass Class);
    /// "*.ext" for every extension of Class or a class derived from it, the
    /// newest registration first, joined by ";".
    static std::string GraphicFileMask(TGraphicClass Class);
    /// The class registered for an extension (without dot, any case), newest first; null when none.
    static TGraphicClass FindGraphicClass(const std::string& Extension);

    struct TFormatEntry {
        std::string Extension;
        std::string Description;
        TGraphicClass Class;
    };
    /// Every registration, newest first.
    static std::vector<TFormatEntry> RegisteredFormats();

private:
    std::unique_ptr<TGraphic> FGraphic;
};

/// The file's extension without its dot, as written ("" when none).
std::string ExtractFileExtNoDot(const std::string& FileName);

} // namespace qv
