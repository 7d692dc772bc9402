#include "app/console_runner.h"
#include "app/program_folder.h"
#include "app/spanish_command_line.h"
#include "shell/qt_operator.h"
#include "shell/spanish_translations.h"

#include <QApplication>
#include <QCommandLineParser>

namespace {

// The command line is read before any window system is needed, so that --help and --version
// answer on a terminal without a display. Returns the program folder.
QString readCommandLine(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("oskserver"));
    QCoreApplication::setApplicationVersion(QStringLiteral(OSK_VERSION_STRING));
    QCoreApplication::installTranslator(new osk::SpanishCommandLine(&app));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Osk Server, consola de escritorio."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption home = osk::homeOption();
    parser.addOption(home);
    parser.process(app);
    return osk::programFolder(parser, home);
}

} // namespace

int main(int argc, char* argv[]) {
    const QString folder = readCommandLine(argc, argv);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("oskserver"));
    QApplication::setApplicationVersion(QStringLiteral(OSK_VERSION_STRING));
    // The window closes into the tray and tracking windows come and go: the program ends when the
    // main window says so, not with its last window.
    QApplication::setQuitOnLastWindowClosed(false);
    osk::installSpanishTranslations(app);

    osk::QtOperator op;
    return osk::ConsoleRunner(folder, op).run();
}
