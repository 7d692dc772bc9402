#include "app/service_notifier.h"

#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace osk {

namespace {
// A decimal number with nothing around it, as the manager writes it.
bool parseUnsigned(const QByteArray& text, qulonglong& value) {
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    bool ok = false;
    value = text.toULongLong(&ok, 10);
    return ok;
}
} // namespace

ServiceNotifier ServiceNotifier::fromEnvironment() {
    return ServiceNotifier(qgetenv("NOTIFY_SOCKET"));
}

bool ServiceNotifier::notify(const QByteArray& state) const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // An abstract name's leading '@' stands for a zero byte, and the name is not zero-terminated:
    // the address length says where it ends.
    if (!isActive() || size_t(m_address.size()) > sizeof(address.sun_path) ||
        (m_address.front() != '@' && m_address.front() != '/'))
        return false;
    std::memcpy(address.sun_path, m_address.constData(), size_t(m_address.size()));
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    else if (size_t(m_address.size()) == sizeof(address.sun_path))
        return false; // no room for the terminating zero of a path
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(m_address.size()));

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const ssize_t sent = ::sendto(fd, state.constData(), size_t(state.size()), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
    return sent == ssize_t(state.size());
}

bool namesStream(const QByteArray& journalStream, dev_t device, ino_t inode) {
    const qsizetype colon = journalStream.indexOf(':');
    if (colon < 0)
        return false;
    qulonglong namedDevice = 0;
    qulonglong namedInode = 0;
    return parseUnsigned(journalStream.left(colon), namedDevice) &&
           parseUnsigned(journalStream.mid(colon + 1), namedInode) && namedDevice == qulonglong(device) &&
           namedInode == qulonglong(inode);
}

bool isJournalStream(int fd) {
    const QByteArray journalStream = qgetenv("JOURNAL_STREAM");
    if (journalStream.isEmpty())
        return false;
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return false;
    return namesStream(journalStream, status.st_dev, status.st_ino);
}

QByteArray journalPrefix(LogKind kind) {
    return kind == LogKind::Error ? QByteArrayLiteral("<3>") : QByteArrayLiteral("<6>");
}

} // namespace osk
