#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <map>
#include <memory>

namespace osk {

class Clock;
class UserLog;

// The tracking windows, one per user name (names that differ only in case share one). The core
// keeps the UserLog of each; a console shows a window for every log opened here and asks for it to
// be closed through closeLog().
class ActivityTracking final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ActivityTracking)

public:
    // sendNoLog: tells the client on a slot to stop reporting its activity (errors ignored).
    ActivityTracking(const Clock& clock, std::function<void(int slot)> sendNoLog, QObject* parent = nullptr);
    ~ActivityTracking() override;

    // The tracking-window operation: opens the user's tracking (or brings it forward), or closes it.
    void operate(const QString& user, bool close, int slot);
    // One activity line for the user's tracking, dropped when nobody follows the user.
    void handOff(const QString& user, const QString& line);
    // The window's closing, whatever the reason: the client is told to stop, the log is forgotten.
    void closeLog(UserLog* log);
    // The session on the slot ended without its tracking closing (the operator's disconnection,
    // the service's stop): the window stays for its lines to be read and saved, but whoever follows
    // the user from elsewhere is told that nothing more will come.
    void sessionEnded(int slot);

    UserLog* find(const QString& user) const;
    int count() const { return int(m_logs.size()); }

signals:
    void opened(osk::UserLog* log);
    void focusRequested(osk::UserLog* log);
    // Emitted before the log is destroyed; a window showing it closes.
    void closing(osk::UserLog* log);
    // The followed session is over; the log stays until its window closes.
    void sessionOver(osk::UserLog* log);

private:
    static QString key(const QString& user) { return user.toCaseFolded(); }

    const Clock& m_clock;
    std::function<void(int)> m_sendNoLog;
    std::map<QString, std::unique_ptr<UserLog>> m_logs;
};

} // namespace osk
