#include "database/embedded_engine.h"
#include "sqlite_fixture.h"
#include "support/temp_program_folder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>
#include <vector>

using namespace osk;
using namespace osk::test;

namespace {

constexpr qsizetype kPiece = 16384;

// One row of oskComponents as the file holds it.
struct StoredComponent {
    int id;
    QString fileName;
    bool isNull;
    QByteArray content;
};

struct ClientFile {
    QString name;
    QByteArray content;
};

// The rows as "number name content", the content by its digest, for one readable comparison.
QString describe(int id, const QString& name, bool isNull, const QByteArray& content) {
    return QStringLiteral("%1 %2 %3")
        .arg(id)
        .arg(name, isNull ? QStringLiteral("NULL")
                          : QString::fromLatin1(
                                QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex()));
}

std::vector<StoredComponent> storedComponents(const QString& path) {
    std::vector<StoredComponent> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QDir::toNativeSeparators(path).toUtf8().constData(), &db, SQLITE_OPEN_READONLY,
                        nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db,
                               "SELECT IdNumero, FileName, FileObject FROM oskComponents ORDER BY IdNumero",
                               -1, &st, nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                const auto* blob = static_cast<const char*>(sqlite3_column_blob(st, 2));
                rows.push_back({sqlite3_column_int(st, 0),
                                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 1))),
                                sqlite3_column_type(st, 2) == SQLITE_NULL,
                                QByteArray(blob, blob ? sqlite3_column_bytes(st, 2) : 0)});
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rows;
}

QByteArray generated(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

QStringList describe(const std::vector<StoredComponent>& rows) {
    QStringList lines;
    for (const StoredComponent& row : rows)
        lines << describe(row.id, row.fileName, row.isNull, row.content);
    return lines;
}

// As a run stores them: numbered from 1 in order, an empty file with a NULL content.
QStringList describe(const std::vector<ClientFile>& files) {
    QStringList lines;
    for (const ClientFile& file : files)
        lines << describe(int(lines.size()) + 1, file.name, file.content.isEmpty(), file.content);
    return lines;
}

// Stores one file as the client distribution sends it: the remainder of the length divided by
// 16384 first, when there is one, then the whole 16384-byte pieces.
Status storeFile(ComponentWriter& writer, int id, const ClientFile& file) {
    if (Status added = writer.addComponent(id, file.name); !added)
        return added;
    const qsizetype length = file.content.size();
    if (Status begun = writer.beginContent(id, length); !begun)
        return begun;
    qsizetype size = length % kPiece != 0 ? length % kPiece : kPiece;
    for (qsizetype offset = 0; offset < length; offset += size, size = kPiece) {
        if (Status appended = writer.appendContent(QByteArrayView(file.content).sliced(offset, size));
            !appended)
            return appended;
    }
    return writer.endContent();
}

// Numbered from 1 in the order given, as one run of the distribution numbers them.
Status storeFiles(ComponentWriter& writer, const std::vector<ClientFile>& files) {
    int id = 1;
    for (const ClientFile& file : files) {
        if (Status stored = storeFile(writer, id++, file); !stored)
            return stored;
    }
    return {};
}

} // namespace

class TestEmbeddedComponents final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_engine = std::make_unique<EmbeddedEngine>(m_folder->file(QStringLiteral("Data")));
        const Status created = m_engine->createProductDatabase(QStringLiteral("osk1"));
        QVERIFY2(created.ok(), qPrintable(created.error()));
        m_path = m_engine->databasePath(QStringLiteral("osk1"));
    }

    void cleanup() {
        m_engine.reset();
        m_folder.reset();
    }

    void storesFilesByteForByte_data() {
        QTest::addColumn<QString>("table");
        QTest::newRow("as created") << QString();
        // The rowid is then the number itself.
        QTest::newRow("numbered key") << QStringLiteral(
            "CREATE TABLE oskComponents (IdNumero INTEGER PRIMARY KEY, FileName TEXT, FileObject BLOB)");
    }

    void storesFilesByteForByte() {
        QFETCH(QString, table);
        if (!table.isEmpty())
            QVERIFY(runSql(m_path, {QStringLiteral("DROP TABLE oskComponents"), table}));
        const std::vector<ClientFile> files{
            {QStringLiteral("Osk2.exe"), generated(3 * kPiece + 1, 1)},
            {QStringLiteral("vacío.dat"), {}},
            {QStringLiteral("O'Brien's tool.dll"), generated(3 * kPiece, 2)},
            {QStringLiteral("léame.txt"), generated(100, 3)},
            {QStringLiteral("one piece.bin"), generated(kPiece, 4)},
        };
        auto writer = m_engine->openComponentWriter(QStringLiteral("osk1"));
        QVERIFY2(writer.ok(), qPrintable(writer.error()));
        QCOMPARE(*(*writer)->hasComponentsTable(), true);

        const Status stored = storeFiles(**writer, files);
        QVERIFY2(stored.ok(), qPrintable(stored.error()));

        QCOMPARE(describe(storedComponents(m_path)), describe(files));
    }

    // The rows are deleted by name and by number first, so a second run leaves one row per file and
    // per number, even where an earlier run numbered a file that is gone since.
    void aSecondRunReplacesTheRows() {
        {
            auto writer = m_engine->openComponentWriter(QStringLiteral("osk1"));
            QVERIFY(writer.ok());
            QVERIFY(storeFiles(**writer, {{QStringLiteral("a.exe"), generated(5000, 10)},
                                          {QStringLiteral("b.dll"), generated(kPiece + 5, 11)},
                                          {QStringLiteral("retirado.ocx"), generated(70, 12)}}));
        }
        const std::vector<ClientFile> second{{QStringLiteral("b.dll"), generated(2 * kPiece, 20)},
                                             {QStringLiteral("a.exe"), {}},
                                             {QStringLiteral("nuevo.exe"), generated(9, 21)}};
        auto writer = m_engine->openComponentWriter(QStringLiteral("osk1"));
        QVERIFY(writer.ok());
        const Status stored = storeFiles(**writer, second);
        QVERIFY2(stored.ok(), qPrintable(stored.error()));

        QCOMPARE(describe(storedComponents(m_path)), describe(second));
    }

    // Others read the database while a file goes in; they see the row's content once it is whole.
    void othersReadWhileAFileIsWritten() {
        auto writer = m_engine->openComponentWriter(QStringLiteral("osk1"));
        QVERIFY(writer.ok());
        const QByteArray content = generated(4 * kPiece, 30);
        QVERIFY((*writer)->addComponent(1, QStringLiteral("Osk2.exe")));
        QVERIFY((*writer)->beginContent(1, content.size()));
        QVERIFY((*writer)->appendContent(QByteArrayView(content).first(2 * kPiece)));

        const auto version = m_engine->readProperty(QStringLiteral("osk1"), QStringLiteral("AppVersion"));
        QVERIFY2(version.ok(), qPrintable(version.error()));
        QVERIFY(storedComponents(m_path).at(0).isNull);

        QVERIFY((*writer)->appendContent(QByteArrayView(content).sliced(2 * kPiece)));
        QVERIFY((*writer)->endContent());
        QVERIFY(storedComponents(m_path).at(0).content == content);
    }

    void wrongByteCountsAreErrors_data() {
        QTest::addColumn<qint64>("announced");
        QTest::addColumn<QList<int>>("pieces");
        QTest::newRow("too many in one piece") << qint64(10) << QList<int>{11};
        QTest::newRow("too many over two pieces") << qint64(kPiece + 1) << QList<int>{1, int(kPiece), 1};
        QTest::newRow("too few") << qint64(2 * kPiece) << QList<int>{int(kPiece)};
        QTest::newRow("none of them") << qint64(5) << QList<int>{};
        QTest::newRow("bytes for an empty file") << qint64(0) << QList<int>{1};
    }

    void wrongByteCountsAreErrors() {
        QFETCH(qint64, announced);
        QFETCH(QList<int>, pieces);
        auto writer = m_engine->openComponentWriter(QStringLiteral("osk1"));
        QVERIFY(writer.ok());
        ComponentWriter& w = **writer;
        QVERIFY(w.addComponent(1, QStringLiteral("Osk2.exe")));
        QVERIFY(w.beginContent(1, announced));

        bool failed = false;
        for (const int size : pieces) {
            if (!w.appendContent(QByteArray(size, 'p'))) {
                failed = true;
                break;
            }
        }
        if (!failed)
            failed = !w.endContent();
        QVERIFY(failed);
        // The half-written content is rolled back, and nothing stays open or locked.
        QVERIFY(!w.appendContent(QByteArray(1, 'p')));
        QVERIFY(!w.endContent());
        const auto rows = storedComponents(m_path);
        QCOMPARE(rows.size(), size_t(1));
        QVERIFY(rows[0].isNull);
        QVERIFY(runSql(m_path, {QStringLiteral("BEGIN EXCLUSIVE"), QStringLiteral("COMMIT")}));

        // The writer goes on with the next file.
        const ClientFile next{QStringLiteral("b.dll"), generated(kPiece + 3, 40)};
        const Status stored = storeFile(w, 2, next);
        QVERIFY2(stored.ok(), qPrintable(stored.error()));
        QVERIFY(storedComponents(m_path).at(1).content == next.content);
    }

    void callsOutOfOrderAreErrors() {
        auto writer = m_engine->openComponentWriter(QStringLiteral("osk1"));
        QVERIFY(writer.ok());
        ComponentWriter& w = **writer;
        QVERIFY(!w.appendContent(QByteArray(1, 'p')));
        QVERIFY(!w.endContent());
        // No row with the number.
        QVERIFY(!w.beginContent(7, 10));
        QVERIFY(w.addComponent(1, QStringLiteral("a.exe")));
        QVERIFY(!w.beginContent(1, -1));

        // Another file or a property update in the middle of a content gives that content up.
        QVERIFY(w.beginContent(1, 10));
        QVERIFY(w.appendContent(QByteArray(4, 'p')));
        QVERIFY(!w.addComponent(2, QStringLiteral("b.exe")));
        QVERIFY(!w.appendContent(QByteArray(6, 'p')));
        QVERIFY(w.beginContent(1, 10));
        QVERIFY(!w.updateProperty(QStringLiteral("AppEXERevision"), QStringLiteral("5")));
        QVERIFY(!w.endContent());

        const auto rows = storedComponents(m_path);
        QCOMPARE(rows.size(), size_t(1));
        QVERIFY(rows[0].isNull);
        QVERIFY(m_engine->readProperty(QStringLiteral("osk1"), QStringLiteral("AppEXERevision"))
                    ->value()
                    .isNull());
    }

    // A row added by another writer, one that finds it by its number.
    void writesTheContentOfARowAddedEarlier() {
        {
            auto first = m_engine->openComponentWriter(QStringLiteral("osk1"));
            QVERIFY(first.ok());
            QVERIFY((*first)->addComponent(3, QStringLiteral("c.exe")));
        }
        auto writer = m_engine->openComponentWriter(QStringLiteral("osk1"));
        QVERIFY(writer.ok());
        const QByteArray content = generated(kPiece + 7, 50);
        QVERIFY((*writer)->beginContent(3, content.size()));
        QVERIFY((*writer)->appendContent(content));
        QVERIFY((*writer)->endContent());
        QVERIFY(storedComponents(m_path).at(0).content == content);
    }

    void hasComponentsTableLooksTheTableUp() {
        // Without the table: a product database made by another tool.
        const QString bare = m_engine->databasePath(QStringLiteral("oskbare"));
        QVERIFY(createProductDatabase(bare, {{QStringLiteral("AppVersion"), QStringLiteral("2.0")}}));
        auto writer = m_engine->openComponentWriter(QStringLiteral("oskbare"));
        QVERIFY2(writer.ok(), qPrintable(writer.error()));
        auto found = (*writer)->hasComponentsTable();
        QVERIFY(found.ok());
        QVERIFY(!*found);

        // Names of tables compare without regard to case; an index of that name is no table.
        QVERIFY(runSql(bare, {QStringLiteral("CREATE TABLE other (x)"),
                              QStringLiteral("CREATE INDEX oskComponents ON other (x)")}));
        QVERIFY(!*(*writer)->hasComponentsTable());
        QVERIFY(runSql(bare, {QStringLiteral("DROP INDEX oskComponents"),
                              QStringLiteral("CREATE TABLE OSKCOMPONENTS (IdNumero INTEGER, FileName TEXT, "
                                             "FileObject BLOB)")}));
        QVERIFY(*(*writer)->hasComponentsTable());
    }

    void updatesAPropertyOnItsConnection() {
        auto writer = m_engine->openComponentWriter(QStringLiteral("osk1"));
        QVERIFY(writer.ok());
        QVERIFY(
            (*writer)->updateProperty(QStringLiteral("AppEXERevision"), QStringLiteral("2026-12-04 O'K")));
        QCOMPARE(m_engine->readProperty(QStringLiteral("osk1"), QStringLiteral("appexerevision"))->value(),
                 QStringLiteral("2026-12-04 O'K"));
    }

    void opensOnlyAnExistingDatabase() {
        QVERIFY(!m_engine->openComponentWriter(QStringLiteral("oskgone")).ok());
        QVERIFY(!QFileInfo::exists(m_engine->databasePath(QStringLiteral("oskgone"))));
        QVERIFY(!m_engine->openComponentWriter(QStringLiteral("../osk1")).ok());
    }

private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<EmbeddedEngine> m_engine;
    QString m_path;
};

QTEST_GUILESS_MAIN(TestEmbeddedComponents)
#include "test_embedded_components.moc"
