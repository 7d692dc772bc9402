#include "shell/qt_operator.h"
#include "shell/spanish_translations.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>
#include <functional>

using namespace osk;

namespace {

// Runs `inspect` on the modal dialog that the next call opens, then answers it with `close`.
template <typename Dialog> void onNextDialog(std::function<void(Dialog*)> inspect) {
    QTimer::singleShot(0, [inspect] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        inspect(dialog);
    });
}

} // namespace

class TestQtOperator : public QObject {
    Q_OBJECT

private slots:
    void messageBoxCarriesTextIconAndTitle() {
        QtOperator op;
        QString text, title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        onNextDialog<QMessageBox>([&](QMessageBox* box) {
            text = box->text();
            title = box->windowTitle();
            icon = box->icon();
            box->accept();
        });
        op.showMessage(QStringLiteral("Puerto Incorrecto"), MessageIcon::Information, kProductTitle);
        QCOMPARE(text, QStringLiteral("Puerto Incorrecto"));
        QCOMPARE(title, QStringLiteral("Osk Server"));
        QCOMPARE(icon, QMessageBox::Information);
    }

    void questionAnswersYesOrNo() {
        QtOperator op;
        onNextDialog<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        QVERIFY(op.ask(QStringLiteral("¿Seguro?"), MessageIcon::Question, kProductTitle));
        onNextDialog<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::No)->click(); });
        QVERIFY(!op.ask(QStringLiteral("¿Seguro?"), MessageIcon::Question, kProductTitle));
    }

    void inputBoxOffersTheDefaultAndCancelGivesEmpty() {
        QtOperator op;
        QString offered;
        onNextDialog<QInputDialog>([&](QInputDialog* dialog) {
            offered = dialog->textValue();
            dialog->setTextValue(QStringLiteral("2000"));
            dialog->accept();
        });
        QCOMPARE(op.askText(QStringLiteral("Indique nuevo puerto."), kProductTitle, QStringLiteral("1033")),
                 QStringLiteral("2000"));
        QCOMPARE(offered, QStringLiteral("1033"));

        onNextDialog<QInputDialog>([](QInputDialog* dialog) { dialog->reject(); });
        QVERIFY(op.askText(QStringLiteral("Indique nuevo puerto."), kProductTitle, QStringLiteral("1033"))
                    .isEmpty());
    }

    void documentFiltersBecomeNameFilters() {
        QCOMPARE(QtOperator::nameFilters(QStringLiteral("Archivos de texto (*.txt)|*.txt")),
                 QStringLiteral("Archivos de texto (*.txt)"));
        QCOMPARE(QtOperator::nameFilters(QStringLiteral("A (*.a)|*.a|B (*.b)|*.b")),
                 QStringLiteral("A (*.a);;B (*.b)"));
    }

    void hourglassIsNestedAndRestored() {
        QtOperator op;
        op.setBusy(true);
        op.setBusy(true);
        op.setBusy(false);
        QVERIFY(QApplication::overrideCursor());
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        op.setBusy(false);
        QVERIFY(!QApplication::overrideCursor());
        op.setBusy(false); // an unmatched end is harmless
        QVERIFY(!QApplication::overrideCursor());
    }

    // Qt's own texts in the dialogs are Spanish like ours: the buttons of a message box and the
    // labels and buttons of the save dialog.
    void standardTextsAreSpanish() {
        QVERIFY(installSpanishTranslations(*qApp));
        QtOperator op;
        QString okText;
        onNextDialog<QMessageBox>([&](QMessageBox* box) {
            okText = box->buttons().constFirst()->text();
            box->accept();
        });
        op.showMessage(QStringLiteral("Puerto Incorrecto"), MessageIcon::Information, kProductTitle);
        QStringList saveTexts;
        onNextDialog<QFileDialog>([&](QFileDialog* dialog) {
            for (const QLabel* label : dialog->findChildren<QLabel*>())
                saveTexts << label->text();
            for (const QAbstractButton* button : dialog->findChild<QDialogButtonBox*>()->buttons())
                saveTexts << button->text();
            dialog->reject();
        });
        (void)op.askSaveFile(QStringLiteral(".txt"), QStringLiteral("Archivos de texto (*.txt)|*.txt"), {});
        QCOMPARE(okText, QStringLiteral("Aceptar"));
        QCOMPARE(saveTexts, (QStringList{"Ver en:", "&Nombre de fichero:", "Ficheros de tipo:", "&Guardar",
                                         "Cancelar"}));
    }
};

QTEST_MAIN(TestQtOperator)
#include "test_qt_operator.moc"
