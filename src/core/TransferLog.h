// The transfer log: time-stamped lines on screen and in the day's log file, and the messages
// received during this run with the day's message file they are appended to at shutdown.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>

class Clock;

class TransferLog : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype ScreenLimit = 15000;

    TransferLog(const Clock &clock, QObject *parent = nullptr);

    // Appends one line: short date, blank, short time, blank, text. Never fails.
    void Showit(const QByteArray &text);
    // The on-screen log: emptied before a line is added whenever it holds more than ScreenLimit.
    const QByteArray &ScreenText() const { return screen_; }

    bool OpenLogFile(const QString &logsFolder);
    bool OpenMessageFile(const QString &logsFolder);
    bool LogFileOpen() const { return logFile_.isOpen(); }
    bool MessageFileOpen() const { return messageFile_.isOpen(); }
    // Appends ReceivedMessages and one line end to the message file, if it is open.
    void WriteReceivedMessages();
    void CloseFiles();

    // Messages received during this run.
    void AddReceivedMessage(const QDateTime &at, const QByteArray &login, const QByteArray &message);
    const QByteArray &ReceivedMessages() const { return messages_; }

    // "Parcelwise_Log_" / "Parcelwise_Msg_" + the date part of the given moment.
    static QString LogFileName(const QDateTime &t);
    static QString MessageFileName(const QDateTime &t);

signals:
    // A line was added to the screen text; cleared says the screen text was emptied first.
    void LineAdded(const QByteArray &line, bool cleared);

private:
    const Clock &clock_;
    QByteArray screen_;
    QByteArray messages_;
    QFile logFile_;
    QFile messageFile_;
};
