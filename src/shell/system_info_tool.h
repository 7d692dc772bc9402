#pragma once

#include <QString>
#include <QStringList>

namespace osk {

// The desktop's system-information program, which the About box offers to start. Windows keeps
// one at a fixed place on its PATH; Linux desktops each ship their own, if any, so the first of a
// short list of known ones that is on the search path is taken.
class SystemInfoTool final {
public:
    // The known programs, most complete first.
    static QStringList defaultCandidates();

    // Empty search paths mean the PATH of the environment.
    explicit SystemInfoTool(QStringList candidates = defaultCandidates(), QStringList searchPaths = {});

    // The absolute path of the first candidate found, or empty.
    QString find() const;
    // Starts it detached, in a window of its own; false when none is found or it did not start.
    bool start() const;

private:
    QStringList m_candidates;
    QStringList m_searchPaths;
};

} // namespace osk
