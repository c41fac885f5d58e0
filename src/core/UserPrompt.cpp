// The headless answer to message boxes.
#include "core/UserPrompt.h"

#include "core/FileOps.h"

#include <cstdio>

bool StoreFileOrWarn(const QString &path, const QByteArray &content, UserPrompt &prompt, const QString &failureMessage)
{
    if (StoreFile(path, content) == WriteOk)
        return true;
    prompt.Beep();
    prompt.Message(failureMessage);
    return false;
}

void HeadlessPrompt::Beep() {}

void HeadlessPrompt::Message(const QString &text)
{
    const QByteArray line = "Message \"" + text.toLocal8Bit() + "\" answered with OK";
    if (report_)
        report_(line);
    else
        std::fprintf(stderr, "Parcelwise: %s\n", line.constData());
}
