#pragma once

#include "database/engine.h"
#include "database/odbc_connection.h"
#include "database/odbc_engine.h"

#include <memory>

namespace osk {

// The client distribution's connection to one product database (see ComponentWriter). The content
// of a component goes in as PieceMethod says; the piece method Automatic is resolved when the
// writer is made, from the server's product name.
class OdbcComponentWriter final : public ComponentWriter {
public:
    OdbcComponentWriter(std::unique_ptr<OdbcConnection> connection, PieceMethod method,
                        StatementListener listener);
    ~OdbcComponentWriter() override;

    PieceMethod pieceMethod() const { return m_method; }

    Result<bool> hasComponentsTable() override;
    Status addComponent(int id, const QString& fileName) override;
    Status beginContent(int id, qint64 totalLength) override;
    Status appendContent(QByteArrayView piece) override;
    Status endContent() override;
    Status updateProperty(const QString& key, const QString& value) override;

private:
    Result<std::unique_ptr<OdbcStatement>> statement() const;

    std::unique_ptr<OdbcConnection> m_connection;
    PieceMethod m_method;
    StatementListener m_listener;
    // The content under way: its row, its announced length and what has gone in so far.
    int m_id = 0;
    qint64 m_total = 0;
    qint64 m_written = 0;
    bool m_writing = false;
    std::unique_ptr<OdbcStatement> m_pending; // the data-at-execution update
};

} // namespace osk
