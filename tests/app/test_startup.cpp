#include "app/console_runner.h"
#include "app/server_core.h"
#include "app/startup_connection.h"
#include "config/main_settings.h"
#include "database/odbc_engine.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QLockFile>
#include <QtTest>

using namespace osk;
using namespace osk::test;

namespace {

const QString kRestartMessage =
    QStringLiteral("Debe reiniciar Osk Server para que los cambios surtan efecto");
const QString kServerPrompt = QStringLiteral("Introduzca el nombre del servidor SQL Server:");

// A SQL Server engine whose driver is not installed: every attempt fails at once, without
// looking a name up on the network.
struct UnreachableServer {
    TempProgramFolder folder;
    ScriptedOperator op;
    ProfileFile settings{folder.file(kSettingsFileName)};
    OdbcEngine engine{[] {
        OdbcOptions options;
        options.driver = QStringLiteral("Osk Sin Controlador");
        return options;
    }()};

    StartupConnection connection() { return StartupConnection(engine, settings, true, op); }
};

} // namespace

class TestStartup final : public QObject {
    Q_OBJECT

private slots:
    void escapeBeforeAnAttemptEndsTheStartUp() {
        UnreachableServer s;
        int asked = 0;
        QCOMPARE(s.connection().connect([&asked] { return ++asked > 3; }),
                 StartupConnection::Outcome::Cancelled);
        QCOMPARE(asked, 4); // the first attempt ran, the second was not made
        // The first attempt asked for the missing name; the cancelled prompt wrote nothing.
        QCOMPARE(s.op.prompts, QStringList{kServerPrompt});
        QVERIFY(!s.settings.exists());
    }

    void emptyNameIsAskedForOnceAndKeptEvenWhenTheAttemptFails() {
        UnreachableServer s;
        s.op.textAnswers = {QStringLiteral("SRV1")};
        StartupConnection connection = s.connection();
        QCOMPARE(connection.connect({}), StartupConnection::Outcome::Failed);
        QCOMPARE(s.op.prompts, QStringList{kServerPrompt});
        QCOMPARE(s.settings.read(kMainSection, QStringLiteral("SQLServer")), QStringLiteral("SRV1"));
        QCOMPARE(s.engine.serverDisplayName(), QStringLiteral("SRV1"));
        QVERIFY(!connection.lastError().isEmpty());
        QVERIFY(s.op.messages.empty());
    }

    void unreachableServerAndTheOperatorCancels() {
        UnreachableServer s;
        QVERIFY(s.settings.write(kMainSection, QStringLiteral("SQLServer"), QStringLiteral("SRV1")));
        StartupConnection connection = s.connection();
        QCOMPARE(connection.connect({}), StartupConnection::Outcome::Failed);
        QVERIFY(s.op.prompts.isEmpty()); // a name was set: ten attempts without asking
        connection.offerAnotherServer();
        QCOMPARE(s.op.prompts, QStringList{kServerPrompt});
        QCOMPARE(s.settings.read(kMainSection, QStringLiteral("SQLServer")), QStringLiteral("SRV1"));
        QVERIFY(s.op.messages.empty());
    }

    void unreachableServerAndANewNameForTheNextStart() {
        UnreachableServer s;
        QVERIFY(s.settings.write(kMainSection, QStringLiteral("SQLServer"), QStringLiteral("SRV1")));
        StartupConnection connection = s.connection();
        QCOMPARE(connection.connect({}), StartupConnection::Outcome::Failed);
        s.op.textAnswers = {QStringLiteral("SRV2")};
        connection.offerAnotherServer();
        QCOMPARE(s.settings.read(kMainSection, QStringLiteral("SQLServer")), QStringLiteral("SRV2"));
        QCOMPARE(s.op.messages.size(), size_t(1));
        QCOMPARE(s.op.messages[0].text, kRestartMessage);
        QCOMPARE(s.op.messages[0].icon, MessageIcon::Information);
    }

    void secondCopyIsRefused() {
        TempProgramFolder folder;
        QLockFile running(folder.file(kInstanceLockName));
        QVERIFY(running.tryLock(0));
        ScriptedOperator op;
        QCOMPARE(ConsoleRunner(folder.path(), op).run(), 1);
        QCOMPARE(op.messages.size(), size_t(1));
        QCOMPARE(op.messages[0].text, QStringLiteral("El servidor ya está en funcionamiento"));
        QVERIFY(!QFileInfo::exists(folder.file(kSettingsFileName)));
    }
};

QTEST_MAIN(TestStartup)
#include "test_startup.moc"
