#include "session/socket_io.h"

#include <QHostAddress>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace osk {

namespace {
// The description of the system's last error, for the event log: the operator's words for what
// a client's connection meets, the system's own for anything else.
QString systemError() {
    switch (errno) {
    case EPIPE:
    case ECONNRESET:
        return QStringLiteral("El cliente ha interrumpido la conexión");
    case ETIMEDOUT:
        return QStringLiteral("El cliente ha dejado de responder");
    default:
        return QStringLiteral("Error de red: ") + QString::fromLocal8Bit(std::strerror(errno));
    }
}

bool wouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

QString peerAddressOf(int descriptor) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return {};
    return QHostAddress(reinterpret_cast<const sockaddr*>(&address)).toString();
}
} // namespace

void tuneListeningSocket(qintptr descriptor, int vanishedPeerTimeoutMs) {
    const int fd = int(descriptor);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#ifdef Q_OS_LINUX
    // Data left unacknowledged this long (the sweep sends every five seconds) fails the connection.
    const unsigned int userTimeout = unsigned(vanishedPeerTimeoutMs);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
    // An idle connection with nothing to acknowledge is probed by keepalive within the same bound.
    const int idleSeconds = vanishedPeerTimeoutMs / 2000;
    const int intervalSeconds = 2;
    const int probes = (vanishedPeerTimeoutMs / 1000 - idleSeconds) / intervalSeconds;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#else
    Q_UNUSED(vanishedPeerTimeoutMs);
#endif
}

ClientConnection::ClientConnection(qintptr descriptor, QObject* parent)
    : QObject(parent)
    , m_descriptor(int(descriptor))
    , m_readNotifier(descriptor, QSocketNotifier::Read)
    , m_writeNotifier(QSocketNotifier::Write)
    , m_peerAddress(peerAddressOf(int(descriptor))) {
    // A fresh socket has no other status flag to keep.
    ::fcntl(m_descriptor, F_SETFL, O_NONBLOCK);
    // Made disabled: most connections never have anything wait for the system.
    m_writeNotifier.setSocket(descriptor);
    connect(&m_readNotifier, &QSocketNotifier::activated, this, &ClientConnection::readyRead);
    connect(&m_writeNotifier, &QSocketNotifier::activated, this, &ClientConnection::writeWaiting);
}

ClientConnection::~ClientConnection() {
    close();
}

void ClientConnection::markFailed(const QString& why) {
    end(why);
}

// The descriptor goes at once: the slot of a connection that its client closed may wait long for
// the next connection to take it. The notifiers are off first, so that a descriptor number that
// comes back with the next connection is not watched for this one.
void ClientConnection::end(const QString& why) {
    if (m_ended)
        return;
    m_ended = true;
    m_error = why;
    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
    ::close(m_descriptor);
    m_descriptor = -1;
}

qint64 ClientConnection::read(char* into, qint64 capacity) {
    if (!isConnected())
        return 0;
    const ssize_t count = ::recv(m_descriptor, into, size_t(capacity), 0);
    if (count > 0)
        return count;
    if (count == 0)
        end(QStringLiteral("El cliente ha cerrado la conexión"));
    else if (!wouldBlock())
        end(systemError());
    return 0;
}

bool ClientConnection::send(QByteArrayView bytes) {
    if (!isConnected())
        return false;
    qsizetype sent = 0;
    if (m_waiting.isEmpty()) {
        const ssize_t written =
            ::send(m_descriptor, bytes.data(), size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0 && !wouldBlock()) {
            end(systemError());
            return false;
        }
        sent = written > 0 ? written : 0;
        if (sent == bytes.size())
            return true;
    }
    // Behind whatever already waits, so the order of messages is kept.
    m_waiting.append(bytes.sliced(sent));
    m_writeNotifier.setEnabled(true);
    return true;
}

void ClientConnection::writeWaiting() {
    while (!m_waiting.isEmpty()) {
        const ssize_t written = ::send(m_descriptor, m_waiting.constData(), size_t(m_waiting.size()),
                                       MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0) {
            if (!wouldBlock())
                end(systemError());
            break;
        }
        m_waiting.remove(0, written);
    }
    if (m_waiting.isEmpty() || m_ended)
        m_writeNotifier.setEnabled(false);
}

void ClientConnection::close() {
    if (m_ended)
        return;
    if (!m_waiting.isEmpty())
        writeWaiting();
    end(QStringLiteral("Conexión cerrada"));
}

} // namespace osk
