// The transfer log: time-stamped lines on screen and in the day's log file, and the messages
// received during this run with the day's message file that each is appended to on arrival.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <deque>

class Clock;

class TransferLog : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype ScreenLimit = 15000;

    TransferLog(const Clock &clock, QObject *parent = nullptr);

    // Appends one line: short date, blank, short time, blank, text. Never fails. Control
    // characters in the text are written escaped (EscapeControls): a line is always one line.
    void Showit(const QByteArray &text);
    // The on-screen log: emptied before a line is added whenever it holds more than ScreenLimit.
    const QByteArray &ScreenText() const { return screen_; }

    bool OpenLogFile(const QString &logsFolder);
    bool OpenMessageFile(const QString &logsFolder);
    bool LogFileOpen() const { return logFile_.isOpen(); }
    bool MessageFileOpen() const { return messageFile_.isOpen(); }
    // The shutdown's closing line end of the message file, if it is open (the messages are in
    // it already).
    void WriteReceivedMessages();
    void CloseFiles();

    // A message received: its entry (CR LF, short date, blank, short time, blank, login, CR LF,
    // the message as received, CR LF) goes to the message file at once and is synced to disk,
    // so a crash loses none; the latest entries are kept for the message viewer.
    // The file gets the entry as it always had it; the entry kept for the viewer also names the
    // file the message came with, when there is one.
    void AddReceivedMessage(const QDateTime &at, const QByteArray &login, const QByteArray &message,
                            const QByteArray &fileName = {});
    // The entries received during this run, at most the last KeptMessages of them.
    QByteArray ReceivedMessages() const;
    static constexpr size_t KeptMessages = 1000;

    // "Parcelwise_Log_" / "Parcelwise_Msg_" + the date part of the given moment.
    static QString LogFileName(const QDateTime &t);
    static QString MessageFileName(const QDateTime &t);

signals:
    // A line was added to the screen text; cleared says the screen text was emptied first.
    void LineAdded(const QByteArray &line, bool cleared);

private:
    const Clock &clock_;
    QByteArray screen_;
    std::deque<QByteArray> messages_;
    QFile logFile_;
    QFile messageFile_;
};
