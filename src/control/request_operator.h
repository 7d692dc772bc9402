#pragma once

#include "common/operator.h"

#include <QJsonArray>
#include <QString>
#include <QStringList>

namespace osk {

// The operator of one control request: nobody can be asked, so what the console would show in a
// box is kept for the reply and every question is answered from the request itself, the safe
// answer (No, cancel) where the request gave none. No request chooses a file through a dialog.
class RequestOperator final : public Operator {
public:
    struct Answers {
        bool yes = false; // every yes/no question
        QString text;     // the input box; empty cancels
    };

    RequestOperator() = default;
    void setAnswers(Answers answers) { m_answers = std::move(answers); }

    void showMessage(const QString& text, MessageIcon icon, const QString& title) override;
    bool ask(const QString& text, MessageIcon icon, const QString& title) override;
    QString askText(const QString& prompt, const QString& title, const QString& defaultAnswer) override;
    QString askSaveFile(const QString& defaultSuffix, const QString& filter,
                        const QString& initialName) override;
    void setBusy(bool) override {}

    // Every box and question, in order: {"text": ..., "icon": "information" | ..., "question": bool}.
    const QJsonArray& messages() const { return m_messages; }
    // The text of the last box (not a question); empty when none was shown.
    const QString& lastMessage() const { return m_lastMessage; }

private:
    void record(const QString& text, MessageIcon icon, bool question);

    Answers m_answers;
    QJsonArray m_messages;
    QString m_lastMessage;
};

} // namespace osk
