// The engine harness and the raw peer.
#include "EngineHarness.h"

#include <QDir>

EngineHarness::EngineHarness(int receiveChannels, int sendChannels)
{
    engine = std::make_unique<Engine>(dir.path(), clock, prompt);
    engine->InitGlobals();
    port = FreeLoopbackPort();
    engine->Prefs.ListenPort = port;
    engine->Prefs.ReceiveChannels = receiveChannels;
    engine->Prefs.SendChannels = sendChannels;
    engine->SetOwnAddress("127.0.0.1");
    engine->MainWindowLoad();
}

void EngineHarness::Start()
{
    engine->StartChannels();
    engine->QueueTick();
}

QString EngineHarness::Downloads(const QString &name) const
{
    return QDir(engine->Paths().DownloadsFolder).filePath(name);
}

bool EngineHarness::LogHas(const QByteArray &text) const
{
    return engine->Log().ScreenText().contains(text);
}

void EngineHarness::AddUser(const QList<QByteArray> &fields)
{
    engine->Users.append(MakeUserRecord(fields));
}

RawPeer::RawPeer(int port)
{
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    WaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState ||
                            socket.state() == QAbstractSocket::UnconnectedState; });
}

QByteArray RawPeer::ReadMessage(int timeoutMs)
{
    WaitFor([this] {
        buffer += socket.readAll();
        return buffer.contains("\r\r") || socket.state() == QAbstractSocket::UnconnectedState;
    }, timeoutMs);
    buffer += socket.readAll();
    const qsizetype end = buffer.indexOf("\r\r");
    if (end < 0)
        return {};
    const QByteArray message = buffer.left(end + 2);
    buffer.remove(0, end + 2);
    return message;
}

void RawPeer::Send(const QByteArray &bytes)
{
    socket.write(bytes);
    socket.flush();
}

bool RawPeer::WaitClosed(int timeoutMs)
{
    return WaitFor([this] {
        buffer += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    }, timeoutMs);
}
