#include "database/database_admin.h"
#include "database/engine.h"
#include "eventlog/event_log.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"

#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {

// Databases in memory: enough of an engine for the list and the drop.
class ListEngine final : public Engine {
public:
    QString serverDisplayName() const override { return QStringLiteral("SRV"); }
    bool isLocal(const QString&) const override { return true; }
    Status openPrincipal() override { return {}; }
    bool isPrincipalOpen() const override { return true; }
    Result<QString> principalPropertyThirdColumn(const QString&) override { return QStringLiteral("SRV"); }
    Result<QStringList> listProductDatabases() override { return databases; }
    Result<PropertyValue> readProperty(const QString&, const QString&) override {
        return PropertyValue(QStringLiteral("1"));
    }
    Status updateProperty(const QString&, const QString&, const QString&) override { return {}; }
    Status dropDatabase(const QString& database) override {
        dropped << database;
        if (!dropError.isEmpty())
            return Status::failure(dropError);
        databases.removeAll(database);
        return {};
    }
    Status backupDatabase(const QString&, const QString&) override { return {}; }
    Result<std::unique_ptr<ComponentWriter>> openComponentWriter(const QString&) override {
        return Result<std::unique_ptr<ComponentWriter>>::failure(QStringLiteral("unused"));
    }

    QStringList databases{QStringLiteral("OskDB"), QStringLiteral("oskdemo"), QStringLiteral("oskventas")};
    QStringList dropped;
    QString dropError;
};

struct Deletion {
    Deletion()
        : log(clock, op, folder.path())
        , admin(engine, log, op, list) {
        admin.CargaBasesDatos(1033, "SRV");
    }
    bool drop(const QString& name) { return admin.mnuDBDelete(name, 1033, QStringLiteral("SRV")); }
    QStringList listed() const {
        QStringList names;
        for (const DatabaseRow& row : list.rows())
            names << row.name;
        return names;
    }

    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    ListEngine engine;
    DatabaseListModel list;
    EventLog log;
    DatabaseAdmin admin;
};

} // namespace

class TestDatabaseDeletion final : public QObject {
    Q_OBJECT

private slots:
    void theSystemDatabaseIsNeverDropped() {
        Deletion d;
        QVERIFY(!d.drop(QStringLiteral("OskDB")));
        QCOMPARE(d.op.messages.size(), size_t(1));
        QCOMPARE(d.op.messages[0].text,
                 QStringLiteral("No se puede eliminar la Base de Datos OskDB, es esencial para el sistema."));
        QCOMPARE(d.op.messages[0].icon, MessageIcon::Information);
        QVERIFY(d.op.prompts.isEmpty());
        QVERIFY(d.engine.dropped.isEmpty());
    }

    void answeringNoSendsNothing() {
        Deletion d;
        d.op.questionAnswers = {false};
        QVERIFY(!d.drop(QStringLiteral("oskdemo")));
        QCOMPARE(d.op.prompts,
                 QStringList({QStringLiteral(
                     "Va a eliminar una Base de Datos que puede estar en uso, ¿Desea continuar?")}));
        QCOMPARE(d.op.questionIcons.front(), MessageIcon::Information);
        QVERIFY(d.engine.dropped.isEmpty());
        QCOMPARE(d.listed().size(), 3);
    }

    void aDroppedDatabaseLeavesTheList() {
        Deletion d;
        d.op.questionAnswers = {true};
        QVERIFY(d.drop(QStringLiteral("oskdemo")));
        QCOMPARE(d.engine.dropped, QStringList({QStringLiteral("oskdemo")}));
        QCOMPARE(d.listed(), QStringList({QStringLiteral("OskDB"), QStringLiteral("oskventas")}));
        QVERIFY(d.op.messages.empty());
    }

    void aRefusedDropIsReportedAndTheListStays() {
        Deletion d;
        d.op.questionAnswers = {true};
        d.engine.dropError = QStringLiteral("La base de datos está en uso.");
        d.engine.databases.removeAll(QStringLiteral("oskventas")); // a refill would show this
        QVERIFY(!d.drop(QStringLiteral("oskdemo")));
        QCOMPARE(d.op.messages.size(), size_t(1));
        QCOMPARE(d.op.messages[0].text, QStringLiteral("mnuDBDelete ErrorLa base de datos está en uso."));
        QCOMPARE(d.op.messages[0].icon, MessageIcon::Critical);
        QCOMPARE(d.listed().size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestDatabaseDeletion)
#include "test_database_deletion.moc"
