// The core without a window, as scripts of steps whose whole outcome is compared after each: the
// service's start and stop, a start refused, what a stop and a port change do to real clients and
// to the databases, settings that cannot be read, and a SQL Server on another computer.

#include "app/server_core.h"
#include "database/embedded_engine.h"
#include "support/core_scenario.h"

#include <QFileInfo>
#include <QHostInfo>
#include <QTcpServer>
#include <QtTest>

using namespace osk;
using namespace osk::test;

namespace {

// In the order the commands are declared.
const char* const kCommandNames[] = {
    "mnuIniciarServicio", "mnuDetenerServicio", "mnuSalir", "mnuServicioPuerto",
    "mnuDBActualizar",    "mnuAutoBackup",      "mnuSQL",   "mnuDBDownload",
    "mnuDBUpload",        "mnuDBBackup"};
static_assert(std::size(kCommandNames) == size_t(Command::Count));

QString listed(const QStringList& items) {
    return items.isEmpty() ? QStringLiteral("none") : items.join(QStringLiteral(" | "));
}

struct CoreScenario : Scenario {
    // Loaded with the settings `extra` after the port line ("folder": a folder in the settings
    // file's place); on the embedded engine, one product database "oskdemo" beside OskDB.
    bool load(const QByteArray& extra) {
        const QString settings = folder.file(kSettingsFileName);
        if (port == 0 || !(extra == "folder" ? QDir().mkdir(settings)
                                             : writeFileBytes(settings, portSettings(port) + extra)))
            return false;
        makeCore();
        if (core->AbreConexion().ok())
            m_embedded = EmbeddedEngine(folder.file(QStringLiteral("Data")))
                             .createProductDatabase(QStringLiteral("oskdemo"))
                             .ok();
        return true;
    }
    void run(const QString& step) {
        if (step == QLatin1String("load")) {
            core->load();
        } else if (step == QLatin1String("start")) {
            core->startService();
        } else if (step == QLatin1String("stop")) {
            core->stopService();
        } else if (step == QLatin1String("start with the port taken")) {
            QTcpServer other;
            QVERIFY(other.listen(QHostAddress::AnyIPv4, port));
            core->startService();
        } else if (step == QLatin1String("port command")) {
            const quint16 newPort = freePort();
            masks.emplace_back(QString::number(newPort), QStringLiteral("<new port>"));
            op.textAnswers = {QString::number(newPort)};
            core->mnuServicioPuerto();
        } else if (!runShared(step)) {
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
        }
    }
    QStringList snapshot() const {
        ServerCore& c = *core;
        QStringList off, databases, users;
        for (int command = 0; command < int(Command::Count); ++command) {
            if (!c.commands().isEnabled(Command(command)))
                off << QString::fromLatin1(kCommandNames[command]);
        }
        for (int row = 0; row < c.lstDB().rowCount(); ++row) {
            QStringList columns;
            for (int column = 0; column < c.lstDB().columnCount(); ++column)
                columns << c.lstDB().index(row, column).data().toString();
            databases << columns.join(QLatin1Char(' '));
        }
        for (int row = 0; row < c.session().lstUsers().count(); ++row)
            users << c.session().lstUsers().row(row).text;
        const QString settingsFile = folder.file(kSettingsFileName);
        QStringList lines{QStringLiteral("service: %1 | tray %2 | timers %3 %4 | listening %5")
                              .arg(c.caption(), c.trayImage() == TrayImage::Start ? "Start" : "Stop")
                              .arg(c.session().tmrMain().isActive())
                              .arg(c.tmrBackup().isActive())
                              .arg(c.session().listeningPort()),
                          QStringLiteral("off: ") + off.join(QLatin1Char(' ')),
                          QStringLiteral("labels: ") +
                              QStringList{c.sqlServerLabel(), c.ipLabel(), c.hostLabel(), c.portLabel()}
                                  .join(QLatin1Char('|'))
                                  .replace(c.localAddress(), QStringLiteral("<ip>"))
                                  .replace(QHostInfo::localHostName(), QStringLiteral("<host>")),
                          QStringLiteral("counts: %1 | checks %2 %3 | busy %4")
                              .arg(c.session().bytesLabel())
                              .arg(c.isAutoStartChecked())
                              .arg(c.isMinStartChecked())
                              .arg(op.busyDepth),
                          QStringLiteral("settings file: ") +
                              (QFileInfo(settingsFile).isDir()
                                   ? QStringLiteral("a folder")
                                   : QString::fromLatin1(readFileBytes(settingsFile)).simplified()),
                          QStringLiteral("databases: ") + listed(databases),
                          QStringLiteral("users: ") + listed(users)};
        if (m_embedded) {
            const auto stored =
                EmbeddedEngine(folder.file(QStringLiteral("Data")))
                    .readProperty(QStringLiteral("oskdemo"), QStringLiteral("AppOskServerPort"));
            lines << QStringLiteral("oskdemo's port: ") +
                         (stored.ok() && stored->has_value() && !(*stored)->isEmpty()
                              ? **stored
                              : QStringLiteral("none"));
        }
        return masked(lines + sharedSnapshot());
    }

    bool m_embedded = false;
};

} // namespace

class TestServerCore final : public QObject {
    Q_OBJECT

private slots:
    void scenario_data() {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QStringList>("script");

        // A stop tells validated clients "CLOSED" and says nothing to one that never started its
        // session; a new port is written into the databases at once and listened on from the next start.
        QTest::newRow("start refused, clients, stop, port") << QByteArray()
                                                            << QStringList{R"(load
counts:  0 bytes recibidos | checks 0 0 | busy 0
databases: OskDB 1 Actualizada | oskdemo 1 Actualizada
labels:  SQLServer: [(embedded)]| IP: <ip>| Host: [<host>]|Puerto: <port>
off: mnuDetenerServicio
oskdemo's port: <port>
service: Osk Server - Detenido | tray Stop | timers 0 0 | listening 0
settings file: [Main] Port=<port>
users: none)",
                                                                           R"(start with the port taken
> log: 2 [09:05:17]  Inicializando Entorno... | 3 [09:05:17]  Puerto incorrecto.
> said Information: El puerto <port> ya está siendo utilizado por algún otro programa. Elija un puerto distinto e inténtelo de nuevo.)",
                                                                           R"(start
> log: 2 [09:05:17]  Inicializando Entorno... | 1 [09:05:17]  Inicialización Completada. | 1 [09:05:17]  Servidor activo. | 2 [09:05:17]  Esperando conexiones...
off: mnuIniciarServicio mnuSalir mnuServicioPuerto mnuDBActualizar mnuAutoBackup mnuSQL
service: Osk Server - Iniciado | tray Start | timers 1 1 | listening <port>)",
                                                                           R"(serve ana 127.0.0.1 ALMACEN1
> log: 2 [09:05:17]  Recibiendo petición de conexión... | 1 [09:05:17]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:05:17]  Inicio de sesión para [ALMACEN1] completado. | 2 [09:05:17]  Validado usuario [ana] en [ALMACEN1].
clients: ana open
users: 127.0.0.1  [ana] en [ALMACEN1])",
                                                                           R"(serve luis 127.0.0.2 CAJA
> log: 2 [09:05:17]  Recibiendo petición de conexión... | 1 [09:05:17]  Conexión aceptada. Esperando inicio de sesión... | 1 [09:05:17]  Inicio de sesión para [CAJA] completado. | 2 [09:05:17]  Validado usuario [luis] en [CAJA].
clients: ana open | luis open
users: 127.0.0.1  [ana] en [ALMACEN1] | 127.0.0.2  [luis] en [CAJA])",
                                                                           R"(connect silent 127.0.0.3
> log: 2 [09:05:17]  Recibiendo petición de conexión... | 1 [09:05:17]  Conexión aceptada. Esperando inicio de sesión...
> replies: silent CONNECTED
clients: ana open | luis open | silent open)",
                                                                           R"(sweep
counts:  29 bytes recibidos | checks 0 0 | busy 0)",
                                                                           R"(clock 3600)",
                                                                           R"(stop
> log: 2 [10:05:17]  Cerrando conexiones... | 1 [10:05:17]  Conexiones cerradas. | 1 [10:05:17]  Servidor inactivo.
> replies: ana CLOSED | luis CLOSED
clients: ana closed | luis closed | silent closed
counts:  0 bytes recibidos | checks 0 0 | busy 0
off: mnuDetenerServicio
service: Osk Server - Detenido | tray Stop | timers 0 0 | listening 0
users: none)",
                                                                           R"(port command
> prompt: Indique nuevo puerto. -> <new port>
labels:  SQLServer: [(embedded)]| IP: <ip>| Host: [<host>]|Puerto: <new port>
oskdemo's port: <new port>
settings file: [Main] Port=<new port>)",
                                                                           R"(start
> log: 2 [10:05:17]  Inicializando Entorno... | 1 [10:05:17]  Inicialización Completada. | 1 [10:05:17]  Servidor activo. | 2 [10:05:17]  Esperando conexiones...
off: mnuIniciarServicio mnuSalir mnuServicioPuerto mnuDBActualizar mnuAutoBackup mnuSQL
service: Osk Server - Iniciado | tray Start | timers 1 1 | listening <new port>)"};
        // A driver that is not installed: no connection, and no name looked up on the network.
        QTest::newRow("SQL Server on another computer")
            << QByteArray("SQLServer=OTRO-EQUIPO-OSK\r\nODBCDriver=Osk Sin Controlador\r\n")
            << QStringList{R"(load
> said Exclamation: [unixODBC][Driver Manager]Can't open lib 'Osk Sin Controlador' : file not found
counts:  0 bytes recibidos | checks 0 0 | busy 0
databases: none
labels:  SQLServer: [OTRO-EQUIPO-OSK]| IP: <ip>| Host: [<host>]|Puerto: <port>
off: mnuDetenerServicio mnuAutoBackup mnuDBDownload mnuDBUpload mnuDBBackup
service: Osk Server - Detenido | tray Stop | timers 0 0 | listening 0
settings file: [Main] Port=<port> SQLServer=OTRO-EQUIPO-OSK ODBCDriver=Osk Sin Controlador
users: none)",
                           R"(start
> said None: CompruebaDatos  | [unixODBC][Driver Manager]Can't open lib 'Osk Sin Controlador' : file not found)"};
        // Settings that cannot be read: the load shows why as its routine's trap does and goes on
        // without them, so no port is written into the databases nor listened on, and the folder in
        // the file's place is left as it is.
        QTest::newRow("unreadable settings") << QByteArray("folder")
                                             << QStringList{R"(load
> said Critical: CargaValores: No se puede abrir el archivo <folder>/OskServer.INI: es una carpeta.
counts:  0 bytes recibidos | checks 0 0 | busy 0
databases: OskDB 1 Actualizada | oskdemo 1 Actualizada
labels:  SQLServer: [(embedded)]| IP: <ip>| Host: [<host>]|Puerto: 0
off: mnuDetenerServicio
oskdemo's port: none
service: Osk Server - Detenido | tray Stop | timers 0 0 | listening 0
settings file: a folder
users: none)",
                                                            R"(start
> log: 3 [09:05:17]  Puerto incorrecto.)"};
    }
    void scenario() {
        QFETCH(QByteArray, settings);
        QFETCH(QStringList, script);
        CoreScenario s;
        QVERIFY(s.load(settings));
        if (localIpv4Address().isEmpty())
            QSKIP("This computer has no IPv4 address");
        playScript(s, script);
    }
};

QTEST_GUILESS_MAIN(TestServerCore)
#include "test_server_core.moc"
