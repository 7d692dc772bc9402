#include "database/database_admin.h"
#include "database/embedded_engine.h"
#include "database/record_errors.h"
#include "eventlog/event_log.h"
#include "sqlite_fixture.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"

#include <QColor>
#include <QDir>
#include <QTest>

using namespace osk;
using namespace osk::test;

namespace {
const QString kComputer = QStringLiteral("SERVIDOR1");
const QString kAddress = QStringLiteral("192.168.1.20");
const QString kBadData = QStringLiteral("Datos incorrectos en la Base de Datos. Actualice.");

// A valid product database whose server data are another server's.
const std::vector<Property> kOsk1Rows{{QStringLiteral("AppVersion"), QStringLiteral("2.0")},
                                      {QStringLiteral("AppDBRevision"), QStringLiteral("7")},
                                      {QStringLiteral("AppOskServerHost"), QStringLiteral("OLDPC")},
                                      {QStringLiteral("AppOskServerPort"), QStringLiteral("1000")},
                                      {QStringLiteral("AppUsrMode"), QStringLiteral("SINGLE")}};

// The administration of one test over the embedded engine, in its own program folder.
struct Admin {
    FakeClock clock;
    TempProgramFolder folder;
    EmbeddedEngine engine{folder.file(QStringLiteral("Data"))};
    ScriptedOperator op;
    EventLog log{clock, op, folder.path()};
    DatabaseListModel list;
    DatabaseAdmin admin{engine, log, op, list};
};
} // namespace

class TestDatabaseAdmin final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        f = std::make_unique<Admin>();
        QVERIFY(f->folder.isValid());
        QVERIFY(f->engine.openPrincipal());
    }

    void cleanup() { f.reset(); }

    void cargaWritesServerDataIntoValidDatabases() {
        createDatabase(QStringLiteral("osk1"), kOsk1Rows);
        const std::vector<Property> incorrect{{QStringLiteral("AppDBRevision"), QStringLiteral("3")},
                                              {QStringLiteral("AppOskServerHost"), QStringLiteral("OLDPC")},
                                              {QStringLiteral("AppOskServerPort"), QStringLiteral("1000")},
                                              {QStringLiteral("AppUsrMode"), QStringLiteral("SINGLE")}};
        createDatabase(QStringLiteral("osk2"), incorrect);

        // Twice: a refill replaces the rows rather than adding to them.
        f->admin.CargaBasesDatos(4001, kComputer);
        f->admin.CargaBasesDatos(4001, kComputer);

        QVERIFY(f->op.messages.empty());
        QCOMPARE(listed(),
                 (QStringList{QStringLiteral("OskDB|1|Actualizada"), QStringLiteral("osk1|7|Actualizada"),
                              QStringLiteral("osk2|3|Incorrecta")}));
        QCOMPARE(propertyRows(path(QStringLiteral("osk1"))),
                 (QStringList{QStringLiteral("AppVersion=2.0"), QStringLiteral("AppDBRevision=7"),
                              QStringLiteral("AppOskServerHost=") + kComputer,
                              QStringLiteral("AppOskServerPort=4001"), QStringLiteral("AppUsrMode=MULTI")}));
        QCOMPARE(propertyRows(path(QStringLiteral("osk2"))), rowsOf(incorrect));
        QVERIFY(
            propertyRows(path(QStringLiteral("OskDB"))).contains(QStringLiteral("AppOskServerPort=4001")));

        // Only the "Incorrecta" row is red, across the whole row.
        for (int column = 0; column < f->list.columnCount(); ++column) {
            QCOMPARE(f->list.index(2, column).data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
            QVERIFY(!f->list.index(1, column).data(Qt::ForegroundRole).isValid());
        }
        QCOMPARE(f->list.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Base de Datos"));
        QCOMPARE(f->list.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Versión"));
        QCOMPARE(f->list.headerData(2, Qt::Horizontal).toString(), QStringLiteral("Estado"));
    }

    void portZeroOnlyRefreshes() {
        createDatabase(QStringLiteral("osk1"), kOsk1Rows);
        const QStringList principalBefore = propertyRows(path(QStringLiteral("OskDB")));

        f->admin.CargaBasesDatos(0, kComputer);

        QVERIFY(f->op.messages.empty());
        QCOMPARE(listed(),
                 (QStringList{QStringLiteral("OskDB|1|Actualizada"), QStringLiteral("osk1|7|Actualizada")}));
        QCOMPARE(propertyRows(path(QStringLiteral("osk1"))), rowsOf(kOsk1Rows));
        QCOMPARE(propertyRows(path(QStringLiteral("OskDB"))), principalBefore);
    }

    void anErrorEndsTheFilling_data() {
        QTest::addColumn<QStringList>("creation");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("failedRow");
        // No state yet: the error came before the property was read.
        QTest::newRow("no property table")
            << QStringList{QStringLiteral("CREATE TABLE t (x)")}
            << QStringLiteral("no such table: OskVersion") << QStringLiteral("osk2||");
        QTest::newRow("no revision row")
            << QStringList{QStringLiteral("CREATE TABLE OskVersion (Id INTEGER PRIMARY KEY, Property TEXT, "
                                          "PropertyValue TEXT)"),
                           QStringLiteral(
                               "INSERT INTO OskVersion (Property, PropertyValue) VALUES ('AppVersion', '2')")}
            << kNoCurrentRecord << QStringLiteral("osk2||Actualizada");
    }

    void anErrorEndsTheFilling() {
        QFETCH(QStringList, creation);
        QFETCH(QString, error);
        QFETCH(QString, failedRow);
        QVERIFY(runSql(path(QStringLiteral("osk2")), creation));
        createDatabase(QStringLiteral("osk3"), kOsk1Rows);

        f->admin.CargaBasesDatos(4001, kComputer);

        QCOMPARE(f->op.messages.size(), size_t(1));
        const ShownMessage& shown = f->op.messages.front();
        QVERIFY2(shown.text.contains(error), qPrintable(shown.text));
        QCOMPARE(shown.icon, MessageIcon::Exclamation);
        QCOMPARE(shown.title, kDefaultTitle);
        // The failing database keeps its row; later ones are neither listed nor written.
        QCOMPARE(listed(), (QStringList{QStringLiteral("OskDB|1|Actualizada"), failedRow}));
        QVERIFY(!f->list.index(1, 0).data(Qt::ForegroundRole).isValid());
        QCOMPARE(propertyRows(path(QStringLiteral("osk3"))), rowsOf(kOsk1Rows));
    }

    void compruebaDatos_data() {
        QTest::addColumn<QString>("storedHost");
        QTest::addColumn<QString>("localAddress");
        QTest::addColumn<bool>("ok");
        QTest::newRow("null host") << QString() << kAddress << false;
        QTest::newRow("computer name") << kComputer << kAddress << true;
        QTest::newRow("name in another case") << kComputer.toLower() << kAddress << false;
        QTest::newRow("stale host") << QStringLiteral("VIEJOPC") << kAddress << false;
        QTest::newRow("local address") << kAddress << kAddress << true;
        QTest::newRow("empty host, no address") << QString(QLatin1String("")) << QString() << false;
    }

    void compruebaDatos() {
        QFETCH(QString, storedHost);
        QFETCH(QString, localAddress);
        QFETCH(bool, ok);
        QVERIFY(
            runSql(path(QStringLiteral("OskDB")),
                   {QStringLiteral("UPDATE OskVersion SET PropertyValue=%1 WHERE Property='AppOskServerHost'")
                        .arg(sqlLiteral(storedHost.isNull() ? std::nullopt : std::optional(storedHost)))}));

        QCOMPARE(f->admin.CompruebaDatos(kComputer, localAddress), ok);

        QVERIFY(f->op.messages.empty());
        if (ok) {
            QVERIFY(f->log.entries().empty());
        } else {
            QCOMPARE(f->log.entries().size(), size_t(1));
            QVERIFY(f->log.entries().front().text.endsWith(kBadData));
            QCOMPARE(f->log.entries().front().kind, LogKind::Error);
        }
    }

    void compruebaDatosPassesAfterCarga() {
        QVERIFY(!f->admin.CompruebaDatos(kComputer, kAddress));
        f->admin.CargaBasesDatos(4001, kComputer);
        QVERIFY(f->admin.CompruebaDatos(kComputer, kAddress));
        QCOMPARE(f->log.entries().size(), size_t(1));

        // An apostrophe in the computer name travels unchanged.
        const QString quoted = QStringLiteral("PC'O''Brien");
        f->admin.CargaBasesDatos(4001, quoted);
        QVERIFY(f->op.messages.empty());
        QVERIFY(f->admin.CompruebaDatos(quoted, QString()));
        QCOMPARE(f->log.entries().size(), size_t(1));
    }

    void compruebaDatosErrorsGoToTheOperator() {
        QVERIFY(runSql(path(QStringLiteral("OskDB")),
                       {QStringLiteral("DELETE FROM OskVersion WHERE Property='AppOskServerHost'")}));

        QVERIFY(!f->admin.CompruebaDatos(kComputer, kAddress));

        QCOMPARE(f->op.messages.size(), size_t(1));
        QCOMPARE(f->op.messages.front().text, QStringLiteral("CompruebaDatos \r\n") + kNoCurrentRecord);
        QCOMPARE(f->op.messages.front().icon, MessageIcon::None);
        QCOMPARE(f->op.messages.front().title, kDefaultTitle);
        QVERIFY(f->log.entries().empty());
    }

private:
    QString path(const QString& database) const { return f->engine.databasePath(database); }

    void createDatabase(const QString& name, const std::vector<Property>& rows) {
        QVERIFY(createProductDatabase(path(name), rows));
    }

    static QStringList rowsOf(const std::vector<Property>& rows) {
        QStringList texts;
        for (const auto& [key, value] : rows)
            texts << (value ? key + QLatin1Char('=') + *value : key + QStringLiteral(" is NULL"));
        return texts;
    }

    // The list as the operator reads it: name|revision|state per row.
    QStringList listed() const {
        QStringList rows;
        for (int row = 0; row < f->list.rowCount(); ++row) {
            QStringList cells;
            for (int column = 0; column < f->list.columnCount(); ++column)
                cells << f->list.index(row, column).data().toString();
            rows << cells.join(QLatin1Char('|'));
        }
        return rows;
    }

    std::unique_ptr<Admin> f;
};

QTEST_GUILESS_MAIN(TestDatabaseAdmin)
#include "test_database_admin.moc"
