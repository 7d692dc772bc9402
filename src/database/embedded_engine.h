#pragma once

#include "database/engine.h"

#include <QString>
#include <atomic>

struct sqlite3;

namespace osk {

// The embedded engine: one SQLite file per database, "<name>.db" in the folder Data of the program
// folder. OskDB is created, with its property table, when it is missing.
class EmbeddedEngine final : public Engine {
public:
    static inline const QString kDisplayName = QStringLiteral("(embedded)");

    explicit EmbeddedEngine(QString dataFolder);
    ~EmbeddedEngine() override;
    EmbeddedEngine(const EmbeddedEngine&) = delete;
    EmbeddedEngine& operator=(const EmbeddedEngine&) = delete;

    QString serverDisplayName() const override { return kDisplayName; }
    bool isLocal(const QString&) const override { return true; }
    bool writesBackupFiles() const override { return true; }

    Status openPrincipal() override;
    bool isPrincipalOpen() const override { return m_principal != nullptr; }
    Result<QString> principalPropertyThirdColumn(const QString& key) override;

    Result<QStringList> listProductDatabases() override;
    Result<PropertyValue> readProperty(const QString& database, const QString& key) override;
    Status updateProperty(const QString& database, const QString& key, const QString& value) override;
    Status dropDatabase(const QString& database) override;
    Status backupDatabase(const QString& database, const QString& outputFile) override;
    void stopBackups() override { m_backupsStopped = true; }
    bool holdsFile(const QString& resolvedPath) const override;
    Result<std::unique_ptr<ComponentWriter>> openComponentWriter(const QString& database) override;

    QString databasePath(const QString& database) const;

    // Creates the empty product database "<name>.db": the property table of OskDB with its initial rows,
    // and an empty oskComponents. Refuses a name that is taken (in any case), that is not a plain file
    // name, or that the database list would not show.
    Status createProductDatabase(const QString& name);

private:
    QString m_dataFolder;
    sqlite3* m_principal = nullptr;
    std::atomic<bool> m_backupsStopped{false};
};

} // namespace osk
