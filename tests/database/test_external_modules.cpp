#include "database/external_modules.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {

class RecordingLauncher final : public Launcher {
public:
    bool startDetached(const QString& program, const QStringList& arguments, const QString&) override {
        started << program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
        return succeeds;
    }
    QStringList started;
    bool succeeds = true;
};

} // namespace

// The administration programs the server starts: "../Osk tools" stays inside the test's folder
// because the program folder is a folder within it.
class TestExternalModules final : public QObject {
    Q_OBJECT

    TempProgramFolder m_root;
    QString path(const QString& relative) const {
        return QDir::toNativeSeparators(m_root.file(QStringLiteral("OskServer/") + relative));
    }
    void install(const QString& relative) {
        QVERIFY(QDir().mkpath(QFileInfo(path(relative)).absolutePath()));
        QVERIFY(writeFileBytes(path(relative), "#!/bin/sh\n"));
    }

private slots:
    void modulesStartOrAreMissing() {
        ScriptedOperator op;
        RecordingLauncher launcher;
        ExternalModules modules(m_root.file(QStringLiteral("OskServer")), QStringLiteral("SRV1"), op,
                                launcher);
        QVERIFY(QDir().mkpath(m_root.file(QStringLiteral("OskServer"))));
        modules.mnuDBBackup();
        QVERIFY(!modules.mnuDBDownload());
        QVERIFY(launcher.started.isEmpty());
        QCOMPARE(op.messages.size(), size_t(2));
        QCOMPARE(op.messages[0].text,
                 "Módulo no disponible ('" + path(QStringLiteral("OskDBBackup.exe")) + "')");
        QVERIFY(op.messages[1].text.startsWith(QStringLiteral(
            "No se encuentra la aplicación Osk Download en el directorio de Osk Server.\r\n\r\n")));

        for (const char* module :
             {"OskDBBackup.exe", "OskSecurity.exe", "OskDownload.exe", "../Osk tools/OskFtpUpload.exe"})
            install(QString::fromUtf8(module));
        op.questionAnswers = {false, true};
        modules.mnuDBBackup();
        modules.mnuDBSecurity(QStringLiteral("oskdemo"));
        modules.mnuSecurity();
        modules.mnuDBUpload();
        QVERIFY(!modules.mnuDBDownload()); // No: the server carries on
        QVERIFY(modules.mnuDBDownload());  // Yes: the program ends so that the update can run
        QCOMPARE(launcher.started, (QStringList{path(QStringLiteral("OskDBBackup.exe")) + " 1",
                                                path(QStringLiteral("OskSecurity.exe")) + " SRV1|oskdemo",
                                                path(QStringLiteral("OskSecurity.exe")) + " SRV1",
                                                path(QStringLiteral("../Osk tools/OskFtpUpload.exe")) + " ",
                                                path(QStringLiteral("OskDownload.exe")) + " ",
                                                path(QStringLiteral("OskDownload.exe")) + " "}));
        QCOMPARE(op.prompts.size(), 2);
        QVERIFY(op.prompts[0].endsWith(QStringLiteral("\r\n¿Desea cerrarla ahora?")));

        launcher.succeeds = false;
        modules.mnuDBBackup();
        QCOMPARE(op.messages.size(), size_t(3));
        QCOMPARE(op.messages[2].icon, MessageIcon::Exclamation);
        QVERIFY(op.messages[2].text.contains(path(QStringLiteral("OskDBBackup.exe"))));
    }
};

QTEST_GUILESS_MAIN(TestExternalModules)
#include "test_external_modules.moc"
