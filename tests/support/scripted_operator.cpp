#include "support/scripted_operator.h"

namespace osk::test {

namespace {

// The next queued answer; none left is the operator's cancel.
template <typename T> T next(std::deque<T>& answers) {
    const T answer = answers.empty() ? T{} : answers.front();
    if (!answers.empty())
        answers.pop_front();
    return answer;
}

QString iconName(MessageIcon icon) {
    const char* const names[] = {"None", "Information", "Exclamation", "Critical", "Question"};
    return QString::fromLatin1(names[int(icon)]);
}

} // namespace

void ScriptedOperator::showMessage(const QString& text, MessageIcon icon, const QString&) {
    shown << QStringLiteral("said ") + iconName(icon) + QStringLiteral(": ") + text;
    runWhileOpen();
}

bool ScriptedOperator::ask(const QString& text, MessageIcon icon, const QString&) {
    runWhileOpen();
    const bool yes = next(questionAnswers);
    shown << QStringLiteral("asked ") + iconName(icon) + QStringLiteral(": ") + text +
                 (yes ? QStringLiteral(" -> yes") : QStringLiteral(" -> no"));
    return yes;
}

QString ScriptedOperator::askText(const QString& prompt, const QString&, const QString&) {
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

} // namespace osk::test
