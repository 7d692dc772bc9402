// The session rules without sockets: scripts of connections from several computers, messages,
// vanished peers and sweeps, run on the dispatcher over simulated connections.

#include "eventlog/event_log.h"
#include "session/activity_tracking.h"
#include "session/session_dispatcher.h"
#include "session/user_log.h"
#include "session/users_list.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/simulated_host.h"

#include <QMap>
#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {

// One event: "connect NAME ADDRESS", "send NAME MESSAGE", "vanish NAME", "sweep" or
// "disconnect ROW". NAME stands for a client program; its slot is whichever the server gives it.
using Script = QStringList;

struct Session {
    FakeClock clock;
    ScriptedOperator op;
    EventLog log{clock, op, QStringLiteral("/nonexistent/osk-rules")};
    UsersList users;
    SimulatedHost host;
    ActivityTracking tracking{clock, [this](int slot) {
                                  (void)host.send(slot, "NOLOG");
                              }};
    SessionDispatcher dispatcher{255, log, users, tracking, host};
    QMap<QString, int> slotOf;
    size_t linesBeforeLastEvent = 0;

    void run(const Script& script) {
        for (const QString& event : script) {
            linesBeforeLastEvent = log.entries().size();
            const QString verb = event.section(QLatin1Char(' '), 0, 0);
            const QString name = event.section(QLatin1Char(' '), 1, 1);
            const QString rest = event.section(QLatin1Char(' '), 2);
            if (verb == QLatin1String("connect")) {
                const int slot = dispatcher.slotForNewConnection();
                host.at(slot) = {true, true};
                dispatcher.accepted(slot, rest);
                slotOf[name] = slot;
            } else if (verb == QLatin1String("send")) {
                dispatcher.handleArrival(slotOf.value(name), rest.toLatin1());
            } else if (verb == QLatin1String("vanish")) {
                host.at(slotOf.value(name)).alive = false;
            } else if (verb == QLatin1String("sweep")) {
                dispatcher.probeAll();
            } else if (verb == QLatin1String("disconnect")) {
                dispatcher.disconnectRow(name.toInt());
            } else {
                QFAIL(qPrintable(QStringLiteral("unknown event: ") + event));
            }
        }
    }
    QStringList rows() const {
        QStringList texts;
        for (int row = 0; row < users.count(); ++row)
            texts << users.row(row).text;
        return texts;
    }
    // The log lines of the script's last event, without their time.
    QStringList lastLines() const {
        QStringList lines;
        for (size_t i = linesBeforeLastEvent; i < log.entries().size(); ++i)
            lines << log.entries()[i].text.section(QStringLiteral("]  "), 1);
        return lines;
    }
};

// Two computers: ana and luis on one (a terminal server), pedro on another.
const Script kThreeUsers = {"connect ana 10.0.0.1",   "send ana ALMACEN1",  "send ana USER=ana",
                            "connect luis 10.0.0.1",  "send luis CAJA",     "send luis USER=luis",
                            "connect pedro 10.0.0.2", "send pedro OFICINA", "send pedro USER=pedro"};

const QString kAna = QStringLiteral("10.0.0.1  [ana] en [ALMACEN1]");
const QString kLuis = QStringLiteral("10.0.0.1  [luis] en [CAJA]");
const QString kPedro = QStringLiteral("10.0.0.2  [pedro] en [OFICINA]");

} // namespace

class TestSessionRules final : public QObject {
    Q_OBJECT

private slots:
    void rowsBelongToTheirSession_data() {
        QTest::addColumn<Script>("events");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QStringList>("lastLines");

        QTest::newRow("three users validated") << Script{} << QStringList{kAna, kLuis, kPedro}
                                               << QStringList{"Validado usuario [pedro] en [OFICINA]."};
        QTest::newRow("a dead session takes only its own row")
            << Script{"vanish ana", "sweep"} << QStringList{kLuis, kPedro}
            << QStringList{"Usuario no encontrado. Eliminando..."};
        QTest::newRow("the second session of a computer dies")
            << Script{"vanish luis", "sweep"} << QStringList{kAna, kPedro}
            << QStringList{"Usuario no encontrado. Eliminando..."};
        QTest::newRow("CLOSE takes the closing session's row")
            << Script{"send luis CLOSE"} << QStringList{kAna, kPedro}
            << QStringList{"Sesion cerrada para [luis]."};
        QTest::newRow("a change of user rewrites its own row in place")
            << Script{"send luis USER=marta~Caja 2"}
            << QStringList{kAna, "10.0.0.1  [marta]en [CAJA] [Caja 2]", kPedro}
            << QStringList{"Cambiado usuario a [marta] en [CAJA]."};
        QTest::newRow("a session never validated leaves the rows alone")
            << Script{"connect eva 10.0.0.1", "send eva PUESTO", "vanish eva", "sweep"}
            << QStringList{kAna, kLuis, kPedro} << QStringList{};
        QTest::newRow("a manual disconnect takes the chosen row")
            << Script{"disconnect 1"} << QStringList{kAna, kPedro}
            << QStringList{"Usuario [luis] en [CAJA] desconectado manualmente."};
        QTest::newRow("a duplicate from another computer gets no row")
            << Script{"connect otra 10.0.0.3", "send otra X", "send otra USER=ana"}
            << QStringList{kAna, kLuis, kPedro} << QStringList{};
    }
    void rowsBelongToTheirSession() {
        QFETCH(Script, events);
        QFETCH(QStringList, rows);
        QFETCH(QStringList, lastLines);
        Session s;
        s.run(kThreeUsers + events);
        QCOMPARE(s.rows(), rows);
        QCOMPARE(s.lastLines(), lastLines);
        // Every row still names the slot of a session that holds its user.
        for (int row = 0; row < s.users.count(); ++row) {
            const QByteArray tag = s.dispatcher.tag(s.users.row(row).slot);
            QVERIFY2(s.users.row(row).text.contains(QLatin1Char('[') + tag.mid(tag.indexOf('|') + 1) + "]"),
                     tag.constData());
        }
    }

    // The live sessions of a computer whose other session died are still served: probed, and
    // their tracking untouched.
    void theOtherSessionsOfAComputerGoOn() {
        Session s;
        s.run(kThreeUsers);
        s.tracking.operate(QStringLiteral("luis"), false, s.slotOf.value("luis"));
        s.run({"vanish ana", "sweep"});
        QCOMPARE(s.dispatcher.tag(s.slotOf.value("luis")), QByteArray("CAJA|luis"));
        QCOMPARE(s.tracking.count(), 1);
        QVERIFY(s.host.sentTo(s.slotOf.value("luis")).endsWith("CHECK"));
    }

    // A followed user's session ends: its tracking ends with one "NOLOG", even when the window
    // that shows it asks for the same close while it goes.
    void aFollowedSessionEndsItsTrackingOnce_data() {
        QTest::addColumn<Script>("end");
        QTest::addColumn<QByteArray>("lastSent");
        QTest::newRow("CLOSE") << Script{"send luis CLOSE"} << QByteArray("CLOSEDNOLOG");
        QTest::newRow("closed by hand") << Script{"disconnect 1"} << QByteArray();
    }
    void aFollowedSessionEndsItsTrackingOnce() {
        QFETCH(Script, end);
        QFETCH(QByteArray, lastSent);
        Session s;
        s.run(kThreeUsers);
        QObject::connect(&s.tracking, &ActivityTracking::closing, &s.tracking,
                         [&s](UserLog* log) { s.tracking.closeLog(log); });
        s.host.sent.clear();
        QVERIFY(s.dispatcher.openTracking(1).ok());
        const int luis = s.slotOf.value("luis");
        QCOMPARE(s.host.sentTo(luis), QByteArray("LOG"));
        s.host.sent.clear();
        s.run(end);
        QCOMPARE(s.host.sentTo(luis), lastSent);
        // A manual disconnect leaves the window open, with nobody left to tell.
        QCOMPARE(s.tracking.count(), lastSent.isEmpty() ? 1 : 0);
    }

    void followingAGoneClientFails() {
        Session s;
        s.run(kThreeUsers);
        s.host.at(s.slotOf.value("pedro")).alive = false;
        const Status opened = s.dispatcher.openTracking(2);
        QVERIFY(!opened.ok());
        QCOMPARE(s.tracking.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSessionRules)
#include "test_session_rules.moc"
