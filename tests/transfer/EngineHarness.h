// An engine in a scratch folder with a fake clock, and a raw peer that speaks the wire
// protocol byte by byte, for tests over loopback.
#pragma once

#include "TestSupport.h"
#include "core/Clock.h"
#include "transfer/Engine.h"

#include <QTcpSocket>
#include <memory>

struct EngineHarness {
    explicit EngineHarness(int receiveChannels = 2, int sendChannels = 1);
    // Starts communications and runs the first tick, after which one channel listens.
    void Start();
    QString Downloads(const QString &name) const;
    bool LogHas(const QByteArray &text) const;
    void AddUser(const QList<QByteArray> &fields);

    ScratchDir dir;
    FakeClock clock;
    RecordingPrompt prompt;
    std::unique_ptr<Engine> engine;
    int port = 0;
};

// A hand-driven sending peer.
struct RawPeer {
    explicit RawPeer(int port);
    bool Connected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    // Waits for one control message (ending in two CRs); empty when none comes.
    QByteArray ReadMessage(int timeoutMs = 5000);
    void Send(const QByteArray &bytes);
    // Waits until the other side has closed the connection.
    bool WaitClosed(int timeoutMs = 5000);

    QTcpSocket socket;
    QByteArray buffer;
};
