#include "config/profile_file.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace osk {

namespace {

// An old settings file as people leave them after years of editing by hand on more than one
// system: comments, odd case, blanks around '=', LF and CR LF mixed, a duplicated section, an
// accented value in Windows-1252 and no line end after the last line.
const QByteArray kHandEdited = QByteArrayLiteral("; Osk Server\r\n"
                                                 "; cambiado a mano\r\n"
                                                 "\r\n"
                                                 "[main]\r\n"
                                                 "Port = 1034\r\n"
                                                 "  sqlserver=  SRV-DATOS\\OSK  \n"
                                                 "OSInit=1\r\n"
                                                 "MinInit =0\n"
                                                 "una linea sin igual\r\n"
                                                 ";Engine=Embedded\r\n"
                                                 "  ; Port=1\r\n"
                                                 "Quoted=\"  spaced value  \"\r\n"
                                                 "Single='x'\r\n"
                                                 "Unbalanced=\"abc'\r\n"
                                                 "Empty=\r\n"
                                                 "Expr = a=b\r\n"
                                                 "Ansi=Conexi\xF3n\r\n"
                                                 "\r\n"
                                                 "\r\n"
                                                 "[ Backup1 ]\r\n"
                                                 "Type=1\r\n"
                                                 "OutPutFile=D:\\Copias\\osk.bak\r\n"
                                                 "\r\n"
                                                 "[Main]\r\n"
                                                 "Port=9999\r\n"
                                                 "MaxUsers=10\r\n"
                                                 "[Backup2]\n"
                                                 "Hour=23:30");

// The hand-edited file in a folder of its own; the folder must outlive the path.
QString handEdited(const test::TempProgramFolder& folder) {
    const QString path = folder.file(QStringLiteral("OskServer.INI"));
    return test::writeFileBytes(path, kHandEdited) ? path : QString();
}

template <typename... Values> void row(const char* name, Values... values) {
    (QTest::newRow(name) << ... << values);
}

QByteArray replaced(QByteArray content, const QByteArray& before, const QByteArray& after) {
    return content.replace(before, after);
}

} // namespace

class TestProfileFile final : public QObject {
    Q_OBJECT

private slots:
    void readsHandEditedFile_data();
    void readsHandEditedFile();
    void writeChangesOnlyItsLine_data();
    void writeChangesOnlyItsLine();
    void writeCreatesMissingFile();
    void writtenValueReadsBack_data();
    void writtenValueReadsBack();
    void longValueIsCut();
    void missingFileReadsEmpty();
    void refusesNamesThatWouldNotReadBack_data();
    void refusesNamesThatWouldNotReadBack();
    void missingFolderFails();
    void unwritableFolderLeavesFileUntouched();
    void failedWriteLeavesFileWhole();
    void windowsLineEndsAndEncodings_data();
    void windowsLineEndsAndEncodings();
    void nameFoundWithoutRegardToCase_data();
    void nameFoundWithoutRegardToCase();
};

void TestProfileFile::readsHandEditedFile_data() {
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    row("blanks around =", "Main", "Port", "1034");
    row("case of section and key", "MAIN", "pOrT", "1034");
    row("LF line, indented key, blanks in value", "Main", "SQLServer", "SRV-DATOS\\OSK");
    row("blank before =", "Main", "MinInit", "0");
    row("line without =", "Main", "una linea sin igual", "");
    row("commented key", "Main", "Engine", "");
    row("comment is no key", "Main", ";Engine", "");
    row("double quotes removed, blanks inside kept", "Main", "Quoted", "  spaced value  ");
    row("single quotes removed", "Main", "Single", "x");
    row("unmatched quotes kept", "Main", "Unbalanced", "\"abc'");
    row("empty value", "Main", "Empty", "");
    row("= in value", "Main", "Expr", "a=b");
    row("Windows-1252 value", "Main", "Ansi", "Conexión");
    row("only in the duplicated section", "Main", "MaxUsers", "");
    row("blanks inside brackets", "backup1", "outputfile", "D:\\Copias\\osk.bak");
    row("last line without line end", "Backup2", "Hour", "23:30");
    row("missing section", "Backup3", "Type", "");
    row("missing key", "Main", "Nothing", "");
}

void TestProfileFile::readsHandEditedFile() {
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    test::TempProgramFolder folder;
    const QString path = handEdited(folder);
    QVERIFY(!path.isEmpty());

    const ProfileFile file(path);
    QVERIFY(file.exists());
    QCOMPARE(file.read(section, key), expected);
}

void TestProfileFile::writeChangesOnlyItsLine_data() {
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("expected");

    row("replace CR LF line", "MAIN", "port", "1040",
        replaced(kHandEdited, "Port = 1034\r\n", "port=1040\r\n"));
    row("replace LF line", "Main", "SQLServer", "OTRO",
        replaced(kHandEdited, "  sqlserver=  SRV-DATOS\\OSK  \n", "SQLServer=OTRO\r\n"));
    row("replace with Windows-1252 text", "Main", "Ansi", "Año",
        replaced(kHandEdited, "Ansi=Conexi\xF3n\r\n", "Ansi=A\xF1o\r\n"));
    row("new key after the section's last non-blank line", "Main", "MaxUsers", "20",
        replaced(kHandEdited, "Ansi=Conexi\xF3n\r\n", "Ansi=Conexi\xF3n\r\nMaxUsers=20\r\n"));
    row("new key in last section without line end", "backup2", "Day", "3",
        QByteArray(kHandEdited + "\r\nDay=3\r\n"));
    row("new section after last line without line end", "Backup3", "Type", "0",
        QByteArray(kHandEdited + "\r\n[Backup3]\r\nType=0\r\n"));
    row("commented key is not replaced", "Main", "Engine", "SQLServer",
        replaced(kHandEdited, "Ansi=Conexi\xF3n\r\n", "Ansi=Conexi\xF3n\r\nEngine=SQLServer\r\n"));
}

void TestProfileFile::writeChangesOnlyItsLine() {
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, expected);

    test::TempProgramFolder folder;
    const QString path = handEdited(folder);
    QVERIFY(!path.isEmpty());

    ProfileFile file(path);
    QVERIFY(file.write(section, key, value));
    QCOMPARE(test::readFileBytes(path), expected);
    QCOMPARE(file.read(section, key), value);
}

void TestProfileFile::writeCreatesMissingFile() {
    test::TempProgramFolder folder;
    ProfileFile file(folder.file(QStringLiteral("OskServer.INI")));
    QVERIFY(!file.exists());

    QVERIFY(file.write(QStringLiteral("Main"), QStringLiteral("Port"), QStringLiteral("1033")));
    QVERIFY(file.exists());
    QCOMPARE(test::readFileBytes(file.path()), QByteArray("[Main]\r\nPort=1033\r\n"));

    QVERIFY(file.write(QStringLiteral("Main"), QStringLiteral("SQLServer"), QStringLiteral("(local)")));
    QVERIFY(file.write(QStringLiteral("Backup1"), QStringLiteral("Hour"), QStringLiteral("02:00")));
    QVERIFY(file.write(QStringLiteral("main"), QStringLiteral("PORT"), QStringLiteral("1034")));
    QCOMPARE(test::readFileBytes(file.path()),
             QByteArray("[Main]\r\nPORT=1034\r\nSQLServer=(local)\r\n[Backup1]\r\nHour=02:00\r\n"));

    // An empty file is written as a missing one is.
    QVERIFY(test::writeFileBytes(file.path(), QByteArray()));
    QVERIFY(file.write(QStringLiteral("Main"), QStringLiteral("Port"), QStringLiteral("1033")));
    QCOMPARE(test::readFileBytes(file.path()), QByteArray("[Main]\r\nPort=1033\r\n"));
}

void TestProfileFile::writtenValueReadsBack_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("readBack");
    QTest::addColumn<QByteArray>("line");

    row("plain", "1033", "1033", QByteArray("Key=1033\r\n"));
    row("empty", "", "", QByteArray("Key=\r\n"));
    row("accents and euro", "Año 5€", "Año 5€", QByteArray("Key=A\xF1o 5\x80\r\n"));
    row("outside the code page", "Жx", "?x", QByteArray("Key=?x\r\n"));
    // Blanks and quotes at the ends are the file's syntax, as with the system's functions.
    row("blanks at the ends", "  a b  ", "a b", QByteArray("Key=  a b  \r\n"));
    row("quoted", "\"a\"", "a", QByteArray("Key=\"a\"\r\n"));
}

void TestProfileFile::writtenValueReadsBack() {
    QFETCH(QString, value);
    QFETCH(QString, readBack);
    QFETCH(QByteArray, line);

    test::TempProgramFolder folder;
    ProfileFile file(folder.file(QStringLiteral("OskServer.INI")));
    QVERIFY(file.write(QStringLiteral("S"), QStringLiteral("Key"), value));
    QCOMPARE(test::readFileBytes(file.path()), QByteArray("[S]\r\n" + line));
    QCOMPARE(file.read(QStringLiteral("S"), QStringLiteral("Key")), readBack);
}

void TestProfileFile::longValueIsCut() {
    test::TempProgramFolder folder;
    ProfileFile file(folder.file(QStringLiteral("OskServer.INI")));
    const QString value = QStringLiteral("abcdefghijklmnopqrstuvwxyz").repeated(12);

    QVERIFY(file.write(QStringLiteral("Main"), QStringLiteral("Long"), value));
    // The file keeps the whole value; only what a read hands back is cut.
    QCOMPARE(test::readFileBytes(file.path()), QByteArray("[Main]\r\nLong=" + value.toLatin1() + "\r\n"));
    const QString read = file.read(QStringLiteral("Main"), QStringLiteral("Long"));
    QCOMPARE(read.size(), ProfileFile::kMaxValueLength);
    QCOMPARE(read, value.left(ProfileFile::kMaxValueLength));

    QVERIFY(file.write(QStringLiteral("Main"), QStringLiteral("Exact"), value.left(254)));
    QCOMPARE(file.read(QStringLiteral("Main"), QStringLiteral("Exact")), value.left(254));
}

void TestProfileFile::missingFileReadsEmpty() {
    test::TempProgramFolder folder;
    const ProfileFile file(folder.file(QStringLiteral("OskServer.INI")));
    QVERIFY(!file.exists());
    QCOMPARE(file.read(QStringLiteral("Main"), QStringLiteral("Port")), QString());
    QVERIFY(!QFile::exists(file.path()));

    // A folder of that name is no settings file.
    QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("OskServer.INI")));
    QVERIFY(!file.exists());
    QCOMPARE(file.read(QStringLiteral("Main"), QStringLiteral("Port")), QString());
}

void TestProfileFile::refusesNamesThatWouldNotReadBack_data() {
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    row("empty section", "", "Port", "1");
    row("blank section", "  ", "Port", "1");
    row("bracket in section", "Ma]in", "Port", "1");
    row("empty key", "Main", "", "1");
    row("= in key", "Main", "a=b", "1");
    row("comment key", "Main", ";Port", "1");
    row("key looks like a section", "Main", "[Port", "1");
    row("line break in value", "Main", "Port", "1\r\n[Other]");
    row("line feed in key", "Main", "Po\nrt", "1");
}

void TestProfileFile::refusesNamesThatWouldNotReadBack() {
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);

    test::TempProgramFolder folder;
    const QString path = handEdited(folder);
    QVERIFY(!path.isEmpty());

    ProfileFile file(path);
    QVERIFY(!file.write(section, key, value));
    QCOMPARE(test::readFileBytes(path), kHandEdited);
}

void TestProfileFile::missingFolderFails() {
    test::TempProgramFolder folder;
    ProfileFile file(folder.file(QStringLiteral("missing/OskServer.INI")));
    QVERIFY(!file.write(QStringLiteral("Main"), QStringLiteral("Port"), QStringLiteral("1033")));
    QVERIFY(!file.exists());
}

void TestProfileFile::unwritableFolderLeavesFileUntouched() {
    test::TempProgramFolder folder;
    const QString path = handEdited(folder);
    QVERIFY(!path.isEmpty());
    QFile::Permissions readOnly = QFile::ReadOwner | QFile::ExeOwner;
    QVERIFY(QFile::setPermissions(folder.path(), readOnly));
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
    auto restore = qScopeGuard([&] {
        QFile::setPermissions(folder.path(), readOnly | QFile::WriteOwner);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    });

    QFile probe(folder.file(QStringLiteral("probe")));
    if (probe.open(QIODevice::WriteOnly)) {
        probe.close();
        probe.remove();
        QSKIP("permissions are not enforced for this user (running as root?)");
    }

    ProfileFile file(path);
    QVERIFY(!file.write(QStringLiteral("Main"), QStringLiteral("Port"), QStringLiteral("1040")));
    QVERIFY(!file.write(QStringLiteral("Backup3"), QStringLiteral("Type"), QStringLiteral("0")));
    QCOMPARE(test::readFileBytes(path), kHandEdited);
    QCOMPARE(file.read(QStringLiteral("Main"), QStringLiteral("Port")), QStringLiteral("1034"));
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("OskServer.INI")});
}

void TestProfileFile::failedWriteLeavesFileWhole() {
#ifdef Q_OS_UNIX
    // A disk that fills up in the middle of the write, simulated by a limit on the size of the
    // files this process may write; it holds even for root, unlike permissions.
    test::TempProgramFolder folder;
    const QString path = handEdited(folder);
    QVERIFY(!path.isEmpty());

    rlimit previous{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = previous;
    small.rlim_cur = 4096;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    auto restore = qScopeGuard([&] {
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    });

    ProfileFile file(path);
    QVERIFY(!file.write(QStringLiteral("Main"), QStringLiteral("Big"), QString(8000, u'x')));

    QCOMPARE(test::readFileBytes(path), kHandEdited);
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("OskServer.INI")});
#else
    QSKIP("needs a file size limit");
#endif
}

namespace {
QByteArray utf16(const char* bom, const QString& text, bool littleEndian) {
    QByteArray bytes(bom);
    for (const QChar ch : text) {
        const char high = char(ch.unicode() >> 8);
        const char low = char(ch.unicode() & 0xFF);
        bytes.append(littleEndian ? low : high);
        bytes.append(littleEndian ? high : low);
    }
    return bytes;
}
} // namespace

// Files as Windows machines and editors leave them: each line-end style and each byte-order mark.
// A read finds the values; a write replaces one line, adds one, and keeps the file's own line ends
// and encoding.
void TestProfileFile::windowsLineEndsAndEncodings_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    const QString original = QStringLiteral("[Main]#Port=1034#SQLServer=Conexión#[Backup1]#Hour=02:30#");
    const QString written =
        QStringLiteral("[Main]#Port=2000#SQLServer=Conexión#OSInit=1#[Backup1]#Hour=02:30#");
    const auto ansi = [](QString text, const char* end) {
        return QByteArray(text.replace(u'ó', QChar(0xF3)).toLatin1()).replace('#', end);
    };
    QTest::newRow("CR LF") << ansi(original, "\r\n") << ansi(written, "\r\n");
    QTest::newRow("LF") << ansi(original, "\n") << ansi(written, "\n");
    QTest::newRow("CR") << ansi(original, "\r") << ansi(written, "\r");
    const auto crlf = [](QString text) {
        return text.replace(u'#', QStringLiteral("\r\n"));
    };
    QTest::newRow("UTF-16 little-endian")
        << utf16("\xFF\xFE", crlf(original), true) << utf16("\xFF\xFE", crlf(written), true);
    QTest::newRow("UTF-16 big-endian")
        << utf16("\xFE\xFF", crlf(original), false) << utf16("\xFE\xFF", crlf(written), false);
}

void TestProfileFile::windowsLineEndsAndEncodings() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);

    test::TempProgramFolder folder;
    const QString path = folder.file(QStringLiteral("OskServer.INI"));
    QVERIFY(test::writeFileBytes(path, before));
    ProfileFile file(path);
    QCOMPARE(file.read(QStringLiteral("Main"), QStringLiteral("Port")), QStringLiteral("1034"));
    QCOMPARE(file.read(QStringLiteral("main"), QStringLiteral("SQLServer")), QStringLiteral("Conexión"));
    QCOMPARE(file.read(QStringLiteral("Backup1"), QStringLiteral("Hour")), QStringLiteral("02:30"));

    QVERIFY(file.write(QStringLiteral("Main"), QStringLiteral("Port"), QStringLiteral("2000")));
    QVERIFY(file.write(QStringLiteral("Main"), QStringLiteral("OSInit"), QStringLiteral("1")));
    QCOMPARE(test::readFileBytes(path), after);
}

void TestProfileFile::nameFoundWithoutRegardToCase_data() {
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("found");
    QTest::addColumn<int>("files"); // in the folder after a write

    QTest::newRow("none: the program's name") << QStringList{} << "OskServer.INI" << 1;
    QTest::newRow("the program's name")
        << QStringList{QStringLiteral("OskServer.INI")} << "OskServer.INI" << 1;
    QTest::newRow("lower case") << QStringList{QStringLiteral("oskserver.ini")} << "oskserver.ini" << 1;
    QTest::newRow("the start-up's spelling")
        << QStringList{QStringLiteral("OskServer.ini")} << "OskServer.ini" << 1;
    QTest::newRow("exact name first")
        << QStringList{QStringLiteral("OSKSERVER.INI"), QStringLiteral("OskServer.INI")} << "OskServer.INI"
        << 2;
    QTest::newRow("another file only")
        << QStringList{QStringLiteral("OskServer.INI.bak")} << "OskServer.INI" << 2;
}

void TestProfileFile::nameFoundWithoutRegardToCase() {
    QFETCH(QStringList, present);
    QFETCH(QString, found);
    QFETCH(int, files);

    test::TempProgramFolder folder;
    for (const QString& name : present)
        QVERIFY(test::writeFileBytes(folder.file(name), "[Main]\r\nPort=1034\r\n"));
    ProfileFile file = ProfileFile::inFolder(folder.path(), QStringLiteral("OskServer.INI"));
    QCOMPARE(file.path(), folder.file(found));
    QVERIFY(file.write(QStringLiteral("Main"), QStringLiteral("OSInit"), QStringLiteral("1")));
    // Written in place: no second file beside the one found.
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), files);
}

} // namespace osk

QTEST_GUILESS_MAIN(osk::TestProfileFile)
#include "test_profile_file.moc"
