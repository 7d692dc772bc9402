#include "eventlog/event_log.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDir>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace osk;
using namespace osk::test;

namespace {

QDateTime at(int day, int hour, int minute, int second) {
    return QDateTime(QDate(2026, 12, day), QTime(hour, minute, second));
}

// A list as one line, items apart by " / ", a run of equal items once with its count.
QString runs(const QStringList& items) {
    QStringList out;
    for (qsizetype i = 0, n = 1; i < items.size(); i += n, n = 1) {
        while (i + n < items.size() && items[i + n] == items[i])
            ++n;
        out << (n > 1 ? items[i] + QStringLiteral(" (x%1)").arg(n) : items[i]);
    }
    return out.join(QStringLiteral(" / "));
}

// A day's file as its blocks, "{date: line / line}" each; bytes that are no whole block follow raw.
QString blocks(QString text) {
    static const QRegularExpression block(
        QStringLiteral("\r\n\\[BEGIN ([^\\]]*)\\]\r\n(.*?)\\[END \\1\\]\r\n\r\n\r\n"),
        QRegularExpression::DotMatchesEverythingOption);
    QString out;
    for (QRegularExpressionMatch m; (m = block.match(text, 0, QRegularExpression::NormalMatch,
                                                     QRegularExpression::AnchorAtOffsetMatchOption))
                                        .hasMatch();
         text.remove(0, m.capturedLength()))
        out += QStringLiteral(" {%1: %2}")
                   .arg(m.captured(1), runs(m.captured(2)
                                                .split(QStringLiteral("\r\n"))
                                                .mid(0, m.captured(2).count(QStringLiteral("\r\n")))));
    return text.isEmpty()
               ? out
               : out + QStringLiteral(" raw: ") +
                     text.replace(u'\r', QStringLiteral("\\r")).replace(u'\n', QStringLiteral("\\n"));
}

struct Fixture {
    TempProgramFolder folder;
    FakeClock clock; // 04/12/2026 09:05:17
    ScriptedOperator op;
    EventLog log{clock, op, folder.path()};
    qsizetype seen = 0;

    QString path(const QString& name) const { return folder.file(QStringLiteral("Log/") + name); }
    void addFiles(QStringList& out, const QString& dir) const {
        for (const QFileInfo& info : QDir(dir).entryInfoList(
                 QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name)) {
            const QString name = info.filePath().mid(folder.path().size() + 1);
            const auto text = [&] {
                return QString::fromLatin1(readFileBytes(info.filePath()));
            };
            if (info.isSymLink())
                out << name + QStringLiteral(" -> ") + info.symLinkTarget();
            else if (info.isDir() && QDir(info.filePath()).isEmpty()) // a folder shows as what it holds
                out << name + QLatin1Char('/');
            else if (info.isDir())
                addFiles(out, info.filePath());
            else if (!info.isFile())
                out << name + QStringLiteral(" (fifo)");
            else if (name.endsWith(QLatin1String(".log")))
                out << name + QLatin1Char(':') + blocks(text());
            else
                out << name + QStringLiteral(": ") +
                           runs(text().replace(u'\t', QStringLiteral("\\t")).split(QStringLiteral("\r\n")));
        }
    }
    // What a person can see: the lines in memory with their kinds, every file of the program folder
    // (Windows-1252 shown as Latin-1), what the operator was told since the last look.
    QString state() {
        QStringList out, entries;
        for (const LogEntry& entry : log.entries())
            entries << QString::number(int(entry.kind)) + QLatin1Char(' ') + entry.text;
        out << QStringLiteral("log: ") + runs(entries);
        addFiles(out, folder.path());
        for (const QString& said : op.shown.mid(std::exchange(seen, op.shown.size())))
            out << QStringLiteral("> ") + QString(said).replace(u'\n', QStringLiteral(" | "));
        const QString text = out.join(u'\n').replace(folder.path(), QStringLiteral("<folder>"));
        if (qEnvironmentVariableIsSet("OSK_SNAPSHOT_PRINT")) // the text to read and approve
            qInfo().noquote() << text;
        return text;
    }
    void add(const QString& text, LogKind kind = LogKind::Info) { log.AddLog(text, kind); }
    void later(const QString& text) {
        QTimer::singleShot(0, &log, [this, text] { add(text); });
    }
};

// The expected text starts on the line after the macro's.
#define OSK_STATE(f, expected) OSK_COMPARE_SNAPSHOT(u'\n' + (f).state(), QString::fromUtf8(expected))

} // namespace

class TestEventLog final : public QObject {
    Q_OBJECT

private slots:

    // Each day's lines go to the file of their own date, sent there from inside the handler that logs
    // the next day's first line (no other event runs meanwhile); a line logged while the old day is
    // written belongs to the new one. A roll-over the disk stops keeps every line and says why.
    void daysRollOverAndASaveThatFails() {
        Fixture f;
        f.clock.set(at(4, 23, 59, 58));
        f.log.openJournal();
        f.add(QStringLiteral("Servidor activo."), LogKind::Done);
        f.clock.set(at(5, 0, 0, 3));
        f.later(QStringLiteral("Conexión aceptada."));
        QVERIFY(f.log.save().ok());
        OSK_STATE(f, R"(
log: 2 [00:00:03]  Conexión aceptada. / 1 [00:00:03]  Guardando registro de sucesos... / 1 [00:00:03]  <folder>/Log/05122026.log creado con éxito.
Log/04122026.log: {04/12/2026: [23:59:58]  Servidor activo.}
Log/05122026.log: {05/12/2026: [00:00:03]  Conexión aceptada. / [00:00:03]  Guardando registro de sucesos...}
Log/eventlog.journal: 05/12/2026\t[00:00:03]  <folder>/Log/05122026.log creado con éxito. / )");

        f.clock.set(at(6, 0, 0, 1));
        bool ran = false;
        QTimer::singleShot(0, &f.log, [&] { ran = true; });
        f.add(QStringLiteral("Esperando conexiones..."));
        QVERIFY(!ran);
        f.add(QStringLiteral("Conexión cerrada."));
        OSK_STATE(f, R"(
log: 2 [00:00:01]  Esperando conexiones... / 2 [00:00:01]  Conexión cerrada.
Log/04122026.log: {04/12/2026: [23:59:58]  Servidor activo.}
Log/05122026.log: {05/12/2026: [00:00:03]  Conexión aceptada. / [00:00:03]  Guardando registro de sucesos...} {05/12/2026: [00:00:03]  Conexión aceptada. / [00:00:03]  Guardando registro de sucesos... / [00:00:03]  <folder>/Log/05122026.log creado con éxito.}
Log/eventlog.journal: 06/12/2026\t[00:00:01]  Esperando conexiones... / 06/12/2026\t[00:00:01]  Conexión cerrada. / )");
        QTRY_VERIFY(ran);

        // The next midnight with the disk full: the failure is said, the 6th's lines stay in memory
        // (the journal fails too), a save asked for meanwhile writes nothing under the 7th's date,
        // and the exit's save with room again writes each day's lines once, to that day's file.
        f.clock.set(at(7, 0, 0, 2));
        {
            FileSizeLimit full(40);
            QVERIFY(full.set());
            f.add(QStringLiteral("Recibiendo petición de conexión..."));
            QVERIFY(!f.log.save().ok());
        }

        QVERIFY(f.log.saveAtExit().ok());
        OSK_STATE(f, R"(
log: 3 [00:00:02]  No se ha podido guardar el registro del 06/12/2026: <folder>/Log/06122026.log: el archivo ha alcanzado el tamaño máximo / 3 [00:00:02]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / 2 [00:00:02]  Recibiendo petición de conexión... / 3 [00:00:02]  No se ha podido guardar el registro del 06/12/2026: <folder>/Log/06122026.log: el archivo ha alcanzado el tamaño máximo / 2 [00:00:02]  El diario de recuperación del registro vuelve a estar disponible. / 1 [00:00:02]  Guardando registro de sucesos... / 1 [00:00:02]  <folder>/Log/07122026.log creado con éxito.
Log/04122026.log: {04/12/2026: [23:59:58]  Servidor activo.}
Log/05122026.log: {05/12/2026: [00:00:03]  Conexión aceptada. / [00:00:03]  Guardando registro de sucesos...} {05/12/2026: [00:00:03]  Conexión aceptada. / [00:00:03]  Guardando registro de sucesos... / [00:00:03]  <folder>/Log/05122026.log creado con éxito.}
Log/06122026.log: {06/12/2026: [00:00:01]  Esperando conexiones... / [00:00:01]  Conexión cerrada.}
Log/07122026.log: {07/12/2026: [00:00:02]  No se ha podido guardar el registro del 06/12/2026: <folder>/Log/06122026.log: el archivo ha alcanzado el tamaño máximo / [00:00:02]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / [00:00:02]  Recibiendo petición de conexión... / [00:00:02]  No se ha podido guardar el registro del 06/12/2026: <folder>/Log/06122026.log: el archivo ha alcanzado el tamaño máximo / [00:00:02]  El diario de recuperación del registro vuelve a estar disponible. / [00:00:02]  Guardando registro de sucesos...}
Log/eventlog.journal: 
> said None: No se ha podido guardar el registro. | <folder>/Log/06122026.log: el archivo ha alcanzado el tamaño máximo)");
    }

    void requestDuringASaveFollowsIt_data() {
        QTest::addColumn<bool>("save");
        QTest::addColumn<QString>("expected");
        // A line logged meanwhile waits for the next save, in memory and in the journal.
        QTest::newRow("a line") << false << QString::fromUtf8(R"(
log: 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:05:17]  Conexión aceptada. / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito.
Log/04122026.log: {04/12/2026: [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos...}
Log/eventlog.journal: 04/12/2026\t[09:05:17]  Conexión aceptada. / 04/12/2026\t[09:05:17]  <folder>/Log/04122026.log creado con éxito. / )");
        // A second save runs after the first, never inside it.
        QTest::newRow("a save") << true << QString::fromUtf8(R"(
log: 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Guardando registro de sucesos... / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito. / 1 [09:05:17]  Guardando registro de sucesos... / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito.
Log/04122026.log: {04/12/2026: [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos...} {04/12/2026: [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos... / [09:05:17]  <folder>/Log/04122026.log creado con éxito. / [09:05:17]  Guardando registro de sucesos...}
Log/eventlog.journal: 04/12/2026\t[09:05:17]  <folder>/Log/04122026.log creado con éxito. / )");
    }

    // The request comes between two written lines, as a socket event or a menu item would.
    void requestDuringASaveFollowsIt() {
        QFETCH(bool, save);
        QFETCH(QString, expected);
        Fixture f;
        f.log.openJournal();
        f.add(QStringLiteral("Servidor activo."), LogKind::Done);
        QTimer::singleShot(0, &f.log, [&] {
            if (save)
                QVERIFY(f.log.save().ok());
            else
                f.add(QStringLiteral("Conexión aceptada."));
        });
        QVERIFY(f.log.save().ok());
        OSK_STATE(f, expected.toUtf8().constData());
    }

    // What a killed run left goes to the file of the run's first date as a block of its own, past
    // midnight too; a clean end leaves nothing for the next start.
    void leftoverJournalIsRecoveredToItsDay() {
        Fixture f;
        QVERIFY(QDir().mkpath(f.path(QString())));
        QVERIFY(writeFileBytes(
            f.path(QStringLiteral("03122026.log")),
            "\r\n[BEGIN 03/12/2026]\r\n[08:00:00]  Servidor activo.\r\n[END 03/12/2026]\r\n\r\n\r\n"));
        QVERIFY(writeFileBytes(f.log.journalPath(),
                               "03/12/2026\t[22:10:00]  Validado usuario [ana] en [S\xCD].\r\n"
                               "03/12/2026\t[22:10:05]  Conexi\xF3n err\xF3nea.\r\n"
                               "04/12/2026\t[00:00:02]  Servidor inactivo.\r\n"));
        f.log.openJournal();

        QVERIFY(f.log.saveAtExit().ok());
        ScriptedOperator op;
        EventLog next(f.clock, op, f.folder.path());
        next.openJournal();
        OSK_STATE(f, R"(
log: 3 [09:05:17]  Se han recuperado 3 líneas del registro de una ejecución anterior. / 1 [09:05:17]  Guardando registro de sucesos... / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito.
Log/03122026.log: {03/12/2026: [08:00:00]  Servidor activo.} {03/12/2026: [22:10:00]  Validado usuario [ana] en [SÍ]. / [22:10:05]  Conexión errónea. / [00:00:02]  Servidor inactivo.}
Log/04122026.log: {04/12/2026: [09:05:17]  Se han recuperado 3 líneas del registro de una ejecución anterior. / [09:05:17]  Guardando registro de sucesos...}
Log/eventlog.journal: )");
    }

    void linesPastTheBoundAreSavedAsABlock_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("heldAtMost");
        // 50,000 lines, or 8 MiB of text as it is held (4 Mi characters): 4,144 lines of 1,012
        // characters fit, 4,145 do not.
        QTest::newRow("lines") << QStringLiteral("Recibiendo petición de conexión...") << 50000;
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
        const QString line = QStringLiteral("[09:05:17]  ") + text;
        OSK_COMPARE_SNAPSHOT(f.state(),
                             QStringLiteral("log: 2 %1 (x%2)\nLog/eventlog.journal: 04/12/2026\\t%1 (x%2) / ")
                                 .arg(line)
                                 .arg(heldAtMost));
        f.add(text);
        QTRY_COMPARE(f.log.entries().size(), size_t(0));
        f.add(QStringLiteral("Servidor inactivo."), LogKind::Done);
        QTest::qWait(50);
        OSK_COMPARE_SNAPSHOT(f.state(),
                             QStringLiteral("log: 1 [09:05:17]  Servidor inactivo.\nLog/04122026.log: "
                                            "{04/12/2026: %1 (x%2)}\nLog/eventlog.journal: "
                                            "04/12/2026\\t[09:05:17]  Servidor inactivo. / ")
                                 .arg(line)
                                 .arg(heldAtMost + 1));
    }

    // A block that cannot be written leaves every line where it was, and the failure is one line, not
    // one per line logged after it; the operator's save says it in a box.
    void boundSaveThatFailsKeepsTheLinesAndSaysSoOnce() {
        Fixture f;
        QVERIFY(writeFileBytes(f.folder.file(QStringLiteral("Log")), "not a folder"));
        for (int i = 0; i < 50005; ++i)
            f.add(QStringLiteral("Conexión aceptada. Esperando inicio de sesión..."), LogKind::Done);
        QTest::qWait(100);
        f.add(QStringLiteral("Servidor inactivo."), LogKind::Done);
        QTest::qWait(100);
        QVERIFY(!f.log.save().ok());
        OSK_STATE(f, R"(
log: 1 [09:05:17]  Conexión aceptada. Esperando inicio de sesión... (x50005) / 3 [09:05:17]  No se ha podido guardar el registro del 04/12/2026: No se puede crear la carpeta <folder>/Log. / 1 [09:05:17]  Servidor inactivo.
Log: not a folder
> said None: No se ha podido guardar el registro. | No se puede crear la carpeta <folder>/Log.)");
    }

    void journalThatIsNotItsOwnFileIsRefused_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("journal"); // the journal's place afterwards
        // A FIFO took every line until its 64 KiB were full, then froze the whole program.
        QTest::newRow("FIFO") << "fifo"
                              << "no es un archivo normal."
                              << "Log/eventlog.journal (fifo)";
        // Lines that look like a killed run's behind a link: never recovered, never emptied.
        QTest::newRow("symbolic link") << "symbolic" << QString::fromUtf8("es un enlace simbólico.")
                                       << "Log/eventlog.journal -> <folder>/precioso.txt";
        QTest::newRow("hard link")
            << "hard"
            << "tiene otro nombre (un enlace duro)."
            << QString::fromUtf8(
                   "Log/eventlog.journal: 03/12/2026\\t[22:10:00]  no es del registro / otra línea / ");
    }

    // Refused once, naming it, tried again later and refused again without a word; the lines still
    // reach the day's file, and whatever the journal's place leads to is left as it was.
    void journalThatIsNotItsOwnFileIsRefused() {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QFETCH(QString, journal);
        Fixture f;
        QVERIFY(QDir().mkpath(f.path(QString())));
        const QString target = f.folder.file(QStringLiteral("precioso.txt"));
        QVERIFY(writeFileBytes(target, "03/12/2026\t[22:10:00]  no es del registro\r\notra l\xEDnea\r\n"));
        const QByteArray place = QFile::encodeName(f.log.journalPath());
        if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(place.constData(), 0600), 0);
        else if (kind == QLatin1String("symbolic"))
            QVERIFY(QFile::link(target, f.log.journalPath()));
        else
            QCOMPARE(::link(QFile::encodeName(target).constData(), place.constData()), 0);
        f.log.openJournal();
        for (int i = 0; i < 2000; ++i) // some 100 KiB
            f.add(QStringLiteral("Conexión aceptada. Esperando inicio de sesión..."));
        QVERIFY(f.log.save().ok());
        f.clock.advanceSeconds(EventLog::kJournalRetrySeconds + 1);
        f.add(QStringLiteral("Servidor inactivo."), LogKind::Done);
        QVERIFY(f.log.saveAtExit().ok());
        OSK_COMPARE_SNAPSHOT(
            f.state(),
            QString::fromUtf8(
                R"(log: 3 [09:05:17]  El diario de recuperación del registro no está disponible: No se puede abrir el archivo <folder>/Log/eventlog.journal: %1 / 2 [09:05:17]  Conexión aceptada. Esperando inicio de sesión... (x2000) / 1 [09:05:17]  Guardando registro de sucesos... / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito. / 1 [09:06:18]  Servidor inactivo. / 1 [09:06:18]  Guardando registro de sucesos... / 1 [09:06:18]  <folder>/Log/04122026.log creado con éxito.
Log/04122026.log: {04/12/2026: [09:05:17]  El diario de recuperación del registro no está disponible: No se puede abrir el archivo <folder>/Log/eventlog.journal: %1 / [09:05:17]  Conexión aceptada. Esperando inicio de sesión... (x2000) / [09:05:17]  Guardando registro de sucesos...} {04/12/2026: [09:05:17]  El diario de recuperación del registro no está disponible: No se puede abrir el archivo <folder>/Log/eventlog.journal: %1 / [09:05:17]  Conexión aceptada. Esperando inicio de sesión... (x2000) / [09:05:17]  Guardando registro de sucesos... / [09:05:17]  <folder>/Log/04122026.log creado con éxito. / [09:06:18]  Servidor inactivo. / [09:06:18]  Guardando registro de sucesos...}
%2
precioso.txt: 03/12/2026\t[22:10:00]  no es del registro / otra línea / )")
                .arg(reason, journal));
    }

    // The journal opened, then a link put in its place while the program runs: what the journal does
    // after a save and at the end goes to the file it opened, never through the link's name.
    void linkPutInTheJournalsPlaceIsNeverWrittenThrough() {
        Fixture f;
        f.log.openJournal();
        f.add(QStringLiteral("Servidor activo."), LogKind::Done);
        const QString target = f.folder.file(QStringLiteral("precioso.txt"));
        QVERIFY(writeFileBytes(target, "precioso\r\n"));
        QVERIFY(QFile::remove(f.log.journalPath()));
        QVERIFY(QFile::link(target, f.log.journalPath()));
        f.later(QStringLiteral("Conexión aceptada."));
        QVERIFY(f.log.save().ok());
        f.add(QStringLiteral("Servidor inactivo."), LogKind::Done);
        QVERIFY(f.log.saveAtExit().ok());
        OSK_STATE(f, R"(
log: 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:05:17]  Conexión aceptada. / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito. / 1 [09:05:17]  Servidor inactivo. / 1 [09:05:17]  Guardando registro de sucesos... / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito.
Log/04122026.log: {04/12/2026: [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos...} {04/12/2026: [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos... / [09:05:17]  Conexión aceptada. / [09:05:17]  <folder>/Log/04122026.log creado con éxito. / [09:05:17]  Servidor inactivo. / [09:05:17]  Guardando registro de sucesos...}
Log/eventlog.journal -> <folder>/precioso.txt
precioso.txt: precioso / )");
    }

    void daysFileThatIsNotARegularFileIsRefused_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("placed"); // what the day's file is
        QTest::addColumn<QString>("reason");
        QTest::newRow("FIFO") << "fifo"
                              << " (fifo)"
                              << "no es un archivo normal";
        QTest::newRow("link") << "link"
                              << " -> <folder>/precioso.txt" << QString::fromUtf8("es un enlace simbólico");
        QTest::newRow("folder") << "folder"
                                << "/"
                                << "es una carpeta";
    }

    // A save to it fails at once with the reason, naming it; a link's target is left as it was and the
    // lines stay in memory and in the journal for a later save.
    void daysFileThatIsNotARegularFileIsRefused() {
        QFETCH(QString, kind);
        QFETCH(QString, placed);
        QFETCH(QString, reason);
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
        f.add(QStringLiteral("Servidor activo."), LogKind::Done);
        QVERIFY(!f.log.saveAtExit().ok());
        OSK_COMPARE_SNAPSHOT(
            f.state(),
            QString::fromUtf8(
                R"(log: 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Guardando registro de sucesos...
Log/04122026.log%1
Log/eventlog.journal: 04/12/2026\t[09:05:17]  Servidor activo. / 04/12/2026\t[09:05:17]  Guardando registro de sucesos... / 
precioso.txt: precioso / 
> said None: No se ha podido guardar el registro. | No se puede abrir el archivo <folder>/Log/04122026.log: %2.)")
                .arg(placed, reason));
    }

    // The disk fills (here the size limit, as a full disk would): the journal fails once, with the
    // system's reason, and the lines stay in memory; a save fails the same way and leaves nothing
    // behind; a try while the disk is still full keeps what the journal holds. With room again the
    // journal comes back (not within the minute) holding every line not yet saved, and the save at
    // the end writes each line once.
    void fullDiskKeepsTheLinesAndTheJournalComesBack() {
        Fixture f;
        f.log.openJournal();
        f.add(QStringLiteral("Servidor activo."), LogKind::Done);
        {
            FileSizeLimit full(70);
            QVERIFY(full.set());
            f.add(QStringLiteral("Validado usuario [ana] en [SÍ]."), LogKind::Done);
            for (int i = 0; i < 20; ++i)
                f.add(QStringLiteral("Conexión aceptada."));
            QVERIFY(!f.log.save().ok());
            f.clock.advanceSeconds(EventLog::kJournalRetrySeconds + 1);
            f.add(QStringLiteral("Conexión cerrada.")); // tried: still full
            OSK_STATE(f, R"(
log: 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Validado usuario [ana] en [SÍ]. / 3 [09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / 2 [09:05:17]  Conexión aceptada. (x20) / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:06:18]  Conexión cerrada.
Log/04122026.log:
Log/eventlog.journal: 04/12/2026\t[09:05:17]  Servidor activo. / 
> said None: No se ha podido guardar el registro. | <folder>/Log/04122026.log: el archivo ha alcanzado el tamaño máximo)");
        }
        f.add(QStringLiteral("Servidor inactivo."), LogKind::Done); // within the minute: not tried
        f.clock.advanceSeconds(EventLog::kJournalRetrySeconds + 1);
        f.add(QStringLiteral("Servidor activo."), LogKind::Done);
        OSK_STATE(f, R"(
log: 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Validado usuario [ana] en [SÍ]. / 3 [09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / 2 [09:05:17]  Conexión aceptada. (x20) / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:06:18]  Conexión cerrada. / 1 [09:06:18]  Servidor inactivo. / 1 [09:07:19]  Servidor activo. / 2 [09:07:19]  El diario de recuperación del registro vuelve a estar disponible.
Log/04122026.log:
Log/eventlog.journal: 04/12/2026\t[09:05:17]  Servidor activo. / 04/12/2026\t[09:05:17]  Validado usuario [ana] en [SÍ]. / 04/12/2026\t[09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / 04/12/2026\t[09:05:17]  Conexión aceptada. (x20) / 04/12/2026\t[09:05:17]  Guardando registro de sucesos... / 04/12/2026\t[09:06:18]  Conexión cerrada. / 04/12/2026\t[09:06:18]  Servidor inactivo. / 04/12/2026\t[09:07:19]  Servidor activo. / 04/12/2026\t[09:07:19]  El diario de recuperación del registro vuelve a estar disponible. / )");
        QVERIFY(f.log.saveAtExit().ok());
        OSK_STATE(f, R"(
log: 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Validado usuario [ana] en [SÍ]. / 3 [09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / 2 [09:05:17]  Conexión aceptada. (x20) / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:06:18]  Conexión cerrada. / 1 [09:06:18]  Servidor inactivo. / 1 [09:07:19]  Servidor activo. / 2 [09:07:19]  El diario de recuperación del registro vuelve a estar disponible. / 1 [09:07:19]  Guardando registro de sucesos... / 1 [09:07:19]  <folder>/Log/04122026.log creado con éxito.
Log/04122026.log: {04/12/2026: [09:05:17]  Servidor activo. / [09:05:17]  Validado usuario [ana] en [SÍ]. / [09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / [09:05:17]  Conexión aceptada. (x20) / [09:05:17]  Guardando registro de sucesos... / [09:06:18]  Conexión cerrada. / [09:06:18]  Servidor inactivo. / [09:07:19]  Servidor activo. / [09:07:19]  El diario de recuperación del registro vuelve a estar disponible. / [09:07:19]  Guardando registro de sucesos...}
Log/eventlog.journal: )");
    }

    // The journal full, the day's file not: the save that succeeds brings the journal back without the
    // lines it saved, so a crash after it (another log on the same folder, the first never saved
    // again) recovers only what came after, and no line is twice in the day's file.
    void journalBackAfterASaveHoldsNoSavedLine() {
        Fixture f;
        f.log.openJournal();
        // Each line journaled holds its date too: 100 of them make a journal larger than their block.
        for (int i = 0; i < 100; ++i)
            f.add(QStringLiteral("Conexión aceptada."));
        {
            FileSizeLimit full(readFileBytes(f.log.journalPath()).size() + 10);
            QVERIFY(full.set());
            f.add(QStringLiteral("Validado usuario [ana] en [SÍ]."), LogKind::Done);
            QVERIFY(f.log.save().ok());
        }
        f.add(QStringLiteral("Conexión cerrada."));
        ScriptedOperator op;
        EventLog next(f.clock, op, f.folder.path());
        next.openJournal();
        OSK_STATE(f, R"(
log: 2 [09:05:17]  Conexión aceptada. (x100) / 1 [09:05:17]  Validado usuario [ana] en [SÍ]. / 3 [09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:05:17]  El diario de recuperación del registro vuelve a estar disponible. / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito. / 2 [09:05:17]  Conexión cerrada.
Log/04122026.log: {04/12/2026: [09:05:17]  Conexión aceptada. (x100) / [09:05:17]  Validado usuario [ana] en [SÍ]. / [09:05:17]  El diario de recuperación del registro no está disponible: <folder>/Log/eventlog.journal: el archivo ha alcanzado el tamaño máximo / [09:05:17]  Guardando registro de sucesos...} {04/12/2026: [09:05:17]  El diario de recuperación del registro vuelve a estar disponible. / [09:05:17]  <folder>/Log/04122026.log creado con éxito. / [09:05:17]  Conexión cerrada.}
Log/eventlog.journal: 04/12/2026\t[09:05:17]  Se han recuperado 3 líneas del registro de una ejecución anterior. / )");
    }

    // A killed run's lines that cannot reach their day's file at the start stay in the journal; the
    // first good save brings them there, and the journal back with this run's lines. Lines whose day's
    // file stays unusable outlive even a good exit, for a later start.
    void leftoverNotRecoveredOnAFullDiskIsRecoveredLater() {
        Fixture f;
        QVERIFY(QDir().mkpath(f.path(QStringLiteral("02122026.log"))));
        QVERIFY(writeFileBytes(f.log.journalPath(),
                               "03/12/2026\t[22:10:00]  Validado usuario [ana] en [S\xCD].\r\n"
                               "03/12/2026\t[22:10:05]  Conexi\xF3n err\xF3nea.\r\n"));
        {
            FileSizeLimit full(20);
            QVERIFY(full.set());
            f.log.openJournal();
            f.add(QStringLiteral("Servidor activo."), LogKind::Done);
        }
        OSK_STATE(f, R"(
log: 3 [09:05:17]  No se han podido recuperar las líneas del registro de una ejecución anterior: <folder>/Log/03122026.log: el archivo ha alcanzado el tamaño máximo / 1 [09:05:17]  Servidor activo.
Log/02122026.log/
Log/03122026.log:
Log/eventlog.journal: 03/12/2026\t[22:10:00]  Validado usuario [ana] en [SÍ]. / 03/12/2026\t[22:10:05]  Conexión errónea. / )");
        QVERIFY(f.log.save().ok());
        OSK_STATE(f, R"(
log: 3 [09:05:17]  No se han podido recuperar las líneas del registro de una ejecución anterior: <folder>/Log/03122026.log: el archivo ha alcanzado el tamaño máximo / 1 [09:05:17]  Servidor activo. / 1 [09:05:17]  Guardando registro de sucesos... / 2 [09:05:17]  El diario de recuperación del registro vuelve a estar disponible. / 3 [09:05:17]  Se han recuperado 2 líneas del registro de una ejecución anterior. / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito.
Log/02122026.log/
Log/03122026.log: {03/12/2026: [22:10:00]  Validado usuario [ana] en [SÍ]. / [22:10:05]  Conexión errónea.}
Log/04122026.log: {04/12/2026: [09:05:17]  No se han podido recuperar las líneas del registro de una ejecución anterior: <folder>/Log/03122026.log: el archivo ha alcanzado el tamaño máximo / [09:05:17]  Servidor activo. / [09:05:17]  Guardando registro de sucesos...}
Log/eventlog.journal: 04/12/2026\t[09:05:17]  El diario de recuperación del registro vuelve a estar disponible. / 04/12/2026\t[09:05:17]  Se han recuperado 2 líneas del registro de una ejecución anterior. / 04/12/2026\t[09:05:17]  <folder>/Log/04122026.log creado con éxito. / )");
        QVERIFY(f.log.saveAtExit().ok());

        ScriptedOperator op;
        EventLog later(f.clock, op, f.folder.path());
        QVERIFY(writeFileBytes(later.journalPath(), "02/12/2026\t[22:10:00]  Servidor activo.\r\n"));
        later.openJournal();
        later.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
        QVERIFY(later.saveAtExit().ok());
        QCOMPARE(readFileBytes(later.journalPath()),
                 QByteArray("02/12/2026\t[22:10:00]  Servidor activo.\r\n"));
    }

    // A block larger than one write, stopped by the disk after its first pieces, leaves nothing in the
    // day's file: the next save writes each line once.
    void blockCutShortAfterItsFirstPiecesIsTakenBackWhole() {
        Fixture f;
        for (int i = 0; i < 2000; ++i)
            f.add(QStringLiteral("Conexión aceptada desde el equipo número 1999."));
        {
            FileSizeLimit full(80 * 1024);
            QVERIFY(full.set());
            QVERIFY(!f.log.save().ok());
        }
        QVERIFY(f.log.save().ok());
        OSK_STATE(f, R"(
log: 2 [09:05:17]  Conexión aceptada desde el equipo número 1999. (x2000) / 1 [09:05:17]  Guardando registro de sucesos... (x2) / 1 [09:05:17]  <folder>/Log/04122026.log creado con éxito.
Log/04122026.log: {04/12/2026: [09:05:17]  Conexión aceptada desde el equipo número 1999. (x2000) / [09:05:17]  Guardando registro de sucesos... (x2)}
> said None: No se ha podido guardar el registro. | <folder>/Log/04122026.log: el archivo ha alcanzado el tamaño máximo)");
    }
};

QTEST_GUILESS_MAIN(TestEventLog)
#include "test_event_log.moc"
