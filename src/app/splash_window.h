#pragma once

#include <QWidget>

class QLabel;

namespace osk {

// frmSplash: the program's name, version and what it is doing while the start-up connects.
// Escape asks for the start-up to be abandoned, whichever of the program's windows has the keyboard
// (the splash takes it when shown, but a prompt of the start-up may hold it).
class SplashWindow final : public QWidget {
    Q_OBJECT

public:
    explicit SplashWindow(QWidget* parent = nullptr);

    // Shows the window and paints it before returning: what follows (a connection attempt) may
    // keep the event loop from running for a whole login time-out.
    void showPainted();
    // The new message is on screen when this returns, for the same reason.
    void setMessage(const QString& text);
    bool cancelRequested() const { return m_cancelRequested; }

    // "Versión 2.0.0": the version the About box and --version show too.
    static QString versionText();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* m_message;
    bool m_cancelRequested = false;
};

} // namespace osk
