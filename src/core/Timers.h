// The engine's repeating timers in one table (tests may shorten them or call the tick handlers
// directly) and its silence limit. Intervals kept beside the code they time: the yield before
// each batch of a send (0 ms, transfer/Engine.cpp), the close of a retired connection (30 s,
// transfer/Connection.h), the queue's retry delay (transfer/Queue.h) and the address clients'
// own limits (dynaddr/: the lookup's 30 seconds of silence, the posting's watchdog).
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
