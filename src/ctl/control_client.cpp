#include "ctl/control_client.h"

#include <QJsonDocument>

namespace osk::ctl {

ControlClient::Connected ControlClient::connectTo(const QString& path) {
    m_socket.connectToServer(path);
    if (m_socket.waitForConnected(5000))
        return {};
    switch (m_socket.error()) {
    case QLocalSocket::SocketAccessError:
        return {kExitNoPermission,
                QStringLiteral("Sin permiso para usar %1: hace falta ser root o del grupo del servidor.")
                    .arg(path)};
    case QLocalSocket::ServerNotFoundError:
    case QLocalSocket::ConnectionRefusedError:
        return {kExitNoServer, QStringLiteral("No hay ningún servidor en marcha en %1.").arg(path)};
    default:
        return {kExitNoServer,
                QStringLiteral("No se puede conectar con %1: %2").arg(path, m_socket.errorString())};
    }
}

void ControlClient::send(const QJsonObject& request) {
    m_socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    m_socket.flush();
}

std::optional<QJsonObject> ControlClient::nextLine(int timeoutMs) {
    while (!m_socket.canReadLine()) {
        if (m_socket.state() != QLocalSocket::ConnectedState)
            return std::nullopt;
        if (!m_socket.waitForReadyRead(timeoutMs)) {
            if (m_socket.canReadLine())
                break;
            return std::nullopt;
        }
    }
    m_lastRaw = m_socket.readLine().trimmed();
    const QJsonDocument document = QJsonDocument::fromJson(m_lastRaw);
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace osk::ctl
