#pragma once

#include <QByteArray>
#include <QFile>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

// Files and loopback sockets as the tests handle them.
namespace osk::test {

inline QByteArray readFileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Owner, group and mode, as `ls -n` shows them.
inline QString owners(const QString& path) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return QStringLiteral("missing");
    return QStringLiteral("%1:%2 %3")
        .arg(status.st_uid)
        .arg(status.st_gid)
        .arg(status.st_mode & 07777, 4, 8, QLatin1Char('0'));
}

inline bool writeFileBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A settings file that names only the port.
inline QByteArray portSettings(quint16 port) {
    return "[Main]\r\nPort=" + QByteArray::number(port) + "\r\n";
}

// A port nobody listens on right now: the system hands one out and it is given back at once.
inline quint16 freePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::AnyIPv4, 0))
        return 0;
    return probe.serverPort();
}

// A client program as the server sees it, in the test's own thread: every byte received is kept
// until the test takes it, while the QTRY_ macros let the event loop run.
class Client final : public QObject {
public:
    // `from` is the client computer's address: any of 127.0.0.0/8 reaches the server, so two
    // clients can stand for two computers.
    explicit Client(quint16 port, const QString& from = QStringLiteral("127.0.0.1")) {
        connect(&socket, &QTcpSocket::readyRead, this, [this] { received += socket.readAll(); });
        // Loopback needs no proxy; asking the system for one starts a thread of Qt's proxy library.
        socket.setProxy(QNetworkProxy::NoProxy);
        socket.bind(QHostAddress(from));
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void send(QByteArrayView message) {
        socket.write(message.data(), message.size());
        socket.flush();
    }
    QByteArray take() { return std::exchange(received, QByteArray()); }

    QTcpSocket socket;
    QByteArray received;
};

// While it lives, this process's soft limit of `resource` is `value`; the limit comes back when it
// goes, even when a check fails. A write past a file size limit fails with EFBIG
// instead of killing the process: SIGXFSZ is ignored meanwhile.
class ResourceLimit {
public:
    ResourceLimit(int resource, rlim_t value)
        : m_resource(resource) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &m_signal);
        rlimit lowered{};
        m_set = ::getrlimit(resource, &m_original) == 0 &&
                (lowered = m_original, lowered.rlim_cur = value, ::setrlimit(resource, &lowered) == 0);
    }
    ~ResourceLimit() {
        if (m_set)
            ::setrlimit(m_resource, &m_original);
        ::sigaction(SIGXFSZ, &m_signal, nullptr);
    }
    ResourceLimit(const ResourceLimit&) = delete;
    ResourceLimit& operator=(const ResourceLimit&) = delete;
    bool set() const { return m_set; }

private:
    int m_resource;
    rlimit m_original{};
    struct sigaction m_signal {};
    bool m_set = false;
};

// No file this process writes may grow past `bytes`, as on a disk with that much room left.
struct FileSizeLimit final : ResourceLimit {
    explicit FileSizeLimit(qint64 bytes)
        : ResourceLimit(RLIMIT_FSIZE, rlim_t(bytes)) {}
};

// This process may open no further descriptor (its limit is set just below the next one), so an
// accept fails as it does when a server runs out.
struct DescriptorsRunOut final : ResourceLimit {
    DescriptorsRunOut()
        : ResourceLimit(RLIMIT_NOFILE, lowestFree()) {}
    static rlim_t lowestFree() {
        const int descriptor = ::dup(0);
        return descriptor < 0 ? 0 : (::close(descriptor), rlim_t(descriptor));
    }
};

} // namespace osk::test
