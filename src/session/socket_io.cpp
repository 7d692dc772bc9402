#include "session/socket_io.h"

#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace osk {

void tuneAcceptedSocket(QTcpSocket& socket, int vanishedPeerTimeoutMs) {
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    const int fd = int(socket.socketDescriptor());
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

bool sendNow(QTcpSocket& socket, QByteArrayView bytes) {
    qsizetype sent = 0;
#ifdef Q_OS_LINUX
    if (socket.bytesToWrite() == 0) {
        const ssize_t written = ::send(int(socket.socketDescriptor()), bytes.data(), size_t(bytes.size()),
                                       MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        sent = written > 0 ? written : 0;
        if (sent == bytes.size())
            return true;
    }
#endif
    const QByteArrayView rest = bytes.sliced(sent);
    if (socket.write(rest.data(), rest.size()) != rest.size())
        return false;
    socket.flush();
    return true;
}

} // namespace osk
