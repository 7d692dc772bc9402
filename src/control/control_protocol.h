#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>
#include <vector>

namespace osk {

// One request line of the control socket is a JSON object with a text "cmd"; the rest of the
// object is the command's arguments.
struct ControlRequest {
    QString command;
    QJsonObject arguments;
};

// Either a request or the reason it cannot be one, which goes back to the caller as the error.
struct ParsedRequest {
    std::optional<ControlRequest> request;
    QString error;
};

ParsedRequest parseControlRequest(const QByteArray& line);

// What the event log says of a command that changes something: its name and arguments.
QString describeControlRequest(const ControlRequest& request);
// An argument as the text it stands for: numbers as written, booleans as on and off.
QString argumentText(const QJsonValue& value);

// One reply or event line: a compact JSON object and its line end.
QByteArray controlLine(const QJsonObject& object);
QJsonObject controlError(const QString& reason);

// Cuts what arrives on a control connection into lines. A line longer than kMaxLineBytes can only be
// a mistake or an attack; it is never held whole, the reader stops taking bytes and says so.
class ControlLineReader final {
public:
    static constexpr qsizetype kMaxLineBytes = 64 * 1024;

    // Takes what arrived; false once a line has grown past the limit (nothing more is taken).
    bool append(const QByteArray& bytes);
    // The complete lines so far, without their line ends; a CR before the LF is dropped too.
    std::vector<QByteArray> takeLines();
    bool overflowed() const { return m_overflowed; }
    // Bytes of a line not yet ended.
    qsizetype pending() const { return m_buffer.size(); }

private:
    QByteArray m_buffer;
    std::vector<QByteArray> m_lines;
    bool m_overflowed = false;
};

} // namespace osk
