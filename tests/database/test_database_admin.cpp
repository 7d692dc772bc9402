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
} // namespace

class TestDatabaseAdmin final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_engine = std::make_unique<EmbeddedEngine>(m_folder->file(QStringLiteral("Data")));
        m_operator = std::make_unique<ScriptedOperator>();
        m_log = std::make_unique<EventLog>(m_clock, *m_operator, m_folder->path());
        m_list = std::make_unique<DatabaseListModel>();
        m_admin = std::make_unique<DatabaseAdmin>(*m_engine, *m_log, *m_operator, *m_list);
        QVERIFY(m_engine->openPrincipal());
    }

    void cleanup() {
        m_admin.reset();
        m_list.reset();
        m_log.reset();
        m_operator.reset();
        m_engine.reset();
        m_folder.reset();
    }

    void cargaWritesServerDataIntoValidDatabases() {
        createDatabase(QStringLiteral("osk1"), {{QStringLiteral("AppVersion"), QStringLiteral("2.0")},
                                                {QStringLiteral("AppDBRevision"), QStringLiteral("7")},
                                                {QStringLiteral("AppOskServerHost"), QStringLiteral("OLDPC")},
                                                {QStringLiteral("AppOskServerPort"), QStringLiteral("1000")},
                                                {QStringLiteral("AppUsrMode"), QStringLiteral("SINGLE")}});
        const std::vector<Property> incorrect{{QStringLiteral("AppDBRevision"), QStringLiteral("3")},
                                              {QStringLiteral("AppOskServerHost"), QStringLiteral("OLDPC")},
                                              {QStringLiteral("AppOskServerPort"), QStringLiteral("1000")},
                                              {QStringLiteral("AppUsrMode"), QStringLiteral("SINGLE")}};
        createDatabase(QStringLiteral("osk2"), incorrect);

        // Twice: a refill replaces the rows rather than adding to them.
        m_admin->CargaBasesDatos(4001, kComputer);
        m_admin->CargaBasesDatos(4001, kComputer);

        QVERIFY(m_operator->messages.empty());
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
        for (int column = 0; column < m_list->columnCount(); ++column) {
            QCOMPARE(m_list->index(2, column).data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
            QVERIFY(!m_list->index(1, column).data(Qt::ForegroundRole).isValid());
        }
        QCOMPARE(m_list->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Base de Datos"));
        QCOMPARE(m_list->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Versión"));
        QCOMPARE(m_list->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Estado"));
    }

    void portZeroOnlyRefreshes() {
        const std::vector<Property> rows{{QStringLiteral("AppVersion"), QStringLiteral("2.0")},
                                         {QStringLiteral("AppDBRevision"), QStringLiteral("7")},
                                         {QStringLiteral("AppOskServerHost"), QStringLiteral("OLDPC")},
                                         {QStringLiteral("AppOskServerPort"), QStringLiteral("1000")},
                                         {QStringLiteral("AppUsrMode"), QStringLiteral("SINGLE")}};
        createDatabase(QStringLiteral("osk1"), rows);
        const QStringList principalBefore = propertyRows(path(QStringLiteral("OskDB")));

        m_admin->CargaBasesDatos(0, kComputer);

        QVERIFY(m_operator->messages.empty());
        QCOMPARE(listed(),
                 (QStringList{QStringLiteral("OskDB|1|Actualizada"), QStringLiteral("osk1|7|Actualizada")}));
        QCOMPARE(propertyRows(path(QStringLiteral("osk1"))), rowsOf(rows));
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
        const std::vector<Property> later{{QStringLiteral("AppVersion"), QStringLiteral("2.0")},
                                          {QStringLiteral("AppDBRevision"), QStringLiteral("7")},
                                          {QStringLiteral("AppOskServerHost"), QStringLiteral("OLDPC")}};
        createDatabase(QStringLiteral("osk3"), later);

        m_admin->CargaBasesDatos(4001, kComputer);

        QCOMPARE(m_operator->messages.size(), size_t(1));
        const ShownMessage& shown = m_operator->messages.front();
        QVERIFY2(shown.text.contains(error), qPrintable(shown.text));
        QCOMPARE(shown.icon, MessageIcon::Exclamation);
        QCOMPARE(shown.title, kDefaultTitle);
        // The failing database keeps its row; later ones are neither listed nor written.
        QCOMPARE(listed(), (QStringList{QStringLiteral("OskDB|1|Actualizada"), failedRow}));
        QVERIFY(!m_list->index(1, 0).data(Qt::ForegroundRole).isValid());
        QCOMPARE(propertyRows(path(QStringLiteral("osk3"))), rowsOf(later));
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

        QCOMPARE(m_admin->CompruebaDatos(kComputer, localAddress), ok);

        QVERIFY(m_operator->messages.empty());
        if (ok) {
            QVERIFY(m_log->entries().empty());
        } else {
            QCOMPARE(m_log->entries().size(), size_t(1));
            QVERIFY(m_log->entries().front().text.endsWith(kBadData));
            QCOMPARE(m_log->entries().front().kind, LogKind::Error);
        }
    }

    void compruebaDatosPassesAfterCarga() {
        QVERIFY(!m_admin->CompruebaDatos(kComputer, kAddress));
        m_admin->CargaBasesDatos(4001, kComputer);
        QVERIFY(m_admin->CompruebaDatos(kComputer, kAddress));
        QCOMPARE(m_log->entries().size(), size_t(1));

        // An apostrophe in the computer name travels unchanged.
        const QString quoted = QStringLiteral("PC'O''Brien");
        m_admin->CargaBasesDatos(4001, quoted);
        QVERIFY(m_operator->messages.empty());
        QVERIFY(m_admin->CompruebaDatos(quoted, QString()));
        QCOMPARE(m_log->entries().size(), size_t(1));
    }

    void compruebaDatosErrorsGoToTheOperator() {
        QVERIFY(runSql(path(QStringLiteral("OskDB")),
                       {QStringLiteral("DELETE FROM OskVersion WHERE Property='AppOskServerHost'")}));

        QVERIFY(!m_admin->CompruebaDatos(kComputer, kAddress));

        QCOMPARE(m_operator->messages.size(), size_t(1));
        QCOMPARE(m_operator->messages.front().text, QStringLiteral("CompruebaDatos \r\n") + kNoCurrentRecord);
        QCOMPARE(m_operator->messages.front().icon, MessageIcon::None);
        QCOMPARE(m_operator->messages.front().title, kDefaultTitle);
        QVERIFY(m_log->entries().empty());
    }

private:
    QString path(const QString& database) const { return m_engine->databasePath(database); }

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
        for (int row = 0; row < m_list->rowCount(); ++row) {
            QStringList cells;
            for (int column = 0; column < m_list->columnCount(); ++column)
                cells << m_list->index(row, column).data().toString();
            rows << cells.join(QLatin1Char('|'));
        }
        return rows;
    }

    FakeClock m_clock;
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<EmbeddedEngine> m_engine;
    std::unique_ptr<ScriptedOperator> m_operator;
    std::unique_ptr<EventLog> m_log;
    std::unique_ptr<DatabaseListModel> m_list;
    std::unique_ptr<DatabaseAdmin> m_admin;
};

QTEST_GUILESS_MAIN(TestDatabaseAdmin)
#include "test_database_admin.moc"
