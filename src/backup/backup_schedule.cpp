#include "backup/backup_schedule.h"

#include "common/operator.h"
#include "common/owned_file.h"
#include "common/program_files.h"
#include "common/result.h"
#include "common/vb.h"
#include "config/profile_file.h"
#include "database/backup_file.h"
#include "database/engine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRegularExpression>
#include <algorithm>
#include <sys/stat.h>
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

// A path as written (absolute, "." and ".." dropped by name) and as the system resolves it: a link
// and what it leads to are both the file it stands for.
QStringList bothForms(const QString& path) {
    return {QDir::cleanPath(QFileInfo(path).absoluteFilePath()), backup_file::resolvedPath(path)};
}

// The same folder, and the same name as Windows matches names and as the settings file is found
// in its folder.
bool sameFile(const QString& a, const QString& b) {
    const QFileInfo first(a);
    const QFileInfo second(b);
    return first.path() == second.path() &&
           first.fileName().compare(second.fileName(), Qt::CaseInsensitive) == 0;
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

QString storedOutputFile(const QString& text) {
    // The settings file's own reading: ASCII blanks only (a no-break space is part of a name), then
    // one pair of quotes, then the length a value holds.
    const auto blank = [](QChar ch) {
        return ch == u' ' || ch == u'\t' || ch == u'\r' || ch == u'\v' || ch == u'\f';
    };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    QStringView value = QStringView(text).sliced(begin, end - begin);
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front())
        value = value.sliced(1, value.size() - 2);
    return value.first(std::min<qsizetype>(value.size(), ProfileFile::kMaxValueLength)).toString();
}

Status checkBackupOutput(const QString& outputFile, const Engine& engine, const QString& settingsPath) {
    if (outputFile.isEmpty())
        return Status::failure(backup_file::kNoFileName);
    const QString shown = QDir::toNativeSeparators(outputFile);
    const QString resolved = backup_file::resolvedPath(outputFile);
    if (engine.holdsFile(resolved))
        return Status::failure(
            QStringLiteral("El archivo de copia %1 es una base de datos del servidor.").arg(shown));
    const QStringList output = bothForms(outputFile);
    const QString programFolder = QFileInfo(settingsPath).absolutePath();
    // The socket where this process listens (the service manager's runtime folder) and the program
    // folder's own, which a console on the folder uses; the lock a running copy holds.
    QStringList own;
    for (const QString& file : {settingsPath, QDir(programFolder).filePath(kInstanceLockName),
                                QDir(programFolder).filePath(kWebUsersFileName),
                                folderControlSocketPath(programFolder), controlSocketPath(programFolder)})
        own << bothForms(file);
    const QStringList logFolders = bothForms(QDir(programFolder).filePath(QStringLiteral("Log")));
    bool ownFile = false;
    for (const QString& path : output) {
        const QFileInfo written(path);
        const QString name = written.fileName();
        for (const QString& file : own)
            ownFile = ownFile || sameFile(path, file);
        ownFile = ownFile || (logFolders.contains(written.path()) &&
                              (name.compare(QLatin1String("eventlog.journal"), Qt::CaseInsensitive) == 0 ||
                               name.endsWith(QLatin1String(".log"), Qt::CaseInsensitive)));
    }
    if (ownFile)
        return Status::failure(
            QStringLiteral("El archivo de copia %1 es un archivo del servidor.").arg(shown));
    // The backup renames its file over the name: whatever is there now is replaced, not written into.
    struct stat status {};
    if (::lstat(QFile::encodeName(outputFile).constData(), &status) != 0 || S_ISREG(status.st_mode))
        return {};
    return Status::failure(
        QStringLiteral("El archivo de copia %1 %2.").arg(shown, fileKindReason(status.st_mode)));
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
