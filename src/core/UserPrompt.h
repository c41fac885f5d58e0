// Message boxes and the system beep behind one small interface, so that tests and a
// headless run can answer them.
#pragma once

#include <QByteArray>
#include <QString>

class UserPrompt {
public:
    virtual ~UserPrompt() = default;
    virtual void Beep() = 0;
    // A message box with an OK button and an exclamation icon.
    virtual void Message(const QString &text) = 0;
};

// Stores a file whole (an empty content deletes it); on failure sounds the beep and shows the
// message. The old file stays as it was when the write fails.
bool StoreFileOrWarn(const QString &path, const QByteArray &content, UserPrompt &prompt, const QString &failureMessage);

// Used when no window is shown: messages go to the standard error stream.
class HeadlessPrompt final : public UserPrompt {
public:
    void Beep() override;
    void Message(const QString &text) override;
};
