#include "session/socket_io.h"

#include <QEvent>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

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

QString ipv4Text(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
        return {};
    return QString::fromLatin1(text);
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

ReadinessNotifier::ReadinessNotifier(qintptr descriptor, Type type, QObject* parent)
    : QSocketNotifier(type, parent) {
    setSocket(descriptor);
}

// The handler may end the connection, but must leave deleting this to the event loop (deleteLater).
bool ReadinessNotifier::event(QEvent* event) {
    if (event->type() != QEvent::SockAct && event->type() != QEvent::SockClose)
        return QSocketNotifier::event(event);
    if (m_onReady)
        m_onReady();
    return true;
}

ClientConnection::ClientConnection(qintptr descriptor, QString peerAddress, QObject* parent)
    : QObject(parent)
    , m_descriptor(int(descriptor))
    , m_readNotifier(descriptor, QSocketNotifier::Read)
    , m_peerAddress(std::move(peerAddress)) {}

ClientConnection::~ClientConnection() {
    close();
}

void ClientConnection::onReadable(std::function<void()> handler) {
    m_readNotifier.setHandler(std::move(handler));
    m_readNotifier.setEnabled(!m_ended);
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
    // Not deleted: this may run in its own handler.
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
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
    if (!m_writeNotifier) {
        m_writeNotifier = std::make_unique<ReadinessNotifier>(m_descriptor, QSocketNotifier::Write);
        m_writeNotifier->setHandler([this] { writeWaiting(); });
    }
    m_writeNotifier->setEnabled(true);
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
    // Kept while the connection lives: a client slow once is likely slow again.
    if (m_writeNotifier && m_waiting.isEmpty())
        m_writeNotifier->setEnabled(false);
}

void ClientConnection::close() {
    if (m_ended)
        return;
    if (!m_waiting.isEmpty())
        writeWaiting();
    end(QStringLiteral("Conexión cerrada"));
}

ConnectionAcceptor::ConnectionAcceptor(qintptr listeningDescriptor, OnAccepted onAccepted, OnFailed onFailed,
                                       QObject* parent)
    : QObject(parent)
    , m_onAccepted(std::move(onAccepted))
    , m_onFailed(std::move(onFailed))
    , m_notifier(listeningDescriptor, QSocketNotifier::Read) {
    m_resume.setSingleShot(true);
    m_resume.setInterval(kPauseAfterFailureMs);
    connect(&m_resume, &QTimer::timeout, this, [this] { m_notifier.setEnabled(true); });
    m_notifier.setHandler([this] { acceptPending(); });
    m_notifier.setEnabled(true);
}

// A bounded number per pass, so that a burst of connections does not hold off the clients already
// connected; the listener stays ready and the rest come on the next pass.
void ConnectionAcceptor::acceptPending() {
    constexpr int kMaxPerPass = 64;
    for (int i = 0; i < kMaxPerPass; ++i) {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        const int descriptor = ::accept4(int(m_notifier.socket()), reinterpret_cast<sockaddr*>(&address),
                                         &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor >= 0) {
            m_failing = false;
            m_onAccepted(descriptor, address.ss_family == AF_INET
                                         ? ipv4Text(reinterpret_cast<const sockaddr_in&>(address))
                                         : QString());
            continue;
        }
        switch (errno) {
        case EINTR:
        case ECONNABORTED: // the client left while it waited in the queue
        case EPROTO:
            continue;
        case EAGAIN:
#if EAGAIN != EWOULDBLOCK
        case EWOULDBLOCK:
#endif
            return; // nothing more waits
        default:
            pauseAfter(errno);
            return;
        }
    }
}

void ConnectionAcceptor::pauseAfter(int error) {
    m_notifier.setEnabled(false);
    m_resume.start();
    if (std::exchange(m_failing, true) || !m_onFailed)
        return;
    switch (error) {
    case EMFILE:
    case ENFILE:
        m_onFailed(QStringLiteral("No quedan descriptores de archivo libres; se reintentará"));
        break;
    case ENOBUFS:
    case ENOMEM:
        m_onFailed(QStringLiteral("No queda memoria libre; se reintentará"));
        break;
    default:
        m_onFailed(QStringLiteral("Error de red: ") + QString::fromLocal8Bit(std::strerror(error)) +
                   QStringLiteral("; se reintentará"));
        break;
    }
}

} // namespace osk
