#include "shell/sys_tray.h"

#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <QtTest>
#include <utility>

using namespace osk;

class TestSysTray : public QObject {
    Q_OBJECT

private slots:
    // The shell's messages become the six events; while a handler waits in an event loop (a
    // pop-up menu), whatever comes is dropped.
    void eventsAndTheBusyHandler() {
        SysTray tray;
        QStringList raised;
        const std::pair<void (SysTray::*)(), const char*> events[] = {
            {&SysTray::LButtonDown, "LButtonDown"},     {&SysTray::LButtonUp, "LButtonUp"},
            {&SysTray::LButtonDblClk, "LButtonDblClk"}, {&SysTray::RButtonDown, "RButtonDown"},
            {&SysTray::RButtonUp, "RButtonUp"},         {&SysTray::RButtonDblClk, "RButtonDblClk"}};
        for (const auto& [signal, name] : events)
            connect(&tray, signal, this, [&raised, name] { raised << QString::fromLatin1(name); });
        for (int message = 511; message <= 519; ++message)
            tray.notify(message);
        QCOMPARE(raised, QStringList({"LButtonDown", "LButtonUp", "LButtonDblClk", "RButtonDown", "RButtonUp",
                                      "RButtonDblClk"}));

        raised.clear();
        bool firstCall = true;
        connect(&tray, &SysTray::LButtonUp, this, [&tray, &firstCall] {
            // Once only, so that a broken guard fails the comparison instead of recursing.
            if (!std::exchange(firstCall, false))
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
        QCOMPARE(raised, QStringList({"LButtonUp", "LButtonDblClk"}));
    }

    void tipShowsCut_data() {
        QTest::addColumn<QString>("tip");
        QTest::addColumn<QString>("shown");
        const QString clef = QString::fromUtf8("\xF0\x9D\x84\x9E"); // two UTF-16 units
        QTest::newRow("63 characters") << QString(63, 'a') << QString(63, 'a');
        QTest::newRow("64 characters") << QString(64, 'a') << QString(63, 'a');
        QTest::newRow("no half character") << QString(62, 'a') + clef << QString(62, 'a');
    }
    void tipShowsCut() {
        QFETCH(QString, tip);
        QFETCH(QString, shown);
        QWidget owner;
        SysTray tray;
        tray.setSourceWindow(&owner);
        tray.ChangeToolTip(tip);
        QCOMPARE(tray.shownToolTip(), shown);
        QCOMPARE(owner.windowTitle(), QString());
        // A minimised owner takes the whole tip as its caption.
        owner.setWindowState(Qt::WindowMinimized);
        tray.ChangeToolTip(tip);
        QCOMPARE(owner.windowTitle(), tip);
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
};

QTEST_MAIN(TestSysTray)
#include "test_sys_tray.moc"
