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

// A QtTest check of a multi-line text against its expected literal; a mismatch fails the test
// with a line diff of the two.
#define OSK_COMPARE_SNAPSHOT(actual, expected)                                                               \
    do {                                                                                                     \
        if (!::osk::test::compareSnapshot((actual), (expected), __FILE__, __LINE__))                         \
            return;                                                                                          \
    } while (false)

// A snapshot is lines of state, "key: value" (one fact a person or a peer can observe), and lines
// of events since the last step, "> what: happened"; it is compared sorted, so that a scenario may
// print a fact wherever it finds it.
// The state after a step as its literal writes it: the state before, with each fact the step names
// put in place ("key:" alone: the fact is gone), and the step's events.
inline QStringList afterStep(QStringList& state, const QStringList& step) {
    QStringList events;
    for (const QString& line : step) {
        if (line.startsWith(QLatin1String("> "))) {
            events << line;
            continue;
        }
        const QString key = line.section(QLatin1Char(':'), 0, 0);
        state.removeIf([&](const QString& fact) { return fact.section(QLatin1Char(':'), 0, 0) == key; });
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
template <typename S> void playScript(S& scenario, const QStringList& script) {
    QStringList state;
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
        (void)QTest::qWaitFor([&] { return actual() == expected; }, 10000);
        OSK_COMPARE_SNAPSHOT(actual(), expected);
        scenario.next();
    }
}

} // namespace osk::test
