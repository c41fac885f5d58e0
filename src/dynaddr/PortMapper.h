// The listening port mapped on the home router, so that peers outside the house can reach this
// machine, and the address the world sees. NAT-PMP first (the requests and answers are this
// program's own, over UDP to the gateway's port 5351: tries at 0, 250 and 500 ms, given up after
// 1 s), then UPnP through the UPnP library on its worker thread. Leases are renewed at half the
// granted lifetime, the external address is asked for at every renewal and at least every 10
// minutes, a router that restarted (a lower NAT-PMP epoch) is asked again, and the mapping is
// removed when mapping is turned off, when the port changes and at shutdown (at most 2 s).
// Every time comes from the engine's clock: a timer calls Tick at the next moment something is
// due, and tests call it after moving a fake clock.
#pragma once

#include "dynaddr/UpnpWorker.h"

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <memory>

class Clock;
class QUdpSocket;
class TransferLog;

// Which router to ask. Normally the router is found (the default gateway for NAT-PMP, SSDP for
// UPnP); PARCELWISE_NATPMP_GATEWAY=ADDRESS and PARCELWISE_IGD_URL=URL name it instead and turn
// discovery off. A variable set but unusable turns mapping off.
struct RouterChoice {
    bool discover = true;
    QHostAddress natPmpGateway; // null: no NAT-PMP router named
    QByteArray igdUrl;          // empty: no UPnP router named
    QByteArray problem;         // why mapping is off, for the log; empty when usable

    // From the two variables' values (null: not set).
    static RouterChoice FromValues(const QByteArray &natPmpGateway, const QByteArray &igdUrl);
    static RouterChoice FromEnvironment();
};

class PortMapper : public QObject {
    Q_OBJECT
public:
    enum class Method { None, NatPmp, Upnp };
    static constexpr uint32_t NatPmpLease = 7200;
    static constexpr int UpnpLease = 3600;
    static constexpr int AddressCheckSeconds = 600;    // the external address, at least this often
    static constexpr int PermanentCheckSeconds = 1200; // a permanent UPnP mapping is renewed this often
    static constexpr int RetrySeconds = 600;           // after a failure, mapping is tried again
                                                       // (the same failure is logged once)
    static constexpr int RemovalLimitMs = 2000;
    static constexpr int GiveUpMs = 1000;              // NAT-PMP's silence limit per exchange

    PortMapper(const Clock &clock, TransferLog &log, QObject *parent = nullptr);
    ~PortMapper() override;

    // The router to ask; taken from the environment at construction.
    void SetRouter(const RouterChoice &router) { router_ = router; }
    const RouterChoice &Router() const { return router_; }
    // The text of the routing table the default gateway is read from (discovery only).
    void SetRouteTablePath(const QString &path) { routeTablePath_ = path; }

    // Maps listenPort when ownAddress is private or a router is named; false (nothing done)
    // otherwise or when the named router is unusable (logged).
    bool Start(int listenPort, const QByteArray &ownAddress);
    // A new listening port: the old mapping is removed and the new port mapped (Settled again
    // once its first answer has come).
    void ChangePort(int listenPort);
    // Mapping turned off: the mapping is removed (logged once the router confirms).
    void Stop();
    // Shutdown: removes the mapping; RemovalFinished comes once it is removed or 2 s have passed.
    void BeginRemoval();
    bool RemovalDone() const { return removalDone_; }

    // Acts on whatever is due on the clock.
    void Tick();

    bool Active() const { return active_; }
    // The first answer (a mapping or a failure) has come, or nothing is being mapped.
    bool Settled() const { return !active_ || settled_; }
    bool Mapped() const { return method_ != Method::None; }
    // Mapped, and the external address is one the internet can reach.
    bool Reachable() const;
    Method MappedBy() const { return method_; }
    QByteArray ExternalAddress() const { return externalAddress_; }
    int ExternalPort() const { return externalPort_; }
    int ListenPort() const { return listenPort_; }
    // What the address page names: the external address and port while a reachable mapping is
    // in force; empty and 0 otherwise.
    QByteArray PageIp() const { return Reachable() ? externalAddress_ : QByteArray(); }
    int PagePort() const { return Reachable() ? externalPort_ : 0; }

    // "203.0.113.7:45000 (router)"; empty without a mapping.
    QByteArray LabelText() const;
    // How the mapping was made and what the local address is, for the label's tool tip.
    QByteArray ToolTip(const QByteArray &localAddress) const;
    // "Reachable at 203.0.113.7:45000 (router, NAT-PMP)"; empty without a reachable mapping.
    QByteArray StatusLine() const;
    static QByteArray MethodName(Method m);

signals:
    // The mapping in force (or its absence) changed: the page's address and port may differ.
    void MappingChanged();
    // The first answer came (Settled became true).
    void SettledNow();
    void RemovalFinished();

private:
    enum class Step { None, Address, Map, Remove };
    enum class Purpose { Map, Renew, Check, Remove };

    void BeginMapping();
    void StartRemoval();
    void BeginNatPmp(Purpose purpose);
    void Send(Step step);
    void OnDatagrams();
    void OnNatPmpAnswer(const struct NatPmpAnswer &answer);
    void NatPmpFailed(const QByteArray &reason);
    void PostUpnp(UpnpJob::Kind kind);
    void OnUpnpResult(const UpnpResult &result, quint64 generation);
    void Mapped(Method method, const QByteArray &address, int port, int lease, const QByteArray &localAddress);
    void Failed(const QByteArray &reason);
    void Unmap();
    void FinishRemoval(bool confirmed);
    void Schedule();
    QDateTime Now() const;
    bool UpnpAvailable() const { return router_.discover || !router_.igdUrl.isEmpty(); }

    const Clock &clock_;
    TransferLog &log_;
    RouterChoice router_;
    QString routeTablePath_ = QStringLiteral("/proc/net/route");
    QTimer timer_;
    QUdpSocket *socket_ = nullptr;
    std::unique_ptr<UpnpWorker> upnp_;
    QHostAddress gateway_;

    bool active_ = false;
    bool settled_ = false;
    bool shuttingDown_ = false;
    bool removing_ = false;
    bool removalDone_ = false;
    int listenPort_ = 0;

    // The NAT-PMP exchange under way.
    Purpose purpose_ = Purpose::Map;
    Step step_ = Step::None;
    QByteArray request_;
    QDateTime sentAt_;
    int sends_ = 0;
    QByteArray fault_; // a datagram that was not the answer, for the failure's reason
    QByteArray lastFailure_; // logged already; the same failure again is not
    QByteArray pendingAddress_;
    bool epochKnown_ = false;
    uint32_t epoch_ = 0;

    // The UPnP job under way.
    bool upnpBusy_ = false;
    quint64 upnpGeneration_ = 0;

    // The mapping in force.
    Method method_ = Method::None;
    QByteArray externalAddress_;
    int externalPort_ = 0;
    QByteArray localAddress_;
    QDateTime renewAt_;
    QDateTime checkAt_;
    QDateTime retryAt_;
    QDateTime removalDeadline_;
};
