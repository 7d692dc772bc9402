#pragma once

#include <QAbstractEventDispatcher>
#include <atomic>
#include <chrono>
#include <map>
#include <sys/epoll.h>
#include <vector>

namespace osk {

// The headless service's event loop on Linux: one epoll set holds every socket notifier, so a
// wake-up costs one epoll_wait whatever the number of connections, where a poll-based loop scans
// every descriptor on every pass. Level-triggered, like Qt's own dispatchers: a notifier is
// announced again while its descriptor stays ready. Timers are kept in a list of their own and
// bound the wait; posted events and wake-ups from other threads come through an eventfd.
class EpollEventDispatcher final : public QAbstractEventDispatcher {
    Q_DISABLE_COPY_MOVE(EpollEventDispatcher)

public:
    explicit EpollEventDispatcher(QObject* parent = nullptr);
    ~EpollEventDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

private:
    using Clock = std::chrono::steady_clock;

    // The notifiers of one descriptor, by type (read, write, exception).
    struct Watched {
        QSocketNotifier* notifiers[3] = {nullptr, nullptr, nullptr};
        bool empty() const { return !notifiers[0] && !notifiers[1] && !notifiers[2]; }
    };
    struct Timer {
        int id;
        qint64 intervalMs;
        Qt::TimerType type;
        QObject* object;
        Clock::time_point due;
        bool running = false; // its event is being handled: a nested loop must not fire it again
    };

    void watch(int fd, const Watched& watched, bool known);
    const Watched* watchedAt(int fd) const;
    int waitMilliseconds(bool mayWait) const;
    int activateSocketNotifiers(int ready);
    int activateTimers();
    void drainWakeUps();

    int m_epoll = -1;
    int m_wakeUps = -1;
    std::atomic<bool> m_wakeUpPending{false};
    std::atomic<bool> m_interrupted{false};
    // By descriptor number: the numbers are small and dense, and each ready descriptor is looked up
    // on every pass.
    std::vector<Watched> m_watched;
    std::vector<Timer> m_timers;
    // Filled by epoll_wait; only the first `ready` entries of a pass are meaningful.
    std::vector<epoll_event> m_events;
};

} // namespace osk
