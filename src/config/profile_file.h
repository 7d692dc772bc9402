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
// The file may be a symbolic link (an administrator's choice): it is read through the link, and a
// write replaces the file the link leads to, the link left as it was. Anything else that is not a
// regular file (a folder, a FIFO, a device) is refused, never waited on.
class ProfileFile final {
public:
    static constexpr int kMaxValueLength = 254;

    explicit ProfileFile(QString path);
    // The file of that name in the folder, its name matched without regard to case as Windows
    // matches it (an administrator's "oskserver.ini" is the program's "OskServer.INI"); the name
    // as given when the folder holds none. Anything of that name counts, a folder or a FIFO too.
    static ProfileFile inFolder(const QString& folder, const QString& fileName);

    const QString& path() const { return m_path; }
    // False only when there is no file (nor anything else) at the path or at the end of its link.
    bool exists() const;
    // Fine when the file can be read or is missing; otherwise the reason, naming the file: "No se
    // puede abrir el archivo /x/OskServer.INI: permiso denegado."
    Status readable() const;

    // The empty text, too, when the file cannot be read: readable() tells why.
    QString read(const QString& section, const QString& key) const;
    struct Entry {
        QString section;
        QString key;
        QString value;
    };
    // Fails with the reason when the file could not be read or written; it is then as it was.
    Status write(const QString& section, const QString& key, const QString& value);
    // Several values in one replacement of the file: all of them are written, or none.
    Status write(const QList<Entry>& entries);

private:
    QString m_path;
};

} // namespace osk
