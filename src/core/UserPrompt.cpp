// The headless answer to message boxes.
#include "core/UserPrompt.h"

#include <cstdio>

void HeadlessPrompt::Beep()
{
    std::fputc('\a', stderr);
}

void HeadlessPrompt::Message(const QString &text)
{
    std::fprintf(stderr, "Parcelwise: %s\n", text.toLocal8Bit().constData());
}
