#include "shell/sys_tray.h"
#include "support/snapshot.h"

#include <QEventLoop>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <QtTest>
#include <utility>

using namespace osk;

class TestSysTray : public QObject {
    Q_OBJECT

private slots:
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
                                            "RButtonDblClk LButtonDown LButtonUp LButtonDblClk "
                                            "RButtonDown RButtonUp LButtonUp LButtonDblClk 63 63 62 "
                                            "tray 1 hidden 1 Osk Server - Iniciado"));
    }
};

QTEST_MAIN(TestSysTray)
#include "test_sys_tray.moc"
