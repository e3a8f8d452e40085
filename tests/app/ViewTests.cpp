#include "app/View.h"

#include <QApplication>
#include <QFileSystemModel>
#include <QLabel>
#include <QMenuBar>
#include <QSplitter>
#include <QSplitterHandle>
#include <QTableWidget>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "display/Pix32.h"
#include "document/MQDoc.h"

using namespace qv;
namespace fs = std::filesystem;

namespace {

void WriteBytes(const fs::path& Path, size_t Count) {
    std::ofstream Out(Path, std::ios::binary);
    const std::string Data(Count, 'x');
    Out.write(Data.data(), static_cast<std::streamsize>(Data.size()));
}

/// Writes a W x H 24-bit Windows bitmap.
void WriteBmp(const fs::path& Path, int W, int H) {
    TBitmap B;
    B.SetPixelFormat(pf24bit);
    B.SetSize(W, H);
    B.SaveToFile(Path.string());
}

std::string Title(const TForm1& Form) { return Form.windowTitle().toStdString(); }

std::vector<std::string> ListCaptions(const TForm1& Form) {
    std::vector<std::string> Result;
    for (int Row = 0; Row < Form.FileListView->rowCount(); ++Row)
        Result.push_back(Form.FileListView->item(Row, 0)->text().toStdString());
    return Result;
}

std::string SizeOf(const TForm1& Form, const std::string& Caption) {
    for (int Row = 0; Row < Form.FileListView->rowCount(); ++Row)
        if (Form.FileListView->item(Row, 0)->text().toStdString() == Caption)
            return Form.FileListView->item(Row, 1)->text().toStdString();
    return "(not listed)";
}

int SelectedRow(const TForm1& Form) {
    const auto Rows = Form.FileListView->selectionModel()->selectedRows();
    return Rows.isEmpty() ? -1 : Rows.front().row();
}

/// "Quorvia 1.0.2 - [S%] NAME W*H*Bbit (loaded in Nms)" with N any count of milliseconds.
bool IsLoadedTitle(const std::string& Text, int Scale, const std::string& Name, const std::string& Size) {
    const std::string Head = "Quorvia 1.0.2 - [" + std::to_string(Scale) + "%] " + Name + " " + Size + " (loaded in ";
    const std::string Tail = "ms)";
    if (Text.size() <= Head.size() + Tail.size() || Text.compare(0, Head.size(), Head) != 0 ||
        Text.compare(Text.size() - Tail.size(), Tail.size(), Tail) != 0)
        return false;
    const std::string Millis = Text.substr(Head.size(), Text.size() - Head.size() - Tail.size());
    return Millis.find_first_not_of("0123456789") == std::string::npos;
}

/// A folder of three pictures and a few files the list must leave out.
class ViewerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Dir = fs::path(qvtest::TempDir()) / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(Dir);
        WriteBmp(Dir / "one.bmp", 200, 100);
        WriteBmp(Dir / "three.bmp", 30, 20);
        WriteBmp(Dir / "two.bmp", 8, 9);
        WriteBytes(Dir / "notes.txt", 10);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }

    /// Shows the form and makes it the active window, so that its shortcuts work.
    void Activate(TForm1& Form) {
        Form.show();
        QApplication::setActiveWindow(&Form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&Form));
    }

    fs::path Dir;
};

} // namespace

TEST_F(ViewerTest, AcceptedExtensionListStopsBeforeIconsAndAddsDocuments) {
    TForm1 Form({Dir.string()});
    EXPECT_EQ(Title(Form), "Quorvia 1.0.2 - [100%] ");
    EXPECT_FALSE(Form.menuBar()->isVisible());
    const std::string& List = Form.Extensions();
    const std::string Tail = "*.dib;*.rle;*.jpe;*.jfif;*.jpg;*.jpeg;*.bmp;*.mqd";
    ASSERT_GE(List.size(), Tail.size());
    EXPECT_EQ(List.substr(List.size() - Tail.size()), Tail);
    for (const char* Left : {".ico", ".emf", ".wmf"}) EXPECT_EQ(List.find(Left), std::string::npos) << Left;
    // The test program registers the readers at start, so the whole list is known.
    ASSERT_NE(TPicture::FindGraphicClass("png"), nullptr) << "the image readers are not registered";
    EXPECT_EQ(List,
              "*.png;*.psp;*.cut;*.gif;*.pcd;*.pic;*.cel;*.pbm;*.pgm;*.ppm;*.pdd;*.psd;*.bw;*.rgb;*.rgba;*.sgi;"
              "*.rla;*.rpf;*.scr;*.pcc;*.pcx;*.eps;*.fax;*.tif;*.tiff;*.icb;*.tga;*.vda;*.vst;*.win;*.dib;*.rle;"
              "*.jpe;*.jfif;*.jpg;*.jpeg;*.bmp;*.mqd");
}

TEST_F(ViewerTest, ListingRulesSizesAndOrder) {
    const fs::path L = Dir / "listing";
    fs::create_directories(L / "folder.bmp");
    WriteBytes(L / "a.jp", 10);          // a prefix of a registered extension: listed
    WriteBytes(L / "B.BMP", 100);        // upper case: listed, under 1 KB
    WriteBytes(L / "c35.jpg", 35 * 1024 + 500);
    WriteBytes(L / "doc.mqd", 2048);
    WriteBytes(L / "img10.dib", 1);
    WriteBytes(L / "img9.dib", 1);
    for (const char* Left : {"a.c", "noext", "pic.ico", "x.emf", "x.wmf", ".hidden.bmp"}) WriteBytes(L / Left, 10);
    {
        // A sparse 3 GiB file: its size must not wrap through 32 bits.
        std::ofstream Big(L / "z-big.bmp", std::ios::binary);
    }
    fs::resize_file(L / "z-big.bmp", uintmax_t{3} << 30);

    TForm1 Form({L.string()});
    EXPECT_EQ(Form.FolderTreePath(), L.string());
    EXPECT_EQ(ListCaptions(Form),
              (std::vector<std::string>{"a.jp", "B.BMP", "c35.jpg", "doc.mqd", "img9.dib", "img10.dib", "z-big.bmp"}));
    EXPECT_EQ(SizeOf(Form, "B.BMP"), "0KB");
    EXPECT_EQ(SizeOf(Form, "c35.jpg"), "35KB");
    EXPECT_EQ(SizeOf(Form, "z-big.bmp"), "3145728KB");
    EXPECT_EQ(SelectedRow(Form), -1);  // nothing selected, nothing loaded
    EXPECT_EQ(Title(Form), "Quorvia 1.0.2 - [100%] ");

    // A prefix of a registered extension is listed but has no reader.
    Form.LoadPicture((L / "a.jp").string());
    EXPECT_EQ(Title(Form), "Quorvia 1.0.2 - [100%] Error");

    // Refilling from a folder that cannot be read leaves the list empty.
    Form.FillFileList((Dir / "missing").string());
    EXPECT_EQ(Form.FileListView->rowCount(), 0);
}

TEST_F(ViewerTest, TitleThroughGoodLoadFailedLoadAndScaleChange) {
    TForm1 Form({Dir.string()});
    Form.LoadPicture((Dir / "one.bmp").string());
    EXPECT_TRUE(IsLoadedTitle(Title(Form), 100, "one.bmp", "200*100*24bit")) << Title(Form);
    EXPECT_EQ(Form.ImageView1->Bitmap().Width(), 200);

    WriteBytes(Dir / "broken.bmp", 40);
    Form.LoadPicture((Dir / "broken.bmp").string());
    EXPECT_EQ(Title(Form), "Quorvia 1.0.2 - [100%] Error");
    EXPECT_TRUE(Form.ImageView1->Bitmap().Empty());
    EXPECT_EQ(Form.PictureInfo(), "");

    Form.ImageView1->SetScale(150);
    EXPECT_EQ(Title(Form), "Quorvia 1.0.2 - [150%] ");

    // A document always reports 32 bits: flattening makes a 32-bit picture.
    TBitmap Picture;
    Picture.SetPixelFormat(pf24bit);
    Picture.SetSize(5, 4);
    SavePictureAsDocument(Picture, (Dir / "layers.mqd").string());
    Form.LoadPicture((Dir / "layers.mqd").string());
    EXPECT_TRUE(IsLoadedTitle(Title(Form), 150, "layers.mqd", "5*4*32bit")) << Title(Form);
}

TEST_F(ViewerTest, NavigationAtTheEndsAndWithoutSelection) {
    TForm1 Form({Dir.string()});
    ASSERT_EQ(ListCaptions(Form), (std::vector<std::string>{"one.bmp", "three.bmp", "two.bmp"}));
    Form.miPreviousClick();
    EXPECT_EQ(SelectedRow(Form), -1);
    Form.miNextClick();  // no selection: the first item
    EXPECT_EQ(SelectedRow(Form), 0);
    EXPECT_TRUE(IsLoadedTitle(Title(Form), 100, "one.bmp", "200*100*24bit")) << Title(Form);
    Form.miPreviousClick();
    EXPECT_EQ(SelectedRow(Form), 0);
    Form.miLastClick();
    EXPECT_EQ(SelectedRow(Form), 2);
    EXPECT_TRUE(IsLoadedTitle(Title(Form), 100, "two.bmp", "8*9*24bit")) << Title(Form);
    Form.miNextClick();
    EXPECT_EQ(SelectedRow(Form), 2);
    Form.miPreviousClick();
    EXPECT_EQ(SelectedRow(Form), 1);
    EXPECT_TRUE(IsLoadedTitle(Title(Form), 100, "three.bmp", "30*20*24bit")) << Title(Form);
    Form.miFirstClick();
    EXPECT_EQ(SelectedRow(Form), 0);

    Form.FillFileList((Dir / "missing").string());
    Form.miFirstClick();
    Form.miLastClick();
    Form.miNextClick();
    EXPECT_EQ(SelectedRow(Form), -1);
}

TEST_F(ViewerTest, ShortcutsWorkWithoutAMenuBar) {
    TForm1 Form({Dir.string()});
    std::vector<std::string> Opened;
    Form.OpenUrl = [&Opened](const std::string& Url) {
        Opened.push_back(Url);
        return true;
    };
    Activate(Form);
    ASSERT_FALSE(Form.menuBar()->isVisible());
    ASSERT_EQ(QApplication::focusWidget(), Form.FileListView);

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_PageDown);
    EXPECT_EQ(SelectedRow(Form), 0);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_PageDown);
    EXPECT_EQ(SelectedRow(Form), 1);
    EXPECT_TRUE(IsLoadedTitle(Title(Form), 100, "three.bmp", "30*20*24bit")) << Title(Form);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_End);
    EXPECT_EQ(SelectedRow(Form), 2);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_PageUp);
    EXPECT_EQ(SelectedRow(Form), 1);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Home);
    EXPECT_EQ(SelectedRow(Form), 0);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
    EXPECT_EQ(Opened, (std::vector<std::string>{"https://quorvia.example/product"}));

    // The same keys work while the image view has the focus.
    Form.ImageView1->setFocus();
    QTest::keyClick(Form.ImageView1, Qt::Key_PageDown);
    EXPECT_EQ(SelectedRow(Form), 1);
}

TEST_F(ViewerTest, ZoomCommandsAndWheelRewriteTheTitle) {
    TForm1 Form({Dir.string()});
    Form.LoadPicture((Dir / "two.bmp").string());
    const std::string Info = Form.PictureInfo();
    ASSERT_FALSE(Info.empty());

    auto* ZoomIn = qobject_cast<QToolButton*>(Form.ToolBar1->widgetForAction(Form.ToolButton7));
    ASSERT_NE(ZoomIn, nullptr);
    for (const int Expected : {150, 225, 337, 500, 500}) {
        QTest::mouseClick(ZoomIn, Qt::LeftButton);
        EXPECT_EQ(Form.ImageView1->Scale(), Expected);
        EXPECT_EQ(Title(Form), "Quorvia 1.0.2 - [" + std::to_string(Expected) + "%] " + Info);
    }
    Form.setWindowTitle("stale");
    Form.miZoomInClick();  // 750 requested, 500 kept: the title is still rewritten
    EXPECT_EQ(Title(Form), "Quorvia 1.0.2 - [500%] " + Info);

    Form.ImageView1->SetScale(100);
    for (const int Expected : {66, 44, 29, 25}) {
        Form.miZoomOutClick();
        EXPECT_EQ(Form.ImageView1->Scale(), Expected);
    }
    Form.setWindowTitle("stale");
    Form.miZoomOutClick();
    EXPECT_EQ(Title(Form), "Quorvia 1.0.2 - [25%] " + Info);

    Form.miZoom300->trigger();
    EXPECT_EQ(Form.ImageView1->Scale(), 300);
    Form.miActualSize->trigger();
    EXPECT_EQ(Title(Form), "Quorvia 1.0.2 - [100%] " + Info);

    // One wheel notch over the view: twelve points.
    const QPointF Pos(30, 30);
    QWheelEvent Notch(Pos, Form.ImageView1->mapToGlobal(Pos), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(Form.ImageView1, &Notch);
    EXPECT_EQ(Title(Form), "Quorvia 1.0.2 - [112%] " + Info);
}

TEST_F(ViewerTest, SingleFileModeHidesTheBrowserAndSevenButtons) {
    TForm1 Form({(Dir / "one.bmp").string()});
    EXPECT_TRUE(IsLoadedTitle(Title(Form), 100, "one.bmp", "200*100*24bit")) << Title(Form);
    EXPECT_TRUE(Form.miHideBrowser->isChecked());
    EXPECT_TRUE(Form.PnBrowse->isHidden());
    for (QAction* Hidden : {Form.ToolButton10, Form.ToolButton11, Form.ToolButton12, Form.ToolButton1,
                            Form.ToolButton2, Form.ToolButton3, Form.ToolButton4})
        EXPECT_FALSE(Hidden->isVisible()) << Hidden->objectName().toStdString();
    for (QAction* Kept : {Form.ToolButton5, Form.ToolButton6, Form.ToolButton7, Form.ToolButton8, Form.ToolButton9})
        EXPECT_TRUE(Kept->isVisible()) << Kept->objectName().toStdString();
    auto* HideButton = qobject_cast<QToolButton*>(Form.ToolBar1->widgetForAction(Form.ToolButton11));
    EXPECT_TRUE(HideButton->isChecked());
    // The commands themselves stay in force.
    EXPECT_TRUE(Form.miNext->isVisible());
    EXPECT_TRUE(Form.miHelp->isVisible());

    TForm1 NotAPicture({(Dir / "notes.txt").string()});
    EXPECT_EQ(Title(NotAPicture), "Quorvia 1.0.2 - [100%] Error");
}

TEST_F(ViewerTest, HideBrowserAndLinearZoomInToggle) {
    TForm1 Form({Dir.string()});
    Activate(Form);
    auto* HideButton = qobject_cast<QToolButton*>(Form.ToolBar1->widgetForAction(Form.ToolButton11));
    QTest::mouseClick(HideButton, Qt::LeftButton);
    QApplication::processEvents();  // the splitter lays itself out again
    EXPECT_TRUE(Form.miHideBrowser->isChecked());
    EXPECT_TRUE(HideButton->isChecked());
    EXPECT_FALSE(Form.PnBrowse->isVisible());
    EXPECT_FALSE(Form.Splitter2->handle(1)->isVisible());
    EXPECT_EQ(Form.ImageView1->width(), Form.Splitter2->width());  // the view fills the window
    QTest::mouseClick(HideButton, Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_TRUE(Form.PnBrowse->isVisible());
    EXPECT_TRUE(Form.Splitter2->handle(1)->isVisible());

    EXPECT_TRUE(Form.miLinearZoomIn->isChecked());
    EXPECT_EQ(Form.ImageView1->Mode(), ivAuto);
    Form.miLinearZoomIn->trigger();
    EXPECT_FALSE(Form.miLinearZoomIn->isChecked());
    EXPECT_EQ(Form.ImageView1->Mode(), ivSubsample);
    Form.miLinearZoomIn->trigger();
    EXPECT_EQ(Form.ImageView1->Mode(), ivAuto);
}

TEST_F(ViewerTest, ContextMenuGroupsEveryCommandAndIsOwnerDrawn) {
    TForm1 Form({Dir.string()});
    std::vector<std::string> Items;
    for (const QAction* Action : Form.ViewContextMenu->actions())
        Items.push_back((Action->isSeparator() ? "--" : "") + Action->text().toStdString());
    EXPECT_EQ(Items, (std::vector<std::string>{"--Browse", "Previous", "Next", "First", "Last", "--Zoom",
                                               "Actual Size", "Zoom In", "Zoom Out", "150%", "200%", "300%", "75%",
                                               "50%", "25%", "--Option", "Linear Zoom In", "HideBrowser", "--About",
                                               "Web"}));

    QMenu& Menu = *Form.ViewContextMenu;
    Menu.ensurePolished();
    Menu.adjustSize();
    const QRect Next = Menu.actionGeometry(Form.miNext);
    EXPECT_EQ(Next.height(), 20);
    EXPECT_EQ(Menu.actionGeometry(Menu.actions().front()).height(), 20);  // separators too
    // Wide enough for the widest caption with its shortcut and the 48 pixels of furniture.
    const QFontMetrics Metrics(Menu.font());
    EXPECT_GE(Next.width(), Metrics.horizontalAdvance("Linear Zoom In") + 48);

    // Drawn by the menu painter: the accent strip runs down the left edge.
    const QImage Shot = Menu.grab().toImage();
    EXPECT_EQ(Shot.pixelColor(Next.left() + 1, Next.center().y()), QColor(102, 153, 255));
    const QRect Checked = Menu.actionGeometry(Form.miLinearZoomIn);
    EXPECT_EQ(Shot.pixelColor(Checked.left() + 12, Checked.top() + 10), QColor(0, 0, 0));  // the check mark
}

TEST_F(ViewerTest, TabLeavesTheListAndNavigationMovesItsCurrentItem) {
    for (int K = 0; K < 60; ++K) WriteBmp(Dir / ("pic" + std::to_string(K) + ".bmp"), 2, 2);
    TForm1 Form({Dir.string()});
    Form.resize(800, 300);
    Activate(Form);
    ASSERT_EQ(QApplication::focusWidget(), Form.FileListView);
    // One tab stop: Tab moves on to the folder tree and loads nothing.
    QTest::keyClick(Form.FileListView, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Form.FolderTree);
    EXPECT_EQ(SelectedRow(Form), -1);

    Form.FileListView->setFocus();
    Form.miLastClick();
    const int Last = Form.FileListView->rowCount() - 1;
    EXPECT_EQ(Form.FileListView->currentIndex().row(), Last);
    const QRect Shown = Form.FileListView->visualRect(Form.FileListView->model()->index(Last, 0));
    EXPECT_TRUE(Form.FileListView->viewport()->rect().intersects(Shown)) << "the last item is out of sight";
    // The arrow keys go on from the item on show.
    QTest::keyClick(Form.FileListView, Qt::Key_Up);
    EXPECT_EQ(SelectedRow(Form), Last - 1);
}

TEST_F(ViewerTest, FilesThatComeAndGoShowAndTheSelectionStays) {
    TForm1 Form({Dir.string()});
    Form.miLastClick();
    ASSERT_EQ(ListCaptions(Form), (std::vector<std::string>{"one.bmp", "three.bmp", "two.bmp"}));
    const std::string Loaded = Title(Form);
    WriteBmp(Dir / "zero.bmp", 3, 3);
    fs::remove(Dir / "one.bmp");
    const std::vector<std::string> Expected{"three.bmp", "two.bmp", "zero.bmp"};
    for (int Wait = 0; Wait < 50 && ListCaptions(Form) != Expected; ++Wait) QTest::qWait(50);
    EXPECT_EQ(ListCaptions(Form), Expected);
    EXPECT_EQ(SelectedRow(Form), 1);
    EXPECT_EQ(Title(Form), Loaded) << "the refresh loaded a picture again";
}

TEST_F(ViewerTest, WebCommandWithoutABrowserSaysSoInTheHint) {
    TForm1 Form({Dir.string()});
    Form.OpenUrl = [](const std::string&) { return false; };
    Form.miHelpClick();
    EXPECT_EQ(Form.Label1->text().toStdString(), "No web browser found.");
    QTest::qWait(NoWebBrowserMillis + 300);
    EXPECT_EQ(Form.Label1->text().toStdString(), HintText);
    // The hint takes as many lines as its text needs in the window's font.
    const QFontMetrics Metrics(Form.Label1->font());
    const QRect Wrapped =
        Metrics.boundingRect(QRect(0, 0, Form.Label1->width(), 1000), Qt::TextWordWrap, HintText);
    EXPECT_EQ(Form.Label1->width(), 118);
    EXPECT_GE(Form.Label1->height(), Wrapped.height());
}

TEST_F(ViewerTest, ToolbarButtonsKeepTheirSizeAndCaptionsFit) {
    TForm1 Form({Dir.string()});
    for (QToolButton* Button : Form.ToolBar1->findChildren<QToolButton*>()) {
        if (Button->defaultAction() == nullptr) continue;
        EXPECT_EQ(Button->size(), QSize(67, 36)) << Button->objectName().toStdString();
        EXPECT_LE(QFontMetrics(Button->font()).horizontalAdvance(Button->defaultAction()->iconText()), 67)
            << Button->objectName().toStdString();
    }
}

TEST_F(ViewerTest, FolderTreeShowsTheStartFolder) {
    TForm1 Form({Dir.string()});
    Form.resize(800, 460);
    Activate(Form);
    const QModelIndex Current = Form.FolderTree->currentIndex();
    ASSERT_TRUE(Current.isValid());
    EXPECT_EQ(Form.FolderModel->filePath(Current).toStdString(), Dir.string());
    bool Visible = false;
    for (int Wait = 0; Wait < 100 && !Visible; ++Wait) {
        QTest::qWait(50);
        Visible = Form.FolderTree->viewport()->rect().contains(Form.FolderTree->visualRect(Current));
    }
    std::string Chain;
    for (QModelIndex P = Current; P.isValid(); P = P.parent())
        Chain += Form.FolderModel->filePath(P).toStdString() + (Form.FolderTree->isExpanded(P) ? "+ " : "- ");
    EXPECT_TRUE(Visible) << "the start folder is not scrolled into view " << Chain << " rect "
                         << Form.FolderTree->visualRect(Current).y() << " h " << Form.FolderTree->viewport()->height();
}
