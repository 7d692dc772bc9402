#include "shell/system_info_tool.h"

#include <QProcess>
#include <QStandardPaths>
#include <utility>

namespace osk {

QStringList SystemInfoTool::defaultCandidates() {
#ifdef Q_OS_WIN
    return {QStringLiteral("msinfo32")};
#else
    // KDE's information centre, then the stand-alone hardware browsers that any desktop can run.
    return {QStringLiteral("kinfocenter"), QStringLiteral("hardinfo2"), QStringLiteral("hardinfo")};
#endif
}

SystemInfoTool::SystemInfoTool(QStringList candidates, QStringList searchPaths)
    : m_candidates(std::move(candidates))
    , m_searchPaths(std::move(searchPaths)) {}

QString SystemInfoTool::find() const {
    for (const QString& candidate : m_candidates) {
        const QString path = QStandardPaths::findExecutable(candidate, m_searchPaths);
        if (!path.isEmpty())
            return path;
    }
    return {};
}

bool SystemInfoTool::start() const {
    const QString program = find();
    return !program.isEmpty() && QProcess::startDetached(program, {});
}

} // namespace osk
