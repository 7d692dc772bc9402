#include "control/control_commands.h"

#include "backup/backup_editor.h"
#include "common/ansi_codec.h"
#include "common/clock.h"
#include "common/program_files.h"
#include "control/request_operator.h"
#include "control/state_watch.h"
#include "core/server_core.h"
#include "core/web_users.h"
#include "database/engine.h"
#include "session/user_log.h"

#include <QDir>
#include <QFutureWatcher>
#include <QHostInfo>
#include <QJsonArray>
#include <QPointer>
#include <QtConcurrentRun>
#include <cmath>
#include <memory>

namespace osk {

namespace {
const QString kOk = QStringLiteral("ok");

QJsonObject success(QJsonObject fields = {}) {
    fields.insert(kOk, true);
    return fields;
}

QJsonObject logEvent(const LogEntry& entry) {
    return {{QStringLiteral("event"), QStringLiteral("log")},
            {QStringLiteral("text"), entry.text},
            {QStringLiteral("kind"), int(entry.kind)}};
}

// The reply to a command that went through but did not do what was asked: the last box the
// console would have shown says why.
QJsonObject refused(const RequestOperator& op, const QString& otherwise) {
    return controlError(op.lastMessage().isEmpty() ? otherwise : op.lastMessage());
}

// A progress view that tells the caller how the distribution goes, one event per step.
class StreamedProgress final : public ProgressView {
public:
    explicit StreamedProgress(ControlPeer& peer)
        : m_peer(peer) {}
    void show() override {}
    void hide() override {}
    void setText(const QString& text) override { send({{QStringLiteral("text"), text}}); }
    void setMaximum(int maximum) override {
        m_maximum = maximum;
        send({{QStringLiteral("value"), 0}, {QStringLiteral("maximum"), maximum}});
    }
    void setValue(int value) override {
        send({{QStringLiteral("value"), value}, {QStringLiteral("maximum"), m_maximum}});
    }

private:
    void send(QJsonObject event) {
        event.insert(QStringLiteral("event"), QStringLiteral("progress"));
        m_peer.send(event);
    }
    ControlPeer& m_peer;
    int m_maximum = 0;
};

// The console's progress window comes back however the distribution ends.
class ScopedProgressView final {
public:
    ScopedProgressView(ServerCore& core, ProgressView& view)
        : m_core(core)
        , m_previous(core.progressView()) {
        core.setProgressView(view);
    }
    ~ScopedProgressView() { m_core.setProgressView(m_previous); }
    ScopedProgressView(const ScopedProgressView&) = delete;
    ScopedProgressView& operator=(const ScopedProgressView&) = delete;

private:
    ServerCore& m_core;
    ProgressView& m_previous;
};
} // namespace

ControlCommands::ControlCommands(ServerCore& core, QDateTime startedAt, QObject& owner)
    : m_core(core)
    , m_startedAt(std::move(startedAt))
    , m_commands{
          {QStringLiteral("status"), {&ControlCommands::status, false}},
          {QStringLiteral("start"), {&ControlCommands::start, true}},
          {QStringLiteral("stop"), {&ControlCommands::stop, true}},
          {QStringLiteral("users"), {&ControlCommands::users, false}},
          {QStringLiteral("disconnect"), {&ControlCommands::disconnect, true}},
          {QStringLiteral("follow"), {&ControlCommands::follow, true}},
          {QStringLiteral("log"), {&ControlCommands::log, false}},
          {QStringLiteral("save-log"), {&ControlCommands::saveLog, true}},
          {QStringLiteral("port"), {&ControlCommands::port, true}},
          {QStringLiteral("sql-server"), {&ControlCommands::sqlServer, true}},
          {QStringLiteral("autostart"), {&ControlCommands::autostart, true}},
          {QStringLiteral("databases"), {&ControlCommands::databases, false}},
          {QStringLiteral("delete-database"), {&ControlCommands::deleteDatabase, true}},
          {QStringLiteral("update-clients"), {&ControlCommands::updateClients, true}},
          {QStringLiteral("backups"), {&ControlCommands::backups, false}},
          {QStringLiteral("backup-set"), {&ControlCommands::backupSet, true}},
          {QStringLiteral("backup-run"), {&ControlCommands::backupRun, true}},
          {QStringLiteral("watch"), {&ControlCommands::watch, false}},
          {QStringLiteral("traffic"), {&ControlCommands::traffic, false}},
          {QStringLiteral("web-user-add"), {&ControlCommands::webUserAdd, true}},
          {QStringLiteral("web-user-remove"), {&ControlCommands::webUserRemove, true}},
          {QStringLiteral("web-user-list"), {&ControlCommands::webUserList, false}},
      }
    , m_owner(owner) {
    m_hashing.setMaxThreadCount(1);
}

void ControlCommands::execute(const ControlRequest& request, ControlPeer& peer) {
    const auto found = m_commands.find(request.command);
    if (found == m_commands.end()) {
        peer.send(controlError(QStringLiteral("Orden desconocida: %1.").arg(request.command)));
        peer.finish();
        return;
    }
    const QJsonObject& arguments = request.arguments;
    // A refresh of the list changes what the databases hold (the server data is written again).
    const bool changes = found->second.changesState || arguments.value(QStringLiteral("refresh")).toBool();
    if (changes)
        m_core.eventLog().AddLog(QStringLiteral("Orden de administración [%1] de [%2].")
                                     .arg(describeControlRequest(request), peer.caller()),
                                 LogKind::Info);

    RequestOperator op;
    op.setAnswers({arguments.value(QStringLiteral("yes")).toBool(), QString()});
    QJsonObject reply;
    {
        ScopedOperator scoped(m_core.operatorRelay(), op);
        Call call{arguments, peer, op};
        reply = (this->*found->second.handler)(call);
    }
    if (reply.isEmpty())
        return; // the command answers when it has ended
    if (!op.messages().isEmpty())
        reply.insert(QStringLiteral("messages"), op.messages());
    peer.send(reply);
}

// What a watcher is told, without the rows, and what does not change while the server runs.
QJsonObject ControlCommands::status(Call&) {
    QJsonObject fields = serviceState();
    fields.remove(QStringLiteral("rows"));
    fields.insert(QStringLiteral("engine"), m_core.engine().serverDisplayName());
    fields.insert(QStringLiteral("host"), QHostInfo::localHostName());
    fields.insert(QStringLiteral("address"), m_core.localAddress());
    fields.insert(QStringLiteral("uptimeSeconds"), double(m_startedAt.secsTo(m_core.clock().now())));
    return success(fields);
}

std::optional<QJsonObject> ControlCommands::refusedByState(Command command) const {
    if (m_core.commands().isEnabled(command))
        return std::nullopt;
    const bool started = m_core.isStarted();
    switch (command) {
    case Command::mnuIniciarServicio:
        return controlError(started ? QStringLiteral("El servicio ya está iniciado.")
                                    : QStringLiteral("El servicio no se puede iniciar en este servidor."));
    case Command::mnuDetenerServicio:
        return controlError(QStringLiteral("El servicio no está iniciado."));
    default:
        break;
    }
    return controlError(started
                            ? QStringLiteral("No disponible con el servicio iniciado: detenga el servicio.")
                            : QStringLiteral("No disponible en este servidor."));
}

QJsonObject ControlCommands::start(Call&) {
    if (auto refusal = refusedByState(Command::mnuIniciarServicio))
        return *refusal;
    if (!m_core.startService())
        return controlError(QStringLiteral("El servicio no se ha podido iniciar."));
    return success();
}

QJsonObject ControlCommands::stop(Call&) {
    if (auto refusal = refusedByState(Command::mnuDetenerServicio))
        return *refusal;
    m_core.stopService();
    return success();
}

QJsonObject ControlCommands::users(Call&) {
    return success({{QStringLiteral("users"), userRows()}});
}

QJsonArray ControlCommands::userRows() const {
    const UsersList& list = m_core.session().lstUsers();
    QJsonArray rows;
    for (int row = 0; row < list.count(); ++row)
        rows.append(QJsonObject{{QStringLiteral("text"), list.row(row).text},
                                {QStringLiteral("user"), userOfSlot(list.row(row).slot)}});
    return rows;
}

// What the console's window shows of the service at a glance: started or not, its port, the users
// rows and the counts.
QJsonObject ControlCommands::serviceState() const {
    SessionServer& session = m_core.session();
    return {
        {QStringLiteral("running"), m_core.isStarted()},
        {QStringLiteral("port"), m_core.settings().port},
        {QStringLiteral("users"), session.lstUsers().count()},
        {QStringLiteral("maxUsers"), session.maxUsers()},
        {QStringLiteral("receivedBytes"), double(session.receivedBytes())},
        {QStringLiteral("rows"), userRows()},
        {QStringLiteral("enabled"), enabledCommands()},
    };
}

// What the console's menus let the operator do now, by the name of the command that does it.
QJsonObject ControlCommands::enabledCommands() const {
    const CommandStates& states = m_core.commands();
    return {
        {QStringLiteral("start"), states.isEnabled(Command::mnuIniciarServicio)},
        {QStringLiteral("stop"), states.isEnabled(Command::mnuDetenerServicio)},
        {QStringLiteral("port"), states.isEnabled(Command::mnuServicioPuerto)},
        {QStringLiteral("sql-server"), states.isEnabled(Command::mnuSQL)},
        {QStringLiteral("databases"), states.isEnabled(Command::mnuDBActualizar)},
        {QStringLiteral("backup-set"), states.isEnabled(Command::mnuAutoBackup)},
    };
}

// The state now in the reply, then an event each time it changes, until the caller goes.
QJsonObject ControlCommands::watch(Call& call) {
    ControlPeer& peer = call.peer;
    StateWatch& shared = sharedWatch();
    // The others are told what changed since the last report first, so that all start from now.
    shared.reportNow();
    ++m_watchers;
    QObject::connect(&shared, &StateWatch::changed, peer.context(), [&peer](QJsonObject state) {
        state.insert(QStringLiteral("event"), QStringLiteral("state"));
        peer.send(state);
    });
    // With the last watcher the watch goes too: nobody is left to tell.
    QObject::connect(peer.context(), &QObject::destroyed, &shared, [this, &shared] {
        if (--m_watchers == 0) {
            m_watch = nullptr;
            shared.deleteLater();
        }
    });
    peer.keepOpen();
    return success(shared.current());
}

// The last hour, a second a sample, oldest first.
QJsonObject ControlCommands::traffic(Call&) {
    QJsonArray users;
    QJsonArray bytes;
    for (const TrafficHistory::Sample& sample : m_core.traffic().samples()) {
        users.append(sample.users);
        bytes.append(double(sample.bytes));
    }
    return success({{QStringLiteral("intervalSeconds"), 1},
                    {QStringLiteral("users"), users},
                    {QStringLiteral("bytes"), bytes},
                    {QStringLiteral("receivedBytes"), double(m_core.traffic().receivedAtLastSample())}});
}

// One watch for every watcher: the state is built once per change, however many are told. The
// bytes received are looked at once a second: they change with every message of every client.
StateWatch& ControlCommands::sharedWatch() {
    if (m_watch)
        return *m_watch;
    m_watch = new StateWatch([this] { return serviceState(); }, std::chrono::seconds(1), &m_owner);
    const UsersList* rows = &m_core.session().lstUsers();
    QObject::connect(&m_core, &ServerCore::captionChanged, m_watch, &StateWatch::notify);
    QObject::connect(&m_core, &ServerCore::labelsChanged, m_watch, &StateWatch::notify);
    QObject::connect(&m_core.commands(), &CommandStates::changed, m_watch, &StateWatch::notify);
    QObject::connect(rows, &UsersList::rowsInserted, m_watch, &StateWatch::notify);
    QObject::connect(rows, &UsersList::rowsRemoved, m_watch, &StateWatch::notify);
    QObject::connect(rows, &UsersList::dataChanged, m_watch, &StateWatch::notify);
    QObject::connect(rows, &UsersList::modelReset, m_watch, &StateWatch::notify);
    return *m_watch;
}

QString ControlCommands::userOfSlot(int slot) const {
    const QByteArray tag = m_core.session().tag(slot);
    const qsizetype bar = tag.indexOf('|');
    return AnsiCodec::decode(bar < 0 ? QByteArrayView(tag) : QByteArrayView(tag).sliced(bar + 1));
}

int ControlCommands::rowOfUser(const QString& user) const {
    const UsersList& list = m_core.session().lstUsers();
    for (int row = 0; row < list.count(); ++row) {
        if (userOfSlot(list.row(row).slot) == user)
            return row;
    }
    return -1;
}

namespace {
QJsonObject userNotConnected(const QString& user) {
    return controlError(QStringLiteral("El usuario [%1] no está conectado.").arg(user));
}
// A missing or non-text user would read as the empty name, which a client may have validated.
QJsonObject missingUser() {
    return controlError(QStringLiteral("Falta el usuario (\"user\")."));
}
} // namespace

QJsonObject ControlCommands::disconnect(Call& call) {
    if (!call.arguments.value(QStringLiteral("user")).isString())
        return missingUser();
    const QString user = call.arguments.value(QStringLiteral("user")).toString();
    const int row = rowOfUser(user);
    if (row < 0)
        return userNotConnected(user);
    m_core.disconnectUser(row);
    return success();
}

QJsonObject ControlCommands::follow(Call& call) {
    if (!call.arguments.value(QStringLiteral("user")).isString())
        return missingUser();
    const QString user = call.arguments.value(QStringLiteral("user")).toString();
    const int row = rowOfUser(user);
    if (row < 0)
        return userNotConnected(user);
    ActivityTracking& tracking = m_core.session().tracking();
    // A tracking the console already shows stays open when this caller goes; one opened here ends
    // with the caller, so that the client stops reporting to nobody.
    const bool openedHere = tracking.find(user) == nullptr;
    m_core.followUser(row);
    UserLog* followed = tracking.find(user);
    if (!followed)
        return refused(call.op, QStringLiteral("No se ha podido abrir el seguimiento."));

    ControlPeer& peer = call.peer;
    QObject* context = peer.context();
    QObject::connect(followed, &UserLog::lineAdded, context, [&peer](const QString& line) {
        peer.send({{QStringLiteral("event"), QStringLiteral("line")}, {QStringLiteral("text"), line}});
    });
    // The session ends either with its tracking (the client's CLOSE, the sweep) or before it (the
    // operator's disconnection, the stop).
    const auto ended = [&peer, followed](UserLog* log) {
        if (log != followed)
            return;
        peer.send({{QStringLiteral("event"), QStringLiteral("end")}});
        peer.finish();
    };
    QObject::connect(&tracking, &ActivityTracking::closing, context, ended);
    QObject::connect(&tracking, &ActivityTracking::sessionOver, context, ended);
    if (openedHere) {
        const QPointer<UserLog> guarded(followed);
        QObject::connect(context, &QObject::destroyed, &tracking, [&tracking, guarded] {
            if (guarded)
                tracking.closeLog(guarded.data());
        });
    }
    peer.keepOpen();
    return success({{QStringLiteral("user"), followed->user()}});
}

// A busy day's lines do not fit one reply line a caller could be sent at once: the reply gives their
// count, and they follow one event each as the caller reads; the replies to later requests on the
// connection come after them. They are the lines as they were when asked for; with `follow`, the
// lines logged since come after them.
QJsonObject ControlCommands::log(Call& call) {
    const std::vector<LogEntry>& entries = m_core.eventLog().entries();
    const QJsonValue lineCount = call.arguments.value(QStringLiteral("lines"));
    if (!lineCount.isUndefined() && !(lineCount.isDouble() && lineCount.toDouble() >= 0 &&
                                      lineCount.toDouble() == std::floor(lineCount.toDouble())))
        return controlError(QStringLiteral("El número de líneas debe ser un entero de 0 en adelante."));
    if (!call.peer.canSendPaced())
        return controlError(
            QStringLiteral("Hay demasiadas peticiones del registro en curso; inténtelo más tarde."));
    const qsizetype wanted = lineCount.toInteger(qsizetype(entries.size()));
    const qsizetype first =
        qsizetype(entries.size()) - std::clamp<qsizetype>(wanted, 0, qsizetype(entries.size()));
    auto lines = std::make_shared<std::vector<LogEntry>>(entries.begin() + first, entries.end());

    ControlPeer& peer = call.peer;
    peer.send(success({{QStringLiteral("count"), qsizetype(lines->size())}}));
    peer.sendPaced([lines, next = size_t(0)]() mutable -> std::optional<QJsonObject> {
        if (next == lines->size())
            return std::nullopt;
        return logEvent(lines->at(next++));
    });
    if (call.arguments.value(QStringLiteral("follow")).toBool()) {
        QObject::connect(&m_core.eventLog(), &EventLog::entryAdded, peer.context(),
                         [&peer](const LogEntry& entry) { peer.send(logEvent(entry)); });
        peer.keepOpen();
    }
    return {};
}

QJsonObject ControlCommands::saveLog(Call& call) {
    if (Status saved = m_core.saveLog(); !saved)
        return refused(call.op, saved.error());
    return success();
}

QJsonObject ControlCommands::port(Call& call) {
    if (auto refusal = refusedByState(Command::mnuServicioPuerto))
        return *refusal;
    const QString answer = argumentText(call.arguments.value(QStringLiteral("port")));
    call.op.setAnswers({false, answer});
    const int before = m_core.settings().port;
    m_core.mnuServicioPuerto();
    // The same port, however written ("18033.0"), changes nothing and says nothing, as in the
    // console; a refusal or a failed write says why.
    if (m_core.settings().port == before && !call.op.lastMessage().isEmpty())
        return refused(call.op, QStringLiteral("Puerto Incorrecto"));
    return success({{QStringLiteral("port"), m_core.settings().port}});
}

QJsonObject ControlCommands::sqlServer(Call& call) {
    if (auto refusal = refusedByState(Command::mnuSQL))
        return *refusal;
    const QString name = call.arguments.value(QStringLiteral("name")).toString();
    if (name.isEmpty())
        return controlError(QStringLiteral("Falta el nombre del servidor SQL."));
    call.op.setAnswers({false, name});
    m_core.mnuSQL();
    if (m_core.settingsFile().read(kMainSection, kSqlServerKey) != name)
        return refused(call.op, QStringLiteral("No se ha podido guardar la configuración."));
    return success();
}

QJsonObject ControlCommands::autostart(Call& call) {
    const QString state = call.arguments.value(QStringLiteral("state")).toString();
    if (state != QStringLiteral("on") && state != QStringLiteral("off"))
        return controlError(QStringLiteral("Se esperaba \"on\" u \"off\"."));
    const bool wanted = state == QStringLiteral("on");
    if (m_core.isAutoStartChecked() != wanted)
        m_core.mnuAutoStart();
    if (m_core.isAutoStartChecked() != wanted)
        return refused(call.op, QStringLiteral("No se ha podido guardar la configuración."));
    return success({{QStringLiteral("autostart"), wanted}});
}

// While the client programs are copied the database is held by the copy: what would wait for it
// waits until the copy has ended, and every session with it.
std::optional<QJsonObject> ControlCommands::refusedWhileUpdatingClients() const {
    if (const QString busy = m_core.clientsUpdateRefusal(); !busy.isEmpty())
        return controlError(busy);
    return std::nullopt;
}

QJsonObject ControlCommands::databases(Call& call) {
    if (call.arguments.value(QStringLiteral("refresh")).toBool()) {
        if (auto refusal = refusedByState(Command::mnuDBActualizar))
            return *refusal;
        if (auto refusal = refusedWhileUpdatingClients())
            return *refusal;
        if (!m_core.updateDatabases())
            return refused(call.op, QStringLiteral("Las bases de datos no se han actualizado."));
    }
    QJsonArray rows;
    for (const DatabaseRow& row : m_core.lstDB().rows()) {
        const QString state = !row.checked ? QString()
                              : row.valid  ? QStringLiteral("Actualizada")
                                           : QStringLiteral("Incorrecta");
        rows.append(QJsonObject{{QStringLiteral("name"), row.name},
                                {QStringLiteral("revision"), row.revision},
                                {QStringLiteral("state"), state}});
    }
    return success({{QStringLiteral("databases"), rows}});
}

bool ControlCommands::isListed(const QString& database) const {
    const std::vector<DatabaseRow>& rows = m_core.lstDB().rows();
    return std::any_of(rows.begin(), rows.end(),
                       [&](const DatabaseRow& row) { return row.name == database; });
}

QJsonObject ControlCommands::deleteDatabase(Call& call) {
    const QString name = call.arguments.value(QStringLiteral("name")).toString();
    if (!isListed(name))
        return controlError(QStringLiteral("La base de datos [%1] no está en la lista.").arg(name));
    if (auto refusal = refusedWhileUpdatingClients())
        return *refusal;
    if (!m_core.deleteDatabase(name))
        return refused(call.op,
                       call.arguments.value(QStringLiteral("yes")).toBool()
                           ? QStringLiteral("La base de datos no se ha eliminado.")
                           : QStringLiteral("La base de datos puede estar en uso: confirme con --yes."));
    return success();
}

QJsonObject ControlCommands::updateClients(Call& call) {
    const QString name = call.arguments.value(QStringLiteral("name")).toString();
    if (!isListed(name))
        return controlError(QStringLiteral("La base de datos [%1] no está en la lista.").arg(name));
    if (auto refusal = refusedWhileUpdatingClients())
        return *refusal;
    StreamedProgress progress(call.peer);
    ScopedProgressView scoped(m_core, progress);
    const Result<QString> stored = m_core.updateClients(name);
    if (!stored)
        return controlError(QStringLiteral("Los ejecutables no se han distribuido: %1").arg(stored.error()));
    // What the log says of it: stored, or nothing there to store.
    call.op.showMessage(*stored, MessageIcon::Information, kProductTitle);
    return success();
}

QJsonObject ControlCommands::scheduleJson(int index) const {
    const BackupSchedule& schedule = m_core.schedules()[size_t(index)];
    const int type = std::clamp(schedule.Type, BackupEditor::kInactive, BackupEditor::kWeekly);
    return {{QStringLiteral("index"), index + 1},
            {QStringLiteral("type"), BackupEditor::typeNames().at(type)},
            {QStringLiteral("database"), schedule.DataBase},
            {QStringLiteral("day"), schedule.Day < BackupEditor::dayNames().size()
                                        ? BackupEditor::dayNames().at(schedule.Day)
                                        : QString::number(schedule.Day)},
            {QStringLiteral("hour"), schedule.Hour.toString(QStringLiteral("HH:mm"))},
            {QStringLiteral("file"), schedule.OutputFile}};
}

QJsonObject ControlCommands::backups(Call&) {
    QJsonArray schedules;
    for (int index = 0; index < kBackupScheduleCount; ++index)
        schedules.append(scheduleJson(index));
    return success({{QStringLiteral("backups"), schedules}});
}

namespace {
const QStringList kScheduleKeys = {QStringLiteral("type"),   QStringLiteral("database"),
                                   QStringLiteral("day"),    QStringLiteral("hour"),
                                   QStringLiteral("minute"), QStringLiteral("file")};

// The list entry whose name is this one, ignoring case; -1 when there is none.
int entryNamed(const QStringList& names, const QString& name) {
    for (int index = 0; index < names.size(); ++index) {
        if (names.at(index).compare(name, Qt::CaseInsensitive) == 0)
            return index;
    }
    return -1;
}
} // namespace

QJsonObject ControlCommands::backupSet(Call& call) {
    if (auto refusal = refusedByState(Command::mnuAutoBackup))
        return *refusal;
    const int index = call.arguments.value(QStringLiteral("index")).toInt() - 1;
    if (index < 0 || index >= kBackupScheduleCount)
        return controlError(QStringLiteral("La copia programada debe ser 1, 2 o 3."));
    // The editor the console's dialog drives, driven the same way: schedule on screen, controls
    // changed, Aceptar.
    BackupEditor editor(m_core.engine(), m_core.settingsFile(), call.op);
    editor.load();
    editor.selectBackup(index);
    if (editor.shownIndex() != index)
        return refused(call.op, QStringLiteral("La copia programada no se puede editar."));
    const QJsonObject settings = call.arguments.value(QStringLiteral("set")).toObject();
    for (const QString& key : settings.keys()) {
        if (!kScheduleKeys.contains(key))
            return controlError(QStringLiteral("Clave desconocida: %1 (%2).")
                                    .arg(key, kScheduleKeys.join(QStringLiteral(", "))));
    }
    // In the order of the dialog's controls: the type first, since it sets what the others may hold.
    for (const QString& key : kScheduleKeys) {
        if (!settings.contains(key))
            continue;
        const QString value = argumentText(settings.value(key));
        if (key == QStringLiteral("type")) {
            const int type = entryNamed(BackupEditor::typeNames(), value);
            if (type < 0)
                return controlError(
                    QStringLiteral("Tipo desconocido: %1 (Inactiva, Diaria, Semanal).").arg(value));
            editor.selectType(type);
        } else if (key == QStringLiteral("database")) {
            const int database = entryNamed(editor.databases(), value);
            if (database < 0)
                return controlError(QStringLiteral("La base de datos [%1] no está en la lista.").arg(value));
            editor.selectDatabase(database);
        } else if (key == QStringLiteral("day")) {
            const int day = entryNamed(BackupEditor::dayNames(), value);
            if (day < 0)
                return controlError(QStringLiteral("Día desconocido: %1.").arg(value));
            editor.selectDay(day);
        } else if (key == QStringLiteral("hour")) {
            editor.setHourText(value);
        } else if (key == QStringLiteral("minute")) {
            editor.setMinuteText(value);
        } else {
            editor.setFileText(value);
        }
    }
    if (!editor.accept())
        return refused(call.op, QStringLiteral("La copia programada no se ha guardado."));
    // The dialog closes on a failed save, told in a box; a caller must not read it as stored.
    if (const Status& saved = editor.lastSave(); !saved)
        return controlError(QStringLiteral("La copia programada no se ha guardado: %1").arg(saved.error()));
    m_core.reloadSchedules();
    return success({{QStringLiteral("backup"), scheduleJson(index)}});
}

QJsonObject ControlCommands::backupRun(Call& call) {
    const int index = call.arguments.value(QStringLiteral("index")).toInt() - 1;
    if (index < 0 || index >= kBackupScheduleCount)
        return controlError(QStringLiteral("La copia programada debe ser 1, 2 o 3."));
    const BackupSchedule& schedule = m_core.schedules()[size_t(index)];
    if (schedule.Type == BackupEditor::kInactive || schedule.OutputFile.isEmpty())
        return controlError(QStringLiteral("La copia programada %1 está inactiva.").arg(index + 1));
    BackupScheduler& scheduler = m_core.backups();
    if (!scheduler.run(schedule.OutputFile, schedule.DataBase))
        return controlError(QStringLiteral("Ya hay una copia de seguridad en curso."));
    // The reply waits for the end of the copy, which runs beside the session service.
    ControlPeer& peer = call.peer;
    QObject::connect(
        &scheduler, &BackupScheduler::backupFinished, peer.context(),
        [&peer](bool ok) {
            peer.send(
                ok ? success()
                   : controlError(QStringLiteral("La copia de seguridad ha fallado; vea el registro.")));
            peer.finish();
        },
        Qt::SingleShotConnection);
    peer.keepOpen();
    return {};
}

WebUsers ControlCommands::webUsers() const {
    return WebUsers(QDir(m_core.programFolder()).filePath(kWebUsersFileName));
}

namespace {
// A missing name would read as the empty one, which is no user's.
QJsonObject missingName() {
    return controlError(QStringLiteral("Falta el nombre del usuario (\"name\")."));
}
} // namespace

// The password comes in the request, never into the event log (the request's description leaves
// it out). The reply comes once the hash is made and stored.
QJsonObject ControlCommands::webUserAdd(Call& call) {
    const QString name = call.arguments.value(QStringLiteral("name")).toString();
    const QJsonValue password = call.arguments.value(QStringLiteral("password"));
    if (name.isEmpty())
        return missingName();
    if (!password.isString())
        return controlError(QStringLiteral("Falta la contraseña (\"password\")."));
    for (const QString& problem :
         {WebUsers::nameProblem(name), WebUsers::passwordProblem(password.toString())}) {
        if (!problem.isEmpty())
            return controlError(problem);
    }
    // A file that cannot take the user is told before the hash is paid for.
    if (const Result<QStringList> names = webUsers().names(); !names)
        return controlError(names.error());
    if (m_pendingHashes >= kMaxPendingHashes)
        return controlError(
            QStringLiteral("Hay demasiadas altas de usuarios web en curso; inténtelo más tarde."));
    storeWhenHashed(name, password.toString(), call.peer);
    return {};
}

// The hash takes a tenth of a second of a processor: it is made on a thread of its own, so that
// the sessions and the other callers are not kept waiting, and the file is written here, on the
// event loop, once it is done. A caller that goes meanwhile takes its add with it.
void ControlCommands::storeWhenHashed(const QString& name, const QString& password, ControlPeer& peer) {
    ++m_pendingHashes;
    peer.replyLater();
    auto* hashing = new QFutureWatcher<QByteArray>(&m_owner);
    const QPointer<QObject> caller = peer.context();
    QObject::connect(hashing, &QFutureWatcherBase::finished, hashing, [this, hashing, caller, &peer, name] {
        --m_pendingHashes;
        hashing->deleteLater();
        if (!caller)
            return;
        const Status stored = webUsers().store(name, hashing->result());
        peer.send(stored ? success() : controlError(stored.error()));
    });
    hashing->setFuture(
        QtConcurrent::run(&m_hashing, [password] { return WebUsers::hashPassword(password); }));
}

QJsonObject ControlCommands::webUserRemove(Call& call) {
    const QString name = call.arguments.value(QStringLiteral("name")).toString();
    if (name.isEmpty())
        return missingName();
    const Status removed = webUsers().remove(name);
    return removed ? success() : controlError(removed.error());
}

QJsonObject ControlCommands::webUserList(Call&) {
    const Result<QStringList> names = webUsers().names();
    if (!names)
        return controlError(names.error());
    return success({{QStringLiteral("users"), QJsonArray::fromStringList(*names)}});
}

} // namespace osk
