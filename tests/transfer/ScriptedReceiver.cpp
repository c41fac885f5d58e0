// The scripted receiving peer.
#include "ScriptedReceiver.h"

#include "transfer/BatchProtocol.h"
#include "transfer/Protocol.h"
#include "transfer/Upgrade.h"

#include <QSslConfiguration>
#include <memory>

using namespace Protocol;

ScriptedReceiver::ScriptedReceiver(QByteArray greeting, QList<QByteArray> replies, std::optional<Identity> key)
    : greeting_(std::move(greeting)), replies_(std::move(replies)), key_(std::move(key))
{
    listen(QHostAddress::LocalHost, 0);
}

void ScriptedReceiver::incomingConnection(qintptr descriptor)
{
    auto *s = new QSslSocket(this);
    s->setSocketDescriptor(descriptor);
    ++connections;
    if (key_) {
        QSslConfiguration c = QSslConfiguration::defaultConfiguration();
        c.setProtocol(QSsl::TlsV1_3);
        c.setLocalCertificate(key_->certificate);
        c.setPrivateKey(key_->key);
        c.setPeerVerifyMode(QSslSocket::QueryPeer);
        s->setSslConfiguration(c);
        QObject::connect(s, &QSslSocket::sslErrors, s, [s] { s->ignoreSslErrors(); });
    }
    auto state = std::make_shared<Conversation>();
    QObject::connect(s, &QSslSocket::readyRead, s, [this, s, state] { Read(*s, *state); });
    s->write(greeting_);
}

void ScriptedReceiver::ReleaseClose()
{
    holdClose = false;
    for (const QPointer<QSslSocket> &s : held_)
        if (s)
            s->disconnectFromHost();
    held_.clear();
}

void ScriptedReceiver::Read(QSslSocket &s, Conversation &c)
{
    c.buffer += s.readAll();
    if (c.done)
        return; // nothing more is read from this caller
    if (key_ && !s.isEncrypted()) {
        if (s.mode() != QSslSocket::UnencryptedMode)
            return; // the handshake runs
        const QByteArray startTls(Upgrade::StartTlsCommand);
        if (c.buffer == startTls) {
            c.buffer.clear();
            ++upgrades;
            s.write(Upgrade::GoAheadReply);
            s.startServerEncryption();
            return;
        }
        if (startTls.startsWith(c.buffer))
            return;
    }
    if (!c.replied) {
        QList<QByteArray> asked;
        const BatchProtocol::Frame frame = BatchProtocol::FrameBatch(c.buffer);
        if (frame.framing == BatchProtocol::Framing::Complete) {
            ++batches;
            asked = frame.requests;
            c.buffer.remove(0, frame.consumed);
        } else if (frame.framing == BatchProtocol::Framing::NotBatch && c.buffer.contains("\r\r")) {
            const qsizetype end = c.buffer.indexOf("\r\r") + 2;
            asked = {c.buffer.left(end)};
            c.buffer.remove(0, end);
        } else {
            return;
        }
        c.replied = true;
        QByteArray out;
        for (const QByteArray &request : asked) {
            requests << request;
            const RequestCheck check = CheckRequest(request, [](const QByteArray &, const QByteArray &) { return true; });
            const QByteArray reply = replies_.isEmpty() ? QByteArray("1010") : replies_.takeFirst();
            out += reply + "\r\r";
            if (reply.startsWith("101"))
                c.expected.append({check.fileName, check.announcedSize - ResumeOffset(reply + "\r\r")});
        }
        s.write(out);
    }
    while (!c.expected.isEmpty() && !c.buffer.isEmpty()) {
        auto &[name, left] = c.expected.first();
        const QByteArray part = c.buffer.left(left);
        got[name] += part;
        c.buffer.remove(0, part.size());
        left -= part.size();
        if (left == 0)
            c.expected.removeFirst();
    }
    if (c.expected.isEmpty()) {
        ++finished;
        c.done = true;
        if (holdClose)
            held_ << QPointer<QSslSocket>(&s);
        else
            s.disconnectFromHost();
    }
}
