#include "app/epoll_event_dispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <sys/eventfd.h>
#include <unistd.h>

namespace osk {

namespace {
constexpr int kReadIndex = 0;
constexpr int kWriteIndex = 1;
constexpr int kExceptionIndex = 2;
// Events taken from the kernel in one pass; more wait for the next pass.
constexpr int kMaxEventsPerPass = 256;

int indexOf(QSocketNotifier::Type type) {
    switch (type) {
    case QSocketNotifier::Read:
        return kReadIndex;
    case QSocketNotifier::Write:
        return kWriteIndex;
    case QSocketNotifier::Exception:
        break;
    }
    return kExceptionIndex;
}
} // namespace

EpollEventDispatcher::EpollEventDispatcher(QObject* parent)
    : QAbstractEventDispatcher(parent)
    , m_epoll(epoll_create1(EPOLL_CLOEXEC))
    , m_wakeUps(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , m_events(kMaxEventsPerPass) {
    if (m_epoll < 0 || m_wakeUps < 0)
        qFatal("EpollEventDispatcher: no epoll set or eventfd (%s)", strerror(errno));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = m_wakeUps;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeUps, &event);
}

EpollEventDispatcher::~EpollEventDispatcher() {
    ::close(m_wakeUps);
    ::close(m_epoll);
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    m_interrupted.store(false, std::memory_order_relaxed);
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool mayWait =
        (flags & QEventLoop::WaitForMoreEvents) && !m_interrupted.load(std::memory_order_relaxed);
    if (mayWait)
        emit aboutToBlock();
    if (m_interrupted.load(std::memory_order_relaxed))
        return false;

    int ready = epoll_wait(m_epoll, m_events.data(), int(m_events.size()), waitMilliseconds(mayWait));
    if (ready < 0) {
        if (errno != EINTR)
            qWarning("EpollEventDispatcher: epoll_wait failed (%s)", strerror(errno));
        ready = 0;
    }
    int handled = 0;
    if (!(flags & QEventLoop::ExcludeSocketNotifiers))
        handled += activateSocketNotifiers(ready);
    else
        drainWakeUps();
    if (!(flags & QEventLoop::X11ExcludeTimers))
        handled += activateTimers();
    return handled > 0;
}

// How long epoll_wait may block: until the nearest timer is due, for ever without one, not at all
// when the caller may not wait.
int EpollEventDispatcher::waitMilliseconds(bool mayWait) const {
    if (!mayWait)
        return 0;
    std::optional<Clock::time_point> nearest;
    for (const Timer& timer : m_timers) {
        // A running timer cannot fire in a nested loop; it does not bound the wait.
        if (!timer.running && (!nearest || timer.due < *nearest))
            nearest = timer.due;
    }
    if (!nearest)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*nearest - Clock::now()).count();
    return int(std::clamp<qint64>(left, 0, std::numeric_limits<int>::max()));
}

int EpollEventDispatcher::activateSocketNotifiers(int ready) {
    int activated = 0;
    for (int i = 0; i < ready; ++i) {
        const int fd = m_events[size_t(i)].data.fd;
        const uint32_t what = m_events[size_t(i)].events;
        if (fd == m_wakeUps) {
            drainWakeUps();
            continue;
        }
        const bool failed = (what & (EPOLLERR | EPOLLHUP)) != 0;
        const std::pair<int, bool> announced[] = {{kReadIndex, failed || (what & EPOLLIN)},
                                                  {kWriteIndex, failed || (what & EPOLLOUT)},
                                                  {kExceptionIndex, (what & EPOLLPRI) != 0}};
        for (const auto& [index, isReady] : announced) {
            if (!isReady)
                continue;
            // Looked up again for each: the handler of one may have removed the others.
            const Watched* watched = watchedAt(fd);
            if (!watched)
                break;
            if (QObject* notifier = watched->notifiers[index]) {
                // Straight to the notifier rather than through QCoreApplication::sendEvent: the
                // service installs no event filters, and that routing weighed as much as a
                // session's whole handling of a message.
                QEvent event(QEvent::SockAct);
                notifier->event(&event);
                ++activated;
            }
        }
    }
    return activated;
}

// Out of the sanitizer's type check: it reads an object's type through a pipe, and the service
// keeps running its timers while it has no descriptor left for one (the acceptor waits on them),
// where the check would take every timer event for a broken object.
__attribute__((no_sanitize("vptr"))) int EpollEventDispatcher::activateTimers() {
    int activated = 0;
    const Clock::time_point now = Clock::now();
    // The ids of the timers due now, taken first: a handler may register or remove timers.
    std::vector<int> due;
    for (const Timer& timer : m_timers) {
        if (!timer.running && timer.due <= now)
            due.push_back(timer.id);
    }
    for (const int id : due) {
        auto it = std::find_if(m_timers.begin(), m_timers.end(), [id](const Timer& t) { return t.id == id; });
        if (it == m_timers.end() || it->running)
            continue;
        // The next expiry counts from the one missed, unless the loop fell a whole interval behind.
        it->due += std::chrono::milliseconds(it->intervalMs);
        if (it->due < now)
            it->due = now + std::chrono::milliseconds(it->intervalMs);
        it->running = true;
        QObject* object = it->object;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        ++activated;
        // The handler may have removed the timer, or removed and registered others.
        it = std::find_if(m_timers.begin(), m_timers.end(), [id](const Timer& t) { return t.id == id; });
        if (it != m_timers.end())
            it->running = false;
    }
    return activated;
}

void EpollEventDispatcher::drainWakeUps() {
    eventfd_t count = 0;
    (void)eventfd_read(m_wakeUps, &count);
    m_wakeUpPending.store(false, std::memory_order_release);
}

void EpollEventDispatcher::watch(int fd, const Watched& watched, bool known) {
    if (watched.empty()) {
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        m_watched[size_t(fd)] = {};
        return;
    }
    epoll_event event{};
    event.data.fd = fd;
    event.events = (watched.notifiers[kReadIndex] ? uint32_t(EPOLLIN) : 0u) |
                   (watched.notifiers[kWriteIndex] ? uint32_t(EPOLLOUT) : 0u) |
                   (watched.notifiers[kExceptionIndex] ? uint32_t(EPOLLPRI) : 0u);
    // A descriptor leaves the epoll set when it is closed, possibly before its notifiers are
    // removed, and its number then comes back with the next accepted connection: the set and the
    // table can disagree either way.
    int result = epoll_ctl(m_epoll, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event);
    if (result != 0 && (errno == ENOENT || errno == EEXIST))
        result = epoll_ctl(m_epoll, errno == ENOENT ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event);
    if (result != 0)
        qWarning("EpollEventDispatcher: cannot watch descriptor %d (%s)", fd, strerror(errno));
    if (size_t(fd) >= m_watched.size())
        m_watched.resize(size_t(fd) + 1);
    m_watched[size_t(fd)] = watched;
}

const EpollEventDispatcher::Watched* EpollEventDispatcher::watchedAt(int fd) const {
    if (fd < 0 || size_t(fd) >= m_watched.size() || m_watched[size_t(fd)].empty())
        return nullptr;
    return &m_watched[size_t(fd)];
}

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier* notifier) {
    const int fd = int(notifier->socket());
    if (fd < 0)
        return;
    const Watched* current = watchedAt(fd);
    const bool known = current != nullptr;
    Watched watched = known ? *current : Watched();
    QSocketNotifier*& slot = watched.notifiers[indexOf(notifier->type())];
    if (slot && slot != notifier)
        qWarning("EpollEventDispatcher: a second notifier of the same type for descriptor %d", fd);
    slot = notifier;
    watch(fd, watched, known);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier) {
    const int fd = int(notifier->socket());
    const Watched* current = watchedAt(fd);
    if (!current)
        return;
    Watched watched = *current;
    QSocketNotifier*& slot = watched.notifiers[indexOf(notifier->type())];
    if (slot != notifier)
        return;
    slot = nullptr;
    watch(fd, watched, true);
}

void EpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                         QObject* object) {
    m_timers.push_back(
        {timerId, interval, timerType, object, Clock::now() + std::chrono::milliseconds(interval)});
}

bool EpollEventDispatcher::unregisterTimer(int timerId) {
    const auto it =
        std::find_if(m_timers.begin(), m_timers.end(), [timerId](const Timer& t) { return t.id == timerId; });
    if (it == m_timers.end())
        return false;
    m_timers.erase(it);
    return true;
}

bool EpollEventDispatcher::unregisterTimers(QObject* object) {
    const auto before = m_timers.size();
    std::erase_if(m_timers, [object](const Timer& t) { return t.object == object; });
    return m_timers.size() != before;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollEventDispatcher::registeredTimers(QObject* object) const {
    QList<TimerInfo> timers;
    for (const Timer& timer : m_timers) {
        if (timer.object == object)
            timers.append(TimerInfo(timer.id, int(timer.intervalMs), timer.type));
    }
    return timers;
}

int EpollEventDispatcher::remainingTime(int timerId) {
    const auto it =
        std::find_if(m_timers.begin(), m_timers.end(), [timerId](const Timer& t) { return t.id == timerId; });
    if (it == m_timers.end())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(it->due - Clock::now()).count();
    return int(std::max<qint64>(left, 0));
}

// Any thread: a posted event or a quit must end the wait. One write until the loop has read it.
void EpollEventDispatcher::wakeUp() {
    if (!m_wakeUpPending.exchange(true, std::memory_order_acq_rel))
        (void)eventfd_write(m_wakeUps, 1);
}

void EpollEventDispatcher::interrupt() {
    m_interrupted.store(true, std::memory_order_relaxed);
    wakeUp();
}

} // namespace osk
