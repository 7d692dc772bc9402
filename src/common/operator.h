#pragma once

#include <QByteArray>
#include <QString>

namespace osk {

// The title of a message box that names no other: the program's own name.
inline const QString kDefaultTitle = QStringLiteral("OskServer");
// The title given where a box or prompt names the product.
inline const QString kProductTitle = QStringLiteral("Osk Server");

enum class MessageIcon { None, Information, Exclamation, Critical, Question };

// Everything the program asks of, or tells, the person at the console goes through here: the
// desktop console shows Qt dialogs, the headless service writes to stderr and takes the safe
// answer, and tests script it and read back what was said.
class Operator {
public:
    virtual ~Operator() = default;

    // A message box with only an OK button.
    virtual void showMessage(const QString& text, MessageIcon icon, const QString& title) = 0;
    // A yes/no question; true for yes.
    virtual bool ask(const QString& text, MessageIcon icon, const QString& title) = 0;
    // An input box; an empty text when the operator cancels, as the original input box answered.
    virtual QString askText(const QString& prompt, const QString& title, const QString& defaultAnswer) = 0;
    // A save-file dialog starting at initialName; filter as "Description|*.ext".
    // An empty text when cancelled.
    virtual QString askSaveFile(const QString& defaultSuffix, const QString& filter,
                                const QString& initialName) = 0;
    // The hourglass pointer, on or off.
    virtual void setBusy(bool busy) = 0;
};

// The headless service's operator: nobody is there to answer, so messages go to stderr and every
// question takes its safe answer (No, cancel). When stderr is the journal, each line starts with
// its syslog priority (journalPrefix), so that a reason for a failure is not filed as information.
class ConsoleOperator final : public Operator {
public:
    explicit ConsoleOperator(bool journalPriorities = false)
        : m_journalPriorities(journalPriorities) {}

    void showMessage(const QString& text, MessageIcon icon, const QString& title) override;
    bool ask(const QString& text, MessageIcon icon, const QString& title) override;
    QString askText(const QString& prompt, const QString& title, const QString& defaultAnswer) override;
    QString askSaveFile(const QString& defaultSuffix, const QString& filter,
                        const QString& initialName) override;
    void setBusy(bool) override {}

private:
    void write(const QString& text, MessageIcon icon) const;

    bool m_journalPriorities;
};

// A box with nobody to read it: whatever the console would have shown is at least a warning, and
// a critical one is an error.
QByteArray journalPrefix(MessageIcon icon);
// Text for the journal, which makes an entry of every line and reads a priority off each: every
// line that is not empty starts with the prefix, so the details after a message's first line keep
// its priority.
QByteArray journalLines(const QByteArray& text, const QByteArray& prefix);
// Passes everything to one operator, which a caller may replace for the length of one command: a
// command sent through the control socket is answered by that request's flags and its messages go
// back to the caller, while every other command reaches the person at the console as before.
class OperatorRelay final : public Operator {
public:
    explicit OperatorRelay(Operator& target)
        : m_target(&target) {}

    Operator& target() const { return *m_target; }
    void setTarget(Operator& target) { m_target = &target; }

    void showMessage(const QString& text, MessageIcon icon, const QString& title) override {
        m_target->showMessage(text, icon, title);
    }
    bool ask(const QString& text, MessageIcon icon, const QString& title) override {
        return m_target->ask(text, icon, title);
    }
    QString askText(const QString& prompt, const QString& title, const QString& defaultAnswer) override {
        return m_target->askText(prompt, title, defaultAnswer);
    }
    QString askSaveFile(const QString& defaultSuffix, const QString& filter,
                        const QString& initialName) override {
        return m_target->askSaveFile(defaultSuffix, filter, initialName);
    }
    void setBusy(bool busy) override { m_target->setBusy(busy); }

private:
    Operator* m_target;
};

// Sends a relay's questions to another operator until the end of the scope.
class ScopedOperator final {
public:
    ScopedOperator(OperatorRelay& relay, Operator& op)
        : m_relay(relay)
        , m_previous(relay.target()) {
        relay.setTarget(op);
    }
    ~ScopedOperator() { m_relay.setTarget(m_previous); }
    ScopedOperator(const ScopedOperator&) = delete;
    ScopedOperator& operator=(const ScopedOperator&) = delete;

private:
    OperatorRelay& m_relay;
    Operator& m_previous;
};

} // namespace osk
