// Process entry: one instance per program folder, start-up, the main window, and an orderly
// shutdown however the process is asked to end.
#include "core/Clock.h"
#include "core/SingleInstance.h"
#include "core/TermSignals.h"
#include "transfer/Engine.h"
#include "ui/Icons.h"
#include "ui/ParcelWin.h"
#include "ui/WidgetPrompt.h"

#include <QApplication>
#include <QDir>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parcelwise"));
    QApplication::setDesktopFileName(QStringLiteral("parcelwise"));
    QApplication::setWindowIcon(AppIcon());
    WidgetPrompt prompt;
    const QString programFolder = QDir::currentPath();
    SingleInstance instance(programFolder);
    if (!instance.Acquire()) {
        prompt.Message(QStringLiteral("This program is already running!"));
        return 0;
    }
    SystemClock clock;
    Engine engine(programFolder, clock, prompt);
    engine.InitGlobals();
    ParcelWin window(engine);
    engine.MainWindowLoad();
    QObject::connect(&engine, &Engine::QuitReady, &app, [&window] {
        window.close();
        QApplication::quit();
    });
    TermSignals termSignals([&engine] { engine.BeginShutdown(); });
    window.show();
    return app.exec();
}
