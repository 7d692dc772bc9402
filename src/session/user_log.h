#pragma once

#include "common/result.h"

#include <QDate>
#include <QObject>
#include <QString>
#include <QStringList>

namespace osk {

class Clock;

// What a tracking window holds: the user it follows, the slot of that user's connection, and the
// activity lines received so far, each stamped with the time it arrived. The window shows it; the
// headless service has none. What one client can make it hold is bounded: a line keeps as much
// of the client's text as an event-log line does, and only the last kMaxLines lines are kept.
class UserLog final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UserLog)

public:
    static constexpr qsizetype kMaxLines = 10000;

    UserLog(const Clock& clock, QString user, int slot, QObject* parent = nullptr);

    const QString& user() const { return m_user; }
    int slot() const { return m_slot; }
    QString caption() const { return QLatin1Char('[') + m_user + QLatin1Char(']'); }
    const QStringList& lines() const { return m_lines; }
    const Clock& clock() const { return m_clock; }
    // Saving is offered once there is something to save.
    bool canSave() const { return !m_lines.isEmpty(); }

    void AddMessage(const QString& line);

    // The saved file: the date in brackets, fourteen hyphens, an empty line, then every line.
    QByteArray fileContents(const QDate& date) const { return fileContents(m_lines, date); }
    static QByteArray fileContents(const QStringList& shownLines, const QDate& date);
    // Writes the file, replacing what it held.
    Status saveTo(const QString& path) const;

signals:
    void lineAdded(const QString& shownLine);

private:
    const Clock& m_clock;
    QString m_user;
    int m_slot;
    QStringList m_lines;
};

} // namespace osk
