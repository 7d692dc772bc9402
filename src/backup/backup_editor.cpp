#include "backup/backup_editor.h"

#include "common/operator.h"
#include "common/vb.h"
#include "config/profile_file.h"
#include "database/engine.h"

#include <optional>

namespace osk {

namespace {

const QString kDatabaseListError = QStringLiteral("CargaComboBDERROR");
const QString kSaveError = QStringLiteral("Imposible Guardar parámetros.");
const QString kFileMissing = QStringLiteral("Debe especificar un archivo para realizar la copia.");
const QString kBadHour = QStringLiteral("Información de hora incorrecta.");
const QString kBadMinute = QStringLiteral("Información de minuto incorrecta.");
const QString kEmptyTime = QStringLiteral("00");

const QString kFileSuffix = QStringLiteral("obk");
const QString kFileFilter = QStringLiteral("Archivos de copia de seguridad (*.obk)|*.obk");

// A text box's number when the whole text is one and it lies within [0, highest].
std::optional<int> timePart(const QString& text, int highest) {
    const std::optional<double> number = vb::toNumber(text);
    if (!number)
        return std::nullopt;
    const std::optional<int16_t> value = vb::toInt16(*number);
    if (!value || *value < 0 || *value > highest)
        return std::nullopt;
    return int(*value);
}

QString twoDigits(int value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

// The cboType entry of a record: every type the check runs as weekly is shown as weekly.
int typeEntry(int32_t type) {
    if (type == 0)
        return BackupEditor::kInactive;
    return type == 1 ? BackupEditor::kDaily : BackupEditor::kWeekly;
}

} // namespace

const QStringList& BackupEditor::backupNames() {
    static const QStringList names = {QStringLiteral("Copia de Seguridad 1"),
                                      QStringLiteral("Copia de Seguridad 2"),
                                      QStringLiteral("Copia de Seguridad 3")};
    return names;
}

const QStringList& BackupEditor::typeNames() {
    static const QStringList names = {QStringLiteral("Inactiva"), QStringLiteral("Diaria"),
                                      QStringLiteral("Semanal")};
    return names;
}

const QStringList& BackupEditor::dayNames() {
    static const QStringList names = {QStringLiteral("Lunes"),     QStringLiteral("Martes"),
                                      QStringLiteral("Miercoles"), QStringLiteral("Jueves"),
                                      QStringLiteral("Viernes"),   QStringLiteral("Sábado"),
                                      QStringLiteral("Domingo")};
    return names;
}

BackupEditor::BackupEditor(Engine& engine, ProfileFile& settings, Operator& op, QObject* parent)
    : QObject(parent)
    , m_engine(engine)
    , m_settings(settings)
    , m_operator(op) {}

void BackupEditor::load() {
    m_schedules = {};
    m_shown = -1;
    m_controls = {};
    applyType(kInactive);
    fillDatabases();
    // The editor is opened only where backups can run, so there is no test of where the server is.
    m_schedules = loadBackupSchedules(m_settings, true, m_operator);
    selectBackup(0);
    emit controlsChanged();
}

void BackupEditor::fillDatabases() {
    m_databases.clear();
    const Result<QStringList> names = m_engine.listProductDatabases();
    if (names)
        m_databases = *names;
    else
        m_operator.showMessage(kDatabaseListError + names.error(), MessageIcon::Exclamation, kDefaultTitle);
    m_controls.database = m_databases.isEmpty() ? -1 : 0;
}

void BackupEditor::selectBackup(int index) {
    if (index < 0 || index >= kBackupScheduleCount || index == m_shown)
        return;
    const bool refused = m_shown != -1 && (!validateTime() || outputRefused());
    if (!refused && m_shown != -1)
        storeControls(m_shown);
    if (refused || (m_controls.type != kInactive && storedOutputFile(m_controls.file).isEmpty())) {
        if (!refused)
            m_operator.showMessage(kFileMissing, MessageIcon::Information, kDefaultTitle);
        // The list has moved to the new entry already; it goes back to the schedule on screen.
        m_controls.backup = m_shown;
        emit controlsChanged();
        return;
    }
    showSchedule(index);
    m_shown = index;
    m_controls.backup = index;
    emit controlsChanged();
}

void BackupEditor::selectType(int index) {
    if (index < 0 || index >= typeNames().size())
        return;
    applyType(index);
    emit controlsChanged();
}

void BackupEditor::selectDatabase(int index) {
    m_controls.database = index >= 0 && index < m_databases.size() ? index : -1;
    emit controlsChanged();
}

void BackupEditor::selectDay(int index) {
    m_controls.day = m_controls.dayListFilled && index >= 0 && index < dayNames().size() ? index : -1;
    emit controlsChanged();
}

void BackupEditor::setHourText(const QString& text) {
    m_controls.hour = text;
    emit controlsChanged();
}

void BackupEditor::setMinuteText(const QString& text) {
    m_controls.minute = text;
    emit controlsChanged();
}

void BackupEditor::setFileText(const QString& text) {
    m_controls.file = text;
    emit controlsChanged();
}

bool BackupEditor::validateHour() {
    if (timePart(m_controls.hour, 23))
        return true;
    m_operator.showMessage(kBadHour, MessageIcon::Information, kDefaultTitle);
    return false;
}

bool BackupEditor::validateMinute() {
    if (timePart(m_controls.minute, 59))
        return true;
    m_operator.showMessage(kBadMinute, MessageIcon::Information, kDefaultTitle);
    return false;
}

// The time boxes are checked only while they are enabled, that is while the schedule on screen
// is active; an inactive one keeps whatever they show.
bool BackupEditor::validateTime() {
    return !m_controls.detailsEnabled || (validateHour() && validateMinute());
}

void BackupEditor::chooseFile() {
    if (!m_controls.detailsEnabled)
        return;
    const QString chosen = m_operator.askSaveFile(kFileSuffix, kFileFilter, m_controls.file);
    if (chosen.isEmpty())
        return;
    m_controls.file = chosen;
    emit controlsChanged();
}

bool BackupEditor::accept() {
    if (!validateTime() || outputRefused())
        return false;
    if (m_shown != -1)
        storeControls(m_shown);
    m_lastSave = saveBackupSchedules(m_settings, m_schedules);
    if (!m_lastSave) {
        m_operator.showMessage(kSaveError + QStringLiteral("\r\n\r\n") + m_lastSave.error(),
                               MessageIcon::Information, kDefaultTitle);
    }
    warnAboutOutputFolders();
    return true;
}

// An active schedule on screen whose file the backup must not replace: told, and not stored. The
// file judged is the one the settings file will give back, blanks and quotes dropped.
bool BackupEditor::outputRefused() {
    const QString file = storedOutputFile(m_controls.file);
    if (m_controls.type == kInactive || file.isEmpty())
        return false;
    const Status allowed = checkBackupOutput(file, m_engine, m_settings.path());
    if (!allowed)
        m_operator.showMessage(allowed.error(), MessageIcon::Exclamation, kDefaultTitle);
    return !allowed;
}

// Said after the save, which stands: the folder may yet be made, or opened to the service.
void BackupEditor::warnAboutOutputFolders() {
    if (!m_engine.writesBackupFiles())
        return;
    for (const QString& problem : outputFolderProblems(m_schedules))
        m_operator.showMessage(problem, MessageIcon::Exclamation, kDefaultTitle);
}

// Called only once the time boxes of an active schedule have validated.
void BackupEditor::storeControls(int index) {
    BackupSchedule& schedule = m_schedules[size_t(index)];
    schedule.Type = m_controls.type;
    if (m_controls.type == kInactive)
        return;
    schedule.Hour = QTime(*timePart(m_controls.hour, 23), *timePart(m_controls.minute, 59));
    if (m_controls.type == kWeekly && m_controls.day != -1)
        schedule.Day = uint8_t(m_controls.day);
    schedule.OutputFile = storedOutputFile(m_controls.file);
    if (m_controls.database != -1)
        schedule.DataBase = m_databases[m_controls.database];
}

void BackupEditor::showSchedule(int index) {
    const BackupSchedule& schedule = m_schedules[size_t(index)];
    applyType(typeEntry(schedule.Type));
    if (m_controls.type == kInactive)
        return;
    if (m_controls.type == kWeekly)
        m_controls.day = schedule.Day < dayNames().size() ? int(schedule.Day) : -1;
    m_controls.hour = twoDigits(schedule.Hour.hour());
    m_controls.minute = twoDigits(schedule.Hour.minute());
    m_controls.file = schedule.OutputFile;
    for (int i = 0; i < m_databases.size(); ++i) {
        if (m_databases[i].compare(schedule.DataBase, Qt::CaseInsensitive) == 0)
            m_controls.database = i;
    }
}

void BackupEditor::applyType(int type) {
    m_controls.type = type;
    if (type == kInactive) {
        m_controls.detailsEnabled = false;
        m_controls.dayEnabled = false;
        return;
    }
    m_controls.detailsEnabled = true;
    m_controls.database = m_databases.isEmpty() ? -1 : 0;
    if (type == kDaily) {
        m_controls.day = -1;
        m_controls.dayEnabled = false;
    } else {
        m_controls.dayListFilled = true;
        m_controls.day = 0;
        m_controls.dayEnabled = true;
    }
    if (m_controls.hour.isEmpty())
        m_controls.hour = kEmptyTime;
    if (m_controls.minute.isEmpty())
        m_controls.minute = kEmptyTime;
}

} // namespace osk
