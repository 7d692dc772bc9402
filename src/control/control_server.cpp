#include "control/control_server.h"

#include "app/server_core.h"
#include "common/clock.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <algorithm>

#ifdef Q_OS_LINUX
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace osk {

namespace {
struct PeerUser {
    QString name;
    bool admitted = false;
};

#ifdef Q_OS_LINUX
bool isMemberOfOurGroup(uid_t uid, gid_t gid) {
    if (gid == getegid())
        return true;
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(size_t(count));
        if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    groups.resize(size_t(count));
    return std::find(groups.begin(), groups.end(), getegid()) != groups.end();
}

QString userName(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

// The file's permissions are what admit a caller; this says the same of the process at the other
// end, in case the socket's folder let someone else reach it.
PeerUser peerUser(qintptr descriptor) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return {};
    const bool admitted = credentials.uid == 0 || credentials.uid == geteuid() ||
                          isMemberOfOurGroup(credentials.uid, credentials.gid);
    return {userName(credentials.uid), admitted};
}
#else
PeerUser peerUser(qintptr) {
    return {QStringLiteral("?"), true};
}
#endif
} // namespace

QString controlSocketPath(const QString& programFolder) {
    const QString runtimeFolder = qEnvironmentVariable("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!runtimeFolder.isEmpty())
        return QDir(runtimeFolder).filePath(QStringLiteral("control"));
    return QDir(programFolder).filePath(QStringLiteral("oskserver.sock"));
}

// One caller: the socket, what has arrived of its requests, and the commands that stream to it.
class ControlServer::Connection final : public ControlPeer {
public:
    Connection(ControlServer& server, std::unique_ptr<QLocalSocket> socket)
        : m_server(server)
        , m_socket(std::move(socket))
        , m_context(std::make_unique<QObject>()) {
        const PeerUser peer = peerUser(m_socket->socketDescriptor());
        m_caller = peer.name;
        m_requestTimer.setSingleShot(true);
        m_requestTimer.setInterval(server.m_requestTimeout);
        QObject::connect(&m_requestTimer, &QTimer::timeout, m_context.get(),
                         [this] { refuse(QStringLiteral("Petición incompleta.")); });
        QObject::connect(m_socket.get(), &QLocalSocket::readyRead, m_context.get(),
                         [this] { onReadyRead(); });
        QObject::connect(m_socket.get(), &QLocalSocket::bytesWritten, m_context.get(),
                         [this] { onWritten(); });
        QObject::connect(m_socket.get(), &QLocalSocket::disconnected, m_context.get(),
                         [this] { m_server.remove(this); });
        if (!peer.admitted)
            refuse(QStringLiteral("Permiso denegado."));
    }

    ~Connection() override {
        m_finished = true;
        // What streams to this caller stops before the socket goes.
        m_context.reset();
        m_socket->disconnect();
        m_socket->abort();
    }

    void send(const QJsonObject& line) override {
        if (m_finished)
            return;
        m_socket->write(controlLine(line));
        if (m_socket->bytesToWrite() > kMaxUnreadBytes) {
            // A caller that does not read is dropped rather than let the server's memory grow.
            m_finished = true;
            m_server.remove(this);
        }
    }
    void keepOpen() override { m_streaming = true; }
    void finish() override {
        if (m_finished)
            return;
        m_finished = true;
        m_requestTimer.stop();
        if (m_socket->bytesToWrite() == 0)
            m_socket->disconnectFromServer();
    }
    QObject* context() override { return m_context.get(); }
    QString caller() const override { return m_caller; }

    // The caller has gone or is to go; the owner deletes this once no request runs on it.
    bool isBusy() const { return m_busy; }

private:
    void refuse(const QString& reason) {
        send(controlError(reason));
        finish();
    }

    void onWritten() {
        if (m_finished && m_socket->bytesToWrite() == 0)
            m_socket->disconnectFromServer();
    }

    void onReadyRead() {
        if (m_busy)
            return; // taken up again when the running request ends
        m_busy = true;
        while (!m_finished && m_socket->bytesAvailable() > 0) {
            if (!m_reader.append(m_socket->read(ControlLineReader::kMaxLineBytes))) {
                refuse(QStringLiteral("Petición demasiado larga."));
                break;
            }
            for (const QByteArray& line : m_reader.takeLines()) {
                if (m_finished || m_streaming)
                    break;
                handle(line);
            }
        }
        // Only a request begun and not ended is timed; a command that streams has ended its request.
        if (!m_finished && !m_streaming && m_reader.pending() > 0)
            m_requestTimer.start();
        else
            m_requestTimer.stop();
        m_busy = false;
        if (m_socket->state() != QLocalSocket::ConnectedState)
            m_server.remove(this);
    }

    void handle(const QByteArray& line) {
        const ParsedRequest parsed = parseControlRequest(line);
        if (!parsed.request) {
            refuse(parsed.error);
            return;
        }
        m_server.m_commands.execute(*parsed.request, *this);
    }

    ControlServer& m_server;
    std::unique_ptr<QLocalSocket> m_socket;
    std::unique_ptr<QObject> m_context;
    QTimer m_requestTimer;
    ControlLineReader m_reader;
    QString m_caller;
    bool m_busy = false;
    bool m_streaming = false;
    bool m_finished = false;
};

ControlServer::ControlServer(ServerCore& core, QObject* parent)
    : QObject(parent)
    , m_core(core)
    , m_commands(core, core.clock().now())
    , m_server(std::make_unique<QLocalServer>()) {
    connect(m_server.get(), &QLocalServer::newConnection, this, &ControlServer::onNewConnection);
}

ControlServer::~ControlServer() {
    m_connections.clear();
    m_server->close();
}

bool ControlServer::listen(const QString& path) {
    m_path = path;
    // Only one program runs per folder (the instance lock), so a socket left here is a dead run's.
    QLocalServer::removeServer(path);
    m_server->setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption);
    if (!m_server->listen(path)) {
        m_core.eventLog().AddLog(QStringLiteral("No se puede abrir el canal de administración %1: %2")
                                     .arg(path, m_server->errorString()),
                                 LogKind::Error);
        return false;
    }
#ifdef Q_OS_LINUX
    // Exactly read and write for the owner and the group, whatever the process's umask.
    chmod(QFile::encodeName(path).constData(), 0660);
#endif
    return true;
}

void ControlServer::onNewConnection() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        std::unique_ptr<QLocalSocket> owned(socket);
        owned->setParent(nullptr);
        if (int(m_connections.size()) >= kMaxConnections) {
            owned->write(
                controlLine(controlError(QStringLiteral("Demasiadas conexiones de administración."))));
            owned->flush();
            owned->abort();
            continue;
        }
        m_connections.push_back(std::make_unique<Connection>(*this, std::move(owned)));
    }
}

void ControlServer::remove(Connection* connection) {
    // Later, from the event loop: the connection's own socket may be the one whose signal asks.
    QMetaObject::invokeMethod(
        this,
        [this, connection] {
            // A request that runs on the connection still uses it; it asks again when it ends.
            if (connection->isBusy())
                return;
            const auto found =
                std::find_if(m_connections.begin(), m_connections.end(),
                             [connection](const auto& owned) { return owned.get() == connection; });
            if (found != m_connections.end())
                m_connections.erase(found);
        },
        Qt::QueuedConnection);
}

} // namespace osk
