#pragma once

#include "eventlog/event_log.h"

#include <QByteArray>
#include <sys/types.h>

namespace osk {

// Tells a service manager how the service is doing, over the datagram socket it names in
// $NOTIFY_SOCKET (a file system path, or an abstract socket when it starts with '@'). Without the
// variable every notification is a no-op, so the same binary runs by hand or under a manager.
class ServiceNotifier final {
public:
    explicit ServiceNotifier(QByteArray socketAddress)
        : m_address(std::move(socketAddress)) {}
    static ServiceNotifier fromEnvironment();

    bool isActive() const { return !m_address.isEmpty(); }
    // Sends one datagram, for instance "READY=1" or "STOPPING=1". False when inactive or the
    // datagram could not be sent; a manager that does not listen must not stop the service.
    bool notify(const QByteArray& state) const;

private:
    QByteArray m_address;
};

// Whether a stream (stdout or stderr) is the journal: $JOURNAL_STREAM holds "device:inode" of the
// stream the manager connected, and the descriptor may since have been redirected elsewhere, so it
// must name the descriptor itself.
bool namesStream(const QByteArray& journalStream, dev_t device, ino_t inode);
bool isJournalStream(int fd);

// The syslog priority prefix the journal reads off the start of a line: errors (kind 3) are errors,
// everything else is informational.
QByteArray journalPrefix(LogKind kind);

} // namespace osk
