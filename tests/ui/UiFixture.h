// A whole installation for window tests: an engine in a scratch folder with a fake clock and a
// prompt that records every message box, a fixture that opens one window over it, plus small
// helpers to drive widgets as a user would.
#pragma once

#include "TestSupport.h"
#include "core/Clock.h"
#include "transfer/Engine.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QString>
#include <functional>
#include <memory>

class QDialog;
class QWidget;

struct Installation {
    // Folder, start-up and the main window's load step; listens on a free loopback port once
    // communications start.
    Installation();
    QString file(const QString &name) const { return dir.file(name); }

    ScratchDir dir;
    FakeClock clock;
    RecordingPrompt prompt;
    std::unique_ptr<Engine> engine;
    int port = 0;
};

// A test over one installation and one window of type Win, built over its engine.
template <class Win> class WindowTest : public ::testing::Test {
protected:
    // Opens a fresh window over the engine's current state and waits until it shows.
    Win &Open()
    {
        win = std::make_unique<Win>(*inst.engine);
        win->show();
        WaitFor([this] { return win->isVisible(); }, 2000);
        return *win;
    }
    // The window's widgets by object name.
    QLineEdit *Edit(const char *name) const { return win->template findChild<QLineEdit *>(QLatin1String(name)); }
    QPushButton *Button(const char *name) const { return win->template findChild<QPushButton *>(QLatin1String(name)); }
    QRadioButton *Radio(const char *name) const { return win->template findChild<QRadioButton *>(QLatin1String(name)); }

    Installation inst;
    std::unique_ptr<Win> win;
};

// Fills a text field the way typing would (the field gets the focus and the text).
void TypeInto(QWidget *field, const QString &text);
// A full left click through the application, as the window system delivers it.
void ClickOn(QWidget *widget);
// Arms a one-shot: once the next modal dialog runs its event loop, the action gets that dialog
// (the active modal widget, checked by the caller), and afterwards the dialog is closed if it is
// still open. Arm it only right before a command that opens a modal dialog.
void WhenModalShown(const std::function<void(QWidget *dialog)> &action);

// With PW_SCREENSHOT_DIR set, saves the widget's picture there as <name>.png; a way to look at
// the windows without a display.
void SaveScreenshot(QWidget *widget, const QString &name);
