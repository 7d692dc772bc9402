#include "eventlog/recovery_journal.h"

#include "common/ansi_codec.h"
#include "common/vb.h"

#include <QSaveFile>

namespace osk {

namespace {
const QByteArray kLineEnd = QByteArrayLiteral("\r\n");
constexpr qsizetype kDateLength = 10; // "DD/MM/YYYY"

// A line that does not start with a date and a TAB is the rest of a logged text that held a line
// break of its own; it is kept whole, as the daily file would have it.
RecoveryJournal::Leftover parse(const QByteArray& bytes) {
    RecoveryJournal::Leftover leftover;
    QList<QByteArray> lines = bytes.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast(); // the end of the last line; a line cut short by a crash stays
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        const QDate date = line.size() > kDateLength && line[kDateLength] == '\t'
                               ? QDate::fromString(QString::fromLatin1(line.left(kDateLength)), u"dd/MM/yyyy")
                               : QDate();
        if (date.isValid()) {
            line.remove(0, kDateLength + 1);
            if (!leftover.date.isValid())
                leftover.date = date;
        }
        leftover.lines << line;
    }
    return leftover;
}
} // namespace

RecoveryJournal::RecoveryJournal(QString path)
    : m_path(std::move(path))
    , m_file(m_path) {}

Status RecoveryJournal::open() {
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::Append))
        return failure();
    // A device in the journal's place holds no lines (and reading it might never end).
    if (m_file.isSequential())
        return {};
    if (!m_file.seek(0))
        return failure();
    const QByteArray bytes = m_file.read(m_file.size());
    if (m_file.error() != QFileDevice::NoError)
        return failure();
    if (!bytes.isEmpty())
        m_leftover = parse(bytes);
    return {};
}

Status RecoveryJournal::append(const QDate& date, const QString& line) {
    const QByteArray bytes = AnsiCodec::encode(vb::dateText(date) + QLatin1Char('\t') + line) + kLineEnd;
    if (m_file.write(bytes) != bytes.size() || !m_file.flush())
        return failure();
    return {};
}

Status RecoveryJournal::dropBefore(qint64 mark) {
    if (mark >= m_file.size()) {
        if (!m_file.resize(0))
            return failure();
        return {};
    }
    if (!m_file.seek(mark))
        return failure();
    const QByteArray later = m_file.read(m_file.size() - mark);
    if (m_file.error() != QFileDevice::NoError)
        return failure();
    QSaveFile replacement(m_path);
    if (!replacement.open(QIODevice::WriteOnly) || replacement.write(later) != later.size() ||
        !replacement.commit())
        return Status::failure(replacement.errorString());
    // The name now points at the new file; the old one is gone.
    m_file.close();
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::Append))
        return failure();
    return {};
}

} // namespace osk
