#include "eventlog/event_log.h"

#include "common/ansi_codec.h"
#include "common/clock.h"
#include "common/operator.h"
#include "common/vb.h"
#include "eventlog/recovery_journal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QScopedValueRollback>
#include <utility>

namespace osk {

namespace {
const QByteArray kLineEnd = QByteArrayLiteral("\r\n");

QByteArray line(const QString& text) {
    return AnsiCodec::encode(text) + kLineEnd;
}

// A block opens with an empty line and its BEGIN marker and closes with its END marker and two
// empty lines.
QByteArray blockHead(const QString& date) {
    return kLineEnd + line(QStringLiteral("[BEGIN ") + date + QLatin1Char(']'));
}

QByteArray blockTail(const QString& date) {
    return line(QStringLiteral("[END ") + date + QLatin1Char(']')) + kLineEnd + kLineEnd;
}

void letPendingEventsRun() {
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}
} // namespace

EventLog::EventLog(const Clock& clock, Operator& op, QString programFolder, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
    , m_operator(op)
    , m_programFolder(std::move(programFolder)) {}

EventLog::~EventLog() = default;

void EventLog::AddLog(const QString& text, LogKind kind) {
    const QDateTime now = m_clock.now();
    m_entries.push_back({QLatin1Char('[') + vb::timeText(now.time()) + QStringLiteral("]  ") + text, kind});
    const Status journaled = m_journal ? m_journal->append(now.date(), m_entries.back().text) : Status();
    emit entryAdded(m_entries.back());
    if (!journaled)
        dropJournal(journaled.error());
}

QString EventLog::journalPath() const {
    return QDir(logFolder()).filePath(QLatin1String(RecoveryJournal::kFileName));
}

void EventLog::openJournal() {
    if (!QDir().mkpath(logFolder())) {
        dropJournal(
            QStringLiteral("No se puede crear la carpeta %1.").arg(QDir::toNativeSeparators(logFolder())));
        return;
    }
    m_journal = std::make_unique<RecoveryJournal>(journalPath());
    if (Status opened = m_journal->open(); !opened) {
        dropJournal(opened.error());
        return;
    }
    if (!m_journal->leftover().lines.isEmpty())
        recover();
}

// Nothing has been logged yet, so the journal holds only the earlier run's lines.
void EventLog::recover() {
    const RecoveryJournal::Leftover& leftover = m_journal->leftover();
    const QDate date = leftover.date.isValid() ? leftover.date : m_clock.now().date();
    QByteArray block = blockHead(vb::dateText(date));
    for (const QByteArray& bytes : leftover.lines)
        block += bytes + kLineEnd;
    block += blockTail(vb::dateText(date));

    QFile file(QDir(logFolder()).filePath(vb::compactDateText(date) + QStringLiteral(".log")));
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Append) &&
                         file.write(block) == block.size() && file.flush();
    if (!written) {
        // The journal stays as it is, for a later start to try again; this run goes without one.
        m_journal.reset();
        AddLog(
            QStringLiteral("No se han podido recuperar las líneas del registro de una ejecución anterior: ") +
                file.errorString(),
            LogKind::Error);
        return;
    }
    file.close();
    const qsizetype count = leftover.lines.size();
    if (Status emptied = m_journal->clear(); !emptied)
        dropJournal(emptied.error());
    AddLog(QStringLiteral("Se han recuperado %1 líneas del registro de una ejecución anterior.").arg(count),
           LogKind::Error);
}

void EventLog::dropJournal(const QString& reason) {
    m_journal.reset();
    AddLog(QStringLiteral("El diario de recuperación del registro no está disponible: ") + reason,
           LogKind::Error);
}

QString EventLog::logFolder() const {
    return QDir(m_programFolder).filePath(QStringLiteral("Log"));
}

Status EventLog::save() {
    // Events run between the lines of a save, and one of them may ask for another save. Nested, it
    // would drop from the journal lines the outer save has not written; it runs after it instead.
    if (m_saving) {
        m_saveAgain = true;
        return {};
    }
    Status saved = saveOnce();
    while (saved && std::exchange(m_saveAgain, false))
        saved = saveOnce();
    m_saveAgain = false;
    return saved;
}

Status EventLog::saveOnce() {
    const QScopedValueRollback saving(m_saving, true);
    m_operator.setBusy(true);
    Status result = [this]() -> Status {
        if (!QDir().mkpath(logFolder()))
            return Status::failure(QStringLiteral("No se puede crear la carpeta %1.")
                                       .arg(QDir::toNativeSeparators(logFolder())));
        AddLog(QStringLiteral("Guardando registro de sucesos..."), LogKind::Done);
        const QDate today = m_clock.now().date();
        const QString path = QDir(logFolder()).filePath(vb::compactDateText(today) + QStringLiteral(".log"));
        // The journal up to here holds exactly the lines the block is about to write.
        const qint64 journaled = m_journal ? m_journal->mark() : 0;
        Status written = writeBlock(path, vb::dateText(today));
        if (written && m_journal) {
            if (Status dropped = m_journal->dropBefore(journaled); !dropped)
                dropJournal(dropped.error());
        }
        if (written)
            AddLog(QDir::toNativeSeparators(path) + QStringLiteral(" creado con éxito."), LogKind::Done);
        return written;
    }();
    m_operator.setBusy(false);
    if (!result)
        m_operator.showMessage(QStringLiteral("No se ha podido guardar el registro.\n") + result.error(),
                               MessageIcon::None, kDefaultTitle);
    return result;
}

Status EventLog::saveAtExit() {
    Status saved = save();
    if (saved && m_journal) {
        // Should emptying fail, the next start recovers lines already saved: repeated, not lost.
        (void)m_journal->clear();
        m_journal.reset();
    }
    return saved;
}

// Appends one block. Lines logged while the block is written (the events that run between lines)
// are not part of it; they stay in the list for the next save.
Status EventLog::writeBlock(const QString& path, const QString& date) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return Status::failure(file.errorString());
    const auto fail = [&file] {
        return Status::failure(file.errorString());
    };

    if (file.write(blockHead(date)) < 0)
        return fail();
    const size_t count = m_entries.size();
    for (size_t i = 0; i < count; ++i) {
        if (file.write(line(m_entries[i].text)) < 0)
            return fail();
        letPendingEventsRun();
    }
    if (file.write(blockTail(date)) < 0)
        return fail();
    if (!file.flush())
        return fail();
    file.close();
    if (file.error() != QFileDevice::NoError)
        return fail();
    return {};
}

} // namespace osk
