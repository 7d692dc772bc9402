#pragma once

#include "common/operator.h"

#include <QString>
#include <QStringList>
#include <deque>
#include <vector>

namespace osk::test {

struct ShownMessage {
    QString text;
    MessageIcon icon;
    QString title;
};

// An operator whose answers the test queues up beforehand and who remembers what it was shown.
class ScriptedOperator final : public Operator {
public:
    void showMessage(const QString& text, MessageIcon icon, const QString& title) override;
    bool ask(const QString& text, MessageIcon icon, const QString& title) override;
    QString askText(const QString& prompt, const QString& title, const QString& defaultAnswer) override;
    QString askSaveFile(const QString& defaultSuffix, const QString& filter,
                        const QString& initialName) override;
    void setBusy(bool busy) override;

    std::vector<ShownMessage> messages;
    QStringList prompts;
    std::vector<MessageIcon> questionIcons;
    std::deque<QString> textAnswers; // empty: the operator cancels
    std::deque<bool> questionAnswers;
    int busyDepth = 0;
};

} // namespace osk::test
