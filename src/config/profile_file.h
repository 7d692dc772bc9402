#pragma once

#include <QString>

namespace osk {

// One INI file with the semantics of the Windows profile functions: sections and keys are matched
// without regard to case, blanks around keys and values are ignored, a read that finds nothing is
// the empty text, and values are cut to what a 255-character buffer holds (254 characters and the
// terminating NUL). A write creates the file, the section and the key as needed and keeps every
// other line exactly as it was; the file is replaced whole (temporary file, then rename), so a
// crash never leaves half a settings file. The file is Windows-1252 text with CR LF line ends.
class ProfileFile final {
public:
    static constexpr int kMaxValueLength = 254;

    explicit ProfileFile(QString path);

    const QString& path() const { return m_path; }
    bool exists() const;

    QString read(const QString& section, const QString& key) const;
    // True on success, as the system's profile write answers.
    bool write(const QString& section, const QString& key, const QString& value);

private:
    QString m_path;
};

} // namespace osk
