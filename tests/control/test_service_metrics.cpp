// The service's metrics as a scraper reads them, after real clients from two computers, the
// operator's and an administrator's commands, the sweep, backups, and the service's stop and start.

#include "control/control_server.h"
#include "core/service_metrics.h"
#include "core/traffic_history.h"
#include "support/core_scenario.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QtTest>

using namespace osk;
using namespace osk::test;

namespace {

constexpr int kWaitMs = 10000;

// Besides the scenario's steps: "refused FROM", "eva vanishes" (her client goes and the server has
// seen it), "control LINE" (an administrator's request, to its reply), "backup FILE DATABASE" (to
// its end), "stop" and "start".
struct Metrics : Scenario {
    bool start() {
        clock.set(QDateTime::fromString("2026-12-04T09:30:00Z", Qt::ISODate));
        if (!makeCore("MaxUsers=3\r\n"))
            return false;
        core->load();
        control = std::make_unique<ControlServer>(*core);
        return control->listen(folder.file("oskserver.sock")) && core->startService();
    }
    void run(const QString& step) {
        const QStringList word = step.split(' ');
        QSignalSpy finished(&core->backups(), &BackupScheduler::backupFinished);
        if (runShared(step))
            return;
        if (word[0] == "refused") {
            Client refused(port, word[1]);
            (void)QTest::qWaitFor([&] { return refused.received == "MAX_USERS_RAISED"; }, kWaitMs);
        } else if (step == "eva vanishes") {
            const int slot = core->session().lstUsers().row(0).slot; // the one row left
            clients["eva"]->socket.abort();
            (void)QTest::qWaitFor([&] { return !core->session().isConnected(slot); }, kWaitMs);
        } else if (word[0] == "control") {
            QLocalSocket caller;
            caller.connectToServer(control->path());
            caller.write(step.section(' ', 1).toUtf8() + '\n');
            (void)QTest::qWaitFor([&] { return caller.canReadLine(); }, kWaitMs);
        } else if (word[0] == "backup") {
            (void)(core->backups().run(folder.file(word[1]), word[2]) && finished.wait(kWaitMs));
        } else if (step == "stop") {
            core->stopService();
        } else if (step == "start") {
            (void)core->startService();
        }
    }

    std::unique_ptr<ControlServer> control;
};

} // namespace

class TestServiceMetrics : public QObject {
    Q_OBJECT

private slots:
    // Each step with the samples it changes; every sample is compared after every step.
    void countsFollowTheService() {
        Metrics m;
        QVERIFY(m.start());
        const std::vector<std::pair<QString, QStringList>> script{
            {"",
             {"osk_up 1", "osk_users 0", "osk_users_max 3", "osk_received_bytes_total 0",
              "osk_sessions_started_total 0", R"(osk_sessions_removed_total{reason="close"} 0)",
              R"(osk_sessions_removed_total{reason="sweep"} 0)",
              R"(osk_sessions_removed_total{reason="manual"} 0)",
              R"(osk_sessions_removed_total{reason="stop"} 0)", "osk_connections_refused_total 0",
              R"(osk_backups_total{result="ok"} 0)", R"(osk_backups_total{result="failed"} 0)",
              "osk_backup_last_success_timestamp_seconds 0", R"(osk_event_log_lines_total{kind="done"} *)",
              R"(osk_event_log_lines_total{kind="info"} *)", R"(osk_event_log_lines_total{kind="error"} *)",
              R"(osk_admin_commands_total{transport="control"} 0)",
              R"(osk_admin_commands_total{transport="web"} 0)"}},
            {"serve ana 127.0.0.2 ALMACEN1",
             {"osk_users 1", "osk_sessions_started_total 1", "osk_received_bytes_total 16"}},
            {"serve luis 127.0.0.3 CAJA",
             {"osk_users 2", "osk_sessions_started_total 2", "osk_received_bytes_total 29"}},
            {"serve eva 127.0.0.2 ALMACEN2",
             {"osk_users 3", "osk_sessions_started_total 3", "osk_received_bytes_total 45"}},
            {"refused 127.0.0.3", {"osk_connections_refused_total 1"}},
            {"ana sends CLOSE",
             {"osk_users 2", R"(osk_sessions_removed_total{reason="close"} 1)",
              "osk_received_bytes_total 50"}},
            {R"(control {"cmd":"disconnect","user":"luis"})",
             {"osk_users 1", R"(osk_sessions_removed_total{reason="manual"} 1)",
              R"(osk_admin_commands_total{transport="control"} 1)"}},
            {"control no es una petición", {}},
            {"eva vanishes", {}},
            {"sweep", {"osk_users 0", R"(osk_sessions_removed_total{reason="sweep"} 1)"}},
            {"backup nada.bak nada", {R"(osk_backups_total{result="failed"} 1)"}},
            {"backup copia.bak OskDB",
             {R"(osk_backups_total{result="ok"} 1)", "osk_backup_last_success_timestamp_seconds 1796376600"}},
            {"serve pia 127.0.0.3 CAJA2",
             {"osk_users 1", "osk_sessions_started_total 4", "osk_received_bytes_total 63"}},
            {"stop", {"osk_up 0", "osk_users 0", R"(osk_sessions_removed_total{reason="stop"} 1)"}},
            {"start", {"osk_up 1"}},
        };
        // A sample by its name and labels; what the core itself logs is counted, as kinds, below.
        QMap<QString, QString> expected;
        for (const auto& [step, changes] : script) {
            m.run(step);
            for (const QString& line : changes)
                expected[line.section(' ', 0, 0)] = line;
            const auto actual = [&] {
                QStringList lines = QString::fromUtf8(m.core->metrics().exposition()).split('\n');
                lines.removeIf([](const QString& line) { return line.isEmpty() || line.startsWith('#'); });
                lines.replaceInStrings(QRegularExpression(R"(^(osk_event_log_lines_total\S+) \d+$)"),
                                       "\\1 *");
                lines.sort(); // as the expected ones are, by name and labels
                return (QStringList{step} + lines).join('\n');
            };
            const QString wanted = (QStringList{step} + expected.values()).join('\n');
            (void)QTest::qWaitFor([&] { return actual() == wanted; }, kWaitMs);
            OSK_COMPARE_SNAPSHOT(actual(), wanted);
        }
    }

    // The event log's lines by kind, on counts of their own; and the text's shape: each metric once,
    // its HELP, then its TYPE (counter for a name ending in _total), then its samples; one final newline.
    void logKindsAndShape() {
        Metrics m;
        QVERIFY(m.makeCore({}));
        ServiceMetrics counted(m.core->session(), m.core->backups(), m.core->eventLog(), m.clock);
        for (LogKind kind : {LogKind::Error, LogKind::Info, LogKind::Error, LogKind::Done, LogKind::Error})
            m.core->eventLog().AddLog("línea", kind);
        const QString text = QString::fromUtf8(counted.exposition());
        QVERIFY(text.contains("\nosk_event_log_lines_total{kind=\"done\"} 1\n"
                              "osk_event_log_lines_total{kind=\"info\"} 1\n"
                              "osk_event_log_lines_total{kind=\"error\"} 3\n"));
        // Blocks back to back from the first character to the last newline, each metric's its own.
        const QRegularExpression block(
            R"(# HELP (osk_\w+) .+\n# TYPE \1 (\w+)\n(\1(\{\w+="\w+"\})? \d+\n)+)");
        QStringList families;
        qsizetype end = 0;
        for (auto blocks = block.globalMatch(text); blocks.hasNext();) {
            const QRegularExpressionMatch match = blocks.next();
            QCOMPARE(match.capturedStart(), end);
            QCOMPARE(match.captured(2), match.captured(1).endsWith("_total") ? "counter" : "gauge");
            families << match.captured(1);
            end = match.capturedEnd();
        }
        QCOMPARE(end, text.size());
        QCOMPARE(families.removeDuplicates(), 0);
        QCOMPARE(families.size(), 11);
    }

    // The chart's hour: the bytes of each second, a restarted count taken as new bytes, and no
    // more than an hour of samples however long the program runs.
    void trafficKeepsTheLastHour() {
        int users = 2;
        qint64 received = 500;
        TrafficHistory history([&] { return users; }, [&] { return received; });
        received = 800;
        history.sample();
        users = 0;
        received = 120; // the service started again
        history.sample();
        history.sample();
        const auto taken = [&history] {
            QStringList text;
            for (const TrafficHistory::Sample& sample : history.samples())
                text << QStringLiteral("%1/%2").arg(sample.users).arg(sample.bytes);
            return text.join(' ');
        };
        QCOMPARE(taken(), "2/300 0/120 0/0");
        received = 150; // not yet sampled
        QCOMPARE(history.receivedAtLastSample(), 120);
        received = 120;
        for (int second = 0; second < 3600; ++second) {
            received += second + 1;
            history.sample();
        }
        QCOMPARE(history.samples().size(), size_t(3600));
        QCOMPARE(history.samples().front().bytes, 1);
        QCOMPARE(history.samples().back().bytes, 3600);
    }
};

QTEST_GUILESS_MAIN(TestServiceMetrics)
#include "test_service_metrics.moc"
