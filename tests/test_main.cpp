// Test entry: an application object so that sockets, timers and (for window tests) widgets work.
#include <gtest/gtest.h>

#ifdef PW_GUI_TESTS
#include <QApplication>
using TestApp = QApplication;
#else
#include <QCoreApplication>
using TestApp = QCoreApplication;
#endif

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Window tests run without a display unless one is asked for.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TestApp app(argc, argv);
    return RUN_ALL_TESTS();
}
