#include "app/splash_window.h"
#include "shell/about_dialog.h"
#include "shell/shell_icons.h"
#include "shell/system_info_tool.h"
#include "shell/updating_dialog.h"
#include "shell/waiting_dialog.h"
#include "support/scripted_operator.h"

#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace osk;

namespace {

// Counts the paint events a widget receives.
class PaintCounter final : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

template <typename Child> Child* child(QWidget& parent, const char* name) {
    auto* found = parent.findChild<Child*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

void writeExecutable(const QString& path, const QByteArray& text, bool executable) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.close();
    QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (executable)
        permissions |= QFileDevice::ExeOwner;
    QVERIFY(file.setPermissions(permissions));
}

} // namespace

class TestShellDialogs : public QObject {
    Q_OBJECT

private slots:
    void updatingShowsItsCaptionAndAFullBarForNoSteps() {
        UpdatingDialog dialog;
        auto* bar = child<QProgressBar>(dialog, "pgbUpdate");
        QCOMPARE(bar->maximum(), 100);
        dialog.show();
        QVERIFY(dialog.isVisible());
        QCOMPARE(child<QLabel>(dialog, "lblCaption")->text(), QStringLiteral("Actualizando..."));
        QCOMPARE(bar->value(), 1);

        dialog.setMaximum(0);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 1);
        QCOMPARE(bar->value(), 1);

        dialog.setMaximum(4);
        dialog.setValue(3);
        QCOMPARE(bar->value(), 3);
        dialog.setValue(5); // out of range: refused
        QCOMPARE(bar->value(), 3);
        dialog.hide();
        QVERIFY(!dialog.isVisible());
    }

    // The caller stays on the window thread between its steps, so each change must be painted
    // before the call returns.
    void updatingPaintsEveryChangeAtOnce() {
        UpdatingDialog dialog;
        dialog.show();
        PaintCounter barPaints(child<QProgressBar>(dialog, "pgbUpdate"));
        PaintCounter captionPaints(child<QLabel>(dialog, "lblCaption"));

        dialog.setMaximum(3);
        dialog.setValue(2);
        const int afterValue = barPaints.count;
        QVERIFY(afterValue > 0);
        dialog.setValue(3);
        QVERIFY(barPaints.count > afterValue);

        dialog.setText(QStringLiteral("Osk2.exe"));
        QVERIFY(captionPaints.count > 0);
    }

    // The first connection attempt holds the event loop for up to a login time-out: the splash
    // and each message must be on screen before it starts.
    void splashIsPaintedBeforeTheStartUpGoesOn() {
        SplashWindow splash;
        PaintCounter windowPaints(&splash);
        auto* message = child<QLabel>(splash, "LblMensajes");
        PaintCounter messagePaints(message);
        splash.showPainted();
        QVERIFY(windowPaints.count > 0);
        QCOMPARE(message->text(), QStringLiteral("Cargando aplicación ..."));
        const int before = messagePaints.count;
        splash.setMessage(QStringLiteral("Conectando con SQL Server (Presione ESC para cancelar)..."));
        QVERIFY(messagePaints.count > before);
    }

    void waitingShowsItsMessageAndNothingWithoutOne() {
        WaitingDialog dialog;
        auto* message = child<QLabel>(dialog, "lblMessage");
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Osk Server"));
        PaintCounter paints(message);

        dialog.show(QStringLiteral("Realizando copia de seguridad de OskDemo..."));
        QVERIFY(dialog.isVisible());
        QVERIFY(paints.count > 0);
        QCOMPARE(message->text(), QStringLiteral("Realizando copia de seguridad de OskDemo..."));
        dialog.hide();
        QVERIFY(!dialog.isVisible());

        dialog.show(QString());
        QVERIFY(dialog.isVisible());
        QVERIFY(message->text().isEmpty());
    }

    void aboutShowsTheVersionAndTheControls() {
        test::ScriptedOperator op;
        AboutDialog dialog(op);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Acerca de Osk Server"));
        QCOMPARE(child<QLabel>(dialog, "lblVersion")->text(),
                 QStringLiteral("Versión ") + QStringLiteral(OSK_VERSION_STRING));
        QCOMPARE(child<QLabel>(dialog, "lblTitle")->text(), QStringLiteral("Osk Server"));
        QVERIFY(child<QLabel>(dialog, "lblEmail")->font().underline());
        QVERIFY(child<QLabel>(dialog, "lblWeb")->font().underline());
        QCOMPARE(child<QPushButton>(dialog, "cmdSysInfo")->text(), QStringLiteral("&Info. sistema..."));
    }

    void aboutWithoutASystemInformationProgramSaysSo() {
        QTemporaryDir emptyPath;
        test::ScriptedOperator op;
        AboutDialog dialog(op);
        dialog.setSystemInfoTool(SystemInfoTool({QStringLiteral("osk-no-such-tool")}, {emptyPath.path()}));
        child<QPushButton>(dialog, "cmdSysInfo")->click();
        QCOMPARE(op.messages.size(), std::size_t(1));
        QCOMPARE(op.messages[0].text,
                 QStringLiteral("La información del sistema no está disponible en este momento"));
        QCOMPARE(op.messages[0].icon, MessageIcon::None);
        QCOMPARE(op.messages[0].title, kDefaultTitle);
    }

#ifndef Q_OS_WIN
    void systemInformationProgramIsTheFirstExecutableOnThePath() {
        QTemporaryDir path;
        const QString marker = path.filePath(QStringLiteral("started"));
        writeExecutable(path.filePath(QStringLiteral("first")), "not a program", false);
        writeExecutable(path.filePath(QStringLiteral("second")),
                        "#!/bin/sh\ntouch '" + marker.toUtf8() + "'\n", true);
        const SystemInfoTool tool(
            {QStringLiteral("missing"), QStringLiteral("first"), QStringLiteral("second")}, {path.path()});
        QCOMPARE(tool.find(), path.filePath(QStringLiteral("second")));
        QVERIFY(tool.start());
        QTRY_VERIFY(QFile::exists(marker));
    }
#endif

    void everyPictureIsThereAtEverySize() {
        icons::initResources();
        const QStringList small = {"log-done",  "log-info",        "log-error",  "tray-start",
                                   "tray-stop", "user-disconnect", "user-follow"};
        for (const QString& name : small)
            for (int size : {16, 32})
                QCOMPARE(QPixmap(QStringLiteral(":/icons/%1-%2.png").arg(name).arg(size)).size(),
                         QSize(size, size));
        for (int size : {16, 32, 48, 128, 256})
            QCOMPARE(QPixmap(QStringLiteral(":/icons/oskserver-%1.png").arg(size)).size(), QSize(size, size));
        QVERIFY(!icons::logKind(3).pixmap(16).isNull());
        QVERIFY(icons::logKind(0).isNull());
        QVERIFY(icons::logKind(4).isNull());
    }
};

QTEST_MAIN(TestShellDialogs)
#include "test_shell_dialogs.moc"
