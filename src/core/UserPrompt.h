// Message boxes and the system beep behind one small interface, so that tests and a
// headless run can answer them.
#pragma once

#include <QString>

class UserPrompt {
public:
    virtual ~UserPrompt() = default;
    virtual void Beep() = 0;
    // A message box with an OK button and an exclamation icon.
    virtual void Message(const QString &text) = 0;
};

// Used when no window is shown: messages go to the standard error stream.
class HeadlessPrompt final : public UserPrompt {
public:
    void Beep() override;
    void Message(const QString &text) override;
};
