#include "common/operator.h"
#include "database/client_distribution.h"
#include "database/embedded_component_writer.h"
#include "database/embedded_engine.h"
#include "sqlite_fixture.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDateTime>
#include <QTest>
#include <QtEndian>

using namespace osk;
using namespace osk::test;

namespace {

class RecordingProgress final : public ProgressView {
public:
    void show() override { shown = true; }
    void setText(const QString& text) override { texts << text; }
    void setMaximum(int maximum) override { maxima << maximum; }
    void setValue(int) override {}
    void hide() override { shown = false; }

    bool shown = false;
    QStringList texts;
    QList<int> maxima;
};

QByteArray patterned(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + i / 251) & 0xff);
    return bytes;
}

const char* const kRevision = "SELECT PropertyValue FROM OskVersion WHERE Property='AppEXERevision'";

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
    Result<QString> run(const QString& name = QStringLiteral("oskdemo")) {
        return ClientDistribution(m_folder->path(), *m_engine, m_op, m_progress).ActualizaClientes(name);
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

    void storesEveryFileInPieces_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<int>>("maxima");
        QTest::newRow("one byte short of a piece") << qint64(16383) << QList<int>{0, 0};
        QTest::newRow("one piece") << qint64(16384) << QList<int>{0, 1};
        QTest::newRow("remainder and a piece") << qint64(16385) << QList<int>{0, 1};
        QTest::newRow("remainder and three pieces") << qint64(3 * 16384 + 7) << QList<int>{0, 3};
    }
    void storesEveryFileInPieces() {
        QFETCH(qint64, size);
        QFETCH(QList<int>, maxima);
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

        const Result<QString> done = run();
        QCOMPARE(done.ok() ? *done : done.error(), QStringLiteral("Datos actualizados correctamente"));
        SqliteFile stored(database());
        QCOMPARE(
            stored.rows("SELECT IdNumero, FileName, length(FileObject) FROM oskComponents ORDER BY IdNumero"),
            (QStringList{"1|a.dll|10", "2|Osk2.exe|" + QString::number(size), "3|vacio.txt|NULL"}));
        QVERIFY(stored.rows("SELECT hex(FileObject) FROM oskComponents WHERE IdNumero=2") ==
                QStringList{exe.toHex().toUpper()});
        QCOMPARE(stored.rows(kRevision), QStringList{QStringLiteral("2026-11-30 08:15:00")});
        QCOMPARE(m_progress.maxima, maxima);
        QCOMPARE(m_progress.texts.first(), QStringLiteral("Actualizando 'a.dll' en 'oskdemo'..."));
        QVERIFY(!m_progress.shown);
        QCOMPARE(m_op.busyDepth, 0);
    }

    // A failed run is a failure with its reason, and writes no revision.
    void failures_data() {
        QTest::addColumn<QStringList>("change");
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("error");
        QTest::newRow("no components table") << QStringList{"DROP TABLE oskComponents"} << "oskdemo"
                                             << "La base de datos 'oskdemo' no tiene la tabla oskComponents; "
                                                "no se ha guardado ningún archivo.";
        QTest::newRow("a file refused, later ones fine")
            << QStringList{"DROP TABLE oskComponents", "CREATE TABLE oskComponents (IdNumero INTEGER, "
                                                       "FileName TEXT CHECK (FileName <> 'a.dll'), "
                                                       "FileObject BLOB)"}
            << "oskdemo"
            << "CHECK constraint failed";
        QTest::newRow("no such database") << QStringList{} << "oskninguna"
                                          << "oskninguna";
    }
    void failures() {
        QFETCH(QStringList, change);
        QFETCH(QString, database);
        QFETCH(QString, error);
        QVERIFY(SqliteFile(this->database()).run(change));
        put(QStringLiteral("a.dll"), "x");
        put(QStringLiteral("Osk2.exe"), "MZ");
        const Result<QString> done = run(database);
        QVERIFY(!done.ok());
        QVERIFY2(done.error().contains(error), qPrintable(done.error()));
        QCOMPARE(SqliteFile(this->database()).rows(kRevision), QStringList{QStringLiteral("NULL")});
        QVERIFY(!m_progress.shown);
        QCOMPARE(m_op.busyDepth, 0);
    }

    void revisionAndGate() {
        put(QStringLiteral("otro.dll"), "x");
        const Result<QString> nothing = run();
        QCOMPARE(nothing.ok() ? *nothing : nothing.error(),
                 QStringLiteral("No hay archivos de actualización disponibles."));
        QVERIFY(SqliteFile(database()).rows("SELECT * FROM oskComponents").isEmpty());

        // Spelled as a folder copied from Windows may hold it.
        put(QStringLiteral("OSK2.EXE"), "MZ");
        const Result<QString> upper = run();
        QCOMPARE(upper.ok() ? *upper : upper.error(), QStringLiteral("Datos actualizados correctamente"));
        QCOMPARE(
            SqliteFile(database()).rows("SELECT IdNumero, FileName FROM oskComponents ORDER BY IdNumero"),
            (QStringList{"1|OSK2.EXE", "2|otro.dll"}));

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
        QCOMPARE(stored.ok() ? QString() : stored.error(), reason);
        QCOMPARE(m_op.messages.size(), size_t(1));
        QCOMPARE(m_op.messages[0].text, reason);
        QCOMPARE(
            SqliteFile(database()).rows("SELECT IdNumero, FileName, length(FileObject) FROM oskComponents"),
            QStringList{"1|a.dll|10"});
    }
};

QTEST_GUILESS_MAIN(TestClientDistribution)
#include "test_client_distribution.moc"
