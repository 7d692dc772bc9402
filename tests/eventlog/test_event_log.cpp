#include "eventlog/event_log.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QtTest>

using namespace Qt::StringLiterals;
using namespace osk;
using namespace osk::test;

namespace {

// A list as one line, items apart by " / ", a run of equal items once with its count.
QString runs(const QStringList& items) {
    QStringList out;
    for (qsizetype i = 0, n = 1; i < items.size(); i += n, n = 1) {
        while (i + n < items.size() && items[i + n] == items[i])
            ++n;
        out << (n > 1 ? items[i] + u" (x%1)"_s.arg(n) : items[i]);
    }
    return out.join(u" / "_s);
}

struct Fixture {
    TempProgramFolder folder;
    FakeClock clock; // 04/12/2026 09:05:17
    ScriptedOperator op;
    EventLog log{clock, op, folder.path()};
    qsizetype seen = 0;
    QStringList facts; // the state as the literals so far describe it

    QString path(const QString& name) const { return folder.file(u"Log/"_s + name); }
    // What a person can see: the lines in memory with their kinds, every file of the log folder
    // (Windows-1252 shown as Latin-1, a file as its CR LF lines) and what the operator was told
    // since the last look.
    QString state() {
        QStringList out, entries;
        for (const LogEntry& entry : log.entries())
            entries << QString::number(int(entry.kind)) + QLatin1Char(' ') + entry.text;
        out << u"log: "_s + runs(entries);
        for (const QFileInfo& info :
             QDir(path(QString())).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot))
            out << u"Log/"_s + info.fileName() +
                       (info.isDir() ? u"/"_s // a day's file that is a folder
                                     : u": "_s + runs(QString::fromLatin1(readFileBytes(info.filePath()))
                                                          .replace(u'\t', u"\\t"_s)
                                                          .split(u"\r\n"_s)));
        for (const QString& said : op.shown.mid(std::exchange(seen, op.shown.size())))
            out << u"> "_s + QString(said).replace(u'\n', u" | "_s);
        out.replaceInStrings(folder.path(), u"<folder>"_s).sort();
        return out.join(u'\n');
    }
    // The state a step's literal describes: the last one with the facts the step names put in place.
    QString expect(const char* step) {
        return afterStep(facts, QString::fromUtf8(step).split(u'\n', Qt::SkipEmptyParts)).join(u'\n');
    }
    void add(const QString& text, LogKind kind = LogKind::Info) { log.AddLog(text, kind); }
};

#define OSK_STATE(f, step) OSK_COMPARE_SNAPSHOT((f).state(), (f).expect(step))

} // namespace

class TestEventLog final : public QObject {
    Q_OBJECT

private slots:

    // Each day's lines go to the file of their own date, sent there from inside the handler that logs
    // the next day's first line; a line logged while the old day is written belongs to the new one.
    // A roll-over the disk stops keeps every line and says why.
    void daysRollOverAndASaveThatFails() {
        Fixture f;
        f.clock.set(QDateTime(QDate(2026, 12, 4), QTime(23, 59, 58)));
        f.log.openJournal();
        f.add(u"Servidor activo."_s, LogKind::Done);
        f.clock.set(QDateTime(QDate(2026, 12, 5), QTime(0, 0, 3)));
        QTimer::singleShot(0, &f.log, [&] { f.add(u"Conexión aceptada."_s); });
        QVERIFY(f.log.save().ok());
        OSK_STATE(f, R"(
Log/04122026.log:  / [BEGIN 04/12/2026] / [23:59:58]  Servidor activo. / [END 04/12/2026] /  (x3)
Log/05122026.log:  / [BEGIN 05/12/2026] / [00:00:03]  Conexión aceptada. / [00:00:03]  Guardando registro de sucesos... / [END 05/12/2026] /  (x3)
Log/eventlog.journal: 05/12/2026\t[00:00:03]  <folder>/Log/05122026.log creado con éxito. / 
log: 2 [00:00:03]  Conexión aceptada. / 1 [00:00:03]  Guardando registro de sucesos... / 1 [00:00:03]  <folder>/Log/05122026.log creado con éxito.)");

        f.clock.set(QDateTime(QDate(2026, 12, 6), QTime(0, 0, 1)));
        f.add(u"Esperando conexiones..."_s);
        f.add(u"Conexión cerrada."_s);
        OSK_STATE(f, R"(
Log/05122026.log:  / [BEGIN 05/12/2026] / [00:00:03]  Conexión aceptada. / [00:00:03]  Guardando registro de sucesos... / [END 05/12/2026] /  (x3) / [BEGIN 05/12/2026] / [00:00:03]  Conexión aceptada. / [00:00:03]  Guardando registro de sucesos... / [00:00:03]  <folder>/Log/05122026.log creado con éxito. / [END 05/12/2026] /  (x3)
Log/eventlog.journal: 06/12/2026\t[00:00:01]  Esperando conexiones... / 06/12/2026\t[00:00:01]  Conexión cerrada. / 
log: 2 [00:00:01]  Esperando conexiones... / 2 [00:00:01]  Conexión cerrada.)");

        // The next midnight with the disk full: the failure is said, the 6th's lines stay in memory
        // (the journal fails too), a save asked for meanwhile writes nothing under the 7th's date,
        // and the exit's save with room again writes each day's lines once, to that day's file.
        f.clock.set(QDateTime(QDate(2026, 12, 7), QTime(0, 0, 2)));
        {
            FileSizeLimit full(40);
            QVERIFY(full.set());
            f.add(u"Recibiendo petición de conexión..."_s);
            QVERIFY(!f.log.save().ok());
        }
        QVERIFY(f.log.saveAtExit().ok());
        OSK_STATE(f, R"(
> said None: No se ha podido guardar el registro. | <folder>/Log/06122026.log: el archivo ha alcanzado el tamaño máximo
Log/06122026.log:  / [BEGIN 06/12/2026] / [00:00:01]  Esperando conexiones... / [00:00:01]  Conexión cerrada. / [END 06/12/2026] /  (x3)
Log/07122026.log:  / [BEGIN 07/12/2026] / [00:00:02]  No se ha podido guardar el registro del 06/12/2026: <folder>/Log/06122026.log: el archivo ha alcanzado el tamaño máximo / [00:00:02]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / [00:00:02]  Recibiendo petición de conexión... / [00:00:02]  No se ha podido guardar el registro del 06/12/2026: <folder>/Log/06122026.log: el archivo ha alcanzado el tamaño máximo / [00:00:02]  El diario de recuperación del registro vuelve a estar disponible. / [00:00:02]  Guardando registro de sucesos... / [END 07/12/2026] /  (x3)
Log/eventlog.journal: 
log: 3 [00:00:02]  No se ha podido guardar el registro del 06/12/2026: <folder>/Log/06122026.log: el archivo ha alcanzado el tamaño máximo / 3 [00:00:02]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / 2 [00:00:02]  Recibiendo petición de conexión... / 3 [00:00:02]  No se ha podido guardar el registro del 06/12/2026: <folder>/Log/06122026.log: el archivo ha alcanzado el tamaño máximo / 2 [00:00:02]  El diario de recuperación del registro vuelve a estar disponible. / 1 [00:00:02]  Guardando registro de sucesos... / 1 [00:00:02]  <folder>/Log/07122026.log creado con éxito.)");
    }

    // Asked for between two written lines, as a socket event or a menu item would: a line waits for
    // the next save, in memory and in the journal; a second save runs after the first, never inside it.
    void requestDuringASaveFollowsIt() {
        Fixture f;
        f.log.openJournal();
        f.add(u"Servidor activo."_s, LogKind::Done);
        QTimer::singleShot(0, &f.log, [&] { f.add(u"Conexión aceptada."_s); });
        QVERIFY(f.log.save().ok());
        OSK_STATE(f, R"(
Log/04122026.log:  / [BEGIN 04/12/2026] / [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos... / [END 04/12/2026] /  (x3)
Log/eventlog.journal: 04/12/2026\t[09:05:17]  Conexión aceptada. / 04/12/2026\t[09:05:17]  <folder>/Log/04122026.log creado con éxito. / 
log: 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:05:17]  Conexión aceptada. / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito.)");
        QTimer::singleShot(0, &f.log, [&] { QVERIFY(f.log.save().ok()); });
        QVERIFY(f.log.save().ok());
        OSK_STATE(f, R"(
Log/04122026.log:  / [BEGIN 04/12/2026] / [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos... / [END 04/12/2026] /  (x3) / [BEGIN 04/12/2026] / [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos... / [09:05:17]  Conexión aceptada. / [09:05:17]  <folder>/Log/04122026.log creado con éxito. / [09:05:17]  Guardando registro de sucesos... / [END 04/12/2026] /  (x3) / [BEGIN 04/12/2026] / [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos... / [09:05:17]  Conexión aceptada. / [09:05:17]  <folder>/Log/04122026.log creado con éxito. / [09:05:17]  Guardando registro de sucesos... / [09:05:17]  <folder>/Log/04122026.log creado con éxito. / [09:05:17]  Guardando registro de sucesos... / [END 04/12/2026] /  (x3)
Log/eventlog.journal: 04/12/2026\t[09:05:17]  <folder>/Log/04122026.log creado con éxito. / 
log: 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:05:17]  Conexión aceptada. / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito. / 1 [09:05:17]  Guardando registro de sucesos... / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito. / 1 [09:05:17]  Guardando registro de sucesos... / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito.)");
    }

    // What a killed run left goes to the file of the run's first date as a block of its own, past
    // midnight too; lines that cannot reach it at the start stay in the journal until the first good
    // save. A clean end leaves nothing for the next start, except lines whose day's file stays
    // unusable: they outlive even a good exit, for a later start.
    void leftoverJournalIsRecoveredToItsDay() {
        Fixture f;
        QVERIFY(QDir().mkpath(f.path(u"02122026.log"_s)));
        QVERIFY(writeFileBytes(
            f.path(u"03122026.log"_s),
            "\r\n[BEGIN 03/12/2026]\r\n[08:00:00]  Servidor activo.\r\n[END 03/12/2026]\r\n\r\n\r\n"));
        QVERIFY(writeFileBytes(f.log.journalPath(),
                               "03/12/2026\t[22:10:00]  Validado usuario [ana] en [S\xCD].\r\n"
                               "03/12/2026\t[22:10:05]  Conexi\xF3n err\xF3nea.\r\n"
                               "04/12/2026\t[00:00:02]  Servidor inactivo.\r\n"));
        {
            FileSizeLimit full(20);
            QVERIFY(full.set());
            f.log.openJournal();
            f.add(u"Servidor activo."_s, LogKind::Done);
        }
        OSK_STATE(f, R"(
Log/02122026.log/
Log/03122026.log:  / [BEGIN 03/12/2026] / [08:00:00]  Servidor activo. / [END 03/12/2026] /  (x3)
Log/eventlog.journal: 03/12/2026\t[22:10:00]  Validado usuario [ana] en [SÍ]. / 03/12/2026\t[22:10:05]  Conexión errónea. / 04/12/2026\t[00:00:02]  Servidor inactivo. / 
log: 3 [09:05:17]  No se han podido recuperar las líneas del registro de una ejecución anterior: <folder>/Log/03122026.log: el archivo ha alcanzado el tamaño máximo / 1 [09:05:17]  Servidor activo.)");
        QVERIFY(f.log.save().ok());
        OSK_STATE(f, R"(
Log/03122026.log:  / [BEGIN 03/12/2026] / [08:00:00]  Servidor activo. / [END 03/12/2026] /  (x3) / [BEGIN 03/12/2026] / [22:10:00]  Validado usuario [ana] en [SÍ]. / [22:10:05]  Conexión errónea. / [00:00:02]  Servidor inactivo. / [END 03/12/2026] /  (x3)
Log/04122026.log:  / [BEGIN 04/12/2026] / [09:05:17]  No se han podido recuperar las líneas del registro de una ejecución anterior: <folder>/Log/03122026.log: el archivo ha alcanzado el tamaño máximo / [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos... / [END 04/12/2026] /  (x3)
Log/eventlog.journal: 04/12/2026\t[09:05:17]  El diario de recuperación del registro vuelve a estar disponible. / 04/12/2026\t[09:05:17]  Se han recuperado 3 líneas del registro de una ejecución anterior. / 04/12/2026\t[09:05:17]  <folder>/Log/04122026.log creado con éxito. / 
log: 3 [09:05:17]  No se han podido recuperar las líneas del registro de una ejecución anterior: <folder>/Log/03122026.log: el archivo ha alcanzado el tamaño máximo / 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:05:17]  El diario de recuperación del registro vuelve a estar disponible. / 3 [09:05:17]  Se han recuperado 3 líneas del registro de una ejecución anterior. / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito.)");
        QVERIFY(f.log.saveAtExit().ok());
        OSK_STATE(f, R"(
Log/04122026.log:  / [BEGIN 04/12/2026] / [09:05:17]  No se han podido recuperar las líneas del registro de una ejecución anterior: <folder>/Log/03122026.log: el archivo ha alcanzado el tamaño máximo / [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos... / [END 04/12/2026] /  (x3) / [BEGIN 04/12/2026] / [09:05:17]  No se han podido recuperar las líneas del registro de una ejecución anterior: <folder>/Log/03122026.log: el archivo ha alcanzado el tamaño máximo / [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos... / [09:05:17]  El diario de recuperación del registro vuelve a estar disponible. / [09:05:17]  Se han recuperado 3 líneas del registro de una ejecución anterior. / [09:05:17]  <folder>/Log/04122026.log creado con éxito. / [09:05:17]  Guardando registro de sucesos... / [END 04/12/2026] /  (x3)
Log/eventlog.journal: 
log: 3 [09:05:17]  No se han podido recuperar las líneas del registro de una ejecución anterior: <folder>/Log/03122026.log: el archivo ha alcanzado el tamaño máximo / 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:05:17]  El diario de recuperación del registro vuelve a estar disponible. / 3 [09:05:17]  Se han recuperado 3 líneas del registro de una ejecución anterior. / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito. / 1 [09:05:17]  Guardando registro de sucesos... / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito.)");

        EventLog later(f.clock, f.op, f.folder.path());
        QVERIFY(writeFileBytes(later.journalPath(), "02/12/2026\t[22:10:00]  Servidor activo.\r\n"));
        later.openJournal();
        later.AddLog(u"Servidor activo."_s, LogKind::Done);
        QVERIFY(later.saveAtExit().ok());
        QCOMPARE(readFileBytes(later.journalPath()), "02/12/2026\t[22:10:00]  Servidor activo.\r\n"_ba);
    }

    void linesPastTheBoundAreSavedAsABlock_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("heldAtMost");
        // 50,000 lines, or 8 MiB of text as it is held (4 Mi characters): 4,144 lines of 1,012
        // characters fit, 4,145 do not.
        QTest::newRow("lines") << u"Recibiendo petición de conexión..."_s << 50000;
        QTest::newRow("characters") << QString(1000, u'x') << 4144;
    }

    // Past the bound the lines held go to the day's file as a block of their own and leave memory and
    // the journal; the count starts again from the block, so the next line is held.
    void linesPastTheBoundAreSavedAsABlock() {
        QFETCH(QString, text);
        QFETCH(int, heldAtMost);
        Fixture f;
        f.log.openJournal();
        for (int i = 0; i < heldAtMost; ++i)
            f.add(text);
        QTest::qWait(50);
        const QString line = u"[09:05:17]  "_s + text;
        OSK_STATE(
            f, qPrintable(u"log: 2 %1 (x%2)\nLog/eventlog.journal: 04/12/2026\\t%1 (x%2) / "_s.arg(line).arg(
                   heldAtMost)));
        f.add(text);
        QTRY_COMPARE(f.log.entries().size(), size_t(0));
        f.add(u"Servidor inactivo."_s, LogKind::Done);
        QTest::qWait(50);
        OSK_STATE(f, qPrintable(QStringLiteral(
                                    "log: 1 [09:05:17]  Servidor inactivo.\nLog/04122026.log:  / [BEGIN "
                                    "04/12/2026] / %1 (x%2) / [END 04/12/2026] /  (x3)\n"
                                    "Log/eventlog.journal: 04/12/2026\\t[09:05:17]  Servidor inactivo. / ")
                                    .arg(line)
                                    .arg(heldAtMost + 1)));
    }

    // The disk fills (here the size limit, as a full disk would): the journal fails once, with the
    // system's reason, and the lines stay in memory; a save fails the same way and leaves nothing
    // behind; a try while the disk is still full keeps what the journal holds. With room again the
    // journal comes back (not within the minute) holding every line not yet saved.
    void fullDiskKeepsTheLinesAndTheJournalComesBack() {
        Fixture f;
        f.log.openJournal();
        f.add(u"Servidor activo."_s, LogKind::Done);
        {
            FileSizeLimit full(70);
            QVERIFY(full.set());
            f.add(u"Validado usuario [ana] en [SÍ]."_s, LogKind::Done);
            for (int i = 0; i < 20; ++i)
                f.add(u"Conexión aceptada."_s);
            QVERIFY(!f.log.save().ok());
            f.clock.advanceSeconds(61);
            f.add(u"Conexión cerrada."_s); // tried: still full
            OSK_STATE(f, R"(
> said None: No se ha podido guardar el registro. | <folder>/Log/04122026.log: el archivo ha alcanzado el tamaño máximo
Log/04122026.log: 
Log/eventlog.journal: 04/12/2026\t[09:05:17]  Servidor activo. / 
log: 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Validado usuario [ana] en [SÍ]. / 3 [09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / 2 [09:05:17]  Conexión aceptada. (x20) / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:06:18]  Conexión cerrada.)");
        }
        f.add(u"Servidor inactivo."_s, LogKind::Done); // within the minute: not tried
        f.clock.advanceSeconds(61);
        f.add(u"Servidor activo."_s, LogKind::Done);
        OSK_STATE(f, R"(
Log/eventlog.journal: 04/12/2026\t[09:05:17]  Servidor activo. / 04/12/2026\t[09:05:17]  Validado usuario [ana] en [SÍ]. / 04/12/2026\t[09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / 04/12/2026\t[09:05:17]  Conexión aceptada. (x20) / 04/12/2026\t[09:05:17]  Guardando registro de sucesos... / 04/12/2026\t[09:06:18]  Conexión cerrada. / 04/12/2026\t[09:06:18]  Servidor inactivo. / 04/12/2026\t[09:07:19]  Servidor activo. / 04/12/2026\t[09:07:19]  El diario de recuperación del registro vuelve a estar disponible. / 
log: 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Validado usuario [ana] en [SÍ]. / 3 [09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / 2 [09:05:17]  Conexión aceptada. (x20) / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:06:18]  Conexión cerrada. / 1 [09:06:18]  Servidor inactivo. / 1 [09:07:19]  Servidor activo. / 2 [09:07:19]  El diario de recuperación del registro vuelve a estar disponible.)");
    }

    // The journal full, the day's file not: the save that succeeds brings the journal back without the
    // lines it saved, so a crash after it (another log on the same folder, the first never saved
    // again) recovers only what came after, and no line is twice in the day's file.
    void journalBackAfterASaveHoldsNoSavedLine() {
        Fixture f;
        f.log.openJournal();
        // Each line journaled holds its date too: 100 of them make a journal larger than their block.
        for (int i = 0; i < 100; ++i)
            f.add(u"Conexión aceptada."_s);
        {
            FileSizeLimit full(readFileBytes(f.log.journalPath()).size() + 10);
            QVERIFY(full.set());
            f.add(u"Validado usuario [ana] en [SÍ]."_s, LogKind::Done);
            QVERIFY(f.log.save().ok());
        }
        f.add(u"Conexión cerrada."_s);
        EventLog(f.clock, f.op, f.folder.path()).openJournal();
        OSK_STATE(f, R"(
Log/04122026.log:  / [BEGIN 04/12/2026] / [09:05:17]  Conexión aceptada. (x100) / [09:05:17]  Validado usuario [ana] en [SÍ]. / [09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / [09:05:17]  Guardando registro de sucesos... / [END 04/12/2026] /  (x3) / [BEGIN 04/12/2026] / [09:05:17]  El diario de recuperación del registro vuelve a estar disponible. / [09:05:17]  <folder>/Log/04122026.log creado con éxito. / [09:05:17]  Conexión cerrada. / [END 04/12/2026] /  (x3)
Log/eventlog.journal: 04/12/2026\t[09:05:17]  Se han recuperado 3 líneas del registro de una ejecución anterior. / 
log: 2 [09:05:17]  Conexión aceptada. (x100) / 1 [09:05:17]  Validado usuario [ana] en [SÍ]. / 3 [09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:05:17]  El diario de recuperación del registro vuelve a estar disponible. / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito. / 2 [09:05:17]  Conexión cerrada.)");
    }

    // A block larger than one write, stopped by the disk after its first pieces, leaves nothing in the
    // day's file: the next save writes each line once.
    void blockCutShortAfterItsFirstPiecesIsTakenBackWhole() {
        Fixture f;
        for (int i = 0; i < 2000; ++i)
            f.add(u"Conexión aceptada desde el equipo número 1999."_s);
        {
            FileSizeLimit full(80 * 1024);
            QVERIFY(full.set());
            QVERIFY(!f.log.save().ok());
        }
        QVERIFY(f.log.save().ok());
        OSK_STATE(f, R"(
> said None: No se ha podido guardar el registro. | <folder>/Log/04122026.log: el archivo ha alcanzado el tamaño máximo
Log/04122026.log:  / [BEGIN 04/12/2026] / [09:05:17]  Conexión aceptada desde el equipo número 1999. (x2000) / [09:05:17]  Guardando registro de sucesos... (x2) / [END 04/12/2026] /  (x3)
log: 2 [09:05:17]  Conexión aceptada desde el equipo número 1999. (x2000) / 1 [09:05:17]  Guardando registro de sucesos... (x2) / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito.)");
    }
};

QTEST_GUILESS_MAIN(TestEventLog)
#include "test_event_log.moc"
