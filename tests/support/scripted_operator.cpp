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

const char* const kIconNames[] = {"None", "Information", "Exclamation", "Critical", "Question"};

QString iconName(MessageIcon icon) {
    return QString::fromLatin1(kIconNames[int(icon)]);
}

} // namespace

void ScriptedOperator::showMessage(const QString& text, MessageIcon icon, const QString& title) {
    messages.push_back({text, icon, title});
    shown << QStringLiteral("said ") + iconName(icon) + QStringLiteral(": ") + text;
    runWhileOpen();
}

bool ScriptedOperator::ask(const QString& text, MessageIcon icon, const QString&) {
    prompts << text;
    questionIcons.push_back(icon);
    runWhileOpen();
    const bool yes = next(questionAnswers);
    shown << QStringLiteral("asked ") + iconName(icon) + QStringLiteral(": ") + text +
                 (yes ? QStringLiteral(" -> yes") : QStringLiteral(" -> no"));
    return yes;
}

QString ScriptedOperator::askText(const QString& prompt, const QString&, const QString&) {
    prompts << prompt;
    runWhileOpen();
    const QString answer = next(textAnswers);
    shown << QStringLiteral("prompt: ") + prompt + QStringLiteral(" -> ") + answer;
    return answer;
}

QString ScriptedOperator::askSaveFile(const QString&, const QString&, const QString&) {
    // Recorded first: a box shown while the dialog is open comes after it.
    shown << QStringLiteral("save dialog -> ") + (saveAnswers.empty() ? QString() : saveAnswers.front());
    runWhileOpen();
    return next(saveAnswers);
}

void ScriptedOperator::setBusy(bool busy) {
    busyDepth += busy ? 1 : -1;
}

} // namespace osk::test
