#include "support/scripted_operator.h"

namespace osk::test {

namespace {

// The next queued answer; none left is the operator's cancel.
template <typename T> T next(std::deque<T>& answers) {
    if (answers.empty())
        return {};
    T answer = answers.front();
    answers.pop_front();
    return answer;
}

} // namespace

void ScriptedOperator::showMessage(const QString& text, MessageIcon icon, const QString& title) {
    messages.push_back({text, icon, title});
    runWhileOpen();
}

bool ScriptedOperator::ask(const QString& text, MessageIcon icon, const QString&) {
    prompts << text;
    questionIcons.push_back(icon);
    runWhileOpen();
    return next(questionAnswers);
}

QString ScriptedOperator::askText(const QString& prompt, const QString&, const QString&) {
    prompts << prompt;
    runWhileOpen();
    return next(textAnswers);
}

QString ScriptedOperator::askSaveFile(const QString&, const QString&, const QString&) {
    runWhileOpen();
    return next(saveAnswers);
}

void ScriptedOperator::setBusy(bool busy) {
    busyDepth += busy ? 1 : -1;
}

} // namespace osk::test
