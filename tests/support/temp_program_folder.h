#pragma once

#include <QDir>
#include <QString>
#include <QTemporaryDir>

namespace osk::test {

// A program folder of its own for one test, removed afterwards.
class TempProgramFolder final {
public:
    QString path() const { return m_dir.path(); }
    QString file(const QString& relative) const { return QDir(m_dir.path()).filePath(relative); }

private:
    QTemporaryDir m_dir;
};

} // namespace osk::test
