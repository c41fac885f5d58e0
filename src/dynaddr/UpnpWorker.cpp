// The UPnP calls on their worker thread, and the capped fetch of the root description.
#include "dynaddr/UpnpWorker.h"

#include "core/Limits.h"
#include "dynaddr/HttpResponse.h"
#include "dynaddr/NatPmp.h"

#include <QMetaObject>
#include <QPointer>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

namespace {

constexpr int DiscoveryMs = 2000;
constexpr int ConflictTries = 10;    // ListenPort+1 .. +10 after the port itself
constexpr int ConflictInMapping = 718;
constexpr int OnlyPermanentLeases = 725;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    int get() const { return fd_; }
private:
    int fd_;
};

bool WaitFor(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    int r;
    do
        r = ::poll(&p, 1, timeoutMs);
    while (r < 0 && errno == EINTR);
    return r > 0;
}

QByteArray ErrorText(int code)
{
    return "the router refused with code " + QByteArray::number(code);
}

} // namespace

QByteArray LocalAddressTowards(const QByteArray &host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    if (::getaddrinfo(host.constData(), "9", &hints, &res) != 0 || !res)
        return {};
    Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    QByteArray out;
    if (s.get() >= 0 && ::connect(s.get(), res->ai_addr, res->ai_addrlen) == 0) {
        sockaddr_in local{};
        socklen_t len = sizeof local;
        char text[INET_ADDRSTRLEN] = {};
        if (::getsockname(s.get(), reinterpret_cast<sockaddr *>(&local), &len) == 0
            && ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text))
            out = text;
    }
    ::freeaddrinfo(res);
    return out;
}

bool FetchRootDescription(const QByteArray &url, QByteArray &body, QByteArray &reason, qsizetype limit,
                          int timeoutMs)
{
    body.clear();
    const std::optional<HttpUrl> u = ParseHttpUrl(url);
    if (!url.startsWith("http://") || !u || u->Port() == 0 || u->Host.isEmpty()) {
        reason = "the router's description address is unusable";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (::getaddrinfo(u->Host.constData(), u->PortText.constData(), &hints, &res) != 0 || !res) {
        reason = "no router answered";
        return false;
    }
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int rc = s.get() < 0 ? -1 : ::connect(s.get(), res->ai_addr, res->ai_addrlen);
    ::freeaddrinfo(res);
    if (rc != 0 && !(rc < 0 && errno == EINPROGRESS)) {
        reason = "no router answered";
        return false;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (rc != 0 && (!WaitFor(s.get(), POLLOUT, timeoutMs)
                    || ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)) {
        reason = "no router answered";
        return false;
    }
    const QByteArray request = "GET " + u->Path + " HTTP/1.0\r\nHost: " + u->Host + ':' + u->PortText
        + "\r\nConnection: close\r\n\r\n";
    for (qsizetype sent = 0; sent < request.size();) {
        if (!WaitFor(s.get(), POLLOUT, timeoutMs)) {
            reason = "the router went silent";
            return false;
        }
        const ssize_t n = ::send(s.get(), request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
        if (n <= 0 && errno != EAGAIN && errno != EINTR) {
            reason = "the router closed the connection";
            return false;
        }
        if (n > 0)
            sent += n;
    }
    QByteArray response;
    char buffer[16384];
    // Each byte may come within the silence limit and the whole still take months: the answer
    // as a whole gets three silence limits.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(3 * timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            reason = "the router's description took too long";
            return false;
        }
        const bool lastWait = left.count() < timeoutMs;
        if (!WaitFor(s.get(), POLLIN, lastWait ? static_cast<int>(left.count()) : timeoutMs)) {
            reason = lastWait ? "the router's description took too long" : "the router went silent";
            return false;
        }
        const ssize_t n = ::recv(s.get(), buffer, sizeof buffer, 0);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            break; // a reset reads as the end
        }
        if (response.size() + n > limit) {
            reason = "the router's description is larger than 1 MiB";
            return false;
        }
        response.append(buffer, n);
    }
    const qsizetype headerEnd = response.indexOf("\r\n\r\n");
    if (headerEnd < 0 || !response.startsWith("HTTP/1.") || response.mid(9, 3) != "200") {
        reason = "the router's description could not be read";
        return false;
    }
    body = response.mid(headerEnd + 4);
    const QByteArray headers = response.left(headerEnd).toLower();
    if (headers.contains("transfer-encoding: chunked")) {
        bool complete = false;
        const std::optional<QByteArray> plain = DecodeChunked(body + "\r\n\r\n", &complete);
        if (!plain || !complete) {
            reason = "the router's description was cut short";
            return false;
        }
        body = *plain;
    }
    return true;
}

struct UpnpWorker::Shared {
    struct Entry {
        UpnpJob job;
        QPointer<QObject> receiver;
        std::function<void(const UpnpResult &)> done;
    };
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Entry> queue;
    bool abandoned = false;
    bool running = false;      // the thread exists
    bool working = false;      // a job is under way
    // What the last description named, kept between jobs of the thread.
    QByteArray rootUrl;
    QByteArray controlUrl;
    QByteArray serviceType;
    QByteArray localAddress;

    void Run();
    UpnpResult Do(const UpnpJob &job);
    bool FindRouter(const QByteArray &rootUrl, QByteArray &reason);
};

UpnpWorker::UpnpWorker() : shared_(std::make_shared<Shared>()) {}

UpnpWorker::~UpnpWorker()
{
    std::lock_guard lock(shared_->mutex);
    shared_->abandoned = true;
    shared_->queue.clear();
    shared_->wake.notify_all();
}

void UpnpWorker::Post(const UpnpJob &job, QObject *receiver, std::function<void(const UpnpResult &)> done)
{
    std::lock_guard lock(shared_->mutex);
    shared_->queue.push_back({job, receiver, std::move(done)});
    if (!shared_->running) {
        shared_->running = true;
        std::thread([shared = shared_] { shared->Run(); }).detach();
    }
    shared_->wake.notify_all();
}

bool UpnpWorker::Busy() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->working || !shared_->queue.empty();
}

void UpnpWorker::Shared::Run()
{
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return abandoned || !queue.empty(); });
        if (abandoned) {
            running = false;
            return;
        }
        Entry entry = std::move(queue.front());
        queue.pop_front();
        working = true;
        lock.unlock();
        const UpnpResult result = Do(entry.job);
        lock.lock();
        working = false;
        // Handed over under the lock: the owner abandons the worker under it too, so a result
        // is either queued before the owner goes or not at all.
        if (!abandoned && entry.receiver) {
            QMetaObject::invokeMethod(entry.receiver.data(), [done = std::move(entry.done), result] { done(result); },
                                      Qt::QueuedConnection);
        }
    }
}

bool UpnpWorker::Shared::FindRouter(const QByteArray &wantedUrl, QByteArray &reason)
{
    QByteArray url = wantedUrl;
    if (url.isEmpty()) {
        int error = 0;
        UPNPDev *devices = upnpDiscover(DiscoveryMs, nullptr, nullptr, 0, 0, 2, &error);
        for (UPNPDev *d = devices; d; d = d->pNext) {
            if (std::strstr(d->st, "InternetGatewayDevice")) {
                url = d->descURL;
                break;
            }
        }
        freeUPNPDevlist(devices);
        if (url.isEmpty()) {
            reason = "no router answered";
            return false;
        }
    }
    if (url == rootUrl && !controlUrl.isEmpty())
        return true;
    QByteArray description;
    if (!FetchRootDescription(url, description, reason))
        return false;
    IGDdatas data{};
    parserootdesc(description.constData(), int(description.size()), &data);
    UPNPUrls urls{};
    GetUPNPUrls(&urls, &data, url.constData(), 0);
    const bool usable = data.first.servicetype[0] != '\0' && urls.controlURL && urls.controlURL[0] != '\0';
    if (usable) {
        rootUrl = url;
        controlUrl = urls.controlURL;
        serviceType = data.first.servicetype;
        localAddress = LocalAddressTowards(ParseHttpUrl(controlUrl) ? ParseHttpUrl(controlUrl)->Host : QByteArray());
    }
    FreeUPNPUrls(&urls);
    if (!usable) {
        reason = "the answer was malformed (the router's description names no connection service)";
        return false;
    }
    if (localAddress.isEmpty()) {
        reason = "no route to the router";
        controlUrl.clear();
        return false;
    }
    return true;
}

UpnpResult UpnpWorker::Shared::Do(const UpnpJob &job)
{
    UpnpResult r;
    r.kind = job.kind;
    if (!FindRouter(job.rootUrl, r.reason))
        return r;
    r.localAddress = localAddress;
    const char *control = controlUrl.constData();
    const char *service = serviceType.constData();
    if (job.kind == UpnpJob::Kind::Remove) {
        const QByteArray ext = QByteArray::number(job.externalPort);
        const int code = UPNP_DeletePortMapping(control, service, ext.constData(), "TCP", nullptr);
        r.ok = code == UPNPCOMMAND_SUCCESS;
        if (!r.ok)
            r.reason = code > 0 ? ErrorText(code) : QByteArray("no usable answer from the router");
        return r;
    }
    char address[40] = {};
    const int addressCode = UPNP_GetExternalIPAddress(control, service, address);
    if (addressCode != UPNPCOMMAND_SUCCESS) {
        r.reason = addressCode > 0 ? ErrorText(addressCode) : QByteArray("no usable answer from the router");
        return r;
    }
    // A router whose outside link is down names no address (or 0.0.0.0); an answer that is no
    // dotted address at all would go onto the page as it stands. Neither is mapped.
    const std::optional<uint32_t> outside = ParseDottedIPv4(address);
    if (!outside || *outside == 0) {
        r.reason = address[0] == '\0' || outside
                       ? QByteArray("the router has no external address")
                       : "the answer was malformed (external address " + QByteArray(address) + ")";
        return r;
    }
    r.externalAddress = address;
    const QByteArray in = QByteArray::number(job.listenPort);
    const bool v2 = serviceType.contains(":2");
    auto add = [&](int externalPort, int lease, int &granted) {
        const QByteArray ext = QByteArray::number(externalPort);
        const QByteArray leaseText = QByteArray::number(lease);
        if (v2 && job.kind == UpnpJob::Kind::Map) {
            char reserved[8] = {};
            const int code = UPNP_AddAnyPortMapping(control, service, ext.constData(), in.constData(),
                                                    localAddress.constData(), "Parcelwise", "TCP", nullptr,
                                                    leaseText.constData(), reserved);
            if (code == UPNPCOMMAND_SUCCESS)
                granted = QByteArray(reserved).toInt();
            return code;
        }
        const int code = UPNP_AddPortMapping(control, service, ext.constData(), in.constData(),
                                             localAddress.constData(), "Parcelwise", "TCP", nullptr,
                                             leaseText.constData());
        if (code == UPNPCOMMAND_SUCCESS)
            granted = externalPort;
        return code;
    };
    int lease = job.lease;
    int code = 0;
    int granted = 0;
    const int first = job.kind == UpnpJob::Kind::Refresh && job.externalPort > 0 ? job.externalPort : job.listenPort;
    const int tries = job.kind == UpnpJob::Kind::Refresh ? 0 : ConflictTries;
    for (int k = 0; k <= tries; ++k) {
        const int port = first + k;
        if (port > MaxPort)
            break;
        code = add(port, lease, granted);
        if (code == OnlyPermanentLeases && lease != 0) {
            lease = 0;
            code = add(port, lease, granted);
        }
        if (code != ConflictInMapping)
            break;
    }
    if (code != UPNPCOMMAND_SUCCESS) {
        r.reason = code > 0 ? ErrorText(code) : QByteArray("no usable answer from the router");
        return r;
    }
    if (!IsValidPort(granted)) {
        r.reason = "the answer was malformed (external port " + QByteArray::number(granted) + ")";
        return r;
    }
    r.ok = true;
    r.externalPort = granted;
    r.lease = lease;
    return r;
}
