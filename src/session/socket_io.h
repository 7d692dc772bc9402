#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

namespace osk {

// Options for the listening socket, which every accepted client socket inherits from it: no Nagle
// delay on the short protocol messages, and a bound on how long the system keeps a connection
// whose peer vanished without closing it (power cut, cable pulled), which TCP alone would notice
// only after about fifteen minutes. Set once here, they cost nothing per connection.
void tuneListeningSocket(qintptr descriptor, int vanishedPeerTimeoutMs);

// One client's TCP connection on its own descriptor. A notifier announces what arrives and each
// read takes it straight into the caller's buffer; a send goes straight to the system, and only
// what the system does not take at once waits here, behind a write notifier that is on only while
// something waits. Nothing else buffers or asks the system how much has arrived.
class ClientConnection final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClientConnection)

public:
    // Takes an accepted descriptor and makes it non-blocking.
    explicit ClientConnection(qintptr descriptor, QObject* parent = nullptr);
    ~ClientConnection() override;

    // The client's IPv4 address in dotted text, as accepted.
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

signals:
    void readyRead();

private:
    void writeWaiting();
    void end(const QString& why);

    int m_descriptor;
    QSocketNotifier m_readNotifier;
    QSocketNotifier m_writeNotifier;
    QByteArray m_waiting;
    QString m_peerAddress;
    QString m_error;
    bool m_ended = false;
};

} // namespace osk
