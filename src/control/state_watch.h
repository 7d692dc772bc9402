#pragma once

#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <functional>

namespace osk {

// Tells the watchers the service's state each time it changes; one watch serves them all. A change is
// signalled with notify(); changes that come together (a stop removes every row) make one report, after the
// events of that moment. What changes too often to be signalled (the bytes received grow with every message)
// is looked at once a poll interval instead, so that watching costs the session path nothing.
class StateWatch final : public QObject {
    Q_OBJECT

public:
    StateWatch(std::function<QJsonObject()> state, std::chrono::milliseconds pollInterval, QObject* parent);

    // The state as last reported (at first, as it was when the watch began).
    const QJsonObject& current() const { return m_reported; }
    // What has changed since the last report is reported now, not at the next poll: for a watcher
    // who joins, so that it starts from the state as it is.
    void reportNow();

public slots:
    void notify();

signals:
    void changed(const QJsonObject& state);

private:
    std::function<QJsonObject()> m_state;
    QJsonObject m_reported;
    QTimer m_gathering;
    QTimer m_poll;
};

} // namespace osk
