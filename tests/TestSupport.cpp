// Helpers shared by the tests.
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

ScratchDir::ScratchDir() = default;

void ScratchDir::write(const QString &name, const QByteArray &content) const
{
    QFile f(file(name));
    if (f.open(QIODevice::WriteOnly))
        f.write(content);
}

QByteArray ScratchDir::read(const QString &name) const
{
    QFile f(file(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WaitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

void Pump(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

QByteArray PatternBytes(qint64 size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    uint32_t x = 2463534242u ^ static_cast<uint32_t>(seed);
    for (qint64 i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = static_cast<char>(x & 0xFF);
    }
    return data;
}

#include <QTcpServer>

int FreeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    return port;
}
