#pragma once

#include "common/result.h"

#include <QByteArray>
#include <QDate>
#include <QFile>
#include <QList>
#include <QString>

namespace osk {

// The event-log lines not yet saved, kept on disk one line at a time so that a crash or a kill
// loses none of them. One journal per program folder: Log/eventlog.journal, Windows-1252, lines
// ended by CR LF, each "DD/MM/YYYY" + TAB + the line as shown, since the shown line holds only the
// time. Every line is handed to the system as it is appended; none waits in a buffer.
class RecoveryJournal final {
    Q_DISABLE_COPY_MOVE(RecoveryJournal)

public:
    static constexpr const char* kFileName = "eventlog.journal";

    // What a run that did not end cleanly left behind: the date of its first line and its lines
    // as they are to appear in the daily file.
    struct Leftover {
        QDate date;
        QList<QByteArray> lines;
    };

    explicit RecoveryJournal(QString path);

    // Opens the journal, creating it if absent, and reads what it already holds.
    Status open();
    const Leftover& leftover() const { return m_leftover; }

    Status append(const QDate& date, const QString& line);
    // The size of the journal: a mark for dropping what was appended before it.
    qint64 mark() const { return m_file.size(); }
    // Drops every line appended before the mark and keeps the later ones. The later ones are
    // written to a new file that replaces the journal whole, so a crash meanwhile loses no line.
    Status dropBefore(qint64 mark);
    Status clear() { return dropBefore(mark()); }

private:
    Status failure() const { return Status::failure(m_file.errorString()); }

    QString m_path;
    QFile m_file;
    Leftover m_leftover;
};

} // namespace osk
