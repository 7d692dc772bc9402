#include "app/console_runner.h"
#include "shell/qt_operator.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("oskserver"));
    QApplication::setApplicationVersion(QStringLiteral(OSK_VERSION_STRING));
    // The window closes into the tray and tracking windows come and go: the program ends when the
    // main window says so, not with its last window.
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Osk Server, desktop console."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption home(
        QStringLiteral("home"),
        QStringLiteral("Program folder: settings, Log, Data (default: the executable's folder)."),
        QStringLiteral("DIR"));
    parser.addOption(home);
    parser.process(app);

    const QString folder =
        QDir(parser.isSet(home) ? parser.value(home) : QCoreApplication::applicationDirPath()).absolutePath();
    osk::QtOperator op;
    return osk::ConsoleRunner(folder, op).run();
}
