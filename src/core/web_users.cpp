#include "core/web_users.h"

#include "common/owned_file.h"
#include "common/web_user_name.h"
#include "common/whole_file.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

namespace osk {

namespace {

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// Made before its first content, so that the hashes are never readable by others, not even for
// the moment between a write and a change of mode.
Status createPrivate(const QString& path) {
    const int descriptor = ::open(QFile::encodeName(path).constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0 && errno != EEXIST)
        return Status::failure(QStringLiteral("No se puede crear el archivo %1: %2.")
                                   .arg(QDir::toNativeSeparators(path), systemReason(errno)));
    if (descriptor >= 0)
        ::close(descriptor);
    return {};
}

// What crypto_pwhash_str writes: printable, no blank, shorter than its buffer.
bool isArgon2idHash(const QByteArray& hash) {
    return hash.startsWith("$argon2id$") && hash.size() < qsizetype(crypto_pwhash_STRBYTES) &&
           std::all_of(hash.begin(), hash.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

} // namespace

WebUsers::WebUsers(QString path)
    : m_path(std::move(path)) {}

QString WebUsers::nameProblem(const QString& name) {
    return webUserNameProblem(name);
}

// The length is what the user typed, in characters, not in the units of a string's storage.
QString WebUsers::passwordProblem(const QString& password) {
    const QList<uint> characters = password.toUcs4();
    const auto isControl = [](uint c) {
        return QChar::category(char32_t(c)) == QChar::Other_Control;
    };
    const auto isBlank = [](uint c) {
        return QChar::isSpace(char32_t(c));
    };
    if (std::any_of(characters.begin(), characters.end(), isControl))
        return QStringLiteral("La contraseña no puede contener caracteres de control ni ser solo espacios.");
    if (characters.size() < kMinPasswordLength)
        return QStringLiteral("La contraseña debe tener al menos %1 caracteres.").arg(kMinPasswordLength);
    if (std::all_of(characters.begin(), characters.end(), isBlank))
        return QStringLiteral("La contraseña no puede contener caracteres de control ni ser solo espacios.");
    if (password.toUtf8().size() > kMaxPasswordBytes)
        return QStringLiteral("La contraseña no puede pasar de %1 bytes.").arg(kMaxPasswordBytes);
    return {};
}

// The interactive limits: a login costs about a tenth of a second and 64 MiB, once.
QByteArray WebUsers::hashPassword(const QString& password) {
    if (!sodiumReady())
        return {};
    const QByteArray bytes = password.toUtf8();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, bytes.constData(), quint64(bytes.size()), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return {};
    return QByteArray(hash);
}

Result<QStringList> WebUsers::names() const {
    const Result<std::vector<Entry>> entries = read();
    if (!entries)
        return Result<QStringList>::failure(entries.error());
    QStringList names;
    for (const Entry& entry : *entries)
        names << entry.name;
    names.sort();
    return names;
}

Status WebUsers::store(const QString& name, const QByteArray& hash) {
    if (const QString problem = nameProblem(name); !problem.isEmpty())
        return Status::failure(problem);
    if (!isArgon2idHash(hash))
        return Status::failure(QStringLiteral("No se ha podido calcular la clave de la contraseña."));
    const Result<std::vector<Entry>> read = this->read();
    if (!read)
        return Status::failure(read.error());
    std::vector<Entry> entries = *read;
    std::erase_if(entries, [&](const Entry& entry) { return entry.name == name; });
    entries.push_back({name, hash});
    return write(entries);
}

Status WebUsers::remove(const QString& name) {
    const Result<std::vector<Entry>> read = this->read();
    if (!read)
        return Status::failure(read.error());
    std::vector<Entry> entries = *read;
    if (std::erase_if(entries, [&](const Entry& entry) { return entry.name == name; }) == 0)
        return Status::failure(QStringLiteral("No existe el usuario web [%1].").arg(name));
    return write(entries);
}

bool WebUsers::verify(const QString& name, const QString& password) const {
    // A hash of nothing anybody can type, checked when the name is unknown (made once, on
    // whichever thread asks first).
    static const QByteArray unknown = hashPassword(QStringLiteral("\x01 no user \x01"));
    const Result<std::vector<Entry>> entries = read();
    QByteArray hash = unknown;
    bool known = false;
    for (const Entry& entry : entries ? *entries : std::vector<Entry>{}) {
        if (entry.name == name) {
            hash = entry.hash;
            known = true;
        }
    }
    const QByteArray bytes = password.toUtf8();
    if (hash.isEmpty() || bytes.size() > kMaxPasswordBytes)
        return false;
    const bool matches =
        crypto_pwhash_str_verify(hash.constData(), bytes.constData(), quint64(bytes.size())) == 0;
    return known && matches;
}

Result<std::vector<WebUsers::Entry>> WebUsers::read() const {
    using Entries = Result<std::vector<Entry>>;
    if (!QFileInfo::exists(m_path) && !QFileInfo(m_path).isSymLink())
        return std::vector<Entry>{};
    Result<OwnedFile> file = OwnedFile::open(m_path, OwnedFile::Access::Read);
    if (!file)
        return Entries::failure(file.error());
    const Result<QByteArray> content = file->readFrom(0);
    if (!content)
        return Entries::failure(content.error());
    const QList<QByteArray> lines = content->split('\n');
    std::vector<Entry> entries;
    for (qsizetype index = 0; index < lines.size(); ++index) {
        const QByteArray line = lines[index].trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        const QString name = QString::fromUtf8(line.left(colon));
        const bool twice = std::any_of(entries.begin(), entries.end(),
                                       [&](const Entry& entry) { return entry.name == name; });
        if (colon <= 0 || !nameProblem(name).isEmpty() || !isArgon2idHash(line.mid(colon + 1)) || twice)
            return Entries::failure(
                QStringLiteral("El archivo de usuarios web %1 no es válido (línea %2): corríjalo o bórrelo.")
                    .arg(QDir::toNativeSeparators(m_path))
                    .arg(index + 1));
        entries.push_back({name, line.mid(colon + 1)});
    }
    return entries;
}

Status WebUsers::write(const std::vector<Entry>& entries) const {
    if (Status created = createPrivate(m_path); !created)
        return created;
    (void)::chmod(QFile::encodeName(m_path).constData(), 0600);
    QByteArray content;
    for (const Entry& entry : entries)
        content += entry.name.toUtf8() + ':' + entry.hash + '\n';
    return writeWholeFile(m_path, content);
}

} // namespace osk
