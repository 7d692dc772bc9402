#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

namespace osk {

// Options for the listening socket, which every accepted client socket inherits from it: no Nagle
// delay on the short protocol messages, and a bound on how long the system keeps a connection
// whose peer vanished without closing it (power cut, cable pulled), which TCP alone would notice
// only after about fifteen minutes. Set once here, they cost nothing per connection.
void tuneListeningSocket(qintptr descriptor, int vanishedPeerTimeoutMs);

// A socket notifier that calls one function when its descriptor is ready, straight from the event
// loop's pass. A busy server is announced thousands of arrivals a second, and the signal of a plain
// QSocketNotifier, with its connection and the receiver's slot, cost more than the read it announced.
class ReadinessNotifier final : public QSocketNotifier {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReadinessNotifier)

public:
    // Made disabled: enabled once it has something to call.
    ReadinessNotifier(qintptr descriptor, Type type, QObject* parent = nullptr);
    void setHandler(std::function<void()> onReady) { m_onReady = std::move(onReady); }

protected:
    bool event(QEvent* event) override;

private:
    std::function<void()> m_onReady;
};

// One client's TCP connection on its own descriptor. A notifier announces what arrives and each
// read takes it straight into the caller's buffer; a send goes straight to the system, and only
// what the system does not take at once waits here, behind a write notifier that exists and is on
// only while something waits. Nothing else buffers or asks the system how much has arrived.
class ClientConnection final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClientConnection)

public:
    // Takes an accepted, non-blocking descriptor and its client's address in dotted text.
    ClientConnection(qintptr descriptor, QString peerAddress, QObject* parent = nullptr);
    ~ClientConnection() override;

    // Called on the event loop whenever something has arrived, or the client closed or failed.
    void onReadable(std::function<void()> handler);

    const QString& peerAddress() const { return m_peerAddress; }
    // Neither closed, nor ended by the client, nor failed: an ended connection has let its
    // descriptor go.
    bool isConnected() const { return !m_ended; }
    // Why the last operation failed, or why the connection ended.
    const QString& errorString() const { return m_error; }
    // From now on the connection counts as failed and is closed: sends fail, nothing more is read.
    void markFailed(const QString& why);

    // One read of at most `capacity` bytes: the count read, 0 when nothing was waiting after all.
    // The client's close or an error ends the connection and reads 0.
    qint64 read(char* into, qint64 capacity);
    // False when the connection has ended or the system refused the bytes.
    bool send(QByteArrayView bytes);
    // What waits here for the system to take it.
    qint64 bytesToWrite() const { return m_waiting.size(); }
    // Hands the system what it will take of what waits, then closes the descriptor.
    void close();

private:
    void writeWaiting();
    void end(const QString& why);

    int m_descriptor;
    ReadinessNotifier m_readNotifier;
    std::unique_ptr<ReadinessNotifier> m_writeNotifier;
    QByteArray m_waiting;
    QString m_peerAddress;
    QString m_error;
    bool m_ended = false;
};

// Accepts on a listening descriptor, TCP or local: each pending connection is taken with its
// address (dotted IPv4 text; empty for a local one) in one call and is non-blocking from the start.
// An accept that fails (out of descriptors, above all) pauses accepting for a moment instead of
// spinning on a listener that stays ready, and is tried again; the connections wait in the
// system's queue meanwhile. The failure is reported once, not once per try, until an accept
// succeeds again.
class ConnectionAcceptor final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectionAcceptor)

public:
    using OnAccepted = std::function<void(qintptr descriptor, const QString& peerAddress)>;
    using OnFailed = std::function<void(const QString& reason)>;
    static constexpr int kPauseAfterFailureMs = 100;

    ConnectionAcceptor(qintptr listeningDescriptor, OnAccepted onAccepted, OnFailed onFailed = {},
                       QObject* parent = nullptr);

private:
    void acceptPending();
    void pauseAfter(int error);

    OnAccepted m_onAccepted;
    OnFailed m_onFailed;
    ReadinessNotifier m_notifier;
    QTimer m_resume;
    bool m_failing = false;
};

} // namespace osk
