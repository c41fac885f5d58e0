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
    Report("Message \"" + text.toLocal8Bit() + "\" answered with OK");
}

bool HeadlessPrompt::Ask(const QString &text, const QString &yes, const QString &no, bool yesIsDefault)
{
    Report("Question \"" + text.toLocal8Bit() + "\" answered with " + (yesIsDefault ? yes : no).toLocal8Bit());
    return yesIsDefault;
}

void HeadlessPrompt::Report(const QByteArray &line)
{
    if (report_)
        report_(line);
    else
        std::fprintf(stderr, "Parcelwise: %s\n", line.constData());
}
