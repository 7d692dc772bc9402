#pragma once

#include "common/result.h"

#include <QList>
#include <QString>

namespace osk {

// One INI file with the semantics of the Windows profile functions: sections and keys are matched
// without regard to case, blanks around keys and values are ignored, a read that finds nothing is
// the empty text, and values are cut to what a 255-character buffer holds (254 characters and the
// terminating NUL). A write creates the file, the section and the key as needed and keeps every
// other line exactly as it was; the file is replaced whole (temporary file, then rename), so a
// crash never leaves half a settings file. The file is Windows-1252 text, or UTF-16 when it starts
// with a byte-order mark (what Windows editors save as "Unicode"), and is written back in the
// encoding it was read in. Lines end in CR LF, LF or CR alone; new lines take the file's own.
class ProfileFile final {
public:
    static constexpr int kMaxValueLength = 254;

    explicit ProfileFile(QString path);
    // The file of that name in the folder, its name matched without regard to case as Windows
    // matches it (an administrator's "oskserver.ini" is the program's "OskServer.INI"); the name
    // as given when the folder holds none.
    static ProfileFile inFolder(const QString& folder, const QString& fileName);

    const QString& path() const { return m_path; }
    bool exists() const;

    QString read(const QString& section, const QString& key) const;
    struct Entry {
        QString section;
        QString key;
        QString value;
    };
    // Fails with the reason when the file could not be written; it is then as it was.
    Status write(const QString& section, const QString& key, const QString& value);
    // Several values in one replacement of the file: all of them are written, or none.
    Status write(const QList<Entry>& entries);

private:
    QString m_path;
};

} // namespace osk
