#include "database/odbc_component_writer.h"

#include "database/odbc_sql.h"

namespace osk {

namespace {

QString sql(const char* text) {
    return QString::fromLatin1(text);
}

} // namespace

OdbcComponentWriter::OdbcComponentWriter(std::unique_ptr<OdbcConnection> connection, PieceMethod method,
                                         StatementListener listener)
    : m_connection(std::move(connection))
    , m_method(method)
    , m_listener(std::move(listener)) {}

// The pending statement goes before its connection.
OdbcComponentWriter::~OdbcComponentWriter() {
    m_pending.reset();
}

Result<std::unique_ptr<OdbcStatement>> OdbcComponentWriter::statement() const {
    return OdbcStatement::allocate(*m_connection, 0, m_listener);
}

Result<bool> OdbcComponentWriter::hasComponentsTable() {
    auto statement = this->statement();
    if (!statement)
        return Result<bool>::failure(statement.error());
    if (Status done = (*statement)->executeDirect(sql(odbc_sql::kFindComponentsTable)); !done)
        return Result<bool>::failure(done.error());
    return (*statement)->fetch();
}

Status OdbcComponentWriter::addComponent(int id, const QString& fileName) {
    auto removal = statement();
    if (!removal)
        return Status::failure(removal.error());
    (*removal)->bindText(fileName);
    (*removal)->bindInteger(id);
    if (Status done = (*removal)->executeDirect(sql(odbc_sql::kDeleteComponent)); !done)
        return done;
    auto insertion = statement();
    if (!insertion)
        return Status::failure(insertion.error());
    (*insertion)->bindInteger(id);
    (*insertion)->bindText(fileName);
    return (*insertion)->executeDirect(sql(odbc_sql::kInsertComponent));
}

Status OdbcComponentWriter::beginContent(int id, qint64 totalLength) {
    if (m_writing)
        return Status::failure(
            QStringLiteral("El contenido del componente %1 todavía se está escribiendo.").arg(m_id));
    m_id = id;
    m_total = totalLength;
    m_written = 0;

    auto begun = statement();
    if (!begun)
        return Status::failure(begun.error());
    OdbcStatement& st = **begun;
    if (m_method == PieceMethod::UpdateText) {
        st.bindInteger(id);
        if (Status done = st.executeDirect(sql(odbc_sql::kEmptyComponentContent)); !done)
            return done;
    } else {
        // The value's length goes with the statement: some drivers (SQLite's) refuse a second piece
        // of a value whose length they were not told.
        st.bindDataAtExecution(totalLength);
        st.bindInteger(id);
        if (Status prepared = st.prepare(sql(odbc_sql::kSetComponentContent)); !prepared)
            return prepared;
        if (Status done = st.execute(); !done)
            return done;
        if (!st.needsData())
            return Status::failure(
                QStringLiteral("El controlador no ha pedido el contenido del componente %1.").arg(id));
        if (Status started = st.beginData(); !started)
            return started;
        m_pending = std::move(begun).value();
    }
    m_writing = true;
    return {};
}

Status OdbcComponentWriter::appendContent(QByteArrayView piece) {
    if (!m_writing)
        return Status::failure(QStringLiteral("No se está escribiendo el contenido de ningún componente."));
    if (m_written + piece.size() > m_total)
        return Status::failure(
            QStringLiteral("El contenido del componente %1 supera sus %2 bytes.").arg(m_id).arg(m_total));
    Status appended;
    if (m_method == PieceMethod::UpdateText) {
        auto statement = this->statement();
        if (!statement)
            return Status::failure(statement.error());
        (*statement)->bindInteger(m_id);
        (*statement)->bindBinary(piece);
        appended = (*statement)->executeDirect(sql(odbc_sql::kAppendComponentPiece));
    } else {
        appended = m_pending->putData(piece);
    }
    if (!appended) {
        m_writing = false;
        m_pending.reset();
        return appended;
    }
    m_written += piece.size();
    return {};
}

Status OdbcComponentWriter::endContent() {
    if (!m_writing)
        return Status::failure(QStringLiteral("No se está escribiendo el contenido de ningún componente."));
    m_writing = false;
    if (m_written != m_total) {
        m_pending.reset();
        return Status::failure(QStringLiteral("El contenido del componente %1 tiene %2 de sus %3 bytes.")
                                   .arg(m_id)
                                   .arg(m_written)
                                   .arg(m_total));
    }
    if (m_method == PieceMethod::UpdateText)
        return {};
    const Status finished = m_pending->finishData();
    m_pending.reset();
    return finished;
}

Status OdbcComponentWriter::updateProperty(const QString& key, const QString& value) {
    auto statement = this->statement();
    if (!statement)
        return Status::failure(statement.error());
    (*statement)->bindText(value);
    (*statement)->bindText(key);
    return (*statement)->executeDirect(sql(odbc_sql::kUpdateProperty));
}

} // namespace osk
