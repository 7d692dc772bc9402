#pragma once

#include <QDateTime>

namespace osk {

// Every "now" of the program comes from here, so that tests can set the time, date and weekday.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

} // namespace osk
