#pragma once

#include "shell/system_info_tool.h"

#include <QDialog>
#include <memory>

namespace osk {

class Operator;

// frmAbout: the program's name, version and description, the maintainers' contact lines, and a
// button that starts the desktop's system-information program.
class AboutDialog final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AboutDialog)

public:
    // Tells the operator through message boxes of its own when no system-information program is
    // found.
    explicit AboutDialog(QWidget* parent = nullptr);
    AboutDialog(Operator& op, QWidget* parent = nullptr);
    ~AboutDialog() override;

    static QString versionText();

    void setSystemInfoTool(SystemInfoTool tool) { m_systemInfo = std::move(tool); }
    // cmdSysInfo.
    void startSystemInfo();

private:
    AboutDialog(Operator* op, QWidget* parent);
    void build();

    std::unique_ptr<Operator> m_ownOperator;
    Operator* m_operator;
    SystemInfoTool m_systemInfo;
};

} // namespace osk
