// Starts the desktop console exactly as oskserver does and prints, on standard output, the
// wall-clock time (nanoseconds since the epoch) at which its main window is first painted; then
// ends it the way a stop signal does. A caller that noted the time before starting this program
// gets the start-up time to a first painted window, process start and library loading included.

#include "app/console_runner.h"
#include "shell/qt_operator.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QWidget>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

class FirstPaintProbe final : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!m_seen && event->type() == QEvent::Paint && watched->objectName() == QLatin1String("frmMain")) {
            m_seen = true;
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            std::printf("first_paint_ns=%lld\n",
                        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
            std::fflush(stdout);
            // The console ends on a stop signal, which it handles in its own event loop.
            ::kill(::getpid(), SIGTERM);
        }
        return false;
    }

private:
    bool m_seen = false;
};

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: osk_console_startup PROGRAM_FOLDER\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    FirstPaintProbe probe;
    app.installEventFilter(&probe);
    osk::QtOperator op;
    return osk::ConsoleRunner(QDir(QString::fromLocal8Bit(argv[1])).absolutePath(), op).run();
}
