#include "app/View.h"

#include <QAction>
#include <QApplication>
#include <QCollator>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFileSystemWatcher>
#include <QFrame>
#include <QHeaderView>
#include <QScrollBar>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>

#include "app/AppIcon.h"
#include "app/Glyphs.h"
#include "app/MyGUtils.h"
#include "document/MQDoc.h"
#include "platform/System.h"
#include "platform/gui/QtGraphics.h"

namespace qv {

namespace {

constexpr const char* TagProperty = "qvTag";

QString Q(const std::string& S) { return QString::fromStdString(S); }

/// The list's rows carry the caption of a file; sorted with the desktop's
/// locale-aware comparison, numbers in names compared by value.
struct TListEntry {
    QString Caption;
    QString Size;
};

/// The toolbar's button size and height.
constexpr int ButtonWidth = 67;
constexpr int HintWidth = 118;
constexpr int ButtonHeight = 36;
constexpr int ToolBarHeight = 38;
/// Room a caption has inside a button, and the smallest font tried before eliding.
constexpr int CaptionRoom = ButtonWidth - 6;
constexpr int SmallestCaptionPixels = 9;

/// A glyph as an icon drawn at the common device pixel ratios: each pixel of
/// the artwork becomes a block of device pixels, so it stays sharp.
QIcon GlyphIcon(const TBitmap& Glyph) {
    const QImage Image = BitmapToQImage(Glyph);
    QIcon Icon;
    for (const qreal Ratio : {1.0, 1.25, 1.5, 2.0, 3.0}) {
        const QSize Size(qRound(Image.width() * Ratio), qRound(Image.height() * Ratio));
        QPixmap Pixmap = QPixmap::fromImage(Image.scaled(Size, Qt::IgnoreAspectRatio, Qt::FastTransformation));
        Pixmap.setDevicePixelRatio(Ratio);
        Icon.addPixmap(Pixmap);
    }
    return Icon;
}

/// Shows the busy cursor while a load blocks the window.
class TBusyCursor {
public:
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
};

} // namespace

TForm1::TForm1(const std::vector<std::string>& Args, QWidget* Parent)
    : QMainWindow(Parent), FImageList(CreateViewerGlyphs()), FMenuStyle(std::make_unique<TMenuStyle>(FImageList.get())) {
    setObjectName("Form1");
    setWindowTitle("Quorvia 1.0.2");
    setWindowIcon(ProgramIcon());
    setGeometry(191, 124, 802, 461);
    QFont Font = font();
    Font.setPixelSize(12);
    setFont(Font);

    CreateMenus();
    CreateToolBar();
    CreateBrowser();
    CreateContextMenu();
    FormCreate(Args);
}

TForm1::~TForm1() {
    // The menus use FMenuStyle; they go before it does.
    delete ViewContextMenu;
    delete menuBar();
}

bool TForm1::DesktopOpenUrl(const std::string& Url) { return QDesktopServices::openUrl(QUrl(Q(Url))); }

// ---- Construction ------------------------------------------------------------

void TForm1::CreateMenus() {
    QMenuBar* MainMenu1 = menuBar();
    MainMenu1->setObjectName("MainMenu1");
    // The menu bar stays hidden: its items exist for their shortcuts and as the toolbar's commands.
    MainMenu1->setVisible(false);

    auto AddMenu = [&](QMenu*& Menu, const char* Name, const char* Caption, bool OwnerDraw) {
        Menu = MainMenu1->addMenu(Caption);
        Menu->setObjectName(Name);
        Menu->menuAction()->setVisible(false);
        Menu->setProperty(OwnerDrawProperty, OwnerDraw);
        if (OwnerDraw) Menu->setStyle(FMenuStyle.get());
    };
    auto AddItem = [&](QMenu* Menu, QAction*& Action, const char* Name, const char* Caption, int Glyph,
                       const QKeySequence& Key) {
        Action = Menu->addAction(Caption);
        Action->setObjectName(Name);
        if (Glyph >= 0) {
            Action->setIcon(GlyphIcon(FImageList->Image(Glyph)));
            Action->setProperty(ImageIndexProperty, Glyph);
        }
        if (!Key.isEmpty()) Action->setShortcut(Key);
        // Added to the window as well, so the shortcuts work with no menu bar on show.
        addAction(Action);
    };
    auto AddZoom = [&](QAction*& Action, const char* Name, const char* Caption, int Tag, int Glyph) {
        AddItem(miZoom, Action, Name, Caption, Glyph, QKeySequence());
        Action->setProperty(TagProperty, Tag);
        QAction* Sender = Action;
        connect(Action, &QAction::triggered, this, [this, Sender] { ZoomClick(Sender); });
    };

    AddMenu(miBrowse, "miBrowse", "Browse", true);
    AddItem(miBrowse, miPrevious, "miPrevious", "Previous", giPrevious, QKeySequence(Qt::Key_PageUp));
    AddItem(miBrowse, miNext, "miNext", "Next", giNext, QKeySequence(Qt::Key_PageDown));
    AddItem(miBrowse, miFirst, "miFirst", "First", giFirst, QKeySequence(Qt::Key_Home));
    AddItem(miBrowse, miLast, "miLast", "Last", giLast, QKeySequence(Qt::Key_End));
    connect(miPrevious, &QAction::triggered, this, &TForm1::miPreviousClick);
    connect(miNext, &QAction::triggered, this, &TForm1::miNextClick);
    connect(miFirst, &QAction::triggered, this, &TForm1::miFirstClick);
    connect(miLast, &QAction::triggered, this, &TForm1::miLastClick);

    AddMenu(miZoom, "miZoom", "Zoom", true);
    AddZoom(miActualSize, "miActualSize", "Actual Size", 100, giActualSize);
    AddItem(miZoom, miZoomIn, "miZoomIn", "Zoom In", giZoomIn, QKeySequence());
    AddItem(miZoom, miZoomOut, "miZoomOut", "Zoom Out", giZoomOut, QKeySequence());
    AddZoom(miZoom150, "miZoom150", "150%", 150, -1);
    AddZoom(miZoom200, "miZoom200", "200%", 200, -1);
    AddZoom(miZoom300, "miZoom300", "300%", 300, -1);
    AddZoom(miZoom75, "miZoom75", "75%", 75, -1);
    AddZoom(miZoom50, "miZoom50", "50%", 50, -1);
    AddZoom(miZoom25, "miZoom25", "25%", 25, -1);
    connect(miZoomIn, &QAction::triggered, this, &TForm1::miZoomInClick);
    connect(miZoomOut, &QAction::triggered, this, &TForm1::miZoomOutClick);

    AddMenu(miOption, "miOption", "Option", true);
    AddItem(miOption, miLinearZoomIn, "miLinearZoomIn", "Linear Zoom In", -1, QKeySequence());
    AddItem(miOption, miHideBrowser, "miHideBrowser", "HideBrowser", giHideBrowser, QKeySequence());
    // A checkable action flips its own mark when triggered; the handlers apply it.
    miLinearZoomIn->setCheckable(true);
    miLinearZoomIn->setChecked(true);
    miHideBrowser->setCheckable(true);
    connect(miLinearZoomIn, &QAction::triggered, this, &TForm1::ApplyLinearZoomIn);
    connect(miHideBrowser, &QAction::triggered, this, &TForm1::ApplyHideBrowser);

    // The About items keep the desktop's own look.
    AddMenu(About1, "About1", "About", false);
    AddItem(About1, miHelp, "miHelp", "Web", giWeb, QKeySequence(Qt::Key_F1));
    connect(miHelp, &QAction::triggered, this, &TForm1::miHelpClick);
}

void TForm1::CreateToolBar() {
    ToolBar1 = new QToolBar("ToolBar1", this);
    ToolBar1->setObjectName("ToolBar1");
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(QSize(16, 16));
    ToolBar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    ToolBar1->toggleViewAction()->setEnabled(false);
    setContextMenuPolicy(Qt::NoContextMenu);
    addToolBar(Qt::TopToolBarArea, ToolBar1);

    auto AddButton = [&](QAction*& Entry, const char* Name, QAction* Command) {
        auto* Button = new QToolButton(ToolBar1);
        Button->setObjectName(Name);
        Button->setDefaultAction(Command);
        Button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        Button->setAutoRaise(true);
        Button->setFixedSize(ButtonWidth, ButtonHeight);
        Button->setFocusPolicy(Qt::NoFocus);
        // A caption too wide for the button gets a smaller font first, and is
        // elided only when even the smallest does not fit.
        QFont CaptionFont = ToolBar1->font();
        const QString Caption = Command->iconText();
        while (QFontMetrics(CaptionFont).horizontalAdvance(Caption) > CaptionRoom &&
               CaptionFont.pixelSize() > SmallestCaptionPixels)
            CaptionFont.setPixelSize(CaptionFont.pixelSize() - 1);
        Button->setFont(CaptionFont);
        const QFontMetrics Metrics(CaptionFont);
        if (Metrics.horizontalAdvance(Caption) > CaptionRoom)
            Command->setIconText(Metrics.elidedText(Caption, Qt::ElideRight, CaptionRoom));
        Entry = ToolBar1->addWidget(Button);
        Entry->setObjectName(Name);
    };
    auto AddSeparator = [&](QAction*& Entry, const char* Name) {
        auto* Line = new QFrame(ToolBar1);
        Line->setObjectName(Name);
        Line->setFrameShape(QFrame::VLine);
        Line->setFrameShadow(QFrame::Sunken);
        Line->setFixedWidth(8);
        Entry = ToolBar1->addWidget(Line);
        Entry->setObjectName(Name);
    };

    AddButton(ToolButton11, "ToolButton11", miHideBrowser);
    AddSeparator(ToolButton10, "ToolButton10");
    AddButton(ToolButton3, "ToolButton3", miFirst);
    AddButton(ToolButton1, "ToolButton1", miPrevious);
    AddButton(ToolButton2, "ToolButton2", miNext);
    AddButton(ToolButton4, "ToolButton4", miLast);
    AddSeparator(ToolButton5, "ToolButton5");
    AddButton(ToolButton6, "ToolButton6", miActualSize);
    AddButton(ToolButton7, "ToolButton7", miZoomIn);
    AddButton(ToolButton8, "ToolButton8", miZoomOut);
    AddSeparator(ToolButton9, "ToolButton9");
    AddButton(ToolButton12, "ToolButton12", miHelp);

    Label1 = new QLabel(HintText, ToolBar1);
    Label1->setObjectName("Label1");
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The width is fixed; the height is what the wrapped text takes in this font.
    const QFontMetrics Metrics(Label1->font());
    const QRect Wrapped = Metrics.boundingRect(QRect(0, 0, HintWidth, 1000), Qt::TextWordWrap, HintText);
    const int Lines = std::max(1, (Wrapped.height() + Metrics.lineSpacing() - 1) / Metrics.lineSpacing());
    Label1->setFixedSize(HintWidth, std::max(ButtonHeight, Lines * Metrics.lineSpacing()));
    ToolBar1->addWidget(Label1);
    ToolBar1->layout()->setContentsMargins(0, 0, 0, 0);
    ToolBar1->layout()->setSpacing(0);
    ToolBar1->setFixedHeight(std::max(ToolBarHeight, Label1->height() + 2));
}

void TForm1::CreateBrowser() {
    Splitter2 = new QSplitter(Qt::Horizontal, this);
    Splitter2->setObjectName("Splitter2");
    Splitter2->setHandleWidth(5);
    Splitter2->setChildrenCollapsible(false);
    Splitter2->setOpaqueResize(true);

    PnBrowse = new QWidget(Splitter2);
    PnBrowse->setObjectName("PnBrowse");
    PnBrowse->setMinimumWidth(64);
    auto* PanelLayout = new QVBoxLayout(PnBrowse);
    PanelLayout->setContentsMargins(0, 0, 0, 0);

    Splitter1 = new QSplitter(Qt::Vertical, PnBrowse);
    Splitter1->setObjectName("Splitter1");
    Splitter1->setHandleWidth(5);
    Splitter1->setChildrenCollapsible(false);
    Splitter1->setOpaqueResize(true);
    PanelLayout->addWidget(Splitter1);

    FolderModel = new QFileSystemModel(this);
    // Folders only; hidden folders stay hidden.
    FolderModel->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
    FolderModel->setRootPath("/");
    FolderTree = new QTreeView(Splitter1);
    FolderTree->setObjectName("FolderTree");
    FolderTree->setModel(FolderModel);
    for (int Column = 1; Column < FolderModel->columnCount(); ++Column) FolderTree->hideColumn(Column);
    FolderTree->setHeaderHidden(true);
    FolderTree->setIndentation(19);
    FolderTree->setRootIsDecorated(false);
    FolderTree->setMinimumHeight(64);
    FolderTree->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(FolderTree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex&, const QModelIndex&) { FolderTreeChange(); });

    FileListView = new QTableWidget(0, 2, Splitter1);
    FileListView->setObjectName("FileListView");
    FileListView->setHorizontalHeaderLabels({"Pictures", "Size"});
    FileListView->horizontalHeaderItem(1)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    FileListView->verticalHeader()->setVisible(false);
    FileListView->verticalHeader()->setDefaultSectionSize(FileListView->fontMetrics().height() + 4);
    // "Pictures" keeps at least 80 pixels; "Size" takes what is left of the panel.
    FileListView->horizontalHeader()->setMinimumSectionSize(24);
    FileListView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    FileListView->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    FileListView->horizontalHeader()->setSectionsClickable(false);
    FileListView->setColumnWidth(0, 105);
    connect(FileListView->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int Column, int, int Width) {
        if (Column == 0 && Width < 80) FileListView->horizontalHeader()->resizeSection(0, 80);
    });
    FileListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    FileListView->setSelectionMode(QAbstractItemView::SingleSelection);
    FileListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FileListView->setShowGrid(true);
    FileListView->setWordWrap(false);
    // The list is one tab stop: Tab leaves it rather than walking its cells.
    FileListView->setTabKeyNavigation(false);
    FileListView->setMinimumHeight(32);
    connect(FileListView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& Selected, const QItemSelection& Deselected) {
                for (const QModelIndex& Index : Deselected.indexes())
                    if (Index.column() == 0) FileListViewChange(Index.row(), false);
                for (const QModelIndex& Index : Selected.indexes())
                    if (Index.column() == 0) FileListViewChange(Index.row(), true);
            });
    Splitter1->setSizes({201, 200});
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);

    ImageView1 = new TImageView(Splitter2);
    ImageView1->setObjectName("ImageView1");
    ImageView1->setCursor(Qt::OpenHandCursor);
    ImageView1->setMinimumWidth(64);
    ImageView1->SetMouseScale(true);
    ImageView1->OnScaleChange = [this](QObject*) { ScaleChange(); };
    Splitter2->setStretchFactor(0, 0);
    Splitter2->setStretchFactor(1, 1);
    Splitter2->setSizes({185, 612});
    setCentralWidget(Splitter2);

    setTabOrder(FileListView, FolderTree);

    FFolderWatcher = new QFileSystemWatcher(this);
    connect(FFolderWatcher, &QFileSystemWatcher::directoryChanged, this, [this] { RefreshFileList(); });
}

void TForm1::CreateContextMenu() {
    // The menu bar is hidden, so the view's context menu is where every
    // command, the zoom presets and "Linear Zoom In" included, can be reached.
    ViewContextMenu = new QMenu(this);
    ViewContextMenu->setObjectName("ViewContextMenu");
    ViewContextMenu->setProperty(OwnerDrawProperty, true);
    ViewContextMenu->setStyle(FMenuStyle.get());
    for (QMenu* Group : {miBrowse, miZoom, miOption, About1}) {
        ViewContextMenu->addSection(Group->title());
        ViewContextMenu->addActions(Group->actions());
    }
    ImageView1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ImageView1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& Position) { ViewContextMenu->popup(ImageView1->mapToGlobal(Position)); });
}

// ---- Start-up ----------------------------------------------------------------

void TForm1::FormCreate(const std::vector<std::string>& Args) {
    FBaseCaption = windowTitle().toStdString();

    // Icons and metafiles stand after bmp in the mask; everything registered
    // before them is accepted, and the layered documents besides.
    const std::string Mask = TPicture::GraphicFileMask(TGraphic::StaticClass());
    const size_t Cut = Mask.find(";*.ico");
    FExtensions = (Cut == std::string::npos ? std::string() : Mask.substr(0, Cut)) + ";*.mqd";

    ScaleChange();

    std::error_code Error;
    if (Args.empty()) {
        SelectFolder(std::filesystem::current_path(Error).string());
    } else if (std::filesystem::is_directory(Args.front(), Error)) {
        SelectFolder(std::filesystem::absolute(Args.front(), Error).lexically_normal().string());
    } else {
        miHideBrowser->trigger();
        for (QAction* Entry : {ToolButton10, ToolButton11, ToolButton12, ToolButton1, ToolButton2, ToolButton3,
                               ToolButton4})
            Entry->setVisible(false);
        LoadPicture(Args.front());
    }
    FileListView->setFocus();
}

void TForm1::StopFollowingFolder() {
    for (const QMetaObject::Connection& C : FScrollToFolder) disconnect(C);
    FScrollToFolder.clear();
}

void TForm1::SelectFolder(const std::string& Folder) {
    std::string Path = Folder;
    while (Path.size() > 1 && Path.back() == '/') Path.pop_back();
    const QModelIndex Index = FolderModel->index(Q(Path));
    if (!Index.isValid()) return;
    for (QModelIndex Parent = Index.parent(); Parent.isValid(); Parent = Parent.parent()) FolderTree->expand(Parent);
    FolderTree->setCurrentIndex(Index);
    FolderTree->scrollTo(Index);
    // The model reads folders in the background and sorts them later, so rows
    // keep arriving above the selection: bring it into view again after each
    // change until the user scrolls the tree or picks another folder.
    const QString Target = Q(Path);
    for (const QMetaObject::Connection& C : FScrollToFolder) disconnect(C);
    FScrollToFolder.clear();
    auto Follow = [this, Target] {
        const QModelIndex Current = FolderTree->currentIndex();
        if (!Current.isValid() || FolderModel->filePath(Current) != Target) return StopFollowingFolder();
        QMetaObject::invokeMethod(
            FolderTree,
            [this, Target] {
                const QModelIndex Now = FolderTree->currentIndex();
                if (Now.isValid() && FolderModel->filePath(Now) == Target)
                    FolderTree->scrollTo(Now, QAbstractItemView::PositionAtCenter);
            },
            Qt::QueuedConnection);
    };
    FScrollToFolder.push_back(connect(FolderModel, &QFileSystemModel::directoryLoaded, this, Follow));
    FScrollToFolder.push_back(connect(FolderModel, &QAbstractItemModel::layoutChanged, this, Follow));
    FScrollToFolder.push_back(connect(FolderModel, &QAbstractItemModel::rowsInserted, this, Follow));
    // The user's own scrolling, expanding or collapsing ends it.
    const auto Stop = [this] { StopFollowingFolder(); };
    FScrollToFolder.push_back(connect(FolderTree->verticalScrollBar(), &QAbstractSlider::actionTriggered, this, Stop));
    FScrollToFolder.push_back(connect(FolderTree, &QTreeView::expanded, this, Stop));
    FScrollToFolder.push_back(connect(FolderTree, &QTreeView::collapsed, this, Stop));
    Follow();
}

// ---- Browsing ----------------------------------------------------------------

std::string TForm1::FolderTreePath() const {
    const QModelIndex Current = FolderTree->currentIndex();
    return Current.isValid() ? FolderModel->filePath(Current).toStdString() : std::string();
}

void TForm1::FolderTreeChange() { FillFileList(FolderTreePath()); }

void TForm1::FillFileList(const std::string& Folder) {
    if (Folder != FShownFolder) {
        if (!FFolderWatcher->directories().isEmpty()) FFolderWatcher->removePaths(FFolderWatcher->directories());
        if (!Folder.empty()) FFolderWatcher->addPath(Q(Folder));
        FShownFolder = Folder;
    }
    FileListView->clearContents();
    FileListView->setRowCount(0);

    std::vector<TListEntry> Entries;
    TFolderSearch Search;
    TSearchRec Rec;
    // Read-only plus archive: ordinary files; folders, hidden and system files are left out.
    if (Search.FindFirst(IncludeTrailingPathDelimiter(Folder) + "*.*", faReadOnly | faArchive, Rec)) {
        do {
            const std::string Ext = LowerCase(ExtractFileExt(Rec.Name));
            if (Ext.size() > 2 && FExtensions.find(Ext) != std::string::npos)
                Entries.push_back({Q(Rec.Name), Q(Format("%lldKB", static_cast<long long>(Rec.Size / 1024)))});
        } while (Search.FindNext(Rec));
        Search.FindClose();
    }

    QCollator Collator;
    Collator.setNumericMode(true);
    std::stable_sort(Entries.begin(), Entries.end(), [&Collator](const TListEntry& A, const TListEntry& B) {
        return Collator.compare(A.Caption, B.Caption) < 0;
    });

    const QSignalBlocker Blocker(FileListView->selectionModel());
    FileListView->setRowCount(static_cast<int>(Entries.size()));
    for (size_t Row = 0; Row < Entries.size(); ++Row) {
        FileListView->setItem(static_cast<int>(Row), 0, new QTableWidgetItem(Entries[Row].Caption));
        auto* Size = new QTableWidgetItem(Entries[Row].Size);
        Size->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        FileListView->setItem(static_cast<int>(Row), 1, Size);
    }
    FileListView->selectionModel()->clearSelection();
}

void TForm1::RefreshFileList() {
    const int Selected = SelectedIndex();
    const QString Caption = Selected >= 0 ? FileListView->item(Selected, 0)->text() : QString();
    const int Scroll = FileListView->verticalScrollBar()->value();
    FillFileList(FShownFolder);
    FileListView->verticalScrollBar()->setValue(Scroll);
    if (Caption.isEmpty()) return;
    // The file on show stays selected (and is not loaded again) when others come or go.
    const QSignalBlocker Blocker(FileListView->selectionModel());
    for (int Row = 0; Row < FileListView->rowCount(); ++Row)
        if (FileListView->item(Row, 0)->text() == Caption) {
            FileListView->selectionModel()->setCurrentIndex(
                FileListView->model()->index(Row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            break;
        }
}

void TForm1::FileListViewChange(int Row, bool Selected) {
    if (!Selected) return;
    const QTableWidgetItem* Item = FileListView->item(Row, 0);
    if (Item == nullptr) return;
    LoadPicture(IncludeTrailingPathDelimiter(FolderTreePath()) + Item->text().toStdString());
}

int TForm1::SelectedIndex() const {
    const QModelIndexList Rows = FileListView->selectionModel()->selectedRows();
    return Rows.isEmpty() ? -1 : Rows.front().row();
}

void TForm1::SelectIndex(int Index) {
    // The focus mark follows the selection and the item is scrolled into view,
    // so the arrow keys go on from the picture on show.
    const QModelIndex Item = FileListView->model()->index(Index, 0);
    FileListView->selectionModel()->setCurrentIndex(Item, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    FileListView->scrollTo(Item);
}

void TForm1::miPreviousClick() {
    const int Index = SelectedIndex();
    if (Index > 0) SelectIndex(Index - 1);
}

void TForm1::miNextClick() {
    const int Index = SelectedIndex();
    if (Index < FileListView->rowCount() - 1) SelectIndex(Index + 1);
}

void TForm1::miFirstClick() {
    if (FileListView->rowCount() > 0) SelectIndex(0);
}

void TForm1::miLastClick() {
    if (FileListView->rowCount() > 0) SelectIndex(FileListView->rowCount() - 1);
}

// ---- Loading and titles ------------------------------------------------------

std::string TForm1::TitlePrefix() const {
    return Format("%s - [%d%%] ", FBaseCaption.c_str(), ImageView1->Scale());
}

void TForm1::ScaleChange() { setWindowTitle(Q(TitlePrefix() + FPictureInfo)); }

void TForm1::LoadPicture(const std::string& Path) {
    const std::string Kind = LowerCase(ExtractFileExtNoDot(Path));
    setWindowTitle(Q(TitlePrefix() + "Loading " + Path + "..."));
    const TBusyCursor Busy;
    try {
        // The view's previous picture goes first, so two large pictures are never held at once.
        ImageView1->SetBitmap(nullptr);
        TBitmap Loading;
        const uint32_t Start = TickCount();
        if (Kind == "mqd")
            LoadDocumentToBitmap(Loading, Path);
        else
            LoadPictureToBitmap(Loading, Path);
        const uint32_t Elapsed = TickCount() - Start;
        FPictureInfo = Format("%s %d*%d*%dbit (loaded in %ums)", ExtractFileName(Path).c_str(), Loading.Width(),
                              Loading.Height(), PixelFormatBits(Loading.PixelFormat()), Elapsed);
        // The view takes the pixels over instead of copying them.
        ImageView1->TakeBitmap(Loading);
        setWindowTitle(Q(TitlePrefix() + FPictureInfo));
    } catch (...) {
        // Whatever went wrong, the outcome is the "Error" title; no message box.
        ImageView1->SetBitmap(nullptr);
        FPictureInfo.clear();
        setWindowTitle(Q(TitlePrefix() + "Error"));
    }
}

// ---- Commands ----------------------------------------------------------------

void TForm1::miHelpClick() {
    if (OpenUrl(ProductPageUrl)) return;
    Label1->setText(NoWebBrowserText);
    QTimer::singleShot(NoWebBrowserMillis, Label1, [this] { Label1->setText(HintText); });
}

void TForm1::ZoomClick(QAction* Sender) { ImageView1->SetScale(Sender->property(TagProperty).toInt()); }

void TForm1::miZoomInClick() { ImageView1->SetScale(ImageView1->Scale() * 3 / 2); }

void TForm1::miZoomOutClick() { ImageView1->SetScale(ImageView1->Scale() * 2 / 3); }

void TForm1::ApplyLinearZoomIn() { ImageView1->SetMode(miLinearZoomIn->isChecked() ? ivAuto : ivSubsample); }

void TForm1::ApplyHideBrowser() { PnBrowse->setVisible(!miHideBrowser->isChecked()); }

} // namespace qv
