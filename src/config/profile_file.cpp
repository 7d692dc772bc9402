#include "config/profile_file.h"

#include "common/ansi_codec.h"
#include "common/owned_file.h"
#include "common/whole_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>
#include <cerrno>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace osk {

namespace {

const QString kCrLf = QStringLiteral("\r\n");

// The encodings a settings file is found in; a write keeps the one it read. UTF-8 only with its
// byte-order mark, as editors that save in it mark it: read as Windows-1252, the mark would hide
// the first section's name and every setting in it.
enum class Encoding { Ansi, Utf8, Utf16LittleEndian, Utf16BigEndian };

// One line of the file as it was read: its text and its own line end (CR LF, LF, CR, or none for
// a last line without one). Lines that a write does not touch go back out as they came in.
struct Line {
    QString text;
    QString end;
};

// Half-open range of line indices [begin, end) that hold a section's body, after its header.
struct SectionBody {
    qsizetype header = 0;
    qsizetype end = 0;
};

struct Content {
    Encoding encoding = Encoding::Ansi;
    std::vector<Line> lines;
};

Encoding encodingOf(const QByteArray& bytes) {
    if (bytes.startsWith("\xFF\xFE"))
        return Encoding::Utf16LittleEndian;
    if (bytes.startsWith("\xFE\xFF"))
        return Encoding::Utf16BigEndian;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return Encoding::Utf8;
    return Encoding::Ansi;
}

QString decoded(const QByteArray& bytes, Encoding encoding) {
    switch (encoding) {
    case Encoding::Ansi:
        return AnsiCodec::decode(bytes);
    case Encoding::Utf8:
        return QString::fromUtf8(bytes.sliced(3));
    case Encoding::Utf16LittleEndian:
        return QStringDecoder(QStringDecoder::Utf16LE, QStringDecoder::Flag::Stateless)(bytes.sliced(2));
    case Encoding::Utf16BigEndian:
        return QStringDecoder(QStringDecoder::Utf16BE, QStringDecoder::Flag::Stateless)(bytes.sliced(2));
    }
    return {};
}

QByteArray encoded(const QString& text, Encoding encoding) {
    switch (encoding) {
    case Encoding::Ansi:
        return AnsiCodec::encode(text);
    case Encoding::Utf8:
        return QByteArrayLiteral("\xEF\xBB\xBF") + text.toUtf8();
    case Encoding::Utf16LittleEndian:
        return QByteArrayLiteral("\xFF\xFE") + QByteArray(QStringEncoder(QStringEncoder::Utf16LE)(text));
    case Encoding::Utf16BigEndian:
        return QByteArrayLiteral("\xFE\xFF") + QByteArray(QStringEncoder(QStringEncoder::Utf16BE)(text));
    }
    return {};
}

std::vector<Line> splitLines(QStringView text) {
    std::vector<Line> lines;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype breakAt = start;
        while (breakAt < text.size() && text[breakAt] != u'\r' && text[breakAt] != u'\n')
            ++breakAt;
        Line line{text.sliced(start, breakAt - start).toString(), {}};
        if (breakAt < text.size()) {
            const bool crlf =
                text[breakAt] == u'\r' && breakAt + 1 < text.size() && text[breakAt + 1] == u'\n';
            line.end = text.sliced(breakAt, crlf ? 2 : 1).toString();
        }
        start = breakAt + line.end.size();
        lines.push_back(std::move(line));
    }
    return lines;
}

Content parse(const QByteArray& bytes) {
    const Encoding encoding = encodingOf(bytes);
    return Content{encoding, splitLines(decoded(bytes, encoding))};
}

QByteArray serialised(const Content& content) {
    QString text;
    for (const Line& line : content.lines) {
        text += line.text;
        text += line.end;
    }
    return encoded(text, content.encoding);
}

// The line end that new lines take: the file's own, CR LF for a file that has none yet.
QString lineEndOf(const std::vector<Line>& lines) {
    for (const Line& line : lines) {
        if (!line.end.isEmpty())
            return line.end;
    }
    return kCrLf;
}

// Only the ASCII blanks: a no-break space (0xA0) is part of a value, as it is for the system.
bool isBlank(QChar ch) {
    return ch == u' ' || ch == u'\t' || ch == u'\r' || ch == u'\v' || ch == u'\f';
}

QStringView trimmed(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    return text.sliced(begin, end - begin);
}

bool sameName(QStringView a, QStringView b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The section a header line names, or nothing when the line is no header. A header without its
// closing bracket names the rest of the line.
std::optional<QStringView> sectionName(QStringView line) {
    const QStringView text = trimmed(line);
    if (!text.startsWith(u'[')) {
        return std::nullopt;
    }
    const QStringView inside = text.sliced(1);
    const qsizetype close = inside.indexOf(u']');
    return trimmed(close < 0 ? inside : inside.first(close));
}

struct KeyLine {
    QStringView key;
    QStringView value;
};

std::optional<KeyLine> keyLine(QStringView line) {
    const QStringView text = trimmed(line);
    if (text.startsWith(u';')) {
        return std::nullopt;
    }
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0) {
        return std::nullopt;
    }
    return KeyLine{trimmed(text.first(equals)), trimmed(text.sliced(equals + 1))};
}

// The first section of that name: the system's profile functions never look past it.
std::optional<SectionBody> findSection(const std::vector<Line>& lines, QStringView section) {
    const auto count = static_cast<qsizetype>(lines.size());
    for (qsizetype i = 0; i < count; ++i) {
        const auto name = sectionName(lines[i].text);
        if (!name || !sameName(*name, section)) {
            continue;
        }
        qsizetype end = i + 1;
        while (end < count && !sectionName(lines[end].text)) {
            ++end;
        }
        return SectionBody{i, end};
    }
    return std::nullopt;
}

std::optional<qsizetype> findKey(const std::vector<Line>& lines, SectionBody body, QStringView key) {
    for (qsizetype i = body.header + 1; i < body.end; ++i) {
        const auto entry = keyLine(lines[i].text);
        if (entry && sameName(entry->key, key)) {
            return i;
        }
    }
    return std::nullopt;
}

QStringView unquoted(QStringView value) {
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front()) {
        return value.sliced(1, value.size() - 2);
    }
    return value;
}

bool hasLineBreak(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n');
}

// Names that would not read back as the same section and key, and values that would split into
// more lines, are refused rather than written into a file they would corrupt.
bool isWritable(const QString& section, const QString& key, const QString& value) {
    const QStringView sectionText = trimmed(section);
    const QStringView keyText = trimmed(key);
    return !sectionText.isEmpty() && !sectionText.contains(u']') && !hasLineBreak(section) &&
           !keyText.isEmpty() && !keyText.contains(u'=') && !keyText.startsWith(u';') &&
           !keyText.startsWith(u'[') && !hasLineBreak(key) && !hasLineBreak(value);
}

// Puts one value into the lines: its line replaced in place, or a new line at the end of its
// section, or a new section at the end of the file.
void setValue(std::vector<Line>& lines, const ProfileFile::Entry& value) {
    const QString lineEnd = lineEndOf(lines);
    const Line entry{value.key + u'=' + value.value, lineEnd};
    if (const auto body = findSection(lines, value.section)) {
        if (const auto index = findKey(lines, *body, value.key)) {
            lines[*index] = entry;
            return;
        }
        // After the section's last non-blank line, so the blank lines that part it from the
        // next section stay where they are.
        qsizetype after = body->header;
        for (qsizetype i = body->header + 1; i < body->end; ++i) {
            if (!trimmed(lines[i].text).isEmpty()) {
                after = i;
            }
        }
        if (lines[after].end.isEmpty()) {
            lines[after].end = lineEnd;
        }
        lines.insert(lines.begin() + after + 1, entry);
        return;
    }
    if (!lines.empty() && lines.back().end.isEmpty()) {
        lines.back().end = lineEnd;
    }
    lines.push_back(Line{u'[' + value.section + u']', lineEnd});
    lines.push_back(entry);
}

bool isMissing(int error) {
    // A path through a file names nothing, as a path through a missing folder does.
    return error == ENOENT || error == ENOTDIR;
}

// Where the file's content lives: the file itself, or the end of the chain of symbolic links in
// its place (an administrator may keep the settings elsewhere, in /etc), even when that end is
// missing. Resolved here rather than by the system so that the file at the end can be opened
// without following anything and a write can replace that file, leaving the link a link.
Result<QString> contentPath(const QString& path) {
    constexpr int kMaxLinks = 40; // the system's own limit
    QString current = path;
    for (int links = 0; links <= kMaxLinks; ++links) {
        const QByteArray name = QFile::encodeName(current);
        struct stat status {};
        if (::lstat(name.constData(), &status) != 0 || !S_ISLNK(status.st_mode))
            return current;
        QByteArray target(qsizetype(status.st_size > 0 ? status.st_size : 4096) + 1, '\0');
        const ssize_t length = ::readlink(name.constData(), target.data(), size_t(target.size()));
        if (length < 0)
            return Result<QString>::failure(QStringLiteral("No se puede abrir el archivo %1: %2.")
                                                .arg(QDir::toNativeSeparators(current), systemReason(errno)));
        const QString next = QFile::decodeName(target.first(length));
        current = QDir::isAbsolutePath(next) ? next : QFileInfo(current).path() + u'/' + next;
    }
    return Result<QString>::failure(QStringLiteral("No se puede abrir el archivo %1: %2.")
                                        .arg(QDir::toNativeSeparators(path), systemReason(ELOOP)));
}

// The file's bytes, none when it is missing. Anything but a regular file at the end of the links
// (a folder, a FIFO, a device) is refused with the reason, never waited on.
Result<QByteArray> readBytes(const QString& path) {
    const Result<QString> target = contentPath(path);
    if (!target)
        return Result<QByteArray>::failure(target.error());
    Result<OwnedFile> file = OwnedFile::open(*target, OwnedFile::Access::Read);
    if (!file) {
        struct stat status {};
        if (::lstat(QFile::encodeName(*target).constData(), &status) != 0 && isMissing(errno))
            return QByteArray();
        return Result<QByteArray>::failure(file.error());
    }
    Result<QByteArray> bytes = file->readFrom(0);
    if (!bytes)
        return Result<QByteArray>::failure(
            QStringLiteral("No se puede leer el archivo %1.").arg(bytes.error()));
    return bytes;
}

} // namespace

ProfileFile::ProfileFile(QString path)
    : m_path(std::move(path)) {}

bool ProfileFile::exists() const {
    struct stat status {};
    return ::stat(QFile::encodeName(m_path).constData(), &status) == 0 || !isMissing(errno);
}

Status ProfileFile::readable() const {
    const Result<QByteArray> bytes = readBytes(m_path);
    return bytes ? Status() : Status::failure(bytes.error());
}

ProfileFile ProfileFile::inFolder(const QString& folder, const QString& fileName) {
    const QDir dir(folder);
    // Whatever holds the name, not only a regular file: a folder or a FIFO of that name is a
    // settings file that cannot be read, not a missing one that a write would put beside it.
    struct stat status {};
    if (::lstat(QFile::encodeName(dir.filePath(fileName)).constData(), &status) == 0)
        return ProfileFile(dir.filePath(fileName));
    const QStringList names = dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden, QDir::Name);
    for (const QString& name : names) {
        if (name.compare(fileName, Qt::CaseInsensitive) == 0)
            return ProfileFile(dir.filePath(name));
    }
    return ProfileFile(dir.filePath(fileName));
}

QString ProfileFile::read(const QString& section, const QString& key) const {
    const Result<QByteArray> bytes = readBytes(m_path);
    if (!bytes) {
        return {};
    }
    const std::vector<Line> lines = parse(*bytes).lines;
    const auto body = findSection(lines, section);
    if (!body) {
        return {};
    }
    const auto index = findKey(lines, *body, key);
    if (!index) {
        return {};
    }
    const QStringView value = unquoted(keyLine(lines[*index].text)->value);
    return value.first(std::min<qsizetype>(value.size(), kMaxValueLength)).toString();
}

Status ProfileFile::write(const QString& section, const QString& key, const QString& value) {
    return write(QList<Entry>{{section, key, value}});
}

Status ProfileFile::write(const QList<Entry>& entries) {
    for (const Entry& entry : entries) {
        if (!isWritable(entry.section, entry.key, entry.value)) {
            return Status::failure(QStringLiteral("La sección, la clave o el valor no caben en una línea del "
                                                  "archivo de configuración."));
        }
    }

    // A file that cannot be read is refused, never taken for a missing one and replaced by a file
    // holding only these values.
    const Result<QString> target = contentPath(m_path);
    if (!target) {
        return Status::failure(target.error());
    }
    const Result<QByteArray> bytes = readBytes(*target);
    if (!bytes) {
        return Status::failure(bytes.error());
    }
    Content content = parse(*bytes);
    for (const Entry& entry : entries) {
        setValue(content.lines, entry);
    }
    // The file at the end of the links is the one replaced: the link stays a link.
    return writeWholeFile(*target, serialised(content));
}

} // namespace osk
