#include "control/control_server.h"

#include "common/clock.h"
#include "core/server_core.h"
#include "core/service_metrics.h"
#include "session/socket_io.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#ifdef Q_OS_LINUX
#include <grp.h>
#include <pwd.h>
#endif

namespace osk {

namespace {
struct PeerUser {
    QString name;
    bool admitted = false;
    // Root or the program's own user: never kept out for want of room.
    bool privileged = false;
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
#endif

QString systemReason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// A reply too large to queue at once is sent this far ahead of what the caller has read.
constexpr qint64 kPacedAheadBytes = 256 * 1024;

// The file's permissions are what admit a caller; this says the same of the process at the other
// end, in case the socket's folder let someone else reach it.
#ifdef Q_OS_LINUX
PeerUser peerUser(qintptr descriptor) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return {};
    const bool privileged = credentials.uid == 0 || credentials.uid == geteuid();
    return {userName(credentials.uid), privileged || isMemberOfOurGroup(credentials.uid, credentials.gid),
            privileged};
}
#else
PeerUser peerUser(qintptr) {
    return {QStringLiteral("?"), true, true};
}
#endif
} // namespace

// One caller: the socket, what has arrived of its requests, and the commands that stream to it.
class ControlServer::Connection final : public ControlPeer {
public:
    Connection(ControlServer& server, std::unique_ptr<QLocalSocket> socket, const PeerUser& peer)
        : m_server(server)
        , m_id(++server.m_connectionsMade)
        , m_socket(std::move(socket))
        , m_context(std::make_unique<QObject>())
        , m_caller(peer.name)
        , m_privileged(peer.privileged)
        , m_lastActivity(std::chrono::steady_clock::now()) {
        m_requestTimer.setSingleShot(true);
        m_requestTimer.setInterval(server.m_requestTimeout);
        QObject::connect(&m_requestTimer, &QTimer::timeout, m_context.get(), [this] {
            if (m_paced)
                abandon(); // a paced reply nothing of which was read within the time
            else
                refuse(QStringLiteral("Petición incompleta."));
        });
        QObject::connect(m_socket.get(), &QLocalSocket::readyRead, m_context.get(),
                         [this] { onReadyRead(); });
        QObject::connect(m_socket.get(), &QLocalSocket::bytesWritten, m_context.get(),
                         [this] { onWritten(); });
        QObject::connect(m_socket.get(), &QLocalSocket::disconnected, m_context.get(),
                         [this] { m_server.remove(this); });
        if (!peer.admitted)
            refuse(QStringLiteral("Permiso denegado."));
        else
            m_requestTimer.start(); // the first request is awaited from the start
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
        if (std::exchange(m_awaitingReply, false))
            resumeRequests();
        // Behind a reply that is still being paced, so that the order of lines is kept.
        if (m_paced) {
            m_afterPaced += controlLine(line);
        } else {
            m_socket->write(controlLine(line));
            // Out now, not from the event loop: a caller that shut its side down after the request
            // is seen as gone by the socket's next read, which drops what it still holds.
            m_socket->flush();
        }
        if (m_socket->bytesToWrite() + m_afterPaced.size() > kMaxUnreadBytes) {
            // A caller that does not read is dropped rather than let the server's memory grow.
            m_finished = true;
            m_server.remove(this);
        }
    }
    // One at a time on a connection: a second would take the place of the first's lines.
    bool canSendPaced() const override { return !m_paced && m_server.pacedCount() < kMaxPacedReplies; }
    void sendPaced(std::function<std::optional<QJsonObject>()> next) override {
        if (m_finished)
            return;
        m_paced = std::move(next);
        // The caller must keep reading: a reply holds what it is to send until then.
        m_requestTimer.start();
        pace();
    }
    void keepOpen() override {
        m_streaming = true;
        m_requestTimer.stop();
    }
    void replyLater() override {
        m_awaitingReply = true;
        m_requestTimer.stop();
    }
    void finish() override {
        if (m_finished)
            return;
        m_finished = true;
        m_requestTimer.stop();
        disconnectWhenSent();
    }
    QObject* context() override { return m_context.get(); }
    QString caller() const override { return m_caller; }

    quint64 id() const { return m_id; }
    // The caller has gone or is to go; the owner deletes this once no request runs on it.
    bool isBusy() const { return m_busy; }
    // Neither in a request, nor waiting for its reply, nor streaming: a connection that only holds
    // its place.
    bool isIdle() const { return !m_busy && !m_streaming && !m_paced && !m_awaitingReply; }
    bool isPaced() const { return bool(m_paced); }
    bool isPrivileged() const { return m_privileged; }
    // When the caller last sent something or read something of what it was sent.
    std::chrono::steady_clock::time_point lastActivity() const { return m_lastActivity; }
    void refuse(const QString& reason) {
        send(controlError(reason));
        m_socket->flush();
        finish();
    }

private:
    // Only as much of a paced reply is handed to the socket as keeps it ahead of the caller; the
    // rest is taken from its source as the caller reads.
    void pace() {
        while (m_paced && m_socket->bytesToWrite() < kPacedAheadBytes) {
            const std::optional<QJsonObject> line = m_paced();
            if (!line) {
                m_paced = nullptr;
                m_socket->write(std::exchange(m_afterPaced, {}));
                if (!m_finished && !m_streaming)
                    m_requestTimer.start(); // the next request is awaited from here
                break;
            }
            m_socket->write(controlLine(*line));
        }
    }

    void disconnectWhenSent() {
        if (!m_paced && m_socket->bytesToWrite() == 0)
            m_socket->disconnectFromServer();
    }

    void onWritten() {
        m_lastActivity = std::chrono::steady_clock::now();
        if (m_paced)
            m_requestTimer.start(); // it reads: the time starts again
        pace();
        if (m_finished)
            disconnectWhenSent();
    }

    // Let go without a word: the caller reads nothing, and whatever was to be sent goes with it.
    void abandon() {
        m_paced = nullptr;
        m_afterPaced.clear();
        m_finished = true;
        m_requestTimer.stop();
        m_server.remove(this);
    }

    // The request that waited for its reply has it: the next is awaited from here, and what came
    // meanwhile is read now.
    void resumeRequests() {
        m_requestTimer.start();
        QMetaObject::invokeMethod(
            m_context.get(), [this] { onReadyRead(); }, Qt::QueuedConnection);
    }

    void onReadyRead() {
        if (m_busy || m_awaitingReply)
            return; // taken up again when the running request ends
        m_busy = true;
        m_lastActivity = std::chrono::steady_clock::now();
        bool handledOne = false;
        while (!m_finished && !m_awaitingReply && (!m_lines.empty() || m_socket->bytesAvailable() > 0)) {
            if (m_lines.empty()) {
                if (!m_reader.append(m_socket->read(ControlLineReader::kMaxLineBytes))) {
                    refuse(QStringLiteral("Petición demasiado larga."));
                    break;
                }
                for (QByteArray& line : m_reader.takeLines())
                    m_lines.push_back(std::move(line));
                continue;
            }
            const QByteArray line = std::move(m_lines.front());
            m_lines.pop_front();
            // A streaming command holds the connection to its end; the caller is told, the stream
            // goes on.
            if (m_streaming) {
                send(controlError(
                    QStringLiteral("Esta conexión ya sigue una orden: abra otra para una nueva petición.")));
                continue;
            }
            handle(line);
            handledOne = true;
        }
        // The next request is awaited from the end of the last one; bytes that trickle in do not
        // put the limit off. A command that streams has ended its request.
        if (m_finished || m_streaming || m_paced || m_awaitingReply)
            m_requestTimer.stop();
        else if (handledOne)
            m_requestTimer.start();
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
        m_server.m_core.metrics().countCommand(AdminTransport::Control);
        m_server.m_commands.execute(*parsed.request, *this);
    }

    ControlServer& m_server;
    const quint64 m_id;
    std::unique_ptr<QLocalSocket> m_socket;
    std::unique_ptr<QObject> m_context;
    QTimer m_requestTimer;
    ControlLineReader m_reader;
    std::deque<QByteArray> m_lines; // read, not yet handled
    QString m_caller;
    const bool m_privileged;
    std::chrono::steady_clock::time_point m_lastActivity;
    std::function<std::optional<QJsonObject>()> m_paced;
    QByteArray m_afterPaced;
    bool m_busy = false;
    bool m_streaming = false;
    bool m_awaitingReply = false;
    bool m_finished = false;
};

ControlServer::ControlServer(ServerCore& core, QObject* parent)
    : QObject(parent)
    , m_core(core)
    , m_commands(core, core.clock().now(), *this) {}

ControlServer::~ControlServer() {
    m_connections.clear();
    // The callers being turned away go while what counts them is still here.
    qDeleteAll(findChildren<QLocalSocket*>(Qt::FindDirectChildrenOnly));
    closeListener();
}

bool ControlServer::listen(const QString& path) {
    m_path = path;
    const auto fail = [this](const QString& reason) {
        m_core.eventLog().AddLog(
            QStringLiteral("No se puede abrir el canal de administración %1: %2").arg(m_path, reason),
            LogKind::Error);
        closeListener();
        return false;
    };
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(name.size()) >= sizeof address.sun_path)
        return fail(QStringLiteral("la ruta es demasiado larga."));
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));

    // Only one program runs per folder (the instance lock), so a socket left here is a dead run's.
    // Anything else in its place is someone's file, never removed for it.
    struct stat existing {};
    if (::lstat(name.constData(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode))
            return fail(QStringLiteral("en su lugar hay algo que no es un socket."));
        if (::unlink(name.constData()) != 0)
            return fail(systemReason(errno));
    }
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listener < 0)
        return fail(systemReason(errno));
    if (::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return fail(systemReason(errno));
    // Exactly read and write for the owner and the group, whatever the process's umask, before
    // anyone can connect: until listen() a connection is refused.
    struct stat bound {};
    if (::chmod(name.constData(), 0660) != 0 || ::lstat(name.constData(), &bound) != 0)
        return fail(systemReason(errno));
    m_listenerInode = quint64(bound.st_ino);
    if (::listen(m_listener, kMaxConnections) != 0)
        return fail(systemReason(errno));
    m_acceptor = std::make_unique<ConnectionAcceptor>(
        m_listener, [this](qintptr descriptor, const QString&) { onAccepted(descriptor); },
        [this](const QString& reason) {
            m_core.eventLog().AddLog(QStringLiteral("Canal de administración: ") + reason, LogKind::Error);
        });
    return true;
}

// The socket file goes with the listener, unless another run has put its own in its place.
void ControlServer::closeListener() {
    m_acceptor.reset();
    if (m_listener < 0)
        return;
    ::close(std::exchange(m_listener, -1));
    const QByteArray name = QFile::encodeName(m_path);
    struct stat existing {};
    if (::lstat(name.constData(), &existing) == 0 && S_ISSOCK(existing.st_mode) &&
        quint64(existing.st_ino) == m_listenerInode)
        ::unlink(name.constData());
}

void ControlServer::onAccepted(qintptr descriptor) {
    auto socket = std::make_unique<QLocalSocket>();
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(int(descriptor));
        return;
    }
    const PeerUser peer = peerUser(descriptor);
    if (!makeRoomFor(peer.privileged)) {
        turnAway(std::move(socket), QStringLiteral("Demasiadas conexiones de administración."));
        return;
    }
    m_connections.push_back(std::make_unique<Connection>(*this, std::move(socket), peer));
}

// Told why and let go once it has sent what it had to send: a socket closed on bytes it has not
// read resets the connection, and the caller would lose the reason with it. A turned-away caller is
// given a second for that, and at most kMaxConnections wait so.
void ControlServer::turnAway(std::unique_ptr<QLocalSocket> socket, const QString& reason) {
    socket->write(controlLine(controlError(reason)));
    socket->flush();
    if (m_turnedAway >= kMaxConnections) {
        socket->abort();
        return;
    }
    QLocalSocket* leaving = socket.release();
    leaving->setParent(this);
    ++m_turnedAway;
    ::shutdown(int(leaving->socketDescriptor()), SHUT_WR);
    connect(leaving, &QLocalSocket::readyRead, leaving, [leaving] { leaving->readAll(); });
    connect(leaving, &QLocalSocket::disconnected, leaving, &QObject::deleteLater);
    connect(leaving, &QObject::destroyed, this, [this] { --m_turnedAway; });
    QTimer::singleShot(1000, leaving, [leaving] {
        leaving->abort();
        leaving->deleteLater();
    });
}

// Root and the program's own user take the place of the caller that has been idle longest; with
// none idle, of the one of another user that has been quiet longest (following, or not reading
// what it asked for); with none of those either, of the privileged one quiet longest: no number of
// callers, not even of administrators, keeps an administrator out.
bool ControlServer::makeRoomFor(bool privileged) {
    if (int(m_connections.size()) < kMaxConnections)
        return true;
    if (!privileged)
        return false;
    const auto quietest = [this](auto eligible) {
        auto found = m_connections.end();
        for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
            if (!(*it)->isBusy() && eligible(**it) &&
                (found == m_connections.end() || (*it)->lastActivity() < (*found)->lastActivity()))
                found = it;
        }
        return found;
    };
    auto chosen = quietest([](const Connection& c) { return c.isIdle(); });
    if (chosen == m_connections.end())
        chosen = quietest([](const Connection& c) { return !c.isPrivileged(); });
    if (chosen == m_connections.end())
        chosen = quietest([](const Connection&) { return true; });
    if (chosen == m_connections.end())
        return false;
    // Not in any of its own handlers, so it can go at once.
    (*chosen)->refuse(QStringLiteral("Conexión cerrada para dar paso a un administrador."));
    m_connections.erase(chosen);
    return true;
}

int ControlServer::pacedCount() const {
    return int(std::count_if(m_connections.begin(), m_connections.end(),
                             [](const auto& connection) { return connection->isPaced(); }));
}

void ControlServer::remove(Connection* connection) {
    // Later, from the event loop: the connection's own socket may be the one whose signal asks. By
    // then it may be gone, and a new one may have its address: it is found by its number.
    QMetaObject::invokeMethod(
        this,
        [this, id = connection->id()] {
            // A request that runs on the connection still uses it; it asks again when it ends.
            const auto found = std::find_if(m_connections.begin(), m_connections.end(),
                                            [id](const auto& owned) { return owned->id() == id; });
            if (found != m_connections.end() && !(*found)->isBusy())
                m_connections.erase(found);
        },
        Qt::QueuedConnection);
}

} // namespace osk
