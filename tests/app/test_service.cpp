#include "app/service_notifier.h"
#include "common/operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using osk::LogKind;
using osk::MessageIcon;
using osk::test::freePort;
using osk::test::portSettings;
using osk::test::readFileBytes;
using osk::test::TempProgramFolder;
using osk::test::writeFileBytes;

namespace {

constexpr int kWaitMs = 20000;

// The service manager's end of $NOTIFY_SOCKET: a datagram socket bound to a path or, for a name
// starting with '@', to an abstract address.
class NotifyListener final {
public:
    explicit NotifyListener(const QByteArray& name)
        : m_name(name) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (m_fd < 0 || size_t(name.size()) >= sizeof(address.sun_path))
            return;
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        if (name.startsWith('@'))
            address.sun_path[0] = '\0';
        const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()));
        m_bound = ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    }
    ~NotifyListener() {
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_bound && !m_name.startsWith('@'))
            ::unlink(m_name.constData());
    }
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    bool isBound() const { return m_bound; }
    // The next datagram, or nothing when none comes within the wait.
    QByteArray next(int waitMs = kWaitMs) {
        pollfd ready{m_fd, POLLIN, 0};
        if (::poll(&ready, 1, waitMs) != 1)
            return {};
        char buffer[4096];
        const ssize_t got = ::recv(m_fd, buffer, sizeof(buffer), 0);
        return got < 0 ? QByteArray() : QByteArray(buffer, got);
    }

private:
    QByteArray m_name;
    int m_fd = -1;
    bool m_bound = false;
};

struct Daemon {
    QProcess process;

    Daemon() { process.setProgram(QStringLiteral(OSKSERVERD_PATH)); }
    ~Daemon() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(kWaitMs);
        }
    }
    bool start(const QString& home, const QProcessEnvironment& environment) {
        process.setProcessEnvironment(environment);
        process.setArguments({QStringLiteral("--home"), home});
        process.start();
        return process.waitForStarted(kWaitMs);
    }
    bool terminate() { return ::kill(pid_t(process.processId()), SIGTERM) == 0; }
};

bool acceptsConnections(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(kWaitMs);
}

QProcessEnvironment environmentWithout(const QStringList& names) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : names)
        environment.remove(name);
    return environment;
}

} // namespace

class TestService final : public QObject {
    Q_OBJECT

private slots:
    void installsTheServiceTree();
    void installsTheConsoleApart();
    void consoleAnswersVersionWithoutDisplay();
    void unitIsAcceptedBySystemd();
    void notifiesReadyWhenListeningAndStoppingOnSigterm_data();
    void notifiesReadyWhenListeningAndStoppingOnSigterm();
    void journalStreamMustNameTheStream_data();
    void journalStreamMustNameTheStream();
    void journalPriorityOfEachKind_data();
    void journalPriorityOfEachKind();
    void everyLineOfAMessageCarriesItsPriority();
    void stdoutLinesCarryPrioritiesOnlyUnderTheJournal_data();
    void stdoutLinesCarryPrioritiesOnlyUnderTheJournal();

private:
    QTemporaryDir m_destDir;
    bool m_installed = false;
};

void TestService::installsTheServiceTree() {
    QVERIFY(m_destDir.isValid());
    QProcess install;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DESTDIR"), m_destDir.path());
    install.setProcessEnvironment(environment);
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(OSK_CMAKE_COMMAND),
                  {QStringLiteral("--install"), QStringLiteral(OSK_BUILD_DIR), QStringLiteral("--prefix"),
                   QStringLiteral("/usr"), QStringLiteral("--component"), QStringLiteral("server")});
    QVERIFY(install.waitForFinished(60000));
    const QByteArray output = install.readAll();
    QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0, output.constData());

    const QDir root(m_destDir.path());
    const QFileInfo daemon(root.filePath(QStringLiteral("usr/bin/oskserverd")));
    QVERIFY2(daemon.isFile() && daemon.isExecutable(), output.constData());
    QCOMPARE(daemon.size(), QFileInfo(QStringLiteral(OSKSERVERD_PATH)).size());

    const QByteArray unit =
        readFileBytes(root.filePath(QStringLiteral("usr/lib/systemd/system/oskserverd.service")));
    QVERIFY(unit.contains("\nExecStart=/usr/bin/oskserverd --home /var/lib/oskserver\n"));
    QVERIFY(unit.contains("Documentation=file:/usr/share/doc/oskserver/README.md\n"));
    QVERIFY(!unit.contains("@OSK_"));
    QVERIFY(QFileInfo(root.filePath(QStringLiteral("usr/bin/oskserverctl"))).isExecutable());
    QVERIFY(readFileBytes(root.filePath(QStringLiteral("usr/share/bash-completion/completions/oskserverctl")))
                .contains("complete -F _oskserverctl oskserverctl"));

    QVERIFY(readFileBytes(root.filePath(QStringLiteral("usr/lib/sysusers.d/oskserver.conf")))
                .contains("u oskserver - \"Osk Server\" /var/lib/oskserver"));
    QVERIFY(readFileBytes(root.filePath(QStringLiteral("usr/lib/tmpfiles.d/oskserver.conf")))
                .contains("d /var/lib/oskserver 0750 oskserver oskserver -"));
    QCOMPARE(readFileBytes(root.filePath(QStringLiteral("usr/share/doc/oskserver/README.md"))),
             readFileBytes(QStringLiteral(OSK_SOURCE_DIR "/README.md")));
    m_installed = true;
}

void TestService::installsTheConsoleApart() {
#ifndef OSKSERVER_PATH
    QSKIP("The console is not built");
#else
    QTemporaryDir destDir;
    QVERIFY(destDir.isValid());
    QProcess install;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DESTDIR"), destDir.path());
    install.setProcessEnvironment(environment);
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(OSK_CMAKE_COMMAND),
                  {QStringLiteral("--install"), QStringLiteral(OSK_BUILD_DIR), QStringLiteral("--prefix"),
                   QStringLiteral("/usr"), QStringLiteral("--component"), QStringLiteral("console")});
    QVERIFY(install.waitForFinished(60000));
    const QByteArray output = install.readAll();
    QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0, output.constData());

    const QDir root(destDir.path());
    const QFileInfo console(root.filePath(QStringLiteral("usr/bin/oskserver")));
    QVERIFY2(console.isFile() && console.isExecutable(), output.constData());
    // The service's files belong to the other package.
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("usr/bin/oskserverd"))));
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("usr/lib/systemd"))));

    const QByteArray entry =
        readFileBytes(root.filePath(QStringLiteral("usr/share/applications/oskserver.desktop")));
    QVERIFY(entry.startsWith("[Desktop Entry]\n"));
    QVERIFY(entry.contains("\nExec=oskserver\n"));
    QVERIFY(entry.contains("\nIcon=oskserver\n"));
    for (const char* size : {"16x16", "32x32", "48x48", "128x128", "256x256"}) {
        const QString icon =
            root.filePath(QStringLiteral("usr/share/icons/hicolor/%1/apps/oskserver.png").arg(size));
        QVERIFY2(readFileBytes(icon).startsWith("\x89PNG"), qPrintable(icon));
    }
#endif
}

void TestService::consoleAnswersVersionWithoutDisplay() {
#ifndef OSKSERVER_PATH
    QSKIP("The console is not built");
#else
    QProcess console;
    console.setProcessEnvironment(environmentWithout(
        {QStringLiteral("DISPLAY"), QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("QT_QPA_PLATFORM")}));
    console.start(QStringLiteral(OSKSERVER_PATH), {QStringLiteral("--version")});
    QVERIFY(console.waitForFinished(30000));
    QCOMPARE(console.exitCode(), 0);
    QCOMPARE(console.readAllStandardOutput().trimmed(), QByteArray("oskserver " OSK_VERSION_STRING));
#endif
}

void TestService::unitIsAcceptedBySystemd() {
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed");
    if (!m_installed)
        QSKIP("the installation failed");
    // A copy whose ExecStart names the executable just installed, since systemd-analyze checks that
    // it exists on this machine; the installed line itself is checked by installsTheServiceTree.
    const QString installed = QDir(m_destDir.path()).filePath(QStringLiteral("usr/bin/oskserverd"));
    QByteArray unit = readFileBytes(
        QDir(m_destDir.path()).filePath(QStringLiteral("usr/lib/systemd/system/oskserverd.service")));
    unit.replace("ExecStart=/usr/bin/oskserverd ", "ExecStart=" + QFile::encodeName(installed) + ' ');
    QTemporaryDir unitDir;
    const QString unitPath = QDir(unitDir.path()).filePath(QStringLiteral("oskserverd.service"));
    QVERIFY(writeFileBytes(unitPath, unit));
    QProcess verify;
    verify.setProcessChannelMode(QProcess::MergedChannels);
    verify.start(analyze, {QStringLiteral("verify"), unitPath});
    QVERIFY(verify.waitForFinished(60000));
    const QByteArray output = verify.readAll();
    QVERIFY2(verify.exitStatus() == QProcess::NormalExit && verify.exitCode() == 0, output.constData());
    QVERIFY2(!output.contains("oskserverd.service"), output.constData());
}

void TestService::notifiesReadyWhenListeningAndStoppingOnSigterm_data() {
    QTest::addColumn<bool>("abstract");
    QTest::newRow("path") << false;
    QTest::newRow("abstract name") << true;
}

void TestService::notifiesReadyWhenListeningAndStoppingOnSigterm() {
    QFETCH(bool, abstract);
    TempProgramFolder folder;
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QVERIFY(writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), portSettings(port)));

    const QByteArray name = abstract ? "@oskserverd-test-" + QByteArray::number(::getpid()) + "-" +
                                           QFileInfo(folder.path()).fileName().toUtf8()
                                     : QFile::encodeName(folder.file(QStringLiteral("notify")));
    NotifyListener manager(name);
    QVERIFY(manager.isBound());

    QProcessEnvironment environment = environmentWithout({QStringLiteral("JOURNAL_STREAM")});
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromUtf8(name));
    Daemon daemon;
    QVERIFY(daemon.start(folder.path(), environment));

    const QByteArray ready = manager.next();
    QVERIFY2(ready == "READY=1", daemon.process.readAllStandardError().constData());
    // Ready means listening: the port takes a connection with nothing more waited for.
    QVERIFY(acceptsConnections(port));
    QVERIFY(manager.next(200).isEmpty());

    QVERIFY(daemon.terminate());
    QCOMPARE(manager.next(), QByteArray("STOPPING=1"));
    QVERIFY(daemon.process.waitForFinished(kWaitMs));
    QCOMPARE(daemon.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.process.exitCode(), 0);
    QVERIFY(manager.next(0).isEmpty());
}

void TestService::journalStreamMustNameTheStream_data() {
    QTest::addColumn<QByteArray>("journalStream");
    QTest::addColumn<bool>("matches");
    QTest::newRow("same device and inode") << QByteArray("2049:131077") << true;
    QTest::newRow("other inode") << QByteArray("2049:131078") << false;
    QTest::newRow("other device") << QByteArray("2050:131077") << false;
    QTest::newRow("swapped") << QByteArray("131077:2049") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("no inode") << QByteArray("2049") << false;
    QTest::newRow("empty inode") << QByteArray("2049:") << false;
    QTest::newRow("empty device") << QByteArray(":131077") << false;
    QTest::newRow("trailing text") << QByteArray("2049:131077x") << false;
    QTest::newRow("space") << QByteArray("2049: 131077") << false;
    QTest::newRow("sign") << QByteArray("+2049:131077") << false;
    QTest::newRow("third field") << QByteArray("2049:131077:1") << false;
}

void TestService::journalStreamMustNameTheStream() {
    QFETCH(QByteArray, journalStream);
    QFETCH(bool, matches);
    QCOMPARE(osk::namesStream(journalStream, dev_t(2049), ino_t(131077)), matches);
}

// Errors at priority 3 and warnings at 4, so that journalctl -p warning shows why a start failed.
void TestService::journalPriorityOfEachKind_data() {
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("log: done") << osk::journalPrefix(LogKind::Done) << QByteArray("<6>");
    QTest::newRow("log: information") << osk::journalPrefix(LogKind::Info) << QByteArray("<6>");
    QTest::newRow("log: error") << osk::journalPrefix(LogKind::Error) << QByteArray("<3>");
    QTest::newRow("box: critical") << osk::journalPrefix(MessageIcon::Critical) << QByteArray("<3>");
    QTest::newRow("box: exclamation") << osk::journalPrefix(MessageIcon::Exclamation) << QByteArray("<4>");
    QTest::newRow("box: information") << osk::journalPrefix(MessageIcon::Information) << QByteArray("<4>");
    QTest::newRow("box: no icon") << osk::journalPrefix(MessageIcon::None) << QByteArray("<4>");
    QTest::newRow("question") << osk::journalPrefix(MessageIcon::Question) << QByteArray("<4>");
}

void TestService::journalPriorityOfEachKind() {
    QFETCH(QByteArray, prefix);
    QFETCH(QByteArray, expected);
    QCOMPARE(prefix, expected);
}

void TestService::everyLineOfAMessageCarriesItsPriority() {
    QCOMPARE(osk::journalLines("Imposible cargar.\r\n\r\nNo coinciden los tipos", "<4>"),
             QByteArray("<4>Imposible cargar.\n<4>No coinciden los tipos"));
    QCOMPARE(osk::journalLines("El servicio no se ha podido iniciar.", "<3>"),
             QByteArray("<3>El servicio no se ha podido iniciar."));
}

void TestService::stdoutLinesCarryPrioritiesOnlyUnderTheJournal_data() {
    QTest::addColumn<bool>("journal");
    QTest::newRow("stdout is the journal stream") << true;
    QTest::newRow("stdout is another file") << false;
}

void TestService::stdoutLinesCarryPrioritiesOnlyUnderTheJournal() {
    QFETCH(bool, journal);
    TempProgramFolder folder;
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QVERIFY(writeFileBytes(folder.file(QStringLiteral("OskServer.INI")), portSettings(port)));
    // A recovery journal that cannot be opened, so that the run logs an error (kind 3).
    QVERIFY(QDir(folder.path()).mkpath(QStringLiteral("Log/eventlog.journal")));

    // stdout is a file of the test, so the test knows its device and inode as the child sees them.
    const QString outPath = folder.file(QStringLiteral("stdout.txt"));
    QVERIFY(writeFileBytes(outPath, {}));
    struct stat status {};
    QCOMPARE(::stat(QFile::encodeName(outPath).constData(), &status), 0);
    const qulonglong inode = qulonglong(status.st_ino) + (journal ? 0 : 1);
    QProcessEnvironment environment = environmentWithout({QStringLiteral("NOTIFY_SOCKET")});
    environment.insert(QStringLiteral("JOURNAL_STREAM"),
                       QStringLiteral("%1:%2").arg(qulonglong(status.st_dev)).arg(inode));

    Daemon daemon;
    daemon.process.setStandardOutputFile(outPath, QIODevice::Append);
    QVERIFY(daemon.start(folder.path(), environment));
    QTRY_VERIFY_WITH_TIMEOUT(readFileBytes(outPath).contains("Esperando conexiones..."), kWaitMs);
    QVERIFY(daemon.terminate());
    QVERIFY(daemon.process.waitForFinished(kWaitMs));
    QCOMPARE(daemon.process.exitCode(), 0);

    const QList<QByteArray> lines = readFileBytes(outPath).split('\n');
    int errors = 0;
    int others = 0;
    for (const QByteArray& line : lines) {
        if (line.isEmpty())
            continue;
        const bool isError = line.contains("El diario de recuperaci");
        (isError ? errors : others) += 1;
        const QByteArray prefix = journal ? (isError ? "<3>[" : "<6>[") : "[";
        QVERIFY2(line.startsWith(prefix), line.constData());
    }
    QCOMPARE(errors, 1);
    QVERIFY(others >= 3);
}

QTEST_GUILESS_MAIN(TestService)
#include "test_service.moc"
