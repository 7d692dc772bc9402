#include "common/operator.h"
#include "database/client_distribution.h"
#include "database/embedded_component_writer.h"
#include "database/embedded_engine.h"
#include "sqlite_fixture.h"
#include "support/scripted_operator.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDateTime>
#include <QTest>
#include <QtEndian>

using namespace osk;
using namespace osk::test;

namespace {

// Every call the distribution made on its progress window, in order.
class RecordingProgress final : public ProgressView {
public:
    void show() override { calls << QStringLiteral("show"); }
    void setText(const QString& text) override { calls << "text " + text; }
    void setMaximum(int maximum) override { calls << QStringLiteral("maximum %1").arg(maximum); }
    void setValue(int value) override { calls << QStringLiteral("value %1").arg(value); }
    void hide() override { calls << QStringLiteral("hide"); }

    QStringList calls;
};

QByteArray patterned(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + i / 251) & 0xff);
    return bytes;
}

} // namespace

// The files of ClientUpdate into oskComponents of a database of the embedded engine, in pieces.
class TestClientDistribution final : public QObject {
    Q_OBJECT

    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<EmbeddedEngine> m_engine;
    ScriptedOperator m_op;
    RecordingProgress m_progress;

    QString database() const { return m_folder->file(QStringLiteral("Data/oskdemo.db")); }
    void put(const QString& name, const QByteArray& bytes) {
        QVERIFY(writeFileBytes(m_folder->file(QStringLiteral("ClientUpdate/") + name), bytes));
    }
    // What a run said, the progress window's calls, the operator's boxes and busy depth, the rows and
    // the revision stored.
    QString run(const QString& name = QStringLiteral("oskdemo")) {
        const Result<QString> done =
            ClientDistribution(m_folder->path(), *m_engine, m_op, m_progress).ActualizaClientes(name);
        return seen(done ? "done: " + *done : "failed: " + done.error());
    }
    QString seen(const QString& outcome) {
        SqliteFile stored(database());
        QStringList lines{outcome};
        lines += std::exchange(m_progress.calls, {});
        lines += std::exchange(m_op.shown, {});
        lines << QStringLiteral("busy %1").arg(m_op.busyDepth);
        lines +=
            stored.rows("SELECT IdNumero, FileName, length(FileObject), substr(hex(FileObject), 1, 8) FROM "
                        "oskComponents ORDER BY IdNumero");
        lines += stored.rows("SELECT 'revision ' || ifnull(PropertyValue, 'NULL') FROM OskVersion WHERE "
                             "Property='AppEXERevision'");
        return lines.join(u'\n');
    }

private slots:
    void init() {
        m_folder = std::make_unique<TempProgramFolder>();
        m_engine = std::make_unique<EmbeddedEngine>(m_folder->file(QStringLiteral("Data")));
        QVERIFY(m_engine->createProductDatabase(QStringLiteral("oskdemo")).ok());
        QVERIFY(QDir(m_folder->path()).mkpath(QStringLiteral("ClientUpdate")));
        m_op = ScriptedOperator();
        m_progress = RecordingProgress();
    }

    // The remainder (length mod 16384) first, then the whole pieces, each counted on the window.
    void storesEveryFileInPieces_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("pieces"); // the progress calls of Osk2.exe
        QTest::newRow("one byte short of a piece") << qint64(16383) << "maximum 0";
        QTest::newRow("one piece") << qint64(16384) << "maximum 1\nvalue 1";
        QTest::newRow("remainder and a piece") << qint64(16385) << "maximum 1\nvalue 1";
        QTest::newRow("remainder and three pieces")
            << qint64(3 * 16384 + 7) << "maximum 3\nvalue 1\nvalue 2\nvalue 3";
    }
    void storesEveryFileInPieces() {
        QFETCH(qint64, size);
        QFETCH(QString, pieces);
        const QByteArray exe = patterned(size);
        put(QStringLiteral("Osk2.exe"), exe);
        put(QStringLiteral("a.dll"), "0123456789");
        put(QStringLiteral("vacio.txt"), {});
        QFile file(m_folder->file(QStringLiteral("ClientUpdate/Osk2.exe")));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime(QDate(2026, 11, 30), QTime(8, 15)),
                                 QFileDevice::FileModificationTime));
        file.close();
        QVERIFY(SqliteFile(database())
                    .run({QStringLiteral("INSERT INTO oskComponents VALUES (2, 'vacio.txt', x'01')")}));

        OSK_COMPARE_SNAPSHOT(run(), "done: Datos actualizados correctamente\nshow\n"
                                    "text Actualizando 'a.dll' en 'oskdemo'...\nmaximum 0\n"
                                    "text Actualizando 'Osk2.exe' en 'oskdemo'...\n" +
                                        pieces +
                                        "\ntext Actualizando 'vacio.txt' en 'oskdemo'...\nhide\nbusy 0\n"
                                        "1|a.dll|10|30313233\n2|Osk2.exe|" +
                                        QString::number(size) + "|" + exe.left(4).toHex().toUpper() +
                                        "\n3|vacio.txt|NULL|\n"
                                        "revision 2026-11-30 08:15:00");
        QVERIFY(SqliteFile(database()).rows("SELECT hex(FileObject) FROM oskComponents WHERE IdNumero=2") ==
                QStringList{exe.toHex().toUpper()});
    }

    // A failed run is a failure with its reason, and writes no revision.
    void failures_data() {
        QTest::addColumn<QStringList>("change");
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("seen");
        const QString end = "\nbusy 0\nrevision NULL";
        const QString refused = "CHECK constraint failed: FileName <> 'a.dll'";
        QTest::newRow("no components table")
            << QStringList{"DROP TABLE oskComponents"} << "oskdemo"
            << "failed: La base de datos 'oskdemo' no tiene la tabla oskComponents; no se ha guardado ningún "
               "archivo.\nshow\nhide" +
                   end;
        QTest::newRow("a file refused")
            << QStringList{"DROP TABLE oskComponents",
                           "CREATE TABLE oskComponents (IdNumero INTEGER, FileName TEXT "
                           "CHECK (FileName <> 'a.dll'), FileObject BLOB)"}
            << "oskdemo"
            << "failed: " + refused +
                   "\nshow\ntext Actualizando 'a.dll' en 'oskdemo'...\nhide\nsaid Exclamation: " + refused +
                   end;
        // The engine's own words, not yet in Spanish.
        QTest::newRow("no such database")
            << QStringList{} << "oskninguna"
            << "failed: unable to open database file: %F/Data/oskninguna.db\nshow\nhide" + end;
    }
    void failures() {
        QFETCH(QStringList, change);
        QFETCH(QString, database);
        QFETCH(QString, seen);
        QVERIFY(SqliteFile(this->database()).run(change));
        put(QStringLiteral("a.dll"), "x");
        put(QStringLiteral("Osk2.exe"), "MZ");
        OSK_COMPARE_SNAPSHOT(run(database).replace(m_folder->path(), "%F"), seen);
    }

    // The gate file in either case; without it nothing is stored.
    void revisionAndGate() {
        put(QStringLiteral("otro.dll"), "x");
        put(QStringLiteral("Osk2.exe.bak"), "x");
        OSK_COMPARE_SNAPSHOT(run(),
                             QStringLiteral("done: No hay archivos de actualización disponibles.\nbusy 0\n"
                                            "revision NULL"));
        put(QStringLiteral("osk2.exe"), "MZ");
        const QString stored =
            QStringLiteral("done: Datos actualizados correctamente\nshow\n"
                           "text Actualizando '%1' en 'oskdemo'...\nmaximum 0\n"
                           "text Actualizando 'Osk2.exe.bak' en 'oskdemo'...\nmaximum 0\n"
                           "text Actualizando 'otro.dll' en 'oskdemo'...\nmaximum 0\nhide\n"
                           "busy 0\n1|%1|2|4D5A\n2|Osk2.exe.bak|1|78\n3|otro.dll|1|78\nrevision ");
        const QString lower = run();
        OSK_COMPARE_SNAPSHOT(lower.section(u'\n', 0, -2), stored.arg("osk2.exe").section(u'\n', 0, -2));
        QVERIFY(QFile::rename(m_folder->file(QStringLiteral("ClientUpdate/osk2.exe")),
                              m_folder->file(QStringLiteral("ClientUpdate/OSK2.EXE"))));
        QVERIFY(lower.section(u'\n', -1).startsWith(QLatin1String("revision 20")));
        OSK_COMPARE_SNAPSHOT(run().section(u'\n', 0, -2), stored.arg("OSK2.EXE").section(u'\n', 0, -2));

        // The file version recorded in the executable, here across the first megabyte's end.
        QByteArray exe = patterned((1 << 20) + 64);
        uchar record[16];
        qToLittleEndian<quint32>(0xFEEF04BD, record);
        qToLittleEndian<quint32>(0x00010000, record + 4);
        qToLittleEndian<quint32>((2u << 16) | 7u, record + 8);
        qToLittleEndian<quint32>((2026u << 16) | 12u, record + 12);
        exe.replace((1 << 20) - 8, 16, QByteArray(reinterpret_cast<const char*>(record), 16));
        put(QStringLiteral("Osk2.exe"), exe);
        QCOMPARE(
            ClientDistribution::executableRevision(m_folder->file(QStringLiteral("ClientUpdate/Osk2.exe"))),
            QStringLiteral("2.7.2026.12"));
    }

    // A file longer than the engine holds in one value is refused with the reason, in Spanish,
    // and leaves no row for it; the files stored before it stay. The engine's limit (a billion
    // bytes unless lowered) is lowered on the writer's connection so the file can be small.
    void fileOverTheEnginesLimit() {
        put(QStringLiteral("a.dll"), "0123456789");
        put(QStringLiteral("Osk2.exe"), patterned(2 * 16384 + 5));
        QVERIFY(SqliteFile(database())
                    .run({QStringLiteral("INSERT INTO oskComponents VALUES (7, 'Osk2.exe', x'4D5A')")}));
        auto connection = embedded::openConnection(database(), SQLITE_OPEN_READWRITE, 1000);
        QVERIFY(connection.ok());
        sqlite3_limit(connection->get(), SQLITE_LIMIT_LENGTH, 20000);
        EmbeddedComponentWriter writer(std::move(connection).value());
        const Status stored = ClientDistribution(m_folder->path(), *m_engine, m_op, m_progress)
                                  .GuardaComponentes(writer, "oskdemo");
        const QString reason =
            QStringLiteral("El archivo 'Osk2.exe' ocupa 32773 bytes y el motor de base de datos "
                           "incorporado guarda como mucho 20000 bytes por archivo; no se ha "
                           "guardado.");
        OSK_COMPARE_SNAPSHOT(seen(stored ? QStringLiteral("stored") : stored.error()),
                             reason +
                                 "\ntext Actualizando 'a.dll' en 'oskdemo'...\nmaximum 0\n"
                                 "text Actualizando 'Osk2.exe' en 'oskdemo'...\nsaid Exclamation: " +
                                 reason + "\nbusy 0\n1|a.dll|10|30313233\nrevision NULL");
    }
};

QTEST_GUILESS_MAIN(TestClientDistribution)
#include "test_client_distribution.moc"
