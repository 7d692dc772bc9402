#pragma once

#include "database/embedded_sqlite.h"
#include "database/engine.h"

#include <optional>

namespace osk {

// The component writer of the embedded engine, on a connection of its own to one product database.
//
// A row is found again by its rowid, remembered when addComponent inserts it: oskComponents need
// not have an INTEGER PRIMARY KEY, and a row made by an older distribution may share its IdNumero.
// The content of one file is written inside one transaction, from beginContent to endContent,
// into a zero-filled value of the announced length through an incremental blob handle, so the
// file never sits in memory whole. A content that fails (longer than the engine holds in one value,
// cut short, a call out of order, more or fewer bytes than announced) is rolled back and its row
// removed, so that no row stands for a file that is not stored.
class EmbeddedComponentWriter final : public ComponentWriter {
public:
    explicit EmbeddedComponentWriter(embedded::Connection db);
    ~EmbeddedComponentWriter() override;
    EmbeddedComponentWriter(const EmbeddedComponentWriter&) = delete;
    EmbeddedComponentWriter& operator=(const EmbeddedComponentWriter&) = delete;

    Result<bool> hasComponentsTable() override;
    Status addComponent(int id, const QString& fileName) override;
    Status beginContent(int id, qint64 totalLength) override;
    Status appendContent(QByteArrayView piece) override;
    Status endContent() override;
    Status updateProperty(const QString& key, const QString& value) override;

private:
    struct AddedRow {
        int id;
        sqlite3_int64 rowid;
        QString fileName;
    };

    Result<sqlite3_int64> rowOf(int id);
    // Why the engine refused to reserve totalLength bytes, in words the operator can act on.
    QString reserveError(int code, qint64 totalLength) const;
    // Closes the blob, rolls the content back, removes the row it was for and reports error.
    Status abandonContent(const QString& error);
    // A content still open when another call comes is given up: the caller lost its way.
    Status refuseWhileContentOpen();

    embedded::Connection m_db;
    std::optional<AddedRow> m_lastAdded;
    std::optional<sqlite3_int64> m_contentRow; // the row of the open content
    bool m_contentOpen = false;
    sqlite3_blob* m_blob = nullptr; // only while a content of more than 0 bytes is open
    qint64 m_total = 0;
    qint64 m_written = 0;
};

} // namespace osk
