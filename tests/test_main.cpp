// The layers below the windows are tested with a plain QCoreApplication: no display, no widgets.
// The window tests run with a QApplication on the offscreen platform, so windows can be built
// and the event loop pumped without a display.

#if defined(DRENNIK_TEST_WIDGETS)
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
