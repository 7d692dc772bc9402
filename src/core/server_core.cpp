#include "core/server_core.h"

#include "backup/backup_schedule.h"
#include "common/operator.h"
#include "config/settings_commands.h"
#include "core/engine_factory.h"
#include "database/engine.h"

#include <QCoreApplication>
#include <QDir>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QScopedValueRollback>
#include <future>
#include <thread>

namespace osk {

namespace {
const QString kCaptionStarted = QStringLiteral("Osk Server - Iniciado");
const QString kCaptionStopped = QStringLiteral("Osk Server - Detenido");

std::unique_ptr<Engine> engineFromSettings(const QString& programFolder) {
    const ProfileFile settings = ProfileFile::inFolder(programFolder, kSettingsFileName);
    return makeEngine(chooseEngine(settings), programFolder, settings.read(kMainSection, kSqlServerKey));
}
} // namespace

QString localIpv4Address() {
    QString loopback;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        if (!address.isLoopback())
            return address.toString();
        loopback = address.toString();
    }
    return loopback;
}

ServerCore::ServerCore(QString programFolder, const Clock& clock, Operator& op, QObject* parent)
    : ServerCore(programFolder, engineFromSettings(programFolder), clock, op, parent) {}

ServerCore::ServerCore(QString programFolder, std::unique_ptr<Engine> engine, const Clock& clock,
                       Operator& op, QObject* parent)
    : QObject(parent)
    , m_programFolder(std::move(programFolder))
    , m_clock(clock)
    , m_relay(op)
    , m_settingsFile(ProfileFile::inFolder(m_programFolder, kSettingsFileName))
    , m_log(clock, m_operator, m_programFolder)
    , m_engine(std::move(engine))
    , m_admin(*m_engine, m_log, m_operator, m_databases)
    , m_session(clock, m_log, readMaxUsers(m_settingsFile))
    , m_backups(*m_engine, m_log, clock, m_waitDialog)
    , m_metrics(m_session, m_backups, m_log, clock)
    , m_traffic([this] { return m_session.lstUsers().count(); }, [this] { return m_session.receivedBytes(); })
    , m_modules(m_programFolder, computerName(), m_operator, m_launcher)
    , m_caption(kCaptionStopped) {
    // Before anything is logged, so that an earlier run's unsaved lines come first.
    m_log.openJournal();
    // A precise timer keeps the interval just under a minute, so that no minute goes without a tick.
    m_tmrBackup.setTimerType(Qt::PreciseTimer);
    m_tmrBackup.setInterval(kBackupCheckIntervalMs);
    connect(&m_tmrBackup, &QTimer::timeout, &m_backups, &BackupScheduler::check);
}

ServerCore::~ServerCore() {
    // A backup that would not stop, or a connection attempt still waiting for its login, runs on
    // the engine; the process ends around it.
    if (m_backups.hasAbandonedWorker() || m_engineHeldByAttempt)
        (void)m_engine.release();
}

Status ServerCore::saveLogAtExit() {
    m_backups.stopForExit(kBackupStopWait);
    return m_log.saveAtExit();
}

Status ServerCore::AbreConexion() {
    Status opened = Status::failure(QString());
    for (int attempt = 1; attempt <= kConnectionAttempts && !opened; ++attempt) {
        QCoreApplication::processEvents();
        opened = m_engine->openPrincipal();
    }
    return opened;
}

Status ServerCore::AbreConexion(const std::function<bool()>& stopRequested) {
    Status opened = Status::failure(QString());
    for (int attempt = 1; attempt <= kConnectionAttempts && !opened; ++attempt) {
        std::optional<Status> attempted = openPrincipalUnlessStopped(stopRequested);
        if (!attempted)
            return Status::failure(QString());
        opened = std::move(*attempted);
    }
    return opened;
}

std::optional<Status> ServerCore::openPrincipalUnlessStopped(const std::function<bool()>& stopRequested) {
    constexpr auto kStopCheckInterval = std::chrono::milliseconds(20);
    QCoreApplication::processEvents();
    if (stopRequested())
        return std::nullopt;
    // The promise is shared with the thread, which may outlive this call and the core.
    auto outcome = std::make_shared<std::promise<Status>>();
    std::future<Status> done = outcome->get_future();
    std::thread([engine = m_engine.get(), outcome] { outcome->set_value(engine->openPrincipal()); }).detach();
    while (done.wait_for(kStopCheckInterval) != std::future_status::ready) {
        QCoreApplication::processEvents();
        if (stopRequested()) {
            m_engineHeldByAttempt = true;
            return std::nullopt;
        }
    }
    return done.get();
}

bool ServerCore::load() {
    m_commands.setEnabled(Command::mnuDetenerServicio, false);
    setCaption(kCaptionStopped);
    m_session.tmrMain().stop();

    // The routine's trap: its message, then the rest of the load with what it loaded before.
    m_settings = MainSettings();
    const Status loaded = CargaValores(m_settingsFile, m_settings);
    if (!loaded)
        m_operator.showMessage(loaded.error(), MessageIcon::Critical, kDefaultTitle);
    m_autoStartChecked = m_settings.autoStart;
    m_minStartChecked = m_settings.minStart;
    emit checkMarksChanged();
    reloadSchedules();
    if (!m_engine->isLocal(m_settings.computerName)) {
        for (Command command :
             {Command::mnuDBBackup, Command::mnuAutoBackup, Command::mnuDBDownload, Command::mnuDBUpload})
            m_commands.setEnabled(command, false);
    }
    m_localAddress = localIpv4Address();
    m_localHostName = QHostInfo::localHostName();
    setTrayImage(TrayImage::Stop);
    emit labelsChanged();

    m_admin.CargaBasesDatos(m_settings.port, m_settings.computerName);

    if (m_localAddress.isEmpty()) {
        m_operator.showMessage(
            QStringLiteral("Ha sido imposible determinar la dirección IP de este servidor. "
                           "Compruebe que la configuración sea correcto y que esté conectado a "
                           "la red."),
            MessageIcon::Exclamation, kDefaultTitle);
        m_commands.setEnabled(Command::mnuIniciarServicio, false);
    }
    return loaded.ok();
}

bool ServerCore::startService() {
    // The port command has no lower bound; a port the system cannot listen on is refused here.
    if (m_settings.port < 1 || m_settings.port > 65535) {
        m_log.AddLog(QStringLiteral("Puerto incorrecto."), LogKind::Error);
        return false;
    }
    if (!m_admin.CompruebaDatos(m_settings.computerName, m_localAddress))
        return false;
    setTrayImage(TrayImage::Start);
    m_log.AddLog(QStringLiteral("Inicializando Entorno..."), LogKind::Info);

    switch (m_session.listen(m_settings.port)) {
    case SessionServer::ListenOutcome::Listening:
        break;
    case SessionServer::ListenOutcome::AddressInUse:
        setTrayImage(TrayImage::Stop);
        m_log.AddLog(QStringLiteral("Puerto incorrecto."), LogKind::Error);
        m_operator.showMessage(
            QStringLiteral("El puerto %1 ya está siendo utilizado por algún otro programa. Elija "
                           "un puerto distinto e inténtelo de nuevo.")
                .arg(m_settings.port),
            MessageIcon::Information, kDefaultTitle);
        return false;
    case SessionServer::ListenOutcome::Failed:
        m_operator.showMessage(QStringLiteral("mnuIniciarServicio_Click: %1-%2")
                                   .arg(m_session.listenErrorNumber())
                                   .arg(m_session.listenError()),
                               MessageIcon::Critical, kDefaultTitle);
        return false;
    }

    m_tmrBackup.start();
    m_session.tmrMain().start();
    setStartedCommands(true);
    m_log.AddLog(QStringLiteral("Inicialización Completada."), LogKind::Done);
    m_log.AddLog(QStringLiteral("Servidor activo."), LogKind::Done);
    m_log.AddLog(QStringLiteral("Esperando conexiones..."), LogKind::Info);
    setCaption(kCaptionStarted);
    return true;
}

void ServerCore::stopService() {
    m_log.AddLog(QStringLiteral("Cerrando conexiones..."), LogKind::Info);
    setTrayImage(TrayImage::Stop);
    m_session.closeAll();
    m_session.tmrMain().stop();
    m_tmrBackup.stop();
    setStartedCommands(false);
    m_session.resetBytesLabel();
    m_log.AddLog(QStringLiteral("Conexiones cerradas."), LogKind::Done);
    m_log.AddLog(QStringLiteral("Servidor inactivo."), LogKind::Done);
    setCaption(kCaptionStopped);
}

void ServerCore::setStartedCommands(bool started) {
    for (Command command : {Command::mnuSQL, Command::mnuIniciarServicio, Command::mnuSalir,
                            Command::mnuServicioPuerto, Command::mnuDBActualizar, Command::mnuAutoBackup})
        m_commands.setEnabled(command, !started);
    m_commands.setEnabled(Command::mnuDetenerServicio, started);
    if (started) {
        // The disk-bound commands follow where the databases are; the stop leaves them as they are.
        const bool local = m_engine->isLocal(m_settings.computerName);
        m_commands.setEnabled(Command::mnuDBDownload, local);
        m_commands.setEnabled(Command::mnuDBUpload, local);
    }
}

void ServerCore::reloadSchedules() {
    // The embedded engine counts as a SQL Server on this computer; a SQL Server counts when its
    // name is "(LOCAL)" or this computer's.
    const bool serverIsLocal = m_engine->isLocal(m_settings.computerName) ||
                               isLocalSqlServerName(m_settings.sqlServerName, m_settings.computerName);
    m_backups.load(m_settingsFile, serverIsLocal, m_operator);
    if (m_engine->writesBackupFiles()) {
        for (const QString& problem : outputFolderProblems(m_backups.schedules()))
            m_log.AddLog(problem, LogKind::Error);
    }
}

bool ServerCore::deleteDatabase(const QString& database) {
    return m_admin.mnuDBDelete(database, m_settings.port, m_settings.computerName);
}

QString ServerCore::clientsUpdateRefusal() const {
    if (!m_updatingClients)
        return {};
    return QStringLiteral("Ya se están actualizando los ejecutables de %1: espere a que termine.")
        .arg(*m_updatingClients);
}

Result<QString> ServerCore::updateClients(const QString& database) {
    // The copy lets the event loop run between its pieces: another administrator could ask for a
    // second one meanwhile, which would wait on the first's hold of the database with every session.
    if (const QString busy = clientsUpdateRefusal(); !busy.isEmpty())
        return Result<QString>::failure(busy);
    const QScopedValueRollback updating(m_updatingClients, std::optional<QString>(database));
    ClientDistribution distribution(m_programFolder, *m_engine, m_operator, *m_progress);
    const Result<QString> outcome = distribution.ActualizaClientes(database);
    if (outcome)
        m_log.AddLog(*outcome, LogKind::Done);
    else
        m_log.AddLog(outcome.error(), LogKind::Error);
    // Refreshed only: the server data is not written again.
    m_admin.CargaBasesDatos(0, m_settings.computerName);
    return outcome;
}

void ServerCore::followUser(int row) {
    if (Status opened = m_session.openTracking(row); !opened)
        m_operator.showMessage(QStringLiteral("mnuUserLog_Click: ") + opened.error(), MessageIcon::Critical,
                               kDefaultTitle);
}

bool ServerCore::updateDatabases() {
    // After an error the operator has seen its box; the list was not brought up to date.
    if (!m_admin.CargaBasesDatos(m_settings.port, m_settings.computerName))
        return false;
    m_log.AddLog(QStringLiteral("Bases de datos actualizadas correctamente."), LogKind::Done);
    return true;
}

void ServerCore::mnuServicioPuerto() {
    const std::optional<int> port = SettingsCommands(m_settingsFile, m_operator).askPort(m_settings.port);
    if (!port)
        return;
    m_settings.port = *port;
    emit labelsChanged();
    m_admin.CargaBasesDatos(m_settings.port, m_settings.computerName);
}

void ServerCore::mnuSQL() {
    SettingsCommands(m_settingsFile, m_operator).changeSqlServer(m_settings.sqlServerName);
}

void ServerCore::mnuAutoStart() {
    m_autoStartChecked = SettingsCommands(m_settingsFile, m_operator).toggleAutoStart(m_autoStartChecked);
    emit checkMarksChanged();
}

void ServerCore::mnuMinStart() {
    m_minStartChecked = SettingsCommands(m_settingsFile, m_operator).toggleMinStart(m_minStartChecked);
    emit checkMarksChanged();
}

QString ServerCore::portLabel() const {
    return QStringLiteral("Puerto: %1").arg(m_settings.port);
}

QString ServerCore::sqlServerLabel() const {
    return QStringLiteral(" SQLServer: [") + m_engine->serverDisplayName() + QLatin1Char(']');
}

QString ServerCore::ipLabel() const {
    return QStringLiteral(" IP: ") + m_localAddress;
}

QString ServerCore::hostLabel() const {
    return QStringLiteral(" Host: [") + m_localHostName + QLatin1Char(']');
}

void ServerCore::setCaption(const QString& caption) {
    if (m_caption == caption)
        return;
    m_caption = caption;
    emit captionChanged(m_caption);
}

void ServerCore::setTrayImage(TrayImage image) {
    if (m_trayImage == image)
        return;
    m_trayImage = image;
    emit trayImageChanged(image);
}

} // namespace osk
