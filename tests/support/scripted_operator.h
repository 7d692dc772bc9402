#pragma once

#include "common/operator.h"

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>

namespace osk::test {

// An operator whose answers the test queues up beforehand and who remembers what it was shown.
class ScriptedOperator final : public Operator {
public:
    void showMessage(const QString& text, MessageIcon icon, const QString&) override {
        shown << QStringLiteral("said ") + iconName(icon) + QStringLiteral(": ") + text;
        runWhileOpen();
    }
    bool ask(const QString& text, MessageIcon icon, const QString&) override {
        runWhileOpen();
        const bool yes = next(questionAnswers);
        shown << QStringLiteral("asked ") + iconName(icon) + QStringLiteral(": ") + text +
                     (yes ? QStringLiteral(" -> yes") : QStringLiteral(" -> no"));
        return yes;
    }
    QString askText(const QString& prompt, const QString&, const QString&) override {
        runWhileOpen();
        const QString answer = next(textAnswers);
        shown << QStringLiteral("prompt: ") + prompt + QStringLiteral(" -> ") + answer;
        return answer;
    }
    QString askSaveFile(const QString&, const QString&, const QString&) override {
        // Recorded first: a box shown while the dialog is open comes after it.
        shown << QStringLiteral("save dialog -> ") + (saveAnswers.empty() ? QString() : saveAnswers.front());
        runWhileOpen();
        return next(saveAnswers);
    }
    void setBusy(bool busy) override { busyDepth += busy ? 1 : -1; }

    std::deque<QString> textAnswers; // empty: the operator cancels
    std::deque<bool> questionAnswers;
    std::deque<QString> saveAnswers; // empty: the operator cancels
    // Runs while a dialog is open, before it is answered: what the dialog's own event loop would
    // let happen meanwhile (a session ending, say).
    std::function<void()> whileOpen;
    int busyDepth = 0;
    // All of the above in the order it happened, as a snapshot prints it: "said Critical: text",
    // "asked Question: text -> yes", "prompt: text -> answer", "save dialog -> path".
    QStringList shown;

private:
    void runWhileOpen() const {
        if (whileOpen)
            whileOpen();
    }
    // The next queued answer; none left is the operator's cancel.
    template <typename T> static T next(std::deque<T>& answers) {
        const T answer = answers.empty() ? T{} : answers.front();
        if (!answers.empty())
            answers.pop_front();
        return answer;
    }
    static QString iconName(MessageIcon icon) {
        const char* const names[] = {"None", "Information", "Exclamation", "Critical", "Question"};
        return QString::fromLatin1(names[int(icon)]);
    }
};

} // namespace osk::test
