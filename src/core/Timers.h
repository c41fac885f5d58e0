// Every timer interval of the engine in one table. Tests may shorten them or call the tick
// handlers directly.
#pragma once

struct TimerIntervals {
    int StartQTimer = 4000; // starts communications once the machine has a network address
    int QueueTimer = 8000;  // scheduler tick
    int PicTimer = 400;     // channel animation
    int QuitTimer = 4000;   // ends the process once the shutdown is done
};

// Silence limits and delays, in seconds or days.
inline constexpr int SilenceLimitSeconds = 180;
inline constexpr double RetryDelayDays = 1.0 / 48.0; // 30 minutes
