#include "support/scripted_operator.h"

namespace osk::test {

void ScriptedOperator::showMessage(const QString& text, MessageIcon icon, const QString& title) {
    messages.push_back({text, icon, title});
}

bool ScriptedOperator::ask(const QString& text, MessageIcon icon, const QString&) {
    prompts << text;
    questionIcons.push_back(icon);
    if (questionAnswers.empty())
        return false;
    const bool answer = questionAnswers.front();
    questionAnswers.pop_front();
    return answer;
}

QString ScriptedOperator::askText(const QString& prompt, const QString&, const QString&) {
    prompts << prompt;
    if (textAnswers.empty())
        return {};
    QString answer = textAnswers.front();
    textAnswers.pop_front();
    return answer;
}

QString ScriptedOperator::askSaveFile(const QString&, const QString&, const QString&) {
    if (fileAnswers.empty())
        return {};
    QString answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

void ScriptedOperator::setBusy(bool busy) {
    busyDepth += busy ? 1 : -1;
    wasBusy = wasBusy || busy;
}

} // namespace osk::test
