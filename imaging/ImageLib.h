#pragma once
// The base class of every format reader, the shared routines of the readers
// and decoders, and the registry of file extensions and reader classes.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "imaging/ImageColor.h"
#include "imaging/ImageStrings.h"
#include "imaging/ImageTypes.h"
#include "platform/Graphics.h"
#include "platform/Streams.h"
#include "platform/Types.h"

namespace qv {

/// Base class of every reader: a bitmap that decodes a file into its own rows.
/// A reader overrides ReadImageProperties, CanLoadStream and LoadFromStream;
/// the protected helpers below carry the steps every load shares.
class TImageGraphic : public TBitmap {
    QV_DECLARE_GRAPHIC_CLASS(TImageGraphic)
public:
    TImageGraphic();
    ~TImageGraphic() override;

    TColorManager& ColorManager() { return *FColorManager; }
    const TColorManager& ColorManager() const { return *FColorManager; }
    TImageProperties& ImageProperties() { return FImageProperties; }
    const TImageProperties& ImageProperties() const { return FImageProperties; }
    /// Stream position at which the image file began; the origin of all file offsets.
    int64_t BasePosition() const { return FBasePosition; }
    /// The stream being read, for readers that fetch rows from a separate routine; null otherwise.
    TStream* Stream() const { return FStream; }
    const TRect& ProgressRect() const { return FProgressRect; }

    /// From another TImageGraphic the image properties are copied first; the
    /// image itself is copied as by the bitmap.
    void Assign(const TGraphic* Source) override;

    /// True when the data at the stream's position is a file of this class. The base answers false.
    virtual bool CanLoadStream(TStream& Stream) const;
    /// Opens the file for shared reading and asks CanLoadStream.
    bool CanLoadFile(const std::string& FileName) const;
    /// CanLoadStream of a registered class, through a scratch instance; false for
    /// classes that are not readers. The stream's position is kept; a truncated
    /// file answers false.
    static bool CanLoadStream(TGraphicClass Class, TStream& Stream);
    static bool CanLoadFile(TGraphicClass Class, const std::string& FileName);

    /// Resets ImageProperties (FileGamma 1.0, all else zero) and answers false;
    /// readers call this first, then read their header at BasePosition.
    virtual bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex);

protected:
    /// Steps 1-4 of every load: releases the image, records BasePosition, reads
    /// the header and rewinds to BasePosition. Answers what ReadImageProperties answered.
    bool BeginLoad(TStream& Stream, uint32_t ImageIndex = 0);
    /// BeginLoad that raises "Cannot load image. Invalid or unexpected %s image
    /// format." with FormatName when the header is not of the format.
    void BeginLoadOrRaise(TStream& Stream, const std::string& FormatName, uint32_t ImageIndex = 0);
    /// Sets the pixel format from the colour manager's target and the size from
    /// ImageProperties (checked against the bitmap's limits).
    void SetupBitmap();

    /// Starts a progress phase: ProgressRect becomes (0, 0, Width, 1), then a
    /// starting notification with Caption ("Transfering...", "Preparing...").
    void StartProgress(const std::string& Caption);
    /// After file row Row: a running notification at Row * 100 / Height percent,
    /// then ProgressRect moves down one row.
    void RowProgress(uint32_t Row);
    /// A running notification at an explicit percentage (phases not counted in rows).
    void PercentProgress(uint32_t Done, uint32_t Total);
    /// Ends the current phase.
    void EndProgress();

    /// Converts one row into bitmap row Row through the colour manager. Every source
    /// comes with its true size: a set-up that would read past a source raises an
    /// assertion, and a routine whose pixels are not the picture's (wider than the
    /// row or narrower than its pixel) raises "Color conversion failed. Could not
    /// find a proper method.".
    void ConvertRow(std::span<const std::span<const uint8_t>> Sources, int Row, uint8_t Mask = 0xFF);
    void ConvertRow(std::initializer_list<std::span<const uint8_t>> Sources, int Row, uint8_t Mask = 0xFF) {
        ConvertRow(std::span<const std::span<const uint8_t>>(Sources.begin(), Sources.size()), Row, Mask);
    }
    void ConvertRow(std::span<const uint8_t> Source, int Row, uint8_t Mask = 0xFF) { ConvertRow({Source}, Row, Mask); }

    void SetStream(TStream* Value) { FStream = Value; }
    void SetBasePosition(int64_t Value) { FBasePosition = Value; }
    /// Seeks to an offset counted from BasePosition; raises EReadError beyond the stream's end.
    void SeekFromBase(TStream& Stream, uint64_t Offset);

private:
    std::unique_ptr<TColorManager> FColorManager;
    TImageProperties FImageProperties;
    int64_t FBasePosition = 0;
    TStream* FStream = nullptr;
    TRect FProgressRect;
};

/// Raises EInvalidGraphic with Message.
[[noreturn]] void RaiseInvalidGraphic(const std::string& Message);
/// Formats Pattern with the arguments (printf style) and raises EInvalidGraphic.
[[noreturn]] void RaiseInvalidGraphicFmt(const char* Pattern, ...) __attribute__((format(printf, 1, 2)));

/// Swaps the two bytes of each of Count 16-bit values in place.
void SwapWordArray(void* P, size_t Count);
/// Reverses the four bytes of each of Count 32-bit values in place.
void SwapLongArray(void* P, size_t Count);
/// The value with its four bytes reversed.
constexpr uint32_t SwapLong(uint32_t Value) {
    return (Value >> 24) | ((Value >> 8) & 0xFF00u) | ((Value << 8) & 0xFF0000u) | (Value << 24);
}
/// Undoes horizontal differencing on a row of Count + 1 pixels of 1, 3 or 4 bytes:
/// each byte is added to the byte one pixel further on, from the row start onward.
/// The row's length bounds the work: pixels past its end are never touched.
void UndoHorizontalDifference(std::span<uint8_t> Row, uint32_t Count);
void UndoHorizontalDifference3(std::span<uint8_t> Row, uint32_t Count);
void UndoHorizontalDifference4(std::span<uint8_t> Row, uint32_t Count);
/// The variant by samples per pixel: 3 -> 3 bytes, 4 -> 4 bytes, otherwise 1 byte.
void UndoHorizontalDifference(std::span<uint8_t> Row, uint32_t Count, uint8_t SamplesPerPixel);
/// Undoes horizontal differencing sample by sample on a row of RowBytes bytes:
/// each sample is added to the one SamplesPerPixel samples before it. BitsPerSample
/// 8 adds bytes; 16 adds words stored in the given byte order (carries kept).
/// Other sample sizes raise an assertion; a partial pixel at the row's end is left alone.
void UndoHorizontalDifference(std::span<uint8_t> Row, uint8_t SamplesPerPixel, uint8_t BitsPerSample,
                              bool BigEndian);
/// Enlarges a Width x Height plane of bytes (rows Stride bytes apart) to 2Width x
/// 2Height in place by bilinear averaging. Requires Width, Height >= 2 and Stride >= 2 Width;
/// the plane must hold 2 Height rows.
void Upsample2x2(uint32_t Width, uint32_t Height, uint32_t Stride, uint8_t* Plane);
/// The 8-bit value of every sample 0..MaxValue (MaxValue >= 1): round(v x 255 / MaxValue).
std::vector<uint8_t> SampleScaleTable(uint32_t MaxValue);

/// Members of TFormatKinds; the value is the bit number.
enum class TFormatKind : uint8_t { Animation = 0, Layered = 1, MultiImage = 2, Raster = 3, Vector = 4 };
using TFormatKinds = TEnumSet<TFormatKind>;

/// Registry of extensions, descriptions and reader classes, feeding the
/// platform's picture registry.
class TFileFormatList {
public:
    struct TClassEntry {
        TGraphicClass GraphicClass = nullptr;
        std::string Description;
        int32_t Count = 0;
    };
    struct TExtensionEntry {
        std::string Extension;
        std::string Description;
        TFormatKinds FormatTypes;
        TClassEntry* ClassEntry = nullptr;
    };

    TFileFormatList() = default;
    /// Runs ClearFormats.
    ~TFileFormatList();
    TFileFormatList(const TFileFormatList&) = delete;
    TFileFormatList& operator=(const TFileFormatList&) = delete;

    /// Adds an extension (without dot) for a class. A known extension raises
    /// "Attempt to register %s twice." unless Replace is set. An empty extension does nothing.
    void RegisterFileFormat(const std::string& Extension, const std::string& Common,
                            const std::string& Individual, TFormatKinds Kinds, bool Replace,
                            TGraphicClass GraphicClass);
    /// Removes one extension, or with an empty extension every extension of the class.
    void UnregisterFileFormat(const std::string& Extension, TGraphicClass GraphicClass);
    /// Position of the extension ignoring letter case; -1 when absent or empty.
    int FindExtension(const std::string& Extension) const;
    /// Position of the class entry; -1 when absent.
    int FindGraphicClass(TGraphicClass GraphicClass) const;
    /// Unregisters every class from the platform registry and empties both lists.
    void ClearFormats();

    int ClassCount() const { return static_cast<int>(FClassList.size()); }
    int ExtensionCount() const { return static_cast<int>(FExtensionList.size()); }
    const TClassEntry& ClassEntry(int Index) const;
    const TExtensionEntry& ExtensionEntry(int Index) const;

private:
    TClassEntry* AttachClass(TGraphicClass GraphicClass, const std::string& Common);
    void RemoveClassEntry(const TClassEntry* Entry);

    std::vector<std::unique_ptr<TClassEntry>> FClassList;
    std::vector<std::unique_ptr<TExtensionEntry>> FExtensionList;
};

/// The one registry; the first call registers the start-up table.
TFileFormatList& FileFormatList();
/// Makes sure the start-up table is registered; the viewer, the command-line
/// tool and tests call it at start.
void InitializeImageLib();
/// Unregisters in shut-down order and releases the registry; also runs at exit
/// when not called. Safe to call more than once. Raises qv::Exception when a class of the
/// shut-down order was not registered (the registry is released all the same).
void FinalizeImageLib();

} // namespace qv
