// The transfer log and the message collection.
#include "core/TransferLog.h"

#include "core/Clock.h"
#include "core/TextUtil.h"

#include <QDir>
#include <unistd.h>

namespace {
QString DatePart(const QDateTime &t)
{
    QString part = QString::fromLocal8Bit(ShortDate(t));
    part.replace(QLatin1Char('/'), QLatin1Char('_'));
    part.replace(QLatin1Char('\\'), QLatin1Char('_'));
    part.replace(QLatin1Char(' '), QLatin1Char('_'));
    return part;
}

bool OpenForAppend(QFile &file, const QString &path)
{
    if (file.isOpen())
        file.close();
    file.setFileName(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append);
}
} // namespace

TransferLog::TransferLog(const Clock &clock, QObject *parent) : QObject(parent), clock_(clock) {}

void TransferLog::Showit(const QByteArray &text)
{
    const bool cleared = screen_.size() > ScreenLimit;
    if (cleared)
        screen_.clear();
    const QDateTime now = clock_.now();
    const QByteArray line = ShortDate(now) + ' ' + ShortTime(now) + ' ' + EscapeControls(text);
    screen_ += line;
    screen_ += "\r\n";
    if (logFile_.isOpen()) {
        logFile_.write(line + "\r\n");
        logFile_.flush();
    }
    emit LineAdded(line, cleared);
}

QString TransferLog::LogFileName(const QDateTime &t)
{
    return QStringLiteral("Parcelwise_Log_") + DatePart(t);
}

QString TransferLog::MessageFileName(const QDateTime &t)
{
    return QStringLiteral("Parcelwise_Msg_") + DatePart(t);
}

bool TransferLog::OpenLogFile(const QString &logsFolder)
{
    return OpenForAppend(logFile_, QDir(logsFolder).filePath(LogFileName(clock_.now())));
}

bool TransferLog::OpenMessageFile(const QString &logsFolder)
{
    return OpenForAppend(messageFile_, QDir(logsFolder).filePath(MessageFileName(clock_.now())));
}

void TransferLog::WriteReceivedMessages()
{
    if (!messageFile_.isOpen())
        return;
    messageFile_.write("\r\n");
    messageFile_.flush();
}

void TransferLog::CloseFiles()
{
    if (logFile_.isOpen())
        logFile_.close();
    if (messageFile_.isOpen())
        messageFile_.close();
}

void TransferLog::AddReceivedMessage(const QDateTime &at, const QByteArray &login, const QByteArray &message,
                                     const QByteArray &fileName)
{
    const QByteArray entry = "\r\n" + ShortDate(at) + ' ' + ShortTime(at) + ' ' + login + "\r\n" + message + "\r\n";
    if (messageFile_.isOpen()) {
        messageFile_.write(entry);
        if (messageFile_.flush())
            ::fsync(messageFile_.handle());
    }
    messages_.push_back(fileName.isEmpty() ? entry : entry + "(with " + fileName + ")\r\n");
    if (messages_.size() > KeptMessages)
        messages_.pop_front();
}

QByteArray TransferLog::ReceivedMessages() const
{
    QByteArray all;
    for (const QByteArray &entry : messages_)
        all += entry;
    return all;
}
