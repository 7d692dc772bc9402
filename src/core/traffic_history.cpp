#include "core/traffic_history.h"

namespace osk {

TrafficHistory::TrafficHistory(std::function<int()> users, std::function<qint64()> receivedBytes,
                               QObject* parent)
    : QObject(parent)
    , m_users(std::move(users))
    , m_receivedBytes(std::move(receivedBytes))
    , m_lastBytes(m_receivedBytes()) {
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &TrafficHistory::sample);
    m_timer.start();
}

void TrafficHistory::sample() {
    const qint64 bytes = m_receivedBytes();
    // The count starts again from nothing when the service starts again.
    const qint64 received = bytes >= m_lastBytes ? bytes - m_lastBytes : bytes;
    m_lastBytes = bytes;
    m_samples.push_back({m_users(), received});
    if (m_samples.size() > size_t(kSamples))
        m_samples.pop_front();
}

} // namespace osk
