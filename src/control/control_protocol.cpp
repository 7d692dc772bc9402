#include "control/control_protocol.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace osk {

ParsedRequest parseControlRequest(const QByteArray& line) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return {std::nullopt, QStringLiteral("JSON incorrecto: %1.").arg(parseError.errorString())};
    if (!document.isObject())
        return {std::nullopt, QStringLiteral("La petición debe ser un objeto JSON.")};
    QJsonObject arguments = document.object();
    const QJsonValue command = arguments.take(QStringLiteral("cmd"));
    if (!command.isString() || command.toString().isEmpty())
        return {std::nullopt, QStringLiteral("Falta la orden (\"cmd\").")};
    return {ControlRequest{command.toString(), arguments}, QString()};
}

QByteArray controlLine(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QJsonObject controlError(const QString& reason) {
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), reason}};
}

bool ControlLineReader::append(const QByteArray& bytes) {
    if (m_overflowed)
        return false;
    qsizetype start = 0;
    while (start < bytes.size()) {
        const qsizetype end = bytes.indexOf('\n', start);
        const qsizetype stop = end < 0 ? bytes.size() : end;
        if (m_buffer.size() + (stop - start) > kMaxLineBytes) {
            m_overflowed = true;
            m_buffer.clear();
            return false;
        }
        m_buffer.append(bytes.constData() + start, stop - start);
        if (end < 0)
            break;
        if (m_buffer.endsWith('\r'))
            m_buffer.chop(1);
        m_lines.push_back(std::move(m_buffer));
        m_buffer = QByteArray();
        start = end + 1;
    }
    return true;
}

std::vector<QByteArray> ControlLineReader::takeLines() {
    return std::exchange(m_lines, {});
}

} // namespace osk
