// The built programs end to end: their command lines, oskserverd serving clients from two computers
// and driven by oskserverctl, its refusals to start, a kill -9 and the next start.

#include "support/served_client.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace osk::test;

namespace {

// A text written from its second line on, as a raw literal reads.
QString lines(const char* text) {
    return QString::fromUtf8(text + 1);
}

constexpr int kWaitMs = 20000;
const QStringList kAsNobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

// What changes between runs written as placeholders: times, dates, the folder, the port, this user.
QString placeheld(QString text, const QString& folder, quint16 port = 0) {
    text.replace(QRegularExpression(QStringLiteral("\\d\\d:\\d\\d:\\d\\d")), QStringLiteral("<time>"));
    text.replace(QRegularExpression(QStringLiteral("\\d\\d/\\d\\d/\\d{4}")), QStringLiteral("<date>"));
    text.replace(QRegularExpression(QStringLiteral("\\d{8}\\.log")), QStringLiteral("<day>.log"));
    if (!folder.isEmpty())
        text.replace(folder, QStringLiteral("<folder>"));
    if (port != 0)
        text.replace(QString::number(port), QStringLiteral("<port>"));
    return text.replace(QLatin1Char('[') + callerName() + QLatin1Char(']'), QStringLiteral("[<caller>]"));
}

// Standard output, the errors marked, and the exit status.
QString marked(const QByteArray& out, const QByteArray& err, int exitCode) {
    QString text = QString::fromUtf8(out);
    // Less what Qt says of the machine's set-up.
    static const QRegularExpression qt(QStringLiteral("^(QStandardPaths: |This plugin does not support)"));
    for (const QString& line : QString::fromUtf8(err).split('\n', Qt::SkipEmptyParts))
        text += line.contains(qt) ? QString() : "stderr: " + line + '\n';
    return text + (exitCode == -2 ? QString() : QStringLiteral("exit: %1\n").arg(exitCode));
}

// A program run to its end: what it printed on each channel and its exit status.
QString run(QStringList command, const QString& folder = {}, bool english = false) {
    QProcess process;
    if (english) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("en_US.UTF-8"));
        environment.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
        process.setProcessEnvironment(environment);
    }
    const QString program = command.takeFirst();
    process.start(program, command);
    if (!process.waitForFinished(kWaitMs))
        return QStringLiteral("did not end");
    return placeheld(
               marked(process.readAllStandardOutput(), process.readAllStandardError(), process.exitCode()),
               folder)
        .replace(QFileInfo(program).path() + '/', QString());
}

// The built service in a program folder of its own; what it prints is gathered as it comes, and
// a run the test leaves behind is killed.
struct Daemon {
    TempProgramFolder folder;
    quint16 port = freePort();
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
    QString settings() const { return folder.file(QStringLiteral("OskServer.INI")); }
    // With what the folder holds; `as` is the command that runs it (setpriv, prlimit ...).
    bool launch(QStringList as = {}, const QString& program = QStringLiteral(OSKSERVERD_PATH)) {
        out.clear();
        err.clear();
        as << program << QStringLiteral("--home") << folder.path();
        const QString command = as.takeFirst();
        process.start(command, as);
        return process.waitForStarted(kWaitMs);
    }
    bool start(const QByteArray& extra = {}) {
        return writeFileBytes(settings(), portSettings(port) + extra) && launch();
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
    bool signal(int number) { return ::kill(pid_t(process.processId()), number) == 0; }
    // Everything printed so far, and the exit status once it has ended.
    QString printedText() {
        return placeheld(marked(out, err, process.state() == QProcess::NotRunning ? exitCode() : -2),
                         folder.path(), port);
    }
    QString control(const QStringList& arguments, const QStringList& as = {}) const {
        return run(as + QStringList{OSKSERVERCTL_PATH, "--home", folder.path()} + arguments, folder.path());
    }
    // Every daily file of the log, by name.
    QString logFiles() const {
        QString text;
        QDir logs(folder.file(QStringLiteral("Log")));
        for (const QString& name : logs.entryList({"*.log"}, QDir::Files, QDir::Name))
            text += "== " + name + '\n' + QString::fromLatin1(readFileBytes(logs.filePath(name)));
        return placeheld(text.replace(QLatin1String("\r\n"), QLatin1String("|\n")), folder.path(), port);
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
    // Every program reads in Spanish on a machine set up in English, Qt's own lines included.
    void commandLines_data() {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("printed");
        const QString d = QStringLiteral(OSKSERVERD_PATH), ctl = QStringLiteral(OSKSERVERCTL_PATH);
        QTest::newRow("oskserverd --help") << QStringList{d, "--help"} << lines(R"(
Uso: oskserverd [opciones]
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
        QTest::newRow("oskserverd --version") << QStringList{d, "--version"} << lines(R"(
oskserverd 2.0.0
exit: 0
)");
        QTest::newRow("oskserverd, unknown option") << QStringList{d, "--puerto"} << lines(R"(
stderr: oskserverd: Opción desconocida: 'puerto'.
exit: 1
)");
        QTest::newRow("oskserverd --home, no folder") << QStringList{d, "--home"} << lines(R"(
stderr: oskserverd: Falta el valor tras '--home'.
exit: 1
)");
        QTest::newRow("oskserverctl --help") << QStringList{ctl, "--help"} << lines(R"(
Uso: oskserverctl [opciones] orden
Administra un Osk Server en marcha.

Órdenes:
  status                          estado del servicio, puerto, usuarios, bytes, motor, tiempo en marcha
  start | stop                    inicia o detiene el servicio de sesiones
  users                           usuarios conectados, uno por línea
  disconnect USUARIO              desconecta a un usuario
  follow USUARIO [--save FICHERO] sigue la actividad de un usuario hasta Ctrl+C o el fin de su sesión
  log [-n N] [-f]                 registro de sucesos de esta ejecución; -f sigue los nuevos
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
        QTest::newRow("oskserverctl --version") << QStringList{ctl, "--version"} << lines(R"(
oskserverctl 2.0.0
exit: 0
)");
        QTest::newRow("oskserverctl, unknown command") << QStringList{ctl, "reinicia"} << lines(R"(
stderr: Orden desconocida: reinicia (vea oskserverctl --help).
exit: 2
)");
        QTest::newRow("oskserverctl, missing argument") << QStringList{ctl, "disconnect"} << lines(R"(
stderr: Uso: oskserverctl disconnect USUARIO
exit: 2
)");
#ifdef OSKSERVER_PATH
        QTest::newRow("oskserver --help") << QStringList{OSKSERVER_PATH, "--help"} << lines(R"(
Uso: oskserver [opciones]
Osk Server, consola de escritorio.

Opciones:
  -h, --help        Muestra la ayuda de las opciones.
  --help-all        Muestra la ayuda, con las opciones propias de Qt.
  -v, --version     Muestra la versión.
  --home <CARPETA>  Carpeta del programa: configuración, Log, Data (por
                    omisión, la del ejecutable, o ~/.local/share/oskserver si en
                    esa no se puede escribir).
exit: 0
)");
#endif
    }
    void commandLines() {
        QFETCH(QStringList, command);
        QFETCH(QString, printed);
        OSK_COMPARE_SNAPSHOT(run(command, {}, true), printed);
    }

    // A product database made in the embedded engine, once, and a name that is no product's.
    void createDatabase() {
        TempProgramFolder folder;
        const QStringList command{OSKSERVERD_PATH, "--home", folder.path(), "--create-database"};
        OSK_COMPARE_SNAPSHOT(run(command + QStringList{"oskPrueba"}, folder.path()), lines(R"(
Base de datos oskPrueba creada.
exit: 0
)"));
        OSK_COMPARE_SNAPSHOT(run(command + QStringList{"oskPrueba"}, folder.path()), lines(R"(
stderr: La base de datos 'oskPrueba' ya existe.
exit: 1
)"));
        OSK_COMPARE_SNAPSHOT(run(command + QStringList{"Prueba"}, folder.path()), lines(R"(
stderr: El nombre de una base de datos de Osk debe empezar por 'osk'; 'Prueba' no aparecería en la lista de bases de datos.
exit: 1
)"));
        QCOMPARE(QDir(folder.file("Data")).entryList(QDir::Files), QStringList{"oskPrueba.db"});
    }

    void servesIsControlledAndStopsOnSigterm() {
        Daemon d;
        QVERIFY(d.start());
        QVERIFY2(d.printed("Esperando conexiones..."), d.err.constData());
        // One after the other: a connection still waiting for its session gives way to the next.
        const auto ana = d.logIn("127.0.0.1", "ALMACEN1", "ana");
        const auto luis = d.logIn("127.0.0.2", "CAJA", "luis");
        QVERIFY2(ana && luis, d.out.constData());
        // Bytes of the upper half pass through as they are.
        ana->send("NOTE:hola \x89\xF1\xFF-luis");
        QVERIFY(receives(*luis, "NOTE:hola \x89\xF1\xFF"));

        OSK_COMPARE_SNAPSHOT(d.control({"disconnect", "luis"}), lines(R"(
exit: 0
)"));
        QTRY_COMPARE_WITH_TIMEOUT(luis->socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);
        OSK_COMPARE_SNAPSHOT(d.control({"users"}), lines(R"(
127.0.0.1  [ana] en [ALMACEN1]
exit: 0
)"));
        QVERIFY(d.signal(SIGTERM));
        QTRY_COMPARE_WITH_TIMEOUT(ana->received, QByteArray("CLOSED"), kWaitMs);
        QCOMPARE(d.exitCode(), 0);
        OSK_COMPARE_SNAPSHOT(d.printedText(), lines(R"(
[<time>]  Inicializando Entorno...
[<time>]  Inicialización Completada.
[<time>]  Servidor activo.
[<time>]  Esperando conexiones...
[<time>]  Recibiendo petición de conexión...
[<time>]  Conexión aceptada. Esperando inicio de sesión...
[<time>]  Inicio de sesión para [ALMACEN1] completado.
[<time>]  Validado usuario [ana] en [ALMACEN1].
[<time>]  Recibiendo petición de conexión...
[<time>]  Conexión aceptada. Esperando inicio de sesión...
[<time>]  Inicio de sesión para [CAJA] completado.
[<time>]  Validado usuario [luis] en [CAJA].
[<time>]  Orden de administración [disconnect luis] de [<caller>].
[<time>]  Usuario [luis] en [CAJA] desconectado manualmente.
[<time>]  Cerrando conexiones...
[<time>]  Conexiones cerradas.
[<time>]  Servidor inactivo.
[<time>]  Guardando registro de sucesos...
[<time>]  <folder>/Log/<day>.log creado con éxito.
exit: 0
)"));
    }

    // The lines of a run killed outright reach the daily file at the next start, which says so, as
    // one block of Windows-1252 lines of their own, in the order they happened.
    void linesOfAKilledRunAreRecovered() {
        Daemon d;
        QVERIFY(d.start());
        QVERIFY(d.printed("Esperando conexiones..."));
        const auto ana = d.logIn("127.0.0.1", "ALMACEN1", "ana");
        QVERIFY(ana);
        QVERIFY(d.signal(SIGKILL));
        QCOMPARE(d.exitCode(), -1);
        QVERIFY(d.launch());
        QVERIFY(d.printed("Esperando conexiones..."));
        QVERIFY(d.signal(SIGTERM));
        QCOMPARE(d.exitCode(), 0);
        OSK_COMPARE_SNAPSHOT(d.printedText(), lines(R"(
[<time>]  Se han recuperado 8 líneas del registro de una ejecución anterior.
[<time>]  Inicializando Entorno...
[<time>]  Inicialización Completada.
[<time>]  Servidor activo.
[<time>]  Esperando conexiones...
[<time>]  Cerrando conexiones...
[<time>]  Conexiones cerradas.
[<time>]  Servidor inactivo.
[<time>]  Guardando registro de sucesos...
[<time>]  <folder>/Log/<day>.log creado con éxito.
exit: 0
)"));
        OSK_COMPARE_SNAPSHOT(d.logFiles(), lines(R"(
== <day>.log
|
[BEGIN <date>]|
[<time>]  Inicializando Entorno...|
[<time>]  Inicialización Completada.|
[<time>]  Servidor activo.|
[<time>]  Esperando conexiones...|
[<time>]  Recibiendo petición de conexión...|
[<time>]  Conexión aceptada. Esperando inicio de sesión...|
[<time>]  Inicio de sesión para [ALMACEN1] completado.|
[<time>]  Validado usuario [ana] en [ALMACEN1].|
[END <date>]|
|
|
|
[BEGIN <date>]|
[<time>]  Se han recuperado 8 líneas del registro de una ejecución anterior.|
[<time>]  Inicializando Entorno...|
[<time>]  Inicialización Completada.|
[<time>]  Servidor activo.|
[<time>]  Esperando conexiones...|
[<time>]  Cerrando conexiones...|
[<time>]  Conexiones cerradas.|
[<time>]  Servidor inactivo.|
[<time>]  Guardando registro de sucesos...|
[END <date>]|
|
|
)"));
    }

    // Start refusals: each ends the run at once with its reason and the status a service manager
    // acts on, and leaves what it refused as it was.
    void refusedStarts_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("printed");
        QTest::newRow("folder not writable") << "read-only" << lines(R"(
stderr: No se puede escribir en la carpeta <folder>: permiso denegado.
exit: 1
files: OskServer.INI)");
        QTest::newRow("settings a folder") << "settings folder" << lines(R"(
stderr: CargaValores: No se puede abrir el archivo <folder>/OskServer.INI: es una carpeta.
exit: 78
files: OskServer.INI)");
        QTest::newRow("settings a FIFO") << "settings FIFO" << lines(R"(
stderr: CargaValores: No se puede abrir el archivo <folder>/OskServer.INI: no es un archivo normal.
exit: 78
files: OskServer.INI)");
        QTest::newRow("settings not readable") << "settings 0000" << lines(R"(
stderr: CargaValores: No se puede abrir el archivo <folder>/OskServer.INI: permiso denegado.
exit: 78
files: OskServer.INI)");
        QTest::newRow("lock a link to nothing") << "lock dangling" << lines(R"(
stderr: No se puede usar el archivo de bloqueo <folder>/.oskserverd.lock: es un enlace simbólico.
exit: 1
files: .oskserverd.lock OskServer.INI)");
        QTest::newRow("lock a link to a file") << "lock link" << lines(R"(
stderr: No se puede usar el archivo de bloqueo <folder>/.oskserverd.lock: es un enlace simbólico.
exit: 1
files: .oskserverd.lock OskServer.INI)");
        QTest::newRow("lock a FIFO") << "lock FIFO" << lines(R"(
stderr: No se puede usar el archivo de bloqueo <folder>/.oskserverd.lock: no es un archivo normal.
exit: 1
files: .oskserverd.lock OskServer.INI)");
        QTest::newRow("port taken") << "port taken" << lines(R"(
[<time>]  Inicializando Entorno...
[<time>]  Puerto incorrecto.
[<time>]  Guardando registro de sucesos...
[<time>]  <folder>/Log/<day>.log creado con éxito.
stderr: El puerto <port> ya está siendo utilizado por algún otro programa. Elija un puerto distinto e inténtelo de nuevo.
stderr: El servicio no se ha podido iniciar.
exit: 78
files: Data Log OskServer.INI)");
    }
    void refusedStarts() {
        QFETCH(QString, kind);
        QFETCH(QString, printed);
        Daemon d;
        TempProgramFolder elsewhere;
        QTcpServer other;
        const QString lock = d.folder.file(QStringLiteral(".oskserverd.lock"));
        const QString target = elsewhere.file(QStringLiteral("other"));
        const QByteArray name = QFile::encodeName(kind.startsWith("lock") ? lock : d.settings());
        QStringList as;
        if (kind.endsWith("folder")) {
            QVERIFY(QDir().mkdir(d.settings()));
        } else {
            QVERIFY(writeFileBytes(d.settings(), portSettings(d.port)));
        }
        if (kind.endsWith("FIFO")) {
            QVERIFY(QFile::remove(QString::fromLocal8Bit(name)) || kind.startsWith("lock"));
            QVERIFY(::mkfifo(name.constData(), 0600) == 0);
        } else if (kind == u"lock link" || kind == u"lock dangling") {
            QVERIFY(kind == u"lock dangling" || writeFileBytes(target, "datos\n"));
            QVERIFY(QFile::link(target, lock));
        } else if (kind == u"port taken") {
            QVERIFY(other.listen(QHostAddress::AnyIPv4, d.port));
        } else if (kind == u"settings 0000" || kind == u"read-only") {
            // Root reads and writes whatever the mode says: the service runs as nobody.
            if (::geteuid() != 0)
                QSKIP("Needs root to run the service as another user");
            QVERIFY(::chmod(QFile::encodeName(d.folder.path()).constData(),
                            kind == u"read-only" ? 0555 : 0777) == 0);
            QVERIFY(kind == u"read-only" || ::chmod(name.constData(), 0) == 0);
            as = kAsNobody;
        }
        QVERIFY(d.launch(as));
        QVERIFY(d.exitCode() != -1);
        const QStringList left =
            QDir(d.folder.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
        OSK_COMPARE_SNAPSHOT(d.printedText() + "files: " + left.join(' '), printed);
        QCOMPARE(readFileBytes(target), QByteArray(kind == u"lock link" ? "datos\n" : ""));
        QVERIFY(::chmod(QFile::encodeName(d.folder.path()).constData(), 0700) == 0);
    }

    void stopsAtOnceWhileTheDatabaseServerIsSilent_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("printed");
        QTest::newRow("oskserverd") << QStringLiteral(OSKSERVERD_PATH) << lines(R"(
[<time>]  Guardando registro de sucesos...
[<time>]  <folder>/Log/<day>.log creado con éxito.
exit: 0
)");
#ifdef OSKSERVER_PATH
        QTest::newRow("oskserver") << QStringLiteral(OSKSERVER_PATH) << lines(R"(
exit: 0
)");
#endif
    }
    // A database server that takes the connection and never answers holds each attempt for the
    // whole login time-out; a stop asked for meanwhile ends the attempts at once.
    void stopsAtOnceWhileTheDatabaseServerIsSilent() {
        QFETCH(QString, program);
        QFETCH(QString, printed);
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        Daemon d;
        QVERIFY(writeFileBytes(d.settings(),
                               portSettings(d.port) + "Engine=SQLServer\r\nSQLServer=127.0.0.1," +
                                   QByteArray::number(silent.serverPort()) + "\r\nLoginTimeout=120\r\n"));
        QVERIFY(d.launch({}, program));
        QVERIFY2(QTest::qWaitFor([&] { return silent.hasPendingConnections(); }, kWaitMs), d.err.constData());
        QVERIFY(d.signal(SIGTERM));
        // Well within the attempt's two minutes and the unit's stop time-out.
        QVERIFY(d.exitCode(5000) != -1);
        OSK_COMPARE_SNAPSHOT(d.printedText(), printed);
    }

#ifdef OSKSERVER_PATH
    // A stop answers the console's question or message rather than waiting for the operator: with
    // no server named it asks for one, settings that cannot be read it shows.
    void consoleStopsWhileItAsksOrWarns() {
        for (const bool fifo : {false, true}) {
            Daemon d;
            if (fifo)
                QCOMPARE(::mkfifo(QFile::encodeName(d.settings()).constData(), 0600), 0);
            else
                QVERIFY(writeFileBytes(d.settings(), portSettings(d.port) + "Engine=SQLServer\r\n"));
            QVERIFY(d.launch({}, QStringLiteral(OSKSERVER_PATH)));
            QTest::qWait(1500);
            QVERIFY(d.signal(SIGTERM));
            QVERIFY(d.exitCode(5000) != -1);
            QVERIFY(!QFileInfo(d.settings()).isFile() || !readFileBytes(d.settings()).contains("SQLServer="));
        }
    }
#endif

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
        QVERIFY(writeFileBytes(d.settings(), portSettings(d.port)));
        QVERIFY(d.launch({QStringLiteral("prlimit"), QStringLiteral("--fsize=16384")}));
        QVERIFY2(d.printed("Esperando conexiones..."), d.err.constData());
        for (int i = 0; i < 200; ++i) {
            Client client(d.port, i % 2 ? QStringLiteral("127.0.0.2") : QStringLiteral("127.0.0.3"));
            QVERIFY(receives(client, "CONNECTED"));
        }
        QVERIFY(d.printed("el archivo ha alcanzado el tama\xC3\xB1o m\xC3\xA1ximo"));
        OSK_COMPARE_SNAPSHOT(d.control({"backups"}), lines(R"(
1	Inactiva		Lunes	00:00	
2	Inactiva		Lunes	00:00	
3	Inactiva		Lunes	00:00	
exit: 0
)"));
        QVERIFY(d.signal(SIGTERM));
        QCOMPARE(d.exitCode(), 1);
        QVERIFY(d.err.contains("No se ha podido guardar el registro."));
    }
};

QTEST_GUILESS_MAIN(TestOskServerd)
#include "test_oskserverd.moc"
