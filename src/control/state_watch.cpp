#include "control/state_watch.h"

namespace osk {

StateWatch::StateWatch(std::function<QJsonObject()> state, std::chrono::milliseconds pollInterval,
                       QObject* parent)
    : QObject(parent)
    , m_state(std::move(state))
    , m_reported(m_state()) {
    m_gathering.setSingleShot(true);
    m_gathering.setInterval(0);
    connect(&m_gathering, &QTimer::timeout, this, &StateWatch::reportNow);
    m_poll.setInterval(pollInterval);
    connect(&m_poll, &QTimer::timeout, this, &StateWatch::reportNow);
    m_poll.start();
}

void StateWatch::notify() {
    if (!m_gathering.isActive())
        m_gathering.start();
}

void StateWatch::reportNow() {
    QJsonObject state = m_state();
    if (state == m_reported)
        return;
    m_reported = std::move(state);
    emit changed(m_reported);
}

} // namespace osk
