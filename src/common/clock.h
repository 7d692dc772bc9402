#pragma once

#include <QDateTime>

namespace osk {

// Every "now" of the program comes from here, so that tests can set the time, date and weekday.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

// The computer's local time. Every local time Qt computes re-reads the time zone (a stat of its
// file), and the event log asks for the time on every line; the offset from UTC is looked up once per
// second of UTC instead. Zones change their offset only on whole seconds, so the offset found for one
// second holds for all of it, and a change of the computer's zone is seen within a second.
class SystemClock final : public Clock {
public:
    QDateTime now() const override;
};

} // namespace osk
