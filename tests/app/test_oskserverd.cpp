#include "config/main_settings.h"
#include "database/embedded_engine.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDate>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>
#include <csignal>
#include <sqlite3.h>
#include <sys/types.h>

using osk::test::freePort;
using osk::test::portSettings;
using osk::test::readFileBytes;
using osk::test::TempProgramFolder;
using osk::test::writeFileBytes;

namespace {

// The server is another process, so the blocking waits below never starve it.
constexpr int kWaitMs = 20000;
const QByteArray kListening = "Esperando conexiones...";

// One run of the built service. Whatever the test leaves running is killed at the end, so that a
// failed check never leaves a server behind.
struct Daemon {
    QProcess process;
    QByteArray out;
    QByteArray err;

    Daemon() { process.setProgram(QStringLiteral(OSKSERVERD_PATH)); }
    ~Daemon() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(kWaitMs);
        }
    }

    bool start(const QStringList& arguments) {
        process.setArguments(arguments);
        process.start();
        return process.waitForStarted(kWaitMs);
    }
    void drain() {
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
    }
    // Until stdout carries the text, the process ends, or the wait runs out.
    bool waitForOutput(const QByteArray& text) {
        QDeadlineTimer deadline(kWaitMs);
        for (;;) {
            drain();
            if (out.contains(text))
                return true;
            if (process.state() == QProcess::NotRunning || deadline.hasExpired())
                return false;
            process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
    }
    bool terminate(int signalNumber = SIGTERM) {
        return ::kill(pid_t(process.processId()), signalNumber) == 0;
    }
    bool waitForFinished() {
        const bool finished = process.waitForFinished(kWaitMs);
        drain();
        return finished;
    }
    QString errText() const { return QString::fromUtf8(err); }
    bool serve(const QString& home) {
        return start({QStringLiteral("--home"), home}) && waitForOutput(kListening);
    }
    bool stop(int signalNumber = SIGTERM) {
        return terminate(signalNumber) && waitForFinished() && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }
};

// A program folder whose settings name a free port.
struct Home {
    TempProgramFolder folder;
    quint16 port = freePort();
    bool ready() const {
        return port != 0 && writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), portSettings(port));
    }
    QString path() const { return folder.path(); }
};

// A raw client of the wire protocol. Messages are not framed, so a probe ("CHECK") may sit next to
// an answer: each wait looks for its bytes anywhere in what came and consumes up to them.
struct Client {
    QTcpSocket socket;
    QByteArray received;

    bool connectTo(quint16 port) {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(kWaitMs);
    }
    bool send(const QByteArray& bytes) {
        return socket.write(bytes) == bytes.size() && socket.waitForBytesWritten(kWaitMs);
    }
    bool expect(const QByteArray& bytes) {
        QDeadlineTimer deadline(kWaitMs);
        for (;;) {
            received += socket.readAll();
            if (const qsizetype at = received.indexOf(bytes); at >= 0) {
                received.remove(0, at + bytes.size());
                return true;
            }
            if (deadline.hasExpired())
                return false;
            if (!socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
                if (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0)
                    return false;
            }
        }
    }
    // Connects, opens a session named after the user and validates the user.
    bool logIn(Daemon& daemon, quint16 port, const QByteArray& name) {
        return connectTo(port) && expect("CONNECTED") && send("SESION-" + name) &&
               daemon.waitForOutput("para [SESION-" + name + "] completado.") && send("USER=" + name) &&
               expect("USER_OK");
    }
};

QString logName(const QDate& date) {
    return QStringLiteral("Log/") + date.toString(QStringLiteral("ddMMyyyy")) + QStringLiteral(".log");
}

} // namespace

class TestOskServerd final : public QObject {
    Q_OBJECT

private slots:
    void servesClientsStopsOnSignalAndSavesLog_data();
    void servesClientsStopsOnSignalAndSavesLog();
    void versionAndHelp_data();
    void versionAndHelp();
    void secondCopyOnSameFolderIsRefused();
    void portTakenByAnotherListener();
    void unwritableLogFailsTheExit();
    void killedServerLosesNoLine();
    void freshFolderGetsDefaultSettings();
    void createdDatabaseIsListedAndGetsTheServerData();
    void stopDuringBackupCancelsItAndLogsIt();
};

void TestOskServerd::servesClientsStopsOnSignalAndSavesLog_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestOskServerd::servesClientsStopsOnSignalAndSavesLog() {
    QFETCH(int, signalNumber);
    Home home;
    QVERIFY(home.ready());
    const TempProgramFolder& folder = home.folder;
    Daemon daemon;
    const QDate startDate = QDate::currentDate();
    QVERIFY2(daemon.serve(home.path()), daemon.err.constData());

    // The session start has no answer; the server's own log line says it has been taken.
    Client alicia;
    Client bruno;
    QVERIFY(alicia.logIn(daemon, home.port, "alicia"));
    QVERIFY(bruno.logIn(daemon, home.port, "bruno"));

    // Every byte value a note can carry (a NUL and the upper half) comes out as it went in.
    QByteArray note("hola");
    note.append('\0');
    for (int byte = 0x80; byte <= 0xFF; ++byte)
        note.append(char(byte));
    note.append("fin");
    QVERIFY(alicia.send("NOTE:" + note + "-bruno"));
    QVERIFY(bruno.expect("NOTE:" + note));

    QVERIFY(daemon.terminate(signalNumber));
    QVERIFY(alicia.expect("CLOSED"));
    QVERIFY(bruno.expect("CLOSED"));
    QVERIFY(daemon.waitForFinished());
    const QDate endDate = QDate::currentDate();
    QCOMPARE(daemon.process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(daemon.process.exitCode() == 0, daemon.err.constData());

    QString logPath = folder.file(logName(endDate));
    if (!QFileInfo::exists(logPath))
        logPath = folder.file(logName(startDate));
    const QByteArray file = readFileBytes(logPath);
    QVERIFY2(!file.isEmpty(), qPrintable(logPath));
    const QDate date = logPath.endsWith(logName(endDate)) ? endDate : startDate;
    const QByteArray marker = date.toString(QStringLiteral("dd/MM/yyyy")).toLatin1();

    // One block: an empty line, BEGIN, the lines, END, two empty lines; every line ends in CR LF.
    const QByteArray begin = "\r\n[BEGIN " + marker + "]\r\n";
    const QByteArray end = "[END " + marker + "]\r\n\r\n\r\n";
    QVERIFY(file.startsWith(begin) && file.endsWith(end));
    QCOMPARE(file.count('\n'), file.count("\r\n"));
    QCOMPARE(file.count("[BEGIN "), 1);
    const QByteArrayList body =
        file.mid(begin.size(), file.size() - begin.size() - end.size()).chopped(1).split('\n');
    QVERIFY(body.last().endsWith("]  Guardando registro de sucesos...\r"));
    for (const QByteArray& line : body)
        QVERIFY2(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\]  \\S.*\r$"))
                     .match(QString::fromLatin1(line))
                     .hasMatch(),
                 line.constData());
    // In Windows-1252, in the order they happened.
    qsizetype at = 0;
    for (const QByteArray text :
         {"Inicializaci\xF3n Completada.", "Validado usuario [alicia] en [SESION-alicia].",
          "Validado usuario [bruno] en [SESION-bruno].", "Cerrando conexiones...", "Conexiones cerradas.",
          "Servidor inactivo."}) {
        at = file.indexOf("]  " + text + "\r\n", at);
        QVERIFY2(at > 0, text.constData());
    }

    // Every line the file holds went to stdout as it was logged, and so did the save's report.
    const QString out = QString::fromUtf8(daemon.out);
    for (const QByteArray& line : body)
        QVERIFY2(out.contains(QString::fromLatin1(line.chopped(1)) + QLatin1Char('\n')), line.constData());
    QVERIFY(out.contains(QDir::toNativeSeparators(logPath) + QStringLiteral(" creado con éxito.\n")));
}

void TestOskServerd::versionAndHelp_data() {
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");

    QTest::newRow("--version") << QStringLiteral("--version") << QStringLiteral(OSK_VERSION_STRING);
    QTest::newRow("--help") << QStringLiteral("--help") << QStringLiteral("--home");
}

void TestOskServerd::versionAndHelp() {
    QFETCH(QString, option);
    QFETCH(QString, expected);

    TempProgramFolder folder;
    Daemon daemon;
    QVERIFY(daemon.start({option, QStringLiteral("--home"), folder.path()}));
    QVERIFY(daemon.waitForFinished());
    QCOMPARE(daemon.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.process.exitCode(), 0);
    QVERIFY2(QString::fromUtf8(daemon.out).contains(expected), daemon.out.constData());
    // Answering the option is all it does: no settings, no log, no databases.
    QVERIFY(QDir(folder.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
}

void TestOskServerd::secondCopyOnSameFolderIsRefused() {
    Home home;
    QVERIFY(home.ready());
    Daemon first;
    QVERIFY2(first.serve(home.path()), first.err.constData());

    Daemon second;
    QVERIFY(second.start({QStringLiteral("--home"), home.path()}));
    QVERIFY(second.waitForFinished());
    QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
    QVERIFY(second.process.exitCode() != 0);
    QVERIFY2(second.errText().contains(QStringLiteral("El servidor ya está en funcionamiento")),
             second.err.constData());

    // The first copy is untouched and still serves.
    QCOMPARE(first.process.state(), QProcess::Running);
    Client client;
    QVERIFY(client.connectTo(home.port));
    QVERIFY(client.expect("CONNECTED"));
    QVERIFY(first.stop());
}

void TestOskServerd::portTakenByAnotherListener() {
    TempProgramFolder folder;
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::AnyIPv4, 0));
    const quint16 port = other.serverPort();
    QVERIFY(writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), portSettings(port)));

    Daemon daemon;
    QVERIFY(daemon.start({QStringLiteral("--home"), folder.path()}));
    QVERIFY(daemon.waitForFinished());
    QCOMPARE(daemon.process.exitStatus(), QProcess::NormalExit);
    // The status the unit does not restart on: a retry would find the port taken again.
    QCOMPARE(daemon.process.exitCode(), 78);
    QVERIFY2(daemon.errText().contains(QStringLiteral("El puerto %1 ya está siendo utilizado").arg(port)),
             daemon.err.constData());
    QVERIFY(daemon.out.contains("Puerto incorrecto."));
    QVERIFY(!daemon.out.contains(kListening));
}

void TestOskServerd::unwritableLogFailsTheExit() {
    Home home;
    QVERIFY(home.ready());
    QVERIFY(writeFileBytes(home.folder.file(QStringLiteral("Log")), "not a folder"));

    Daemon daemon;
    QVERIFY2(daemon.serve(home.path()), daemon.err.constData());
    QVERIFY(daemon.terminate());
    QVERIFY(daemon.waitForFinished());

    QCOMPARE(daemon.process.exitStatus(), QProcess::NormalExit);
    QVERIFY(daemon.process.exitCode() != 0);
    QVERIFY2(daemon.errText().contains(QStringLiteral("No se ha podido guardar el registro.")),
             daemon.err.constData());
    QVERIFY(daemon.out.contains("Servidor inactivo."));
    QCOMPARE(readFileBytes(home.folder.file(QStringLiteral("Log"))), QByteArray("not a folder"));
}

// A kill leaves no chance to save: the next start in the same folder puts every line of the killed
// run into the day's file, as a block of its own, and says so.
void TestOskServerd::killedServerLosesNoLine() {
    Home home;
    QVERIFY(home.ready());
    const TempProgramFolder& folder = home.folder;
    const QDate startDate = QDate::currentDate();
    QByteArray killedOut;
    {
        Daemon daemon;
        QVERIFY2(daemon.serve(home.path()), daemon.err.constData());
        Client alicia;
        Client bruno;
        QVERIFY(alicia.logIn(daemon, home.port, "alicia"));
        QVERIFY(bruno.logIn(daemon, home.port, "bruno"));
        QVERIFY(daemon.waitForOutput("Validado usuario [bruno] en [SESION-bruno]."));
        daemon.process.kill();
        QVERIFY(daemon.waitForFinished());
        QCOMPARE(daemon.process.exitStatus(), QProcess::CrashExit);
        killedOut = daemon.out;
    }
    QList<QByteArray> killedLines;
    for (const QByteArray& line : killedOut.split('\n')) {
        if (!line.isEmpty())
            killedLines << QString::fromUtf8(line).toLatin1();
    }
    QVERIFY(killedLines.size() >= 8);

    Daemon daemon;
    QVERIFY2(daemon.serve(home.path()), daemon.err.constData());
    const QByteArray recovered = "Se han recuperado " + QByteArray::number(killedLines.size()) +
                                 " l\xC3\xADneas del registro de una ejecuci\xC3\xB3n anterior.";
    QVERIFY2(daemon.out.contains(recovered), daemon.out.constData());
    QVERIFY(daemon.stop());

    QByteArray files = readFileBytes(folder.file(logName(startDate)));
    if (const QDate today = QDate::currentDate(); today != startDate)
        files += readFileBytes(folder.file(logName(today)));
    const QByteArray marker = startDate.toString(QStringLiteral("dd/MM/yyyy")).toLatin1();
    QVERIFY2(files.startsWith("\r\n[BEGIN " + marker + "]\r\n" + killedLines.join("\r\n") + "\r\n[END " +
                              marker + "]\r\n\r\n\r\n"),
             files.constData());
    QVERIFY(files.contains(QString::fromUtf8(recovered).toLatin1() + "\r\n"));
    QCOMPARE(files.count("[BEGIN "), 2);
}

void TestOskServerd::freshFolderGetsDefaultSettings() {
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::AnyIPv4, 1033))
            QSKIP("Port 1033 is in use on this computer");
    }
    TempProgramFolder parent;
    const QString home = parent.file(QStringLiteral("nuevo"));

    Daemon daemon;
    QVERIFY(daemon.start({QStringLiteral("--home"), home}));
    if (!daemon.waitForOutput(kListening)) {
        daemon.waitForFinished();
        if (daemon.errText().contains(QStringLiteral("El puerto 1033")))
            QSKIP("Port 1033 was taken meanwhile");
        QFAIL(daemon.err.constData());
    }
    QCOMPARE(readFileBytes(QDir(home).filePath(QStringLiteral("OskServer.INI"))),
             QByteArray("[Main]\r\nPort=1033\r\n"));
    QVERIFY(QFileInfo(QDir(home).filePath(QStringLiteral("Data/OskDB.db"))).isFile());

    QVERIFY(daemon.stop());
    QCOMPARE(readFileBytes(QDir(home).filePath(QStringLiteral("OskServer.INI"))),
             QByteArray("[Main]\r\nPort=1033\r\n"));
}

// As a new user tries it: a product database made by the service itself is listed at the next start
// and carries this server's host, port and user mode, as OskDB does.
void TestOskServerd::createdDatabaseIsListedAndGetsTheServerData() {
    TempProgramFolder folder;
    const quint16 port = freePort();
    QVERIFY(writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), portSettings(port)));

    Daemon create;
    QVERIFY(create.start({QStringLiteral("--home"), folder.path(), QStringLiteral("--create-database"),
                          QStringLiteral("oskdemo")}));
    QVERIFY(create.waitForFinished());
    QCOMPARE(create.process.exitCode(), 0);
    Daemon again;
    QVERIFY(again.start({QStringLiteral("--home"), folder.path(), QStringLiteral("--create-database"),
                         QStringLiteral("OSKDEMO")}));
    QVERIFY(again.waitForFinished());
    QVERIFY(again.process.exitCode() != 0);
    QVERIFY(!again.err.isEmpty());

    Daemon daemon;
    QVERIFY(daemon.serve(folder.path()));
    QVERIFY(daemon.stop());

    osk::EmbeddedEngine engine(folder.file(QStringLiteral("Data")));
    const auto listed = engine.listProductDatabases();
    QVERIFY(listed.ok());
    QCOMPARE(*listed, QStringList({QStringLiteral("OskDB"), QStringLiteral("oskdemo")}));
    for (const QString& database : *listed) {
        const auto storedPort = engine.readProperty(database, QStringLiteral("AppOskServerPort"));
        const auto mode = engine.readProperty(database, QStringLiteral("AppUsrMode"));
        const auto host = engine.readProperty(database, QStringLiteral("AppOskServerHost"));
        QVERIFY(storedPort.ok() && mode.ok() && host.ok());
        QCOMPARE(**storedPort, QString::number(port));
        QCOMPARE(**mode, QStringLiteral("MULTI"));
        QCOMPARE(**host, osk::computerName());
    }
}

// A scheduled backup that the engine cannot finish (another program holds its database locked) and
// a stop: the backup is cancelled, its outcome reaches the saved log, no backup file is left, and
// the service is gone within 5 s of SIGTERM instead of waiting out the backup's time-out.
void TestOskServerd::stopDuringBackupCancelsItAndLogsIt() {
    Home home;
    QVERIFY(home.ready());
    const TempProgramFolder& folder = home.folder;
    QVERIFY(osk::EmbeddedEngine(folder.file(QStringLiteral("Data")))
                .createProductDatabase(QStringLiteral("oskdemo"))
                .ok());
    QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("Copias")));
    const QString output = folder.file(QStringLiteral("Copias/oskdemo.obk"));

    // The first check comes 59,999 ms after the service starts, which is within two seconds of now:
    // one schedule for each minute that check can fall in (the lower-numbered one wins a tie).
    const QTime now = QTime::currentTime();
    QByteArray schedules;
    for (const int index : {1, 2}) {
        const QTime due = now.addSecs(index == 1 ? 60 : 63);
        schedules += "[Backup" + QByteArray::number(index) +
                     "]\r\nType=1\r\nDataBase=oskdemo\r\nOutPutFile=" + output.toUtf8() +
                     "\r\nDay=0\r\nHour=" + due.toString(QStringLiteral("HH:mm")).toLatin1() + "\r\n";
    }
    QVERIFY(
        writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), portSettings(home.port) + schedules));

    Daemon daemon;
    QVERIFY2(daemon.serve(home.path()), daemon.err.constData());

    sqlite3* lock = nullptr;
    const auto closeLock = qScopeGuard([&lock] { sqlite3_close(lock); });
    QCOMPARE(sqlite3_open_v2(folder.file(QStringLiteral("Data/oskdemo.db")).toUtf8().constData(), &lock,
                             SQLITE_OPEN_READWRITE, nullptr),
             SQLITE_OK);
    QCOMPARE(sqlite3_exec(lock, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    // The backup has begun once its file is being built beside the output.
    const QDir copies(folder.file(QStringLiteral("Copias")));
    QDeadlineTimer due(75000);
    while (copies.isEmpty(QDir::Files | QDir::Hidden) && !due.hasExpired() &&
           daemon.process.state() == QProcess::Running)
        QThread::msleep(200);
    QVERIFY2(!copies.isEmpty(QDir::Files | QDir::Hidden), "the scheduled backup did not start");

    QVERIFY(daemon.terminate());
    QVERIFY2(daemon.process.waitForFinished(5000), "still running 5 s after SIGTERM");
    daemon.drain();
    QCOMPARE(daemon.process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(daemon.process.exitCode() == 0, daemon.err.constData());

    QVERIFY(copies.isEmpty(QDir::Files | QDir::Hidden));
    QString logPath = folder.file(logName(QDate::currentDate()));
    if (!QFileInfo::exists(logPath))
        logPath = folder.file(logName(QDate::currentDate().addDays(-1)));
    const QByteArray file = readFileBytes(logPath);
    const qsizetype cancelled = file.indexOf(
        "]  Copia de seguridad programada cancelada al cerrar Osk Server; no se ha generado el archivo.\r\n");
    QVERIFY2(cancelled > 0, file.constData());
    QVERIFY(cancelled < file.indexOf("]  Guardando registro de sucesos...\r\n"));
}

QTEST_GUILESS_MAIN(TestOskServerd)
#include "test_oskserverd.moc"
