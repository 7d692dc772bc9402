#include "app/headless_runner.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

int main(int argc, char* argv[]) {
    // Qt's own event dispatcher scales better than glib's with hundreds of sockets, and the
    // headless service needs nothing from glib.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("oskserverd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(OSK_VERSION_STRING));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Osk Server, headless service."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption home(
        QStringLiteral("home"),
        QStringLiteral("Program folder: settings, Log, Data (default: the executable's "
                       "folder)."),
        QStringLiteral("DIR"));
    parser.addOption(home);
    parser.process(app);

    const QString folder = parser.isSet(home) ? parser.value(home) : QCoreApplication::applicationDirPath();
    return osk::HeadlessRunner(QDir(folder).absolutePath()).run();
}
