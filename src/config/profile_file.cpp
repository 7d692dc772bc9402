#include "config/profile_file.h"

#include "common/ansi_codec.h"
#include "common/whole_file.h"

#include <QFile>
#include <QFileInfo>
#include <optional>
#include <utility>
#include <vector>

namespace osk {

namespace {

const QByteArray kLineEnd = QByteArrayLiteral("\r\n");

// One line of the file as it was read: its bytes, its own line end (CR LF, LF, or none for a last
// line without one) and its text. Lines that a write does not touch go back out as these bytes.
struct Line {
    QByteArray bytes;
    QByteArray end;
    QString text;
};

// Half-open range of line indices [begin, end) that hold a section's body, after its header.
struct SectionBody {
    qsizetype header = 0;
    qsizetype end = 0;
};

std::vector<Line> splitLines(const QByteArray& content) {
    std::vector<Line> lines;
    qsizetype start = 0;
    while (start < content.size()) {
        const qsizetype newline = content.indexOf('\n', start);
        Line line;
        if (newline < 0) {
            line.bytes = content.mid(start);
            start = content.size();
        } else {
            const bool crlf = newline > start && content[newline - 1] == '\r';
            const qsizetype textEnd = crlf ? newline - 1 : newline;
            line.bytes = content.mid(start, textEnd - start);
            line.end = content.mid(textEnd, newline + 1 - textEnd);
            start = newline + 1;
        }
        line.text = AnsiCodec::decode(line.bytes);
        lines.push_back(std::move(line));
    }
    return lines;
}

QByteArray joinLines(const std::vector<Line>& lines) {
    QByteArray content;
    for (const Line& line : lines) {
        content += line.bytes;
        content += line.end;
    }
    return content;
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

Line newLine(const QString& text) {
    return Line{AnsiCodec::encode(text), kLineEnd, text};
}

} // namespace

ProfileFile::ProfileFile(QString path)
    : m_path(std::move(path)) {}

bool ProfileFile::exists() const {
    return QFileInfo(m_path).isFile();
}

QString ProfileFile::read(const QString& section, const QString& key) const {
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const std::vector<Line> lines = splitLines(file.readAll());
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

bool ProfileFile::write(const QString& section, const QString& key, const QString& value) {
    if (!isWritable(section, key, value)) {
        return false;
    }

    std::vector<Line> lines;
    if (QFileInfo::exists(m_path)) {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly)) {
            return false;
        }
        lines = splitLines(file.readAll());
    }

    const QString entry = key + u'=' + value;
    if (const auto body = findSection(lines, section)) {
        if (const auto index = findKey(lines, *body, key)) {
            lines[*index] = newLine(entry);
        } else {
            // After the section's last non-blank line, so the blank lines that part it from the
            // next section stay where they are.
            qsizetype after = body->header;
            for (qsizetype i = body->header + 1; i < body->end; ++i) {
                if (!trimmed(lines[i].text).isEmpty()) {
                    after = i;
                }
            }
            if (lines[after].end.isEmpty()) {
                lines[after].end = kLineEnd;
            }
            lines.insert(lines.begin() + after + 1, newLine(entry));
        }
    } else {
        if (!lines.empty() && lines.back().end.isEmpty()) {
            lines.back().end = kLineEnd;
        }
        lines.push_back(newLine(u'[' + section + u']'));
        lines.push_back(newLine(entry));
    }

    return writeWholeFile(m_path, joinLines(lines)).ok();
}

} // namespace osk
