#include "shell/shell_icons.h"
#include "shell/sys_tray.h"

#include <QEventLoop>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <QtTest>
#include <utility>

using namespace osk;

namespace {

// The tray's signals by name, in the order they were raised.
class SignalLog final {
public:
    explicit SignalLog(SysTray& tray) {
        add(tray, &SysTray::LButtonDblClk, "LButtonDblClk");
        add(tray, &SysTray::LButtonDown, "LButtonDown");
        add(tray, &SysTray::LButtonUp, "LButtonUp");
        add(tray, &SysTray::RButtonDblClk, "RButtonDblClk");
        add(tray, &SysTray::RButtonDown, "RButtonDown");
        add(tray, &SysTray::RButtonUp, "RButtonUp");
    }

    QStringList names;

private:
    void add(SysTray& tray, void (SysTray::*signal)(), const char* name) {
        QObject::connect(&tray, signal, &m_context, [this, name] { names << QString::fromLatin1(name); });
    }

    QObject m_context;
};

} // namespace

class TestSysTray : public QObject {
    Q_OBJECT

private slots:
    void shellMessagesRaiseTheirEvents() {
        SysTray tray;
        SignalLog log(tray);
        for (int message = 511; message <= 519; ++message)
            tray.notify(message);
        QCOMPARE(log.names, QStringList({"LButtonDown", "LButtonUp", "LButtonDblClk", "RButtonDown",
                                         "RButtonUp", "RButtonDblClk"}));
    }

    void desktopClicksBecomeShellMessages() {
        SysTray tray;
        SignalLog log(tray);
        auto* icon = tray.findChild<QSystemTrayIcon*>();
        QVERIFY(icon);
        QVERIFY(!icon->contextMenu());
        emit icon->activated(QSystemTrayIcon::Trigger);
        emit icon->activated(QSystemTrayIcon::DoubleClick);
        emit icon->activated(QSystemTrayIcon::Context);
        emit icon->activated(QSystemTrayIcon::MiddleClick);
        QCOMPARE(log.names,
                 QStringList({"LButtonDown", "LButtonUp", "LButtonDblClk", "RButtonDown", "RButtonUp"}));
    }

    // A handler that waits in an event loop (a pop-up menu) must not be entered again, nor see
    // any other event, until it returns.
    void notificationsAreDroppedWhileAHandlerRuns() {
        SysTray tray;
        SignalLog log(tray);
        bool firstCall = true;
        connect(&tray, &SysTray::LButtonDown, this, [&tray, &firstCall] {
            // Once only, so that a broken guard fails the comparison instead of recursing forever.
            if (!std::exchange(firstCall, false))
                return;
            tray.notify(SysTray::LeftDown);
            QEventLoop menu;
            QTimer::singleShot(0, &menu, [&tray, &menu] {
                tray.notify(SysTray::LeftDoubleClick);
                tray.notify(SysTray::RightDown);
                menu.quit();
            });
            menu.exec();
        });
        tray.notify(SysTray::LeftDown);
        QCOMPARE(log.names, QStringList({"LButtonDown"}));

        tray.notify(SysTray::LeftDoubleClick);
        QCOMPARE(log.names, QStringList({"LButtonDown", "LButtonDblClk"}));
    }

    void tipIsCutAndAMinimisedOwnerTakesTheWholeTip() {
        QWidget owner;
        owner.setWindowTitle(QStringLiteral("Osk Server"));
        SysTray tray;
        tray.setSourceWindow(&owner);
        const QString longTip = QStringLiteral("Osk Server - Iniciado ") + QString(50, QLatin1Char('x'));

        tray.setToolTip(longTip);
        QCOMPARE(tray.ToolTip(), longTip);
        QCOMPARE(tray.shownToolTip(), longTip.left(63));
        QCOMPARE(owner.windowTitle(), QStringLiteral("Osk Server"));

        owner.setWindowState(Qt::WindowMinimized);
        tray.ChangeToolTip(longTip);
        QCOMPARE(owner.windowTitle(), longTip);

        tray.ChangeToolTip(QStringLiteral("corto"));
        QCOMPARE(tray.shownToolTip(), QStringLiteral("corto"));
    }

    void tipIsNeverCutInsideACharacter() {
        const QString clef = QString::fromUtf8("\xF0\x9D\x84\x9E"); // two UTF-16 units
        QCOMPARE(SysTray::cutTip(QString(62, QLatin1Char('a')) + clef), QString(62, QLatin1Char('a')));
        QCOMPARE(SysTray::cutTip(QString(61, QLatin1Char('a')) + clef + QStringLiteral("b")),
                 QString(61, QLatin1Char('a')) + clef);
    }

    void removingIsHarmlessBeforeAddingAndTwice() {
        SysTray tray;
        tray.RemoveFromSysTray();
        tray.RemoveFromSysTray();
        QVERIFY(!tray.isInSysTray());
        tray.IconInSysTray();
        QVERIFY(tray.isInSysTray());
        tray.RemoveFromSysTray();
        tray.RemoveFromSysTray();
        QVERIFY(!tray.isInSysTray());
    }

    void minimisingToTheTrayHidesTheOwner() {
        QWidget owner;
        owner.show();
        SysTray tray;
        tray.setSourceWindow(&owner);
        tray.MinToSysTray();
        QVERIFY(tray.isInSysTray());
        QVERIFY(owner.isHidden());
    }

    void pictureIsTheOwnersUntilOneIsChosen() {
        QWidget owner;
        owner.setWindowIcon(icons::program());
        SysTray tray;
        tray.setSourceWindow(&owner);
        QCOMPARE(tray.shownIcon().cacheKey(), owner.windowIcon().cacheKey());

        const QIcon stop = icons::trayStop();
        tray.ChangeIcon(stop);
        tray.IconInSysTray();
        QCOMPARE(tray.shownIcon().cacheKey(), stop.cacheKey());
    }
};

QTEST_MAIN(TestSysTray)
#include "test_sys_tray.moc"
