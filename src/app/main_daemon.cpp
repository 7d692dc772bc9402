#include "app/headless_runner.h"
#ifdef Q_OS_LINUX
#include "app/epoll_event_dispatcher.h"
#endif
#include "app/program_folder.h"
#include "app/spanish_command_line.h"
#include "database/embedded_engine.h"

#include <QCommandLineParser>
#include <QCoreApplication>

int main(int argc, char* argv[]) {
#ifdef Q_OS_LINUX
    // One epoll set for every connection: a wake-up does not cost a scan of hundreds of sockets.
    QCoreApplication::setEventDispatcher(new osk::EpollEventDispatcher);
#else
    // Qt's own event dispatcher scales better than glib's with hundreds of sockets, and the
    // headless service needs nothing from glib.
    qputenv("QT_NO_GLIB", "1");
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("oskserverd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(OSK_VERSION_STRING));

    QCoreApplication::installTranslator(new osk::SpanishCommandLine(&app));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Osk Server, servicio sin ventanas."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption home = osk::homeOption();
    parser.addOption(home);
    const QCommandLineOption createDatabase(
        QStringLiteral("create-database"),
        QStringLiteral("Crea la base de datos de producto NOMBRE (osk...), vacía, en el motor incorporado, "
                       "y termina."),
        QStringLiteral("NOMBRE"));
    parser.addOption(createDatabase);
    parser.process(app);

    const QString folder = osk::programFolder(parser, home);
    if (parser.isSet(createDatabase))
        return osk::createEmbeddedDatabase(folder, parser.value(createDatabase));
    return osk::HeadlessRunner(folder).run();
}
