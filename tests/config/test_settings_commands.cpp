#include "config/main_settings.h"
#include "config/settings_commands.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"

#include <QTest>

namespace osk {

class TestSettingsCommands final : public QObject {
    Q_OBJECT

    test::TempProgramFolder m_folder;

    ProfileFile settings() const { return ProfileFile(m_folder.file(kSettingsFileName)); }

private slots:
    void init() { QFile::remove(m_folder.file(kSettingsFileName)); }

    void portAnswers_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("current");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("port");
        using O = PortAnswer::Outcome;
        QTest::newRow("same port") << "1033" << 1033 << int(O::Unchanged) << 1033;
        QTest::newRow("same value, other text") << " 1033.0" << 1033 << int(O::Unchanged) << 1033;
        QTest::newRow("top of the range") << "65500" << 1033 << int(O::Accepted) << 65500;
        QTest::newRow("past the range") << "65501" << 1033 << int(O::Refused) << 1033;
        QTest::newRow("above signed 16 bits") << "40000" << 1033 << int(O::Accepted) << 40000;
        QTest::newRow("no lower bound") << "-1" << 1033 << int(O::Accepted) << -1;
        QTest::newRow("zero") << "0" << 1033 << int(O::Accepted) << 0;
        QTest::newRow("fraction rounds to even") << "2000.5" << 1033 << int(O::Accepted) << 2000;
        QTest::newRow("not a number") << "abc" << 1033 << int(O::Refused) << 1033;
        QTest::newRow("cancelled") << "" << 1033 << int(O::Refused) << 1033;
        QTest::newRow("cancelled with port 0") << "" << 0 << int(O::Unchanged) << 0;
    }

    void portAnswers() {
        QFETCH(QString, answer);
        QFETCH(int, current);
        QFETCH(int, outcome);
        QFETCH(int, port);
        const PortAnswer judged = judgePortAnswer(answer, current);
        QCOMPARE(int(judged.outcome), outcome);
        QCOMPARE(judged.port, port);
    }

    void acceptedPortIsStoredAsTyped() {
        ProfileFile file = settings();
        test::ScriptedOperator op;
        op.textAnswers = {QStringLiteral("2000.5")};
        SettingsCommands commands(file, op);
        QCOMPARE(commands.askPort(1033), std::optional<int>(2000));
        QCOMPARE(op.prompts, QStringList{QStringLiteral("Indique nuevo puerto.")});
        QCOMPARE(file.read(kMainSection, QStringLiteral("Port")), QStringLiteral("2000.5"));
        QVERIFY(op.messages.empty());
    }

    void refusedPortChangesNothing() {
        ProfileFile file = settings();
        test::ScriptedOperator op;
        op.textAnswers = {QStringLiteral("65501")};
        SettingsCommands commands(file, op);
        QCOMPARE(commands.askPort(1033), std::nullopt);
        QVERIFY(!file.exists());
        QCOMPARE(op.messages.size(), size_t(1));
        QCOMPARE(op.messages[0].text, QStringLiteral("Puerto Incorrecto"));
        QCOMPARE(op.messages[0].icon, MessageIcon::Information);
        QCOMPARE(op.messages[0].title, QStringLiteral("Osk Server"));
    }

    void serverNameChangeIsStoredWithTheRestartMessage() {
        ProfileFile file = settings();
        test::ScriptedOperator op;
        SettingsCommands commands(file, op);

        op.textAnswers = {QStringLiteral("SQL1")}; // unchanged
        commands.changeSqlServer(QStringLiteral("SQL1"));
        QVERIFY(!file.exists());
        QVERIFY(op.messages.empty());

        commands.changeSqlServer(QStringLiteral("SQL1")); // cancelled
        QVERIFY(!file.exists());

        op.textAnswers = {QStringLiteral("sql1")}; // another case is another name
        commands.changeSqlServer(QStringLiteral("SQL1"));
        QCOMPARE(file.read(kMainSection, QStringLiteral("SQLServer")), QStringLiteral("sql1"));
        QCOMPARE(op.messages.size(), size_t(1));
        QCOMPARE(op.messages[0].text,
                 QStringLiteral("Debe reiniciar Osk Server para que los cambios surtan efecto"));
        QCOMPARE(op.messages[0].title, kDefaultTitle);
    }

    void checkItemsToggleTheirKeys() {
        ProfileFile file = settings();
        test::ScriptedOperator op;
        SettingsCommands commands(file, op);
        bool autoStart = commands.toggleAutoStart(false);
        QVERIFY(autoStart);
        QCOMPARE(file.read(kMainSection, QStringLiteral("OSInit")), QStringLiteral("1"));
        autoStart = commands.toggleAutoStart(autoStart);
        QVERIFY(!autoStart);
        QCOMPARE(file.read(kMainSection, QStringLiteral("OSInit")), QStringLiteral("0"));
        QVERIFY(commands.toggleMinStart(false));
        QCOMPARE(file.read(kMainSection, QStringLiteral("MinInit")), QStringLiteral("1"));
    }
};

} // namespace osk

QTEST_GUILESS_MAIN(osk::TestSettingsCommands)
#include "test_settings_commands.moc"
