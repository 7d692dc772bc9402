#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <deque>
#include <map>
#include <optional>

namespace osk {

class Clock;

// The sessions of the web administration's logins, by the random value of their cookie. A session
// ends on logout, or after half an hour without a request unless a WebSocket of it is still open
// (a page that only watches is still in use). Each carries its own random token, which a request
// that acts must repeat in a header: another site can make a browser send the cookie, never read
// the token.
class WebSessions final {
public:
    static constexpr qint64 kIdleExpiryMs = 30 * 60 * 1000;
    // Past this many the one unused longest makes room: logins can never grow the memory.
    static constexpr int kMaxSessions = 256;

    struct Session {
        QString user;
        QByteArray token;
        qint64 lastUse = 0;
        int openSockets = 0;
    };
    struct Opened {
        QByteArray id;
        QByteArray token;
    };

    explicit WebSessions(const Clock& clock);

    Opened open(const QString& user);
    // The live session with this cookie value, its idle time started again; null when none.
    Session* find(const QByteArray& id);
    void close(const QByteArray& id);
    int count() const { return int(m_sessions.size()); }

    // A random value, in letters safe in a cookie and a header.
    static QByteArray randomValue();

private:
    qint64 nowMs() const;
    void dropExpired();

    const Clock& m_clock;
    std::map<QByteArray, Session> m_sessions;
};

// Five failed logins from one address within a minute close the login to that address for a
// minute, the right password included: guessing costs a minute per five tries.
class LoginThrottle final {
public:
    static constexpr int kMaxFailures = 5;
    static constexpr qint64 kWindowMs = 60 * 1000;
    static constexpr qint64 kBanMs = 60 * 1000;
    // Addresses remembered at most; the oldest are forgotten first.
    static constexpr size_t kMaxAddresses = 4096;

    explicit LoginThrottle(const Clock& clock);

    bool isBanned(const QHostAddress& address);
    // True when this failure bans the address.
    bool recordFailure(const QHostAddress& address);
    void recordSuccess(const QHostAddress& address);

private:
    struct Record {
        std::deque<qint64> failures;
        qint64 bannedUntil = 0;
        qint64 lastFailure = 0;
    };
    qint64 nowMs() const;
    void forgetOld(qint64 now);

    const Clock& m_clock;
    std::map<QString, Record> m_records;
};

} // namespace osk
