#include "session/user_log.h"

#include "common/ansi_codec.h"
#include "common/clock.h"
#include "common/shown_text.h"
#include "common/vb.h"
#include "common/whole_file.h"

namespace osk {

UserLog::UserLog(const Clock& clock, QString user, int slot, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
    , m_user(std::move(user))
    , m_slot(slot) {}

void UserLog::AddMessage(const QString& line) {
    const bool cut = line.size() > kMaxLoggedClientText;
    m_lines << QLatin1Char('[') + vb::timeText(m_clock.now().time()) + QStringLiteral("]  ") +
                   (cut ? line.first(kMaxLoggedClientText) + QStringView(kCutMark).toString() : line);
    if (m_lines.size() > kMaxLines)
        m_lines.removeFirst();
    emit lineAdded(m_lines.back());
}

QByteArray UserLog::fileContents(const QStringList& shownLines, const QDate& date) {
    QString text = QLatin1Char('[') + vb::dateText(date) + QStringLiteral("]\r\n--------------\r\n\r\n");
    for (const QString& line : shownLines)
        text += line + QStringLiteral("\r\n");
    return AnsiCodec::encode(text);
}

Status UserLog::saveTo(const QString& path) const {
    return writeWholeFile(path, fileContents(m_clock.now().date()));
}

} // namespace osk
