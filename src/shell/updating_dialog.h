#pragma once

#include "database/client_distribution.h"

#include <QDialog>

class QLabel;
class QProgressBar;

namespace osk {

// frmUpdating: a text and a progress bar that the caller advances step by step while it works on
// the window thread. Every change is painted before the call returns, since the caller does not
// go back to the event loop between its steps. No buttons, no input; only its caller closes it.
class UpdatingDialog final : public QDialog, public ProgressView {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdatingDialog)

public:
    explicit UpdatingDialog(QWidget* parent = nullptr);

    // Centres the dialog with "Actualizando..." and the bar at 1.
    void show() override;
    void setText(const QString& text) override;
    // A count of 0 (or less) gives a bar of one step, full.
    void setMaximum(int maximum) override;
    // A value outside 0..maximum leaves the bar as it was.
    void setValue(int value) override;
    void hide() override;

protected:
    void reject() override {}

private:
    QProgressBar* m_progress;
    QLabel* m_caption;
};

} // namespace osk
