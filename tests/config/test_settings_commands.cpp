#include "config/main_settings.h"
#include "config/settings_commands.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QLocale>
#include <QTest>

namespace osk {

class TestSettingsCommands final : public QObject {
    Q_OBJECT

    test::TempProgramFolder m_folder;

    ProfileFile settings() const { return ProfileFile(m_folder.file(kSettingsFileName)); }

private slots:
    // Answers are read as the locale writes numbers.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
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
        QTest::newRow("hexadecimal") << "&H7D0" << 1033 << int(O::Accepted) << 2000;
        QTest::newRow("hexadecimal -1") << "&HFFFF" << 1033 << int(O::Accepted) << -1;
        QTest::newRow("thousands separator") << "2,000" << 1033 << int(O::Accepted) << 2000;
        QTest::newRow("currency sign") << "$2000" << 1033 << int(O::Accepted) << 2000;
        QTest::newRow("parentheses") << "(5)" << 1033 << int(O::Accepted) << -5;
        QTest::newRow("trailing minus") << "5-" << 1033 << int(O::Accepted) << -5;
        QTest::newRow("separated past the range") << "65,501" << 1033 << int(O::Refused) << 1033;
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

    void acceptedPortIsStoredAsTheLoadWillReadIt_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("stored");
        QTest::newRow("fraction, as typed") << "2000.5" << 2000 << "2000.5";
        QTest::newRow("hexadecimal, as typed") << "&H7D0" << 2000 << "&H7D0";
        // Val would read "2,000" as 2 at the next start.
        QTest::newRow("thousands separator, as the number") << "2,000" << 2000 << "2000";
        QTest::newRow("currency sign, as the number") << "$2000" << 2000 << "2000";
    }

    void acceptedPortIsStoredAsTheLoadWillReadIt() {
        QFETCH(QString, answer);
        QFETCH(int, port);
        QFETCH(QString, stored);
        ProfileFile file = settings();
        test::ScriptedOperator op;
        op.textAnswers = {answer};
        SettingsCommands commands(file, op);
        QCOMPARE(commands.askPort(1033), std::optional<int>(port));
        QCOMPARE(op.prompts, QStringList{QStringLiteral("Indique nuevo puerto.")});
        QCOMPARE(file.read(kMainSection, QStringLiteral("Port")), stored);
        QVERIFY(op.messages.empty());
    }

    // The settings file's folder is a plain file: the write fails for every user, root included.
    void failedWriteIsSaidAndChangesNothing_data() {
        QTest::addColumn<QString>("command");
        QTest::newRow("port") << "port";
        QTest::newRow("SQL Server") << "sql";
        QTest::newRow("automatic start") << "auto";
        QTest::newRow("minimised start") << "min";
    }

    void failedWriteIsSaidAndChangesNothing() {
        QFETCH(QString, command);
        QVERIFY(test::writeFileBytes(m_folder.file(QStringLiteral("bloqueado")), "x"));
        const QString path = m_folder.file(QStringLiteral("bloqueado/OskServer.INI"));
        ProfileFile file(path);
        test::ScriptedOperator op;
        SettingsCommands commands(file, op);
        if (command == u"port") {
            op.textAnswers = {QStringLiteral("2000")};
            QCOMPARE(commands.askPort(1033), std::nullopt);
        } else if (command == u"sql") {
            op.textAnswers = {QStringLiteral("SQL2")};
            commands.changeSqlServer(QStringLiteral("SQL1"));
        } else if (command == u"auto") {
            QCOMPARE(commands.toggleAutoStart(false), false);
        } else {
            QCOMPARE(commands.toggleMinStart(true), true);
        }
        QCOMPARE(op.messages.size(), size_t(1)); // no restart message after it
        const QString prefix =
            QStringLiteral("No se ha podido guardar la configuración en el archivo '%1': ").arg(path);
        QVERIFY2(op.messages[0].text.startsWith(prefix), qPrintable(op.messages[0].text));
        QVERIFY2(op.messages[0].text.size() > prefix.size(), "the reason is missing");
        QCOMPARE(op.messages[0].icon, MessageIcon::Critical);
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
