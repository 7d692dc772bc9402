// The operator's dialogs at the desktop, on a machine whose locale is not Spanish, with Qt's
// Spanish translations installed as the console installs them: each dialog is described whole
// (kind, title, icon, text, buttons; the save dialog's name, filter, columns and rows) and answered
// as an operator would.

#include "shell/qt_operator.h"
#include "shell/spanish_translations.h"
#include "support/snapshot.h"

#include <QtTest>
#include <QtWidgets>
#include <functional>
#include <utime.h>

using namespace osk;

namespace {

bool g_spanish = false;

QString buttonsOf(const QDialog& dialog) {
    QStringList texts;
    for (const QDialogButtonBox* box : dialog.findChildren<QDialogButtonBox*>())
        for (const QAbstractButton* button : box->buttons())
            texts << button->text();
    texts.sort();
    return texts.join(QLatin1Char(' '));
}

// The dialog as its operator reads it; empty while it is not ready (not active, still reading the
// folder).
QString describe(QDialog& dialog) {
    if (!dialog.isActiveWindow())
        return {};
    QString text = dialog.windowTitle() + " | ";
    if (auto* box = qobject_cast<QMessageBox*>(&dialog))
        return text + QStringLiteral("icon %1 | ").arg(int(box->icon())) + box->text() + " | " +
               buttonsOf(dialog);
    if (auto* input = qobject_cast<QInputDialog*>(&dialog))
        return text + input->labelText() + " | " + input->textValue() + " | " + buttonsOf(dialog);
    auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
    const QAbstractItemModel* model = view ? view->model() : nullptr;
    if (!model || model->rowCount(view->rootIndex()) < 4)
        return {};
    text += dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text() + " | " +
            dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))->currentText() + " | " +
            buttonsOf(dialog);
    QStringList rows;
    for (int row = -1; row < model->rowCount(view->rootIndex()); ++row) {
        QStringList columns;
        for (int column = 0; column < 4; ++column)
            columns << (row < 0 ? model->headerData(column, Qt::Horizontal).toString()
                                : model->index(row, column, view->rootIndex()).data().toString());
        rows << columns.join(QStringLiteral(" | "));
    }
    std::sort(rows.begin() + 1, rows.end());
    return text + "\n" + rows.join(QLatin1Char('\n'));
}

// Describes the modal dialog once it is ready (within a bounded number of looks) and answers it
// from inside its own event loop; a dialog still open afterwards is rejected, so that no test
// waits on it for ever.
void whenModal(QString& described, const std::function<void(QDialog&)>& answer) {
    auto* looks = new int(0);
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, looks, answer, &described] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        described = dialog ? describe(*dialog) : QString();
        if (described.isEmpty() && ++*looks < 1000)
            return;
        if (dialog && !described.isEmpty())
            answer(*dialog);
        // The button clicks itself a moment after a shortcut, as it is seen pressed first.
        (void)QTest::qWaitFor([dialog] { return !dialog || !dialog->isVisible(); }, 5000);
        if (dialog && dialog->isVisible())
            dialog->reject();
        timer->stop();
        timer->deleteLater();
        delete looks;
    });
    timer->start();
}

void setTime(const QString& path) {
    const auto time = QDateTime(QDate(2026, 12, 8), QTime(9, 5)).toSecsSinceEpoch();
    const utimbuf times{time, time};
    QVERIFY(::utime(QFile::encodeName(path).constData(), &times) == 0);
}

} // namespace

class TestQtOperator final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        if (!g_spanish)
            QSKIP("no Spanish translations of Qt on this system");
    }

    // Each box answered by a key: Return, Escape or a button's shortcut.
    void boxes_data() {
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("icon");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        QTest::newRow("message") << "say" << int(MessageIcon::Critical) << "Return"
                                 << "Osk Server | icon 3 | No se pudo | Aceptar -> said";
        QTest::newRow("exclamation") << "say" << int(MessageIcon::Exclamation) << "Esc"
                                     << "Osk Server | icon 2 | No se pudo | Aceptar -> said";
        QTest::newRow("question, Alt+S") << "ask" << int(MessageIcon::Question) << "Alt+S"
                                         << "Osk Server | icon 4 | No se pudo | &No &Sí -> yes";
        QTest::newRow("question, Alt+N") << "ask" << int(MessageIcon::Information) << "Alt+N"
                                         << "Osk Server | icon 1 | No se pudo | &No &Sí -> no";
        QTest::newRow("question, Escape") << "ask" << int(MessageIcon::None) << "Esc"
                                          << "Osk Server | icon 0 | No se pudo | &No &Sí -> no";
        QTest::newRow("input box, Return") << "input" << 0 << "Return"
                                           << "Osk Server | No se pudo | 18033 | Aceptar Cancelar -> 18033";
        QTest::newRow("input box, Escape") << "input" << 0 << "Esc"
                                           << "Osk Server | No se pudo | 18033 | Aceptar Cancelar -> ";
    }
    void boxes() {
        QFETCH(QString, call);
        QFETCH(int, icon);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        QtOperator op;
        QString described, answer = QStringLiteral("said");
        whenModal(described, [key](QDialog& dialog) {
            // Through the window system, as a key press reaches the shortcuts.
            const QKeyCombination keys = QKeySequence(key)[0];
            QTest::keyClick(dialog.windowHandle(), keys.key(), keys.keyboardModifiers());
        });
        const QString text = QStringLiteral("No se pudo"), title = QStringLiteral("Osk Server");
        if (call == QLatin1String("say"))
            op.showMessage(text, MessageIcon(icon), title);
        else if (call == QLatin1String("ask"))
            answer = op.ask(text, MessageIcon(icon), title) ? QStringLiteral("yes") : QStringLiteral("no");
        else
            answer = op.askText(text, title, QStringLiteral("18033"));
        OSK_COMPARE_SNAPSHOT(described + " -> " + answer, expected);
    }

    // The save dialog reads in Spanish whatever the machine's locale, and gives the path typed,
    // with the default suffix.
    void saveDialog() {
        QTemporaryDir folder;
        QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("Copias")));
        const QList<std::pair<const char*, qint64>> files{
            {"registro.txt", 14}, {"copia.txt", 1536}, {"grande.txt", 2621440}};
        for (const auto& [name, size] : files) {
            QFile file(folder.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(size, 'x')) == size);
            file.close();
            setTime(file.fileName());
        }
        setTime(folder.filePath(QStringLiteral("Copias")));
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
                           "Nombre | Tamaño | Tipo | Fecha de modificación\n"
                           "Copias |  | Carpeta | 08/12/2026 9:05\n"
                           "copia.txt | 1,50 KiB | Documento de texto | 08/12/2026 9:05\n"
                           "grande.txt | 2,50 MiB | Documento de texto | 08/12/2026 9:05\n"
                           "registro.txt | 14 bytes | Documento de texto | 08/12/2026 9:05\n"
                           "-> <folder>/nuevo.txt"));
    }
};

int main(int argc, char* argv[]) {
    // A machine set up in English.
    qputenv("LC_ALL", "en_US.UTF-8");
    qputenv("LANG", "en_US.UTF-8");
    QApplication app(argc, argv);
    g_spanish = installSpanishTranslations(app);
    TestQtOperator test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_qt_operator.moc"
