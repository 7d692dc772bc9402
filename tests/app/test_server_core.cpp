// The core without a window: which commands the service start and stop leave enabled, why a start
// is refused, and what a stop and a port change do to real clients and to the databases.

#include "app/server_core.h"
#include "database/embedded_engine.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/served_client.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QTcpServer>
#include <QtTest>
#include <memory>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

// In the order the commands are declared.
const char* const kCommandNames[] = {
    "mnuIniciarServicio", "mnuDetenerServicio", "mnuSalir", "mnuServicioPuerto",
    "mnuDBActualizar",    "mnuAutoBackup",      "mnuSQL",   "mnuDBDownload",
    "mnuDBUpload",        "mnuDBBackup"};
static_assert(std::size(kCommandNames) == size_t(Command::Count));

// Caption, tray picture, whether tmrMain and tmrBackup run, and the enabled commands, as one line.
QString serviceState(ServerCore& core) {
    QStringList state{core.caption(), core.trayImage() == TrayImage::Start ? "Start" : "Stop",
                      QStringLiteral("timers %1 %2")
                          .arg(core.session().tmrMain().isActive())
                          .arg(core.tmrBackup().isActive())};
    for (int command = 0; command < int(Command::Count); ++command) {
        if (core.commands().isEnabled(Command(command)))
            state << QString::fromLatin1(kCommandNames[command]);
    }
    return state.join(QLatin1Char('|'));
}

const QString kStopped = QStringLiteral("Osk Server - Detenido|Stop|timers 0 0|mnuIniciarServicio|mnuSalir|"
                                        "mnuServicioPuerto|mnuDBActualizar|mnuAutoBackup|mnuSQL|"
                                        "mnuDBDownload|mnuDBUpload|mnuDBBackup");

struct Fixture {
    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = freePort();
    std::unique_ptr<ServerCore> core;

    // Loaded with the settings `extra` after the port line; on the embedded engine, one product
    // database "oskdemo" beside OskDB.
    bool load(const QByteArray& extra = {}) {
        if (port == 0 || !writeFileBytes(folder.file(kSettingsFileName), portSettings(port) + extra))
            return false;
        core = std::make_unique<ServerCore>(folder.path(), clock, op);
        if (core->AbreConexion().ok() && !EmbeddedEngine(folder.file(QStringLiteral("Data")))
                                              .createProductDatabase(QStringLiteral("oskdemo"))
                                              .ok())
            return false;
        core->load();
        return true;
    }
    // The lines logged from entry `from` on, as "text|kind".
    QStringList linesSince(size_t from) const {
        QStringList lines;
        const auto& entries = core->eventLog().entries();
        for (size_t i = from; i < entries.size(); ++i)
            lines << entries[i].text.mid(12) + QLatin1Char('|') + QString::number(int(entries[i].kind));
        return lines;
    }
};

} // namespace

class TestServerCore final : public QObject {
    Q_OBJECT

private slots:
    void commandStates_data() {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("expected");

        QTest::newRow("loaded") << QByteArray() << QStringList() << kStopped;
        QTest::newRow("started") << QByteArray() << QStringList{"start"}
                                 << QStringLiteral(
                                        "Osk Server - Iniciado|Start|timers 1 1|mnuDetenerServicio|"
                                        "mnuDBDownload|mnuDBUpload|mnuDBBackup");
        QTest::newRow("started, stopped") << QByteArray() << QStringList{"start", "stop"} << kStopped;
        // A driver that is not installed: no connection, and no name looked up on the network.
        QTest::newRow("SQL Server on another computer")
            << QByteArray("SQLServer=OTRO-EQUIPO-OSK\r\nODBCDriver=Osk Sin Controlador\r\n")
            << QStringList{"start"}
            << QStringLiteral("Osk Server - Detenido|Stop|timers 0 0|mnuIniciarServicio|mnuSalir|"
                              "mnuServicioPuerto|mnuDBActualizar|mnuSQL");
    }
    void commandStates() {
        QFETCH(QByteArray, settings);
        QFETCH(QStringList, steps);
        QFETCH(QString, expected);
        Fixture f;
        QVERIFY(f.load(settings));
        if (f.core->localAddress().isEmpty())
            QSKIP("This computer has no IPv4 address");
        for (const QString& step : steps) {
            if (step == QLatin1String("start"))
                f.core->startService();
            else
                f.core->stopService();
        }
        QCOMPARE(serviceState(*f.core), expected);
    }

    void startRefused_data() {
        QTest::addColumn<bool>("portTaken");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("message");

        // (A port of 0 no longer gets this far: the port command refuses it, and the load replaces it.)
        QTest::newRow("port taken")
            << true << QStringList{"Inicializando Entorno...|2", "Puerto incorrecto.|3"}
            << QStringLiteral("El puerto %1 ya está siendo utilizado por algún otro programa. Elija un "
                              "puerto distinto e inténtelo de nuevo.");
    }
    void startRefused() {
        QFETCH(bool, portTaken);
        QFETCH(QStringList, lines);
        QFETCH(QString, message);
        Fixture f;
        QVERIFY(f.load());
        if (f.core->localAddress().isEmpty())
            QSKIP("This computer has no IPv4 address");
        QTcpServer other;
        QVERIFY(!portTaken || other.listen(QHostAddress::AnyIPv4, f.port));
        const size_t logged = f.core->eventLog().entries().size();

        QVERIFY(!f.core->startService());
        QCOMPARE(f.linesSince(logged), lines);
        QCOMPARE(f.op.messages.size(), size_t(message.isEmpty() ? 0 : 1));
        if (!message.isEmpty())
            QCOMPARE(f.op.messages[0].text, message.arg(f.port));
        QCOMPARE(serviceState(*f.core), kStopped);
    }

    // Settings that cannot be read: the load shows why as its routine's trap does and goes on
    // without them, so no port is written into the databases nor listened on, and the folder in the
    // file's place is left as it is.
    void unreadableSettingsAreShownNotReplaced() {
        Fixture f;
        const QString settings = f.folder.file(QStringLiteral("OskServer.INI"));
        QVERIFY(QDir().mkdir(settings));
        f.core = std::make_unique<ServerCore>(f.folder.path(), f.clock, f.op);
        QVERIFY(f.core->AbreConexion().ok());
        QVERIFY(!f.core->load());
        QVERIFY(!f.op.messages.empty());
        QCOMPARE(
            f.op.messages.front().text,
            QStringLiteral("CargaValores: No se puede abrir el archivo %1: es una carpeta.").arg(settings));
        QCOMPARE(f.op.messages.front().icon, MessageIcon::Critical);
        QCOMPARE(f.core->settings().port, 0);
        QVERIFY(!f.core->startService());
        QVERIFY(QFileInfo(settings).isDir());
    }

    // The stop tells validated clients "CLOSED" and says nothing to one that never started its
    // session; a new port is written into the databases at once and listened on from the next start.
    void stopThenPortChange() {
        Fixture f;
        QVERIFY(f.load());
        if (f.core->localAddress().isEmpty())
            QSKIP("This computer has no IPv4 address");
        QVERIFY(f.core->startService());
        auto ana = servedClient(f.core->session(), f.port, QStringLiteral("127.0.0.1"), "ALMACEN1", "ana");
        auto luis = servedClient(f.core->session(), f.port, QStringLiteral("127.0.0.2"), "CAJA", "luis");
        QVERIFY(ana && luis);
        Client silent(f.port, QStringLiteral("127.0.0.3"));
        QVERIFY(receives(silent, "CONNECTED"));

        f.core->stopService();
        for (Client* client : {ana.get(), luis.get(), &silent})
            QTRY_COMPARE_WITH_TIMEOUT(client->socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);
        QCOMPARE(ana->received, QByteArray("CLOSED"));
        QCOMPARE(luis->received, QByteArray("CLOSED"));
        QCOMPARE(silent.received, QByteArray());
        QCOMPARE(f.core->session().lstUsers().count(), 0);

        const quint16 newPort = freePort();
        QVERIFY(newPort != 0 && newPort != f.port);
        f.op.textAnswers = {QString::number(newPort)};
        f.core->mnuServicioPuerto();
        const auto stored = EmbeddedEngine(f.folder.file(QStringLiteral("Data")))
                                .readProperty(QStringLiteral("oskdemo"), QStringLiteral("AppOskServerPort"));
        QVERIFY(stored.ok() && stored->has_value());
        QCOMPARE(**stored, QString::number(newPort));
        QVERIFY(f.core->startService());
        QCOMPARE(f.core->session().listeningPort(), newPort);
        f.core->stopService();
    }
};

QTEST_GUILESS_MAIN(TestServerCore)
#include "test_server_core.moc"
