#include "database/embedded_component_writer.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace osk {

using namespace embedded;

namespace {

// Table names compare without regard to case, as in SQL Server's default collation.
constexpr const char* kFindComponentsTable =
    "SELECT 1 FROM sqlite_master WHERE type='table' AND name='oskComponents' COLLATE NOCASE";
constexpr const char* kDeleteComponent = "DELETE FROM oskComponents WHERE FileName=? OR IdNumero=?";
constexpr const char* kInsertComponent = "INSERT INTO oskComponents (IdNumero, FileName) VALUES (?, ?)";
constexpr const char* kFindComponentRow = "SELECT rowid FROM oskComponents WHERE IdNumero=? LIMIT 1";
constexpr const char* kReserveContent = "UPDATE oskComponents SET FileObject=? WHERE rowid=?";
constexpr const char* kRemoveRow = "DELETE FROM oskComponents WHERE rowid=?";

// A row whose content could not be stored: it would stand for a file that is not there. Best
// effort, as the error that led here is the one to report.
void removeRow(sqlite3* db, sqlite3_int64 rowid) {
    if (rowid < 0)
        return;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, kRemoveRow, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_bind_int64(statement, 1, rowid) == SQLITE_OK)
        sqlite3_step(statement);
    sqlite3_finalize(statement);
}

} // namespace

EmbeddedComponentWriter::EmbeddedComponentWriter(Connection db)
    : m_db(std::move(db)) {}

EmbeddedComponentWriter::~EmbeddedComponentWriter() {
    if (m_contentOpen)
        (void)abandonContent(QString());
}

Result<bool> EmbeddedComponentWriter::hasComponentsTable() {
    if (m_contentOpen)
        return Result<bool>::failure(refuseWhileContentOpen().error());
    auto statement = prepare(m_db.get(), kFindComponentsTable);
    if (!statement)
        return Result<bool>::failure(statement.error());
    switch (sqlite3_step(statement->get())) {
    case SQLITE_ROW:
        return Result<bool>(true);
    case SQLITE_DONE:
        return Result<bool>(false);
    default:
        return Result<bool>::failure(lastError(m_db.get()));
    }
}

Status EmbeddedComponentWriter::addComponent(int id, const QString& fileName) {
    if (m_contentOpen)
        return refuseWhileContentOpen();
    sqlite3* db = m_db.get();
    m_lastAdded.reset();

    // The delete and the insert stand or fall together, so a failed insert keeps the earlier row.
    if (Status begun = execute(db, "BEGIN IMMEDIATE"); !begun)
        return begun;
    const auto failWith = [db](const QString& error) {
        rollback(db);
        return Status::failure(error);
    };
    const auto fail = [db, &failWith] {
        return failWith(lastError(db));
    };

    auto removal = prepare(db, kDeleteComponent);
    if (!removal)
        return failWith(removal.error());
    if (!bindText(removal->get(), 1, fileName) || sqlite3_bind_int(removal->get(), 2, id) != SQLITE_OK ||
        sqlite3_step(removal->get()) != SQLITE_DONE)
        return fail();

    auto insertion = prepare(db, kInsertComponent);
    if (!insertion)
        return failWith(insertion.error());
    if (sqlite3_bind_int(insertion->get(), 1, id) != SQLITE_OK || !bindText(insertion->get(), 2, fileName) ||
        sqlite3_step(insertion->get()) != SQLITE_DONE)
        return fail();
    const sqlite3_int64 rowid = sqlite3_last_insert_rowid(db);

    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail();
    m_lastAdded = AddedRow{id, rowid, fileName};
    return {};
}

Result<sqlite3_int64> EmbeddedComponentWriter::rowOf(int id) {
    if (m_lastAdded && m_lastAdded->id == id)
        return Result<sqlite3_int64>(m_lastAdded->rowid);
    // A row added by an earlier writer: addComponent left one row with the number.
    auto statement = prepare(m_db.get(), kFindComponentRow);
    if (!statement)
        return Result<sqlite3_int64>::failure(statement.error());
    if (sqlite3_bind_int(statement->get(), 1, id) != SQLITE_OK)
        return Result<sqlite3_int64>::failure(lastError(m_db.get()));
    switch (sqlite3_step(statement->get())) {
    case SQLITE_ROW:
        return Result<sqlite3_int64>(sqlite3_column_int64(statement->get(), 0));
    case SQLITE_DONE:
        return Result<sqlite3_int64>::failure(
            QStringLiteral("No hay ningún componente con el número %1 en oskComponents.").arg(id));
    default:
        return Result<sqlite3_int64>::failure(lastError(m_db.get()));
    }
}

Status EmbeddedComponentWriter::beginContent(int id, qint64 totalLength) {
    if (m_contentOpen)
        return refuseWhileContentOpen();
    if (totalLength < 0)
        return Status::failure(QStringLiteral("Longitud de componente no válida: %1.").arg(totalLength));
    const auto rowid = rowOf(id);
    if (!rowid)
        return Status::failure(rowid.error());

    m_total = totalLength;
    m_written = 0;
    m_contentRow = *rowid;
    if (totalLength == 0) {
        // An empty file keeps the null FileObject its row was inserted with.
        m_contentOpen = true;
        return {};
    }

    sqlite3* db = m_db.get();
    if (Status begun = execute(db, "BEGIN IMMEDIATE"); !begun)
        return begun;
    m_contentOpen = true;

    // The whole length is reserved at once (SQLite refuses one beyond its limit for a value), and
    // the pieces then overwrite it in place.
    auto reserve = prepare(db, kReserveContent);
    if (!reserve)
        return abandonContent(reserve.error());
    sqlite3_stmt* st = reserve->get();
    if (const int bound = sqlite3_bind_zeroblob64(st, 1, sqlite3_uint64(totalLength)); bound != SQLITE_OK)
        return abandonContent(reserveError(bound, totalLength));
    if (sqlite3_bind_int64(st, 2, *rowid) != SQLITE_OK)
        return abandonContent(lastError(db));
    if (const int stepped = sqlite3_step(st); stepped != SQLITE_DONE)
        return abandonContent(reserveError(stepped, totalLength));
    if (sqlite3_changes(db) != 1)
        return abandonContent(QStringLiteral("El componente número %1 ya no está en oskComponents.").arg(id));
    if (sqlite3_blob_open(db, "main", "oskComponents", "FileObject", *rowid, 1, &m_blob) != SQLITE_OK)
        return abandonContent(lastError(db));
    return {};
}

Status EmbeddedComponentWriter::appendContent(QByteArrayView piece) {
    if (!m_contentOpen)
        return Status::failure(QStringLiteral("No se ha iniciado el contenido de ningún componente."));
    if (piece.size() > m_total - m_written)
        return abandonContent(
            QStringLiteral("El componente recibe más de los %1 bytes anunciados.").arg(m_total));

    // sqlite3_blob_write takes an int; the reserved length already fits one, a piece need not.
    while (!piece.isEmpty()) {
        const int size = int(std::min<qsizetype>(piece.size(), INT_MAX));
        if (sqlite3_blob_write(m_blob, piece.data(), size, int(m_written)) != SQLITE_OK)
            return abandonContent(lastError(m_db.get()));
        m_written += size;
        piece = piece.sliced(size);
    }
    return {};
}

Status EmbeddedComponentWriter::endContent() {
    if (!m_contentOpen)
        return Status::failure(QStringLiteral("No se ha iniciado el contenido de ningún componente."));
    if (m_written < m_total)
        return abandonContent(QStringLiteral("El componente recibió %1 de los %2 bytes anunciados.")
                                  .arg(m_written)
                                  .arg(m_total));
    m_contentOpen = false;
    const std::optional<sqlite3_int64> row = std::exchange(m_contentRow, std::nullopt);
    if (!m_blob)
        return {};

    sqlite3* db = m_db.get();
    const int closed = sqlite3_blob_close(std::exchange(m_blob, nullptr));
    if (closed != SQLITE_OK || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const QString error = lastError(db);
        rollback(db);
        removeRow(db, row.value_or(-1));
        return Status::failure(error);
    }
    return {};
}

Status EmbeddedComponentWriter::updateProperty(const QString& key, const QString& value) {
    if (m_contentOpen)
        return refuseWhileContentOpen();
    return updatePropertyValue(m_db.get(), key, value);
}

QString EmbeddedComponentWriter::reserveError(int code, qint64 totalLength) const {
    if (code != SQLITE_TOOBIG)
        return QString::fromUtf8(sqlite3_errstr(code));
    const QString name = m_lastAdded ? m_lastAdded->fileName : QString();
    return QStringLiteral("El archivo '%1' ocupa %2 bytes y el motor de base de datos incorporado guarda "
                          "como mucho %3 bytes por archivo; no se ha guardado.")
        .arg(name)
        .arg(totalLength)
        .arg(sqlite3_limit(m_db.get(), SQLITE_LIMIT_LENGTH, -1));
}

Status EmbeddedComponentWriter::abandonContent(const QString& error) {
    sqlite3_blob_close(std::exchange(m_blob, nullptr));
    rollback(m_db.get());
    if (m_contentRow)
        removeRow(m_db.get(), *std::exchange(m_contentRow, std::nullopt));
    m_contentOpen = false;
    m_total = 0;
    m_written = 0;
    return Status::failure(error);
}

Status EmbeddedComponentWriter::refuseWhileContentOpen() {
    return abandonContent(QStringLiteral("El contenido del componente anterior no se completó."));
}

} // namespace osk
