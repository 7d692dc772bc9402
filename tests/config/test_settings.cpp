#include "config/main_settings.h"
#include "config/profile_file.h"
#include "config/settings_commands.h"
#include "support/scripted_operator.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDir>
#include <QLocale>
#include <QStringEncoder>
#include <QTest>
#include <functional>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace osk {

using test::owners;

namespace {

QByteArray utf16(const QString& text, bool bigEndian) {
    return QStringEncoder(bigEndian ? QStringEncoder::Utf16BE : QStringEncoder::Utf16LE,
                          QStringEncoder::Flag::WriteBom)(text);
}

// A file as people leave it after years of editing by hand: comments, odd case, blanks around
// '=', mixed line ends, both kinds of quotes and unbalanced ones, a Windows-1252 accent, a
// duplicated section, no final line end.
const QByteArray kHandEdited =
    "; Osk Server\r\n[main]\r\nPort = 1034\r\n  sqlserver=  SRV\\OSK  \n"
    ";Engine=Embedded\r\nDouble = \"  spaced  \" \r\nSingle='  single  '\r\n"
    "Empty=\"\"\r\nLone=\"\r\nOpen=\"open\r\nClose=close'\r\nMixed=\"mixed'\r\n"
    "Nested=\"'both'\"\r\nInner=a \"b\" c\r\nExpr = a=b\r\nAnsi=Conexi\xF3n\r\n\r\n"
    "[ Backup1 ]\r\nOutPutFile=D:\\osk.bak\r\n[Main]\r\nPort=9999\r\nMaxUsers=10";

// What `work` returns when run in a child process of user and group 65534 with no other group;
// the child's death or a failed change of user is a text of its own.
QString asNobody(const std::function<QString()>& work) {
    int pipe[2];
    if (::pipe(pipe) != 0)
        return QStringLiteral("no pipe");
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        const uid_t nobody = 65534;
        const bool dropped = ::setgroups(0, nullptr) == 0 && ::setresgid(nobody, nobody, nobody) == 0 &&
                             ::setresuid(nobody, nobody, nobody) == 0 && ::geteuid() == nobody;
        const QByteArray said = dropped ? work().toUtf8() : QByteArrayLiteral("still root");
        const bool sent = ::write(pipe[1], said.constData(), size_t(said.size())) == said.size();
        ::_exit(sent ? 0 : 1);
    }
    ::close(pipe[1]);
    QByteArray said;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, n);
    ::close(pipe[0]);
    int status = 0;
    const bool ended =
        child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return ended ? QString::fromUtf8(said) : QStringLiteral("the child failed");
}

} // namespace

// The settings file, the load of the service settings and the commands that change them.
class TestSettings final : public QObject {
    Q_OBJECT

    test::TempProgramFolder m_folder;
    QString path() const { return m_folder.file(kSettingsFileName); }
    // The whole load as one text: every setting and the file afterwards.
    QString loaded(ProfileFile& file) const {
        MainSettings s;
        const Status status = CargaValores(file, s);
        return QStringLiteral("%1 port=%2 OSInit=%3 MinInit=%4 SQLServer=%5 engine=%6 MaxUsers=%7\n")
                   .arg(status ? QStringLiteral("ok") : status.error())
                   .arg(s.port)
                   .arg(s.autoStart)
                   .arg(s.minStart)
                   .arg(s.sqlServerName, s.engine == EngineKind::SqlServer ? "SQLServer" : "Embedded")
                   .arg(s.maxUsers) +
               (QFileInfo(file.path()).isFile() ? QString::fromLatin1(test::readFileBytes(file.path()))
                                                : QString());
    }

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void init() { QFile::remove(path()); }

    void reads_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("queries"); // section/key, ...
        QTest::addColumn<QString>("values");
        QTest::newRow("hand-edited")
            << kHandEdited
            << "MAIN/SQLServer main/sqlSERVER Main/port mAIN/PORT Main/MaxUsers Main/Double Main/Single "
               "Main/Empty Main/Lone Main/Open Main/Close Main/Mixed Main/Nested Main/Inner Main/Expr "
               "Main/Ansi "
               "Main/Engine backup1/OutputFile BACKUP1/outputfile Other/Port"
            << QString::fromUtf8("[SRV\\OSK] [SRV\\OSK] [1034] [1034] [] [  spaced  ] [  single  ] [] [\"] "
                                 "[\"open] [close'] [\"mixed'] ['both'] [a \"b\" c] [a=b] [Conexión] [] "
                                 "[D:\\osk.bak] [D:\\osk.bak] []");
        QTest::newRow("cut at 254") << "[Main]\r\nLong=" + QByteArray(254, 'x') + "yz\r\nQ=\"" +
                                           QByteArray(253, 'q') + "\"\r\n"
                                    << "Main/Long Main/Q"
                                    << "[" + QString(254, u'x') + "] [" + QString(253, u'q') + "]";
        QTest::newRow("CR line ends")
            << QByteArray("[Main]\rPort=1040\rOSInit=1\r") << "Main/OSInit main/port"
            << "[1] [1040]";
        QTest::newRow("UTF-16 LE") << utf16("[Main]\r\nSQLServer=Señor\r\n", false) << "main/sqlserver"
                                   << QString::fromUtf8("[Señor]");
        QTest::newRow("UTF-16 BE") << utf16("[Main]\r\nSQLServer='Señor'\r\n", true) << "MAIN/SQLSERVER"
                                   << QString::fromUtf8("[Señor]");
    }
    void reads() {
        QFETCH(QByteArray, file);
        QFETCH(QString, queries);
        QFETCH(QString, values);
        QVERIFY(test::writeFileBytes(path(), file));
        QStringList read;
        for (const QString& query : queries.split(u' '))
            read << u'[' + ProfileFile(path()).read(query.section(u'/', 0, 0), query.section(u'/', 1)) + u']';
        QCOMPARE(read.join(u' '), values);
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
            << QByteArray("[MAIN]\r\nA=1\r\n\r\n[B]\r\n") << "Port"
            << QByteArray("[MAIN]\r\nA=1\r\nPort=7\r\n\r\n[B]\r\n");
        QTest::newRow("new section, CR line ends")
            << QByteArray("[B]\rX=1") << "Port" << QByteArray("[B]\rX=1\r[Main]\rPort=7\r");
        QTest::newRow("new key, LF line ends")
            << QByteArray("[Main]\nA=1\n") << "Port" << QByteArray("[Main]\nA=1\nPort=7\n");
        QTest::newRow("UTF-16 kept") << utf16("[Main]\r\nPort=1\r\nN=ñ\r\n", false) << "Port"
                                     << utf16("[Main]\r\nPort=7\r\nN=ñ\r\n", false);
        // A value that would split the line is refused, the file left as it was.
        QTest::newRow("line break") << QByteArray("[Main]\r\nPort=1\r\n") << "Port\r\n[X]"
                                    << QByteArray("[Main]\r\nPort=1\r\n");
    }
    void writes() {
        QFETCH(QByteArray, before);
        QFETCH(QString, key);
        QFETCH(QByteArray, after);
        if (!before.isEmpty())
            QVERIFY(test::writeFileBytes(path(), before));
        ProfileFile file(path());
        QCOMPARE(file.write(QStringLiteral("Main"), key, QStringLiteral("7")).ok(), !key.contains(u'\n'));
        QCOMPARE(test::readFileBytes(path()), after);
    }

    // The file's name matched in any case, as Windows matches it. A folder or a FIFO in its place
    // is a file that cannot be read, not a missing one: the load stops on it, a write is refused,
    // neither waits on it nor puts a fresh file beside it.
    void fileFoundInAnyCase_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("outcome");
        const QString written =
            QStringLiteral("ok port=1034 OSInit=0 MinInit=0 SQLServer= engine=Embedded MaxUsers=255\n"
                           "[Main]\r\nPORT=1034\r\n | ok | ");
        for (const char* name : {"oskserver.ini", "OSKSERVER.INI", "OskServer.ini", "OskServer.INI"})
            QTest::newRow(name) << name << "file" << written + name;
        const QString refused =
            QStringLiteral("CargaValores: %1 port=0 OSInit=0 MinInit=0 SQLServer= engine=Embedded "
                           "MaxUsers=255\n | %1 | %2");
        const char* places[][3] = {{"folder", "OskServer.INI", "es una carpeta"},
                                   {"folder", "oskserver.ini", "es una carpeta"},
                                   {"fifo", "OskServer.INI", "no es un archivo normal"},
                                   {"fifo", "OSKSERVER.ini", "no es un archivo normal"}};
        for (const auto& [kind, name, reason] : places)
            QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(kind, name)))
                << name << kind
                << refused.arg(
                       QStringLiteral("No se puede abrir el archivo <folder>/%1: %2.").arg(name, reason),
                       name);
    }
    void fileFoundInAnyCase() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, outcome);
        test::TempProgramFolder folder;
        const QString placed = folder.file(name);
        QVERIFY(kind == QLatin1String("fifo")     ? ::mkfifo(QFile::encodeName(placed).constData(), 0600) == 0
                : kind == QLatin1String("folder") ? QDir().mkdir(placed)
                                                  : test::writeFileBytes(placed, "[Main]\r\nPort=1034\r\n"));
        ProfileFile file = ProfileFile::inFolder(folder.path(), QStringLiteral("OskServer.INI"));
        const Status write =
            file.write(QStringLiteral("main"), QStringLiteral("PORT"), QStringLiteral("1034"));
        const QString actual =
            loaded(file) + QStringLiteral(" | ") + (write ? QStringLiteral("ok") : write.error()) +
            QStringLiteral(" | ") +
            QDir(folder.path())
                .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)
                .join(u',');
        QCOMPARE(QString(actual).replace(folder.path(), QStringLiteral("<folder>")), outcome);
    }

    // A settings file that is a link into another folder: read through it, and a write replaces the
    // file it leads to, which keeps its owner, group and mode, the link left as it was. A user who
    // is neither root nor the file's owner cannot keep them: the write is refused and the file
    // stays as it was; its owner's write keeps them. A link that leads nowhere yet is a missing
    // file: the load's default goes where it leads.
    void linkedFileKeepsLinkAndTarget() {
        test::TempProgramFolder elsewhere;
        const QString target = elsewhere.file(QStringLiteral("osk.ini"));
        QVERIFY(test::writeFileBytes(target, "[Main]\r\nPort=1040\r\n"));
        QVERIFY(::chmod(QFile::encodeName(target).constData(), 0640) == 0);
        const bool root = ::geteuid() == 0;
        QVERIFY(!root || ::chown(QFile::encodeName(target).constData(), 65534, 4) == 0);
        QVERIFY(
            QFile::link(QStringLiteral("../%1/osk.ini").arg(QFileInfo(elsewhere.path()).fileName()), path()));
        ProfileFile file = ProfileFile::inFolder(m_folder.path(), kSettingsFileName);
        QVERIFY(file.write(QStringLiteral("Main"), QStringLiteral("OSInit"), QStringLiteral("1")).ok());
        const QString state = loaded(file) + QLatin1Char('\n') + owners(target) + QLatin1Char(' ') +
                              QFile::symLinkTarget(path()) + QLatin1Char(' ') +
                              QDir(elsewhere.path()).entryList(QDir::Files | QDir::Hidden).join(u',');
        QCOMPARE(QString(state).replace(elsewhere.path(), QStringLiteral("<elsewhere>")),
                 QStringLiteral("ok port=1040 OSInit=1 MinInit=0 SQLServer= engine=Embedded MaxUsers=255\n"
                                "[Main]\r\nPort=1040\r\nOSInit=1\r\n\n%1 0640 <elsewhere>/osk.ini osk.ini")
                     .arg(root ? QStringLiteral("65534:4") : owners(target).section(u' ', 0, 0)));

        if (!root)
            QSKIP("Showing a write by a user who is not root takes root to become that user.");
        QVERIFY(::chmod(QFile::encodeName(m_folder.path()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(elsewhere.path()).constData(), 0777) == 0);
        // Root's file that the group may change: this user may replace it, not keep its owner.
        QVERIFY(::chown(QFile::encodeName(target).constData(), 0, 65534) == 0);
        QVERIFY(::chmod(QFile::encodeName(target).constData(), 0664) == 0);
        const auto writeAsNobody = [&] {
            return asNobody([&] {
                const Status written =
                    file.write(QStringLiteral("Main"), QStringLiteral("Port"), QStringLiteral("1050"));
                return written ? QStringLiteral("written") : written.error();
            });
        };
        // The child first, then what it left.
        const auto writeAndLook = [&] {
            const QString said = writeAsNobody();
            return said + u'\n' + QString::fromLatin1(test::readFileBytes(target)) + owners(target) + u' ' +
                   QDir(elsewhere.path()).entryList(QDir::Files | QDir::Hidden).join(u',');
        };
        QCOMPARE(writeAndLook(),
                 QStringLiteral("no se pueden conservar el propietario y el grupo de %1: permiso denegado\n"
                                "[Main]\r\nPort=1040\r\nOSInit=1\r\n0:65534 0664 osk.ini")
                     .arg(m_folder.path() + QStringLiteral("/../") + QFileInfo(elsewhere.path()).fileName() +
                          QStringLiteral("/osk.ini")));
        QVERIFY(::chown(QFile::encodeName(target).constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(QFile::encodeName(target).constData(), 0604) == 0);
        QCOMPARE(writeAndLook(),
                 QStringLiteral("written\n[Main]\r\nPort=1050\r\nOSInit=1\r\n65534:65534 0604 osk.ini"));

        QVERIFY(QFile::remove(target));
        QCOMPARE(loaded(file),
                 QStringLiteral("ok port=1033 OSInit=0 MinInit=0 SQLServer= engine=Embedded MaxUsers=255\n"
                                "[Main]\r\nPort=1033\r\n"));
        QVERIFY(QFileInfo(path()).isSymLink());
    }

    void load_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("outcome"); // the settings, and the file when the load changed it
        const auto row = [](const char* name, const QByteArray& file, const char* outcome) {
            QTest::newRow(name) << file << QString::fromLatin1(outcome);
        };
        row("no file", {},
            "port=1033 OSInit=0 MinInit=0 SQLServer= engine=Embedded MaxUsers=255\n[Main]\r\nPort=1033\r\n");
        row("port 0", "[Main]\r\nPort=0\r\nOSInit=-1\r\nMinInit=1\r\n",
            "port=1033 OSInit=1 MinInit=1 SQLServer= engine=Embedded "
            "MaxUsers=255\n[Main]\r\nPort=1033\r\nOSInit=-1\r\nMinInit=1\r\n");
        row("words", "[Main]\nPort=abc\nOSInit=yes\nMaxUsers=0",
            "port=1033 OSInit=0 MinInit=0 SQLServer= engine=Embedded "
            "MaxUsers=0\n[Main]\nPort=1033\nOSInit=yes\nMaxUsers=0");
        row("wide port, server named",
            "[Main]\r\nPort=40000\r\nOSInit=2\r\nSQLServer=SRV\r\nMaxUsers=255\r\n",
            "port=40000 OSInit=1 MinInit=0 SQLServer=SRV engine=SQLServer MaxUsers=255\nas it was");
        row("hexadecimal", "[Main]\r\nPort=&h7d0\r\nMinInit=&H1\r\nMaxUsers=256\r\n",
            "port=2000 OSInit=0 MinInit=1 SQLServer= engine=Embedded MaxUsers=255\nas it was");
        row("engine chosen", "[Main]\r\nPort=1034.5\r\nSQLServer=SRV\r\nEngine=embedded\r\nMaxUsers=12a\r\n",
            "port=1034 OSInit=0 MinInit=0 SQLServer=SRV engine=Embedded MaxUsers=255\nas it was");
        row("engine named", "[main]\r\nport=65535\r\nENGINE=SQLSERVER\r\nmaxusers=7\r\n",
            "port=65535 OSInit=0 MinInit=0 SQLServer= engine=SQLServer MaxUsers=7\nas it was");
        row("past the port range", "[Main]\r\nPort=65535.6\r\n",
            "port=1033 OSInit=0 MinInit=0 SQLServer= engine=Embedded MaxUsers=255\n[Main]\r\nPort=1033\r\n");
    }
    void load() {
        QFETCH(QByteArray, file);
        QFETCH(QString, outcome);
        if (!file.isEmpty())
            QVERIFY(test::writeFileBytes(path(), file));
        ProfileFile settings(path());
        QString actual = loaded(settings);
        if (!file.isEmpty() && actual.endsWith(QString::fromLatin1(file)))
            actual.replace(actual.size() - file.size(), file.size(), QStringLiteral("as it was"));
        QCOMPARE(actual, QStringLiteral("ok ") + outcome);
    }

    void portCommand_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("outcome"); // the port given, what was shown, the file
        // The port given ("refused": none, and the box), the answer, the file.
        const auto row = [](const char* name, const char* answer, const char* given, const char* stored) {
            const bool refused = qstrcmp(given, "refused") == 0;
            QTest::newRow(name) << answer
                                << QStringLiteral(
                                       "%1 | prompt: Indique nuevo puerto. -> %2%3 | [Main]\r\nPort=%4\r\n")
                                       .arg(refused ? "none" : given, answer,
                                            refused ? " | said Information: Puerto Incorrecto" : "", stored);
        };
        row("same", " 1033.0", "none", "1033");
        row("top", "65500", "65500", "65500");
        row("past the top", "65501", "refused", "1033");
        row("cancelled", "", "refused", "1033");
        row("fraction as typed", "2000.5", "2000", "2000.5");
        row("negative", "-1", "refused", "1033");
        row("rounds to 0", "0.4", "refused", "1033");
        row("bottom", "1", "1", "1");
        row("separator, as the load reads it", "2,000", "2000", "2000");
        row("hexadecimal", "&H7D0", "2000", "&H7D0");
        row("hexadecimal, small letters", "&h7d0", "2000", "&h7d0");
        row("currency", "$2,000", "2000", "2000");
    }
    void portCommand() {
        QFETCH(QString, answer);
        QFETCH(QString, outcome);
        QVERIFY(test::writeFileBytes(path(), "[Main]\r\nPort=1033\r\n"));
        ProfileFile settings(path());
        test::ScriptedOperator op;
        op.textAnswers.push_back(answer);
        const std::optional<int> port = SettingsCommands(settings, op).askPort(1033);
        QCOMPARE((QStringList{port ? QString::number(*port) : QStringLiteral("none")} + op.shown +
                  QStringList{QString::fromLatin1(test::readFileBytes(path()))})
                     .join(QStringLiteral(" | ")),
                 outcome);
    }

    // Each command stores its value or, where the file cannot be written, says so and changes
    // nothing: no new check mark, no new port, no restart message. The load's default applies all
    // the same.
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
        const QByteArray first = test::readFileBytes(path());
        // A remembered name is the SQL Server engine's: a new one waits for the next start.
        QVERIFY(test::writeFileBytes(path(), "[Main]\r\nSQLServer=SRV\r\n"));
        commands.changeSqlServer(QStringLiteral("SRV"));
        commands.changeSqlServer(QStringLiteral("SRV"));
        OSK_COMPARE_SNAPSHOT(
            (op.shown + QStringList{QString::fromLatin1(first + test::readFileBytes(path()))}).join(u'\n'),
            QString::fromUtf8(
                "prompt: Introduzca el nombre del servidor SQL Server: -> OTRO\n"
                "said Information: El servidor SQL Server se usará cuando Osk Server arranque con "
                "el motor SQL Server (Engine=SQLServer).\n"
                "prompt: Introduzca el nombre del servidor SQL Server: -> srv\n"
                "said Information: Debe reiniciar Osk Server para que los cambios surtan efecto\n"
                "prompt: Introduzca el nombre del servidor SQL Server: -> SRV\n"
                "[Main]\r\nOSInit=1\r\nMinInit=0\r\nSQLServer=OTRO\r\nEngine=Embedded\r\n"
                "[Main]\r\nSQLServer=srv\r\n"));

        ProfileFile unwritable(path() + QStringLiteral("/OskServer.INI"));
        test::ScriptedOperator refused;
        SettingsCommands failing(unwritable, refused);
        QCOMPARE(failing.toggleAutoStart(false), false);
        refused.textAnswers = {QStringLiteral("2000"), QStringLiteral("OTRO")};
        QVERIFY(!failing.askPort(1033));
        failing.changeSqlServer(QStringLiteral("SRV"));
        const QString notSaved =
            QString::fromUtf8("said Critical: No se ha podido guardar la configuración en el "
                              "archivo '<ini>/OskServer.INI': ");
        OSK_COMPARE_SNAPSHOT(
            (refused.shown + QStringList{loaded(unwritable)}).join(u'\n').replace(path(), "<ini>"),
            notSaved +
                QString::fromUtf8("parte de la ruta no es una carpeta\n"
                                  "prompt: Indique nuevo puerto. -> 2000\n") +
                notSaved +
                QString::fromUtf8("parte de la ruta no es una carpeta\n"
                                  "prompt: Introduzca el nombre del servidor SQL Server: -> OTRO\n") +
                notSaved +
                QString::fromUtf8("parte de la ruta no es una carpeta\n"
                                  "ok port=1033 OSInit=0 MinInit=0 SQLServer= engine=Embedded "
                                  "MaxUsers=255\n"));
    }
};

} // namespace osk

QTEST_GUILESS_MAIN(osk::TestSettings)
#include "test_settings.moc"
