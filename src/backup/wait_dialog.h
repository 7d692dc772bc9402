#pragma once

#include <QString>

namespace osk {

// The wait dialog frmWaiting as the backup runner sees it: a fixed message on screen while one
// long step runs. The console shows a real dialog; the headless service has nobody to show it to.
class WaitDialog {
public:
    virtual ~WaitDialog() = default;
    // Shows the message and returns once it is painted.
    virtual void show(const QString& message) = 0;
    virtual void hide() = 0;
};

// Shows nothing: without a desktop the event log is what tells how a backup went.
class HeadlessWaitDialog final : public WaitDialog {
public:
    void show(const QString&) override {}
    void hide() override {}
};

} // namespace osk
