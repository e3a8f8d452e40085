// Program entry of the viewer: registers the picture readers, creates the
// window with the command-line argument and runs the message loop.

#include <QApplication>
#include <QFile>

#include <string>
#include <vector>

#include "app/View.h"
#include "imaging/ImageLib.h"
#include "platform/gui/QtGraphics.h"

int main(int argc, char** argv) {
    QApplication App(argc, argv);
    QApplication::setApplicationName("Quorvia");
    QApplication::setApplicationVersion("1.0.2");
    QApplication::setDesktopFileName("quorvia");
    qv::InstallSystemColors(QApplication::palette());
    qv::InitializeImageLib();

    // Qt has taken its own options out; paths go back to the file system's bytes.
    std::vector<std::string> Args;
    const QStringList Arguments = QApplication::arguments();
    for (qsizetype I = 1; I < Arguments.size(); ++I) Args.push_back(QFile::encodeName(Arguments[I]).toStdString());

    int Result = 0;
    {
        qv::TForm1 Form1(Args);
        Form1.showMaximized();
        Result = QApplication::exec();
    }
    qv::FinalizeImageLib();
    return Result;
}
