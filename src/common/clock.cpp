#include "common/clock.h"

#include <limits>

namespace osk {

QDateTime SystemClock::now() const {
    // Per thread, so that a clock shared by a worker thread needs no lock.
    struct Offset {
        qint64 second = std::numeric_limits<qint64>::min();
        int seconds = 0;
    };
    thread_local Offset cached;
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    if (second != cached.second)
        cached = {second, QDateTime::fromSecsSinceEpoch(second).offsetFromUtc()};
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toOffsetFromUtc(cached.seconds);
}

} // namespace osk
