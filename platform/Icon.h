#pragma once
// Windows icons: the largest, deepest entry of the icon directory, decoded
// into 32 bits with alpha (the AND mask applied for lower depths).

#include "platform/Graphics.h"

namespace qv {

class TIcon : public TGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TIcon)
public:
    /// Decodes one PNG-compressed icon entry (the stream holds exactly its
    /// bytes) into Bitmap; 32-bit results keep their alpha.
    using TPngDecoder = void (*)(TStream& Stream, TBitmap& Bitmap);

    TIcon();
    ~TIcon() override;

    bool Empty() const override { return FBitmap.Empty(); }
    int Width() const override { return FBitmap.Width(); }
    int Height() const override { return FBitmap.Height(); }
    /// Loads the largest, deepest entry that can be decoded.
    void LoadFromStream(TStream& Stream) override;
    /// Loads entry Index (0 = first) of the icon directory.
    void LoadEntryFromStream(TStream& Stream, int Index);
    void AssignTo(TGraphic& Dest) const override;

    const TBitmap& Bitmap() const { return FBitmap; }

    /// Installs the decoder used for PNG-compressed entries; without one
    /// such entries are refused (or passed over when another entry exists).
    static void SetPngDecoder(TPngDecoder Decoder);

private:
    void Load(TStream& Stream, int Index);

    TBitmap FBitmap;
};

} // namespace qv
