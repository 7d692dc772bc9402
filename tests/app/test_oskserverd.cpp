// The built oskserverd end to end: clients from two computers, oskserverctl, SIGTERM, the saved log.

#include "support/served_client.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace osk::test;

namespace {

constexpr int kWaitMs = 20000;

// The built service in a program folder of its own; what it prints is gathered as it comes, and
// a run the test leaves behind is killed.
struct Daemon {
    TempProgramFolder folder;
    QProcess process;
    QByteArray out;
    QByteArray err;

    Daemon() {
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { err += process.readAllStandardError(); });
    }
    ~Daemon() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(kWaitMs);
        }
    }
    bool start(const QByteArray& settings, const QString& program = QStringLiteral(OSKSERVERD_PATH)) {
        return writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), settings) && launch({}, program);
    }
    // With what the folder holds; `as` is the command that runs it as another user (setpriv ...).
    bool launch(QStringList as = {}, const QString& program = QStringLiteral(OSKSERVERD_PATH)) {
        as << program << QStringLiteral("--home") << folder.path();
        const QString command = as.takeFirst();
        process.start(command, as);
        return process.waitForStarted(kWaitMs);
    }
    bool printed(const QByteArray& text) {
        return QTest::qWaitFor([&] { return out.contains(text); }, kWaitMs);
    }
    // Exit status of a normal exit within the wait, -1 otherwise.
    int exitCode(int waitMs = kWaitMs) {
        if (!QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, waitMs))
            return -1;
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    // oskserverctl's output and exit status for one command to this service.
    std::pair<QByteArray, int> control(const QStringList& arguments) const {
        QProcess tool;
        tool.start(QStringLiteral(OSKSERVERCTL_PATH), QStringList{"--home", folder.path()} + arguments);
        if (!tool.waitForFinished(kWaitMs))
            return {{}, -1};
        return {tool.readAllStandardOutput(), tool.exitCode()};
    }
};

} // namespace

class TestOskServerd final : public QObject {
    Q_OBJECT

private slots:
    // A folder the service may not write is no second copy: the refusal says what it is.
    void readOnlyFolderSaysWhy() {
        if (geteuid() != 0)
            QSKIP("Needs root to run the service as another user");
        Daemon d;
        QVERIFY(writeFileBytes(d.folder.file(QStringLiteral("OskServer.INI")), portSettings(freePort())));
        QVERIFY(QFile::setPermissions(d.folder.path(), QFile::Permissions(0x5555)));
        d.process.start(QStringLiteral("setpriv"),
                        {"--reuid=65534", "--regid=65534", "--clear-groups", QStringLiteral(OSKSERVERD_PATH),
                         "--home", d.folder.path()});
        QCOMPARE(d.exitCode(), 1);
        QCOMPARE(QString::fromLocal8Bit(d.err),
                 QStringLiteral("No se puede escribir en la carpeta %1: permiso denegado.\n")
                     .arg(d.folder.path()));
        QVERIFY(QFile::setPermissions(d.folder.path(), QFile::Permissions(0x7700)));
    }

    void servesIsControlledAndStopsOnSigterm() {
        Daemon d;
        const quint16 port = freePort();
        QVERIFY(d.start(portSettings(port)));
        QVERIFY2(d.printed("Esperando conexiones..."), d.err.constData());

        // One after the other: a connection still waiting for its session gives way to the next.
        const auto logIn = [&d, port](const char* from, const QByteArray& session, const QByteArray& user) {
            auto client = std::make_unique<Client>(port, QString::fromLatin1(from));
            if (!receives(*client, "CONNECTED"))
                return std::unique_ptr<Client>();
            client->send(session);
            if (!d.printed("para [" + session + "] completado."))
                return std::unique_ptr<Client>();
            client->send("USER=" + user);
            return receives(*client, "USER_OK") ? std::move(client) : nullptr;
        };
        const auto ana = logIn("127.0.0.1", "ALMACEN1", "ana");
        const auto luis = logIn("127.0.0.2", "CAJA", "luis");
        QVERIFY2(ana && luis, d.out.constData());
        // Bytes of the upper half pass through as they are.
        ana->send("NOTE:hola \x89\xF1\xFF-luis");
        QVERIFY(receives(*luis, "NOTE:hola \x89\xF1\xFF"));

        QCOMPARE(d.control({"disconnect", "luis"}).second, 0);
        QTRY_COMPARE_WITH_TIMEOUT(luis->socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);
        QCOMPARE(d.control({"users"}), std::pair(QByteArray("127.0.0.1  [ana] en [ALMACEN1]\n"), 0));

        const QDate started = QDate::currentDate();
        QVERIFY(::kill(pid_t(d.process.processId()), SIGTERM) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(ana->received, QByteArray("CLOSED"), kWaitMs);
        QCOMPARE(d.exitCode(), 0);

        // One block of Windows-1252 lines in the day's file, in the order they happened.
        QDate day = QDate::currentDate();
        QByteArray log = readFileBytes(d.folder.file(day.toString(QStringLiteral("'Log/'ddMMyyyy'.log'"))));
        if (log.isEmpty())
            log = readFileBytes(
                d.folder.file((day = started).toString(QStringLiteral("'Log/'ddMMyyyy'.log'"))));
        const QByteArray date = day.toString(QStringLiteral("dd/MM/yyyy")).toLatin1();
        QVERIFY2(log.startsWith("\r\n[BEGIN " + date + "]\r\n"), log.constData());
        QVERIFY(log.endsWith("[END " + date + "]\r\n\r\n\r\n"));
        qsizetype at = 0;
        for (const QByteArray& line :
             {QByteArray("Inicializaci\xF3n Completada."),
              QByteArray("Validado usuario [ana] en [ALMACEN1]."),
              "Orden de administraci\xF3n [disconnect luis] de [" + callerName().toLocal8Bit() + "].",
              QByteArray("Usuario [luis] en [CAJA] desconectado manualmente."),
              QByteArray("Cerrando conexiones..."), QByteArray("Servidor inactivo."),
              QByteArray("Guardando registro de sucesos...")}) {
            at = log.indexOf("]  " + line + "\r\n", at);
            QVERIFY2(at > 0, line.constData());
        }
        QVERIFY(d.out.contains("Servidor inactivo.\n"));
    }

    void stopsAtOnceWhileTheDatabaseServerIsSilent_data() {
        QTest::addColumn<QString>("program");
        QTest::newRow("oskserverd") << QStringLiteral(OSKSERVERD_PATH);
#ifdef OSKSERVER_PATH
        QTest::newRow("oskserver") << QStringLiteral(OSKSERVER_PATH);
#endif
    }
    // A database server that takes the connection and never answers holds each attempt for the
    // whole login time-out; a stop asked for meanwhile ends the attempts at once.
    void stopsAtOnceWhileTheDatabaseServerIsSilent() {
        QFETCH(QString, program);
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        Daemon d;
        QVERIFY(d.start(portSettings(freePort()) + "Engine=SQLServer\r\nSQLServer=127.0.0.1," +
                            QByteArray::number(silent.serverPort()) + "\r\nLoginTimeout=120\r\n",
                        program));
        QVERIFY2(QTest::qWaitFor([&] { return silent.hasPendingConnections(); }, kWaitMs), d.err.constData());
        QVERIFY(::kill(pid_t(d.process.processId()), SIGTERM) == 0);
        // Well within the attempt's two minutes and the unit's stop time-out.
        QCOMPARE(d.exitCode(5000), 0);
        QVERIFY2(!d.err.contains("conexi"), d.err.constData());
        // The service ends as a stopped one does, its log saved.
        if (program == QStringLiteral(OSKSERVERD_PATH))
            QVERIFY(d.out.contains("Guardando registro de sucesos...\n"));
    }

#ifdef OSKSERVER_PATH
    void consoleStopsWhileItAsksOrWarns_data() {
        QTest::addColumn<bool>("fifo");
        // With no server named, the console asks for one before its first attempt.
        QTest::newRow("the server's name asked for") << false;
        QTest::newRow("settings that cannot be read shown") << true;
    }
    // A stop answers the question or the message rather than waiting for the operator.
    void consoleStopsWhileItAsksOrWarns() {
        QFETCH(bool, fifo);
        Daemon d;
        const QString settings = d.folder.file(QStringLiteral("OskServer.INI"));
        if (fifo)
            QCOMPARE(::mkfifo(QFile::encodeName(settings).constData(), 0600), 0);
        else
            QVERIFY(writeFileBytes(settings, portSettings(freePort()) + "Engine=SQLServer\r\n"));
        QVERIFY(d.launch({}, QStringLiteral(OSKSERVER_PATH)));
        QTest::qWait(1500);
        QVERIFY(::kill(pid_t(d.process.processId()), SIGTERM) == 0);
        QVERIFY(d.exitCode(5000) != -1);
        QVERIFY(!QFileInfo(settings).isFile() || !readFileBytes(settings).contains("SQLServer="));
    }
#endif

    // Settings that keep the start from succeeding end the run with the status a service manager
    // does not retry on.
    void takenPortEndsWithTheConfigurationStatus() {
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::AnyIPv4, 0));
        Daemon d;
        QVERIFY(d.start(portSettings(other.serverPort())));
        QCOMPARE(d.exitCode(), 78);
        QVERIFY2(d.err.contains("El servicio no se ha podido iniciar."), d.err.constData());
        QVERIFY(d.out.contains("Puerto incorrecto."));
    }

    // A settings file that cannot be read ends the start at once, with the reason and the status
    // for settings, instead of waiting on a FIFO for ever or running on settings of its own.
    void unreadableSettingsEndWithTheConfigurationStatus_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder") << "folder"
                                << "es una carpeta";
        QTest::newRow("FIFO") << "FIFO"
                              << "no es un archivo normal";
        QTest::newRow("no permission") << "0000"
                                       << "permiso denegado";
    }
    void unreadableSettingsEndWithTheConfigurationStatus() {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        Daemon d;
        const QString settings = d.folder.file(QStringLiteral("OskServer.INI"));
        const QByteArray name = QFile::encodeName(settings);
        QStringList as;
        if (kind == u"folder") {
            QVERIFY(QDir().mkdir(settings));
        } else if (kind == u"FIFO") {
            QVERIFY(::mkfifo(name.constData(), 0600) == 0);
        } else {
            // Root reads whatever the mode says: the service runs as nobody.
            if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
                QSKIP("Needs root and setpriv to run the service as another user");
            QVERIFY(writeFileBytes(settings, portSettings(freePort())));
            QVERIFY(::chmod(name.constData(), 0) == 0);
            QVERIFY(::chmod(QFile::encodeName(d.folder.path()).constData(), 0777) == 0);
            as = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        }
        QVERIFY(d.launch(as));
        QCOMPARE(d.exitCode(), 78);
        QCOMPARE(
            QString::fromLocal8Bit(d.err),
            QStringLiteral("CargaValores: No se puede abrir el archivo %1: %2.\n").arg(settings, reason));
        QVERIFY(!QFileInfo::exists(d.folder.file(QStringLiteral("Data"))));
    }

    // The lock file is the service's own: a link or a FIFO in its place is refused by name, and
    // left as it was, with what a link leads to.
    void lockThatIsNoFileIsRefused_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("link to nothing") << "dangling"
                                         << "es un enlace simbólico";
        QTest::newRow("link to a file") << "link"
                                        << "es un enlace simbólico";
        QTest::newRow("FIFO") << "FIFO"
                              << "no es un archivo normal";
    }
    void lockThatIsNoFileIsRefused() {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        Daemon d;
        TempProgramFolder elsewhere;
        const QString lock = d.folder.file(QStringLiteral(".oskserverd.lock"));
        const QString target = elsewhere.file(QStringLiteral("other"));
        if (kind == u"FIFO") {
            QVERIFY(::mkfifo(QFile::encodeName(lock).constData(), 0600) == 0);
        } else {
            QVERIFY(kind == u"dangling" || writeFileBytes(target, "datos\n"));
            QVERIFY(QFile::link(target, lock));
        }
        QVERIFY(d.start(portSettings(freePort())));
        QCOMPARE(d.exitCode(), 1);
        QCOMPARE(QString::fromLocal8Bit(d.err),
                 QStringLiteral("No se puede usar el archivo de bloqueo %1: %2.\n").arg(lock, reason));
        if (kind != u"FIFO") {
            QCOMPARE(QFile::symLinkTarget(lock), target);
            QCOMPARE(readFileBytes(target), QByteArray(kind == u"link" ? "datos\n" : ""));
            QCOMPARE(QFileInfo::exists(target), kind == u"link");
        }
    }

    // What a power cut or a full disk leaves: an empty lock that no copy holds, and a file size
    // limit that writes run into. The service starts, serves, says why its log cannot be written
    // and ends as it should, never killed by the limit.
    void startsOverAnEmptyLockAndLivesWithAFullDisk() {
        Daemon d;
        const QString lock = d.folder.file(QStringLiteral(".oskserverd.lock"));
        QVERIFY(writeFileBytes(lock, QByteArray()));
        QFile file(lock);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(
            file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
        file.close();
        const quint16 port = freePort();
        QVERIFY(writeFileBytes(d.folder.file(QStringLiteral("OskServer.INI")), portSettings(port)));
        QVERIFY(d.launch({QStringLiteral("prlimit"), QStringLiteral("--fsize=16384")}));
        QVERIFY2(d.printed("Esperando conexiones..."), d.err.constData());
        for (int i = 0; i < 200; ++i) {
            Client client(port, i % 2 ? QStringLiteral("127.0.0.2") : QStringLiteral("127.0.0.3"));
            QVERIFY(receives(client, "CONNECTED"));
        }
        QVERIFY(d.printed("el archivo ha alcanzado el tama\xC3\xB1o m\xC3\xA1ximo"));
        QCOMPARE(d.control({"status"}).second, 0);
        QVERIFY(::kill(pid_t(d.process.processId()), SIGTERM) == 0);
        QCOMPARE(d.exitCode(), 1);
        QVERIFY(d.err.contains("No se ha podido guardar el registro."));
    }

    // --help of each program reads in Spanish on a machine set up in English, Qt's own lines
    // included.
    void helpInSpanish_data() {
        QTest::addColumn<QString>("program");
        QTest::newRow("oskserverd") << QStringLiteral(OSKSERVERD_PATH);
        QTest::newRow("oskserverctl") << QStringLiteral(OSKSERVERCTL_PATH);
#ifdef OSKSERVER_PATH
        QTest::newRow("oskserver") << QStringLiteral(OSKSERVER_PATH);
#endif
    }
    void helpInSpanish() {
        QFETCH(QString, program);
        QProcess run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("en_US.UTF-8"));
        environment.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
        run.setProcessEnvironment(environment);
        run.start(program, {QStringLiteral("--help")});
        QVERIFY(run.waitForFinished(kWaitMs));
        QCOMPARE(run.exitCode(), 0);
        const QString help = QString::fromUtf8(run.readAllStandardOutput());
        QVERIFY2(help.startsWith(QStringLiteral("Uso: ")), qPrintable(help));
        QVERIFY2(help.contains(QStringLiteral("\nOpciones:\n")), qPrintable(help));
        QVERIFY2(help.contains(QStringLiteral("Muestra la ayuda de las opciones.")), qPrintable(help));
        QVERIFY2(help.contains(QStringLiteral("Carpeta del programa")), qPrintable(help));
        for (const char* english : {"Usage:", "Options:", "Displays", "Program folder"})
            QVERIFY2(!help.contains(QLatin1String(english)), english);
    }
};

QTEST_GUILESS_MAIN(TestOskServerd)
#include "test_oskserverd.moc"
