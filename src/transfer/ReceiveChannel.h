// One receive slot: the caller's connection, the request and file data buffered from it, the file
// being written and the state of the conversation. The slot's handlers turn the connection's
// events into events of its state machine (NextReceiveState); what the slot needs of the rest of
// the installation it asks of its ReceiveHost, the engine.
#pragma once

#include "core/Preferences.h"
#include "transfer/PeerTrust.h"
#include "transfer/SlotStates.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

class Clock;
class Connection;
namespace Protocol {
struct RequestCheck;
}
struct ReceiveOutcome;
struct SlotSnapshot;

// Closes a slot's file if it is open: the one way a receive or send slot lets go of its file.
void CloseSlotFile(std::unique_ptr<QFile> &file);

// What a receive slot asks of the installation that holds it.
class ReceiveHost {
public:
    virtual ~ReceiveHost() = default;
    virtual const Clock &SlotClock() const = 0;
    virtual bool Stopping() const = 0;
    virtual void LogLine(const QByteArray &line) = 0;
    virtual bool LoginValid(const QByteArray &login, const QByteArray &password) const = 0;
    virtual QString DownloadsFolder() const = 0;
    // Another receive slot than `slot` writes this file right now.
    virtual bool FileBeingReceived(int slot, const QString &path) const = 0;
    virtual void MessageArrived(const QDateTime &at, const QByteArray &login, const QByteArray &message,
                                const QByteArray &fileName) = 0;
    // The conversation ended as judged; the slot is about to become idle.
    virtual void ReceiveEnded(int slot, const ReceiveOutcome &outcome, const QByteArray &login,
                              const QByteArray &fileName) = 0;
    // The slot's letter or picture changed.
    virtual void ReceiveSlotChanged(int slot) = 0;
    // Another slot should take the next caller (a slot started serving or became idle).
    virtual void ListenNext() = 0;
    // What the slot shows changed (status line, rate).
    virtual void SlotStatusChanged() = 0;
    virtual void ReceiveProgress(int slot) = 0;
    // The address the connection reached this machine at.
    virtual void LocalEndSeen(const QHostAddress &local) = 0;
    // Every write of received data first waits this long (the benchmark's slow disk).
    virtual int ReceiveWriteDelayUs() const { return 0; }
    // The own key and the pinned keys, and whether to offer encryption; without them the slot
    // speaks only the plain conversation.
    virtual PeerTrust *TransferTrust() { return nullptr; }
    virtual EncryptionSetting EncryptionPreference() const { return EncryptionSetting::Off; }
};

class ReceiveChannel : public QObject {
public:
    ReceiveChannel() = default;
    // The slot's place among the receive slots (0..ChannelCount-1) and its host; once.
    void Attach(int index, ReceiveHost &host);

    // Start-up: enabled slots wait for communications ("" then "I"), the rest are "D".
    void Configure(bool enabled);
    // Communications started: an unstarted slot becomes idle.
    void Start();
    // The slot takes the next caller ("L").
    void Listen();
    // The port could not be listened on: a listening slot waits idle ("I") until it can be.
    void StopListening();
    // Serves an accepted caller: greets it and waits for its request.
    void Accept(Connection *connection);
    // The silence watchdog (a request that never comes, file data that stop).
    void Tick(const QDateTime &now);
    // Shutdown: the caller's connection is closed, the file too, and the slot stays "D".
    void Stop();

    // The connection's events; the tests without a connection raise them directly.
    void OnData(const QByteArray &arrived = {});
    void OnClosed();
    void OnError(int errorNumber);
    void OnReplyWritten();

    // A file is being received: the silence watchdog applies.
    bool Timed() const { return State == ReceiveState::Receiving; }
    bool FileOpen() const { return FileHandle != nullptr; }
    // The picture beside the slot's button: its letter's, except that a slot stopped at shutdown
    // while it listened or served shows "stopped" and an idle one keeps its picture.
    ChannelPicture Picture() const { return picture_; }
    int Index() const { return index_; }
    SlotSnapshot Snapshot() const;

    // Read by the engine, the windows and the tests; written by the slot.
    ReceiveLetter Letter = ReceiveLetter::Unstarted;
    ReceiveState State = ReceiveState::Idle;
    QByteArray Result = "000";  // the outcome code; "000" while nothing has ended the conversation
    QByteArray Refusal;         // the refusal being written, while Closing
    bool UnsafeName = false;
    bool WriteFailed = false;
    bool KernelPath = false;    // the file data goes from the socket to the file inside the kernel
    QByteArray Buffer;
    QByteArray PeerAddress;
    QDateTime LastActivity;
    QByteArray Login, Password, FileName;
    QString Path;
    int64_t AnnouncedSize = 0;
    int64_t ExistingSize = 0;
    int64_t BytesReceived = 0;
    int64_t ConnectionBytes = 0;
    int Percent = 0;
    std::unique_ptr<QFile> FileHandle;
    QDateTime StartTime, LastWriteTime;
    QDateTime GreetedAt;        // when the WELCOME went out; the request must follow in time
    QPointer<Connection> Conn;  // the caller's connection while one is served
    ChannelEncryption Tls;      // the offer, the upgrade and the key the caller showed

    // The files of a batch still to come after the one being received, in order.
    struct BatchFile {
        QByteArray login, fileName;
        QString path;
        int64_t announcedSize = 0;
        int64_t existingSize = 0; // the offset answered: what the file held when it was checked
    };
    std::vector<BatchFile> BatchRest;
    // The slot writes this file now, or will in its batch.
    bool Holds(const QString &path) const;

    // Everything of one caller's conversation back to its empty start (the letter, the
    // picture, the connection and the file are the slot's to change).
    void ResetForNextCaller();

private:
    void Raise(ReceiveEvent event) { State = NextReceiveState(State, event); }
    void SetPicture(ChannelPicture picture);
    void SendWelcome();
    void ReadIntoBuffer();
    void ParseRequest();
    // The checks of one request, in their order, with its log lines: the refusal code, or empty
    // with the slot's fields set and its file open.
    QByteArray JudgeRequest(const QByteArray &request, const QDateTime &start);
    // Several files over one connection (BatchReceive.cpp).
    void TakeBatch(const QList<QByteArray> &requests);
    bool BeginBatchFile();
    // The file being received has all its bytes and another follows: the first ends as if it had
    // come alone, the next begins. False when the conversation ended instead.
    bool NextBatchFile();
    // How much the file being received still takes when another follows it; -1 for the last.
    int64_t BatchBoundary() const { return BatchRest.empty() ? -1 : AnnouncedSize - BytesReceived; }
    // The files of a batch that never began, each ended as it would have alone on this ending.
    void EndBatchRest(const QByteArray &result);
    bool OpenFile();
    // The percent of the file received so far; the host hears of it when its rounded value moves.
    void UpdatePercent();
    bool WriteBuffered(const QDateTime &now);
    bool WriteReceived(const QByteArray &data);
    void SendRefusal(const QByteArray &code);
    // File data inside the kernel (KernelCopy.cpp); ReceiveFromKernel answers false when the data
    // is to be read and written through this process instead.
    void StartKernelReceive();
    bool ReceiveFromKernel();
    // Every ending: the log line, the file closed, the connection retired, the slot idle.
    void Finish();
    // The host hears how the conversation (or one file of a batch) ended, judged from the
    // slot's fields: its log line and whether a file was delivered.
    void ReportEnding(const QByteArray &code, ReceiveState state);
    void Write(const QByteArray &bytes);
    // Encryption (ChannelTls.cpp). The greeting, with the offer when this end may encrypt.
    QByteArray Greeting();
    // A complete message in place of the request: true when it was STARTTLS, answered here.
    bool TakeUpgradeCommand();
    void OnEncrypted();
    void OnHandshakeFailed(const QByteArray &reason);
    // True when the request's key (or its lack of one) refuses it ("402"); pins a first key.
    bool KeyRefusesRequest(const Protocol::RequestCheck &check);

    int index_ = 0;
    ReceiveHost *host_ = nullptr;
    ChannelPicture picture_ = ChannelPicture::Idle;
    qsizetype batchFramedUpTo_ = 0; // the buffer's size when an arriving batch was last found incomplete
};
