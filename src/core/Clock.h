// The one clock of the engine. Production reads the system clock; tests set and advance a
// fake one, so time-outs and retry delays are tested without sleeping.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <cstdint>

class Clock {
public:
    virtual ~Clock() = default;
    // The present, in local time.
    virtual QDateTime now() const = 0;
    // The present as a date serial: days since 30 December 1899, the fraction being the time of day.
    double nowSerial() const;
};

class SystemClock final : public Clock {
public:
    // Read on every socket event, so it must be cheap: the local offset comes from the C
    // library's already loaded time zone instead of a fresh look at the zone file each time.
    QDateTime now() const override;
};

class FakeClock final : public Clock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 12, 10), QTime(9, 30, 0)))
        : now_(std::move(start)) {}
    QDateTime now() const override { return now_; }
    void set(const QDateTime &t) { now_ = t; }
    void advanceSeconds(int64_t s) { now_ = now_.addSecs(s); }

private:
    QDateTime now_;
};

// Date serials, as the queue file stores them.
double ToDateSerial(const QDateTime &t);
QDateTime FromDateSerial(double serial);
// "#.00000000": integer part without leading zeros (none at all for 0), a point, eight decimals.
QByteArray FormatDateSerial(double serial);
// Eight decimals of a day are 0.864 ms: a time stored now and read back may lie up to half of
// that after the moment it was made from, so whoever asks "is it due yet" allows that much.
inline constexpr double StoredSerialHalfUnit = 0.5e-8;
// Reads a stored serial; false when the text holds no number at all.
bool ParseDateSerial(const QByteArray &text, double &serial);

// Whole calendar seconds between two moments, made positive when the clock went backwards.
int64_t AbsSecondsBetween(const QDateTime &a, const QDateTime &b);

// The system's short date and the 24-hour short time (hours and minutes) used by log lines.
QByteArray ShortDate(const QDateTime &t);
QByteArray ShortTime(const QDateTime &t);
