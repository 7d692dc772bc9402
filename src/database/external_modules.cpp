#include "database/external_modules.h"

#include "common/operator.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace osk {

namespace {
const QString kBackupModule = QStringLiteral("OskDBBackup.exe");
const QString kSecurityModule = QStringLiteral("OskSecurity.exe");
const QString kDownloadModule = QStringLiteral("OskDownload.exe");
const QString kUploadModule = QStringLiteral("../Osk tools/OskFtpUpload.exe");
} // namespace

bool ProcessLauncher::startDetached(const QString& program, const QStringList& arguments,
                                    const QString& workingFolder) {
    return QProcess::startDetached(program, arguments, workingFolder);
}

ExternalModules::ExternalModules(QString programFolder, QString computerName, Operator& op,
                                 Launcher& launcher)
    : m_programFolder(std::move(programFolder))
    , m_computerName(std::move(computerName))
    , m_operator(op)
    , m_launcher(launcher) {}

QString ExternalModules::modulePath(const QString& relative) const {
    return QDir::toNativeSeparators(QDir(m_programFolder).filePath(relative));
}

void ExternalModules::mnuDBBackup() {
    startOrReportMissing(kBackupModule, {QStringLiteral("1")});
}

void ExternalModules::mnuDBSecurity(const QString& database) {
    // One argument: the computer and the database joined by a bar, with no blank around it.
    startOrReportMissing(kSecurityModule, {m_computerName + QLatin1Char('|') + database});
}

void ExternalModules::mnuSecurity() {
    startOrReportMissing(kSecurityModule, {m_computerName});
}

bool ExternalModules::mnuDBDownload() {
    const QString path = modulePath(kDownloadModule);
    if (!QFileInfo(path).isFile()) {
        m_operator.showMessage(
            QStringLiteral("No se encuentra la aplicación Osk Download en el directorio de Osk "
                           "Server.\r\n\r\nPara actualizar su base de datos contacte con su "
                           "distribuidor."),
            MessageIcon::None, kDefaultTitle);
        return false;
    }
    const bool endNow = m_operator.ask(
        QStringLiteral(
            "El proceso de descarga durara varios minutos, dependiendo de la velocidad de conexión a "
            "internet.\r\nRecuerde que deberá cerrar la aplicación para poder iniciar la "
            "actualización.\r\n¿Desea cerrarla ahora?"),
        MessageIcon::Question, kDefaultTitle);
    // The file found is the file started: on a case-sensitive system another spelling of its name
    // would not start anything.
    start(path, {}, m_programFolder);
    return endNow;
}

void ExternalModules::mnuDBUpload() {
    const QString path = modulePath(kUploadModule);
    if (!QFileInfo(path).isFile()) {
        m_operator.showMessage(
            QStringLiteral("No se encuentra el componente OskFtpUpload.exe en el directorio Osk "
                           "tools.\r\n\r\nDebe tener instalado este componente (incluido en el "
                           "paquete de Osk Server) para subir su base de datos al Ftp de su "
                           "distribuidor."),
            MessageIcon::Information, kDefaultTitle);
        return;
    }
    start(path, {}, QDir::rootPath());
}

void ExternalModules::startOrReportMissing(const QString& file, const QStringList& arguments) {
    const QString path = modulePath(file);
    if (!QFileInfo(path).isFile()) {
        m_operator.showMessage(QStringLiteral("Módulo no disponible ('") + path + QStringLiteral("')"),
                               MessageIcon::Information, kDefaultTitle);
        return;
    }
    start(path, arguments, m_programFolder);
}

// A module that is there but cannot be started (not executable, wrong format) is reported; the
// server carries on either way.
void ExternalModules::start(const QString& path, const QStringList& arguments, const QString& workingFolder) {
    if (!m_launcher.startDetached(path, arguments, workingFolder))
        m_operator.showMessage(QStringLiteral("No se ha podido iniciar el módulo ('") + path +
                                   QStringLiteral("')"),
                               MessageIcon::Exclamation, kDefaultTitle);
}

} // namespace osk
