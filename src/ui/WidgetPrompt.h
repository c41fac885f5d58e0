// Message boxes and the beep, shown as real windows.
#pragma once

#include "core/UserPrompt.h"

class QWidget;

class WidgetPrompt final : public UserPrompt {
public:
    void Beep() override;
    void Message(const QString &text) override;
    bool Ask(const QString &text, const QString &yes, const QString &no, bool yesIsDefault) override;
};
