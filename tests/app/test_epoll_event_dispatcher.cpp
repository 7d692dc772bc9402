// The headless service's event loop where the end-to-end run cannot reach: timers re-entered
// through a nested loop, descriptor numbers reused.

#include "app/epoll_event_dispatcher.h"

#include <QtTest>
#include <sys/socket.h>
#include <unistd.h>

using namespace osk;

class TestEpollEventDispatcher final : public QObject {
    Q_OBJECT

private slots:
    // A handler that lets pending events run (the event log's save does) does not see its own
    // timer fire again inside it.
    void aRunningTimerIsNotFiredByANestedLoop() {
        QTimer timer;
        int depth = 0, deepest = 0, ticks = 0;
        connect(&timer, &QTimer::timeout, [&] {
            ++ticks;
            deepest = std::max(deepest, ++depth);
            QElapsedTimer spin;
            spin.start();
            while (spin.elapsed() < 30)
                QCoreApplication::processEvents();
            --depth;
        });
        timer.start(5);
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 3, 2000);
        QCOMPARE(deepest, 1);
    }

    // A descriptor closed while its notifier is still registered leaves the epoll set; the next
    // socket gets the same number, and its notifier must be watched all the same.
    void aReusedDescriptorIsWatched() {
        int first[2], second[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, first) == 0);
        auto stale = std::make_unique<QSocketNotifier>(first[1], QSocketNotifier::Read);
        ::close(first[0]);
        ::close(first[1]);
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, second) == 0);
        const int reused = second[0] == first[1] ? 0 : 1;
        QCOMPARE(second[reused], first[1]);
        // The new connection's notifier comes first, the old one goes after it (deleted later).
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("a second notifier of the same type"));
        QSocketNotifier fresh(second[reused], QSocketNotifier::Read);
        stale.reset();
        int reads = 0;
        connect(&fresh, &QSocketNotifier::activated, [&] {
            char byte;
            reads += ::read(second[reused], &byte, 1) == 1 ? 1 : 0;
        });
        QCOMPARE(::write(second[1 - reused], "x", 1), ssize_t(1));
        QTRY_COMPARE_WITH_TIMEOUT(reads, 1, 2000);
        ::close(second[0]);
        ::close(second[1]);
    }
};

int main(int argc, char* argv[]) {
    QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
    QCoreApplication app(argc, argv);
    TestEpollEventDispatcher test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_epoll_event_dispatcher.moc"
