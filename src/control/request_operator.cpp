#include "control/request_operator.h"

#include <QJsonObject>

namespace osk {

namespace {
QString iconName(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Information:
        return QStringLiteral("information");
    case MessageIcon::Exclamation:
        return QStringLiteral("exclamation");
    case MessageIcon::Critical:
        return QStringLiteral("critical");
    case MessageIcon::Question:
        return QStringLiteral("question");
    case MessageIcon::None:
        break;
    }
    return QStringLiteral("none");
}
} // namespace

void RequestOperator::record(const QString& text, MessageIcon icon, bool question) {
    m_messages.append(QJsonObject{{QStringLiteral("text"), text},
                                  {QStringLiteral("icon"), iconName(icon)},
                                  {QStringLiteral("question"), question}});
    if (!question)
        m_lastMessage = text;
}

void RequestOperator::showMessage(const QString& text, MessageIcon icon, const QString&) {
    record(text, icon, false);
}

bool RequestOperator::ask(const QString& text, MessageIcon icon, const QString&) {
    record(text, icon, true);
    return m_answers.yes;
}

QString RequestOperator::askText(const QString& prompt, const QString&, const QString&) {
    record(prompt, MessageIcon::Question, true);
    return m_answers.text;
}

QString RequestOperator::askSaveFile(const QString&, const QString&, const QString&) {
    return {};
}

} // namespace osk
