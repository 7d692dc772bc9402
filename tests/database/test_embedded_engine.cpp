#include "database/embedded_engine.h"
#include "database/record_errors.h"
#include "sqlite_fixture.h"
#include "support/temp_program_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace osk;
using namespace osk::test;

class TestEmbeddedEngine final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_data = m_folder->file(QStringLiteral("Data"));
    }

    void openPrincipalCreatesOskDB() {
        EmbeddedEngine engine(m_data);
        QVERIFY(!engine.isPrincipalOpen());
        const Status opened = engine.openPrincipal();
        QVERIFY2(opened.ok(), qPrintable(opened.error()));
        QVERIFY(engine.isPrincipalOpen());
        QCOMPARE(engine.databasePath(QStringLiteral("OskDB")),
                 QDir(m_data).filePath(QStringLiteral("OskDB.db")));

        const QStringList expected{QStringLiteral("AppVersion=") + QStringLiteral(OSK_VERSION_STRING),
                                   QStringLiteral("AppDBRevision=1"),
                                   QStringLiteral("AppOskServerHost is NULL"),
                                   QStringLiteral("AppOskServerPort is NULL"),
                                   QStringLiteral("AppUsrMode is NULL"),
                                   QStringLiteral("AppEXERevision is NULL")};
        QCOMPARE(propertyRows(engine.databasePath(QStringLiteral("OskDB"))), expected);

        // The stored value is what the third column of "SELECT *" returns.
        const auto version = engine.principalPropertyThirdColumn(QStringLiteral("AppVersion"));
        QVERIFY2(version.ok(), qPrintable(version.error()));
        QCOMPARE(*version, QStringLiteral(OSK_VERSION_STRING));
        const auto host = engine.principalPropertyThirdColumn(QStringLiteral("AppOskServerHost"));
        QVERIFY2(host.ok(), qPrintable(host.error()));
        QVERIFY(host->isNull());

        const auto missing = engine.principalPropertyThirdColumn(QStringLiteral("NoSuchKey"));
        QVERIFY(!missing.ok());
        QCOMPARE(missing.error(), kNoCurrentRecord);

        // Opening again neither duplicates nor resets rows.
        QVERIFY(engine.updateProperty(QStringLiteral("OskDB"), QStringLiteral("AppUsrMode"),
                                      QStringLiteral("MULTI")));
        QVERIFY(engine.openPrincipal());
        QCOMPARE(propertyRows(engine.databasePath(QStringLiteral("OskDB"))).size(), expected.size());
        QCOMPARE(*engine.principalPropertyThirdColumn(QStringLiteral("AppUsrMode")), QStringLiteral("MULTI"));
    }

    void openPrincipalCompletesAnExistingOskDB() {
        QVERIFY(QDir().mkpath(m_data));
        EmbeddedEngine engine(m_data);
        const QString path = engine.databasePath(QStringLiteral("OskDB"));
        QVERIFY(createProductDatabase(path, {{QStringLiteral("AppVersion"), QStringLiteral("1.5")},
                                             {QStringLiteral("AppOskServerHost"), QStringLiteral("OLDPC")},
                                             {QStringLiteral("Custom"), QStringLiteral("kept")}}));

        QVERIFY(engine.openPrincipal());
        const QStringList expected{QStringLiteral("AppVersion=1.5"),
                                   QStringLiteral("AppOskServerHost=OLDPC"),
                                   QStringLiteral("Custom=kept"),
                                   QStringLiteral("AppDBRevision=1"),
                                   QStringLiteral("AppOskServerPort is NULL"),
                                   QStringLiteral("AppUsrMode is NULL"),
                                   QStringLiteral("AppEXERevision is NULL")};
        QCOMPARE(propertyRows(path), expected);
    }

    void principalCallsNeedAnOpenPrincipal() {
        EmbeddedEngine engine(m_data);
        QVERIFY(!engine.principalPropertyThirdColumn(QStringLiteral("AppVersion")).ok());

        // A property table with two columns has no third column to read.
        QVERIFY(QDir().mkpath(m_data));
        QVERIFY(runSql(engine.databasePath(QStringLiteral("OskDB")),
                       {QStringLiteral("CREATE TABLE OskVersion (Property TEXT, PropertyValue TEXT)")}));
        QVERIFY(engine.openPrincipal());
        QVERIFY(!engine.principalPropertyThirdColumn(QStringLiteral("AppVersion")).ok());
    }

    void openPrincipalFailsWhereNoFolderCanBe() {
        QFile blocker(m_data);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        EmbeddedEngine engine(m_data);
        QVERIFY(!engine.openPrincipal().ok());
        QVERIFY(!engine.isPrincipalOpen());
    }

    void listsProductDatabases() {
        QVERIFY(QDir().mkpath(m_data));
        EmbeddedEngine engine(m_data);
        QCOMPARE(*engine.listProductDatabases(), QStringList());
        for (const char* file : {"OSKZ.db", "osk1.db", "OskDBUpdate.db", "oskdbupdate.db", "Oska.db",
                                 "other.db", "xosk.db", "osk2.txt", "osk3.db-journal", "osk4.db.bak"})
            QVERIFY(createProductDatabase(QDir(m_data).filePath(QString::fromLatin1(file)), {}));
        QVERIFY(QDir(m_data).mkdir(QStringLiteral("oskfolder.db")));

        QCOMPARE(*engine.listProductDatabases(),
                 (QStringList{QStringLiteral("osk1"), QStringLiteral("Oska"), QStringLiteral("OSKZ")}));

        // OskDB, once created, comes first whatever its name sorts as.
        QVERIFY(engine.openPrincipal());
        QCOMPARE(*engine.listProductDatabases(),
                 (QStringList{QStringLiteral("OskDB"), QStringLiteral("osk1"), QStringLiteral("Oska"),
                              QStringLiteral("OSKZ")}));
    }

    void listingAMissingFolderIsEmpty() {
        EmbeddedEngine engine(m_data);
        const auto names = engine.listProductDatabases();
        QVERIFY(names.ok());
        QVERIFY(names->isEmpty());
    }

    void readsProperties() {
        QVERIFY(QDir().mkpath(m_data));
        EmbeddedEngine engine(m_data);
        const QString db = QStringLiteral("osk1");
        QVERIFY(createProductDatabase(engine.databasePath(db),
                                      {{QStringLiteral("AppDBRevision"), QStringLiteral("12")},
                                       {QStringLiteral("AppOskServerHost"), std::nullopt},
                                       {QStringLiteral("AppUsrMode"), QString(QLatin1String(""))}}));

        const auto revision = engine.readProperty(db, QStringLiteral("AppDBRevision"));
        QVERIFY2(revision.ok(), qPrintable(revision.error()));
        QCOMPARE(revision->value(), QStringLiteral("12"));

        const auto host = engine.readProperty(db, QStringLiteral("AppOskServerHost"));
        QVERIFY(host.ok() && host->has_value());
        QVERIFY(host->value().isNull());

        const auto mode = engine.readProperty(db, QStringLiteral("AppUsrMode"));
        QVERIFY(mode.ok() && mode->has_value());
        QVERIFY(mode->value().isEmpty() && !mode->value().isNull());

        const auto missing = engine.readProperty(db, QStringLiteral("AppVersion"));
        QVERIFY(missing.ok());
        QVERIFY(!missing->has_value());
    }

    void perDatabaseErrors() {
        QVERIFY(QDir().mkpath(m_data));
        EmbeddedEngine engine(m_data);
        QVERIFY(
            runSql(engine.databasePath(QStringLiteral("oskbare")), {QStringLiteral("CREATE TABLE t (x)")}));

        const auto noTable = engine.readProperty(QStringLiteral("oskbare"), QStringLiteral("AppVersion"));
        QVERIFY(!noTable.ok());
        QVERIFY2(noTable.error().contains(QStringLiteral("no such table: OskVersion")),
                 qPrintable(noTable.error()));
        QVERIFY(!engine.updateProperty(QStringLiteral("oskbare"), QStringLiteral("AppUsrMode"),
                                       QStringLiteral("M")));

        // Neither a read nor a write creates a missing database.
        QVERIFY(!engine.readProperty(QStringLiteral("oskgone"), QStringLiteral("AppVersion")).ok());
        QVERIFY(!engine.updateProperty(QStringLiteral("oskgone"), QStringLiteral("AppVersion"),
                                       QStringLiteral("1")));
        QVERIFY(!QFileInfo::exists(engine.databasePath(QStringLiteral("oskgone"))));

        // A name is a file in the data folder, never a path out of it.
        QVERIFY(!engine.readProperty(QStringLiteral("../osk1"), QStringLiteral("AppVersion")).ok());
    }

    void updatesOnlyExistingRows() {
        QVERIFY(QDir().mkpath(m_data));
        EmbeddedEngine engine(m_data);
        const QString db = QStringLiteral("osk1");
        const QString path = engine.databasePath(db);
        QVERIFY(createProductDatabase(path, {{QStringLiteral("AppOskServerHost"), std::nullopt},
                                             {QStringLiteral("O'Key"), QStringLiteral("old")}}));

        QVERIFY(engine.updateProperty(db, QStringLiteral("AppOskServerHost"), QStringLiteral("PC'1; DROP")));
        QVERIFY(engine.updateProperty(db, QStringLiteral("O'Key"), QStringLiteral("it's")));
        const Status absent =
            engine.updateProperty(db, QStringLiteral("AppUsrMode"), QStringLiteral("MULTI"));
        QVERIFY(absent.ok());

        QCOMPARE(propertyRows(path),
                 (QStringList{QStringLiteral("AppOskServerHost=PC'1; DROP"), QStringLiteral("O'Key=it's")}));
        QCOMPARE(engine.readProperty(db, QStringLiteral("O'Key"))->value(), QStringLiteral("it's"));
    }

    void updatesOskDBWhileThePrincipalIsOpen() {
        EmbeddedEngine engine(m_data);
        QVERIFY(engine.openPrincipal());
        // A read on the principal connection first, so any lock it kept would show.
        QVERIFY(engine.principalPropertyThirdColumn(QStringLiteral("AppVersion")).ok());
        const Status updated = engine.updateProperty(
            QStringLiteral("OskDB"), QStringLiteral("AppOskServerHost"), QStringLiteral("PC"));
        QVERIFY2(updated.ok(), qPrintable(updated.error()));
        QCOMPARE(*engine.principalPropertyThirdColumn(QStringLiteral("AppOskServerHost")),
                 QStringLiteral("PC"));
    }

private:
    std::unique_ptr<TempProgramFolder> m_folder;
    QString m_data;
};

QTEST_GUILESS_MAIN(TestEmbeddedEngine)
#include "test_embedded_engine.moc"
