#pragma once
// The viewer's one window and its controller: the folder tree and the file
// list on the left, the image view on the right, a toolbar above, a hidden
// main menu whose shortcuts work, and the title reporting what is on show.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QMainWindow>

#include "app/ImageList.h"
#include "app/MenuStyle.h"
#include "display/ZavuziCtrls.h"

class QAction;
class QFileSystemModel;
class QFileSystemWatcher;
class QLabel;
class QMenu;
class QSplitter;
class QTableWidget;
class QToolBar;
class QTreeView;

namespace qv {

/// The product web page the Web command opens.
constexpr const char* ProductPageUrl = "https://quorvia.example/product";
/// The hint label's text.
constexpr const char* HintText = "Drag to move, and use mouse wheel to zoom.";
/// Shown in the hint label for a few seconds when the Web command finds no opener.
constexpr const char* NoWebBrowserText = "No web browser found.";
/// How long the hint label shows NoWebBrowserText, in milliseconds.
constexpr int NoWebBrowserMillis = 4000;

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    /// Builds the window and runs FormCreate with the command-line arguments
    /// that follow the program name: none browses the current folder, a folder
    /// browses that folder, anything else is shown alone (single-file mode).
    explicit TForm1(const std::vector<std::string>& Args, QWidget* Parent = nullptr);
    ~TForm1() override;

    /// The accepted-extension list: "*.ext" masks joined by ";".
    const std::string& Extensions() const { return FExtensions; }
    /// Description of the picture on show; empty before the first load and after a failed one.
    const std::string& PictureInfo() const { return FPictureInfo; }
    /// The folder tree's current folder ("" when none is selected).
    std::string FolderTreePath() const;

    // Event handlers.
    void FolderTreeChange();
    /// A list item changed its selected state; a newly selected one is loaded.
    void FileListViewChange(int Row, bool Selected);
    void miPreviousClick();
    void miNextClick();
    void miFirstClick();
    void miLastClick();
    /// Sets the view scale to the clicked zoom item's tag.
    void ZoomClick(QAction* Sender);
    void miZoomInClick();
    void miZoomOutClick();
    void ScaleChange();

    /// Refills the file list with the accepted pictures of one folder and
    /// watches that folder, so files that come or go show without a reselect.
    void FillFileList(const std::string& Folder);
    /// Re-reads the shown folder, keeping the selected file selected (nothing is reloaded).
    void RefreshFileList();
    /// Loads one file into the view and reports the outcome in the title.
    void LoadPicture(const std::string& Path);
    /// The common start of every title: "Quorvia 1.0.2 - [100%] ".
    std::string TitlePrefix() const;

    /// How the Web command opens its page: the desktop's URL service unless
    /// replaced; answers false when nothing can open it.
    std::function<bool(const std::string&)> OpenUrl = DesktopOpenUrl;
    /// The Web command: opens the product page, or says in the hint label that no browser exists.
    void miHelpClick();

    // Components, named as the window's resources.
    TImageView* ImageView1 = nullptr;
    QToolBar* ToolBar1 = nullptr;
    QWidget* PnBrowse = nullptr;
    QTreeView* FolderTree = nullptr;
    QFileSystemModel* FolderModel = nullptr;
    QSplitter* Splitter1 = nullptr;  ///< tree over list
    QTableWidget* FileListView = nullptr;
    QSplitter* Splitter2 = nullptr;  ///< browser panel beside the view
    QLabel* Label1 = nullptr;
    QMenu* ViewContextMenu = nullptr;

    QMenu* miBrowse = nullptr;
    QAction* miPrevious = nullptr;
    QAction* miNext = nullptr;
    QAction* miFirst = nullptr;
    QAction* miLast = nullptr;
    QMenu* miZoom = nullptr;
    QAction* miActualSize = nullptr;
    QAction* miZoomIn = nullptr;
    QAction* miZoomOut = nullptr;
    QAction* miZoom150 = nullptr;
    QAction* miZoom200 = nullptr;
    QAction* miZoom300 = nullptr;
    QAction* miZoom75 = nullptr;
    QAction* miZoom50 = nullptr;
    QAction* miZoom25 = nullptr;
    QMenu* miOption = nullptr;
    QAction* miLinearZoomIn = nullptr;
    QAction* miHideBrowser = nullptr;
    QMenu* About1 = nullptr;
    QAction* miHelp = nullptr;

    /// Toolbar entries (hide one with setVisible(false) on its entry).
    QAction* ToolButton1 = nullptr;
    QAction* ToolButton2 = nullptr;
    QAction* ToolButton3 = nullptr;
    QAction* ToolButton4 = nullptr;
    QAction* ToolButton5 = nullptr;
    QAction* ToolButton6 = nullptr;
    QAction* ToolButton7 = nullptr;
    QAction* ToolButton8 = nullptr;
    QAction* ToolButton9 = nullptr;
    QAction* ToolButton10 = nullptr;
    QAction* ToolButton11 = nullptr;
    QAction* ToolButton12 = nullptr;

    /// The nine glyphs shared by the menus and the toolbar.
    const TImageList& ImageList1() const { return *FImageList; }

private:
    static bool DesktopOpenUrl(const std::string& Url);

    void CreateMenus();
    void CreateToolBar();
    void CreateBrowser();
    void CreateContextMenu();
    void FormCreate(const std::vector<std::string>& Args);
    void SelectFolder(const std::string& Folder);
    /// Ends keeping the start folder in view.
    void StopFollowingFolder();
    int SelectedIndex() const;
    void SelectIndex(int Index);
    void ApplyHideBrowser();
    void ApplyLinearZoomIn();

    std::vector<QMetaObject::Connection> FScrollToFolder;
    QFileSystemWatcher* FFolderWatcher = nullptr;
    std::string FShownFolder;
    std::unique_ptr<TImageList> FImageList;
    std::unique_ptr<TMenuStyle> FMenuStyle;
    std::string FExtensions;
    std::string FBaseCaption;
    std::string FPictureInfo;
};

} // namespace qv
