#include "app/program_folder.h"
#include "app/spanish_command_line.h"
#include "common/program_files.h"
#include "ctl/control_client.h"
#include "ctl/ctl_command.h"
#include "ctl/password_prompt.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <csignal>
#include <cstdio>

namespace {

// The runtime folder the installed service's unit asks for.
const QString kServiceSocket = QStringLiteral("/run/oskserver/control");

const char* const kCommands = R"(Órdenes:
  status                          estado del servicio, puerto, usuarios, bytes, motor, tiempo en marcha
  start | stop                    inicia o detiene el servicio de sesiones
  users                           usuarios conectados, uno por línea
  disconnect USUARIO              desconecta a un usuario
  follow USUARIO [--save FICHERO] sigue la actividad de un usuario hasta Ctrl+C o el fin de su sesión
  log [-n N] [-f]                 registro de sucesos de esta ejecución; -f sigue los nuevos
  watch                           el estado y los usuarios, de nuevo a cada cambio, hasta Ctrl+C
  web-user add|remove NOMBRE      usuario de la administración web (contraseña: dos veces sin eco,
                                  o una línea de la entrada estándar)
  web-user list                   los usuarios de la administración web
  save-log                        Guardar Registro de eventos
  port N                          puerto para el próximo inicio (servicio detenido)
  sql-server NOMBRE               servidor SQL para el próximo inicio (servicio detenido)
  autostart on|off                inicio automático del servicio
  databases [--refresh]           bases de datos con revisión y estado
  delete-database NOMBRE --yes    elimina una base de datos
  update-clients NOMBRE           distribuye los ejecutables de ClientUpdate
  backups                         las tres copias programadas
  backup-set N CLAVE=VALOR...     type, database, day, hour, minute, file (servicio detenido)
  backup-run N                    hace ahora la copia programada N

Salida: 0 hecho, 1 rechazado por el servidor, 2 uso incorrecto, 3 ningún servidor en marcha,
4 sin permiso para usar el canal (root o el grupo del servidor).)";

// The socket of the server of a folder: the one named, the installed service's, or the default
// folder's.
QString socketPath(const QCommandLineParser& parser, const QCommandLineOption& socket,
                   const QCommandLineOption& home) {
    if (parser.isSet(socket))
        return parser.value(socket);
    if (parser.isSet(home))
        return osk::folderControlSocketPath(QDir(parser.value(home)).absolutePath());
    if (QFileInfo::exists(kServiceSocket))
        return kServiceSocket;
    return osk::folderControlSocketPath(osk::defaultProgramFolder());
}

void printError(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("oskserverctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(OSK_VERSION_STRING));

    QCoreApplication::installTranslator(new osk::SpanishCommandLine(&app));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Administra un Osk Server en marcha.\n\n") +
                                     QString::fromUtf8(kCommands));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption home = osk::homeOption();
    const QCommandLineOption socket(QStringLiteral("socket"), QStringLiteral("El canal de control que usar."),
                                    QStringLiteral("RUTA"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Escribe las líneas JSON del servidor."));
    const QCommandLineOption save(QStringLiteral("save"),
                                  QStringLiteral("follow: guarda el seguimiento en FICHERO."),
                                  QStringLiteral("FICHERO"));
    const QCommandLineOption lines(QStringLiteral("n"), QStringLiteral("log: las últimas N líneas."),
                                   QStringLiteral("N"));
    const QCommandLineOption follow({QStringLiteral("f"), QStringLiteral("follow")},
                                    QStringLiteral("log: escribe las líneas nuevas según llegan."));
    const QCommandLineOption refresh(QStringLiteral("refresh"),
                                     QStringLiteral("databases: vuelve a leer la lista."));
    const QCommandLineOption yes(QStringLiteral("yes"),
                                 QStringLiteral("Responde sí a la pregunta del servidor."));
    parser.addOptions({home, socket, json, save, lines, follow, refresh, yes});
    parser.addPositionalArgument(QStringLiteral("orden"), QStringLiteral("Vea la lista de arriba."));

    if (!parser.parse(QCoreApplication::arguments())) {
        printError(parser.errorText());
        return osk::ctl::kExitUsage;
    }
    if (parser.isSet(help)) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return osk::ctl::kExitOk;
    }
    if (parser.isSet(version)) {
        parser.showVersion();
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        printError(QStringLiteral("Falta la orden (vea oskserverctl --help)."));
        return osk::ctl::kExitUsage;
    }

    osk::ctl::Invocation invocation;
    invocation.command = positional.first();
    invocation.arguments = positional.mid(1);
    invocation.json = parser.isSet(json);
    invocation.saveFile = parser.value(save);
    invocation.follow = parser.isSet(follow);
    invocation.refresh = parser.isSet(refresh);
    invocation.yes = parser.isSet(yes);
    if (parser.isSet(lines)) {
        bool isNumber = false;
        invocation.lines = parser.value(lines).toInt(&isNumber);
        if (!isNumber || *invocation.lines < 0) {
            printError(QStringLiteral("-n espera un número de líneas."));
            return osk::ctl::kExitUsage;
        }
    }
    const osk::ctl::BuiltRequest built = osk::ctl::buildRequest(invocation);
    if (!built.request) {
        printError(built.usageError);
        return osk::ctl::kExitUsage;
    }

    std::optional<QJsonObject> request = built.request;
    if (request->value(QLatin1String("cmd")) == QLatin1String("web-user-add")) {
        const std::optional<QString> password = osk::ctl::readNewPassword();
        if (!password)
            return osk::ctl::kExitRefused;
        request->insert(QStringLiteral("password"), *password);
    }

    osk::ctl::ControlClient client;
    const osk::ctl::ControlClient::Connected connected = client.connectTo(socketPath(parser, socket, home));
    if (connected.status != osk::ctl::kExitOk) {
        printError(connected.reason);
        return connected.status;
    }
    // Ctrl+C ends a follow cleanly: the tracking is saved and the server told.
    std::signal(SIGINT, [](int) { osk::ctl::requestInterrupt(); });
    std::signal(SIGTERM, [](int) { osk::ctl::requestInterrupt(); });
    return osk::ctl::runCommand(invocation, *request, client);
}
