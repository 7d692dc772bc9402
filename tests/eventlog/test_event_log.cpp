#include "common/ansi_codec.h"
#include "common/operator.h"
#include "eventlog/event_log.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDir>
#include <QFile>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace osk;
using namespace osk::test;

namespace {

QDateTime at(int day, int hour, int minute, int second) {
    return QDateTime(QDate(2026, 12, day), QTime(hour, minute, second));
}

// One saved block as the daily file holds it.
QByteArray block(const QByteArray& date, const QList<QByteArray>& lines) {
    QByteArray bytes = "\r\n[BEGIN " + date + "]\r\n";
    for (const QByteArray& line : lines)
        bytes += line + "\r\n";
    return bytes + "[END " + date + "]\r\n\r\n\r\n";
}

struct Fixture {
    TempProgramFolder folder;
    FakeClock clock; // 04/12/2026 09:05:17
    ScriptedOperator op;
    EventLog log{clock, op, folder.path()};

    QString path(const QString& name) const { return folder.file(QStringLiteral("Log/") + name); }
    QByteArray file(const QString& name) const { return readFileBytes(path(name)); }
    QByteArray journal() const { return readFileBytes(log.journalPath()); }
    // The save's report line, without its time, as the file holds it.
    QByteArray created(const QString& name) const {
        return "  " + QFile::encodeName(QDir::toNativeSeparators(path(name))) + " creado con \xE9xito.";
    }
    // The lines in memory from `from` on, as the daily file holds them.
    QList<QByteArray> lines(size_t from = 0, size_t to = size_t(-1)) const {
        QList<QByteArray> bytes;
        for (size_t i = from; i < std::min(to, log.entries().size()); ++i)
            bytes << AnsiCodec::encode(log.entries()[i].text);
        return bytes;
    }
    // The same lines as the journal holds them: all of this test's are of its one day.
    QByteArray journaled(size_t from = 0) const {
        QByteArray bytes;
        for (const QByteArray& line : lines(from))
            bytes += "04/12/2026\t" + line + "\r\n";
        return bytes;
    }
    qsizetype count(const QString& text) const {
        const auto& entries = log.entries();
        return std::count_if(entries.begin(), entries.end(),
                             [&](const LogEntry& entry) { return entry.text.contains(text); });
    }
};

// A file that waits for ever kills the test within its time instead of hanging it.
class Watchdog final {
public:
    explicit Watchdog(unsigned seconds) { ::alarm(seconds); }
    ~Watchdog() { ::alarm(0); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
};

const QString kJournalDown = QStringLiteral("El diario de recuperación del registro no está disponible: ");
const QString kJournalBack =
    QStringLiteral("El diario de recuperación del registro vuelve a estar disponible.");

} // namespace

class TestEventLog final : public QObject {
    Q_OBJECT

private slots:
    void midnightSendsTheDayToItsOwnFile();
    void requestDuringASaveFollowsIt_data();
    void requestDuringASaveFollowsIt();
    void failedSaveTellsTheOperator();
    void leftoverJournalIsRecoveredToItsDay();
    void linesPastTheBoundAreSavedAsABlock_data();
    void linesPastTheBoundAreSavedAsABlock();
    void boundSaveThatFailsKeepsTheLinesAndSaysSoOnce();
    void newDayInsideAddLogRunsNoOtherEvent();
    void journalThatIsAFifoIsRefusedAndTheLogGoesOn();
    void journalLinkIsRefusedAndItsTargetLeftAlone_data();
    void journalLinkIsRefusedAndItsTargetLeftAlone();
    void linkPutInTheJournalsPlaceIsNeverWrittenThrough();
    void daysFileThatIsNotARegularFileIsRefused_data();
    void daysFileThatIsNotARegularFileIsRefused();
    void fullDiskKeepsTheLinesAndTheJournalComesBack();
    void journalBackAfterASaveHoldsNoSavedLine();
    void leftoverNotRecoveredOnAFullDiskIsRecoveredLater();
    void leftoverThatCannotBeRecoveredOutlivesTheRun();
    void blockCutShortAfterItsFirstPiecesIsTakenBackWhole();
};

// A line logged while the old day's block is written belongs to the new day and stays; the next
// day's lines roll the day before over, and lines of one day never do.
void TestEventLog::midnightSendsTheDayToItsOwnFile() {
    Fixture f;
    f.clock.set(at(4, 23, 59, 58));
    f.log.openJournal();
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    f.clock.set(at(5, 0, 0, 3));
    QTimer::singleShot(0, &f.log, [&] { f.log.AddLog(QStringLiteral("Conexión aceptada."), LogKind::Info); });

    QVERIFY(f.log.save().ok());

    QCOMPARE(f.file(QStringLiteral("04122026.log")), block("04/12/2026", {"[23:59:58]  Servidor activo."}));
    const QByteArray fifth = block(
        "05/12/2026", {"[00:00:03]  Conexi\xF3n aceptada.", "[00:00:03]  Guardando registro de sucesos..."});
    QCOMPARE(f.file(QStringLiteral("05122026.log")), fifth);

    f.clock.set(at(6, 0, 0, 1));
    f.log.AddLog(QStringLiteral("Esperando conexiones..."), LogKind::Info);
    f.log.AddLog(QStringLiteral("Conexión cerrada."), LogKind::Info);
    QCOMPARE(f.log.entries().size(), size_t(2));
    QCOMPARE(f.journal(), QByteArray("06/12/2026\t[00:00:01]  Esperando conexiones...\r\n"
                                     "06/12/2026\t[00:00:01]  Conexi\xF3n cerrada.\r\n"));
}

void TestEventLog::requestDuringASaveFollowsIt_data() {
    QTest::addColumn<bool>("save");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("journal");

    const QByteArray first =
        block("04/12/2026", {"[09:05:17]  Servidor activo.", "[09:05:17]  Guardando registro de sucesos..."});
    // A line logged meanwhile waits for the next save, in memory and in the journal.
    QTest::newRow("a line") << false << first
                            << QByteArray("04/12/2026\t[09:05:17]  Conexi\xF3n aceptada.\r\n"
                                          "04/12/2026\t[09:05:17]<created>\r\n");
    // A second save runs after the first, never inside it.
    QTest::newRow("a save") << true
                            << first + block("04/12/2026", {"[09:05:17]  Servidor activo.",
                                                            "[09:05:17]  Guardando registro de sucesos...",
                                                            "[09:05:17]<created>",
                                                            "[09:05:17]  Guardando registro de sucesos..."})
                            << QByteArray("04/12/2026\t[09:05:17]<created>\r\n");
}

// The request comes between two written lines, as a socket event or a menu item would.
void TestEventLog::requestDuringASaveFollowsIt() {
    QFETCH(bool, save);
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, journal);

    Fixture f;
    f.log.openJournal();
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    QTimer::singleShot(0, &f.log, [&] {
        if (save)
            QVERIFY(f.log.save().ok());
        else
            f.log.AddLog(QStringLiteral("Conexión aceptada."), LogKind::Info);
    });

    QVERIFY(f.log.save().ok());

    const QByteArray created = f.created(QStringLiteral("04122026.log"));
    QCOMPARE(f.file(QStringLiteral("04122026.log")), file.replace("<created>", created));
    QCOMPARE(f.journal(), journal.replace("<created>", created));
}

void TestEventLog::failedSaveTellsTheOperator() {
    Fixture f;
    QVERIFY(writeFileBytes(f.folder.file(QStringLiteral("Log")), "not a folder"));

    QVERIFY(!f.log.save().ok());

    QCOMPARE(f.op.messages.size(), size_t(1));
    QCOMPARE(f.op.messages[0].text,
             QStringLiteral("No se ha podido guardar el registro.\nNo se puede crear la carpeta ") +
                 f.folder.file(QStringLiteral("Log")) + QLatin1Char('.'));
}

// What a killed run left goes to the file of its own date as a block of its own; a clean end
// leaves nothing for the next start.
void TestEventLog::leftoverJournalIsRecoveredToItsDay() {
    Fixture f;
    QVERIFY(QDir().mkpath(f.path(QString())));
    const QByteArray earlier = block("03/12/2026", {"[08:00:00]  Servidor activo."});
    QVERIFY(writeFileBytes(f.path(QStringLiteral("03122026.log")), earlier));
    QVERIFY(writeFileBytes(f.log.journalPath(),
                           "03/12/2026\t[22:10:00]  Validado usuario [ana] en [S\xCD].\r\n"
                           "03/12/2026\t[22:10:05]  Conexi\xF3n err\xF3nea.\r\n"));

    f.log.openJournal();

    QCOMPARE(f.file(QStringLiteral("03122026.log")),
             earlier + block("03/12/2026", {"[22:10:00]  Validado usuario [ana] en [S\xCD].",
                                            "[22:10:05]  Conexi\xF3n err\xF3nea."}));
    QVERIFY(!QFile::exists(f.path(QStringLiteral("04122026.log"))));
    QCOMPARE(f.log.entries().size(), size_t(1));
    QCOMPARE(
        f.log.entries()[0].text,
        QStringLiteral("[09:05:17]  Se han recuperado 2 líneas del registro de una ejecución anterior."));
    QCOMPARE(f.log.entries()[0].kind, LogKind::Error);

    QVERIFY(f.log.saveAtExit().ok());
    QCOMPARE(f.journal(), QByteArray());
    ScriptedOperator op;
    EventLog next(f.clock, op, f.folder.path());
    next.openJournal();
    QCOMPARE(next.entries().size(), size_t(0));
}

void TestEventLog::linesPastTheBoundAreSavedAsABlock_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("heldAtMost");
    // 50,000 lines, or 8 MiB of text as it is held (4 Mi characters): 4,144 lines of 1,012
    // characters fit, 4,145 do not.
    QTest::newRow("lines") << QStringLiteral("Recibiendo petición de conexión...") << 50000;
    QTest::newRow("characters") << QString(1000, u'x') << 4144;
}

// Past the bound the lines held go to the day's file as a block of their own and leave memory and
// the journal; the lines after them wait for the next save, which writes only them.
void TestEventLog::linesPastTheBoundAreSavedAsABlock() {
    QFETCH(QString, text);
    QFETCH(int, heldAtMost);
    Fixture f;
    f.log.openJournal();
    for (int i = 0; i < heldAtMost; ++i)
        f.log.AddLog(text, LogKind::Info);
    QTest::qWait(50);
    QCOMPARE(f.log.entries().size(), size_t(heldAtMost));
    QVERIFY(!QFile::exists(f.path(QStringLiteral("04122026.log"))));

    f.log.AddLog(text, LogKind::Info);
    QTRY_COMPARE(f.log.entries().size(), size_t(0));
    const QByteArray line = "[09:05:17]  " + text.toLatin1();
    QByteArray expected = "\r\n[BEGIN 04/12/2026]\r\n";
    for (int i = 0; i <= heldAtMost; ++i)
        expected += line + "\r\n";
    expected += "[END 04/12/2026]\r\n\r\n\r\n";
    QCOMPARE(f.file(QStringLiteral("04122026.log")), expected);
    QCOMPARE(f.journal(), QByteArray());

    // The count starts again from the block: the next line is held, not saved on its own.
    f.log.AddLog(QStringLiteral("Servidor inactivo."), LogKind::Done);
    QTest::qWait(50);
    QCOMPARE(f.log.entries().size(), size_t(1));
    QCOMPARE(f.file(QStringLiteral("04122026.log")), expected);
    QVERIFY(f.log.save().ok());
    QCOMPARE(f.file(QStringLiteral("04122026.log")),
             expected + block("04/12/2026", {"[09:05:17]  Servidor inactivo.",
                                             "[09:05:17]  Guardando registro de sucesos..."}));
}

// A block that cannot be written leaves every line where it was, and the failure is one line, not
// one per line logged after it.
void TestEventLog::boundSaveThatFailsKeepsTheLinesAndSaysSoOnce() {
    Fixture f;
    QVERIFY(writeFileBytes(f.folder.file(QStringLiteral("Log")), "not a folder"));
    for (int i = 0; i < 50005; ++i)
        f.log.AddLog(QStringLiteral("Conexión aceptada. Esperando inicio de sesión..."), LogKind::Done);
    QTest::qWait(100);
    f.log.AddLog(QStringLiteral("Servidor inactivo."), LogKind::Done);
    QTest::qWait(100);

    const QString failure = QStringLiteral("[09:05:17]  No se ha podido guardar el registro del 04/12/2026: "
                                           "No se puede crear la carpeta %1.")
                                .arg(f.folder.file(QStringLiteral("Log")));
    const auto& entries = f.log.entries();
    QCOMPARE(std::count_if(entries.begin(), entries.end(),
                           [&](const LogEntry& entry) { return entry.text == failure; }),
             1);
    QCOMPARE(entries.size(), size_t(50007));
    QCOMPARE(entries.back().text, QStringLiteral("[09:05:17]  Servidor inactivo."));
}

// The first line of a new day sends the day before to its file from inside whatever handler logs
// it; another event run meanwhile would run that handler's code again inside itself.
void TestEventLog::newDayInsideAddLogRunsNoOtherEvent() {
    Fixture f;
    f.clock.set(at(4, 23, 59, 58));
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    f.clock.set(at(5, 0, 0, 3));
    bool ran = false;
    QTimer::singleShot(0, &f.log, [&] { ran = true; });

    f.log.AddLog(QStringLiteral("Conexión aceptada."), LogKind::Info);

    QVERIFY(!ran);
    QCOMPARE(f.file(QStringLiteral("04122026.log")), block("04/12/2026", {"[23:59:58]  Servidor activo."}));
    QCOMPARE(f.log.entries().size(), size_t(1));
    QTRY_VERIFY(ran);
}

// A FIFO in the journal's place took every line until its 64 KiB were full, then froze the whole
// program on the next one. It is refused, once, naming it; the lines still reach the day's file.
void TestEventLog::journalThatIsAFifoIsRefusedAndTheLogGoesOn() {
    const Watchdog watchdog(60);
    Fixture f;
    QVERIFY(QDir().mkpath(f.path(QString())));
    QCOMPARE(::mkfifo(QFile::encodeName(f.log.journalPath()).constData(), 0600), 0);

    f.log.openJournal();
    for (int i = 0; i < 2000; ++i) // some 200 KiB
        f.log.AddLog(QStringLiteral("Conexión aceptada. Esperando inicio de sesión... %1").arg(i),
                     LogKind::Info);
    f.clock.advanceSeconds(EventLog::kJournalRetrySeconds + 1);
    f.log.AddLog(QStringLiteral("Servidor inactivo."), LogKind::Done); // tried again, refused again

    const QString refusal =
        kJournalDown +
        QStringLiteral("No se puede abrir el archivo %1: no es un archivo normal.").arg(f.log.journalPath());
    QCOMPARE(f.log.entries()[0].text, QStringLiteral("[09:05:17]  ") + refusal);
    QCOMPARE(f.log.entries()[0].kind, LogKind::Error);
    QCOMPARE(f.count(kJournalDown), 1);
    QVERIFY(f.log.saveAtExit().ok());
    QCOMPARE(f.file(QStringLiteral("04122026.log")),
             block("04/12/2026", f.lines(0, f.log.entries().size() - 1)));
    struct stat status {};
    QCOMPARE(::lstat(QFile::encodeName(f.log.journalPath()).constData(), &status), 0);
    QVERIFY(S_ISFIFO(status.st_mode));
}

// Lines that look like a killed run's, behind a link in the journal's place: never recovered into
// the log, never emptied.
void TestEventLog::journalLinkIsRefusedAndItsTargetLeftAlone_data() {
    QTest::addColumn<bool>("symbolic");
    QTest::addColumn<QString>("reason");
    QTest::newRow("symbolic link") << true << QStringLiteral("es un enlace simbólico.");
    QTest::newRow("hard link") << false << QStringLiteral("tiene otro nombre (un enlace duro).");
}
void TestEventLog::journalLinkIsRefusedAndItsTargetLeftAlone() {
    QFETCH(bool, symbolic);
    QFETCH(QString, reason);
    Fixture f;
    QVERIFY(QDir().mkpath(f.path(QString())));
    const QByteArray precious = "03/12/2026\t[22:10:00]  no es del registro\r\notra l\xEDnea\r\n";
    const QString target = f.folder.file(QStringLiteral("precioso.txt"));
    QVERIFY(writeFileBytes(target, precious));
    if (symbolic)
        QVERIFY(QFile::link(target, f.log.journalPath()));
    else
        QCOMPARE(
            ::link(QFile::encodeName(target).constData(), QFile::encodeName(f.log.journalPath()).constData()),
            0);

    f.log.openJournal();
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    QVERIFY(f.log.save().ok());
    f.clock.advanceSeconds(EventLog::kJournalRetrySeconds + 1);
    f.log.AddLog(QStringLiteral("Servidor inactivo."), LogKind::Done);
    QVERIFY(f.log.saveAtExit().ok());

    QCOMPARE(f.log.entries()[0].text,
             QStringLiteral("[09:05:17]  ") + kJournalDown +
                 QStringLiteral("No se puede abrir el archivo %1: %2").arg(f.log.journalPath(), reason));
    QCOMPARE(f.count(kJournalDown), 1);
    QCOMPARE(readFileBytes(target), precious);
    QVERIFY(QFileInfo(f.log.journalPath()).isSymLink() == symbolic);
    QVERIFY(!f.file(QStringLiteral("04122026.log")).contains("no es del registro"));
    QVERIFY(!QFile::exists(f.path(QStringLiteral("03122026.log"))));
}

// The journal opened, then a link put in its place while the program runs: what the journal does
// after a save (it lets go of the saved lines) and at the end went through the link's name before,
// emptying its target; it now goes to the file it opened.
void TestEventLog::linkPutInTheJournalsPlaceIsNeverWrittenThrough() {
    Fixture f;
    f.log.openJournal();
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    const QString target = f.folder.file(QStringLiteral("precioso.txt"));
    QVERIFY(writeFileBytes(target, "precioso\r\n"));
    QVERIFY(QFile::remove(f.log.journalPath()));
    QVERIFY(QFile::link(target, f.log.journalPath()));

    QTimer::singleShot(0, &f.log, [&] { f.log.AddLog(QStringLiteral("Conexión aceptada."), LogKind::Info); });
    QVERIFY(f.log.save().ok());
    f.log.AddLog(QStringLiteral("Servidor inactivo."), LogKind::Done);
    QVERIFY(f.log.saveAtExit().ok());

    QCOMPARE(readFileBytes(target), QByteArray("precioso\r\n"));
    QVERIFY(QFileInfo(f.log.journalPath()).isSymLink());
    QCOMPARE(f.count(kJournalDown), 0);
}

void TestEventLog::daysFileThatIsNotARegularFileIsRefused_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("FIFO") << "fifo" << QStringLiteral("no es un archivo normal");
    QTest::newRow("link") << "link" << QStringLiteral("es un enlace simbólico");
    QTest::newRow("folder") << "folder" << QStringLiteral("es una carpeta");
}

// A save to it fails at once with the reason, naming it; a link's target is left as it was and the
// lines stay in memory and in the journal for a later save.
void TestEventLog::daysFileThatIsNotARegularFileIsRefused() {
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    const Watchdog watchdog(60);
    Fixture f;
    QVERIFY(QDir().mkpath(f.path(QString())));
    const QString day = f.path(QStringLiteral("04122026.log"));
    const QString target = f.folder.file(QStringLiteral("precioso.txt"));
    QVERIFY(writeFileBytes(target, "precioso\r\n"));
    if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(day).constData(), 0600), 0);
    else if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(target, day));
    else
        QVERIFY(QDir().mkpath(day));
    f.log.openJournal();
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);

    QVERIFY(!f.log.saveAtExit().ok());

    QCOMPARE(f.op.messages.size(), size_t(1));
    QCOMPARE(f.op.messages[0].text,
             QStringLiteral("No se ha podido guardar el registro.\nNo se puede abrir el archivo %1: %2.")
                 .arg(day, reason));
    QCOMPARE(readFileBytes(target), QByteArray("precioso\r\n"));
    QCOMPARE(f.journal(), f.journaled());
    QCOMPARE(f.log.entries().size(), size_t(2));
}

// The disk fills (here the size limit, as a full disk would): the journal fails once, said with
// the system's reason, and the lines stay in memory; a save fails the same way and leaves nothing
// behind. A try while the disk is still full keeps what the journal holds. With room again the
// journal comes back holding every line not yet saved, and the save at the end writes each line
// once.
void TestEventLog::fullDiskKeepsTheLinesAndTheJournalComesBack() {
    Fixture f;
    f.log.openJournal();
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    const QByteArray before = f.journal();
    const QString day = f.path(QStringLiteral("04122026.log"));
    {
        FileSizeLimit full(before.size() + 10);
        QVERIFY(full.set());
        f.log.AddLog(QStringLiteral("Validado usuario [ana] en [SÍ]."), LogKind::Done);
        for (int i = 0; i < 20; ++i)
            f.log.AddLog(QStringLiteral("Conexión aceptada. %1").arg(i), LogKind::Info);
        QVERIFY(!f.log.save().ok());
        QCOMPARE(f.op.messages.size(), size_t(1));
        QCOMPARE(f.op.messages[0].text, QStringLiteral("No se ha podido guardar el registro.\n") + day +
                                            QStringLiteral(": el archivo ha alcanzado el tamaño máximo"));
        QCOMPARE(QFileInfo(day).size(), qint64(0)); // the block cut short was taken back
        f.clock.advanceSeconds(EventLog::kJournalRetrySeconds + 1);
        f.log.AddLog(QStringLiteral("Conexión cerrada."), LogKind::Info); // tried: still full
        QCOMPARE(f.journal(), before);
    }
    QCOMPARE(f.count(kJournalDown + f.log.journalPath() +
                     QStringLiteral(": el archivo ha alcanzado el tamaño máximo")),
             1);
    QCOMPARE(f.count(kJournalDown), 1);
    QCOMPARE(f.count(kJournalBack), 0);

    f.log.AddLog(QStringLiteral("Servidor inactivo."), LogKind::Done); // within the minute: not tried
    QCOMPARE(f.journal(), before);
    f.clock.advanceSeconds(EventLog::kJournalRetrySeconds + 1);
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    QCOMPARE(f.count(kJournalBack), 1);
    QCOMPARE(f.journal(), f.journaled());

    QVERIFY(f.log.saveAtExit().ok());
    QCOMPARE(f.file(QStringLiteral("04122026.log")),
             block("04/12/2026", f.lines(0, f.log.entries().size() - 1)));
    QCOMPARE(f.journal(), QByteArray());
}

// The journal full, the day's file not: the save that succeeds brings the journal back without the
// lines it saved, so a crash after it (another log on the same folder, the first never saved
// again) recovers only what came after, and no line is twice in the day's file.
void TestEventLog::journalBackAfterASaveHoldsNoSavedLine() {
    Fixture f;
    f.log.openJournal();
    // Each line journaled holds its date too: 100 of them make a journal larger than their block.
    for (int i = 0; i < 100; ++i)
        f.log.AddLog(QStringLiteral("Conexión aceptada. %1").arg(i), LogKind::Info);
    {
        FileSizeLimit full(f.journal().size() + 10);
        QVERIFY(full.set());
        f.log.AddLog(QStringLiteral("Validado usuario [ana] en [SÍ]."), LogKind::Done);
        QCOMPARE(f.count(kJournalDown), 1);
        QVERIFY(f.log.save().ok()); // the block is smaller than the journal
        QCOMPARE(f.count(kJournalBack), 1);
    }
    f.log.AddLog(QStringLiteral("Conexión cerrada."), LogKind::Info);
    const size_t saved = f.log.entries().size() - 3; // up to "Guardando registro de sucesos..."
    QCOMPARE(f.journal(), f.journaled(saved));
    const QByteArray first = block("04/12/2026", f.lines(0, saved));
    QCOMPARE(f.file(QStringLiteral("04122026.log")), first);

    ScriptedOperator op;
    EventLog next(f.clock, op, f.folder.path());
    next.openJournal();
    QCOMPARE(f.file(QStringLiteral("04122026.log")), first + block("04/12/2026", f.lines(saved)));
    QCOMPARE(next.entries().size(), size_t(1));
}

// A killed run's lines that cannot reach their day's file at the start stay in the journal; the
// first good save brings them there, and the journal back with this run's lines.
void TestEventLog::leftoverNotRecoveredOnAFullDiskIsRecoveredLater() {
    Fixture f;
    QVERIFY(QDir().mkpath(f.path(QString())));
    const QByteArray leftover = "03/12/2026\t[22:10:00]  Validado usuario [ana] en [S\xCD].\r\n"
                                "03/12/2026\t[22:10:05]  Conexi\xF3n err\xF3nea.\r\n";
    QVERIFY(writeFileBytes(f.log.journalPath(), leftover));
    {
        FileSizeLimit full(20);
        QVERIFY(full.set());
        f.log.openJournal();
        f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    }
    QCOMPARE(f.log.entries()[0].text,
             QStringLiteral("[09:05:17]  No se han podido recuperar las líneas del registro de una ejecución "
                            "anterior: %1: el archivo ha alcanzado el tamaño máximo")
                 .arg(f.path(QStringLiteral("03122026.log"))));
    QCOMPARE(f.journal(), leftover);

    QVERIFY(f.log.save().ok());
    QCOMPARE(f.file(QStringLiteral("03122026.log")),
             block("03/12/2026", {"[22:10:00]  Validado usuario [ana] en [S\xCD].",
                                  "[22:10:05]  Conexi\xF3n err\xF3nea."}));
    QCOMPARE(f.count(QStringLiteral("Se han recuperado 2 líneas del registro de una ejecución anterior.")),
             1);
    QCOMPARE(f.count(kJournalBack), 1);
    QCOMPARE(f.journal(), f.journaled(3)); // after "Guardando registro de sucesos..."
    QVERIFY(f.log.saveAtExit().ok());
    QCOMPARE(f.journal(), QByteArray());
}

// An earlier run's lines whose day's file stays unusable (a folder in its place) outlive a good
// exit in the journal, for a later start: the journal is not emptied with this run's saved lines.
void TestEventLog::leftoverThatCannotBeRecoveredOutlivesTheRun() {
    Fixture f;
    QVERIFY(QDir().mkpath(f.path(QStringLiteral("03122026.log"))));
    const QByteArray leftover = "03/12/2026\t[22:10:00]  Validado usuario [ana] en [S\xCD].\r\n";
    QVERIFY(writeFileBytes(f.log.journalPath(), leftover));
    f.log.openJournal();
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    QVERIFY(f.log.saveAtExit().ok());
    QVERIFY(f.file(QStringLiteral("04122026.log")).contains("]  Servidor activo.\r\n"));
    QCOMPARE(f.journal(), leftover);
}

// A block larger than one write, stopped by the disk after its first pieces, leaves nothing in the
// day's file: the next save writes each line once.
void TestEventLog::blockCutShortAfterItsFirstPiecesIsTakenBackWhole() {
    Fixture f;
    for (int i = 0; i < 2000; ++i)
        f.log.AddLog(QStringLiteral("Conexión aceptada desde el equipo número %1.").arg(i), LogKind::Info);
    const QString day = f.path(QStringLiteral("04122026.log"));
    {
        FileSizeLimit full(80 * 1024);
        QVERIFY(full.set());
        QVERIFY(!f.log.save().ok());
    }
    QCOMPARE(QFileInfo(day).size(), qint64(0));
    QVERIFY(f.log.save().ok());
    const QByteArray saved = f.file(QStringLiteral("04122026.log"));
    QCOMPARE(saved.count("Conexi\xF3n aceptada desde el equipo n\xFAmero 1999.\r\n"), qsizetype(1));
    QCOMPARE(saved.count("[BEGIN "), qsizetype(1));
}

QTEST_GUILESS_MAIN(TestEventLog)
#include "test_event_log.moc"
