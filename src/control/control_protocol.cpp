#include "control/control_protocol.h"

#include "common/shown_text.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace osk {

namespace {
constexpr qsizetype kMaxDescriptionLength = 200;
}

ParsedRequest parseControlRequest(const QByteArray& line) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        // Qt words the error in English; where it stopped is what a caller needs.
        return {std::nullopt,
                QStringLiteral("JSON incorrecto a partir del carácter %1.").arg(parseError.offset + 1)};
    if (!document.isObject())
        return {std::nullopt, QStringLiteral("La petición debe ser un objeto JSON.")};
    QJsonObject arguments = document.object();
    const QJsonValue command = arguments.take(QStringLiteral("cmd"));
    if (!command.isString() || command.toString().isEmpty())
        return {std::nullopt, QStringLiteral("Falta la orden (\"cmd\").")};
    return {ControlRequest{command.toString(), arguments}, QString()};
}

QString argumentText(const QJsonValue& value) {
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 17);
    if (value.isBool())
        return value.toBool() ? QStringLiteral("on") : QStringLiteral("off");
    return value.toString();
}

QString describeControlRequest(const ControlRequest& request) {
    QStringList words{request.command};
    for (auto it = request.arguments.begin(); it != request.arguments.end(); ++it) {
        // A secret is never written down: of the web users' commands only the name is, whatever
        // else the request carries.
        if (it.key() == QLatin1String("password") ||
            (request.command.startsWith(QLatin1String("web-user")) && it.key() != QLatin1String("name")))
            continue;
        if (it.value().isObject()) {
            const QJsonObject settings = it.value().toObject();
            for (auto setting = settings.begin(); setting != settings.end(); ++setting)
                words << setting.key() + QLatin1Char('=') + argumentText(setting.value());
        } else if (it.value().isBool()) {
            if (it.value().toBool())
                words << QStringLiteral("--") + it.key();
        } else {
            words << argumentText(it.value());
        }
    }
    // The caller writes this into the event log: it may not add lines of its own, nor fill it.
    return blankControls(words.join(QLatin1Char(' ')).left(kMaxDescriptionLength));
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
