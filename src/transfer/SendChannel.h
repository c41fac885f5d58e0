// One send slot: one queued file to one peer over one connection, in 1024-byte pieces from the
// offset the receiver reports. The slot owns its connection, its file, its buffers and its batch
// timer; its handlers turn the connection's events into events of its state machine
// (NextSendState), and every ending goes through HandleOutcome. What the slot needs of the rest
// of the installation it asks of its SendHost, the engine.
#pragma once

#include "core/AddressKind.h"
#include "core/Users.h"
#include "dynaddr/AddressPage.h"
#include "core/Preferences.h"
#include "transfer/PeerTrust.h"
#include "transfer/Queue.h"
#include "transfer/SlotStates.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <vector>

class Clock;
class Connection;
struct Outcome;
enum class OutcomeClass;
struct SlotSnapshot;

// What a send slot asks of the installation that holds it.
class SendHost {
public:
    virtual ~SendHost() = default;
    virtual const Clock &SlotClock() const = 0;
    virtual bool Stopping() const = 0;
    virtual void LogLine(const QByteArray &line) = 0;
    virtual const UserList &AddressBook() const = 0;
    // Starts the lookup of the peer's address page; its ticket, 0 when none started.
    virtual quint64 StartLookup(int slot, const QByteArray &user, const QByteArray &pageUrl) = 0;
    // Connects the slot's new connection to the peer (the engine shows where it connects).
    virtual void Dial(Connection &connection, const QByteArray &host, int port) = 0;
    // The due rows for one user (besides the slot's own), in the scheduler's order, at most limit.
    struct DueRow {
        QueueRowId id = 0;
        QByteArray filePath, message;
    };
    virtual std::vector<DueRow> DueRowsOf(const QByteArray &, int) { return {}; }
    // The row joins the slot's attempt (a batch): busy on this slot.
    virtual void MarkRowBusy(int, QueueRowId) {}
    // The attempt to send the queue row ended with this outcome; the slot is about to become idle.
    virtual void SendEnded(int slot, QueueRowId row, const Outcome &outcome, const QByteArray &result,
                           const QByteArray &user, const QByteArray &fileName) = 0;
    // The slot is idle again after an attempt of this outcome class.
    virtual void SendSlotFreed(int slot, OutcomeClass outcomeClass) = 0;
    // The slot's letter (and so its picture) changed.
    virtual void SendSlotChanged(int slot) = 0;
    // What the slot shows changed (status line, rate).
    virtual void SlotStatusChanged() = 0;
    virtual void SendProgress(int slot) = 0;
    // The address the connection left this machine from.
    virtual void LocalEndSeen(const QHostAddress &local) = 0;
    // The own key and the pinned keys, and whether to take an offer of encryption; without them
    // the slot speaks only the plain conversation.
    virtual PeerTrust *TransferTrust() { return nullptr; }
    virtual EncryptionSetting EncryptionPreference() const { return EncryptionSetting::Off; }
};

class SendChannel : public QObject {
public:
    SendChannel();
    // The slot's place among the send slots (0..ChannelCount-1) and its host; once.
    void Attach(int index, SendHost &host);

    // Start-up: enabled slots are idle ("I"), the rest "D" for the whole run.
    void Configure(bool enabled);
    // The scheduler gave the slot a queue row ("W").
    void Reserve();
    // Starts the attempt to send the queue row's file to the user.
    void Begin(QueueRowId row, const QByteArray &userName, const QByteArray &filePath, const QByteArray &message);
    // The address lookup this slot waits for ended. A result of an earlier lookup, or one that
    // comes after the slot has moved on, is stale and ignored.
    void TakeLookupResult(const LookupResult &result);
    // The silence watchdog.
    void Tick(const QDateTime &now);
    // Ends a running attempt with this code (shutdown).
    void Abort(const QByteArray &code);

    // The connection's events; the tests without a peer raise them directly.
    void OnConnected();
    void OnData(const QByteArray &arrived = {});
    void OnBytesWritten();
    void OnClosed();
    void OnError(int errorNumber);

    // Connecting or connected: the silence watchdog applies.
    bool InUse() const
    {
        return State == SendState::Connecting || State == SendState::Requested || State == SendState::Sending ||
               State == SendState::AllSent;
    }
    bool FileOpen() const { return FileHandle != nullptr; }
    ChannelPicture Picture() const;
    int Index() const { return index_; }
    SlotSnapshot Snapshot() const;
    // Everything is closed, without any outcome (the engine going away).
    void CloseFile();

    // Read by the engine, the windows and the tests; written by the slot.
    SendLetter Letter = SendLetter::Idle;
    SendState State = SendState::Finished;
    QByteArray Result = "000";  // the outcome code; "000" while nothing has ended the attempt
    QDateTime LastActivity;
    QueueRowId QueueRow = 0;    // the queue row being sent; 0 when none
    QByteArray UserName, LoginName, Password, Host;
    AddressKind AddressType = AddressKind::Static;
    int Port = 0;
    QByteArray PageURL;
    QByteArray FilePath, Message, FileName;
    int64_t FileSize = 0;
    std::unique_ptr<QFile> FileHandle;
    QByteArray Buffer;
    QByteArray Piece;           // the batch buffer, kept for the whole item
    int64_t BatchLength = 0;    // bytes of Piece that the current batch holds
    int64_t BytesLeft = 0;
    int64_t BytesSent = 0;
    int PercentDone = 0;
    QDateTime SendStarted, LastPieceAt;
    QPointer<Connection> Conn;  // the connection to the peer while connecting or sending
    ChannelEncryption Tls;      // STARTTLS, the handshake and the key the receiver showed
    quint64 LookupTicket = 0;   // the address lookup this slot waits for; 0 when none
    bool CopyOnly = false;      // the kernel refused to send from the file: read and write instead
    bool BatchOffered = false;  // the receiver's welcome offered BATCH

    // The files of a batch, in the order of their requests (the slot's own row first).
    struct BatchFile {
        QueueRowId row = 0;
        QByteArray filePath, fileName, message;
        int64_t size = 0;        // as announced
        int64_t offset = -1;     // the receiver's "101" offset; -1 before it or when refused
        bool ended = false;      // its outcome is logged and its row has its status
    };
    std::vector<BatchFile> BatchFiles;
    size_t BatchFileAt = 0;      // the file being sent
    // The queue row whose file the slot sends now: its own row, or in a batch the current file's
    // row until that file has ended; 0 when none.
    QueueRowId SendingRow() const
    {
        if (BatchFiles.empty())
            return QueueRow;
        const BatchFile &f = BatchFiles[BatchFileAt];
        return f.ended ? 0 : f.row;
    }

    // Everything of one queue item's attempt back to its empty start (the letter, the
    // connection, the file and the batch timer are the slot's to change).
    void ResetForNextItem();

private:
    void Raise(SendEvent event) { State = NextSendState(State, event); }
    void Route();
    void Connect();
    bool OpenFile();
    void OnGreeting();
    // Several files over one connection (BatchSend.cpp), in the clear or inside the TLS session
    // once the receiver's key passed. OfferBatch is false when the single request goes instead.
    bool OfferBatch();
    void OnBatchReplies();
    bool BeginBatchFile();
    // The next accepted file of the batch begins; false when there is none or the attempt ended.
    bool NextBatchFile();
    void EndBatchFile(BatchFile &f, const QByteArray &result, bool connectionTried = true);
    void OnReply();
    // Writes the request (in the clear, or inside the TLS session once it is up).
    void WriteRequest();
    // Encryption (ChannelTls.cpp). A complete message while connecting: true when it belonged
    // to the upgrade (the answer to STARTTLS).
    bool TakeUpgradeReply();
    void AnswerGreeting(const QByteArray &greeting);
    void OnEncrypted();
    void OnHandshakeFailed(const QByteArray &reason);
    void PinAfterReply(const QByteArray &replyCode);
    bool ReadBatch();
    // Counts bytes handed over: BytesSent, BytesLeft and the percent, announced when it moves.
    void CountSent(int64_t bytes);
    // File data inside the kernel (KernelCopy.cpp): false when the batch is to be read and
    // written through this process instead.
    bool SendBatchFromFile();
    void SendNextBatch();
    void SendBatch();
    // Every ending of an attempt: the log line, the queue row's status and an idle slot.
    void HandleOutcome();
    // The file being sent can no longer be read to its announced end: it fails, and in a batch
    // the files after it end as a dropped connection would end them, to be retried.
    void EndWithFileError();

    int index_ = 0;
    SendHost *host_ = nullptr;
    QTimer batchTimer_;         // the yield before each batch of pieces
};
