#pragma once

#include "common/result.h"

#include <QByteArray>
#include <QString>

namespace osk {

// The system's reason for a failed call, as the operator reads it: "no queda espacio en el disco",
// "permiso denegado"... Lower case, to follow a colon; the system's own words for the rare ones.
QString systemReason(int error);

// What a file of this st_mode is, where a regular file is expected: "es una carpeta", "es un enlace
// simbólico" or "no es un archivo normal".
QString fileKindReason(unsigned mode);

// A file that belongs to the program (its journal, its daily logs, its lock, its settings): opened
// without following a symbolic link in its place and without waiting on a FIFO or a device in it,
// and refused when it is anything but a regular file. Reads and writes go straight to the
// descriptor, so a failure keeps the system's reason. Writes are whole or fail.
class OwnedFile final {
public:
    enum class Access { Read, Append, ReadAppend, Replace };

    static Result<OwnedFile> open(const QString& path, Access access);

    OwnedFile(OwnedFile&& other) noexcept;
    OwnedFile& operator=(OwnedFile&& other) noexcept;
    OwnedFile(const OwnedFile&) = delete;
    OwnedFile& operator=(const OwnedFile&) = delete;
    ~OwnedFile();

    const QString& path() const { return m_path; }
    Result<qint64> size() const;
    // Another name leads to the same file (a hard link): emptying it would empty that one too.
    bool hasOtherNames() const;
    // From offset to the end of the file.
    Result<QByteArray> readFrom(qint64 offset) const;
    // Every byte or a failure; a write cut short (a full disk) is taken back, so the file ends
    // where it ended before.
    Status write(const QByteArray& bytes);
    Status resize(qint64 size);
    Status sync();

private:
    OwnedFile(QString path, int descriptor);
    Status failure(int error) const;

    QString m_path;
    int m_descriptor = -1;
};

} // namespace osk
