#include "database/embedded_engine.h"

#include "common/owned_file.h"
#include "database/backup_file.h"
#include "database/embedded_component_writer.h"
#include "database/embedded_sqlite.h"
#include "database/record_errors.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringView>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <memory>
#include <optional>
#include <sqlite3.h>
#include <unistd.h>

namespace osk {

using namespace embedded;

namespace {

const QString kPrincipalDatabase = QStringLiteral("OskDB");
const QString kUpdateDatabase = QStringLiteral("OskDBUpdate");
const QString kProductPrefix = QStringLiteral("osk");
const QString kFileSuffix = QStringLiteral(".db");

// Property keys are compared without regard to case, as SQL Server's default collation does, so
// that OskDB behaves on both engines alike. The third column of "SELECT *" is PropertyValue.
constexpr const char* kCreatePropertyTable = "CREATE TABLE IF NOT EXISTS OskVersion ("
                                             "Id INTEGER PRIMARY KEY, "
                                             "Property TEXT NOT NULL UNIQUE COLLATE NOCASE, "
                                             "PropertyValue TEXT)";
constexpr const char* kInsertMissingProperty =
    "INSERT INTO OskVersion (Property, PropertyValue) "
    "SELECT ?1, ?2 WHERE NOT EXISTS (SELECT 1 FROM OskVersion WHERE Property=?1)";
constexpr const char* kSelectAllProperty = "SELECT * FROM OskVersion WHERE Property=?";
// oskComponents as the client programs read it; no INTEGER PRIMARY KEY, as in the server's databases.
constexpr const char* kCreateComponentsTable =
    "CREATE TABLE oskComponents (IdNumero INTEGER, FileName TEXT, FileObject BLOB)";
constexpr const char* kSelectPropertyValue = "SELECT PropertyValue FROM OskVersion WHERE Property=?";

struct InitialProperty {
    const char* key;
    const char* value; // nullptr: SQL NULL
};

// The rows a new OskDB starts with; the server fills host, port and mode later, the client
// distribution the executable revision.
constexpr InitialProperty kInitialProperties[] = {
    {"AppVersion", OSK_VERSION_STRING}, {"AppDBRevision", "1"},  {"AppOskServerHost", nullptr},
    {"AppOskServerPort", nullptr},      {"AppUsrMode", nullptr}, {"AppEXERevision", nullptr},
};

Status insertMissingProperties(sqlite3* db) {
    auto statement = prepare(db, kInsertMissingProperty);
    if (!statement)
        return Status::failure(statement.error());
    for (const InitialProperty& property : kInitialProperties) {
        sqlite3_stmt* st = statement->get();
        sqlite3_reset(st);
        const bool bound = sqlite3_bind_text(st, 1, property.key, -1, SQLITE_STATIC) == SQLITE_OK &&
                           (property.value ? sqlite3_bind_text(st, 2, property.value, -1, SQLITE_STATIC)
                                           : sqlite3_bind_null(st, 2)) == SQLITE_OK;
        if (!bound || sqlite3_step(st) != SQLITE_DONE)
            return Status::failure(lastError(db));
    }
    return {};
}

// Creates the property table of OskDB and any of its initial rows that are missing, and then the
// further tables given, all or nothing.
Status prepareTables(sqlite3* db, std::initializer_list<const char*> furtherTables = {}) {
    if (auto begun = execute(db, "BEGIN IMMEDIATE"); !begun)
        return begun;
    Status done = execute(db, kCreatePropertyTable);
    if (done)
        done = insertMissingProperties(db);
    for (const char* table : furtherTables) {
        if (done)
            done = execute(db, table);
    }
    if (done)
        done = execute(db, "COMMIT");
    if (!done)
        rollback(db);
    return done;
}

bool isProductDatabase(const QString& name) {
    return name.startsWith(kProductPrefix, Qt::CaseInsensitive) &&
           name.compare(kUpdateDatabase, Qt::CaseInsensitive) != 0;
}

bool isPrincipal(const QString& name) {
    return name.compare(kPrincipalDatabase, Qt::CaseInsensitive) == 0;
}

// A database name is a file in the data folder, never a path out of it.
bool isPlainName(const QString& database) {
    return !database.isEmpty() && !database.contains(QLatin1Char('/')) &&
           !database.contains(QLatin1Char('\\')) && !database.contains(QChar(0));
}

// A database name stays this short so that its file, with the temporary and journal names made
// beside it, fits within the 255 bytes a file name may take.
constexpr qsizetype kMaxNameBytes = 200;

// The names a new database may take: a plain file name on every system the server runs on, and one
// that the database list shows.
Status checkNewDatabaseName(const QString& name) {
    if (name.isEmpty())
        return Status::failure(QStringLiteral("Falta el nombre de la base de datos."));
    const QString invalid = QStringLiteral("'%1' no es un nombre válido para una base de datos.").arg(name);
    constexpr QStringView kForbidden = u"<>:\"/\\|?*";
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || kForbidden.contains(c))
            return Status::failure(invalid);
    }
    // Windows drops a final dot or blank from a file name, and the name would then be another.
    if (name != name.trimmed() || name.endsWith(QLatin1Char('.')))
        return Status::failure(invalid);
    if (name.toUtf8().size() > kMaxNameBytes)
        return Status::failure(
            QStringLiteral("El nombre de la base de datos '%1' es demasiado largo.").arg(name));
    if (!name.startsWith(kProductPrefix, Qt::CaseInsensitive))
        return Status::failure(
            QStringLiteral(
                "El nombre de una base de datos de Osk debe empezar por 'osk'; '%1' no aparecería en "
                "la lista de bases de datos.")
                .arg(name));
    if (!isProductDatabase(name))
        return Status::failure(
            QStringLiteral("El nombre '%1' está reservado para las actualizaciones de Osk.").arg(name));
    return {};
}

QString invalidName(const QString& database) {
    return QStringLiteral("Nombre de base de datos no válido: ") + database;
}

// A connection of its own to one existing database: a read never creates a database file.
Result<Connection> openExisting(const EmbeddedEngine& engine, const QString& database) {
    if (!isPlainName(database))
        return Result<Connection>::failure(invalidName(database));
    return openConnection(engine.databasePath(database), SQLITE_OPEN_READWRITE);
}

QString native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// An empty file of its own beside target, made with the permissions of any new file, under a name
// that neither the database list nor a person's listing shows. The error is the system's reason.
Result<QString> createSiblingFile(const QString& target) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString candidate = backup_file::temporaryNameBeside(target);
        const int descriptor = ::open(QFile::encodeName(candidate).constData(),
                                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (descriptor >= 0) {
            ::close(descriptor);
            return Result<QString>(candidate);
        }
        if (errno != EEXIST)
            return Result<QString>::failure(systemReason(errno));
    }
    return Result<QString>::failure(systemReason(EEXIST));
}

// Removes a database file's companions: a journal or write-ahead log left beside a removed
// database would be taken for part of the next database of that name.
void removeSideFiles(const QString& databaseFile, QStringList& leftOver) {
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        const QString side = databaseFile + QLatin1String(suffix);
        if (QFileInfo::exists(side) && !QFile::remove(side))
            leftOver << native(side);
    }
}

// A drop may wait this long for a lock to go: the check is whether the database is in use now.
constexpr int kDropBusyTimeoutMs = 250;

enum class DropLock { Held, InUse, NotADatabase, Failed };

// Takes the lock that proves no other connection reads or writes the database. In write-ahead
// mode an exclusive transaction does not keep readers out, so the database first leaves that mode,
// which SQLite only allows while no other connection has it open.
DropLock lockForDrop(sqlite3* db) {
    const auto outcome = [db] {
        switch (sqlite3_errcode(db)) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return DropLock::InUse;
        case SQLITE_NOTADB:
            return DropLock::NotADatabase;
        default:
            return DropLock::Failed;
        }
    };
    const auto journalMode = [db](const char* pragma) -> std::optional<QString> {
        auto statement = prepare(db, pragma);
        if (!statement || sqlite3_step(statement->get()) != SQLITE_ROW)
            return std::nullopt;
        return columnText(statement->get(), 0).toLower();
    };
    const auto mode = journalMode("PRAGMA journal_mode");
    if (!mode)
        return outcome();
    if (*mode == QLatin1String("wal")) {
        const auto left = journalMode("PRAGMA journal_mode=DELETE");
        if (!left)
            return outcome();
        if (*left == QLatin1String("wal"))
            return DropLock::InUse;
    }
    if (sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return outcome();
    return DropLock::Held;
}

// The whole backup may take as long as the backup statement of the server engine may run.
constexpr qint64 kBackupTimeoutMs = 1000 * 1000;
// Pages per step: between steps the source is unlocked, so others write while the copy goes on.
constexpr int kBackupPagesPerStep = 256;
constexpr int kBackupRetryMs = 50;

const QString kBackupStopped = QStringLiteral("Copia de seguridad cancelada.");

// Copies source into the empty database destination, page by page; `stop` ends it between steps.
Status copyDatabase(sqlite3* source, sqlite3* destination, const std::atomic<bool>& stop) {
    sqlite3_backup* backup = sqlite3_backup_init(destination, "main", source, "main");
    if (!backup)
        return Status::failure(lastError(destination));
    QElapsedTimer clock;
    clock.start();
    int rc = SQLITE_OK;
    bool timedOut = false;
    bool stopped = false;
    while (true) {
        if (stop) {
            stopped = true;
            break;
        }
        rc = sqlite3_backup_step(backup, kBackupPagesPerStep);
        if (rc != SQLITE_OK && rc != SQLITE_BUSY && rc != SQLITE_LOCKED)
            break;
        // A source written to all the time starts the copy over and over; the time-out ends it.
        if (clock.elapsed() > kBackupTimeoutMs) {
            timedOut = true;
            break;
        }
        if (rc != SQLITE_OK)
            sqlite3_sleep(kBackupRetryMs);
    }
    const int finished = sqlite3_backup_finish(backup);
    if (rc == SQLITE_DONE && finished == SQLITE_OK)
        return {};
    if (stopped)
        return Status::failure(kBackupStopped);
    if (timedOut)
        return Status::failure(QStringLiteral("Tiempo de espera agotado."));
    // The step's error is the destination connection's once the backup is finished.
    return Status::failure(finished != SQLITE_OK ? operatorReason(destination)
                                                 : reasonFor(rc, 0, QString::fromUtf8(sqlite3_errstr(rc))));
}

} // namespace

EmbeddedEngine::EmbeddedEngine(QString dataFolder)
    : m_dataFolder(std::move(dataFolder)) {}

EmbeddedEngine::~EmbeddedEngine() {
    sqlite3_close_v2(m_principal);
}

QString EmbeddedEngine::databasePath(const QString& database) const {
    return QDir(m_dataFolder).filePath(database + kFileSuffix);
}

Status EmbeddedEngine::openPrincipal() {
    // A previous connection is released first; a failed open leaves none.
    sqlite3_close_v2(m_principal);
    m_principal = nullptr;

    if (!QDir().mkpath(m_dataFolder))
        return Status::failure(QStringLiteral("No se puede crear la carpeta ") +
                               QDir::toNativeSeparators(m_dataFolder));
    auto opened =
        openConnection(databasePath(kPrincipalDatabase), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (!opened)
        return Status::failure(opened.error());
    Connection db = std::move(opened).value();
    if (auto prepared = prepareTables(db.get()); !prepared)
        return prepared;
    m_principal = db.release();
    return {};
}

Result<QString> EmbeddedEngine::principalPropertyThirdColumn(const QString& key) {
    if (!m_principal)
        return Result<QString>::failure(QStringLiteral("La conexión con OskDB no está abierta."));
    auto statement = prepare(m_principal, kSelectAllProperty);
    if (!statement)
        return Result<QString>::failure(statement.error());
    sqlite3_stmt* st = statement->get();
    if (!bindText(st, 1, key))
        return Result<QString>::failure(lastError(m_principal));
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE)
        return Result<QString>::failure(kNoCurrentRecord);
    if (rc != SQLITE_ROW)
        return Result<QString>::failure(lastError(m_principal));
    if (sqlite3_column_count(st) < 3)
        return Result<QString>::failure(QStringLiteral("La tabla OskVersion no tiene tercera columna."));
    return Result<QString>(columnText(st, 2));
}

Result<QStringList> EmbeddedEngine::listProductDatabases() {
    const QDir folder(m_dataFolder);
    if (!folder.exists())
        return Result<QStringList>(QStringList());
    if (!QFileInfo(m_dataFolder).isReadable())
        return Result<QStringList>::failure(QStringLiteral("No se puede leer la carpeta ") +
                                            QDir::toNativeSeparators(m_dataFolder));

    // The suffix is matched as the file system matches names, so that every name listed opens
    // again through databasePath().
    QStringList names;
    for (const QString& file : folder.entryList({QLatin1Char('*') + kFileSuffix}, QDir::Files)) {
        const QString name = file.chopped(kFileSuffix.size());
        if (isProductDatabase(name))
            names << name;
    }
    // OskDB, the system database, first, as the server created it first; the rest by name.
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        if (isPrincipal(a) != isPrincipal(b))
            return isPrincipal(a);
        if (const int order = a.compare(b, Qt::CaseInsensitive); order != 0)
            return order < 0;
        return a < b;
    });
    return Result<QStringList>(std::move(names));
}

Result<PropertyValue> EmbeddedEngine::readProperty(const QString& database, const QString& key) {
    auto opened = openExisting(*this, database);
    if (!opened)
        return Result<PropertyValue>::failure(opened.error());
    sqlite3* db = opened->get();
    // The list reads every database this way: the one that fails (a file that is no database, a
    // damaged one) is named, with the reason in Spanish.
    const auto failed = [&] {
        return Result<PropertyValue>::failure(QStringLiteral("%1: %2").arg(
            QDir::toNativeSeparators(databasePath(database)), operatorReason(db)));
    };
    auto statement = prepare(db, kSelectPropertyValue);
    if (!statement)
        return failed();
    sqlite3_stmt* st = statement->get();
    if (!bindText(st, 1, key))
        return failed();
    switch (sqlite3_step(st)) {
    case SQLITE_DONE:
        return Result<PropertyValue>(PropertyValue());
    case SQLITE_ROW:
        return Result<PropertyValue>(PropertyValue(columnText(st, 0)));
    default:
        return failed();
    }
}

Status EmbeddedEngine::updateProperty(const QString& database, const QString& key, const QString& value) {
    auto opened = openExisting(*this, database);
    if (!opened)
        return Status::failure(opened.error());
    return updatePropertyValue(opened->get(), key, value);
}

Status EmbeddedEngine::dropDatabase(const QString& database) {
    if (!isPlainName(database))
        return Status::failure(invalidName(database));
    const QString path = databasePath(database);
    // A link in the database's place goes nowhere near what it points at.
    if (Status owned = checkDatabaseFiles(path); !owned)
        return owned;
    if (!QFileInfo(path).isFile())
        return Status::failure(
            QStringLiteral("No se puede eliminar la base de datos '%1' porque no existe.").arg(database));
    const QString inUse =
        QStringLiteral("No se puede eliminar la base de datos '%1' porque está en uso.").arg(database);
    // The principal connection holds no lock while idle, so the lock below would not see it.
    if (m_principal && isPrincipal(database))
        return Status::failure(inUse);

    auto opened = openConnection(path, SQLITE_OPEN_READWRITE, kDropBusyTimeoutMs);
    if (!opened)
        return Status::failure(opened.error());
    Connection db = std::move(opened).value();
    switch (lockForDrop(db.get())) {
    case DropLock::Held:
    case DropLock::NotADatabase: // nothing can use it; it goes like any other file
        break;
    case DropLock::InUse:
        return Status::failure(inUse);
    case DropLock::Failed:
        return Status::failure(lastError(db.get()));
    }

    // The file goes while the lock is held, so no one takes the database in between. Windows does
    // not remove a file that is open, this connection's included: there it goes right after the
    // close, and any other connection that has it open still makes the removal fail.
#ifdef Q_OS_WIN
    db.reset();
#endif
    QFile file(path);
    const bool removed = file.remove();
    db.reset();
    if (!removed)
        return Status::failure(
            QStringLiteral("No se puede eliminar el archivo '%1': %2").arg(native(path), file.errorString()));

    QStringList leftOver;
    removeSideFiles(path, leftOver);
    if (!leftOver.isEmpty())
        return Status::failure(QStringLiteral("La base de datos '%1' se eliminó, pero no los archivos %2.")
                                   .arg(database, leftOver.join(QStringLiteral(", "))));
    return {};
}

// The copy is written to a new file beside the output and renamed over it once complete, so a
// failed backup leaves the previous backup file as it was.
namespace {
// A file built beside its final name that will not be given it: removed with its side files, and
// the reason passed on.
Status discardTemporary(const QString& temporary, const QString& error) {
    QFile::remove(temporary);
    QStringList ignored;
    removeSideFiles(temporary, ignored);
    return Status::failure(error);
}
} // namespace

Status EmbeddedEngine::backupDatabase(const QString& database, const QString& outputFile) {
    if (!isPlainName(database))
        return Status::failure(invalidName(database));
    const QString path = databasePath(database);
    if (Status owned = checkDatabaseFiles(path); !owned)
        return owned;
    if (!QFileInfo(path).isFile())
        return Status::failure(
            QStringLiteral(
                "No se puede hacer la copia de seguridad de la base de datos '%1' porque no existe.")
                .arg(database));
    if (outputFile.isEmpty())
        return Status::failure(backup_file::kNoFileName);
    if (holdsFile(backup_file::resolvedPath(outputFile)))
        return Status::failure(QStringLiteral("El archivo de copia %1 es una base de datos del servidor.")
                                   .arg(native(outputFile)));
    const QFileInfo output(outputFile);
    if (output.isDir())
        return Status::failure(QStringLiteral("'%1' es una carpeta.").arg(native(outputFile)));

    if (m_backupsStopped)
        return Status::failure(kBackupStopped);
    // Read-write, so that a journal left by a crash is rolled back before the copy reads. A source
    // that is busy is waited for by the copy's own retries, not inside a step, so that a stop is
    // seen between them.
    auto source = openConnection(path, SQLITE_OPEN_READWRITE, kBackupRetryMs);
    if (!source)
        return Status::failure(source.error());
    // The operator knows the backup by the name written in the schedule, never by the hidden one
    // it is built under.
    const auto failed = [&outputFile](const QString& reason) {
        return QStringLiteral("No se puede escribir el archivo de copia %1: %2")
            .arg(native(outputFile), reason);
    };
    auto created = createSiblingFile(outputFile);
    if (!created)
        return Status::failure(failed(created.error()));
    const QString temporary = *created;
    const auto discard = [&temporary](const QString& error) {
        return discardTemporary(temporary, error);
    };

    {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(QFile::encodeName(temporary).constData(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
        Connection destination(raw);
        if (rc != SQLITE_OK)
            return discard(
                failed(raw ? operatorReason(raw) : reasonFor(rc, 0, QString::fromUtf8(sqlite3_errstr(rc)))));
        sqlite3_busy_timeout(raw, kBusyTimeoutMs);
        if (Status copied = copyDatabase(source->get(), raw, m_backupsStopped); !copied)
            return discard(copied.error() == kBackupStopped ? copied.error() : failed(copied.error()));
        // Closing the destination here, before the rename, releases its file on every system.
    }

    if (Status kept = backup_file::keepModeOf(outputFile, temporary); !kept)
        return discard(kept.error());
    if (Status replaced = backup_file::replace(temporary, outputFile); !replaced)
        return discard(replaced.error());
    return {};
}

bool EmbeddedEngine::holdsFile(const QString& resolvedPath) const {
    const QFileInfo file(resolvedPath);
    if (QDir::cleanPath(file.absolutePath()) != backup_file::resolvedPath(m_dataFolder))
        return false;
    // The suffixes as the database list matches them, without regard to case.
    const QString name = file.fileName();
    for (const char* suffix : {".db", ".db-journal", ".db-wal", ".db-shm"}) {
        if (name.endsWith(QLatin1String(suffix), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

Result<std::unique_ptr<ComponentWriter>> EmbeddedEngine::openComponentWriter(const QString& database) {
    using Opened = Result<std::unique_ptr<ComponentWriter>>;
    auto opened = openExisting(*this, database);
    if (!opened)
        return Opened::failure(opened.error());
    return Opened(std::make_unique<EmbeddedComponentWriter>(std::move(opened).value()));
}

Status EmbeddedEngine::createProductDatabase(const QString& name) {
    if (auto valid = checkNewDatabaseName(name); !valid)
        return valid;
    if (!QDir().mkpath(m_dataFolder))
        return Status::failure(
            QStringLiteral("No se puede crear la carpeta '%1'.").arg(native(m_dataFolder)));
    const QString exists = QStringLiteral("La base de datos '%1' ya existe.").arg(name);
    // Names are told apart without regard to case, as the server's names are and as Windows' files are.
    const QString fileName = name + kFileSuffix;
    for (const QString& entry :
         QDir(m_dataFolder)
             .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (entry.compare(fileName, Qt::CaseInsensitive) == 0)
            return Status::failure(exists);
    }

    // Built whole beside its final name and only then given it, so no half-made database is listed.
    const QString path = databasePath(name);
    auto created = createSiblingFile(path);
    if (!created)
        return Status::failure(
            QStringLiteral("No se puede crear el archivo '%1': %2").arg(native(path), created.error()));
    const QString temporary = *created;
    const auto discard = [&temporary](const QString& error) {
        return discardTemporary(temporary, error);
    };
    {
        auto opened = openConnection(temporary, SQLITE_OPEN_READWRITE);
        if (!opened)
            return discard(opened.error());
        // Large pages: client executables are stored as long blobs, and with the default small pages
        // every megabyte costs hundreds of page writes.
        if (Status sized = execute(opened->get(), "PRAGMA page_size=65536"); !sized)
            return discard(sized.error());
        if (Status prepared = prepareTables(opened->get(), {kCreateComponentsTable}); !prepared)
            return discard(prepared.error());
    }
    // QFile::rename never replaces a file: a database made meanwhile under the name is kept.
    QFile file(temporary);
    if (!file.rename(path))
        return discard(QFileInfo::exists(path) ? exists
                                               : QStringLiteral("No se puede crear el archivo '%1': %2")
                                                     .arg(native(path), file.errorString()));
    return {};
}

} // namespace osk
