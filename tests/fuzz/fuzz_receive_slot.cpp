// Fuzzes a receive slot as a hostile caller drives it: whatever arrives, in whatever pieces, with
// closes, written replies and the clock moving in between. The input is a script of steps; some
// steps send enciphered requests (alone or as a batch) whose records the input chooses, so the
// login passes and the fields behind it are reached. Every file must stay inside the downloads
// folder, every ending must leave the slot idle, and what the slot counts must match its file.
#include "core/Cipher.h"
#include "core/Clock.h"
#include "core/Users.h"
#include "transfer/BatchProtocol.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"
#include "transfer/ReceiveChannel.h"
#include "FuzzSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

struct Host : ReceiveHost {
    FakeClock clock;
    QString downloads;
    UserList users{MakeUserRecord({"u", "p", "", "", "S", "", "4444"})};
    int endings = 0;

    const Clock &SlotClock() const override { return clock; }
    bool Stopping() const override { return false; }
    void LogLine(const QByteArray &) override {}
    void SlotStatusChanged() override {}
    void LocalEndSeen(const QHostAddress &) override {}
    bool LoginValid(const QByteArray &login, const QByteArray &password) const override
    {
        return CheckLogin(users, login, password);
    }
    QString DownloadsFolder() const override { return downloads; }
    bool FileBeingReceived(int, const QString &) const override { return false; }
    void MessageArrived(const QDateTime &, const QByteArray &, const QByteArray &, const QByteArray &) override {}
    void ReceiveEnded(int, const ReceiveOutcome &, const QByteArray &, const QByteArray &) override { ++endings; }
    void ReceiveSlotChanged(int) override {}
    void ListenNext() override {}
    void ReceiveProgress(int) override {}
};

// Reads the script: each step is a byte choosing the step and, for those that carry bytes, a
// length byte and that many bytes.
class Script {
public:
    explicit Script(const QByteArray &bytes) : bytes_(bytes) {}
    bool AtEnd() const { return at_ >= bytes_.size(); }
    uint8_t Byte() { return AtEnd() ? 0 : static_cast<uint8_t>(bytes_[at_++]); }
    QByteArray Piece()
    {
        const qsizetype n = std::min<qsizetype>(Byte() * 4, bytes_.size() - at_);
        const QByteArray piece = bytes_.mid(at_, n);
        at_ += n;
        return piece;
    }

private:
    QByteArray bytes_;
    qsizetype at_ = 0;
};

// A request whose login passes, with the input's fields after it (name, size, and what follows).
QByteArray LoggedInRequest(const QByteArray &rest)
{
    return EncryptToHex("v1123\x01u\x01p\x01" + rest) + Protocol::Terminator;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_receive_slot";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir root;
    Require(root.isValid());

    // Each run starts from an empty downloads folder inside a folder of its own.
    QDir(root.path()).removeRecursively();
    QDir().mkpath(root.path() + QStringLiteral("/dl"));
    Host host;
    host.downloads = root.path() + QStringLiteral("/dl");
    ReceiveChannel slot;
    slot.Attach(0, host);
    slot.Configure(true);
    slot.Start();
    slot.Listen();
    slot.Accept(nullptr);

    Script script(InputBytes(data, size));
    for (int steps = 0; !script.AtEnd() && steps < 64; ++steps) {
        switch (script.Byte() % 8) {
        case 0:
        case 1:
            slot.OnData(script.Piece());
            break;
        case 2:
            slot.OnData(LoggedInRequest(script.Piece()));
            break;
        case 3: {
            const int count = 1 + script.Byte() % 4;
            QList<QByteArray> requests;
            for (int k = 0; k < count; ++k)
                requests << LoggedInRequest(script.Piece());
            slot.OnData(BatchProtocol::BuildBatch(requests));
            break;
        }
        case 4:
            slot.OnReplyWritten();
            break;
        case 5:
            host.clock.advanceSeconds(script.Byte());
            slot.Tick(host.clock.now());
            break;
        case 6:
            slot.OnClosed();
            // Every ending leaves the slot idle, ready for the next caller.
            Require(slot.State == ReceiveState::Idle && !slot.FileOpen() && slot.BatchRest.empty());
            slot.Listen();
            slot.Accept(nullptr);
            break;
        case 7:
            slot.OnError(104);
            Require(slot.State == ReceiveState::Idle && !slot.FileOpen());
            slot.Listen();
            slot.Accept(nullptr);
            break;
        }
        // While a file is open, what the slot counts as held is what the file holds.
        if (slot.FileOpen() && !slot.KernelPath) {
            slot.FileHandle->flush();
            Require(slot.FileHandle->size() == slot.BytesReceived);
            Require(QFileInfo(slot.Path).absolutePath() == QDir(host.downloads).absolutePath());
        }
    }
    slot.OnClosed();
    Require(slot.State == ReceiveState::Idle && !slot.FileOpen());
    // Nothing was made beside the downloads folder.
    Require(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden) ==
            QStringList{QStringLiteral("dl")});
    return 0;
}
