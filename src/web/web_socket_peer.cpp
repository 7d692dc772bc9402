#include "web/web_socket_peer.h"

#include "control/control_protocol.h"
#include "core/service_metrics.h"

#include <QJsonDocument>
#include <QWebSocket>

namespace osk {

namespace {
// A paced reply (the lines of the log) is handed to the socket this far ahead of the browser.
constexpr qint64 kPacedAheadBytes = 256 * 1024;

QString messageOf(const QJsonObject& line) {
    return QString::fromUtf8(QJsonDocument(line).toJson(QJsonDocument::Compact));
}
} // namespace

WebSocketPeer::WebSocketPeer(std::unique_ptr<QWebSocket> socket, ControlCommands& commands,
                             ServiceMetrics& metrics, QByteArray session, QString caller,
                             std::function<void(WebSocketPeer*)> gone)
    : m_socket(std::move(socket))
    , m_commands(commands)
    , m_metrics(metrics)
    , m_session(std::move(session))
    , m_caller(std::move(caller))
    , m_gone(std::move(gone))
    , m_context(std::make_unique<QObject>()) {
    m_socket->setMaxAllowedIncomingMessageSize(quint64(kMaxMessageBytes));
    m_socket->setMaxAllowedIncomingFrameSize(quint64(kMaxMessageBytes));
    // Taken up from the event loop, not from inside the socket's reading of its frames: a command
    // that lets the event loop run (the client programs' copy) would have the socket read again
    // from within its own reading.
    QObject::connect(
        m_socket.get(), &QWebSocket::textMessageReceived, m_context.get(),
        [this](const QString& message) { onMessage(message); }, Qt::QueuedConnection);
    QObject::connect(m_socket.get(), &QWebSocket::binaryMessageReceived, m_context.get(), [this] {
        send(controlError(QStringLiteral("Se esperaba un mensaje de texto con un objeto JSON.")));
    });
    QObject::connect(m_socket.get(), &QWebSocket::bytesWritten, m_context.get(), [this] { onWritten(); });
    QObject::connect(m_socket.get(), &QWebSocket::disconnected, m_context.get(), [this] { drop(); });
    // Qt answers pings by itself: a browser that pings and never reads is caught here instead.
    m_unreadCheck.setInterval(1000);
    QObject::connect(&m_unreadCheck, &QTimer::timeout, m_context.get(), [this] {
        if (m_socket->bytesToWrite() > kMaxUnreadBytes)
            drop();
    });
    m_unreadCheck.start();
}

WebSocketPeer::~WebSocketPeer() {
    m_finished = true;
    // What streams to this socket stops before the socket goes.
    m_context.reset();
    m_socket->disconnect();
    // A browser still connected (the service stops) is told so, as far as the socket takes it now.
    if (m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("El servidor se detiene."));
        m_socket->flush();
    }
    m_socket->abort();
}

void WebSocketPeer::send(const QJsonObject& line) {
    if (m_finished)
        return;
    // The reply that was to come later: the requests that waited for it are taken up next.
    if (m_awaitingReply && !line.contains(QStringLiteral("event"))) {
        m_awaitingReply = false;
        QMetaObject::invokeMethod(
            m_context.get(), [this] { takeUpWaiting(); }, Qt::QueuedConnection);
    }
    const QString message = messageOf(line);
    if (m_paced) {
        m_afterPaced.append(message);
        m_afterPacedBytes += message.size();
    } else {
        m_socket->sendTextMessage(message);
    }
    if (m_socket->bytesToWrite() + m_afterPacedBytes > kMaxUnreadBytes)
        drop();
}

void WebSocketPeer::sendPaced(std::function<std::optional<QJsonObject>()> next) {
    if (m_finished)
        return;
    m_paced = std::move(next);
    pace();
}

void WebSocketPeer::pace() {
    while (m_paced && m_socket->bytesToWrite() < kPacedAheadBytes) {
        const std::optional<QJsonObject> line = m_paced();
        if (!line) {
            m_paced = nullptr;
            for (const QString& message : std::exchange(m_afterPaced, {}))
                m_socket->sendTextMessage(message);
            m_afterPacedBytes = 0;
            break;
        }
        m_socket->sendTextMessage(messageOf(*line));
    }
}

void WebSocketPeer::onWritten() {
    pace();
    if (m_finished && !m_paced && m_socket->bytesToWrite() == 0)
        m_socket->close();
}

void WebSocketPeer::finish() {
    if (m_finished)
        return;
    m_finished = true;
    onWritten();
}

void WebSocketPeer::close() {
    m_finished = true;
    m_socket->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("Sesión cerrada."));
}

// A streaming command holds the socket: its events are what the socket is for from then on.
void WebSocketPeer::onMessage(const QString& message) {
    if (m_finished)
        return;
    // A message that comes while a command runs (and lets the event loop run) waits for it.
    if (m_awaitingReply || m_busy) {
        if (m_waiting.size() >= kMaxWaitingRequests)
            drop();
        else
            m_waiting.append(message);
        return;
    }
    if (m_streaming) {
        send(controlError(
            QStringLiteral("Esta conexión ya sigue una orden: abra otra para una nueva petición.")));
        return;
    }
    const ParsedRequest parsed = parseControlRequest(message.toUtf8());
    if (!parsed.request) {
        send(controlError(parsed.error));
        return;
    }
    // An unknown command ends a control connection; here the page goes on with its socket.
    if (!m_commands.knows(parsed.request->command)) {
        send(controlError(QStringLiteral("Orden desconocida: %1.").arg(parsed.request->command)));
        return;
    }
    m_metrics.countCommand(AdminTransport::Web);
    m_busy = true;
    m_commands.execute(*parsed.request, *this);
    m_busy = false;
    if (std::function<void()> idle = std::exchange(m_whenIdle, nullptr))
        idle();
    else if (!m_waiting.isEmpty() && !m_awaitingReply)
        QMetaObject::invokeMethod(
            m_context.get(), [this] { takeUpWaiting(); }, Qt::QueuedConnection);
}

void WebSocketPeer::whenIdle(std::function<void()> idle) {
    if (m_busy)
        m_whenIdle = std::move(idle);
    else
        idle();
}

void WebSocketPeer::takeUpWaiting() {
    while (!m_awaitingReply && !m_busy && !m_finished && !m_waiting.isEmpty())
        onMessage(m_waiting.takeFirst());
}

// The owner lets go of this later, from the event loop: the socket's own signal may be the one
// that tells.
void WebSocketPeer::drop() {
    m_finished = true;
    if (std::exchange(m_goneCalled, true))
        return;
    m_gone(this);
}

} // namespace osk
