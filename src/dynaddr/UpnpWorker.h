// The UPnP side of the router port mapping. Every call into the UPnP library blocks (a silent
// router holds one for seconds), so the calls run one after another on a worker thread of their
// own; the results come back to the owner's thread as queued calls. The thread is detached: an
// owner that goes away while a call is still blocked simply abandons it, and the thread ends
// on its own once that call returns.
#pragma once

#include <QByteArray>
#include <QObject>
#include <functional>
#include <memory>

// One piece of work for the thread.
struct UpnpJob {
    enum class Kind { Map, Refresh, Remove };
    Kind kind = Kind::Map;
    QByteArray rootUrl;     // the root description's URL; empty: find the router by SSDP
    int listenPort = 0;     // the internal port (and the external port asked for first)
    int externalPort = 0;   // Refresh and Remove: the port mapped before
    int lease = 3600;       // seconds asked for
};

struct UpnpResult {
    UpnpJob::Kind kind = UpnpJob::Kind::Map;
    bool ok = false;
    QByteArray reason;          // why not, for the log
    QByteArray externalAddress; // dotted
    int externalPort = 0;
    int lease = 0;              // 0: the router only grants permanent mappings
    QByteArray localAddress;    // the address the mapping points at
};

// The plain fetch of the root description: HTTP GET with connect, send and receive time-outs,
// at most limit bytes of response (a longer one fails). Blocking; for the worker thread.
bool FetchRootDescription(const QByteArray &url, QByteArray &body, QByteArray &reason,
                          qsizetype limit = 1024 * 1024, int timeoutMs = 5000);

// The address of this machine the kernel would use to reach host (no datagram is sent); empty
// when there is no route.
QByteArray LocalAddressTowards(const QByteArray &host);

class UpnpWorker {
public:
    UpnpWorker();
    // Abandons the thread: it runs its current call to its end and drops the rest.
    ~UpnpWorker();
    UpnpWorker(const UpnpWorker &) = delete;
    UpnpWorker &operator=(const UpnpWorker &) = delete;

    // Queues a job; done is called on receiver's thread with its result, unless the worker has
    // been abandoned by then.
    void Post(const UpnpJob &job, QObject *receiver, std::function<void(const UpnpResult &)> done);
    // A job is queued or running.
    bool Busy() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};
