#include "eventlog/recovery_journal.h"

#include "common/ansi_codec.h"
#include "common/vb.h"

#include <QDir>
#include <utility>

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

Result<RecoveryJournal> RecoveryJournal::open(const QString& path) {
    auto opened = OwnedFile::open(path, OwnedFile::Access::ReadAppend);
    if (!opened)
        return Result<RecoveryJournal>::failure(opened.error());
    // The journal is emptied and rewritten as lines are saved: another file's content, under a
    // second name of the same file, would be taken for lost lines and then destroyed.
    if (opened->hasOtherNames())
        return Result<RecoveryJournal>::failure(
            QStringLiteral("No se puede abrir el archivo %1: tiene otro nombre (un enlace duro).")
                .arg(QDir::toNativeSeparators(path)));
    RecoveryJournal journal(std::move(opened).value());
    const auto bytes = journal.m_file.readFrom(0);
    if (!bytes)
        return Result<RecoveryJournal>::failure(bytes.error());
    if (!bytes->isEmpty())
        journal.m_leftover = parse(*bytes);
    return journal;
}

QByteArray RecoveryJournal::encode(const QDate& date, const QString& line) {
    return AnsiCodec::encode(vb::dateText(date) + QLatin1Char('\t') + line) + kLineEnd;
}

Status RecoveryJournal::append(const QByteArray& encodedLine) {
    return m_file.write(encodedLine);
}

// The journal is emptied in place (truncated through the descriptor it was opened with) rather than
// replaced by a new file renamed over it:
// - emptying needs no room on the disk, and a full disk is when this matters most: a journal that
//   could not be rewritten would keep lines already in the day's file, and a crash would then bring
//   them back there a second time;
// - no name is opened, created or renamed, so a link or a FIFO put in the journal's place since it
//   was opened (without following a link, and refused unless a regular file) is never written
//   through, and its target is left as it was;
// - the journal stays the one file, so nothing is left behind beside it by a crash half way.
// The price: should the process be killed between the truncation and the write that follows, the
// journal loses the lines that follow the saved ones (the few logged while the block was written);
// they are still in memory for the next save if the process lives. A kill at any other moment loses
// nothing, and appends are not synced anyway, so a power cut may lose the latest lines either way.
Status RecoveryJournal::hold(const QByteArray& bytes) {
    const auto held = m_file.readFrom(0);
    if (!held)
        return Status::failure(held.error());
    if (bytes.startsWith(*held))
        return m_file.write(bytes.sliced(held->size()));
    if (Status emptied = m_file.resize(0); !emptied)
        return emptied;
    return m_file.write(bytes);
}

} // namespace osk
