#include "session/activity_tracking.h"

#include "session/user_log.h"

namespace osk {

ActivityTracking::ActivityTracking(const Clock& clock, std::function<void(int)> sendNoLog, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
    , m_sendNoLog(std::move(sendNoLog)) {}

ActivityTracking::~ActivityTracking() = default;

UserLog* ActivityTracking::find(const QString& user) const {
    const auto it = m_logs.find(key(user));
    return it == m_logs.end() ? nullptr : it->second.get();
}

void ActivityTracking::operate(const QString& user, bool close, int slot) {
    UserLog* log = find(user);
    if (log && close) {
        closeLog(log);
    } else if (log) {
        emit focusRequested(log);
    } else if (!close) {
        auto created = std::make_unique<UserLog>(m_clock, user, slot);
        log = created.get();
        m_logs.emplace(key(user), std::move(created));
        emit opened(log);
    }
}

void ActivityTracking::handOff(const QString& user, const QString& line) {
    if (UserLog* log = find(user))
        log->AddMessage(line);
}

void ActivityTracking::sessionEnded(int slot) {
    for (const auto& [key, log] : m_logs)
        if (log->slot() == slot)
            emit sessionOver(log.get());
}

void ActivityTracking::closeLog(UserLog* log) {
    const auto it = m_logs.find(key(log->user()));
    if (it == m_logs.end() || it->second.get() != log)
        return;
    // Out of the collection before anyone hears of it: the window that closes on `closing` asks
    // for this same close, which must then find nothing left to do.
    std::unique_ptr<UserLog> closed = std::move(it->second);
    m_logs.erase(it);
    m_sendNoLog(closed->slot());
    emit closing(closed.get());
    // Destroyed later: the window that asked for the close may still be on the stack.
    closed.release()->deleteLater();
}

} // namespace osk
