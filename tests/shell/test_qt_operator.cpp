// The operator's dialogs at the desktop, on a machine whose locale is not Spanish.

#include "shell/qt_operator.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <QWindow>
#include <QtTest>
#include <functional>

using namespace osk;

namespace {

// Runs `handle` on the modal dialog once it is up (within a bounded number of looks), from inside
// the dialog's own event loop; a dialog still open afterwards is rejected, so that no test waits on
// it for ever.
void whenModal(const std::function<bool(QDialog&)>& handle) {
    auto* looks = new int(0);
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, looks, handle] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        const bool last = ++*looks >= 1000;
        if (!dialog && !last)
            return;
        if (dialog && !handle(*dialog) && !last)
            return;
        if (dialog && dialog->isVisible())
            dialog->reject();
        timer->stop();
        timer->deleteLater();
        delete looks;
    });
    timer->start();
}

} // namespace

class TestQtOperator final : public QObject {
    Q_OBJECT

private slots:
    // "&Sí" and "&No", and Alt+S answers yes.
    void questionsHaveShortcuts() {
        QtOperator op;
        QStringList buttons;
        whenModal([&buttons](QDialog& dialog) {
            // Shortcuts reach the active window only.
            if (!dialog.isActiveWindow())
                return false;
            for (QAbstractButton* button : static_cast<QMessageBox&>(dialog).buttons())
                buttons << button->text();
            // Through the window system, as a key press reaches the shortcuts.
            QTest::keyClick(dialog.windowHandle(), Qt::Key_S, Qt::AltModifier);
            // The button clicks itself a moment later, as it is seen pressed first.
            (void)QTest::qWaitFor([&dialog] { return !dialog.isVisible(); }, 5000);
            return true;
        });
        const bool yes = op.ask(QStringLiteral("¿Desea eliminar la base de datos?"), MessageIcon::Question,
                                QStringLiteral("Osk Server"));
        buttons.sort();
        QCOMPARE(buttons, (QStringList{"&No", "&Sí"}));
        QVERIFY(yes);
    }

    // The save dialog's columns read in Spanish, whatever the machine's locale.
    void saveDialogInSpanish() {
        QTemporaryDir folder;
        QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("Copias")));
        QFile file(folder.filePath(QStringLiteral("registro.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("[04/12/2026]\r\n") > 0);
        QVERIFY(file.flush());
        QVERIFY(
            file.setFileTime(QDateTime(QDate(2026, 12, 8), QTime(9, 5)), QFileDevice::FileModificationTime));
        file.close();
        QFile copy(folder.filePath(QStringLiteral("copia.txt")));
        QVERIFY(copy.open(QIODevice::WriteOnly) && copy.write(QByteArray(1536, 'x')) == 1536);
        copy.close();

        QtOperator op;
        QMap<QString, QStringList> rows;
        QStringList headers;
        whenModal([&](QDialog& dialog) {
            auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
            if (!view)
                return false;
            const QAbstractItemModel* model = view->model();
            const QModelIndex root = view->rootIndex();
            if (model->rowCount(root) < 3)
                return false; // still being read
            for (int row = 0; row < model->rowCount(root); ++row) {
                QStringList columns;
                for (int column = 1; column < 4; ++column)
                    columns << model->index(row, column, root).data().toString();
                rows.insert(model->index(row, 0, root).data().toString(), columns);
            }
            for (int column = 0; column < 4; ++column)
                headers << model->headerData(column, Qt::Horizontal).toString();
            return true;
        });
        QCOMPARE(op.askSaveFile(QStringLiteral(".txt"), QStringLiteral("Archivos de texto (*.txt)|*.txt"),
                                folder.filePath(QStringLiteral("registro.txt"))),
                 QString());
        QCOMPARE(headers, (QStringList{"Nombre", "Tamaño", "Tipo", "Fecha de modificación"}));
        QCOMPARE(rows.value(QStringLiteral("Copias")).value(1), QStringLiteral("Carpeta"));
        QCOMPARE(rows.value(QStringLiteral("registro.txt")),
                 (QStringList{"14 bytes", "Documento de texto", "08/12/2026 9:05"}));
        QCOMPARE(rows.value(QStringLiteral("copia.txt")).value(0), QStringLiteral("1,50 KiB"));
    }
};

int main(int argc, char* argv[]) {
    // A machine set up in English.
    qputenv("LC_ALL", "en_US.UTF-8");
    qputenv("LANG", "en_US.UTF-8");
    QApplication app(argc, argv);
    TestQtOperator test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_qt_operator.moc"
