// The tray icon's events and tip; the operator's dialogs at the desktop, on a machine whose locale
// is not Spanish, with Qt's Spanish translations installed as the console installs them: each
// dialog is described whole (title, icon, text, buttons; the save dialog's name, filter, columns
// and rows) and answered as an operator would.

#include "shell/qt_operator.h"
#include "shell/spanish_translations.h"
#include "shell/sys_tray.h"
#include "support/snapshot.h"
#include "support/test_io.h"

#include <QtTest>
#include <QtWidgets>
#include <functional>
#include <utility>
#include <utime.h>

using namespace osk;

namespace {

bool g_spanish = false;

// The dialog as its operator reads it; empty while it is not ready (not active, still reading the
// folder).
QString describe(QDialog& dialog) {
    QStringList buttons;
    for (const QDialogButtonBox* box : dialog.findChildren<QDialogButtonBox*>())
        for (const QAbstractButton* button : box->buttons())
            buttons << button->text();
    buttons.sort();
    QString text = dialog.windowTitle() + " | ";
    if (auto* box = qobject_cast<QMessageBox*>(&dialog))
        text += QStringLiteral("icon %1 | ").arg(int(box->icon())) + box->text();
    else if (auto* input = qobject_cast<QInputDialog*>(&dialog))
        text += input->labelText() + " | " + input->textValue();
    else
        text += dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text() + " | " +
                dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))->currentText();
    text += " | " + buttons.join(QLatin1Char(' '));
    const auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
    const QAbstractItemModel* model = view ? view->model() : nullptr;
    if (!dialog.isActiveWindow() || (view && (!model || model->rowCount(view->rootIndex()) < 4)))
        return {};
    QStringList rows;
    for (int row = -1; view && row < model->rowCount(view->rootIndex()); ++row) {
        QStringList columns;
        for (int column = 0; column < 4; ++column)
            columns << (row < 0 ? model->headerData(column, Qt::Horizontal).toString()
                                : model->index(row, column, view->rootIndex()).data().toString());
        rows << '\n' + columns.join(QStringLiteral(" | "));
    }
    std::sort(rows.begin() + (view ? 1 : 0), rows.end());
    return text + rows.join(QString());
}

// Describes the modal dialog once it is ready (within a bounded number of looks) and answers it
// from inside its own event loop; a dialog still open afterwards is rejected, so that no test
// waits on it for ever.
void whenModal(QString& described, const std::function<void(QDialog&)>& answer) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, answer, &described, looks = 0]() mutable {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        described = dialog ? describe(*dialog) : QString();
        if (described.isEmpty() && ++looks < 1000)
            return;
        if (dialog && !described.isEmpty())
            answer(*dialog);
        // The button clicks itself a moment after a shortcut, as it is seen pressed first.
        (void)QTest::qWaitFor([dialog] { return !dialog || !dialog->isVisible(); }, 5000);
        if (dialog && dialog->isVisible())
            dialog->reject();
        timer->stop();
        timer->deleteLater();
    });
    timer->start();
}

} // namespace

class TestShell final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        if (!g_spanish && QTest::currentTestFunction() != QByteArray("eventsAndTip"))
            QSKIP("no Spanish translations of Qt on this system");
    }

    // Each box answered by a key through the window system, as a key press reaches the shortcuts:
    // the row's name is the call and the key.
    void boxes_data() {
        QTest::addColumn<MessageIcon>("icon");
        QTest::addColumn<QString>("expected");
        QTest::newRow("say Return") << MessageIcon::Critical << "Osk | icon 3 | Mal | Aceptar -> ";
        QTest::newRow("ask Alt+S") << MessageIcon::Question << "Osk | icon 4 | Mal | &No &Sí -> yes";
        QTest::newRow("ask Alt+N") << MessageIcon::Information << "Osk | icon 1 | Mal | &No &Sí -> no";
        QTest::newRow("ask Esc") << MessageIcon::None << "Osk | icon 0 | Mal | &No &Sí -> no";
        QTest::newRow("input Return") << MessageIcon::None << "Osk | Mal | 18033 | Aceptar Cancelar -> 18033";
    }
    void boxes() {
        QFETCH(MessageIcon, icon);
        const QString call = QString::fromLatin1(QTest::currentDataTag()).section(' ', 0, 0);
        const QString key = QString::fromLatin1(QTest::currentDataTag()).section(' ', 1);
        QtOperator op;
        QString described, answer;
        whenModal(described, [key](QDialog& dialog) {
            const QKeyCombination keys = QKeySequence(key)[0];
            QTest::keyClick(dialog.windowHandle(), keys.key(), keys.keyboardModifiers());
        });
        if (call == QLatin1String("say"))
            op.showMessage(QStringLiteral("Mal"), icon, QStringLiteral("Osk"));
        else if (call == QLatin1String("ask"))
            answer = op.ask(QStringLiteral("Mal"), icon, QStringLiteral("Osk")) ? "yes" : "no";
        else
            answer = op.askText(QStringLiteral("Mal"), QStringLiteral("Osk"), QStringLiteral("18033"));
        QFETCH(QString, expected);
        OSK_COMPARE_SNAPSHOT(described + " -> " + answer, expected);
    }

    // The save dialog reads in Spanish whatever the machine's locale, and gives the path typed,
    // with the default suffix.
    void saveDialog() {
        QTemporaryDir folder;
        const auto time = QDateTime(QDate(2026, 12, 8), QTime(9, 5)).toSecsSinceEpoch();
        const utimbuf times{time, time};
        for (const auto& [name, size] : QList<std::pair<QString, qint64>>{
                 {"Copias", -1}, {"registro.txt", 14}, {"copia.txt", 1536}, {"grande.txt", 2621440}}) {
            const QString path = folder.filePath(name);
            QVERIFY(size < 0 ? QDir().mkdir(path) : osk::test::writeFileBytes(path, QByteArray(size, 'x')));
            QVERIFY(::utime(QFile::encodeName(path).constData(), &times) == 0);
        }
        QtOperator op;
        QString described;
        whenModal(described, [](QDialog& dialog) {
            dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QStringLiteral("nuevo"));
            dialog.accept();
        });
        const QString path =
            op.askSaveFile(QStringLiteral(".txt"), QStringLiteral("Archivos de texto (*.txt)|*.txt"),
                           folder.filePath(QStringLiteral("registro.txt")));
        OSK_COMPARE_SNAPSHOT(
            described + "\n-> " + QString(path).replace(folder.path(), QStringLiteral("<folder>")),
            QStringLiteral("Guardar como | registro.txt | Archivos de texto (*.txt) | &Guardar Cancelar\n"
                           "Nombre | Tamaño | Tipo | Fecha de modificación\nCopias |  | Carpeta | 08/12/2026 "
                           "9:05\ncopia.txt | 1,50 KiB | Documento de texto | 08/12/2026 9:05\ngrande.txt | "
                           "2,50 MiB | Documento de texto | 08/12/2026 9:05\nregistro.txt | 14 bytes | "
                           "Documento de texto | 08/12/2026 9:05\n"
                           "-> <folder>/nuevo.txt"));
    }

    // The shell's messages 511 to 519 become the six events, and the desktop's whole clicks their
    // halves; while a handler waits in an event loop (a pop-up menu), whatever comes is dropped.
    // The tip shows at most 63 characters, never half of one; a window minimised to the tray takes
    // the whole tip as its caption and is hidden.
    void eventsAndTip() {
        QWidget owner;
        owner.show();
        SysTray tray;
        tray.setSourceWindow(&owner);
        QStringList seen;
        const std::pair<void (SysTray::*)(), const char*> events[] = {
            {&SysTray::LButtonDown, "LButtonDown"},     {&SysTray::LButtonUp, "LButtonUp"},
            {&SysTray::LButtonDblClk, "LButtonDblClk"}, {&SysTray::RButtonDown, "RButtonDown"},
            {&SysTray::RButtonUp, "RButtonUp"},         {&SysTray::RButtonDblClk, "RButtonDblClk"}};
        for (const auto& [signal, name] : events)
            connect(&tray, signal, this, [&seen, name] { seen << QString::fromLatin1(name); });
        for (int message = 511; message <= 519; ++message)
            tray.notify(message);
        auto* icon = tray.findChild<QSystemTrayIcon*>();
        QVERIFY(icon);
        for (const auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick,
                                  QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick})
            emit icon->activated(reason);
        // Once only, so that a broken guard fails the comparison instead of recursing.
        connect(&tray, &SysTray::LButtonUp, this, [&tray, first = true]() mutable {
            if (!std::exchange(first, false))
                return;
            QEventLoop menu;
            QTimer::singleShot(0, &menu, [&tray, &menu] {
                tray.notify(SysTray::LeftDoubleClick);
                tray.notify(SysTray::RightDown);
                menu.quit();
            });
            menu.exec();
        });
        tray.notify(SysTray::LeftUp);
        tray.notify(SysTray::LeftDoubleClick);
        for (const QString& tip : {QString(63, 'a'), QString(64, 'b'), QString(62, 'c') + "\U0001D11E"}) {
            tray.ChangeToolTip(tip);
            seen << QString::number(tray.shownToolTip().size()) + owner.windowTitle();
        }
        owner.setWindowState(Qt::WindowMinimized); // as the console goes to the tray
        tray.MinToSysTray();
        tray.ChangeToolTip(QStringLiteral("Osk Server - Iniciado"));
        seen << QStringLiteral("tray %1 hidden %2 ").arg(tray.isInSysTray()).arg(owner.isHidden()) +
                    owner.windowTitle();
        OSK_COMPARE_SNAPSHOT(seen.join(' '),
                             QStringLiteral("LButtonDown LButtonUp LButtonDblClk RButtonDown RButtonUp "
                                            "RButtonDblClk LButtonDown LButtonUp LButtonDblClk RButtonDown "
                                            "RButtonUp LButtonUp LButtonDblClk 63 63 62 "
                                            "tray 1 hidden 1 Osk Server - Iniciado"));
    }
};

int main(int argc, char* argv[]) {
    // A machine set up in English.
    qputenv("LC_ALL", "en_US.UTF-8");
    QApplication app(argc, argv);
    g_spanish = installSpanishTranslations(app);
    TestShell test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_shell.moc"
