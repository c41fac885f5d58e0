// Small helpers shared by the tests: scratch folders and bounded waits on the event loop.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <functional>

// A fresh folder per test, removed afterwards.
class ScratchDir {
public:
    ScratchDir();
    QString path() const { return dir_.path(); }
    QString file(const QString &name) const { return dir_.filePath(name); }
    void write(const QString &name, const QByteArray &content) const;
    QByteArray read(const QString &name) const;

private:
    QTemporaryDir dir_;
};

// Runs the event loop until the condition holds or the bound (milliseconds) passes.
bool WaitFor(const std::function<bool()> &condition, int timeoutMs = 10000);
// Runs the event loop for a short while, letting pending socket events through.
void Pump(int ms = 50);

// Bytes 0..255 repeated with a varying pattern; every file test uses content that shows misplaced bytes.
QByteArray PatternBytes(qint64 size, int seed = 1);

#include "core/UserPrompt.h"
#include <QStringList>

// Answers message boxes in tests and remembers what they said.
class RecordingPrompt final : public UserPrompt {
public:
    void Beep() override { ++beeps; }
    void Message(const QString &text) override { messages << text; }
    // Records the question and gives `answer` (true: the `yes` button).
    bool Ask(const QString &text, const QString &, const QString &, bool) override
    {
        questions << text;
        return answer;
    }
    int beeps = 0;
    QStringList messages;
    QStringList questions;
    bool answer = true;
};

// A TCP port on loopback that nothing listens on right now.
int FreeLoopbackPort();
