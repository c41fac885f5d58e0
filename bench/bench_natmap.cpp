// The router port mapping must never hold up the engine's event loop. A fake router on loopback
// delays every answer by 5 s: NAT-PMP answers (on 127.0.0.18:5351) come after the mapper has given
// up on them, and a UPnP router (an HTTP server on its own thread) sits on every request before
// answering, so the UPnP calls block for seconds on the worker thread. Meanwhile a 1 ms precise
// timer runs on the event loop; its lateness (time between fires minus 1 ms) is reported as p99
// and max, with the mapper's log lines and how long the shutdown's removal took.
//
//   bench_natmap [SECONDS] [baseline]   (default 16 s; the removal is asked for 3 s before the
//   end; with "baseline" the mapper is never started, which measures the machine alone)
#include "core/Clock.h"
#include "core/TransferLog.h"
#include "dynaddr/NatPmp.h"
#include "dynaddr/PortMapper.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int DelayMs = 5000;

const char Description[] =
    "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
    "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType><deviceList><device>"
    "<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType><deviceList><device>"
    "<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType><serviceList><service>"
    "<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId><controlURL>/ctl</controlURL>"
    "<eventSubURL>/evt</eventSubURL><SCPDURL>/ipc.xml</SCPDURL></service></serviceList>"
    "</device></deviceList></device></deviceList></device></root>";

const char Soap[] =
    "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
    "<u:Response xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">"
    "<NewExternalIPAddress>203.0.113.7</NewExternalIPAddress></u:Response></s:Body></s:Envelope>";

// A UPnP router that waits DelayMs before each answer, one connection at a time per thread.
class SlowIgd {
public:
    SlowIgd()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        ::listen(fd_, 16);
        std::thread([this] { Serve(); }).detach();
    }
    int Port() const { return port_; }

private:
    void Serve()
    {
        for (;;) {
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0)
                return;
            std::thread([c] {
                std::string request;
                char buf[4096];
                ssize_t n;
                while (request.find("\r\n\r\n") == std::string::npos && (n = ::recv(c, buf, sizeof buf, 0)) > 0)
                    request.append(buf, size_t(n));
                std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs));
                const std::string body = request.rfind("GET", 0) == 0 ? Description : Soap;
                const std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: "
                    + std::to_string(body.size()) + "\r\n\r\n" + body;
                ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
                ::close(c);
            }).detach();
        }
    }

    int fd_ = -1;
    int port_ = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(5, atoi(argv[1])) : 16;
    const bool baseline = argc > 2 && QByteArray(argv[2]) == "baseline";

    // The NAT-PMP router: every answer 5 s late.
    QUdpSocket gateway;
    if (!gateway.bind(QHostAddress(QStringLiteral("127.0.0.18")), NatPmpPort)) {
        std::fprintf(stderr, "cannot bind 127.0.0.18:%d\n", NatPmpPort);
        return 1;
    }
    QObject::connect(&gateway, &QUdpSocket::readyRead, [&gateway] {
        while (gateway.hasPendingDatagrams()) {
            const QNetworkDatagram d = gateway.receiveDatagram();
            QByteArray answer = d.data().size() == 2 ? QByteArray("\0\x80\0\0\0\0\0\1\xcb\0\x71\x07", 12)
                                                     : QByteArray("\0\x82\0\0\0\0\0\1\x11\x5c\xaf\xc8\0\0\x1c\x20", 16);
            QTimer::singleShot(DelayMs, &gateway, [&gateway, answer, to = d.senderAddress(), port = d.senderPort()] {
                gateway.writeDatagram(answer, to, port);
            });
        }
    });
    SlowIgd igd;

    SystemClock clock;
    TransferLog log(clock);
    QObject::connect(&log, &TransferLog::LineAdded, [](const QByteArray &line, bool) {
        std::printf("log: %s\n", line.trimmed().constData());
    });
    PortMapper mapper(clock, log);
    mapper.SetRouter(RouterChoice::FromValues(
        "127.0.0.18", "http://127.0.0.1:" + QByteArray::number(igd.Port()) + "/rootDesc.xml"));

    std::vector<double> lateness;
    lateness.reserve(size_t(seconds) * 1000);
    QElapsedTimer since;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 ns = since.nsecsElapsed();
        since.start();
        lateness.push_back(std::max(0.0, double(ns) / 1e6 - 1.0));
    });

    QElapsedTimer removal;
    qint64 removalMs = -1;
    QObject::connect(&mapper, &PortMapper::RemovalFinished, [&] { removalMs = removal.elapsed(); });
    QTimer::singleShot(0, [&] {
        since.start();
        tick.start();
        if (!baseline)
            mapper.Start(4444, "192.168.1.20");
    });
    QTimer::singleShot((seconds - 3) * 1000, [&] {
        removal.start();
        mapper.BeginRemoval();
    });
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();

    std::sort(lateness.begin(), lateness.end());
    const double p99 = lateness.empty() ? 0 : lateness[size_t(double(lateness.size() - 1) * 0.99)];
    const double max = lateness.empty() ? 0 : lateness.back();
    const long over16 = std::count_if(lateness.begin(), lateness.end(), [](double l) { return l >= 16.0; });
    std::printf("timer fires: %zu\n1 ms timer lateness: p99 %.2f ms, max %.2f ms, %ld fires 16 ms or more late\n",
                lateness.size(), p99, max, over16);
    std::printf("removal at shutdown: %s\n",
                removalMs < 0 ? "not finished" : (std::to_string(removalMs) + " ms").c_str());
    // The worker thread may still be blocked on the slow router: it is abandoned, as at shutdown.
    std::fflush(stdout);
    _exit(0);
}
