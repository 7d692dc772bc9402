#pragma once

#include "common/owned_file.h"
#include "common/result.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>

namespace osk {

// The event-log lines not yet saved, kept on disk one line at a time so that a crash or a kill
// loses none of them. One journal per program folder: Log/eventlog.journal, Windows-1252, lines
// ended by CR LF, each "DD/MM/YYYY" + TAB + the line as shown, since the shown line holds only the
// time. Every line is handed to the system as it is appended; none waits in a buffer.
//
// The journal is the program's own file (an OwnedFile): a symbolic link, a FIFO, a device or a
// folder in its place is refused when it is opened, and nothing is ever opened, written or renamed
// through its name after that, so whatever is put there later is never touched either.
class RecoveryJournal final {
public:
    static constexpr const char* kFileName = "eventlog.journal";

    // What a run that did not end cleanly left behind: the date of its first line and its lines
    // as they are to appear in the daily file.
    struct Leftover {
        QDate date;
        QList<QByteArray> lines;
    };

    // Opens the journal, creating it if absent, and reads what it already holds. Refused, with a
    // reason that names the file, when anything but a regular file is in its place.
    static Result<RecoveryJournal> open(const QString& path);

    const QString& path() const { return m_file.path(); }
    const Leftover& leftover() const { return m_leftover; }
    // Once the leftover is in its day's file: it is not kept in memory for the rest of the run.
    void forgetLeftover() { m_leftover = {}; }

    // One line as the journal holds it.
    static QByteArray encode(const QDate& date, const QString& line);

    // Every byte of the line or none (a write the disk cuts short is taken back), so that what the
    // journal holds is always whole lines.
    Status append(const QByteArray& encodedLine);
    // Makes the journal hold exactly `bytes` (encoded lines). When it holds the start of them (the
    // lines it took before a write failed), only the rest is appended, so that what it holds stays
    // while the disk is still full. Otherwise it is emptied in place and written anew: see the
    // comment in the definition for why in place.
    Status hold(const QByteArray& bytes);
    Status clear() { return hold(QByteArray()); }

private:
    explicit RecoveryJournal(OwnedFile file)
        : m_file(std::move(file)) {}

    OwnedFile m_file;
    Leftover m_leftover;
};

} // namespace osk
