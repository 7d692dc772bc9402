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
    void showMessage(const QString& text, MessageIcon icon, const QString& title) override;
    bool ask(const QString& text, MessageIcon icon, const QString& title) override;
    QString askText(const QString& prompt, const QString& title, const QString& defaultAnswer) override;
    QString askSaveFile(const QString& defaultSuffix, const QString& filter,
                        const QString& initialName) override;
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
};

} // namespace osk::test
