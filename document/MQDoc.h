#pragma once
// Layered documents of the painting program Marqenta (".mqd"): the layer
// model, the MQD stream format (reader and writer) and the compositing of the
// layers into one 32-bit picture through the blend modes.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "display/Pix32.h"
#include "platform/Colors.h"
#include "platform/Graphics.h"
#include "platform/Streams.h"
#include "platform/Types.h"

namespace qv {

/// Reads a stream string: a signed 32-bit little-endian byte count, then that
/// many 8-bit characters. A negative count, or one longer than the bytes left
/// in the stream, raises EReadError before anything is allocated.
void ReadStreamString(TStream& Stream, std::string& Value);
/// Writes a stream string: the length as a signed 32-bit little-endian count, then the bytes.
void WriteStreamString(TStream& Stream, const std::string& Value);

/// One layer of a document: a pixel surface placed at (Left, Top) in document
/// coordinates, with its opacity and blend mode. The layer owns its surface.
struct TPictureLayer {
    TPictureLayer() = default;
    ~TPictureLayer();
    TPictureLayer(const TPictureLayer&) = delete;
    TPictureLayer& operator=(const TPictureLayer&) = delete;

    int32_t Id = 0;          ///< given by the document when the layer is added; not stored in files
    std::string Name;        ///< "Layer <Id>" unless a file says otherwise
    int32_t Left = 0;
    int32_t Top = 0;
    bool Visible = true;     ///< hidden layers are not drawn; not stored in files
    uint8_t Opacity = 255;   ///< 255 = fully opaque
    uint8_t BlendMode = 0;   ///< index into the blend-mode table of BlendSurfaces
    bool preserveAlpha = false; ///< the painter's alpha lock, carried through files only
    bool locked = false;        ///< the painter's lock flag, carried through files only
    /// The layer's pixels (AllocSurface: rows top-down, Stride = Width * 4).
    /// Empty when the file had no pixel data; Width and Height then keep the
    /// stored values, which may be zero or negative.
    TSurface Surface{};
};

/// A layered document. It derives from TBitmap so that it can stand wherever a
/// graphic is expected, but the inherited bitmap content is never used: the
/// document's own size is DocWidth()/DocHeight(), while the inherited
/// Width()/Height()/Empty() keep describing the (empty) bitmap part.
class TPictureDoc : public TBitmap {
    QV_DECLARE_GRAPHIC_CLASS(TPictureDoc)
public:
    /// The newest stream format version this reader understands, and the one the writer stores.
    static constexpr int32_t FormatVersion = 200;

    /// An empty document of 800 x 600 with no paper colour (clNone).
    TPictureDoc();
    ~TPictureDoc() override;

    int32_t DocWidth() const { return FDocWidth; }
    int32_t DocHeight() const { return FDocHeight; }
    void SetDocWidth(int32_t Value) { FDocWidth = Value; }
    void SetDocHeight(int32_t Value) { FDocHeight = Value; }
    void SetDocSize(int32_t Width, int32_t Height);

    /// Paper colour, used by Flatten when a background is asked for.
    TColor BackgroundColor() const { return FBackgroundColor; }
    void SetBackgroundColor(TColor Value) { FBackgroundColor = Value; }

    /// The last layer number handed out by AddLayer.
    int32_t NextLayerId() const { return FNextLayerId; }

    /// Number of layers.
    int LayerCount() const { return static_cast<int>(FLayers.size()); }
    /// The layer at Index (0 = bottom); an index outside the list raises EListError.
    TPictureLayer& LayerAt(int Index);
    const TPictureLayer& LayerAt(int Index) const;
    /// Creates a layer with the defaults and the next layer number, named
    /// "Layer <Id>", inserts it at min(Index, LayerCount()) and returns that position.
    int AddLayer(int Index);
    /// Frees every layer and sets the layer counter and the document size to 0;
    /// the paper colour is kept.
    void Clear();

    /// Reads an MQD stream into the document (Clear first). Counts and sizes
    /// the stream cannot hold, or beyond the bitmap size limit, raise EReadError
    /// before anything is allocated. On failure the layers read so far stay,
    /// the last one possibly without pixels.
    void LoadFromStream(TStream& Stream) override;
    /// Writes the document as an MQD stream of the current format version.
    void SaveToStream(TStream& Stream) override;
    /// Builds a one-layer document from any picture (a null source leaves the
    /// document empty). A picture that is already 32-bit keeps its alpha.
    void Assign(const TGraphic* Source) override;

    /// The layer's rectangle in document coordinates (clamped to the 32-bit range).
    static TRect LayerBounds(const TPictureLayer& Layer);
    /// Blends the part of Layer inside Clip onto Target (whose pixel (0, 0) is
    /// document pixel (0, 0)); Clip must lie within Target. Returns whether anything was drawn.
    static bool DrawLayer(const TPictureLayer& Layer, const TSurface& Target, const TRect& Clip);
    /// Draws the visible layers First..Last (clamped to the list) bottom-up through DrawLayer.
    void DrawLayers(const TSurface& Target, int First, const TRect& Clip, int Last) const;
    /// DrawLayers clipped to the document rectangle; Target must cover the whole document.
    void DrawAllLayers(const TSurface& Target, int First, int Last) const;
    /// Makes Bitmap a 32-bit picture of the document's size holding the visible
    /// layers over the paper colour (UseBackground) or over transparent white.
    /// A document with a side of 0 or less leaves Bitmap empty and raises the
    /// assertion "invalid bitmap for Surface".
    void Flatten(TBitmap& Bitmap, bool UseBackground) const;

    /// Called while loading and saving with a percent from 10 to 80. It hides
    /// TGraphic::OnProgress, whose richer notification the document does not send.
    std::function<void(int)> OnProgress;

private:
    void ReadLayer(TStream& Stream, TPictureLayer& Layer);
    void WriteLayer(TStream& Stream, const TPictureLayer& Layer);
    void ReportProgress(int64_t Done, int64_t Total);

    int32_t FNextLayerId = 0;
    std::vector<std::unique_ptr<TPictureLayer>> FLayers;
    int32_t FDocHeight = 600;
    int32_t FDocWidth = 800;
    TColor FBackgroundColor = clNone;
};

/// Loads an MQD file and flattens it without background into Bitmap (areas no
/// layer covers are white with alpha 0), as the viewer shows documents.
void LoadDocumentToBitmap(TBitmap& Bitmap, const std::string& FileName);
/// Writes Source as a one-layer MQD document to FileName.
void SavePictureAsDocument(const TGraphic& Source, const std::string& FileName);

} // namespace qv
