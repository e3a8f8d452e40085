#pragma once
// A canvas that records what is drawn on it, with fixed text metrics
// (6 pixels per character, 13 pixels high), for headless painter tests.

#include <string>
#include <vector>

#include "platform/gui/Canvas.h"

namespace qvtest {

struct TCanvasOp {
    enum class TKind { Fill, Frame, Ellipse, Text, Draw } Kind;
    qv::TRect R;             ///< rectangle, or for Draw the bitmap's bounds at its position
    std::string Text;
    qv::TTextAlign Align = qv::TTextAlign::Left;
    qv::TColor BrushColor = 0;
    qv::TColor FontColor = 0;
    bool ClearBrush = false;
    uint32_t FirstPixel = 0;  ///< for Draw: the top-left pixel (blue, green, red, alpha)
    uint32_t LastPixel = 0;   ///< for Draw: the bottom-right pixel
};

class TRecordingCanvas : public qv::TCanvas {
public:
    static constexpr int CharWidth = 6;
    static constexpr int LineHeight = 13;

    void SetBrushColor(qv::TColor Color) override {
        FBrush = Color;
        FClear = false;
    }
    void SetBrushStyle(qv::TBrushStyle Style) override { FClear = Style == qv::TBrushStyle::Clear; }
    void SetPenColor(qv::TColor) override {}
    void SetFontColor(qv::TColor Color) override { FFont = Color; }
    int TextWidth(const std::string& Text) override { return CharWidth * static_cast<int>(Text.size()); }
    int TextHeight(const std::string&) override { return LineHeight; }
    void FillRect(const qv::TRect& R) override { Add(TCanvasOp::TKind::Fill, R); }
    void FrameRect(const qv::TRect& R) override { Add(TCanvasOp::TKind::Frame, R); }
    void Ellipse(const qv::TRect& R) override { Add(TCanvasOp::TKind::Ellipse, R); }
    void DrawText(const qv::TRect& R, const std::string& Text, qv::TTextAlign Align) override {
        TCanvasOp& Op = Add(TCanvasOp::TKind::Text, R);
        Op.Text = Text;
        Op.Align = Align;
    }
    void Draw(int X, int Y, const qv::TBitmap& Bitmap) override {
        TCanvasOp& Op = Add(TCanvasOp::TKind::Draw, qv::TRect{X, Y, X + Bitmap.Width(), Y + Bitmap.Height()});
        Op.FirstPixel = Bitmap.PixelBGRA(0, 0);
        Op.LastPixel = Bitmap.PixelBGRA(Bitmap.Width() - 1, Bitmap.Height() - 1);
    }

    std::vector<TCanvasOp> Ops;

    std::vector<TCanvasOp> OfKind(TCanvasOp::TKind Kind) const {
        std::vector<TCanvasOp> Result;
        for (const TCanvasOp& Op : Ops)
            if (Op.Kind == Kind) Result.push_back(Op);
        return Result;
    }

private:
    TCanvasOp& Add(TCanvasOp::TKind Kind, const qv::TRect& R) {
        Ops.push_back(TCanvasOp{Kind, R, {}, qv::TTextAlign::Left, FBrush, FFont, FClear, 0, 0});
        return Ops.back();
    }

    qv::TColor FBrush = qv::clWhite;
    qv::TColor FFont = qv::clBlack;
    bool FClear = false;
};

} // namespace qvtest
