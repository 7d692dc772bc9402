#pragma once

#include <QObject>
#include <initializer_list>
#include <memory>

class QSocketNotifier;

namespace osk {

// Brings POSIX signals into the event loop: the handler only writes the signal's number into a
// socket pair, and a notifier on the other end emits received() from the event loop, where
// anything may run. One instance per process.
class SignalPipe final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalPipe)

public:
    explicit SignalPipe(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~SignalPipe() override;

signals:
    void received(int signalNumber);

private:
    void drain();

    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace osk
