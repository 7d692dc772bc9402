#pragma once

#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>

namespace osk {

// The last hour of the service's traffic, a sample a second: the users connected and the bytes
// received in that second. A chart opened now can begin an hour ago. Sampled by a timer of its
// own, so that the session path does nothing for it.
class TrafficHistory final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrafficHistory)

public:
    static constexpr int kSamples = 3600;
    struct Sample {
        int users = 0;
        qint64 bytes = 0; // received in the second before the sample
    };

    TrafficHistory(std::function<int()> users, std::function<qint64()> receivedBytes,
                   QObject* parent = nullptr);

    // Oldest first; fewer than an hour's while the program has run for less.
    const std::deque<Sample>& samples() const { return m_samples; }
    // The count of bytes received as of the last sample: what a chart that goes on from the
    // samples counts its next second from.
    qint64 receivedAtLastSample() const { return m_lastBytes; }
    // Takes a sample now; the timer's, and a test's.
    void sample();

private:
    std::function<int()> m_users;
    std::function<qint64()> m_receivedBytes;
    qint64 m_lastBytes = 0;
    std::deque<Sample> m_samples;
    QTimer m_timer;
};

} // namespace osk
