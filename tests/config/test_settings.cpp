#include "config/main_settings.h"
#include "config/profile_file.h"
#include "config/settings_commands.h"
#include "support/scripted_operator.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QtTest>
#include <functional>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace osk {

using namespace Qt::StringLiterals;

namespace {

QByteArray utf16(const QString& text) {
    return QStringEncoder(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom)(text);
}

// A file as people leave it after years of editing by hand: comments, odd case, blanks around
// '=', mixed line ends, both kinds of quotes and unbalanced ones, a Windows-1252 accent, a
// duplicated section, no final line end.
const QByteArray kHandEdited =
    "; Osk Server\r\n[main]\r\nPort = 1034\r\n  sqlserver=  SRV\\OSK  \n;Engine=Embedded\r\n"
    "Double = \"  spaced  \" \r\nSingle='  single  '\r\nEmpty=\"\"\r\nLone=\"\r\nOpen=\"open\r\n"
    "Close=close'\r\nMixed=\"mixed'\r\nNested=\"'both'\"\r\nInner=a \"b\" c\r\nExpr = a=b\r\n"
    "Ansi=Conexi\xF3n\r\n\r\n"
    "[ Backup1 ]\r\nOutPutFile=D:\\osk.bak\r\n[Main]\r\nPort=9999\r\nMaxUsers=10";

// What `work` returns when run in a child process of user and group 65534 with no other group;
// the child's death or a failed change of user is a text of its own.
QString asNobody(const std::function<QString()>& work) {
    int pipe[2];
    if (::pipe(pipe) != 0)
        return u"no pipe"_s;
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
    QFile from;
    const QByteArray said =
        from.open(pipe[0], QIODevice::ReadOnly, QFile::AutoCloseHandle) ? from.readAll() : "";
    int status = 0;
    const bool ended =
        child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return ended ? QString::fromUtf8(said) : u"the child failed"_s;
}

} // namespace

// The settings file, the load of the service settings and the commands that change them.
class TestSettings final : public QObject {
    Q_OBJECT

    test::TempProgramFolder m_folder;
    QString path() const { return m_folder.file(kSettingsFileName); }
    // The whole load as one text: each setting that is not its default (port 1033, OSInit and
    // MinInit 0, no SQL Server name, the embedded engine, 255 users), and the file afterwards.
    QString loaded(ProfileFile& file) const {
        MainSettings s;
        const Status status = CargaValores(file, s);
        QString text = u" port=%1 OSInit=%2 MinInit=%3 SQLServer=%4 engine=%5 MaxUsers=%6 "_s.arg(
            QString::number(s.port), QString::number(s.autoStart), QString::number(s.minStart),
            s.sqlServerName, s.engine == EngineKind::SqlServer ? u"SQLServer"_s : u"Embedded"_s,
            QString::number(s.maxUsers));
        for (const char* usual : {" port=1033 ", " OSInit=0 ", " MinInit=0 ",
                                  " SQLServer= ", " engine=Embedded ", " MaxUsers=255 "})
            text.replace(QLatin1String(usual), u" "_s);
        return (status ? u"ok"_s : status.error()) + text.chopped(1) + u'\n' +
               (QFileInfo(file.path()).isFile() ? QString::fromLatin1(test::readFileBytes(file.path()))
                                                : QString());
    }

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void init() { QFile::remove(path()); }

    // Each query written as what it reads: section/key=[value].
    void reads_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("reads");
        QTest::newRow("hand-edited")
            << kHandEdited
            << QString::fromUtf8(
                   "MAIN/SQLServer=[SRV\\OSK] main/sqlSERVER=[SRV\\OSK] Main/port=[1034] mAIN/PORT=[1034] "
                   "Main/MaxUsers=[] Main/Double=[  spaced  ] Main/Single=[  single  ] Main/Empty=[] "
                   "Main/Lone=[\"] Main/Open=[\"open] Main/Close=[close'] Main/Mixed=[\"mixed'] "
                   "Main/Nested=['both'] Main/Inner=[a \"b\" c] Main/Expr=[a=b] Main/Ansi=[Conexión] "
                   "Main/Engine=[] backup1/OutputFile=[D:\\osk.bak] "
                   "BACKUP1/outputfile=[D:\\osk.bak] Other/Port=[]");
        QTest::newRow("cut at 254") << "[Main]\r\nLong=" + QByteArray(254, 'x') + "yz\r\nQ=\"" +
                                           QByteArray(253, 'q') + "\"\r\n"
                                    << "Main/Long=[" + QString(254, u'x') + "] Main/Q=[" +
                                           QString(253, u'q') + "]";
        QTest::newRow("CR line ends")
            << QByteArray("[Main]\rPort=1040\rOSInit=1\r") << "Main/OSInit=[1] main/port=[1040]";
    }
    void reads() {
        QFETCH(QByteArray, file);
        QFETCH(QString, reads);
        QVERIFY(test::writeFileBytes(path(), file));
        QStringList read;
        for (const QRegularExpressionMatch& m :
             QRegularExpression(u"(\\S+)/(\\S+)=\\[.*?\\](?= |$)"_s).globalMatch(reads))
            read << m.captured(1) + u'/' + m.captured(2) + u"=["_s +
                        ProfileFile(path()).read(m.captured(1), m.captured(2)) + u']';
        QCOMPARE(read.join(u' '), reads);
    }

    void writes_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("no file") << QByteArray() << "Port" << QByteArray("[Main]\r\nPort=7\r\n");
        QTest::newRow("in place") << QByteArray("; c\n[main]\nPORT = 1\n\n[B]\nPort=2") << "port"
                                  << QByteArray("; c\n[main]\nport=7\n\n[B]\nPort=2");
        QTest::newRow("before the blanks") << QByteArray("[MAIN]\r\nA=1\r\n\r\n[B]\r\n") << "Port"
                                           << QByteArray("[MAIN]\r\nA=1\r\nPort=7\r\n\r\n[B]\r\n");
        QTest::newRow("CR") << QByteArray("[B]\rX=1") << "Port" << QByteArray("[B]\rX=1\r[Main]\rPort=7\r");
        QTest::newRow("LF") << QByteArray("[Main]\nA=1\n") << "Port" << QByteArray("[Main]\nA=1\nPort=7\n");
        QTest::newRow("UTF-16") << utf16("[Main]\r\nPort=1\r\nN=ñ\r\n") << "Port"
                                << utf16("[Main]\r\nPort=7\r\nN=ñ\r\n");
        QTest::newRow("UTF-8") << QByteArray("\xEF\xBB\xBF[Main]\r\nPort=1\r\nN=\xC3\xB1\r\n") << "Port"
                               << QByteArray("\xEF\xBB\xBF[Main]\r\nPort=7\r\nN=\xC3\xB1\r\n");
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
        QCOMPARE(file.write(u"Main"_s, key, u"7"_s).ok(), !key.contains(u'\n'));
        QCOMPARE(test::readFileBytes(path()), after);
    }

    // The settings file in its folder, found by its name in any case, written whole: the file it is
    // (through a link into another folder too) is replaced keeping its owner, group and mode, the
    // link left as it was. A user who is neither root nor the file's owner cannot keep them: the
    // write is refused; its owner's write keeps them. A FIFO in its place cannot be read: the load
    // stops on it, a write is refused, neither waits on it nor puts a fresh file beside it. A write
    // the disk stops half way leaves the old file and nothing beside it. The row's name is what is
    // placed: its kind, its name, the owner and mode root gives it, "nobody" for a write by user
    // 65534, the room left on the disk.
    void fileInItsPlace_data() {
        QTest::addColumn<QString>("expected");
        const QString written = QStringLiteral(
                          "written\nok port=1040 OSInit=1\n[Main]\r\nPort=1040\r\nOSInit=1\r\n\n"),
                      kept = u"\nok port=1040\n[Main]\r\nPort=1040\r\n\n"_s,
                      link = u"OskServer.INI -> <folder>/etc/osk.ini\netc/\netc/osk.ini "_s;
        QTest::newRow("file oskserver.ini 65534:4 0640") << written + "etc/\noskserver.ini 65534:4 0640";
        QTest::newRow("link OskServer.INI 65534:4 0640") << written + link + "65534:4 0640";
        QTest::newRow("link OskServer.INI 0:65534 0664 nobody")
            << "no se pueden conservar el propietario y el grupo de <folder>/etc/osk.ini: permiso denegado" +
                   kept + link + "0:65534 0664";
        QTest::newRow("link OskServer.INI 65534:65534 0604 nobody") << written + link + "65534:65534 0604";
        QTest::newRow("fifo OSKSERVER.ini")
            << u"No se puede abrir el archivo <folder>/OSKSERVER.ini: no es un archivo "
               "normal.\nCargaValores: No se puede abrir el archivo <folder>/OSKSERVER.ini: "
               "no es un archivo normal. port=0\n\nOSKSERVER.ini (fifo)\netc/"_s;
        QTest::newRow("file OskServer.INI room 10")
            << QString::fromUtf8("el archivo ha alcanzado el tamaño máximo") + kept +
                   "OskServer.INI <caller> 0644\netc/";
    }
    void fileInItsPlace() {
        QFETCH(QString, expected);
        const QStringList placed = QString::fromLatin1(QTest::currentDataTag()).split(u' ');
        const bool nobody = placed.contains(QLatin1String("nobody")), owned = placed.value(2).contains(u':');
        if ((nobody || owned) && ::geteuid() != 0)
            QSKIP("Giving a file to another user, or becoming one, takes root.");
        test::TempProgramFolder folder;
        const QString name = folder.file(placed[1]), kind = placed[0];
        const QByteArray target =
            QFile::encodeName(kind == QLatin1String("file") ? name : folder.file("etc/osk.ini"));
        QVERIFY(QDir(folder.path()).mkdir(u"etc"_s));
        if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(name).constData(), 0600), 0);
        else
            QVERIFY(test::writeFileBytes(QFile::decodeName(target), "[Main]\r\nPort=1040\r\n"));
        QVERIFY(kind != QLatin1String("link") || QFile::link(u"etc/osk.ini"_s, name));
        QVERIFY(!owned || (::chown(target.constData(), placed[2].section(u':', 0, 0).toUInt(),
                                   placed[2].section(u':', 1).toUInt()) == 0 &&
                           ::chmod(target.constData(), placed[3].toUInt(nullptr, 8)) == 0));
        QVERIFY(!nobody || (::chmod(QFile::encodeName(folder.path()).constData(), 0755) == 0 &&
                            ::chmod(QFile::encodeName(folder.file("etc")).constData(), 0777) == 0));
        ProfileFile settings = ProfileFile::inFolder(folder.path(), u"OskServer.INI"_s);
        const auto write = [&] {
            std::optional<test::FileSizeLimit> limit;
            if (placed.value(2) == QLatin1String("room"))
                limit.emplace(placed[3].toInt());
            const Status written = settings.write(u"Main"_s, u"OSInit"_s, "1");
            return written ? u"written"_s : written.error();
        };
        QStringList actual{nobody ? asNobody(write) : write()}, files;
        actual << loaded(settings);
        for (QDirIterator it(folder.path(),
                             QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
             it.hasNext();) {
            const QFileInfo info(it.next());
            files << info.filePath().mid(folder.path().size() + 1) +
                         (info.isSymLink() ? u" -> "_s + info.symLinkTarget()
                          : info.isDir()   ? u"/"_s
                          : info.isFile()  ? u' ' + test::owners(info.filePath())
                                           : u" (fifo)"_s);
        }
        files.sort();
        OSK_COMPARE_SNAPSHOT((actual + files)
                                 .join(u'\n')
                                 .replace(folder.path(), "<folder>")
                                 .replace(u"%1:%2 "_s.arg(::getuid()).arg(::getgid()), "<caller> "),
                             expected);
    }

    void load_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("outcome"); // the settings, and the file when the load changed it
        QTest::newRow("no file") << QByteArray() << "ok\n[Main]\r\nPort=1033\r\n";
        QTest::newRow("port 0") << QByteArray("[Main]\r\nPort=0\r\nOSInit=-1\r\nMinInit=1\r\n")
                                << "ok OSInit=1 MinInit=1\n[Main]\r\nPort=1033\r\nOSInit=-1\r\nMinInit=1\r\n";
        QTest::newRow("words") << QByteArray("[Main]\nPort=abc\nOSInit=yes\nMaxUsers=0")
                               << "ok MaxUsers=0\n[Main]\nPort=1033\nOSInit=yes\nMaxUsers=0";
        QTest::newRow("server named") << QByteArray("[Main]\r\nPort=40000\r\nOSInit=2\r\nSQLServer=SRV\r\n")
                                      << "ok port=40000 OSInit=1 SQLServer=SRV engine=SQLServer\nas it was";
        QTest::newRow("hexadecimal") << QByteArray("[Main]\r\nPort=&h7d0\r\nMinInit=&H1\r\nMaxUsers=256\r\n")
                                     << "ok port=2000 MinInit=1\nas it was";
        QTest::newRow("engine chosen")
            << QByteArray("[Main]\r\nPort=1034.5\r\nSQLServer=SRV\r\nEngine=embedded\r\nMaxUsers=12a\r\n")
            << "ok port=1034 SQLServer=SRV\nas it was";
        QTest::newRow("engine named")
            << QByteArray("[main]\r\nport=65535\r\nENGINE=SQLSERVER\r\nmaxusers=7\r\n")
            << "ok port=65535 engine=SQLServer MaxUsers=7\nas it was";
    }
    void load() {
        QFETCH(QByteArray, file);
        QFETCH(QString, outcome);
        if (!file.isEmpty())
            QVERIFY(test::writeFileBytes(path(), file));
        ProfileFile settings(path());
        QString actual = loaded(settings);
        if (!file.isEmpty() && actual.endsWith(QString::fromLatin1(file)))
            actual.replace(actual.size() - file.size(), file.size(), u"as it was"_s);
        QCOMPARE(actual, outcome);
    }

    // The port given ("none"), the port in the file, what was shown after the prompt.
    void portCommand_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("outcome");
        const auto row = [](const char* name, const char* answer, const char* outcome) {
            QTest::newRow(name) << answer << outcome;
        };
        const char* refused = "none 1033 said Information: Puerto Incorrecto";
        row("same", " 1033.0", "none 1033");
        row("top", "65500", "65500 65500");
        row("past the top", "65501", refused);
        row("cancelled", "", refused);
        row("fraction as typed", "2000.5", "2000 2000.5");
        row("rounds to 0", "0.4", refused);
        row("bottom", "1", "1 1");
        row("separator, as the load reads it", "2,000", "2000 2000");
        row("hexadecimal", "&H7D0", "2000 &H7D0");
        row("currency", "$2,000", "2000 2000");
    }
    void portCommand() {
        QFETCH(QString, answer);
        QFETCH(QString, outcome);
        QVERIFY(test::writeFileBytes(path(), "[Main]\r\nPort=1033\r\n"));
        ProfileFile settings(path());
        test::ScriptedOperator op;
        op.textAnswers.push_back(answer);
        const std::optional<int> port = SettingsCommands(settings, op).askPort(1033);
        const QStringList file = QString::fromLatin1(test::readFileBytes(path())).split(u"\r\n"_s);
        QCOMPARE(op.shown.value(0), u"prompt: Indique nuevo puerto. -> "_s + answer);
        QCOMPARE((QStringList{port ? QString::number(*port) : u"none"_s, file[1].mid(5)} + op.shown.mid(1))
                         .join(u' ') +
                     file.mid(2).join(u'|'),
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
        op.textAnswers = {u"OTRO"_s};
        commands.changeSqlServer(QString());
        OSK_COMPARE_SNAPSHOT(op.shown.join(u'\n') + QString::fromLatin1(test::readFileBytes(path())),
                             u"prompt: Introduzca el nombre del servidor SQL Server: -> OTRO\nsaid "
                             "Information: El servidor SQL Server se usará cuando Osk Server arranque con el "
                             "motor SQL Server (Engine=SQLServer).[Main]\r\nOSInit=1\r\n"
                             "MinInit=0\r\nSQLServer=OTRO\r\nEngine=Embedded\r\n"_s);

        ProfileFile unwritable(path() + u"/OskServer.INI"_s);
        test::ScriptedOperator refused;
        SettingsCommands failing(unwritable, refused);
        QCOMPARE(failing.toggleAutoStart(false), false);
        refused.textAnswers = {u"2000"_s, u"OTRO"_s};
        QVERIFY(!failing.askPort(1033));
        failing.changeSqlServer(u"SRV"_s);
        OSK_COMPARE_SNAPSHOT(
            (refused.shown + QStringList{loaded(unwritable)}).join(u'\n').replace(path(), "<ini>"),
            QString::fromUtf8("%1\nprompt: Indique nuevo puerto. -> 2000\n%1\n"
                              "prompt: Introduzca el nombre del servidor SQL Server: -> OTRO\n%1\nok\n")
                .arg(
                    QString::fromUtf8("said Critical: No se ha podido guardar la configuración en el archivo "
                                      "'<ini>/OskServer.INI': parte de la ruta no es una carpeta")));
    }
};

} // namespace osk

QTEST_GUILESS_MAIN(osk::TestSettings)
#include "test_settings.moc"
