#include "database/external_modules.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {

struct Started {
    QString program;
    QStringList arguments;
    QString workingFolder;
};

class RecordingLauncher final : public Launcher {
public:
    bool startDetached(const QString& program, const QStringList& arguments,
                       const QString& workingFolder) override {
        started.push_back({program, arguments, workingFolder});
        return succeeds;
    }
    std::vector<Started> started;
    bool succeeds = true;
};

// A program folder inside a parent of its own, so that "../Osk tools" stays inside the test's folder.
struct Modules {
    Modules() {
        QDir(root.path()).mkpath(QStringLiteral("OskServer"));
        folder = root.file(QStringLiteral("OskServer"));
    }
    void install(const QString& relative) {
        const QString path = QDir(folder).filePath(relative);
        QDir().mkpath(QFileInfo(path).absolutePath());
        writeFileBytes(path, "#!/bin/sh\n");
    }
    ExternalModules modules() { return ExternalModules(folder, QStringLiteral("SRV1"), op, launcher); }
    QString path(const QString& relative) const {
        return QDir::toNativeSeparators(QDir(folder).filePath(relative));
    }

    TempProgramFolder root;
    QString folder;
    ScriptedOperator op;
    RecordingLauncher launcher;
};

} // namespace

class TestExternalModules final : public QObject {
    Q_OBJECT

private slots:
    void startsEachModuleWithItsCommandLine() {
        Modules m;
        m.install(QStringLiteral("OskDBBackup.exe"));
        m.install(QStringLiteral("OskSecurity.exe"));
        m.install(QStringLiteral("../Osk tools/OskFtpUpload.exe"));
        ExternalModules modules = m.modules();

        modules.mnuDBBackup();
        modules.mnuDBSecurity(QStringLiteral("oskdemo"));
        modules.mnuSecurity();
        modules.mnuDBUpload();

        QCOMPARE(m.launcher.started.size(), size_t(4));
        QCOMPARE(m.launcher.started[0].program, m.path(QStringLiteral("OskDBBackup.exe")));
        QCOMPARE(m.launcher.started[0].arguments, QStringList({QStringLiteral("1")}));
        QCOMPARE(m.launcher.started[1].arguments, QStringList({QStringLiteral("SRV1|oskdemo")}));
        QCOMPARE(m.launcher.started[2].arguments, QStringList({QStringLiteral("SRV1")}));
        QCOMPARE(m.launcher.started[3].program, m.path(QStringLiteral("../Osk tools/OskFtpUpload.exe")));
        QVERIFY(m.launcher.started[3].arguments.isEmpty());
        QVERIFY(m.op.messages.empty());
    }

    void aMissingModuleStartsNothingAndNamesWhatWasLookedFor() {
        Modules m;
        ExternalModules modules = m.modules();
        modules.mnuDBBackup();
        modules.mnuDBSecurity(QStringLiteral("oskdemo"));
        QVERIFY(!modules.mnuDBDownload());
        modules.mnuDBUpload();

        QVERIFY(m.launcher.started.empty());
        QCOMPARE(m.op.messages.size(), size_t(4));
        QCOMPARE(m.op.messages[0].text, QStringLiteral("Módulo no disponible ('") +
                                            m.path(QStringLiteral("OskDBBackup.exe")) + "')");
        QCOMPARE(m.op.messages[0].icon, MessageIcon::Information);
        QCOMPARE(m.op.messages[1].text, QStringLiteral("Módulo no disponible ('") +
                                            m.path(QStringLiteral("OskSecurity.exe")) + "')");
        QVERIFY(m.op.messages[2].text.startsWith(QStringLiteral(
            "No se encuentra la aplicación Osk Download en el directorio de Osk Server.\r\n\r\n")));
        QCOMPARE(m.op.messages[2].icon, MessageIcon::None);
        QVERIFY(m.op.messages[3].text.startsWith(
            QStringLiteral("No se encuentra el componente OskFtpUpload.exe")));
        QVERIFY(m.op.prompts.isEmpty()); // no question without the download module
    }

    void downloadAsksWhetherToEndTheProgram() {
        Modules m;
        m.install(QStringLiteral("OskDownload.exe"));
        ExternalModules modules = m.modules();
        m.op.questionAnswers = {false, true};

        QVERIFY(!modules.mnuDBDownload()); // No: the module runs, the server carries on
        QVERIFY(modules.mnuDBDownload());  // Yes: the module runs, then the program ends
        QCOMPARE(m.launcher.started.size(), size_t(2));
        QCOMPARE(m.launcher.started[0].program, m.path(QStringLiteral("OskDownload.exe")));
        QCOMPARE(m.op.prompts.size(), 2);
        QVERIFY(m.op.prompts[0].endsWith(QStringLiteral("\r\n¿Desea cerrarla ahora?")));
    }

    void aModuleThatCannotStartIsReported() {
        Modules m;
        m.install(QStringLiteral("OskDBBackup.exe"));
        m.launcher.succeeds = false;
        m.modules().mnuDBBackup();
        QCOMPARE(m.op.messages.size(), size_t(1));
        QCOMPARE(m.op.messages[0].icon, MessageIcon::Exclamation);
        QVERIFY(m.op.messages[0].text.contains(m.path(QStringLiteral("OskDBBackup.exe"))));
    }

    void theSystemLauncherStartsTheCommandLineWithoutWaiting() {
        TempProgramFolder folder;
        const QString output = folder.file(QStringLiteral("args.txt"));
        const QString script = folder.file(QStringLiteral("OskSecurity.exe"));
        QVERIFY(writeFileBytes(script,
                               "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$1\" > \"$(dirname \"$0\")/args.txt\"\n"));
        QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        ScriptedOperator op;
        ProcessLauncher launcher;
        ExternalModules(folder.path(), QStringLiteral("SRV 1"), op, launcher)
            .mnuDBSecurity(QStringLiteral("osk'demo"));
        QVERIFY(op.messages.empty());
        QTRY_COMPARE(readFileBytes(output), QByteArray("1\nSRV 1|osk'demo\n"));

        // Not executable: reported, nothing else happens.
        QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner));
        ExternalModules(folder.path(), QStringLiteral("SRV1"), op, launcher).mnuSecurity();
        QCOMPARE(op.messages.size(), size_t(1));
    }
};

QTEST_GUILESS_MAIN(TestExternalModules)
#include "test_external_modules.moc"
