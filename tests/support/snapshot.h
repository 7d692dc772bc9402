#pragma once

#include "app/server_core.h"
#include "common/ansi_codec.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/served_client.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QRegularExpression>
#include <QTest>
#include <algorithm>
#include <map>
#include <memory>
#include <vector>

namespace osk::test {

// The expected text against the actual one, line by line: "  " in both, "- " expected only,
// "+ " actual only. The state lines of a snapshot are sorted, so a changed fact shows as a pair.
inline bool compareSnapshot(const QString& actual, const QString& expected, const char* file, int line) {
    if (actual == expected)
        return true;
    const QStringList a = actual.split(QLatin1Char('\n')), e = expected.split(QLatin1Char('\n'));
    QString text = QStringLiteral("The snapshot differs (- expected, + actual):");
    for (const QString& l : e)
        text += (a.contains(l) ? QStringLiteral("\n  ") : QStringLiteral("\n- ")) + l;
    for (const QString& l : a)
        text += e.contains(l) ? QString() : QStringLiteral("\n+ ") + l;
    QTest::qFail(text.toUtf8().constData(), file, line);
    return false;
}

} // namespace osk::test

// A QtTest check of a multi-line text against its expected literal; a mismatch fails the test
// with a line diff of the two.
#define OSK_COMPARE_SNAPSHOT(actual, expected)                                                               \
    do {                                                                                                     \
        if (!::osk::test::compareSnapshot((actual), (expected), __FILE__, __LINE__))                         \
            return;                                                                                          \
    } while (false)

namespace osk::test {

// A snapshot is lines of state, "key: value" (one fact a person or a peer can observe), and lines
// of events since the last step, "> what: happened"; it is compared sorted, so that a scenario may
// print a fact wherever it finds it.
inline QString keyOf(const QString& line) {
    return line.section(QLatin1Char(':'), 0, 0);
}
// The state after a step as its literal writes it: the state before, with each fact the step names
// put in place ("key:" alone: the fact is gone), and the step's events.
inline QStringList afterStep(QStringList& state, const QStringList& step) {
    QStringList events;
    for (const QString& line : step) {
        if (line.startsWith(QLatin1String("> "))) {
            events << line;
            continue;
        }
        state.removeIf([&](const QString& fact) { return keyOf(fact) == keyOf(line); });
        if (!line.endsWith(QLatin1Char(':')))
            state << line;
    }
    events += state;
    events.sort();
    return events;
}

// Plays a script on a scenario that has run(step), snapshot() and next(): each entry is a step on
// its first line and, on the lines after it, the facts it changes and the events it causes; every
// fact of the state is compared after every step. Replies and other events of the sockets arrive
// in their own time, so the snapshot is taken again until it matches or 10 s have gone by.
// OSK_SNAPSHOT_PRINT=1 prints each step as its literal would say it, after the sockets had a
// moment, instead: the text to read and approve.
template <typename S> void playScript(S& scenario, const QStringList& script) {
    QStringList state, printed;
    for (const QString& entry : script) {
        const QString step = entry.section(QLatin1Char('\n'), 0, 0);
        const QString expected =
            (QStringList{step} + afterStep(state, entry.split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(1)))
                .join(QLatin1Char('\n'));
        const auto actual = [&] {
            QStringList lines = scenario.snapshot();
            lines.sort();
            return (QStringList{step} + lines).join(QLatin1Char('\n'));
        };
        scenario.run(step);
        if (qEnvironmentVariableIsSet("OSK_SNAPSHOT_PRINT")) {
            QTest::qWait(500);
            QStringList now = scenario.snapshot(), lines;
            const QStringList keys =
                QStringList(now).replaceInStrings(QRegularExpression(QStringLiteral(":.*")), QString());
            for (const QString& fact : printed)
                lines << (keys.contains(keyOf(fact)) ? QString() : keyOf(fact) + QLatin1Char(':'));
            for (const QString& line : now)
                lines << (printed.contains(line) ? QString() : line);
            lines.removeAll(QString());
            lines.sort();
            lines.prepend(step);
            qInfo().noquote() << "R\"(" + lines.join(QLatin1Char('\n')) + ")\",";
            printed = now.filter(QRegularExpression(QStringLiteral("^[^>]")));
        } else {
            (void)QTest::qWaitFor([&] { return actual() == expected; }, 10000);
            OSK_COMPARE_SNAPSHOT(actual(), expected);
        }
        scenario.next();
    }
}

// What clients, the operator and the event log saw of a scenario on a real ServerCore: its
// clients are real, on loopback from several computers, and what changes from one run or computer
// to the next (ports, the temporary folder) is shown as a name.
class Scenario {
public:
    void makeCore() {
        core = std::make_unique<ServerCore>(folder.path(), clock, op);
        // The sweep runs when the script says so.
        core->session().tmrMain().setInterval(24 * 3600 * 1000);
    }
    // The steps both the core's and the window's scenarios have; false for any other.
    bool runShared(const QString& step) {
        const QStringList word = step.split(QLatin1Char(' '));
        Client* client = clients.count(word[0]) ? clients[word[0]].get() : nullptr;
        if (word[0] == QLatin1String("serve") && word.size() == 4)
            clients[word[1]] =
                servedClient(core->session(), port, word[2], word[3].toLatin1(), word[1].toLatin1());
        else if (word[0] == QLatin1String("connect") && word.size() == 3)
            clients[word[1]] = std::make_unique<Client>(port, word[2]);
        else if (word.value(1) == QLatin1String("sends") && client)
            client->send(AnsiCodec::encode(step.section(QLatin1Char(' '), 2)));
        else if (word.value(1) == QLatin1String("resets") && client)
            client->reset();
        else if (word[0] == QLatin1String("clock"))
            clock.advanceSeconds(word.value(1).toInt());
        else if (word[0] == QLatin1String("sweep"))
            core->session().sweep();
        else
            return false;
        return true;
    }
    // The clients' connections; the event-log lines, what the operator was shown and the clients'
    // replies since the last step.
    QStringList sharedSnapshot() const {
        QStringList open, logged, replies, lines;
        for (const auto& [name, client] : clients) {
            open << name + (!client ? QStringLiteral(" not served")
                            : client->socket.state() == QAbstractSocket::ConnectedState
                                ? QStringLiteral(" open")
                                : QStringLiteral(" closed"));
            // Without the sweep's probes, which its timer also sends when it will.
            const QString got =
                AnsiCodec::decode(client ? client->received : QByteArray()).remove(QStringLiteral("CHECK"));
            if (!got.isEmpty())
                replies << name + QLatin1Char(' ') + got;
        }
        const auto& entries = core->eventLog().entries();
        for (size_t i = m_logFrom; i < entries.size(); ++i)
            logged << QStringLiteral("%1 %2").arg(int(entries[i].kind)).arg(entries[i].text);
        for (const QString& shown : op.shown.mid(m_shownFrom))
            lines << QStringLiteral("> ") + QString(shown)
                                                .remove(QLatin1Char('\r'))
                                                .replace(QLatin1Char('\n'), QStringLiteral(" | "));
        const auto add = [&lines](const char* key, const QStringList& items) {
            if (!items.isEmpty())
                lines << QLatin1String(key) + items.join(QStringLiteral(" | "));
        };
        add("clients: ", open);
        add("> log: ", logged);
        add("> replies: ", replies);
        return lines;
    }
    // The next step's lines and replies start here.
    void next() {
        m_logFrom = core->eventLog().entries().size();
        m_shownFrom = op.shown.size();
        for (auto& [name, client] : clients) {
            if (client)
                client->take();
        }
    }
    QStringList masked(QStringList lines) const {
        for (const auto& [value, name] : masks)
            lines.replaceInStrings(value, name);
        return lines;
    }

    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = freePort();
    std::vector<std::pair<QString, QString>> masks{{folder.path(), QStringLiteral("<folder>")},
                                                   {QString::number(port), QStringLiteral("<port>")}};
    std::unique_ptr<ServerCore> core;
    std::map<QString, std::unique_ptr<Client>> clients;

private:
    size_t m_logFrom = 0;
    qsizetype m_shownFrom = 0;
};

} // namespace osk::test
