#include "backup/backup_schedule.h"

#include "common/operator.h"
#include "common/result.h"
#include "common/vb.h"
#include "config/profile_file.h"
#include "database/backup_file.h"
#include "database/engine.h"

#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QRegularExpression>
#include <utility>

namespace osk {

namespace {

const QString kTypeKey = QStringLiteral("Type");
const QString kDataBaseKey = QStringLiteral("DataBase");
// The editor writes it as "OutPutFile"; keys are matched without regard to case.
const QString kOutputFileKey = QStringLiteral("OutputFile");
const QString kDayKey = QStringLiteral("Day");
const QString kHourKey = QStringLiteral("Hour");

// The editor's spelling of the output-file key.
const QString kOutputFileWriteKey = QStringLiteral("OutPutFile");

const QString kLoadError = QStringLiteral("Imposible cargar parámetros.");
// The descriptions the operator has always read for the two ways a conversion fails.
const QString kTypeMismatch = QStringLiteral("No coinciden los tipos");
const QString kOverflow = QStringLiteral("Desbordamiento");
const QString kFolderNotWritable =
    QStringLiteral("No se puede escribir en la carpeta %1: la copia de seguridad no podrá guardarse.");

// "Type": CInt of the text. A text that is no number ("diaria", "2x") is a type mismatch, not an
// inactive schedule.
Result<int32_t> typeFrom(const QString& text) {
    const std::optional<double> number = vb::toNumber(text);
    if (!number)
        return Result<int32_t>::failure(kTypeMismatch);
    const std::optional<int16_t> value = vb::toInt16(*number);
    if (!value)
        return Result<int32_t>::failure(kOverflow);
    return int32_t(*value);
}

// "Day": CByte of the text, rounded (halves to even) into 0..255.
Result<uint8_t> dayFrom(const QString& text) {
    const std::optional<double> number = vb::toNumber(text);
    if (!number)
        return Result<uint8_t>::failure(kTypeMismatch);
    const std::optional<int16_t> value = vb::toInt16(*number);
    if (!value || *value < 0 || *value > 255)
        return Result<uint8_t>::failure(kOverflow);
    return uint8_t(*value);
}

// "Hour": a time of day as CDate reads one: hours, minutes and optional seconds of one or two
// digits each ("12:5" is five past twelve), on the 24-hour clock or with AM/PM.
Result<QTime> hourFrom(const QString& text) {
    static const QRegularExpression pattern(
        QStringLiteral("^\\s*([0-9]{1,2}):([0-9]{1,2})(?::([0-9]{1,2}))?\\s*(?:(AM|PM|A|P)\\s*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return Result<QTime>::failure(kTypeMismatch);
    int hour = match.captured(1).toInt();
    const int minute = match.captured(2).toInt();
    const int second = match.hasCaptured(3) ? match.captured(3).toInt() : 0;
    if (const QString half = match.captured(4).toUpper(); !half.isEmpty()) {
        if (hour > 12)
            return Result<QTime>::failure(kTypeMismatch);
        hour = hour % 12 + (half.startsWith(u'P') ? 12 : 0);
    }
    if (hour > 23 || minute > 59 || second > 59)
        return Result<QTime>::failure(kTypeMismatch);
    return QTime(hour, minute, second);
}

// Reads one section with a "Type" into the record, field by field in the documented order, so that
// a failure leaves the fields read before it in place.
Status readSchedule(const ProfileFile& file, const QString& section, const QString& typeText,
                    BackupSchedule& schedule) {
    const Result<int32_t> type = typeFrom(typeText);
    if (!type)
        return Status::failure(type.error());
    schedule.Type = *type;
    schedule.DataBase = file.read(section, kDataBaseKey);
    schedule.OutputFile = file.read(section, kOutputFileKey);
    const Result<uint8_t> day = dayFrom(file.read(section, kDayKey));
    if (!day)
        return Status::failure(day.error());
    schedule.Day = *day;
    const Result<QTime> hour = hourFrom(file.read(section, kHourKey));
    if (!hour)
        return Status::failure(hour.error());
    schedule.Hour = *hour;
    return {};
}

QString minuteText(const QTime& time) {
    return time.toString(u"HH:mm");
}

// The values of one section in the order they are written.
QList<std::pair<QString, QString>> sectionValues(const BackupSchedule& schedule) {
    if (schedule.Type == 0) {
        return {{kTypeKey, QStringLiteral("0")},
                {kDataBaseKey, QString()},
                {kOutputFileWriteKey, QString()},
                {kDayKey, QStringLiteral("0")},
                {kHourKey, QStringLiteral("00:00")}};
    }
    return {{kTypeKey, QString::number(schedule.Type)},
            {kDataBaseKey, schedule.DataBase},
            {kOutputFileWriteKey, schedule.OutputFile},
            {kDayKey, QString::number(schedule.Day)},
            {kHourKey, minuteText(schedule.Hour)}};
}

} // namespace

QString backupSection(int index) {
    return QStringLiteral("Backup%1").arg(index + 1);
}

bool isLocalSqlServerName(const QString& sqlServerName, const QString& computerName) {
    return sqlServerName.toUpper() == u"(LOCAL)" || sqlServerName.toUpper() == computerName.toUpper();
}

BackupSchedules loadBackupSchedules(const ProfileFile& file, bool serverIsLocal, Operator& op) {
    BackupSchedules schedules{};
    if (!serverIsLocal)
        return schedules;
    for (int i = 0; i < kBackupScheduleCount; ++i) {
        const QString section = backupSection(i);
        const QString type = file.read(section, kTypeKey);
        if (type.isEmpty())
            continue;
        const Status read = readSchedule(file, section, type, schedules[size_t(i)]);
        if (!read) {
            // What was read before the bad value would make a schedule nobody wrote (a weekly one
            // with no day runs on Mondays at 00:00): one that fails to load does not run.
            schedules[size_t(i)] = BackupSchedule{};
            op.showMessage(kLoadError + QStringLiteral("\r\n\r\n") + read.error(), MessageIcon::Information,
                           kDefaultTitle);
            break;
        }
    }
    return schedules;
}

QStringList outputFolderProblems(const BackupSchedules& schedules) {
    QStringList problems;
    for (int i = 0; i < kBackupScheduleCount; ++i) {
        const BackupSchedule& schedule = schedules[size_t(i)];
        if (schedule.Type == 0)
            continue;
        const QString prefix = QStringLiteral("Copia de Seguridad %1: ").arg(i + 1);
        if (schedule.OutputFile.isEmpty()) {
            problems << prefix + backup_file::kNoFileName;
            continue;
        }
        const QFileInfo folder(QFileInfo(schedule.OutputFile).absolutePath());
        if (folder.isDir() && folder.isWritable())
            continue;
        problems << prefix + kFolderNotWritable.arg(QDir::toNativeSeparators(folder.filePath()));
    }
    return problems;
}

Status saveBackupSchedules(ProfileFile& file, const BackupSchedules& schedules) {
    QList<ProfileFile::Entry> entries;
    for (int i = 0; i < kBackupScheduleCount; ++i) {
        const QString section = backupSection(i);
        for (const auto& [key, value] : sectionValues(schedules[size_t(i)]))
            entries.append({section, key, value});
    }
    if (const Status written = file.write(entries); !written) {
        return Status::failure(QStringLiteral("No se puede escribir el archivo '%1': %2")
                                   .arg(QDir::toNativeSeparators(file.path()), written.error()));
    }
    return {};
}

Status checkBackupOutput(const QString& outputFile, const Engine& engine, const QString& settingsPath) {
    if (outputFile.isEmpty())
        return Status::failure(backup_file::kNoFileName);
    const QString shown = QDir::toNativeSeparators(outputFile);
    const QString resolved = backup_file::resolvedPath(outputFile);
    if (engine.holdsFile(resolved))
        return Status::failure(
            QStringLiteral("El archivo de copia %1 es una base de datos del servidor.").arg(shown));
    const QFileInfo file(resolved);
    const QString folder = QDir::cleanPath(file.absolutePath());
    const QFileInfo settings(settingsPath);
    const QString programFolder = backup_file::resolvedPath(settings.absolutePath());
    const QString name = file.fileName();
    // Names as Windows matches them, and as the settings file is found in its folder.
    const bool ownFile =
        (folder == programFolder && name.compare(settings.fileName(), Qt::CaseInsensitive) == 0) ||
        (folder == backup_file::resolvedPath(QDir(programFolder).filePath(QStringLiteral("Log"))) &&
         (name.compare(QLatin1String("eventlog.journal"), Qt::CaseInsensitive) == 0 ||
          name.endsWith(QLatin1String(".log"), Qt::CaseInsensitive)));
    if (ownFile)
        return Status::failure(
            QStringLiteral("El archivo de copia %1 es un archivo del servidor.").arg(shown));
    return {};
}

std::optional<int> dueBackupSchedule(const BackupSchedules& schedules, const QDateTime& now) {
    // Texts are compared, not times, so that seconds never matter.
    const QString current = minuteText(now.time());
    const int weekday = now.date().dayOfWeek(); // Monday = 1 .. Sunday = 7
    for (int i = 0; i < kBackupScheduleCount; ++i) {
        const BackupSchedule& schedule = schedules[size_t(i)];
        if (schedule.Type == 0 || minuteText(schedule.Hour) != current)
            continue;
        if (schedule.Type == 1 || weekday == schedule.Day + 1)
            return i;
    }
    return std::nullopt;
}

} // namespace osk
