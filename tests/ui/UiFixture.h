// A whole installation for window tests: an engine in a scratch folder with a fake clock and a
// prompt that records every message box, plus small helpers to drive widgets as a user would.
#pragma once

#include "TestSupport.h"
#include "core/Clock.h"
#include "transfer/Engine.h"

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
