#include "app/engine_factory.h"

#include "database/embedded_engine.h"

#include <QDir>

namespace osk {

namespace {
// The SQL Server engine is not part of this build yet: every operation says so, so that a settings
// file that names a SQL Server fails loudly at start instead of running on the wrong databases.
class UnavailableSqlServerEngine final : public Engine {
public:
    explicit UnavailableSqlServerEngine(QString serverName)
        : m_serverName(std::move(serverName)) {}

    QString serverDisplayName() const override { return m_serverName; }
    bool isLocal(const QString& computerName) const override {
        return m_serverName.compare(computerName, Qt::CaseInsensitive) == 0;
    }
    Status openPrincipal() override { return Status::failure(reason()); }
    bool isPrincipalOpen() const override { return false; }
    Result<QString> principalPropertyThirdColumn(const QString&) override {
        return Result<QString>::failure(reason());
    }
    Result<QStringList> listProductDatabases() override { return Result<QStringList>::failure(reason()); }
    Result<PropertyValue> readProperty(const QString&, const QString&) override {
        return Result<PropertyValue>::failure(reason());
    }
    Status updateProperty(const QString&, const QString&, const QString&) override {
        return Status::failure(reason());
    }
    Status dropDatabase(const QString&) override { return Status::failure(reason()); }
    Status backupDatabase(const QString&, const QString&) override { return Status::failure(reason()); }
    Result<std::unique_ptr<ComponentWriter>> openComponentWriter(const QString&) override {
        return Result<std::unique_ptr<ComponentWriter>>::failure(reason());
    }

private:
    static QString reason() {
        return QStringLiteral("Esta versión de Osk Server no incluye el acceso a SQL Server; "
                              "use Engine=Embedded en la sección [Main] de OskServer.INI.");
    }
    QString m_serverName;
};
} // namespace

std::unique_ptr<Engine> makeEngine(EngineKind kind, const QString& programFolder,
                                   const QString& sqlServerName) {
    if (kind == EngineKind::SqlServer)
        return std::make_unique<UnavailableSqlServerEngine>(sqlServerName);
    return std::make_unique<EmbeddedEngine>(QDir(programFolder).filePath(QStringLiteral("Data")));
}

} // namespace osk
