#pragma once

#include <QRegularExpression>
#include <QStringList>
#include <QTest>

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

} // namespace osk::test
