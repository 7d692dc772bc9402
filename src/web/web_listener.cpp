#include "web/web_listener.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSslSocket>
#include <QTimer>
#include <unistd.h>

namespace osk {

namespace {
constexpr int kDrainMs = 1000;

// Lives as a child of its socket: counts it, bounds what a request may bring, and closes it when
// idle.
class SocketGuard final : public QObject {
public:
    SocketGuard(QTcpSocket& socket, const QObject& httpServer, std::shared_ptr<int> open)
        : QObject(&socket)
        , m_socket(socket)
        , m_httpServer(httpServer)
        , m_open(std::move(open)) {
        ++*m_open;
        setObjectName(QStringLiteral("osk-web-guard"));
        // Made before the HTTP server's own, so this sees the bytes first.
        m_reading = connect(&socket, &QIODevice::readyRead, this, &SocketGuard::onReadyRead);
        connect(&socket, &QIODevice::bytesWritten, this, &SocketGuard::onAnswered);
        m_idle.setSingleShot(true);
        m_idle.setInterval(WebConnectionLimits::kIdleMs);
        connect(&m_idle, &QTimer::timeout, this, &SocketGuard::onIdle);
        m_idle.start();
    }
    ~SocketGuard() override { --*m_open; }

    void setAnswering(bool answering) {
        m_answering = answering;
        if (!answering)
            m_idle.start();
    }

private:
    // The HTTP server reads everything there is on each signal, so what is there now has arrived
    // since the last one.
    void onReadyRead() {
        m_received += m_socket.bytesAvailable();
        if (m_received > WebConnectionLimits::kMaxRequestBytes)
            refuseTooLarge();
    }
    void onAnswered() {
        m_received = 0;
        if (!m_answering)
            m_idle.start();
    }
    // A WebSocket (its reads have been taken over) is never idle here; its own limits hold it.
    void onIdle() {
        if (!m_answering && m_reading)
            m_socket.abort();
    }

    void refuseTooLarge() {
        QObject::disconnect(&m_socket, &QIODevice::readyRead, &m_httpServer, nullptr);
        QObject::disconnect(m_reading);
        if (m_socket.isTransactionStarted())
            m_socket.commitTransaction();
        // What still arrives is read and dropped for a moment, so that the caller gets the answer
        // rather than a reset.
        connect(&m_socket, &QIODevice::readyRead, this, [this] { m_socket.readAll(); });
        m_socket.readAll();
        const QByteArray body =
            QJsonDocument(
                QJsonObject{{QStringLiteral("ok"), false},
                            {QStringLiteral("error"), QStringLiteral("La petición es demasiado grande.")}})
                .toJson(QJsonDocument::Compact);
        m_socket.write("HTTP/1.1 413 Payload Too Large\r\nContent-Type: application/json\r\n"
                       "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n"
                       "Content-Length: " +
                       QByteArray::number(body.size()) + "\r\n\r\n" + body);
        m_socket.flush();
        m_answering = true;
        m_idle.stop();
        QTimer::singleShot(kDrainMs, &m_socket, [socket = &m_socket] { socket->abort(); });
    }

    QTcpSocket& m_socket;
    const QObject& m_httpServer;
    std::shared_ptr<int> m_open;
    QMetaObject::Connection m_reading;
    QTimer m_idle;
    qint64 m_received = 0;
    bool m_answering = false;
};
} // namespace

WebConnectionLimits::WebConnectionLimits(const QObject& httpServer)
    : m_httpServer(httpServer) {}

void WebConnectionLimits::guard(QTcpSocket& socket) const {
    new SocketGuard(socket, m_httpServer, m_open);
}

void WebConnectionLimits::setAnswering(QTcpSocket& socket, bool answering) {
    for (QObject* child : socket.children()) {
        if (auto* guard = dynamic_cast<SocketGuard*>(child))
            guard->setAnswering(answering);
    }
}

void WebTcpServer::incomingConnection(qintptr descriptor) {
    if (!m_limits.admits()) {
        ::close(int(descriptor));
        return;
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(int(descriptor));
        return;
    }
    m_limits.guard(*socket);
    addPendingConnection(socket);
}

// Qt stops accepting while its count of connections not yet taken reaches this maximum, and the
// TLS listener counts handshakes that never end too, so that stalled ones could stop it for good;
// the bound here is kMaxConnections, kept by this program.
constexpr int kNeverPausing = 1 << 20;

WebTcpServer::WebTcpServer(const WebConnectionLimits& limits, QObject* parent)
    : QTcpServer(parent)
    , m_limits(limits) {
    setMaxPendingConnections(kNeverPausing);
}

WebSslServer::WebSslServer(const WebConnectionLimits& limits, QObject* parent)
    : QSslServer(parent)
    , m_limits(limits) {
    setMaxPendingConnections(kNeverPausing);
    setHandshakeTimeout(10 * 1000);
}

void WebSslServer::incomingConnection(qintptr descriptor) {
    if (!m_limits.admits()) {
        ::close(int(descriptor));
        return;
    }
    QSslServer::incomingConnection(descriptor);
    // Counted from its first moment, handshake included: those that never end one count too.
    for (QSslSocket* socket : findChildren<QSslSocket*>(Qt::FindDirectChildrenOnly)) {
        if (socket->socketDescriptor() == descriptor)
            m_limits.guard(*socket);
    }
}

} // namespace osk
