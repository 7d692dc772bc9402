#include "common/ansi_codec.h"
#include "common/operator.h"
#include "eventlog/event_log.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QtTest>
#include <algorithm>

using namespace osk;
using osk::test::FakeClock;
using osk::test::readFileBytes;
using osk::test::ScriptedOperator;
using osk::test::TempProgramFolder;
using osk::test::writeFileBytes;

namespace {

const QString kSaveText = QStringLiteral("Guardando registro de sucesos...");

QDateTime at(int day, int hour, int minute, int second) {
    return QDateTime(QDate(2026, 12, day), QTime(hour, minute, second));
}

// One saved block as it must appear in the file, built from its date and lines.
QByteArray block(const QByteArray& date, const QList<QByteArray>& lines) {
    QByteArray bytes = "\r\n[BEGIN " + date + "]\r\n";
    for (const QByteArray& line : lines)
        bytes += line + "\r\n";
    return bytes + "[END " + date + "]\r\n\r\n\r\n";
}

// The log of one test: its own program folder, a clock standing at 04/12/2026 09:05:17 and an
// operator who records what the save tells and whether the hourglass was shown.
struct Fixture {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    EventLog log{clock, op, folder.path()};

    QString logFile(const QString& name) const { return folder.file(QStringLiteral("Log/") + name); }
    QByteArray journal() const { return readFileBytes(log.journalPath()); }
    QStringList texts() const {
        QStringList result;
        for (const LogEntry& entry : log.entries())
            result << entry.text;
        return result;
    }
};

} // namespace

class TestEventLog final : public QObject {
    Q_OBJECT

private slots:
    void lineTakesTimeOfDayAndKind_data();
    void lineTakesTimeOfDayAndKind();
    void entriesKeepTheirOrderAndAreAnnounced();

    void saveOfEmptyListWritesOneBlock();
    void twoSavesOnOneDayAppendTwoBlocks();
    void saveJustAfterMidnightUsesTheNewDay();
    void textIsWrittenAsAnsi();
    void failedSaveTellsTheOperator_data();
    void failedSaveTellsTheOperator();
    void linesLoggedDuringSaveWaitForTheNextSave();
    void saveAskedForDuringASaveFollowsIt();
    void saveHasNoEntryLimit();

    void busyMonthKeepsMemoryFlatAndOneFilePerDay();
    void failedRollOverKeepsTheLines();

    void journalHoldsTheUnsavedLines();
    void leftoverJournalIsRecoveredAsItsOwnBlock();
    void unusableJournalLeavesLoggingWorking_data();
    void unusableJournalLeavesLoggingWorking();
};

void TestEventLog::lineTakesTimeOfDayAndKind_data() {
    QTest::addColumn<QTime>("time");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("line");

    QTest::newRow("midnight") << QTime(0, 0, 0) << QStringLiteral("Inicializando Entorno...") << 2
                              << QStringLiteral("[00:00:00]  Inicializando Entorno...");
    QTest::newRow("afternoon, 24 hours") << QTime(13, 7, 2) << QStringLiteral("Puerto incorrecto.") << 3
                                         << QStringLiteral("[13:07:02]  Puerto incorrecto.");
    QTest::newRow("last second") << QTime(23, 59, 59) << QStringLiteral("Conexión errónea.") << 3
                                 << QStringLiteral("[23:59:59]  Conexión errónea.");
    QTest::newRow("empty text") << QTime(10, 0, 0) << QString() << 2 << QStringLiteral("[10:00:00]  ");
    QTest::newRow("blanks kept") << QTime(10, 0, 0) << QStringLiteral("  a  ") << 1
                                 << QStringLiteral("[10:00:00]    a  ");
}

void TestEventLog::lineTakesTimeOfDayAndKind() {
    QFETCH(QTime, time);
    QFETCH(QString, text);
    QFETCH(int, kind);
    QFETCH(QString, line);

    Fixture f;
    f.clock.set(QDateTime(QDate(2026, 12, 4), time));
    f.log.AddLog(text, LogKind(kind));

    QCOMPARE(f.log.entries().size(), size_t(1));
    QCOMPARE(f.log.entries().front().text, line);
    QCOMPARE(int(f.log.entries().front().kind), kind);
}

void TestEventLog::entriesKeepTheirOrderAndAreAnnounced() {
    Fixture f;
    QList<LogEntry> announced;
    QObject::connect(&f.log, &EventLog::entryAdded, [&](const LogEntry& entry) { announced << entry; });

    f.log.AddLog(QStringLiteral("uno"), LogKind::Info);
    f.clock.advanceSeconds(1);
    f.log.AddLog(QStringLiteral("dos"), LogKind::Error);
    f.clock.advanceSeconds(60);
    f.log.AddLog(QStringLiteral("tres"), LogKind::Done);

    const QStringList expected = {QStringLiteral("[09:05:17]  uno"), QStringLiteral("[09:05:18]  dos"),
                                  QStringLiteral("[09:06:18]  tres")};
    QCOMPARE(f.texts(), expected);
    QCOMPARE(announced.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(announced[i].text, expected[i]);
        QCOMPARE(announced[i].kind, f.log.entries()[size_t(i)].kind);
    }
}

void TestEventLog::saveOfEmptyListWritesOneBlock() {
    Fixture f;
    QVERIFY(!QFileInfo::exists(f.folder.file(QStringLiteral("Log"))));

    const Status saved = f.log.save();

    QVERIFY2(saved.ok(), qPrintable(saved.error()));
    const QString path = f.logFile(QStringLiteral("04122026.log"));
    QVERIFY(QFileInfo(f.folder.file(QStringLiteral("Log"))).isDir());
    QCOMPARE(readFileBytes(path), QByteArray("\r\n[BEGIN 04/12/2026]\r\n[09:05:17]  Guardando registro de "
                                             "sucesos...\r\n[END 04/12/2026]\r\n\r\n\r\n"));
    QCOMPARE(
        QDir(f.folder.file(QStringLiteral("Log"))).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
        QStringList{QStringLiteral("04122026.log")});

    QCOMPARE(f.texts(), (QStringList{QStringLiteral("[09:05:17]  ") + kSaveText,
                                     QStringLiteral("[09:05:17]  ") + QDir::toNativeSeparators(path) +
                                         QStringLiteral(" creado con éxito.")}));
    QCOMPARE(f.log.entries()[0].kind, LogKind::Done);
    QCOMPARE(f.log.entries()[1].kind, LogKind::Done);
    QVERIFY(f.op.messages.empty());
    QVERIFY(f.op.wasBusy);
    QCOMPARE(f.op.busyDepth, 0);
}

void TestEventLog::twoSavesOnOneDayAppendTwoBlocks() {
    Fixture f;
    const QString path = f.logFile(QStringLiteral("04122026.log"));
    const QByteArray created =
        "  " + QFile::encodeName(QDir::toNativeSeparators(path)) + " creado con \xE9xito.";

    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    f.clock.set(at(4, 10, 0, 0));
    QVERIFY(f.log.save().ok());
    f.clock.set(at(4, 11, 30, 5));
    f.log.AddLog(QStringLiteral("Conexiones cerradas."), LogKind::Done);
    f.clock.set(at(4, 12, 0, 0));
    QVERIFY(f.log.save().ok());

    const QByteArray first =
        block("04/12/2026", {"[09:05:17]  Servidor activo.", "[10:00:00]  Guardando registro de sucesos..."});
    const QByteArray second =
        block("04/12/2026", {"[09:05:17]  Servidor activo.", "[10:00:00]  Guardando registro de sucesos...",
                             "[10:00:00]" + created, "[11:30:05]  Conexiones cerradas.",
                             "[12:00:00]  Guardando registro de sucesos..."});
    QCOMPARE(readFileBytes(path), first + second);
    QCOMPARE(f.log.entries().size(), size_t(6));
    QCOMPARE(f.log.entries().back().text.toLatin1(), "[12:00:00]" + created);
}

// The day's lines have gone to their own day's file at midnight; the save writes the new day's.
void TestEventLog::saveJustAfterMidnightUsesTheNewDay() {
    Fixture f;
    f.clock.set(at(4, 23, 59, 58));
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    f.clock.set(at(5, 0, 0, 3));

    QVERIFY(f.log.save().ok());

    QCOMPARE(readFileBytes(f.logFile(QStringLiteral("04122026.log"))),
             block("04/12/2026", {"[23:59:58]  Servidor activo."}));
    QCOMPARE(readFileBytes(f.logFile(QStringLiteral("05122026.log"))),
             block("05/12/2026", {"[00:00:03]  Guardando registro de sucesos..."}));
    QVERIFY(f.texts().last().endsWith(QDir::toNativeSeparators(f.logFile(QStringLiteral("05122026.log"))) +
                                      QStringLiteral(" creado con éxito.")));
}

// Windows-1252, not Latin-1 (the euro) nor UTF-8.
void TestEventLog::textIsWrittenAsAnsi() {
    const QByteArray bytes("Conexi\xF3n err\xF3nea. \xF1 \xFC 5 \x80");
    Fixture f;
    f.log.AddLog(QStringLiteral("Conexión errónea. ñ ü 5 €"), LogKind::Done);
    QVERIFY(f.log.save().ok());

    const QByteArray file = readFileBytes(f.logFile(QStringLiteral("04122026.log")));
    QVERIFY2(file.contains("\r\n[09:05:17]  " + bytes + "\r\n"), file.constData());
}

void TestEventLog::failedSaveTellsTheOperator_data() {
    QTest::addColumn<bool>("logIsAFile");
    QTest::addColumn<int>("linesAdded");

    // A plain file named Log: the folder cannot be made, so the save ends before its own line.
    QTest::newRow("Log is a plain file") << true << 0;
    // The day's file cannot be opened: the save's own line stays, nothing follows it.
    QTest::newRow("day's file is a folder") << false << 1;
}

void TestEventLog::failedSaveTellsTheOperator() {
    QFETCH(bool, logIsAFile);
    QFETCH(int, linesAdded);

    Fixture f;
    if (logIsAFile) {
        QVERIFY(writeFileBytes(f.folder.file(QStringLiteral("Log")), "not a folder"));
    } else {
        QVERIFY(QDir().mkpath(f.logFile(QStringLiteral("04122026.log"))));
    }
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);

    const Status saved = f.log.save();

    QVERIFY(!saved.ok());
    QVERIFY(!saved.error().isEmpty());
    QCOMPARE(f.op.messages.size(), size_t(1));
    QCOMPARE(f.op.messages[0].text, QStringLiteral("No se ha podido guardar el registro.\n") + saved.error());
    QCOMPARE(f.op.messages[0].icon, MessageIcon::None);
    QCOMPARE(f.op.messages[0].title, kDefaultTitle);

    QStringList expected = {QStringLiteral("[09:05:17]  Servidor activo.")};
    if (linesAdded == 1)
        expected << QStringLiteral("[09:05:17]  ") + kSaveText;
    QCOMPARE(f.texts(), expected);
    QVERIFY(f.op.wasBusy);
    QCOMPARE(f.op.busyDepth, 0);
    if (logIsAFile)
        QCOMPARE(readFileBytes(f.folder.file(QStringLiteral("Log"))), QByteArray("not a folder"));
}

// ... and stay in the journal, since the block did not write them.
void TestEventLog::linesLoggedDuringSaveWaitForTheNextSave() {
    Fixture f;
    f.log.openJournal();
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    f.log.AddLog(QStringLiteral("Esperando conexiones..."), LogKind::Info);

    // A connection request that arrives while the block is being written: posted when the save
    // announces its own line, it runs in the pending events between two written lines.
    int busyDuringRequest = -1;
    bool posted = false;
    QObject::connect(&f.log, &EventLog::entryAdded, &f.log, [&](const LogEntry& entry) {
        if (posted || !entry.text.endsWith(kSaveText))
            return;
        posted = true;
        QTimer::singleShot(0, &f.log, [&] {
            busyDuringRequest = f.op.busyDepth;
            f.clock.advanceSeconds(1);
            f.log.AddLog(QStringLiteral("Recibiendo petición de conexión..."), LogKind::Info);
        });
    });

    QVERIFY(f.log.save().ok());

    QVERIFY(posted);
    QCOMPARE(busyDuringRequest, 1);
    const QString path = f.logFile(QStringLiteral("04122026.log"));
    const QByteArray created =
        "  " + QFile::encodeName(QDir::toNativeSeparators(path)) + " creado con \xE9xito.";
    const QByteArray first =
        block("04/12/2026", {"[09:05:17]  Servidor activo.", "[09:05:17]  Esperando conexiones...",
                             "[09:05:17]  Guardando registro de sucesos..."});
    QCOMPARE(readFileBytes(path), first);
    QCOMPARE(f.texts().at(3), QStringLiteral("[09:05:18]  Recibiendo petición de conexión..."));
    QCOMPARE(f.journal(),
             "04/12/2026\t[09:05:18]  Recibiendo petici\xF3n de conexi\xF3n...\r\n04/12/2026\t[09:05:18]" +
                 created + "\r\n");

    f.clock.set(at(4, 9, 10, 0));
    QVERIFY(f.log.save().ok());
    const QByteArray second =
        block("04/12/2026", {"[09:05:17]  Servidor activo.", "[09:05:17]  Esperando conexiones...",
                             "[09:05:17]  Guardando registro de sucesos...",
                             "[09:05:18]  Recibiendo petici\xF3n de conexi\xF3n...", "[09:05:18]" + created,
                             "[09:10:00]  Guardando registro de sucesos..."});
    QCOMPARE(readFileBytes(path), first + second);
}

// The operator asks for a second save while the first one writes (its menu item runs between the
// written lines): the second follows the first, so the file holds two whole blocks and the journal
// exactly the line that came after the second.
void TestEventLog::saveAskedForDuringASaveFollowsIt() {
    Fixture f;
    f.log.openJournal();
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    bool asked = false;
    QObject::connect(&f.log, &EventLog::entryAdded, &f.log, [&](const LogEntry& entry) {
        if (asked || !entry.text.endsWith(kSaveText))
            return;
        asked = true;
        QTimer::singleShot(0, &f.log, [&] { QVERIFY(f.log.save().ok()); });
    });

    QVERIFY(f.log.save().ok());

    QVERIFY(asked);
    const QString path = f.logFile(QStringLiteral("04122026.log"));
    const QByteArray created =
        "[09:05:17]  " + QFile::encodeName(QDir::toNativeSeparators(path)) + " creado con \xE9xito.";
    QCOMPARE(readFileBytes(path),
             block("04/12/2026",
                   {"[09:05:17]  Servidor activo.", "[09:05:17]  Guardando registro de sucesos..."}) +
                 block("04/12/2026",
                       {"[09:05:17]  Servidor activo.", "[09:05:17]  Guardando registro de sucesos...",
                        created, "[09:05:17]  Guardando registro de sucesos..."}));
    QCOMPARE(f.journal(), "04/12/2026\t" + created + "\r\n");
}

void TestEventLog::saveHasNoEntryLimit() {
    Fixture f;
    const int count = 40000; // beyond what a signed 16-bit counter reaches
    for (int i = 0; i < count; ++i)
        f.log.AddLog(QString::number(i), LogKind::Info);

    const Status saved = f.log.save();

    QVERIFY2(saved.ok(), qPrintable(saved.error()));
    const QList<QByteArray> lines = readFileBytes(f.logFile(QStringLiteral("04122026.log"))).split('\n');
    // Empty line, BEGIN, the entries, the save line, END, two empty lines, and the split's tail.
    QCOMPARE(lines.size(), count + 7);
    QCOMPARE(lines[2], QByteArray("[09:05:17]  0\r"));
    QCOMPARE(lines[count + 1], QByteArray("[09:05:17]  39999\r"));
    QCOMPARE(lines[count + 3], QByteArray("[END 04/12/2026]\r"));
}

// Every line is in the journal with its date as soon as it is logged; a save keeps only what its
// block did not write (see above), and the end of a run leaves nothing to recover.
// A busy server for 30 days: every day's lines reach that day's file at midnight and leave memory
// and the journal, so neither grows with the length of the run.
void TestEventLog::busyMonthKeepsMemoryFlatAndOneFilePerDay() {
    constexpr int kDays = 30;
    constexpr int kLinesPerDay = 2880; // one every 30 s
    Fixture f;
    f.clock.set(at(4, 0, 0, 0));
    f.log.openJournal();
    size_t capacityAfterFirstDay = 0;
    for (int day = 0; day < kDays; ++day) {
        for (int i = 0; i < kLinesPerDay; ++i) {
            f.log.AddLog(QStringLiteral("Validado usuario [usuario%1] en [Osk2].").arg(i % 200),
                         LogKind::Info);
            f.clock.advanceSeconds(30);
        }
        QCOMPARE(f.log.entries().size(), size_t(kLinesPerDay));
        QVERIFY(QFileInfo(f.log.journalPath()).size() < 200 * kLinesPerDay);
        if (day == 1)
            capacityAfterFirstDay = f.log.entries().capacity();
        if (day > 1)
            QCOMPARE(f.log.entries().capacity(), capacityAfterFirstDay);
    }
    f.log.rollOver(f.clock.now().date());
    QVERIFY(f.log.entries().empty());
    QCOMPARE(f.journal(), QByteArray());

    const QStringList files = QDir(f.folder.file(QStringLiteral("Log"))).entryList({QStringLiteral("*.log")});
    QCOMPARE(files.size(), kDays);
    const QByteArray last = readFileBytes(f.logFile(QStringLiteral("02012027.log")));
    QVERIFY(
        last.startsWith("\r\n[BEGIN 02/01/2027]\r\n[00:00:00]  Validado usuario [usuario0] en [Osk2].\r\n"));
    QVERIFY(
        last.endsWith("[23:59:30]  Validado usuario [usuario79] en [Osk2].\r\n[END 02/01/2027]\r\n\r\n\r\n"));
    QCOMPARE(last.count("\r\n"), kLinesPerDay + 5);
}

void TestEventLog::failedRollOverKeepsTheLines() {
    Fixture f;
    f.clock.set(at(4, 23, 59, 0));
    f.log.openJournal();
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    // The day's file cannot be opened.
    QVERIFY(QDir().mkpath(f.logFile(QStringLiteral("04122026.log"))));
    f.clock.set(at(5, 0, 0, 1));
    f.log.AddLog(QStringLiteral("Esperando conexiones..."), LogKind::Info);
    f.log.AddLog(QStringLiteral("Conexión aceptada."), LogKind::Done);

    QCOMPARE(f.texts().size(), 4);
    QCOMPARE(f.texts().first(), QStringLiteral("[23:59:00]  Servidor activo."));
    QVERIFY(f.texts().at(1).startsWith(
        QStringLiteral("[00:00:01]  No se ha podido guardar el registro del 04/12/2026: ")));
    QVERIFY(f.journal().startsWith("04/12/2026\t[23:59:00]  Servidor activo.\r\n"));

    // Tried again (as the timer does) once the file can be written: nothing was lost.
    QVERIFY(QDir().rmdir(f.logFile(QStringLiteral("04122026.log"))));
    f.log.rollOver(f.clock.now().date());
    QVERIFY(f.log.entries().empty());
    QVERIFY(readFileBytes(f.logFile(QStringLiteral("04122026.log")))
                .contains("[23:59:00]  Servidor activo.\r\n[00:00:01]  No se ha podido"));
}

void TestEventLog::journalHoldsTheUnsavedLines() {
    Fixture f;
    f.log.openJournal();
    QVERIFY(f.log.entries().empty());
    QCOMPARE(f.journal(), QByteArray());

    f.clock.set(at(4, 23, 59, 59));
    f.log.AddLog(QStringLiteral("Conexión aceptada."), LogKind::Done);
    f.clock.set(at(5, 0, 0, 1));
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    // The first line of the new day saved the old day's line, which left the journal.
    QCOMPARE(f.journal(), QByteArray("05/12/2026\t[00:00:01]  Servidor activo.\r\n"));

    QVERIFY(f.log.save().ok());
    const QByteArray created =
        "05/12/2026\t[00:00:01]  " +
        QFile::encodeName(QDir::toNativeSeparators(f.logFile(QStringLiteral("05122026.log")))) +
        " creado con \xE9xito.\r\n";
    QCOMPARE(f.journal(), created);

    QVERIFY(f.log.saveAtExit().ok());
    QCOMPARE(f.journal(), QByteArray());
    f.log.AddLog(QStringLiteral("después"), LogKind::Info);
    QCOMPARE(f.journal(), QByteArray());

    ScriptedOperator op;
    EventLog again(f.clock, op, f.folder.path());
    again.openJournal();
    QVERIFY(again.entries().empty());
}

void TestEventLog::leftoverJournalIsRecoveredAsItsOwnBlock() {
    Fixture f;
    QVERIFY(QDir().mkpath(f.folder.file(QStringLiteral("Log"))));
    const QByteArray earlier =
        "\r\n[BEGIN 03/12/2026]\r\n[08:00:00]  Servidor activo.\r\n[END 03/12/2026]\r\n\r\n\r\n";
    QVERIFY(writeFileBytes(f.logFile(QStringLiteral("03122026.log")), earlier));
    QVERIFY(writeFileBytes(f.logFile(QStringLiteral("eventlog.journal")),
                           "03/12/2026\t[22:10:00]  Validado usuario [ana] en [S\xCD].\r\n"
                           "03/12/2026\t[22:10:05]  Conexi\xF3n err\xF3nea.\r\n"));

    f.log.openJournal();

    QCOMPARE(readFileBytes(f.logFile(QStringLiteral("03122026.log"))),
             earlier + "\r\n[BEGIN 03/12/2026]\r\n[22:10:00]  Validado usuario [ana] en [S\xCD].\r\n"
                       "[22:10:05]  Conexi\xF3n err\xF3nea.\r\n[END 03/12/2026]\r\n\r\n\r\n");
    QVERIFY(!QFileInfo::exists(f.logFile(QStringLiteral("04122026.log"))));
    const QString recovered =
        QStringLiteral("[09:05:17]  Se han recuperado 2 líneas del registro de una ejecución anterior.");
    QCOMPARE(f.texts(), QStringList{recovered});
    QCOMPARE(f.log.entries()[0].kind, LogKind::Error);
    QCOMPARE(f.journal(), "04/12/2026\t" + AnsiCodec::encode(recovered) + "\r\n");
}

void TestEventLog::unusableJournalLeavesLoggingWorking_data() {
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<bool>("saves");

    QTest::newRow("Log is a plain file") << QStringLiteral("file") << false;
    QTest::newRow("journal is a folder") << QStringLiteral("folder") << true;
    if (QFileInfo::exists(QStringLiteral("/dev/full")))
        QTest::newRow("journal's disk is full") << QStringLiteral("full") << true;
}

void TestEventLog::unusableJournalLeavesLoggingWorking() {
    QFETCH(QString, obstacle);
    QFETCH(bool, saves);

    Fixture f;
    if (obstacle == QLatin1String("file")) {
        QVERIFY(writeFileBytes(f.folder.file(QStringLiteral("Log")), "not a folder"));
    } else if (obstacle == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(f.logFile(QStringLiteral("eventlog.journal"))));
    } else {
        QVERIFY(QDir().mkpath(f.folder.file(QStringLiteral("Log"))));
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), f.logFile(QStringLiteral("eventlog.journal"))));
    }

    f.log.openJournal();
    f.log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    f.log.AddLog(QStringLiteral("Esperando conexiones..."), LogKind::Info);

    // One line says so, whether the journal failed at once or at its first line.
    const QStringList texts = f.texts();
    QCOMPARE(texts.size(), 3);
    const auto unavailable =
        std::find_if(f.log.entries().begin(), f.log.entries().end(), [](const LogEntry& e) {
            return e.text.startsWith(
                QStringLiteral("[09:05:17]  El diario de recuperación del registro no está disponible: "));
        });
    QVERIFY2(unavailable != f.log.entries().end(), qPrintable(texts.join(u'\n')));
    QCOMPARE(unavailable->kind, LogKind::Error);
    QVERIFY(texts.contains(QStringLiteral("[09:05:17]  Servidor activo.")));
    QCOMPARE(texts.last(), QStringLiteral("[09:05:17]  Esperando conexiones..."));
    QCOMPARE(f.log.save().ok(), saves);
}

QTEST_GUILESS_MAIN(TestEventLog)
#include "test_event_log.moc"
