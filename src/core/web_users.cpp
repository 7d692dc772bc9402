#include "core/web_users.h"

#include "common/owned_file.h"
#include "common/whole_file.h"

#include <QDir>
#include <QFile>
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

// The interactive limits: a login costs about a tenth of a second and 64 MiB, once.
QByteArray hashOf(const QString& password) {
    const QByteArray bytes = password.toUtf8();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, bytes.constData(), quint64(bytes.size()), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return {};
    return QByteArray(hash);
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

} // namespace

WebUsers::WebUsers(QString path)
    : m_path(std::move(path)) {}

QString WebUsers::nameProblem(const QString& name) {
    static const QString allowed = QStringLiteral("._-");
    bool plain = !name.isEmpty() && name.size() <= 64;
    for (const QChar c : name)
        plain = plain && c.unicode() < 0x80 && (c.isLetterOrNumber() || allowed.contains(c));
    if (plain)
        return {};
    return QStringLiteral("El nombre de usuario debe tener de 1 a 64 letras sin acentos, cifras, "
                          "puntos, guiones o guiones bajos.");
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

Status WebUsers::add(const QString& name, const QString& password) {
    if (const QString problem = nameProblem(name); !problem.isEmpty())
        return Status::failure(problem);
    if (password.size() < kMinPasswordLength)
        return Status::failure(
            QStringLiteral("La contraseña debe tener al menos %1 caracteres.").arg(kMinPasswordLength));
    if (password.toUtf8().size() > kMaxPasswordBytes)
        return Status::failure(
            QStringLiteral("La contraseña no puede pasar de %1 bytes.").arg(kMaxPasswordBytes));
    const Result<std::vector<Entry>> read = this->read();
    if (!read)
        return Status::failure(read.error());
    const QByteArray hash = sodiumReady() ? hashOf(password) : QByteArray();
    if (hash.isEmpty())
        return Status::failure(QStringLiteral("No se ha podido calcular la clave de la contraseña."));
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
    // A hash of nothing anybody can type, checked when the name is unknown.
    static const QByteArray unknown =
        sodiumReady() ? hashOf(QStringLiteral("\x01 no user \x01")) : QByteArray();
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
    std::vector<Entry> entries;
    for (const QByteArray& line : content->split('\n')) {
        const qsizetype colon = line.indexOf(':');
        const QString name = QString::fromUtf8(line.left(colon));
        // A line that is not a user's (edited by hand, cut short) is no user.
        if (colon > 0 && nameProblem(name).isEmpty() && line.size() - colon - 1 < crypto_pwhash_STRBYTES)
            entries.push_back({name, line.mid(colon + 1).trimmed()});
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
