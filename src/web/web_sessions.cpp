#include "web/web_sessions.h"

#include "common/clock.h"

#include <algorithm>
#include <sodium.h>

namespace osk {

WebSessions::WebSessions(const Clock& clock)
    : m_clock(clock) {}

qint64 WebSessions::nowMs() const {
    return m_clock.now().toMSecsSinceEpoch();
}

QByteArray WebSessions::randomValue() {
    QByteArray bytes(32, Qt::Uninitialized);
    randombytes_buf(bytes.data(), size_t(bytes.size()));
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

WebSessions::Opened WebSessions::open(const QString& user) {
    dropExpired();
    if (int(m_sessions.size()) >= kMaxSessions) {
        const auto oldest =
            std::min_element(m_sessions.begin(), m_sessions.end(), [](const auto& a, const auto& b) {
                return a.second.openSockets == b.second.openSockets
                           ? a.second.lastUse < b.second.lastUse
                           : a.second.openSockets < b.second.openSockets;
            });
        m_sessions.erase(oldest);
    }
    Opened opened{randomValue(), randomValue()};
    m_sessions.emplace(opened.id, Session{user, opened.token, nowMs(), 0});
    return opened;
}

WebSessions::Session* WebSessions::find(const QByteArray& id) {
    dropExpired();
    const auto found = m_sessions.find(id);
    if (found == m_sessions.end())
        return nullptr;
    found->second.lastUse = nowMs();
    return &found->second;
}

void WebSessions::close(const QByteArray& id) {
    m_sessions.erase(id);
}

void WebSessions::dropExpired() {
    const qint64 now = nowMs();
    std::erase_if(m_sessions, [now](const auto& entry) {
        return entry.second.openSockets == 0 && now - entry.second.lastUse >= kIdleExpiryMs;
    });
}

LoginThrottle::LoginThrottle(const Clock& clock)
    : m_clock(clock) {}

qint64 LoginThrottle::nowMs() const {
    return m_clock.now().toMSecsSinceEpoch();
}

bool LoginThrottle::isBanned(const QHostAddress& address) {
    const auto found = m_records.find(address.toString());
    return found != m_records.end() && nowMs() < found->second.bannedUntil;
}

bool LoginThrottle::recordFailure(const QHostAddress& address) {
    const qint64 now = nowMs();
    forgetOld(now);
    if (m_records.size() >= kMaxAddresses && !m_records.count(address.toString())) {
        // A ban is never forgotten before its end: with every place taken by one, this failure is
        // not remembered (it costs its checker a password check all the same).
        auto oldest = m_records.end();
        for (auto it = m_records.begin(); it != m_records.end(); ++it) {
            if (now >= it->second.bannedUntil &&
                (oldest == m_records.end() || it->second.lastFailure < oldest->second.lastFailure))
                oldest = it;
        }
        if (oldest == m_records.end())
            return false;
        m_records.erase(oldest);
    }
    Record& record = m_records[address.toString()];
    record.failures.push_back(now);
    record.lastFailure = now;
    while (record.failures.size() > size_t(kMaxFailures))
        record.failures.pop_front();
    if (record.failures.size() < size_t(kMaxFailures) || now - record.failures.front() >= kWindowMs)
        return false;
    record.failures.clear();
    record.bannedUntil = now + kBanMs;
    return true;
}

void LoginThrottle::recordSuccess(const QHostAddress& address) {
    m_records.erase(address.toString());
}

// An address whose last failure is older than the window and whose ban is over is forgotten.
void LoginThrottle::forgetOld(qint64 now) {
    std::erase_if(m_records, [now](const auto& entry) {
        const Record& record = entry.second;
        return now - record.lastFailure >= kWindowMs && now >= record.bannedUntil;
    });
}

} // namespace osk
