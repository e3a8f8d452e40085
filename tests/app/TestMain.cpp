// The GUI test program's entry: a QApplication on the offscreen platform
// (unless another is asked for) with the picture readers registered.

#include <QApplication>

#include <gtest/gtest.h>

#include "imaging/ImageLib.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication App(argc, argv);
    qv::InitializeImageLib();
    ::testing::InitGoogleTest(&argc, argv);
    const int Result = RUN_ALL_TESTS();
    qv::FinalizeImageLib();
    return Result;
}
