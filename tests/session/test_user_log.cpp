#include "session/activity_tracking.h"
#include "session/user_log.h"
#include "support/fake_clock.h"
#include "support/temp_program_folder.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

using namespace osk;
using namespace osk::test;

class TestUserLog final : public QObject {
    Q_OBJECT

private slots:
    void savesDateRuleAndTimestampedLines() {
        FakeClock clock;
        UserLog log(clock, QStringLiteral("ana"), 3);
        QCOMPARE(log.caption(), QStringLiteral("[ana]"));
        log.AddMessage(QStringLiteral("a"));
        clock.advanceSeconds(61);
        log.AddMessage(QStringLiteral("Facturación"));

        TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("actividad.txt"));
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("contenido anterior, más largo que el nuevo ....................................");
        old.close();

        QVERIFY(log.saveTo(path).ok());
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("[04/12/2026]\r\n--------------\r\n\r\n[09:05:17]  a\r\n"
                                             "[09:06:18]  Facturaci\xf3n\r\n"));
    }

    void saveToAnUnwritablePlaceFails() {
        FakeClock clock;
        UserLog log(clock, QStringLiteral("ana"), 3);
        log.AddMessage(QStringLiteral("a"));
        TempProgramFolder folder;
        const Status saved = log.saveTo(folder.file(QStringLiteral("no/existe/actividad.txt")));
        QVERIFY(!saved.ok());
        QVERIFY(!saved.error().isEmpty());
    }

    void closingTellsTheSlotTheLogWasOpenedFor() {
        FakeClock clock;
        QList<int> noLogSlots;
        ActivityTracking tracking(clock, [&](int slot) { noLogSlots << slot; });
        QSignalSpy opened(&tracking, &ActivityTracking::opened);
        QSignalSpy closing(&tracking, &ActivityTracking::closing);

        tracking.operate(QStringLiteral("Ana"), false, 4);
        tracking.operate(QStringLiteral("ANA"), false, 7); // the same window, brought forward
        QCOMPARE(opened.count(), 1);
        tracking.handOff(QStringLiteral("aNA"), QStringLiteral("x"));
        tracking.handOff(QStringLiteral("luis"), QStringLiteral("y"));
        QCOMPARE(tracking.find(QStringLiteral("ana"))->lines().size(), 1);

        tracking.operate(QStringLiteral("luis"), true, 0); // nothing open: nothing happens
        QVERIFY(noLogSlots.isEmpty());
        tracking.operate(QStringLiteral("ANA"), true, 0);
        QCOMPARE(noLogSlots, QList<int>({4}));
        QCOMPARE(closing.count(), 1);
        QCOMPARE(tracking.count(), 0);
        QVERIFY(!tracking.find(QStringLiteral("Ana")));
    }
};

QTEST_GUILESS_MAIN(TestUserLog)
#include "test_user_log.moc"
