#include "ctl/ctl_command.h"

#include "common/ansi_codec.h"
#include "common/shown_text.h"
#include "common/web_user_name.h"
#include "ctl/progress_bar.h"

#include <QDate>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <atomic>
#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace osk::ctl {

namespace {
std::atomic_bool g_interrupted = false;

// One piece of a stored client file, as the server reports progress in pieces.
constexpr qint64 kPieceBytes = 16384;
// How often a follower looks whether the user pressed Ctrl+C.
constexpr int kInterruptPollMs = 200;

bool isTerminal(std::FILE* stream) {
#ifdef Q_OS_WIN
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

void writeLine(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// What the server sends may carry a client's text, and a client may put escape sequences or line
// breaks in it; on the terminal they are blanks.
void printLine(std::FILE* stream, const QString& text) {
    writeLine(stream, blankControls(text));
}

// A reply as it came, for scripts. JSON escapes the C0 controls itself; DEL and the C1 controls,
// which it may leave as they are, are escaped here too (they occur only inside strings).
QString jsonForTerminal(const QByteArray& raw) {
    QString json = QString::fromUtf8(raw);
    for (qsizetype i = json.size() - 1; i >= 0; --i) {
        const char16_t c = json.at(i).unicode();
        if (c >= 0x7f && c <= 0x9f)
            json.replace(i, 1, QStringLiteral("\\u%1").arg(int(c), 4, 16, QLatin1Char('0')));
    }
    return json;
}

QString text(const QJsonObject& object, const char* key) {
    return object.value(QLatin1String(key)).toString();
}

// A count that a JSON number carries (the received bytes are 64-bit).
QString count(const QJsonObject& object, const char* key) {
    return QString::number(qint64(object.value(QLatin1String(key)).toDouble()));
}

QString uptime(qint64 seconds) {
    const QString clock = QStringLiteral("%1:%2:%3")
                              .arg(seconds / 3600 % 24, 2, 10, QLatin1Char('0'))
                              .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                              .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return seconds >= 86400 ? QStringLiteral("%1 d %2").arg(seconds / 86400).arg(clock) : clock;
}

void printStatus(const QJsonObject& reply) {
    printLine(stdout, QStringLiteral("Servicio: %1")
                          .arg(reply.value(QLatin1String("running")).toBool() ? QStringLiteral("iniciado")
                                                                              : QStringLiteral("detenido")));
    printLine(stdout, QStringLiteral("Puerto: %1").arg(count(reply, "port")));
    printLine(stdout, QStringLiteral("Usuarios: %1/%2").arg(count(reply, "users"), count(reply, "maxUsers")));
    printLine(stdout, QStringLiteral("Bytes recibidos: %1").arg(count(reply, "receivedBytes")));
    printLine(stdout, QStringLiteral("SQLServer: [%1]").arg(text(reply, "engine")));
    printLine(stdout, QStringLiteral("Host: [%1]").arg(text(reply, "host")));
    printLine(stdout, QStringLiteral("En marcha: %1")
                          .arg(uptime(qint64(reply.value(QLatin1String("uptimeSeconds")).toDouble()))));
}

// The state a watcher is told: one line of it, then the users rows indented below.
void printState(const QJsonObject& state) {
    printLine(stdout, QStringLiteral("Servicio: %1 | Puerto: %2 | Usuarios: %3/%4 | Bytes recibidos: %5")
                          .arg(state.value(QLatin1String("running")).toBool() ? QStringLiteral("iniciado")
                                                                              : QStringLiteral("detenido"),
                               count(state, "port"), count(state, "users"), count(state, "maxUsers"),
                               count(state, "receivedBytes")));
    for (const QJsonValue& row : state.value(QLatin1String("rows")).toArray())
        printLine(stdout, QStringLiteral("  ") + row.toObject().value(QLatin1String("text")).toString());
}

void printRows(const QJsonArray& rows, const QStringList& keys) {
    for (const QJsonValue& row : rows) {
        QStringList fields;
        for (const QString& key : keys)
            fields << blankControls(row.toObject().value(key).toVariant().toString());
        writeLine(stdout, fields.join(QLatin1Char('\t')));
    }
}

void printReply(const QString& command, const QJsonObject& reply) {
    if (command == QLatin1String("status"))
        printStatus(reply);
    else if (command == QLatin1String("watch"))
        printState(reply);
    else if (command == QLatin1String("users"))
        printRows(reply.value(QLatin1String("users")).toArray(), {QStringLiteral("text")});
    else if (command == QLatin1String("web-user") && reply.contains(QLatin1String("users")))
        for (const QJsonValue& name : reply.value(QLatin1String("users")).toArray())
            printLine(stdout, name.toString());
    else if (command == QLatin1String("databases"))
        printRows(reply.value(QLatin1String("databases")).toArray(),
                  {QStringLiteral("name"), QStringLiteral("revision"), QStringLiteral("state")});
    else if (command == QLatin1String("backups"))
        printRows(reply.value(QLatin1String("backups")).toArray(),
                  {QStringLiteral("index"), QStringLiteral("type"), QStringLiteral("database"),
                   QStringLiteral("day"), QStringLiteral("hour"), QStringLiteral("file")});
    else if (command == QLatin1String("backup-set"))
        printRows({reply.value(QLatin1String("backup"))},
                  {QStringLiteral("index"), QStringLiteral("type"), QStringLiteral("database"),
                   QStringLiteral("day"), QStringLiteral("hour"), QStringLiteral("file")});
}

// The boxes the console would have shown, then the reason of a refusal unless a box said it.
void printMessages(const QJsonObject& reply) {
    QString last;
    for (const QJsonValue& value : reply.value(QLatin1String("messages")).toArray()) {
        // A question was answered by the command line; only what the console would have shown
        // as a message is news.
        const QJsonObject message = value.toObject();
        if (message.value(QLatin1String("question")).toBool())
            continue;
        last = message.value(QLatin1String("text")).toString();
        printLine(stderr, last);
    }
    const QString error = text(reply, "error");
    if (!error.isEmpty() && error != last)
        printLine(stderr, error);
}

// The file a tracking window saves: the date, fourteen hyphens, an empty line, then the lines.
bool saveTracking(const QString& path, const QStringList& lines) {
    QByteArray contents = AnsiCodec::encode(
        QLatin1Char('[') + QDate::currentDate().toString(QStringLiteral("dd/MM/yyyy")) + QLatin1Char(']'));
    contents += "\r\n--------------\r\n\r\n";
    for (const QString& line : lines)
        contents += AnsiCodec::encode(line) + "\r\n";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size()) {
        printLine(stderr, QStringLiteral("Imposible guardar el registro."));
        return false;
    }
    return true;
}

QJsonObject request(const QString& command, QJsonObject arguments = {}) {
    arguments.insert(QStringLiteral("cmd"), command);
    return arguments;
}

BuiltRequest backupSetRequest(const QStringList& arguments) {
    QJsonObject settings;
    for (const QString& assignment : arguments.mid(1)) {
        const qsizetype equals = assignment.indexOf(QLatin1Char('='));
        if (equals <= 0)
            return {std::nullopt, QStringLiteral("Se esperaba CLAVE=VALOR: %1").arg(assignment)};
        settings.insert(assignment.left(equals), assignment.mid(equals + 1));
    }
    if (settings.isEmpty())
        return {std::nullopt, QStringLiteral("Indique al menos un CLAVE=VALOR.")};
    return {request(QStringLiteral("backup-set"),
                    {{QStringLiteral("index"), arguments.at(0).toInt()}, {QStringLiteral("set"), settings}}),
            QString()};
}
} // namespace

void requestInterrupt() {
    g_interrupted = true;
}

BuiltRequest buildRequest(const Invocation& in) {
    const QString& command = in.command;
    const QStringList& args = in.arguments;
    const auto needs = [&](qsizetype count, const char* what) -> std::optional<QString> {
        if (args.size() == count)
            return std::nullopt;
        return QStringLiteral("Uso: oskserverctl %1 %2").arg(command, QLatin1String(what)).trimmed();
    };
    const auto build = [&](qsizetype count, const char* what, QJsonObject arguments) -> BuiltRequest {
        if (auto wrong = needs(count, what))
            return {std::nullopt, *wrong};
        return {request(command, arguments), QString()};
    };
    const QString first = args.value(0);
    if (command == QLatin1String("status") || command == QLatin1String("start") ||
        command == QLatin1String("stop") || command == QLatin1String("users") ||
        command == QLatin1String("save-log") || command == QLatin1String("backups") ||
        command == QLatin1String("watch"))
        return build(0, "", {});
    if (command == QLatin1String("disconnect") || command == QLatin1String("follow"))
        return build(1, "USUARIO", {{QStringLiteral("user"), first}});
    if (command == QLatin1String("log")) {
        QJsonObject arguments{{QStringLiteral("follow"), in.follow}};
        if (in.lines)
            arguments.insert(QStringLiteral("lines"), *in.lines);
        return build(0, "[-n N] [-f]", arguments);
    }
    if (command == QLatin1String("port"))
        return build(1, "N", {{QStringLiteral("port"), first}});
    if (command == QLatin1String("sql-server"))
        return build(1, "NOMBRE", {{QStringLiteral("name"), first}});
    if (command == QLatin1String("autostart")) {
        if (first != QLatin1String("on") && first != QLatin1String("off"))
            return {std::nullopt, QStringLiteral("Uso: oskserverctl autostart on|off")};
        return build(1, "on|off", {{QStringLiteral("state"), first}});
    }
    if (command == QLatin1String("databases"))
        return build(0, "[--refresh]", {{QStringLiteral("refresh"), in.refresh}});
    if (command == QLatin1String("delete-database"))
        return build(1, "NOMBRE --yes", {{QStringLiteral("name"), first}, {QStringLiteral("yes"), in.yes}});
    if (command == QLatin1String("update-clients"))
        return build(1, "NOMBRE", {{QStringLiteral("name"), first}});
    if (command == QLatin1String("web-user")) {
        const QString action = first;
        const QJsonObject named{{QStringLiteral("name"), args.value(1)}};
        if (action == QLatin1String("list") && args.size() == 1)
            return {request(QStringLiteral("web-user-list")), QString()};
        // Told before the password is asked for, not after it was typed twice.
        if ((action == QLatin1String("add") || action == QLatin1String("remove")) && args.size() == 2) {
            if (const QString problem = webUserNameProblem(args.at(1)); !problem.isEmpty())
                return {std::nullopt, problem};
            return {request(QStringLiteral("web-user-") + action, named), QString()};
        }
        return {std::nullopt,
                QStringLiteral("Uso: oskserverctl web-user add|remove NOMBRE, o web-user list")};
    }
    if (command == QLatin1String("backup-run"))
        return build(1, "N", {{QStringLiteral("index"), first.toInt()}});
    if (command == QLatin1String("backup-set")) {
        if (args.isEmpty())
            return {std::nullopt, QStringLiteral("Uso: oskserverctl backup-set N CLAVE=VALOR...")};
        return backupSetRequest(args);
    }
    return {std::nullopt, QStringLiteral("Orden desconocida: %1 (vea oskserverctl --help).").arg(command)};
}

int runCommand(const Invocation& in, const QJsonObject& requestObject, ControlClient& client) {
    client.send(requestObject);
    const bool following = in.command == QLatin1String("follow") || in.command == QLatin1String("watch") ||
                           (in.command == QLatin1String("log") && in.follow);
    ProgressBar progress(stderr, isTerminal(stderr));
    QStringList tracked;
    std::optional<QJsonObject> reply;
    // The lines that the reply of `log` says follow it.
    qint64 linesToCome = 0;
    bool ended = false; // what was followed has ended, as the server says
    while (true) {
        // Never an endless wait: a server that hangs must not take Ctrl+C or a stop with it.
        const std::optional<QJsonObject> line = client.nextLine(kInterruptPollMs);
        if (g_interrupted)
            break;
        if (!line) {
            if (client.isOpen())
                continue;
            break;
        }
        if (in.json)
            writeLine(stdout, jsonForTerminal(client.lastRawLine()));
        const QString event = text(*line, "event");
        if (event.isEmpty()) {
            reply = line;
            if (!in.json) {
                printMessages(*line);
                if (line->value(QLatin1String("ok")).toBool())
                    printReply(in.command, *line);
            }
            if (!line->value(QLatin1String("ok")).toBool())
                break;
            linesToCome = qint64(line->value(QLatin1String("count")).toDouble());
            if (!following && linesToCome <= 0)
                break;
        } else if (event == QLatin1String("progress") && !in.json) {
            if (line->contains(QLatin1String("text")))
                progress.setText(text(*line, "text"));
            else
                progress.setValue(line->value(QLatin1String("value")).toInt(),
                                  line->value(QLatin1String("maximum")).toInt(), kPieceBytes);
        } else if (event == QLatin1String("line") || event == QLatin1String("log")) {
            tracked << text(*line, "text");
            if (!in.json)
                printLine(stdout, tracked.last());
            if (--linesToCome <= 0 && !following)
                break;
        } else if (event == QLatin1String("state")) {
            if (!in.json)
                printState(*line);
        } else if (event == QLatin1String("end")) {
            ended = true;
            break;
        }
    }
    progress.finish();
    // Closing the connection is what tells the server to stop the tracking ("NOLOG").
    client.close();
    if (!reply) {
        // The end of following is Ctrl+C; any other command's answer is what was waited for.
        if (g_interrupted && following)
            return kExitOk;
        if (g_interrupted) {
            printLine(stderr, QStringLiteral("Interrumpida la espera de la respuesta del servidor."));
            return kExitRefused;
        }
        printLine(stderr, QStringLiteral("El servidor cerró la conexión sin responder."));
        return kExitRefused;
    }
    if (!reply->value(QLatin1String("ok")).toBool())
        return kExitRefused;
    if (linesToCome > 0 && !following && !g_interrupted) {
        printLine(stderr, QStringLiteral("El servidor cerró la conexión antes de enviar todas las líneas."));
        return kExitRefused;
    }
    if (!in.saveFile.isEmpty() && !saveTracking(in.saveFile, tracked))
        return kExitRefused;
    // A follow ends with Ctrl+C or with what it follows (what came of it is saved all the same); a
    // connection that the server closed otherwise means that it stopped or died.
    if (following && !ended && !g_interrupted) {
        printLine(stderr, QStringLiteral("El servidor cerró la conexión."));
        return kExitRefused;
    }
    return kExitOk;
}

} // namespace osk::ctl
