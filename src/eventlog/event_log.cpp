#include "eventlog/event_log.h"

#include "common/ansi_codec.h"
#include "common/clock.h"
#include "common/operator.h"
#include "common/vb.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace osk {

namespace {
const QByteArray kLineEnd = QByteArrayLiteral("\r\n");

QByteArray line(const QString& text) {
    return AnsiCodec::encode(text) + kLineEnd;
}

void letPendingEventsRun() {
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}
} // namespace

EventLog::EventLog(const Clock& clock, Operator& op, QString programFolder, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
    , m_operator(op)
    , m_programFolder(std::move(programFolder)) {}

void EventLog::AddLog(const QString& text, LogKind kind) {
    m_entries.push_back(
        {QLatin1Char('[') + vb::timeText(m_clock.now().time()) + QStringLiteral("]  ") + text, kind});
    emit entryAdded(m_entries.back());
}

QString EventLog::logFolder() const {
    return QDir(m_programFolder).filePath(QStringLiteral("Log"));
}

Status EventLog::save() {
    m_operator.setBusy(true);
    Status result = [this]() -> Status {
        if (!QDir().mkpath(logFolder()))
            return Status::failure(QStringLiteral("No se puede crear la carpeta %1.")
                                       .arg(QDir::toNativeSeparators(logFolder())));
        AddLog(QStringLiteral("Guardando registro de sucesos..."), LogKind::Done);
        const QDate today = m_clock.now().date();
        const QString path = QDir(logFolder()).filePath(vb::compactDateText(today) + QStringLiteral(".log"));
        Status written = writeBlock(path, vb::dateText(today));
        if (written)
            AddLog(QDir::toNativeSeparators(path) + QStringLiteral(" creado con éxito."), LogKind::Done);
        return written;
    }();
    m_operator.setBusy(false);
    if (!result)
        m_operator.showMessage(QStringLiteral("No se ha podido guardar el registro.\n") + result.error(),
                               MessageIcon::None, kDefaultTitle);
    return result;
}

// Appends one block. Lines logged while the block is written (the events that run between lines)
// are not part of it; they stay in the list for the next save.
Status EventLog::writeBlock(const QString& path, const QString& date) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return Status::failure(file.errorString());
    const auto fail = [&file] {
        return Status::failure(file.errorString());
    };

    if (file.write(kLineEnd + line(QStringLiteral("[BEGIN ") + date + QLatin1Char(']'))) < 0)
        return fail();
    const size_t count = m_entries.size();
    for (size_t i = 0; i < count; ++i) {
        if (file.write(line(m_entries[i].text)) < 0)
            return fail();
        letPendingEventsRun();
    }
    if (file.write(line(QStringLiteral("[END ") + date + QLatin1Char(']')) + kLineEnd + kLineEnd) < 0)
        return fail();
    if (!file.flush())
        return fail();
    file.close();
    if (file.error() != QFileDevice::NoError)
        return fail();
    return {};
}

} // namespace osk
