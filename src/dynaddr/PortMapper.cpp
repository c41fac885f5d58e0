// The router port mapping: NAT-PMP exchanges on a UDP socket, UPnP jobs on the worker thread,
// leases, checks and removal on the engine's clock.
#include "dynaddr/PortMapper.h"

#include "core/Clock.h"
#include "core/TransferLog.h"
#include "dynaddr/HttpResponse.h"
#include "dynaddr/NatPmp.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <algorithm>

namespace {

constexpr int ResendFirstMs = 250;
constexpr int ResendSecondMs = 500;
constexpr int MinRenewSeconds = 30;

} // namespace

RouterChoice RouterChoice::FromValues(const QByteArray &natPmpGateway, const QByteArray &igdUrl)
{
    RouterChoice r;
    if (natPmpGateway.isNull() && igdUrl.isNull())
        return r;
    r.discover = false;
    if (!natPmpGateway.isNull()) {
        const std::optional<uint32_t> a = ParseDottedIPv4(natPmpGateway.trimmed());
        if (!a || *a == 0)
            r.problem = "PARCELWISE_NATPMP_GATEWAY is not an IPv4 address";
        else
            r.natPmpGateway = QHostAddress(*a);
    }
    if (!igdUrl.isNull() && r.problem.isEmpty()) {
        const std::optional<HttpUrl> u = ParseHttpUrl(igdUrl);
        if (!igdUrl.startsWith("http://") || !u || u->Host.isEmpty() || u->Port() == 0)
            r.problem = "PARCELWISE_IGD_URL is not an http URL";
        else
            r.igdUrl = igdUrl;
    }
    return r;
}

RouterChoice RouterChoice::FromEnvironment()
{
    return FromValues(qEnvironmentVariableIsSet("PARCELWISE_NATPMP_GATEWAY") ? qgetenv("PARCELWISE_NATPMP_GATEWAY")
                                                                              : QByteArray(),
                      qEnvironmentVariableIsSet("PARCELWISE_IGD_URL") ? qgetenv("PARCELWISE_IGD_URL") : QByteArray());
}

PortMapper::PortMapper(const Clock &clock, TransferLog &log, QObject *parent)
    : QObject(parent), clock_(clock), log_(log), router_(RouterChoice::FromEnvironment())
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &PortMapper::Tick);
}

PortMapper::~PortMapper() = default;

QDateTime PortMapper::Now() const
{
    return clock_.now();
}

bool PortMapper::Start(int listenPort, const QByteArray &ownAddress)
{
    if (!router_.problem.isEmpty()) {
        log_.Showit("Port mapping off: " + router_.problem);
        return false;
    }
    if (router_.discover && !IsPrivateIPv4(ownAddress))
        return false;
    active_ = true;
    settled_ = false;
    shuttingDown_ = false;
    lastFailure_.clear();
    removalDone_ = false;
    listenPort_ = listenPort;
    BeginMapping();
    return true;
}

void PortMapper::BeginMapping()
{
    retryAt_ = {};
    gateway_ = router_.natPmpGateway;
    if (gateway_.isNull() && router_.discover) {
        QFile table(routeTablePath_);
        if (table.open(QIODevice::ReadOnly)) {
            if (const std::optional<uint32_t> g = DefaultGatewayFromRouteTable(table.read(1 << 20)))
                gateway_ = QHostAddress(*g);
        }
    }
    if (!gateway_.isNull())
        BeginNatPmp(Purpose::Map);
    else if (UpnpAvailable())
        PostUpnp(UpnpJob::Kind::Map);
    else
        Failed("no router answered");
}

void PortMapper::ChangePort(int listenPort)
{
    if (!active_ || listenPort == listenPort_)
        return;
    // The old mapping goes without waiting for the router's word.
    if (method_ == Method::NatPmp && socket_)
        socket_->writeDatagram(NatPmpMapRequest(uint16_t(listenPort_), 0, 0), gateway_, NatPmpPort);
    else if (method_ == Method::Upnp) {
        UpnpJob job;
        job.kind = UpnpJob::Kind::Remove;
        job.rootUrl = router_.igdUrl;
        job.listenPort = listenPort_;
        job.externalPort = externalPort_;
        upnp_->Post(job, this, [](const UpnpResult &) {});
    }
    ++upnpGeneration_;
    upnpBusy_ = false;
    step_ = Step::None;
    const bool had = Mapped();
    Unmap();
    listenPort_ = listenPort;
    settled_ = false; // the new port's first answer is awaited again
    if (had)
        emit MappingChanged();
    BeginMapping();
}

void PortMapper::Stop()
{
    if (!active_)
        return;
    active_ = false;
    retryAt_ = {};
    StartRemoval();
}

void PortMapper::BeginRemoval()
{
    shuttingDown_ = true;
    removalDeadline_ = Now().addMSecs(RemovalLimitMs);
    if (!active_ && !removing_) {
        FinishRemoval(false);
        return;
    }
    active_ = false;
    retryAt_ = {};
    if (!removing_)
        StartRemoval();
    Schedule();
}

void PortMapper::StartRemoval()
{
    removing_ = true;
    if (method_ == Method::NatPmp || step_ != Step::None) {
        BeginNatPmp(Purpose::Remove);
    } else if (method_ == Method::Upnp) {
        PostUpnp(UpnpJob::Kind::Remove);
    } else if (!upnpBusy_) {
        // Nothing was mapped and nothing is being asked for.
        FinishRemoval(false);
        return;
    }
    // A UPnP mapping still being asked for is removed once its answer comes.
    Schedule();
}

void PortMapper::FinishRemoval(bool confirmed)
{
    if (confirmed)
        log_.Showit("Port mapping removed");
    const bool had = Mapped();
    Unmap();
    removing_ = false;
    step_ = Step::None;
    ++upnpGeneration_; // a UPnP call still blocked is abandoned
    upnpBusy_ = false;
    if (had && !shuttingDown_)
        emit MappingChanged();
    if (shuttingDown_ && !removalDone_) {
        removalDone_ = true;
        emit RemovalFinished();
    }
    Schedule();
}

void PortMapper::Unmap()
{
    method_ = Method::None;
    externalAddress_.clear();
    externalPort_ = 0;
    localAddress_.clear();
    renewAt_ = {};
    checkAt_ = {};
}

void PortMapper::BeginNatPmp(Purpose purpose)
{
    if (!socket_) {
        socket_ = new QUdpSocket(this);
        socket_->bind(QHostAddress::AnyIPv4, 0);
        connect(socket_, &QUdpSocket::readyRead, this, &PortMapper::OnDatagrams);
    }
    purpose_ = purpose;
    fault_.clear();
    Send(purpose == Purpose::Remove ? Step::Remove : Step::Address);
}

void PortMapper::Send(Step step)
{
    step_ = step;
    if (step == Step::Address)
        request_ = NatPmpAddressRequest();
    else if (step == Step::Map)
        request_ = NatPmpMapRequest(uint16_t(listenPort_), uint16_t(externalPort_ ? externalPort_ : listenPort_),
                                    NatPmpLease);
    else
        request_ = NatPmpMapRequest(uint16_t(listenPort_), 0, 0);
    sentAt_ = Now();
    sends_ = 1;
    socket_->writeDatagram(request_, gateway_, NatPmpPort);
    Schedule();
}

void PortMapper::OnDatagrams()
{
    while (socket_->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket_->receiveDatagram(64);
        if (step_ == Step::None)
            continue;
        if (datagram.senderAddress().toIPv4Address() != gateway_.toIPv4Address()
            || datagram.senderPort() != NatPmpPort) {
            fault_ = "the answer came from another address";
            continue;
        }
        NatPmpFault fault = NatPmpFault::None;
        const std::optional<NatPmpAnswer> answer =
            ReadNatPmpAnswer(datagram.data(), step_ == Step::Address ? 0 : 2, uint16_t(listenPort_), &fault);
        if (!answer) {
            fault_ = fault == NatPmpFault::WrongOpcode ? "the answer was malformed (wrong opcode)"
                   : fault == NatPmpFault::WrongPort   ? "the answer was malformed (wrong internal port)"
                                                       : "the answer was malformed";
            continue;
        }
        OnNatPmpAnswer(*answer);
    }
}

void PortMapper::OnNatPmpAnswer(const NatPmpAnswer &a)
{
    if (a.resultCode != 0) {
        NatPmpFailed("the router refused with code " + QByteArray::number(a.resultCode) + " ("
                     + NatPmpResultText(a.resultCode) + ")");
        return;
    }
    const bool restarted = epochKnown_ && a.epoch < epoch_;
    epoch_ = a.epoch;
    epochKnown_ = true;
    if (step_ == Step::Remove) {
        FinishRemoval(true);
        return;
    }
    if (step_ == Step::Address) {
        if (a.externalAddress == 0) {
            NatPmpFailed("the router has no external address");
            return;
        }
        pendingAddress_ = DottedIPv4(a.externalAddress);
        if (purpose_ == Purpose::Check && !restarted) {
            step_ = Step::None;
            Mapped(Method::NatPmp, pendingAddress_, externalPort_, -1, localAddress_);
            return;
        }
        // A restarted router has forgotten the mapping: it is asked for again.
        Send(Step::Map);
        return;
    }
    if (a.externalPort == 0) {
        NatPmpFailed("the answer was malformed (external port 0)");
        return;
    }
    if (a.lifetime == 0) {
        NatPmpFailed("the router granted no lease");
        return;
    }
    step_ = Step::None;
    const QByteArray local = LocalAddressTowards(gateway_.toString().toLatin1());
    Mapped(Method::NatPmp, pendingAddress_, a.externalPort,
           int(std::min<uint32_t>(a.lifetime, uint32_t(NatPmpLease) * 1000)), local);
}

void PortMapper::NatPmpFailed(const QByteArray &reason)
{
    step_ = Step::None;
    if (purpose_ == Purpose::Remove) {
        FinishRemoval(false);
        return;
    }
    if (purpose_ == Purpose::Map && UpnpAvailable()) {
        PostUpnp(UpnpJob::Kind::Map);
        return;
    }
    Failed(reason);
}

void PortMapper::PostUpnp(UpnpJob::Kind kind)
{
    if (!upnp_)
        upnp_ = std::make_unique<UpnpWorker>();
    UpnpJob job;
    job.kind = kind;
    job.rootUrl = router_.igdUrl;
    job.listenPort = listenPort_;
    job.externalPort = externalPort_;
    job.lease = UpnpLease;
    upnpBusy_ = true;
    const quint64 generation = ++upnpGeneration_;
    upnp_->Post(job, this, [this, generation](const UpnpResult &r) { OnUpnpResult(r, generation); });
    Schedule();
}

void PortMapper::OnUpnpResult(const UpnpResult &r, quint64 generation)
{
    if (generation != upnpGeneration_)
        return;
    upnpBusy_ = false;
    if (r.kind == UpnpJob::Kind::Remove) {
        FinishRemoval(r.ok);
        return;
    }
    if (removing_) {
        // Asked for before the removal began: whatever was granted goes again.
        if (r.ok) {
            externalPort_ = r.externalPort;
            PostUpnp(UpnpJob::Kind::Remove);
        } else {
            FinishRemoval(false);
        }
        return;
    }
    if (r.ok)
        Mapped(Method::Upnp, r.externalAddress, r.externalPort, r.lease, r.localAddress);
    else
        Failed(r.reason);
}

void PortMapper::Mapped(Method method, const QByteArray &address, int port, int lease,
                        const QByteArray &localAddress)
{
    const bool first = method_ == Method::None;
    const bool changed = first || address != externalAddress_ || port != externalPort_;
    method_ = method;
    externalAddress_ = address;
    externalPort_ = port;
    localAddress_ = localAddress;
    const QDateTime now = Now();
    if (lease >= 0) {
        const int asked = method == Method::NatPmp ? int(NatPmpLease) : UpnpLease;
        const int renewIn = lease == 0 ? PermanentCheckSeconds : std::clamp(lease / 2, MinRenewSeconds, asked / 2);
        renewAt_ = now.addSecs(renewIn);
    }
    checkAt_ = now.addSecs(AddressCheckSeconds);
    retryAt_ = {};
    lastFailure_.clear();
    const QByteArray where = address + ':' + QByteArray::number(port);
    if (first)
        log_.Showit("Port mapped on router: " + where + " (" + MethodName(method) + ")");
    else if (changed)
        log_.Showit("Port mapping changed: " + where);
    if (changed && !Reachable())
        log_.Showit("Port mapping: " + address + " is not reachable from the internet");
    if (!settled_) {
        settled_ = true;
        emit SettledNow();
    }
    if (changed)
        emit MappingChanged();
    Schedule();
}

void PortMapper::Failed(const QByteArray &reason)
{
    // A router that keeps failing the same way every 10 minutes is logged once.
    if (reason != lastFailure_)
        log_.Showit("Port mapping failed: " + reason);
    lastFailure_ = reason;
    const bool had = Mapped();
    Unmap();
    retryAt_ = Now().addSecs(RetrySeconds);
    if (!settled_) {
        settled_ = true;
        emit SettledNow();
    }
    if (had)
        emit MappingChanged();
    Schedule();
}

void PortMapper::Tick()
{
    const QDateTime now = Now();
    if (step_ != Step::None) {
        const qint64 elapsed = sentAt_.msecsTo(now);
        if (elapsed >= GiveUpMs) {
            NatPmpFailed(fault_.isEmpty() ? QByteArray("no router answered") : fault_);
        } else if ((sends_ == 1 && elapsed >= ResendFirstMs) || (sends_ == 2 && elapsed >= ResendSecondMs)) {
            ++sends_;
            socket_->writeDatagram(request_, gateway_, NatPmpPort);
        }
    }
    if (removing_ && shuttingDown_ && !removalDone_ && now >= removalDeadline_)
        FinishRemoval(false);
    if (active_ && !removing_ && step_ == Step::None && !upnpBusy_) {
        if (Mapped()) {
            const bool renew = renewAt_.isValid() && now >= renewAt_;
            if (renew || (checkAt_.isValid() && now >= checkAt_)) {
                if (method_ == Method::Upnp)
                    PostUpnp(UpnpJob::Kind::Refresh);
                else
                    BeginNatPmp(renew ? Purpose::Renew : Purpose::Check);
            }
        } else if (retryAt_.isValid() && now >= retryAt_) {
            BeginMapping();
        }
    }
    Schedule();
}

void PortMapper::Schedule()
{
    const QDateTime now = Now();
    QDateTime due;
    auto consider = [&due](const QDateTime &t) {
        if (t.isValid() && (!due.isValid() || t < due))
            due = t;
    };
    if (step_ != Step::None)
        consider(sentAt_.addMSecs(sends_ == 1 ? ResendFirstMs : sends_ == 2 ? ResendSecondMs : GiveUpMs));
    if (removing_ && shuttingDown_ && !removalDone_)
        consider(removalDeadline_);
    if (active_ && !removing_ && step_ == Step::None && !upnpBusy_) {
        if (Mapped()) {
            consider(renewAt_);
            consider(checkAt_);
        } else {
            consider(retryAt_);
        }
    }
    if (!due.isValid()) {
        timer_.stop();
        return;
    }
    timer_.start(int(std::clamp<qint64>(now.msecsTo(due), 0, 60000)));
}

bool PortMapper::Reachable() const
{
    return method_ != Method::None && !IsPrivateIPv4(externalAddress_);
}

QByteArray PortMapper::MethodName(Method m)
{
    return m == Method::NatPmp ? "NAT-PMP" : m == Method::Upnp ? "UPnP" : "";
}

QByteArray PortMapper::LabelText() const
{
    if (!Mapped())
        return {};
    return externalAddress_ + ':' + QByteArray::number(externalPort_) + " (router)";
}

QByteArray PortMapper::ToolTip(const QByteArray &localAddress) const
{
    if (!Mapped())
        return {};
    QByteArray tip = "Port mapped on the router by " + MethodName(method_) + "; this machine's own address is "
        + localAddress;
    if (!Reachable())
        tip += "; " + externalAddress_ + " is not reachable from the internet";
    return tip;
}

QByteArray PortMapper::StatusLine() const
{
    if (!Reachable())
        return {};
    return "Reachable at " + externalAddress_ + ':' + QByteArray::number(externalPort_) + " (router, "
        + MethodName(method_) + ")";
}
