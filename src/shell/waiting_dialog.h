#pragma once

#include "backup/wait_dialog.h"

#include <QDialog>

class QLabel;

namespace osk {

// frmWaiting: a fixed message on screen while one blocking step runs on the window thread. It has
// no buttons and takes no input; only its caller closes it.
class WaitingDialog final : public QDialog, public WaitDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WaitingDialog)

public:
    explicit WaitingDialog(QWidget* parent = nullptr);

    // Centres the dialog, shows the message and returns once it is painted.
    void show(const QString& message) override;
    void hide() override;

    QString message() const;

protected:
    // Escape and the close box would take the notice away while the work goes on.
    void reject() override {}

private:
    QLabel* m_message;
};

} // namespace osk
