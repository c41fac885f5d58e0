// Message boxes and the beep, shown as real windows.
#pragma once

#include "core/UserPrompt.h"

class QWidget;

class WidgetPrompt final : public UserPrompt {
public:
    void Beep() override;
    void Message(const QString &text) override;
};
