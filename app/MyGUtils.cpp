#include "app/MyGUtils.h"

#include <algorithm>
#include <cstring>

#include "display/Pix32.h"
#include "platform/JPEG.h"
#include "platform/System.h"

namespace qv {

uint32_t TickCount() { return GetTickCount(); }

void LoadPictureToBitmap(TBitmap& Bitmap, const std::string& FileName) {
    TPicture Picture;
    Picture.LoadFromFile(FileName);
    // Moved, not copied: a large picture is held once, not twice.
    if (auto* Loaded = dynamic_cast<TBitmap*>(Picture.Graphic()))
        Bitmap.TakeFrom(*Loaded);
    else if (auto* Jpeg = dynamic_cast<TJPEGImage*>(Picture.Graphic()))
        Jpeg->ReleaseBitmap(Bitmap);
    else
        Bitmap.Assign(Picture.Graphic());
}

// ---- Colours ---------------------------------------------------------------

namespace {

uint8_t ClampChannel(int Value) { return static_cast<uint8_t>(std::clamp(Value, 0, 255)); }

} // namespace

TColor AdjustColor(TColor Color, int Amount) {
    const TColor C = ColorToRGB(Color);
    return RGB(ClampChannel(GetRValue(C) + Amount), ClampChannel(GetGValue(C) + Amount),
               ClampChannel(GetBValue(C) + Amount));
}

TColor LightColor(TColor Color) { return AdjustColor(Color, 128); }
TColor ShadowColor(TColor Color) { return AdjustColor(Color, -64); }
TColor DarkColor(TColor Color) { return AdjustColor(Color, -128); }

TColor AverageColor(TColor A, TColor B) {
    const TColor CA = ColorToRGB(A);
    const TColor CB = ColorToRGB(B);
    return RGB(static_cast<uint8_t>((GetRValue(CA) + GetRValue(CB)) >> 1),
               static_cast<uint8_t>((GetGValue(CA) + GetGValue(CB)) >> 1),
               static_cast<uint8_t>((GetBValue(CA) + GetBValue(CB)) >> 1));
}

TRect GrowRect(const TRect& R, int DX, int DY) {
    return TRect{R.Left - DX, R.Top - DY, R.Right + DX, R.Bottom + DY};
}

// ---- Gradients -------------------------------------------------------------

TTriVertex MakeVertex(int32_t X, int32_t Y, TColor C) {
    const TColor RGBValue = ColorToRGB(C);
    TTriVertex V;
    V.X = X;
    V.Y = Y;
    V.Red = static_cast<uint16_t>(GetRValue(RGBValue) << 8);
    V.Green = static_cast<uint16_t>(GetGValue(RGBValue) << 8);
    V.Blue = static_cast<uint16_t>(GetBValue(RGBValue) << 8);
    return V;
}

namespace {

/// Channels of a vertex as 64-bit values, for weighted sums.
struct TChannels {
    int64_t R, G, B;
};

TChannels ChannelsOf(const TTriVertex& V) { return {V.Red, V.Green, V.Blue}; }

TPixel32 PixelFrom16(int64_t R, int64_t G, int64_t B) {
    return MakePixel(static_cast<uint8_t>(R >> 8), static_cast<uint8_t>(G >> 8), static_cast<uint8_t>(B >> 8),
                     255);
}

/// The part of [First, End) that falls on the bitmap along one axis, in world coordinates.
void ClipSpan(int64_t& First, int64_t& End, int64_t Origin, int64_t Size) {
    First = std::max(First, Origin);
    End = std::min(End, Origin + Size);
}

TPixel32* PixelAt(TBitmap& Target, const TPoint& Origin, int64_t X, int64_t Y) {
    auto* Row = reinterpret_cast<TPixel32*>(Target.ScanLine(static_cast<int>(Y - Origin.Y)));
    return Row + (X - Origin.X);
}

/// Twice the signed area of (A, B, P), in doubled coordinates.
int64_t Edge(int64_t AX, int64_t AY, int64_t BX, int64_t BY, int64_t PX, int64_t PY) {
    return (BX - AX) * (PY - AY) - (BY - AY) * (PX - AX);
}

/// Whether a pixel centre lying exactly on edge A->B belongs to the triangle.
/// Two triangles of the same winding walk a shared edge in opposite
/// directions, so exactly one of them takes such a pixel.
bool OwnsEdge(int64_t AX, int64_t AY, int64_t BX, int64_t BY) {
    const int64_t DX = BX - AX;
    const int64_t DY = BY - AY;
    return DY > 0 || (DY == 0 && DX < 0);
}

void FillTriangle(TBitmap& Target, const TPoint& Origin, TTriVertex A, TTriVertex B, TTriVertex C) {
    if (Edge(A.X, A.Y, B.X, B.Y, C.X, C.Y) < 0) std::swap(B, C);
    // Doubled coordinates put pixel centres on integers.
    const int64_t AX = 2 * int64_t{A.X}, AY = 2 * int64_t{A.Y};
    const int64_t BX = 2 * int64_t{B.X}, BY = 2 * int64_t{B.Y};
    const int64_t CX = 2 * int64_t{C.X}, CY = 2 * int64_t{C.Y};
    const int64_t Area = Edge(AX, AY, BX, BY, CX, CY);
    if (Area == 0) return;

    int64_t X0 = std::min({int64_t{A.X}, int64_t{B.X}, int64_t{C.X}});
    int64_t X1 = std::max({int64_t{A.X}, int64_t{B.X}, int64_t{C.X}});
    int64_t Y0 = std::min({int64_t{A.Y}, int64_t{B.Y}, int64_t{C.Y}});
    int64_t Y1 = std::max({int64_t{A.Y}, int64_t{B.Y}, int64_t{C.Y}});
    ClipSpan(X0, X1, Origin.X, Target.Width());
    ClipSpan(Y0, Y1, Origin.Y, Target.Height());

    const bool OwnBC = OwnsEdge(BX, BY, CX, CY);
    const bool OwnCA = OwnsEdge(CX, CY, AX, AY);
    const bool OwnAB = OwnsEdge(AX, AY, BX, BY);
    const TChannels CA = ChannelsOf(A), CB = ChannelsOf(B), CC = ChannelsOf(C);
    for (int64_t Y = Y0; Y < Y1; ++Y) {
        const int64_t PY = 2 * Y + 1;
        for (int64_t X = X0; X < X1; ++X) {
            const int64_t PX = 2 * X + 1;
            const int64_t WA = Edge(BX, BY, CX, CY, PX, PY);
            const int64_t WB = Edge(CX, CY, AX, AY, PX, PY);
            const int64_t WC = Edge(AX, AY, BX, BY, PX, PY);
            if (WA < 0 || WB < 0 || WC < 0) continue;
            if ((WA == 0 && !OwnBC) || (WB == 0 && !OwnCA) || (WC == 0 && !OwnAB)) continue;
            // Coverage is decided at the pixel centre, colour at its top-left
            // corner, so a pixel at a vertex gets exactly that vertex's colour.
            const int64_t KA = Edge(BX, BY, CX, CY, PX - 1, PY - 1);
            const int64_t KB = Edge(CX, CY, AX, AY, PX - 1, PY - 1);
            const int64_t KC = Edge(AX, AY, BX, BY, PX - 1, PY - 1);
            auto Mix = [&](int64_t ChannelA, int64_t ChannelB, int64_t ChannelC) {
                return std::clamp<int64_t>((KA * ChannelA + KB * ChannelB + KC * ChannelC) / Area, 0, 0xFFFF);
            };
            *PixelAt(Target, Origin, X, Y) = PixelFrom16(Mix(CA.R, CB.R, CC.R), Mix(CA.G, CB.G, CC.G),
                                                         Mix(CA.B, CB.B, CC.B));
        }
    }
}

/// A transparent 32-bit bitmap of R's size for a gradient to be drawn into.
std::unique_ptr<TBitmap> NewGradientBitmap(const TRect& R) {
    auto Bitmap = New32BitBitmap(R.Width(), R.Height());
    for (int Y = 0; Y < Bitmap->Height(); ++Y) std::memset(Bitmap->ScanLine(Y), 0, size_t(R.Width()) * 4);
    return Bitmap;
}

TRect NormalizedRect(const TRect& R) {
    return TRect{std::min(R.Left, R.Right), std::min(R.Top, R.Bottom), std::max(R.Left, R.Right),
                 std::max(R.Top, R.Bottom)};
}

} // namespace

void GradientFillRects(TBitmap& Target, const TPoint& Origin, const std::vector<TTriVertex>& Vertices,
                       const std::vector<TGradientRect>& Rects, bool Vertical) {
    for (const TGradientRect& Mesh : Rects) {
        if (Mesh.UpperLeft >= Vertices.size() || Mesh.LowerRight >= Vertices.size()) continue;
        TTriVertex First = Vertices[Mesh.UpperLeft];
        TTriVertex Last = Vertices[Mesh.LowerRight];
        // The colour runs along one axis; order the corners along it so the
        // first colour always sits at the smaller coordinate.
        if (Vertical ? First.Y > Last.Y : First.X > Last.X) std::swap(First, Last);
        int64_t X0 = std::min(First.X, Last.X), X1 = std::max(First.X, Last.X);
        int64_t Y0 = std::min(First.Y, Last.Y), Y1 = std::max(First.Y, Last.Y);
        const int64_t Start = Vertical ? Y0 : X0;
        const int64_t Span = Vertical ? Y1 - Y0 : X1 - X0;
        if (Span <= 0 || X1 <= X0 || Y1 <= Y0) continue;
        ClipSpan(X0, X1, Origin.X, Target.Width());
        ClipSpan(Y0, Y1, Origin.Y, Target.Height());
        const TChannels C0 = ChannelsOf(First), C1 = ChannelsOf(Last);
        for (int64_t Y = Y0; Y < Y1; ++Y) {
            for (int64_t X = X0; X < X1; ++X) {
                const int64_t T = (Vertical ? Y : X) - Start;
                *PixelAt(Target, Origin, X, Y) = PixelFrom16(C0.R + (C1.R - C0.R) * T / Span,
                                                             C0.G + (C1.G - C0.G) * T / Span,
                                                             C0.B + (C1.B - C0.B) * T / Span);
            }
        }
    }
}

void GradientFillTriangles(TBitmap& Target, const TPoint& Origin, const std::vector<TTriVertex>& Vertices,
                           const std::vector<TGradientTriangle>& Triangles) {
    for (const TGradientTriangle& Mesh : Triangles) {
        if (Mesh.Vertex1 >= Vertices.size() || Mesh.Vertex2 >= Vertices.size() || Mesh.Vertex3 >= Vertices.size())
            continue;
        FillTriangle(Target, Origin, Vertices[Mesh.Vertex1], Vertices[Mesh.Vertex2], Vertices[Mesh.Vertex3]);
    }
}

void GradientQuad(TCanvas& Canvas, const TRect& R, TColor TopLeft, TColor TopRight, TColor BottomLeft,
                  TColor BottomRight) {
    const TRect Bounds = NormalizedRect(R);
    if (Bounds.IsEmpty()) return;
    const std::vector<TTriVertex> Vertices{MakeVertex(R.Left, R.Top, TopLeft), MakeVertex(R.Right, R.Top, TopRight),
                                           MakeVertex(R.Left, R.Bottom, BottomLeft),
                                           MakeVertex(R.Right, R.Bottom, BottomRight)};
    auto Bitmap = NewGradientBitmap(Bounds);
    GradientFillTriangles(*Bitmap, Point(Bounds.Left, Bounds.Top), Vertices, {{0, 1, 2}, {2, 1, 3}});
    Canvas.Draw(Bounds.Left, Bounds.Top, *Bitmap);
}

void FillGradient(TCanvas& Canvas, const TRect& R, TColor A, TColor B, TGradientKind Kind) {
    switch (Kind) {
    case TGradientKind::Horizontal:
    case TGradientKind::Vertical: {
        if (R.IsEmpty()) return;
        auto Bitmap = NewGradientBitmap(R);
        GradientFillRects(*Bitmap, Point(R.Left, R.Top),
                          {MakeVertex(R.Left, R.Top, A), MakeVertex(R.Right, R.Bottom, B)}, {{0, 1}},
                          Kind == TGradientKind::Vertical);
        Canvas.Draw(R.Left, R.Top, *Bitmap);
        return;
    }
    case TGradientKind::DiagonalDown: {
        const TColor Mid = AverageColor(A, B);
        GradientQuad(Canvas, R, A, Mid, Mid, B);
        return;
    }
    case TGradientKind::DiagonalUp: {
        const TColor Mid = AverageColor(A, B);
        GradientQuad(Canvas, R, Mid, A, B, Mid);
        return;
    }
    }
}

// ---- Owner-drawn menus -----------------------------------------------------

namespace {

constexpr int DropDownItemHeight = 20;
constexpr int AccentStripWidth = 4;

void DrawSeparator(const TMenuItemInfo& Item, TCanvas& Canvas, const TRect& R) {
    const TColor Face = ColorToRGB(clBtnFace);
    const TColor Shadow = ShadowColor(clBtnFace);
    FillGradient(Canvas, R, MenuPaperColor, Face, TGradientKind::Horizontal);
    const int Pad = (R.Width() - Canvas.TextWidth(Item.Hint)) / 2;
    if (!Item.Hint.empty()) {
        Canvas.SetBrushStyle(TBrushStyle::Clear);
        Canvas.DrawText(TRect{R.Left + Pad, R.Top + 4, R.Right - Pad, R.Bottom - 4}, Item.Hint, TTextAlign::Left);
    }
    const int Y = R.Top + (R.Height() / 2 - 1);
    GradientQuad(Canvas, TRect{R.Left, Y, R.Left + Pad - 4, Y + 3}, MenuPaperColor, MenuPaperColor, MenuPaperColor,
                 Shadow);
    GradientQuad(Canvas, TRect{R.Right - Pad + 4, Y, R.Right, Y + 3}, MenuPaperColor, Face, Shadow, Face);
}

} // namespace

void MeasureMenuItem(const TMenuItemInfo& Item, TCanvas& Canvas, int& Width, int& Height) {
    if (Item.IsMenuBarItem) {
        Width = Canvas.TextWidth(Item.Caption) + 8;
        return;
    }
    Height = DropDownItemHeight;
    Width = Canvas.TextWidth(Item.Caption) + Canvas.TextWidth(Item.ShortCutText) + 48;
}

void DrawMenuItem(const TMenuItemInfo& Item, TCanvas& Canvas, const TRect& ItemRect, const TOwnerDrawState& State) {
    const bool DropDown = !Item.IsMenuBarItem;
    const TColor Face = ColorToRGB(clBtnFace);
    const TColor Shadow = ShadowColor(clBtnFace);
    TRect R = ItemRect;

    if (DropDown) {
        FillGradient(Canvas, TRect{R.Left, R.Top, R.Left + AccentStripWidth, R.Bottom}, MenuAccentColor,
                     MenuAccentColor, TGradientKind::Horizontal);
        R.Left += AccentStripWidth;
    }
    if (Item.Caption == "-") {
        DrawSeparator(Item, Canvas, R);
        return;
    }

    const bool Enabled = !State.Disabled && !State.Grayed;
    const bool Highlighted = State.Selected && Enabled;
    if (!DropDown) {
        R = GrowRect(R, -1, 0);
        Canvas.SetBrushColor(Highlighted ? MenuAccentColor : Shadow);
        Canvas.FrameRect(R);
        R = GrowRect(R, -1, -1);
        FillGradient(Canvas, R, MenuPaperColor, Highlighted ? MenuAccentColor : Face, TGradientKind::DiagonalDown);
    } else if (Highlighted) {
        Canvas.SetBrushColor(MenuAccentColor);
        Canvas.FrameRect(R);
        R = GrowRect(R, -1, -1);
        FillGradient(Canvas, R, MenuPaperColor, MenuAccentColor, TGradientKind::DiagonalDown);
    } else {
        FillGradient(Canvas, R, MenuPaperColor, Face, TGradientKind::Horizontal);
    }
    Canvas.SetFontColor(Enabled ? clBlack : ColorToRGB(clGrayText));
    R.Left += 4;

    if (State.Checked) {
        const int Middle = (R.Top + R.Bottom) / 2;
        Canvas.SetBrushStyle(TBrushStyle::Solid);
        Canvas.SetBrushColor(clBlack);
        Canvas.SetPenColor(clBlack);
        Canvas.Ellipse(TRect{R.Left + 1, Middle - 3, R.Left + 7, Middle + 3});
    } else if (Item.ImageIndex != -1 && Item.Images != nullptr && Item.ImageIndex < Item.Images->Count()) {
        Item.Images->Draw(Canvas, R.Left, R.Top + (R.Height() - Item.Images->Height()) / 2, Item.ImageIndex,
                          Enabled);
        R.Left += Item.Images->Width() + 4;
    }

    if (DropDown) R.Left += 12;
    Canvas.SetBrushStyle(TBrushStyle::Clear);
    if (DropDown) R.Right -= 15;
    const int V = (R.Height() - Canvas.TextHeight(Item.Caption) - 1) / 2;
    R.Top += V;
    R.Bottom -= V;
    Canvas.DrawText(R, Item.Caption, TTextAlign::Left);
    if (DropDown && !Item.ShortCutText.empty()) Canvas.DrawText(R, Item.ShortCutText, TTextAlign::Right);
}

} // namespace qv
