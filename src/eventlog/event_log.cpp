#include "eventlog/event_log.h"

#include "common/ansi_codec.h"
#include "common/clock.h"
#include "common/operator.h"
#include "common/owned_file.h"
#include "common/vb.h"
#include "eventlog/recovery_journal.h"

#include <QCoreApplication>
#include <QDir>
#include <QScopedValueRollback>
#include <algorithm>
#include <chrono>
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

// Every byte or none: a write the disk cuts short is taken back (OwnedFile::write).
Status appendWhole(const QString& path, const QByteArray& bytes) {
    auto opened = OwnedFile::open(path, OwnedFile::Access::Append);
    if (!opened)
        return Status::failure(opened.error());
    OwnedFile file = std::move(opened).value();
    return file.write(bytes);
}
} // namespace

EventLog::EventLog(const Clock& clock, Operator& op, QString programFolder, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
    , m_operator(op)
    , m_programFolder(std::move(programFolder)) {
    m_midnight.setSingleShot(true);
    connect(&m_midnight, &QTimer::timeout, this, [this] {
        (void)rollOver(m_clock.now().date(), PendingEvents::Run);
        armMidnightTimer();
    });
    armMidnightTimer();
    m_saveHeld.setSingleShot(true);
    connect(&m_saveHeld, &QTimer::timeout, this, &EventLog::saveHeldLines);
}

void EventLog::armMidnightTimer() {
    // Just after the next midnight by the program's clock; a failed roll-over is tried again
    // within a minute.
    constexpr qint64 kRetryMs = 60 * 1000;
    const QDateTime now = m_clock.now();
    const qint64 untilMidnight = now.msecsTo(QDateTime(now.date().addDays(1), QTime(0, 0, 1)));
    m_midnight.start(std::chrono::milliseconds(
        std::clamp<qint64>(untilMidnight, 1000, m_rollOverFailed ? kRetryMs : untilMidnight)));
}

EventLog::~EventLog() = default;

void EventLog::AddLog(const QString& text, LogKind kind) {
    const QDateTime now = m_clock.now();
    // In the middle of whatever handler logs: events that ran between the lines of the day's block
    // would run that handler's code again inside itself.
    if (!m_rollOverFailed)
        (void)rollOver(now.date(), PendingEvents::Wait);
    if (m_entries.empty())
        m_day = now.date();
    m_entries.push_back({QLatin1Char('[') + vb::timeText(now.time()) + QStringLiteral("]  ") + text, kind});
    m_dates.push_back(now.date());
    m_heldCharacters += m_entries.back().text.size();
    const Status journaled =
        m_journalState == JournalState::Up
            ? m_journal->append(RecoveryJournal::encode(now.date(), m_entries.back().text))
            : Status();
    emit entryAdded(m_entries.back());
    if (!journaled)
        dropJournal(journaled.error());
    else if (m_journalState == JournalState::Down && !m_saving && journalRetryDue(now))
        // Not while a block is written: the journal's own try may write an earlier run's lines to
        // the same day's file. The try writes this line too.
        bringJournalUp(false);
    // Saved from the event loop, where the lines of a block may let events run between them; a
    // save that failed is tried again when its timer says.
    if (holdsTooMuch() && !m_saveHeld.isActive())
        m_saveHeld.start(0);
}

bool EventLog::holdsTooMuch() const {
    return m_entries.size() > kMaxHeldLines || m_heldCharacters > kMaxHeldCharacters;
}

void EventLog::saveHeldLines() {
    constexpr int kRetryMs = 60 * 1000;
    if (m_saving) {
        // A save is writing these lines by index; the bound is looked at again after it.
        m_saveHeld.start(0);
        return;
    }
    if (!holdsTooMuch())
        return;
    if (Status saved = saveDay(m_day, PendingEvents::Run); !saved) {
        // The lines stay in memory and in the journal, nothing is lost.
        m_saveHeld.start(kRetryMs);
        AddLog(QStringLiteral("No se ha podido guardar el registro del %1: %2")
                   .arg(vb::dateText(m_day), saved.error()),
               LogKind::Error);
        return;
    }
    // What was logged while the block was written may be past the bound already.
    if (holdsTooMuch())
        m_saveHeld.start(0);
}

Status EventLog::rollOver(const QDate& today, PendingEvents pending) {
    // A save in progress writes the list by index; the next line or tick rolls over after it.
    if (m_saving)
        return {};
    // After a failed roll-over more than one day is held: each day's lines go to that day's file,
    // and today's stay.
    while (!m_entries.empty() && m_day.isValid() && m_day < today) {
        const QDate day = m_day;
        if (Status saved = saveDay(day, pending); !saved) {
            // The lines stay in memory and in the journal, nothing is lost; the timer tries again.
            m_rollOverFailed = true;
            armMidnightTimer();
            AddLog(QStringLiteral("No se ha podido guardar el registro del %1: %2")
                       .arg(vb::dateText(day), saved.error()),
                   LogKind::Error);
            return saved;
        }
    }
    m_rollOverFailed = false;
    if (std::exchange(m_saveAgain, false))
        (void)save();
    return {};
}

// Writes the lines in memory of `day` and before as a block of the day's file and lets them go.
Status EventLog::saveDay(const QDate& day, PendingEvents pending) {
    const QScopedValueRollback saving(m_saving, true);
    if (!QDir().mkpath(logFolder()))
        return Status::failure(
            QStringLiteral("No se puede crear la carpeta %1.").arg(QDir::toNativeSeparators(logFolder())));
    const QString path = dayFilePath(day);
    const size_t count = size_t(
        std::find_if(m_dates.begin(), m_dates.end(), [&day](const QDate& date) { return date > day; }) -
        m_dates.begin());
    if (Status written = writeBlock(path, vb::dateText(day), count, pending); !written)
        return written;
    // Lines logged while the block was written are not in it and stay.
    for (size_t i = 0; i < count; ++i)
        m_heldCharacters -= m_entries[i].text.size();
    m_entries.erase(m_entries.begin(), m_entries.begin() + qsizetype(count));
    m_dates.erase(m_dates.begin(), m_dates.begin() + qsizetype(count));
    if (!m_dates.empty())
        m_day = m_dates.front();
    m_unsaved -= std::min(m_unsaved, count);
    journalAfterSave();
    return {};
}

QString EventLog::journalPath() const {
    return QDir(logFolder()).filePath(QLatin1String(RecoveryJournal::kFileName));
}

void EventLog::openJournal() {
    bringJournalUp(true);
}

void EventLog::bringJournalUp(bool first) {
    m_journalState = JournalState::Down;
    m_journalTried = m_clock.now();
    if (Status opened = openJournalFile(); !opened) {
        if (first)
            dropJournal(opened.error());
        return;
    }
    qsizetype recovered = -1;
    if (m_leftoverPending) {
        const qsizetype count = m_journal->leftover().lines.size();
        if (Status written = recoverLeftover(); !written) {
            // The journal stays as it is, for a later try or a later start; this run goes without
            // one meanwhile.
            if (first)
                AddLog(QStringLiteral(
                           "No se han podido recuperar las líneas del registro de una ejecución anterior: ") +
                           written.error(),
                       LogKind::Error);
            return;
        }
        recovered = count;
    }
    if (Status held = m_journal->hold(unsavedLines()); !held) {
        if (first)
            dropJournal(held.error());
    } else {
        m_journalState = JournalState::Up;
        if (!first)
            AddLog(QStringLiteral("El diario de recuperación del registro vuelve a estar disponible."),
                   LogKind::Info);
    }
    if (recovered >= 0)
        AddLog(QStringLiteral("Se han recuperado %1 líneas del registro de una ejecución anterior.")
                   .arg(recovered),
               LogKind::Error);
}

// A descriptor kept from before is used as it is: the lines it holds are the journal's.
Status EventLog::openJournalFile() {
    if (m_journal)
        return {};
    if (!QDir().mkpath(logFolder()))
        return Status::failure(
            QStringLiteral("No se puede crear la carpeta %1.").arg(QDir::toNativeSeparators(logFolder())));
    auto opened = RecoveryJournal::open(journalPath());
    if (!opened)
        return Status::failure(opened.error());
    m_journal = std::make_unique<RecoveryJournal>(std::move(opened).value());
    // This run has written nothing to it: what it holds is an earlier run's.
    m_leftoverPending = !m_journal->leftover().lines.isEmpty();
    return {};
}

// To the daily file of the first line's date, as a block of its own.
Status EventLog::recoverLeftover() {
    const RecoveryJournal::Leftover& leftover = m_journal->leftover();
    const QDate date = leftover.date.isValid() ? leftover.date : m_clock.now().date();
    QByteArray block = blockHead(vb::dateText(date));
    for (const QByteArray& bytes : leftover.lines)
        block += bytes + kLineEnd;
    block += blockTail(vb::dateText(date));
    const QString path = dayFilePath(date);
    if (Status written = appendWhole(path, block); !written)
        return written;
    m_journal->forgetLeftover();
    m_leftoverPending = false;
    return {};
}

void EventLog::journalAfterSave() {
    if (m_journalState == JournalState::Up) {
        if (Status held = m_journal->hold(unsavedLines()); !held)
            dropJournal(held.error());
    } else if (m_journalState == JournalState::Down) {
        bringJournalUp(false);
    }
}

bool EventLog::journalRetryDue(const QDateTime& now) const {
    // Either way: a clock set back does not put the next try off.
    return !m_journalTried.isValid() || qAbs(m_journalTried.secsTo(now)) >= kJournalRetrySeconds;
}

QByteArray EventLog::unsavedLines() const {
    QByteArray bytes;
    for (size_t i = m_unsaved; i < m_entries.size(); ++i)
        bytes += RecoveryJournal::encode(m_dates[i], m_entries[i].text);
    return bytes;
}

void EventLog::dropJournal(const QString& reason) {
    m_journalState = JournalState::Down;
    m_journalTried = m_clock.now();
    AddLog(QStringLiteral("El diario de recuperación del registro no está disponible: ") + reason,
           LogKind::Error);
}

QString EventLog::logFolder() const {
    return QDir(m_programFolder).filePath(QStringLiteral("Log"));
}

QString EventLog::dayFilePath(const QDate& day) const {
    return QDir(logFolder()).filePath(vb::compactDateText(day) + QStringLiteral(".log"));
}

Status EventLog::save() {
    // Events run between the lines of a save, and one of them may ask for another save. Nested, it
    // would drop from the journal lines the outer save has not written; it runs after it instead.
    if (m_saving) {
        m_saveAgain = true;
        return {};
    }
    // An earlier day's lines go to their own day's file, not into today's block: while they
    // cannot, nothing is written under today's date.
    if (Status rolled = rollOver(m_clock.now().date(), PendingEvents::Run); !rolled) {
        m_operator.showMessage(QStringLiteral("No se ha podido guardar el registro.\n") + rolled.error(),
                               MessageIcon::None, kDefaultTitle);
        return rolled;
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
        // The block holds the lines up to here; those logged while it is written wait for the next.
        const size_t count = m_entries.size();
        Status written = writeBlock(path, vb::dateText(today), count, PendingEvents::Run);
        if (written) {
            m_unsaved = count;
            journalAfterSave();
            AddLog(QDir::toNativeSeparators(path) + QStringLiteral(" creado con éxito."), LogKind::Done);
        }
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
    if (!saved) {
        // The journal is all the next start will have: one last try at bringing it back.
        if (m_journalState == JournalState::Down)
            bringJournalUp(false);
        return saved;
    }
    // Even when it went down: it may still hold lines that are now in the day's file. An earlier
    // run's lines not yet recovered stay in it for the next start.
    if (m_journal && !m_leftoverPending) {
        // Should emptying fail, the next start recovers lines already saved: repeated, not lost.
        (void)m_journal->clear();
    }
    m_journal.reset();
    m_journalState = JournalState::Closed;
    return saved;
}

// Appends one block of the first `count` lines. Lines logged while the block is written (the events
// that run between lines) are not part of it; they stay in the list for the next save. A block that
// fails half way is taken back whole, so the next try does not write its first lines twice.
Status EventLog::writeBlock(const QString& path, const QString& date, size_t count, PendingEvents pending) {
    auto opened = OwnedFile::open(path, OwnedFile::Access::Append);
    if (!opened)
        return Status::failure(opened.error());
    OwnedFile file = std::move(opened).value();
    const auto before = file.size();
    if (!before)
        return Status::failure(before.error());
    const auto takeBack = [&](Status failed) {
        (void)file.resize(*before);
        return failed;
    };

    // Handed to the system in pieces of some 64 KiB, not a call per line.
    constexpr qsizetype kPiece = 64 * 1024;
    QByteArray piece = blockHead(date);
    // Events run after the first line and then every kLinesBetweenEvents: a pass of the event loop
    // may log more than one line (a burst of connections does), and a save that wrote one line a
    // pass would never catch up with them.
    constexpr size_t kLinesBetweenEvents = 1024;
    for (size_t i = 0; i < count; ++i) {
        piece += line(m_entries[i].text);
        if (piece.size() >= kPiece) {
            if (Status written = file.write(piece); !written)
                return takeBack(written);
            piece.clear();
        }
        if (pending == PendingEvents::Run && i % kLinesBetweenEvents == 0)
            letPendingEventsRun();
    }
    piece += blockTail(date);
    if (Status written = file.write(piece); !written)
        return takeBack(written);
    return {};
}

} // namespace osk
