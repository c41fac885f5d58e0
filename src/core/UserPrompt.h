// Message boxes and the system beep behind one small interface, so that tests and a
// headless run can answer them.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

class UserPrompt {
public:
    virtual ~UserPrompt() = default;
    virtual void Beep() = 0;
    // A message box with an OK button and an exclamation icon.
    virtual void Message(const QString &text) = 0;
    // A question with two buttons, `yes` and `no`; true when `yes` was chosen. The default
    // button (the one Return presses) is `yes` when yesIsDefault is set, `no` otherwise.
    virtual bool Ask(const QString &text, const QString &yes, const QString &no, bool yesIsDefault) = 0;
};

// Stores a file whole (an empty content deletes it); on failure sounds the beep and shows the
// message. The old file stays as it was when the write fails.
bool StoreFileOrWarn(const QString &path, const QByteArray &content, UserPrompt &prompt, const QString &failureMessage);

// Used when no window is shown: every message box is answered as its default button would
// answer it, and reported as a line through the report function (on the standard error stream
// while there is none). The beep is left out: there is no one to hear it.
class HeadlessPrompt final : public UserPrompt {
public:
    void SetReport(std::function<void(const QByteArray &line)> report) { report_ = std::move(report); }
    void Beep() override;
    void Message(const QString &text) override;
    bool Ask(const QString &text, const QString &yes, const QString &no, bool yesIsDefault) override;

private:
    void Report(const QByteArray &line);
    std::function<void(const QByteArray &line)> report_;
};
