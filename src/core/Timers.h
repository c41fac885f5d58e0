// The engine's repeating timers in one table (tests may shorten them or call the tick handlers
// directly) and the transfers' silence limit. Every other interval is a named constant beside
// the code it times:
//   transfer/  the yield before each batch of a send (a zero-interval single shot, Engine.cpp),
//              the close of a retired connection (Connection::RetireLimitMs), the first
//              posting's wait for the router (Engine::PageWaitMs), a failed row's retry delay
//              (QueueModel::RetryDelayDays);
//   dynaddr/   the lookup's watchdog, silence and whole-lookup limits (HttpLookup), the FTP
//              client's watchdog (FtpUpload::WatchdogIntervalMs) and its DLTimeout and
//              RetryDelay (FtpJob), the router mapping's resends, give-ups, renewals and checks
//              (PortMapper.h/.cpp, UpnpWorker.cpp);
//   app/       the local link's idle connections (InstanceLink.cpp) and the waits for another
//              instance (WindowRun.cpp, CliRun.cpp).
#pragma once

struct TimerIntervals {
    int StartQTimer = 4000; // starts communications once the machine has a network address
    int QueueTimer = 8000;  // scheduler tick
    int PicTimer = 400;     // channel animation
    int QuitTimer = 4000;   // safety net of the shutdown: ends it if nothing else has
};

// A transfer (a receive slot's file, a send slot's whole attempt) ends after this many seconds
// without activity ("813"); the address lookup's silence limit (30 s) is its own.
inline constexpr int TransferSilenceLimitSeconds = 180;
