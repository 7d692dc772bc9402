#include "config/main_settings.h"
#include "config/profile_file.h"
#include "config/settings_commands.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDir>
#include <QLocale>
#include <QStringEncoder>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

namespace osk {

namespace {

QByteArray utf16(const QString& text, bool bigEndian) {
    return QStringEncoder(bigEndian ? QStringEncoder::Utf16BE : QStringEncoder::Utf16LE,
                          QStringEncoder::Flag::WriteBom)(text);
}

// A file as people leave it after years of editing by hand: comments, odd case, blanks around
// '=', mixed line ends, quotes, a Windows-1252 accent, a duplicated section, no final line end.
const QByteArray kHandEdited = "; Osk Server\r\n[main]\r\nPort = 1034\r\n  sqlserver=  SRV\\OSK  \n"
                               ";Engine=Embedded\r\nQuoted=\"  spaced  \"\r\nExpr = a=b\r\n"
                               "Ansi=Conexi\xF3n\r\n\r\n[ Backup1 ]\r\nOutPutFile=D:\\osk.bak\r\n"
                               "[Main]\r\nPort=9999\r\nMaxUsers=10";

} // namespace

// The settings file, the load of the service settings and the commands that change them.
class TestSettings final : public QObject {
    Q_OBJECT

    test::TempProgramFolder m_folder;
    QString path() const { return m_folder.file(kSettingsFileName); }

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void init() { QFile::remove(path()); }

    void reads_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        const auto row = [](const char* name, const QByteArray& file, const char* section, const char* key,
                            const QString& value) {
            QTest::newRow(name) << file << QString::fromLatin1(section) << QString::fromLatin1(key) << value;
        };
        row("any case, blanks", kHandEdited, "MAIN", "SQLServer", "SRV\\OSK");
        row("first section wins", kHandEdited, "Main", "port", "1034");
        row("not past the first section", kHandEdited, "Main", "MaxUsers", "");
        row("quotes dropped", kHandEdited, "Main", "Quoted", "  spaced  ");
        row("first equals splits", kHandEdited, "Main", "Expr", "a=b");
        row("Windows-1252", kHandEdited, "Main", "Ansi", "Conexión");
        row("blank header name", kHandEdited, "backup1", "OutputFile", "D:\\osk.bak");
        row("cut at 254", "[Main]\r\nLong=" + QByteArray(254, 'x') + "yz\r\n", "Main", "Long",
            QString(254, u'x'));
        row("CR line ends", "[Main]\rPort=1040\rOSInit=1\r", "Main", "OSInit", "1");
        row("UTF-16 LE", utf16("[Main]\r\nSQLServer=Señor\r\n", false), "Main", "SQLServer", "Señor");
        row("UTF-16 BE", utf16("[Main]\r\nSQLServer=Señor\r\n", true), "Main", "SQLServer", "Señor");
    }
    void reads() {
        QFETCH(QByteArray, file);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QVERIFY(test::writeFileBytes(path(), file));
        QCOMPARE(ProfileFile(path()).read(section, key), value);
    }

    void writes_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("no file") << QByteArray() << "Port" << QByteArray("[Main]\r\nPort=7\r\n");
        QTest::newRow("in place, the rest kept")
            << QByteArray("; c\n[main]\nPORT = 1\n\n[B]\nPort=2") << "port"
            << QByteArray("; c\n[main]\nport=7\n\n[B]\nPort=2");
        QTest::newRow("new key before the blank lines")
            << QByteArray("[Main]\r\nA=1\r\n\r\n[B]\r\n") << "Port"
            << QByteArray("[Main]\r\nA=1\r\nPort=7\r\n\r\n[B]\r\n");
        QTest::newRow("new section, CR line ends")
            << QByteArray("[B]\rX=1") << "Port" << QByteArray("[B]\rX=1\r[Main]\rPort=7\r");
        QTest::newRow("UTF-16 kept") << utf16("[Main]\r\nPort=1\r\nN=ñ\r\n", false) << "Port"
                                     << utf16("[Main]\r\nPort=7\r\nN=ñ\r\n", false);
    }
    void writes() {
        QFETCH(QByteArray, before);
        QFETCH(QString, key);
        QFETCH(QByteArray, after);
        if (!before.isEmpty())
            QVERIFY(test::writeFileBytes(path(), before));
        ProfileFile file(path());
        QVERIFY(file.write(QStringLiteral("Main"), key, QStringLiteral("7")).ok());
        QCOMPARE(test::readFileBytes(path()), after);
    }

    void fileNameAndFailedWrites() {
        const QString lower = m_folder.file(QStringLiteral("oskserver.ini"));
        QVERIFY(test::writeFileBytes(lower, "[Main]\r\nPort=2000\r\n"));
        QCOMPARE(ProfileFile::inFolder(m_folder.path(), kSettingsFileName).path(), lower);
        ProfileFile found = ProfileFile::inFolder(m_folder.path(), kSettingsFileName);
        MainSettings loaded;
        QVERIFY(CargaValores(found, loaded).ok());
        QCOMPARE(loaded.port, 2000);
        QVERIFY(QFile::remove(lower));

        // A value that would split the line, and a folder that is a file: refused, nothing written.
        QVERIFY(test::writeFileBytes(path(), "[Main]\r\nPort=1\r\n"));
        QVERIFY(!ProfileFile(path()).write(QStringLiteral("Main"), QStringLiteral("Port"), "2\r\n[X]").ok());
        QCOMPARE(test::readFileBytes(path()), QByteArray("[Main]\r\nPort=1\r\n"));
        ProfileFile unwritable(path() + QStringLiteral("/x.ini"));
        QVERIFY(!unwritable.write(QStringLiteral("Main"), QStringLiteral("A"), "1").ok());
        MainSettings defaults;
        QVERIFY(CargaValores(unwritable, defaults).ok());
        QCOMPARE(defaults.port, 1033); // the default applies all the same
    }

    // A folder or a FIFO in the file's place, under any case of its name, is a file that cannot be
    // read, not a missing one: the load stops on it, a write is refused, neither waits on it nor
    // puts a fresh file beside it.
    void unreadableIsNotMissing_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("fifo");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder") << "OskServer.INI" << false << "es una carpeta";
        QTest::newRow("folder, another case") << "oskserver.ini" << false << "es una carpeta";
        QTest::newRow("FIFO") << "OskServer.INI" << true << "no es un archivo normal";
        QTest::newRow("FIFO, another case") << "OSKSERVER.ini" << true << "no es un archivo normal";
    }
    void unreadableIsNotMissing() {
        QFETCH(QString, name);
        QFETCH(bool, fifo);
        QFETCH(QString, reason);
        test::TempProgramFolder folder;
        const QString placed = folder.file(name);
        QVERIFY(fifo ? ::mkfifo(QFile::encodeName(placed).constData(), 0600) == 0 : QDir().mkdir(placed));
        ProfileFile file = ProfileFile::inFolder(folder.path(), QStringLiteral("OskServer.INI"));
        QCOMPARE(file.path(), placed);
        const QString refusal = QStringLiteral("No se puede abrir el archivo %1: %2.").arg(placed, reason);
        MainSettings loaded;
        QCOMPARE(CargaValores(file, loaded).error(), QStringLiteral("CargaValores: ") + refusal);
        QCOMPARE(loaded.port, 0);
        QCOMPARE(file.write(QStringLiteral("Main"), QStringLiteral("Port"), QStringLiteral("1034")).error(),
                 refusal);
        QCOMPARE(QDir(folder.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                 QStringList{name});
    }

    // A settings file that is a link into another folder: read through it, and a write replaces the
    // file it leads to, which keeps its owner, group and mode, the link left as it was. A link that
    // leads nowhere yet is a missing file: the load's default goes where it leads.
    void linkedFileKeepsLinkAndTarget() {
        test::TempProgramFolder elsewhere;
        const QString target = elsewhere.file(QStringLiteral("osk.ini"));
        const QString linkText = QStringLiteral("../%1/osk.ini").arg(QFileInfo(elsewhere.path()).fileName());
        QVERIFY(test::writeFileBytes(target, "[Main]\r\nPort=1040\r\n"));
        QVERIFY(::chmod(QFile::encodeName(target).constData(), 0640) == 0);
        // Owner and group someone else's: only root can give them, and only root can keep them.
        const bool root = ::geteuid() == 0;
        QVERIFY(!root || ::chown(QFile::encodeName(target).constData(), 65534, 4) == 0);
        QVERIFY(QFile::link(linkText, path()));

        ProfileFile file = ProfileFile::inFolder(m_folder.path(), kSettingsFileName);
        MainSettings loaded;
        QVERIFY(CargaValores(file, loaded).ok());
        QCOMPARE(loaded.port, 1040);
        QVERIFY(file.write(QStringLiteral("Main"), QStringLiteral("Port"), QStringLiteral("1044")).ok());
        QCOMPARE(QFile::symLinkTarget(path()), target);
        QVERIFY(QFileInfo(path()).isSymLink());
        QCOMPARE(test::readFileBytes(target), QByteArray("[Main]\r\nPort=1044\r\n"));
        struct stat status {};
        QVERIFY(::stat(QFile::encodeName(target).constData(), &status) == 0);
        QCOMPARE(status.st_mode & 07777, mode_t(0640));
        if (root) {
            QCOMPARE(status.st_uid, uid_t(65534));
            QCOMPARE(status.st_gid, gid_t(4));
        }
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"osk.ini"});

        QVERIFY(QFile::remove(target));
        MainSettings defaults;
        QVERIFY(CargaValores(file, defaults).ok());
        QCOMPARE(defaults.port, 1033);
        QCOMPARE(test::readFileBytes(target), QByteArray("[Main]\r\nPort=1033\r\n"));
        QCOMPARE(QFile::symLinkTarget(path()), target);
    }

    void load_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("autoStart");
        QTest::addColumn<bool>("sqlServerEngine");
        QTest::addColumn<int>("maxUsers");
        QTest::addColumn<QByteArray>("after");
        // Lines of section "Main"; the file after the load when it changed.
        const auto row = [](const char* name, const char* main, int port, bool autoStart, bool sqlServer,
                            int maxUsers, const char* after = nullptr) {
            QTest::newRow(name) << (main ? "[Main]\r\n" + QByteArray(main) : QByteArray()) << port
                                << autoStart << sqlServer << maxUsers << QByteArray(after);
        };
        row("no file", nullptr, 1033, false, false, 255, "[Main]\r\nPort=1033\r\n");
        row("port 0", "Port=0\r\nOSInit=-1\r\n", 1033, true, false, 255,
            "[Main]\r\nPort=1033\r\nOSInit=-1\r\n");
        row("word", "Port=abc\r\nOSInit=yes\r\nMaxUsers=0", 1033, false, false, 0,
            "[Main]\r\nPort=1033\r\nOSInit=yes\r\nMaxUsers=0");
        row("wide port, server named", "Port=40000\r\nOSInit=2\r\nSQLServer=SRV\r\nMaxUsers=255", 40000, true,
            true, 255);
        row("hexadecimal", "Port=&H7D0\r\nMaxUsers=256", 2000, false, false, 255);
        row("engine chosen", "Port=1034.5\r\nSQLServer=SRV\r\nEngine=embedded\r\nMaxUsers=12a", 1034, false,
            false, 255);
        row("engine named", "Port=65535\r\nEngine=SQLSERVER\r\nMaxUsers=7", 65535, false, true, 7);
    }
    void load() {
        QFETCH(QByteArray, file);
        QFETCH(int, port);
        QFETCH(bool, autoStart);
        QFETCH(bool, sqlServerEngine);
        QFETCH(int, maxUsers);
        QFETCH(QByteArray, after);
        if (!file.isEmpty())
            QVERIFY(test::writeFileBytes(path(), file));
        ProfileFile settings(path());
        MainSettings loaded;
        QVERIFY(CargaValores(settings, loaded).ok());
        QCOMPARE(loaded.port, port);
        QCOMPARE(loaded.autoStart, autoStart);
        QCOMPARE(loaded.engine == EngineKind::SqlServer, sqlServerEngine);
        QCOMPARE(loaded.maxUsers, maxUsers);
        QCOMPARE(test::readFileBytes(path()), after.isEmpty() ? file : after);
    }

    void portCommand_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("port"); // 0: no new port
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("stored");
        const QByteArray none("[Main]\r\nPort=1033\r\n");
        QTest::newRow("same") << " 1033.0" << 0 << "" << none;
        QTest::newRow("top") << "65500" << 65500 << "" << QByteArray("[Main]\r\nPort=65500\r\n");
        QTest::newRow("past the top") << "65501" << 0 << "Puerto Incorrecto" << none;
        QTest::newRow("cancelled") << "" << 0 << "Puerto Incorrecto" << none;
        QTest::newRow("fraction as typed")
            << "2000.5" << 2000 << "" << QByteArray("[Main]\r\nPort=2000.5\r\n");
        QTest::newRow("negative") << "-1" << 0 << "Puerto Incorrecto" << none;
        QTest::newRow("rounds to 0") << "0.4" << 0 << "Puerto Incorrecto" << none;
        QTest::newRow("bottom") << "1" << 1 << "" << QByteArray("[Main]\r\nPort=1\r\n");
        QTest::newRow("separator, as the load reads it")
            << "2,000" << 2000 << "" << QByteArray("[Main]\r\nPort=2000\r\n");
        QTest::newRow("hexadecimal") << "&H7D0" << 2000 << "" << QByteArray("[Main]\r\nPort=&H7D0\r\n");
    }
    void portCommand() {
        QFETCH(QString, answer);
        QFETCH(int, port);
        QFETCH(QString, message);
        QFETCH(QByteArray, stored);
        QVERIFY(test::writeFileBytes(path(), "[Main]\r\nPort=1033\r\n"));
        ProfileFile settings(path());
        test::ScriptedOperator op;
        op.textAnswers.push_back(answer);
        QCOMPARE(SettingsCommands(settings, op).askPort(1033).value_or(0), port);
        QCOMPARE(op.prompts, QStringList{QStringLiteral("Indique nuevo puerto.")});
        QCOMPARE(op.messages.empty() ? QString() : op.messages.front().text, message);
        QCOMPARE(test::readFileBytes(path()), stored);
    }

    void commandsStoreOrSayWhy() {
        ProfileFile settings(path());
        test::ScriptedOperator op;
        SettingsCommands commands(settings, op);
        QCOMPARE(commands.toggleAutoStart(false), true);
        QCOMPARE(commands.toggleMinStart(true), false);
        // Where no name was remembered (the embedded engine's default) it is stored all the same,
        // with the engine that runs now, which the name alone would change at the next start.
        op.textAnswers = {QStringLiteral("OTRO"), QStringLiteral("srv"), QStringLiteral("SRV")};
        commands.changeSqlServer(QString());
        QCOMPARE(test::readFileBytes(path()),
                 QByteArray("[Main]\r\nOSInit=1\r\nMinInit=0\r\nSQLServer=OTRO\r\nEngine=Embedded\r\n"));
        // A remembered name is the SQL Server engine's: a new one waits for the next start.
        QVERIFY(test::writeFileBytes(path(), "[Main]\r\nSQLServer=SRV\r\n"));
        commands.changeSqlServer(QStringLiteral("SRV"));
        commands.changeSqlServer(QStringLiteral("SRV"));
        QCOMPARE(test::readFileBytes(path()), QByteArray("[Main]\r\nSQLServer=srv\r\n"));
        QCOMPARE(op.messages.size(), size_t(2));
        QCOMPARE(op.messages[0].text,
                 QStringLiteral("El servidor SQL Server se usará cuando Osk Server arranque "
                                "con el motor SQL Server (Engine=SQLServer)."));
        QCOMPARE(op.messages[1].text,
                 QStringLiteral("Debe reiniciar Osk Server para que los cambios surtan efecto"));

        // Where the file cannot be written: each command says so and changes nothing.
        ProfileFile unwritable(path() + QStringLiteral("/OskServer.INI"));
        test::ScriptedOperator refused;
        SettingsCommands failing(unwritable, refused);
        QCOMPARE(failing.toggleAutoStart(false), false);
        refused.textAnswers = {QStringLiteral("2000"), QStringLiteral("OTRO")};
        QVERIFY(!failing.askPort(1033));
        failing.changeSqlServer(QStringLiteral("SRV"));
        QCOMPARE(refused.messages.size(), size_t(3));
        for (const test::ShownMessage& shown : refused.messages) {
            QVERIFY2(shown.text.startsWith(
                         QStringLiteral("No se ha podido guardar la configuración en el archivo '") +
                         unwritable.path() + QStringLiteral("': ")),
                     qPrintable(shown.text));
            QCOMPARE(shown.icon, MessageIcon::Critical);
        }
    }
};

} // namespace osk

QTEST_GUILESS_MAIN(osk::TestSettings)
#include "test_settings.moc"
