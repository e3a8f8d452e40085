#include "document/MQDoc.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "display/PixEffect.h"
#include "display/PixRender.h"
#include "platform/Exceptions.h"
#include "platform/System.h"

namespace qv {

namespace {

const char SNotMQDFile[] = "This file is not a MQD file.";
const char SNewerVersion[] = "This file is created with a newer version of Marqenta.";
const char SLayer[] = "Layer";

const uint8_t Magic[4] = {0x4D, 0x71, 0x44, 0x20}; // "MqD "
const char TagPreserveAlpha[] = "<preserveAlpha>";
const char TagLocked[] = "<locked>";

// Smallest layer record: name count, width, height, opacity, left, top, blend mode.
constexpr int64_t MinLayerRecordSize = 4 + 4 + 4 + 1 + 4 + 4 + 1;
// Deflate cannot do better than 258 bytes per two bits, so a zlib stream
// producing N bytes occupies at least N / 1032 bytes of the file.
constexpr int64_t MaxDeflateRatio = 1032;

uint8_t ReadByte(TStream& Stream) {
    uint8_t Value = 0;
    Stream.ReadBuffer(&Value, 1);
    return Value;
}

int32_t ReadInt32(TStream& Stream) {
    uint8_t B[4];
    Stream.ReadBuffer(B, 4);
    return static_cast<int32_t>(uint32_t{B[0]} | uint32_t{B[1]} << 8 | uint32_t{B[2]} << 16 |
                                uint32_t{B[3]} << 24);
}

void WriteByte(TStream& Stream, uint8_t Value) { Stream.WriteBuffer(&Value, 1); }

void WriteInt32(TStream& Stream, int32_t Value) {
    const auto U = static_cast<uint32_t>(Value);
    const uint8_t B[4] = {static_cast<uint8_t>(U), static_cast<uint8_t>(U >> 8), static_cast<uint8_t>(U >> 16),
                          static_cast<uint8_t>(U >> 24)};
    Stream.WriteBuffer(B, 4);
}

// Removes the first occurrence of Tag from Name; returns whether there was one.
bool TakeTag(std::string& Name, const char* Tag) {
    const auto Pos = Name.find(Tag);
    if (Pos == std::string::npos) return false;
    Name.erase(Pos, std::strlen(Tag));
    return true;
}

// Refuses a stored surface size before its pixel block is allocated.
void CheckLayerSurfaceSize(int32_t Width, int32_t Height, int64_t BytesLeft) {
    const int64_t Pixels = int64_t{Width} * Height;
    if (Width > TBitmap::MaxSide || Height > TBitmap::MaxSide || Pixels > TBitmap::MaxPixels)
        throw EReadError(Format("Layer surface of %d x %d pixels exceeds the bitmap size limit (%d per side, %lld pixels)",
                                Width, Height, TBitmap::MaxSide, static_cast<long long>(TBitmap::MaxPixels)));
    if (Pixels * 4 / MaxDeflateRatio > BytesLeft) throw EReadError();
}

int32_t ClampToInt32(int64_t Value) {
    return static_cast<int32_t>(
        std::clamp<int64_t>(Value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

} // namespace

void ReadStreamString(TStream& Stream, std::string& Value) {
    const int32_t Length = ReadInt32(Stream);
    if (Length < 0 || Length > Stream.Remaining()) throw EReadError();
    Value.assign(static_cast<size_t>(Length), '\0');
    if (Length > 0) Stream.ReadBuffer(Value.data(), Length);
}

void WriteStreamString(TStream& Stream, const std::string& Value) {
    if (Value.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        throw EWriteError("String too long for a stream string");
    WriteInt32(Stream, static_cast<int32_t>(Value.size()));
    if (!Value.empty()) Stream.WriteBuffer(Value.data(), static_cast<int64_t>(Value.size()));
}

TPictureLayer::~TPictureLayer() { FreeSurface(Surface); }

QV_DEFINE_GRAPHIC_CLASS(TPictureDoc, TBitmap)

TPictureDoc::TPictureDoc() = default;

TPictureDoc::~TPictureDoc() = default;

void TPictureDoc::SetDocSize(int32_t Width, int32_t Height) {
    FDocWidth = Width;
    FDocHeight = Height;
}

TPictureLayer& TPictureDoc::LayerAt(int Index) {
    if (Index < 0 || Index >= LayerCount()) throw EListError(Index);
    return *FLayers[static_cast<size_t>(Index)];
}

const TPictureLayer& TPictureDoc::LayerAt(int Index) const {
    if (Index < 0 || Index >= LayerCount()) throw EListError(Index);
    return *FLayers[static_cast<size_t>(Index)];
}

int TPictureDoc::AddLayer(int Index) {
    auto Layer = std::make_unique<TPictureLayer>();
    Layer->Id = FNextLayerId + 1;
    Layer->Name = std::string(SLayer) + " " + std::to_string(Layer->Id);
    const int Position = std::clamp(Index, 0, LayerCount());
    FLayers.insert(FLayers.begin() + Position, std::move(Layer));
    ++FNextLayerId;
    return Position;
}

void TPictureDoc::Clear() {
    FLayers.clear();
    FNextLayerId = 0;
    FDocWidth = 0;
    FDocHeight = 0;
}

void TPictureDoc::ReportProgress(int64_t Done, int64_t Total) {
    if (OnProgress && Total > 0) OnProgress(static_cast<int>(Done * 70 / Total + 10));
}

void TPictureDoc::LoadFromStream(TStream& Stream) {
    Clear();
    uint8_t Signature[4];
    Stream.ReadBuffer(Signature, 4);
    if (std::memcmp(Signature, Magic, 4) != 0) throw EInvalidGraphic(SNotMQDFile);
    const int32_t Version = ReadInt32(Stream);
    if (Version > FormatVersion) throw EInvalidGraphic(SNewerVersion);
    FDocWidth = ReadInt32(Stream);
    FDocHeight = ReadInt32(Stream);
    FBackgroundColor = ReadInt32(Stream);
    const int32_t Count = ReadInt32(Stream);
    // Refused before any layer exists: a count below zero, or more records
    // than the rest of the stream can hold.
    if (Count < 0 || Count > Stream.Remaining() / MinLayerRecordSize) throw EReadError();
    for (int32_t I = 0; I < Count; ++I) {
        AddLayer(I);
        ReadLayer(Stream, LayerAt(I));
        ReportProgress(int64_t{I} + 1, Count);
    }
}

void TPictureDoc::ReadLayer(TStream& Stream, TPictureLayer& Layer) {
    std::string Name;
    ReadStreamString(Stream, Name);
    Layer.preserveAlpha = TakeTag(Name, TagPreserveAlpha);
    Layer.locked = TakeTag(Name, TagLocked);
    Layer.Name = std::move(Name);

    FreeSurface(Layer.Surface);
    Layer.Surface.Width = ReadInt32(Stream);
    Layer.Surface.Height = ReadInt32(Stream);
    const int32_t Width = Layer.Surface.Width;
    const int32_t Height = Layer.Surface.Height;
    if (Width > 0 && Height > 0) {
        CheckLayerSurfaceSize(Width, Height, Stream.Remaining());
        AllocSurface(Width, Height, Layer.Surface);
        try {
            TDecompressionStream Pixels(Stream);
            // AllocSurface rows are contiguous and top-down, as the file stores them.
            Pixels.ReadBuffer(Layer.Surface.Bits, int64_t{Width} * Height * 4);
            // The block may be complete before inflate has seen the trailer;
            // one more read reaches it, and must not yield surplus pixels.
            uint8_t Surplus = 0;
            if (!Pixels.AtEnd() && Pixels.Read(&Surplus, 1) != 0)
                throw EReadError("Layer pixel data is longer than the layer's surface");
            if (!Pixels.AtEnd()) throw EReadError();
            Pixels.Close();
        } catch (...) {
            // A partly read block holds undefined pixels; keep none of them.
            FreeSurface(Layer.Surface);
            throw;
        }
    }

    Layer.Opacity = ReadByte(Stream);
    Layer.Left = ReadInt32(Stream);
    Layer.Top = ReadInt32(Stream);
    Layer.BlendMode = ReadByte(Stream);
}

void TPictureDoc::SaveToStream(TStream& Stream) {
    Stream.WriteBuffer(Magic, 4);
    WriteInt32(Stream, FormatVersion);
    WriteInt32(Stream, FDocWidth);
    WriteInt32(Stream, FDocHeight);
    WriteInt32(Stream, FBackgroundColor);
    WriteInt32(Stream, LayerCount());
    for (int I = 0; I < LayerCount(); ++I) {
        WriteLayer(Stream, LayerAt(I));
        ReportProgress(int64_t{I} + 1, LayerCount());
    }
}

void TPictureDoc::WriteLayer(TStream& Stream, const TPictureLayer& Layer) {
    std::string Stored = Layer.Name;
    if (Layer.preserveAlpha) Stored += TagPreserveAlpha;
    if (Layer.locked) Stored += TagLocked;
    WriteStreamString(Stream, Stored);

    const TSurface& Surface = Layer.Surface;
    const bool HasPixels = !SurfaceIsEmpty(Surface) && Surface.Width > 0 && Surface.Height > 0;
    // A positive size promises pixel data to the reader; without pixels the
    // record is stored with width 0 so that the file stays readable.
    const int32_t Width = (!HasPixels && Surface.Width > 0 && Surface.Height > 0) ? 0 : Surface.Width;
    WriteInt32(Stream, Width);
    WriteInt32(Stream, Surface.Height);
    if (HasPixels) {
        TCompressionStream Pixels(Stream);
        for (int32_t Y = 0; Y < Surface.Height; ++Y)
            Pixels.WriteBuffer(SurfaceScanline(Surface, Y), int64_t{Surface.Width} * 4);
        Pixels.Close();
    }

    WriteByte(Stream, Layer.Opacity);
    WriteInt32(Stream, Layer.Left);
    WriteInt32(Stream, Layer.Top);
    WriteByte(Stream, Layer.BlendMode);
}

void TPictureDoc::Assign(const TGraphic* Source) {
    Clear();
    if (!Source) return;
    TBitmap Picture;
    Picture.Assign(Source);
    if (Picture.Empty()) return;

    TPictureLayer& Layer = LayerAt(AddLayer(0));
    if (Picture.PixelFormat() == pf32bit) {
        Layer.preserveAlpha = SurfaceIsOpaque(SurfaceFromBitmap(Picture));
    } else {
        Layer.preserveAlpha = true;
        Ensure32Bit(Picture);
    }
    FDocWidth = Picture.Width();
    FDocHeight = Picture.Height();

    FreeSurface(Layer.Surface);
    AllocSurface(Picture.Width(), Picture.Height(), Layer.Surface);
    StretchCopyNearest(Layer.Surface, SurfaceFromBitmap(Picture), SurfaceBounds(Layer.Surface));
}

TRect TPictureDoc::LayerBounds(const TPictureLayer& Layer) {
    // Positions come from files unchecked; the far edge must not overflow.
    return TRect{Layer.Left, Layer.Top, ClampToInt32(int64_t{Layer.Left} + Layer.Surface.Width),
                 ClampToInt32(int64_t{Layer.Top} + Layer.Surface.Height)};
}

bool TPictureDoc::DrawLayer(const TPictureLayer& Layer, const TSurface& Target, const TRect& Clip) {
    if (SurfaceIsEmpty(Layer.Surface)) return false;
    TRect Area;
    if (!IntersectRect(Area, LayerBounds(Layer), Clip)) return false;
    const TRect LayerArea{ClampToInt32(int64_t{Area.Left} - Layer.Left), ClampToInt32(int64_t{Area.Top} - Layer.Top),
                          ClampToInt32(int64_t{Area.Right} - Layer.Left),
                          ClampToInt32(int64_t{Area.Bottom} - Layer.Top)};
    const TSurface Dest = SubSurface(Target, Area);
    const TSurface Blend = SubSurface(Layer.Surface, LayerArea);
    BlendSurfaces(Dest, Dest, Blend, Layer.Opacity, Layer.BlendMode);
    return true;
}

void TPictureDoc::DrawLayers(const TSurface& Target, int First, const TRect& Clip, int Last) const {
    First = std::max(First, 0);
    Last = std::min(Last, LayerCount() - 1);
    for (int I = First; I <= Last; ++I) {
        const TPictureLayer& Layer = LayerAt(I);
        if (Layer.Visible) DrawLayer(Layer, Target, Clip);
    }
}

void TPictureDoc::DrawAllLayers(const TSurface& Target, int First, int Last) const {
    DrawLayers(Target, First, Rect(0, 0, FDocWidth, FDocHeight), Last);
}

void TPictureDoc::Flatten(TBitmap& Bitmap, bool UseBackground) const {
    Bitmap.SetHeight(0);
    Bitmap.SetPixelFormat(pf32bit);
    // A side of 0 or less gives no surface to draw on, whichever side it is.
    if (FDocWidth <= 0 || FDocHeight <= 0) RaiseAssertion("invalid bitmap for Surface", __FILE__, __LINE__);
    Bitmap.SetWidth(FDocWidth);
    Bitmap.SetHeight(FDocHeight);

    const TPixel32 Fill = UseBackground ? ColorToPixel(FBackgroundColor) : MakePixel(255, 255, 255, 0);
    const TSurface Target = SurfaceFromBitmap(Bitmap);
    FillSurfaceRect(Target, Rect(0, 0, FDocWidth, FDocHeight), Fill);
    DrawAllLayers(Target, 0, LayerCount() - 1);
}

void LoadDocumentToBitmap(TBitmap& Bitmap, const std::string& FileName) {
    TPictureDoc Document;
    Document.LoadFromFile(FileName);
    Document.Flatten(Bitmap, false);
}

void SavePictureAsDocument(const TGraphic& Source, const std::string& FileName) {
    TPictureDoc Document;
    Document.Assign(&Source);
    TFileStream File(FileName, TFileMode::Create);
    Document.SaveToStream(File);
}

} // namespace qv
