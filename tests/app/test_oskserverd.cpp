// The built programs end to end: their command lines, oskserverd serving clients from two computers
// and driven by oskserverctl, a kill -9 and the next start, its refusals to start, a stop during
// the start-up.

#include "support/served_client.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QtTest>

using namespace osk::test;

namespace {

constexpr int kWaitMs = 20000;

// Standard output, the errors marked, and the exit status (-2: none yet), with what changes between
// runs written as placeholders: times, the day's file, the folder, the port.
QString printedText(const QByteArray& out, const QByteArray& err, int exitCode, const QString& folder,
                    quint16 port = 0) {
    QString text = QString::fromUtf8(out);
    // Less what Qt says of the machine's set-up.
    static const QRegularExpression qt(QStringLiteral("^(QStandardPaths: |This plugin does not support)"));
    for (const QString& line : QString::fromUtf8(err).split('\n', Qt::SkipEmptyParts))
        text += line.contains(qt) ? QString() : "stderr: " + line + '\n';
    text += exitCode == -2 ? QString() : QStringLiteral("exit: %1\n").arg(exitCode);
    text.replace(QRegularExpression(QStringLiteral("\\d\\d:\\d\\d:\\d\\d")), QStringLiteral("<time>"));
    text.replace(QRegularExpression(QStringLiteral("\\d{8}\\.log")), QStringLiteral("<day>.log"));
    if (!folder.isEmpty())
        text.replace(folder, QStringLiteral("<folder>"));
    return port == 0 ? text : text.replace(QString::number(port), QStringLiteral("<port>"));
}

// A program run to its end: what it printed on each channel and its exit status.
QString run(QStringList command, const QString& folder = {}) {
    QProcess process;
    const QString program = command.takeFirst();
    process.start(program, command);
    if (!process.waitForFinished(kWaitMs))
        return QStringLiteral("did not end");
    return printedText(process.readAllStandardOutput(), process.readAllStandardError(), process.exitCode(),
                       folder)
        .replace(QFileInfo(program).path() + '/', QString());
}

// The built service in a program folder of its own; what it prints is gathered as it comes, and
// a run the test leaves behind is killed (by the process's destructor, before the texts go).
struct Daemon {
    TempProgramFolder folder;
    quint16 port = freePort();
    QByteArray out, err;
    QProcess process;

    Daemon() {
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { err += process.readAllStandardError(); });
    }
    QString settings() const { return folder.file(QStringLiteral("OskServer.INI")); }
    // With what the folder holds; `as` is the command that runs it (setpriv ...).
    bool launch(QStringList as = {}, const QString& program = QStringLiteral(OSKSERVERD_PATH)) {
        out.clear();
        err.clear();
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
    // Never to process 0, which is the whole group of the test.
    bool signal(int number) {
        return process.processId() > 0 && ::kill(pid_t(process.processId()), number) == 0;
    }
    // Everything printed so far, and the exit status once it has ended.
    QString printedText() {
        return ::printedText(out, err, process.state() == QProcess::NotRunning ? exitCode() : -2,
                             folder.path(), port);
    }
    // A client from `from` whose session has started and whose user is validated.
    std::unique_ptr<Client> logIn(const char* from, const QByteArray& session, const QByteArray& user) {
        auto client = std::make_unique<Client>(port, QString::fromLatin1(from));
        if (!receives(*client, "CONNECTED"))
            return {};
        client->send(session);
        if (!printed("para [" + session + "] completado."))
            return {};
        client->send("USER=" + user);
        return receives(*client, "USER_OK") ? std::move(client) : nullptr;
    }
};

} // namespace

class TestOskServerd final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("LC_ALL", "en_US.UTF-8"); }

    // Every program reads in Spanish on a machine set up in English (every program the test starts
    // runs so), Qt's own lines included.
    void commandLines_data() {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("printed");
        const QString d = QStringLiteral(OSKSERVERD_PATH), ctl = QStringLiteral(OSKSERVERCTL_PATH);
        const auto row = [](const char* name, const QStringList& command, const QByteArray& printed) {
            QTest::newRow(name) << command << QString::fromUtf8(printed);
        };
        row("oskserverd --help", {d, "--help"}, R"(Uso: oskserverd [opciones]
Osk Server, servicio sin ventanas.

Opciones:
  -h, --help                  Muestra la ayuda de las opciones.
  --help-all                  Muestra la ayuda, con las opciones propias de Qt.
  -v, --version               Muestra la versión.
  --home <CARPETA>            Carpeta del programa: configuración, Log, Data
                              (por omisión, la del ejecutable, o
                              ~/.local/share/oskserver si en esa no se puede
                              escribir).
  --create-database <NOMBRE>  Crea la base de datos de producto NOMBRE
                              (osk...), vacía, en el motor incorporado, y
                              termina.
exit: 0
)");
        row("oskserverd --version", {d, "--version"}, "oskserverd 2.0.0\nexit: 0\n");
        row("oskserverd, unknown option", {d, "--puerto"},
            "stderr: oskserverd: Opción desconocida: 'puerto'.\nexit: 1\n");
        row("oskserverctl --help", {ctl, "--help"}, R"(Uso: oskserverctl [opciones] orden
Administra un Osk Server en marcha.

Órdenes:
  status                          estado del servicio, puerto, usuarios, bytes, motor, tiempo en marcha
  start | stop                    inicia o detiene el servicio de sesiones
  users                           usuarios conectados, uno por línea
  disconnect USUARIO              desconecta a un usuario
  follow USUARIO [--save FICHERO] sigue la actividad de un usuario hasta Ctrl+C o el fin de su sesión
  log [-n N] [-f]                 registro de sucesos de esta ejecución; -f sigue los nuevos
  watch                           el estado y los usuarios, de nuevo a cada cambio, hasta Ctrl+C
  web-user add|remove NOMBRE      usuario de la administración web (contraseña: dos veces sin eco,
                                  o una línea de la entrada estándar)
  web-user list                   los usuarios de la administración web
  save-log                        Guardar Registro de eventos
  port N                          puerto para el próximo inicio (servicio detenido)
  sql-server NOMBRE               servidor SQL para el próximo inicio (servicio detenido)
  autostart on|off                inicio automático del servicio
  databases [--refresh]           bases de datos con revisión y estado
  delete-database NOMBRE --yes    elimina una base de datos
  update-clients NOMBRE           distribuye los ejecutables de ClientUpdate
  backups                         las tres copias programadas
  backup-set N CLAVE=VALOR...     type, database, day, hour, minute, file (servicio detenido)
  backup-run N                    hace ahora la copia programada N

Salida: 0 hecho, 1 rechazado por el servidor, 2 uso incorrecto, 3 ningún servidor en marcha,
4 sin permiso para usar el canal (root o el grupo del servidor).

Opciones:
  -h, --help        Muestra la ayuda de las opciones.
  --help-all        Muestra la ayuda, con las opciones propias de Qt.
  -v, --version     Muestra la versión.
  --home <CARPETA>  Carpeta del programa: configuración, Log, Data (por
                    omisión, la del ejecutable, o ~/.local/share/oskserver si en
                    esa no se puede escribir).
  --socket <RUTA>   El canal de control que usar.
  --json            Escribe las líneas JSON del servidor.
  --save <FICHERO>  follow: guarda el seguimiento en FICHERO.
  -n <N>            log: las últimas N líneas.
  -f, --follow      log: escribe las líneas nuevas según llegan.
  --refresh         databases: vuelve a leer la lista.
  --yes             Responde sí a la pregunta del servidor.

Argumentos:
  orden             Vea la lista de arriba.
exit: 0
)");
        // In this order, in one folder: a product database made in the embedded engine, once, and a
        // name that is no product's.
        const auto create = [&](const QByteArray& name) {
            return QStringList{d, "--home", m_home.path(), "--create-database", QString::fromUtf8(name)};
        };
        const QByteArray longest = "osk" + QByteArray(197, 'P'); // 200 bytes, the most a name may have
        row("oskserverd --create-database", create(longest),
            "Base de datos " + longest + " creada.\nexit: 0\n");
        row("oskserverd --create-database, again", create(longest),
            "stderr: La base de datos '" + longest + "' ya existe.\nexit: 1\n");
        row("oskserverd --create-database, no product's name", create("Prueba"),
            "stderr: El nombre de una base de datos de Osk debe empezar por 'osk'; 'Prueba' no "
            "aparecería en la lista de bases de datos.\nexit: 1\n");
        row("oskserverctl --version", {ctl, "--version"}, "oskserverctl 2.0.0\nexit: 0\n");
        row("oskserverctl, unknown command", {ctl, "reinicia"},
            "stderr: Orden desconocida: reinicia (vea oskserverctl --help).\nexit: 2\n");
#ifdef OSKSERVER_PATH
        // Answered without a display.
        row("oskserver --version", {OSKSERVER_PATH, "--version"}, "oskserver 2.0.0\nexit: 0\n");
#endif
    }
    void commandLines() {
        QFETCH(QStringList, command);
        QFETCH(QString, printed);
        OSK_COMPARE_SNAPSHOT(run(command, m_home.path()), printed);
    }

    // Serves clients from three computers; killed outright, its lines are recovered at the next
    // start, which says so; SIGTERM tells the clients CLOSED and saves the log.
    void servesIsKilledAndRecoversItsLines() {
        Daemon d;
        QVERIFY(writeFileBytes(d.settings(), portSettings(d.port)) && d.launch());
        QVERIFY2(d.printed("Esperando conexiones..."), d.err.constData());
        // One after the other: a connection still waiting for its session gives way to the next.
        const auto ana = d.logIn("127.0.0.1", "ALMACEN1", "ana");
        const auto luis = d.logIn("127.0.0.2", "CAJA", "luis");
        QVERIFY2(ana && luis, d.out.constData());
        QVERIFY(d.signal(SIGKILL));
        QCOMPARE(d.exitCode(), -1);

        QVERIFY(d.launch() && d.printed("Esperando conexiones..."));
        const auto eva = d.logIn("127.0.0.3", "CAJA2", "eva");
        QVERIFY(eva);
        QVERIFY(d.signal(SIGTERM));
        QTRY_COMPARE_WITH_TIMEOUT(eva->received, QByteArray("CLOSED"), kWaitMs);
        QCOMPARE(d.exitCode(), 0);
        OSK_COMPARE_SNAPSHOT(
            d.printedText(),
            "[<time>]  Se han recuperado 12 líneas del registro de una ejecución anterior.\n[<time>]  "
            "Inicializando Entorno...\n[<time>]  Inicialización Completada.\n[<time>]  Servidor "
            "activo.\n[<time>]  Esperando conexiones...\n[<time>]  Recibiendo petición de "
            "conexión...\n[<time>]  Conexión aceptada. Esperando inicio de sesión...\n[<time>]  Inicio de "
            "sesión para [CAJA2] completado.\n[<time>]  Validado usuario [eva] en [CAJA2].\n[<time>]  "
            "Cerrando conexiones...\n[<time>]  Conexiones cerradas.\n[<time>]  Servidor inactivo.\n[<time>]  "
            "Guardando registro de sucesos...\n"
            "[<time>]  <folder>/Log/<day>.log creado con éxito.\nexit: 0\n");
    }

    // Its output into a pipe whose reader has gone, as `oskserverd | head -c 1` in a shell, whose
    // children do not ignore SIGPIPE (this test does, and a child would inherit that): it goes on.
    void outlivesTheReaderOfItsOutput() {
        Daemon d;
        d.process.setChildProcessModifier([] { std::signal(SIGPIPE, SIG_DFL); });
        QVERIFY(writeFileBytes(d.settings(), portSettings(d.port)) &&
                d.launch({"sh", "-c", "\"$0\" \"$@\" | head -c 1"}));
        const QString journal = d.folder.file(QStringLiteral("Log/eventlog.journal"));
        QVERIFY(QTest::qWaitFor([&] { return readFileBytes(journal).contains("Esperando conexiones"); },
                                kWaitMs));
        for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
            Client client(d.port, QString::fromLatin1(from));
            QVERIFY(receives(client, "CONNECTED"));
        }
        const QByteArray lock = readFileBytes(d.folder.file(QStringLiteral(".oskserverd.lock")));
        QVERIFY(::kill(lock.split('\n').value(0).toInt(), SIGTERM) == 0);
        QCOMPARE(d.exitCode(), 0);
    }

    // Starts that cannot go on: each ends the run with its reason and the status a service manager
    // acts on, and leaves what it refused as it was. A stop ends the start-up at once: a database
    // server that takes the connection and never answers holds each attempt for the whole login
    // time-out, and the console's question (no server named) or message (settings that cannot be
    // read) waits for an operator who is not there.
    void startsThatCannotGoOn_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("printed");
        const QString d = QStringLiteral(OSKSERVERD_PATH);
        const auto row = [](const char* name, const QString& program, const char* kind, const char* printed) {
            QTest::newRow(name) << program << QString::fromLatin1(kind) << QString::fromUtf8(printed);
        };
        row("folder not writable", d, "read-only",
            "stderr: No se puede escribir en la carpeta <folder>: permiso denegado.\n"
            "exit: 1\nfiles: OskServer.INI");
        row("settings a FIFO", d, "FIFO",
            "stderr: CargaValores: No se puede abrir el archivo <folder>/OskServer.INI: "
            "no es un archivo normal.\nexit: 78\nfiles: OskServer.INI");
        row("lock a link to a file", d, "lock link",
            "stderr: No se puede usar el archivo de bloqueo <folder>/.oskserverd.lock: "
            "es un enlace simbólico.\nexit: 1\nfiles: .oskserverd.lock OskServer.INI");
        row("lock a FIFO", d, "lock fifo",
            "stderr: No se puede usar el archivo de bloqueo <folder>/.oskserverd.lock: "
            "no es un archivo normal.\nexit: 1\nfiles: .oskserverd.lock OskServer.INI");
        row("port taken", d, "port taken",
            "[<time>]  Inicializando Entorno...\n[<time>]  Puerto incorrecto.\n"
            "[<time>]  Guardando registro de sucesos...\n[<time>]  <folder>/Log/<day>.log creado con éxito.\n"
            "stderr: El puerto <port> ya está siendo utilizado por algún otro programa. Elija un puerto "
            "distinto e inténtelo de nuevo.\n"
            "stderr: El servicio no se ha podido iniciar.\nexit: 78\nfiles: Data Log OskServer.INI");
        row("oskserverd stopped, silent database server", d, "stop, silent",
            "[<time>]  Guardando registro de sucesos...\n[<time>]  <folder>/Log/<day>.log creado con éxito.\n"
            "exit: 0\nfiles: Log OskServer.INI");
#ifdef OSKSERVER_PATH
        const QString console = QStringLiteral(OSKSERVER_PATH);
        row("oskserver stopped, silent database server", console, "stop, silent",
            "exit: 0\nfiles: Log OskServer.INI");
        row("oskserver stopped, no server named", console, "stop, unnamed",
            "exit: 0\nfiles: Log OskServer.INI");
        row("oskserver stopped, settings a FIFO", console, "stop, FIFO",
            "exit: 0\nfiles: Data Log OskServer.INI");
#endif
    }
    void startsThatCannotGoOn() {
        QFETCH(QString, program);
        QFETCH(QString, kind);
        QFETCH(QString, printed);
        Daemon d;
        TempProgramFolder elsewhere;
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::AnyIPv4, kind == u"port taken" ? d.port : 0));
        const QString target = elsewhere.file(QStringLiteral("other"));
        QByteArray settings = portSettings(d.port);
        if (kind.endsWith(u"silent"))
            settings += "Engine=SQLServer\r\nSQLServer=127.0.0.1," + QByteArray::number(other.serverPort()) +
                        "\r\nLoginTimeout=120\r\n";
        else if (kind.endsWith(u"unnamed"))
            settings += "Engine=SQLServer\r\n";
        else if (kind.endsWith(u"FIFO"))
            settings.clear();
        QVERIFY(settings.isEmpty() ? ::mkfifo(QFile::encodeName(d.settings()).constData(), 0600) == 0
                                   : writeFileBytes(d.settings(), settings));
        QStringList as;
        const QString lock = d.folder.file(QStringLiteral(".oskserverd.lock"));
        if (kind == u"lock link") {
            QVERIFY(writeFileBytes(target, "datos\n") && QFile::link(target, lock));
        } else if (kind == u"lock fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(lock).constData(), 0600), 0);
        } else if (kind == u"read-only") {
            // Root writes wherever the mode says it may not: the service runs as nobody.
            if (::geteuid() != 0)
                QSKIP("Needs root to run the service as another user");
            QVERIFY(::chmod(QFile::encodeName(d.folder.path()).constData(), 0555) == 0);
            as = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        }
        QVERIFY(d.launch(as, program));
        if (kind.startsWith(u"stop")) {
            if (!QTest::qWaitFor([&] { return other.hasPendingConnections(); },
                                 kind.endsWith(u"silent") ? kWaitMs : 1500))
                QVERIFY2(!kind.endsWith(u"silent"), d.err.constData());
            QVERIFY(d.signal(SIGTERM));
        }
        // A stop well within the attempt's two minutes and the unit's stop time-out.
        QVERIFY(d.exitCode(kind.startsWith(u"stop") ? 5000 : kWaitMs) != -1);
        const QStringList left =
            QDir(d.folder.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
        OSK_COMPARE_SNAPSHOT(d.printedText() + "files: " + left.join(' '), printed);
        QCOMPARE(readFileBytes(target), QByteArray(kind == u"lock link" ? "datos\n" : ""));
        // No server name taken from a question nobody answered.
        QCOMPARE(QFileInfo(d.settings()).isFile() ? readFileBytes(d.settings()) : QByteArray(), settings);
    }

private:
    TempProgramFolder m_home;
};

QTEST_GUILESS_MAIN(TestOskServerd)
#include "test_oskserverd.moc"
