#pragma once

#include "common/operator.h"

#include <QPointer>
#include <QWidget>

namespace osk {

// The operator at the desktop: message boxes, input boxes and save dialogs over the window it is
// given (none before the main window exists), and the hourglass as the application's cursor.
class QtOperator final : public Operator {
public:
    void setParentWindow(QWidget* window) { m_parent = window; }

    void showMessage(const QString& text, MessageIcon icon, const QString& title) override;
    bool ask(const QString& text, MessageIcon icon, const QString& title) override;
    QString askText(const QString& prompt, const QString& title, const QString& defaultAnswer) override;
    QString askSaveFile(const QString& defaultSuffix, const QString& filter,
                        const QString& initialName) override;
    void setBusy(bool busy) override;

    // "Archivos de texto (*.txt)|*.txt" as a file dialog's name filter: "Archivos de texto (*.txt)".
    // Pairs after the first become further filters.
    static QString nameFilters(const QString& filter);

private:
    QPointer<QWidget> m_parent;
    int m_busyDepth = 0;
};

} // namespace osk
