#include "display/ZavuziCtrls.h"

#include <QApplication>
#include <QEnterEvent>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <gtest/gtest.h>

using namespace qv;

namespace {

std::unique_ptr<TBitmap> SolidPicture(int W, int H, TPixel32 Colour, TPixelFormat Format) {
    auto B = New32BitBitmap(W, H);
    for (int Y = 0; Y < H; ++Y)
        for (int X = 0; X < W; ++X) reinterpret_cast<TPixel32*>(B->ScanLine(Y))[X] = Colour;
    if (Format != pf32bit) B->SetPixelFormat(Format);
    return B;
}

/// Turns the wheel over the view by Delta (120 is one notch); returns whether the view consumed it.
bool Wheel(QWidget& View, int Delta) {
    const QPointF Pos(20, 20);
    QWheelEvent Event(Pos, View.mapToGlobal(Pos), QPoint(), QPoint(0, Delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&View, &Event);
    return Event.isAccepted();
}

void Drag(QWidget& View, QPoint From, QPoint To) {
    QTest::mousePress(&View, Qt::LeftButton, Qt::NoModifier, From);
    QMouseEvent Move(QEvent::MouseMove, QPointF(To), View.mapToGlobal(QPointF(To)), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(&View, &Move);
    QTest::mouseRelease(&View, Qt::LeftButton, Qt::NoModifier, To);
}

class ImageViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        View.resize(402, 302);
        View.OnScaleChange = [this](QObject* Sender) {
            EXPECT_EQ(Sender, &View);
            ++Changes;
        };
    }

    TImageView View;
    int Changes = 0;
};

} // namespace

TEST_F(ImageViewTest, ScaleIsClampedAndEveryAcceptedRequestFires) {
    EXPECT_EQ(View.Scale(), 100);
    EXPECT_EQ(View.Mode(), ivAuto);
    View.SetScale(10);
    EXPECT_EQ(View.Scale(), 25);
    View.SetScale(1000);
    EXPECT_EQ(View.Scale(), 500);
    EXPECT_EQ(Changes, 2);
    View.SetScale(500);
    EXPECT_EQ(Changes, 2);
    View.SetScale(750);  // differs from 500 but clamps back to it: still reported
    EXPECT_EQ(View.Scale(), 500);
    EXPECT_EQ(Changes, 3);
}

TEST_F(ImageViewTest, WheelNotchesMoveTheScaleByTwelveOnlyWithMouseScale) {
    EXPECT_FALSE(Wheel(View, 120));
    EXPECT_EQ(View.Scale(), 100);  // MouseScale is off by default
    View.SetMouseScale(true);
    EXPECT_FALSE(Wheel(View, 120));  // never consumed
    EXPECT_EQ(View.Scale(), 112);
    Wheel(View, -120);
    EXPECT_EQ(View.Scale(), 100);
    Wheel(View, 15);  // a fine trackpad step: a tenth, truncated
    EXPECT_EQ(View.Scale(), 101);
    Wheel(View, -15);
    EXPECT_EQ(View.Scale(), 100);
    View.SetScale(30);
    Wheel(View, -120);
    EXPECT_EQ(View.Scale(), 25);
}

TEST_F(ImageViewTest, MiddleButtonReleaseResetsToActualSize) {
    View.SetScale(300);
    const int Before = Changes;
    QTest::mouseClick(&View, Qt::MiddleButton);
    EXPECT_EQ(View.Scale(), 100);
    EXPECT_EQ(Changes, Before + 1);
    QTest::mouseClick(&View, Qt::MiddleButton);
    EXPECT_EQ(Changes, Before + 1);  // already 100: nothing to report
    QTest::mouseClick(&View, Qt::RightButton);
    EXPECT_EQ(View.Scale(), 100);
}

TEST_F(ImageViewTest, PaintsFrameAndCentredPicture) {
    auto Picture = SolidPicture(200, 100, MakePixel(0, 0, 0, 255), pf24bit);
    View.SetBitmap(Picture.get());
    const QImage Shot = View.grab().toImage();
    ASSERT_EQ(Shot.size(), QSize(402, 302));
    EXPECT_EQ(Shot.pixelColor(0, 0), QColor(127, 127, 127));    // window colour darkened by 128
    EXPECT_EQ(Shot.pixelColor(0, 150), QColor(127, 127, 127));
    EXPECT_EQ(Shot.pixelColor(401, 301), QColor(255, 255, 255)); // and lightened
    EXPECT_EQ(Shot.pixelColor(200, 301), QColor(255, 255, 255));
    EXPECT_EQ(Shot.pixelColor(101, 101), QColor(0, 0, 0));
    EXPECT_EQ(Shot.pixelColor(300, 200), QColor(0, 0, 0));
    EXPECT_EQ(Shot.pixelColor(100, 100), QColor(255, 255, 255));
    EXPECT_EQ(Shot.pixelColor(301, 201), QColor(255, 255, 255));
}

TEST_F(ImageViewTest, DragPansOnlyAnEnlargedPictureAndOnlyToItsEdges) {
    auto Picture = SolidPicture(200, 100, MakePixel(0, 0, 0, 255), pf24bit);
    View.SetBitmap(Picture.get());
    Drag(View, QPoint(200, 150), QPoint(260, 190));
    View.grab();
    EXPECT_EQ(View.Offset(), Point(0, 0));  // fits at 100 %: always centred

    View.SetScale(500);
    Drag(View, QPoint(200, 150), QPoint(260, 130));
    View.grab();
    EXPECT_EQ(View.Offset(), Point(60, -20));
    Drag(View, QPoint(10, 10), QPoint(390, 290));  // far beyond: clamped, and the excess forgotten
    View.grab();
    EXPECT_EQ(View.Offset(), Point(300, 100));
    Drag(View, QPoint(390, 290), QPoint(380, 290));
    View.grab();
    EXPECT_EQ(View.Offset(), Point(290, 100));

    // Moving without the left button does not pan; a new picture recentres.
    QMouseEvent Move(QEvent::MouseMove, QPointF(10, 10), View.mapToGlobal(QPointF(10, 10)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&View, &Move);
    View.grab();
    EXPECT_EQ(View.Offset(), Point(290, 100));
    View.SetBitmap(Picture.get());
    EXPECT_EQ(View.Offset(), Point(0, 0));
    EXPECT_EQ(View.Scale(), 500);
}

TEST_F(ImageViewTest, KeepsA32BitCopyWithDefinedAlpha) {
    auto Opaque = SolidPicture(4, 3, MakePixel(10, 20, 30, 0), pf24bit);
    View.SetBitmap(Opaque.get());
    ASSERT_EQ(View.Bitmap().PixelFormat(), pf32bit);
    EXPECT_EQ(View.Bitmap().PixelBGRA(3, 2), MakePixel(10, 20, 30, 255));
    auto SeeThrough = SolidPicture(4, 3, MakePixel(10, 20, 30, 0), pf32bit);
    View.SetBitmap(SeeThrough.get());
    EXPECT_EQ(View.Bitmap().PixelBGRA(0, 0), MakePixel(10, 20, 30, 0));
    // Fully transparent: only the background shows.
    const QImage Shot = View.grab().toImage();
    EXPECT_EQ(Shot.pixelColor(201, 151), QColor(255, 255, 255));
    View.SetBitmap(nullptr);
    EXPECT_TRUE(View.Bitmap().Empty());
}

TEST(ExCustomControl, MouseEnterGivesTheViewFocusAndLeaveIsReported) {
    QWidget Window;
    auto* Layout = new QVBoxLayout(&Window);
    auto* Edit = new QLineEdit(&Window);
    auto* View = new TImageView(&Window);
    Layout->addWidget(Edit);
    Layout->addWidget(View);
    Window.show();
    Edit->setFocus();
    int Entered = 0, Left = 0;
    View->OnMouseEnter = [&](QObject*) { ++Entered; };
    View->OnMouseLeave = [&](QObject*) { ++Left; };

    QEnterEvent Enter(QPointF(5, 5), QPointF(5, 5), View->mapToGlobal(QPointF(5, 5)));
    QApplication::sendEvent(View, &Enter);
    EXPECT_TRUE(View->MouseInControl());
    EXPECT_EQ(Entered, 1);
    EXPECT_EQ(Window.focusWidget(), View);

    QEvent Leave(QEvent::Leave);
    QApplication::sendEvent(View, &Leave);
    EXPECT_FALSE(View->MouseInControl());
    EXPECT_EQ(Left, 1);
}
