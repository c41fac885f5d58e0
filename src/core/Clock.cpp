// Date serials and the short date and time texts of log lines.
#include "core/Clock.h"

#include "core/TextUtil.h"

#include <QLocale>
#include <cmath>
#include <ctime>

namespace {
// 30 December 1899, as a constant that needs no initialisation at start-up.
constexpr QDate SerialEpoch = QDate::fromJulianDay(2415019);
}

QDateTime SystemClock::now() const
{
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm local{};
    if (!localtime_r(&seconds, &local))
        return QDateTime::currentDateTime();
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, static_cast<int>(local.tm_gmtoff));
}

double Clock::nowSerial() const
{
    return ToDateSerial(now());
}

double ToDateSerial(const QDateTime &t)
{
    const double days = static_cast<double>(SerialEpoch.daysTo(t.date()));
    const double fraction = t.time().msecsSinceStartOfDay() / 86400000.0;
    return days + fraction;
}

QDateTime FromDateSerial(double serial)
{
    const double days = std::floor(serial);
    const auto ms = static_cast<int>(std::llround((serial - days) * 86400000.0));
    return QDateTime(SerialEpoch.addDays(static_cast<qint64>(days)), QTime(0, 0)).addMSecs(ms);
}

QByteArray FormatDateSerial(double serial)
{
    QByteArray text = QByteArray::number(serial, 'f', 8);
    // "#" drops a lone zero before the point.
    if (text.startsWith("0."))
        text.remove(0, 1);
    else if (text.startsWith("-0."))
        text.remove(1, 1);
    return text;
}

bool ParseDateSerial(const QByteArray &text, double &serial)
{
    const QByteArray t = text.trimmed();
    bool any = false;
    for (char c : t)
        if (c >= '0' && c <= '9')
            any = true;
    if (!any)
        return false;
    serial = LeadingNumber(t);
    const QByteArray head = TrimBlanks(t);
    // A text that does not begin with a number is not a date.
    return !head.isEmpty() && (std::isdigit(static_cast<unsigned char>(head[0])) || head[0] == '.' ||
                               head[0] == '-' || head[0] == '+');
}

int64_t AbsSecondsBetween(const QDateTime &a, const QDateTime &b)
{
    const qint64 s = a.secsTo(b);
    return s < 0 ? -s : s;
}

QByteArray ShortDate(const QDateTime &t)
{
    return QLocale::system().toString(t.date(), QLocale::ShortFormat).toLocal8Bit();
}

QByteArray ShortTime(const QDateTime &t)
{
    return t.time().toString(QStringLiteral("HH:mm")).toLatin1();
}
