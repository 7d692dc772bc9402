#include "database/client_distribution.h"
#include "database/engine.h"
#include "support/scripted_operator.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QtEndian>
#include <map>

using namespace osk;
using namespace osk::test;

namespace {

struct StoredRow {
    QString fileName;
    QByteArray content;
    bool hasContent = false;
    QList<qint64> pieceSizes;
};

// What a database would store, piece by piece; the test sets when it fails.
struct Store {
    bool tableExists = true;
    int failAfterPieces = -1;
    std::map<int, StoredRow> rows;
    std::map<QString, QString> properties;
    int current = 0;
    qint64 expected = 0;
};

// A connection the engine hands out and owns, writing into the test's store.
class RecordingWriter final : public ComponentWriter {
public:
    explicit RecordingWriter(Store& store)
        : m_store(store) {}
    Result<bool> hasComponentsTable() override { return m_store.tableExists; }
    Status addComponent(int id, const QString& fileName) override {
        m_store.rows[id] = StoredRow{fileName, {}, false, {}};
        return {};
    }
    Status beginContent(int id, qint64 totalLength) override {
        m_store.current = id;
        m_store.expected = totalLength;
        m_store.rows[id].hasContent = true;
        return {};
    }
    Status appendContent(QByteArrayView piece) override {
        if (m_store.failAfterPieces-- == 0)
            return Status::failure(QStringLiteral("disco lleno"));
        m_store.rows[m_store.current].content.append(piece);
        m_store.rows[m_store.current].pieceSizes << piece.size();
        return {};
    }
    Status endContent() override {
        return m_store.rows[m_store.current].content.size() == m_store.expected
                   ? Status()
                   : Status::failure(QStringLiteral("incompleto"));
    }
    Status updateProperty(const QString& key, const QString& value) override {
        m_store.properties[key] = value;
        return {};
    }

private:
    Store& m_store;
};

class WriterEngine final : public Engine {
public:
    QString serverDisplayName() const override { return {}; }
    bool isLocal(const QString&) const override { return true; }
    Status openPrincipal() override { return {}; }
    bool isPrincipalOpen() const override { return true; }
    Result<QString> principalPropertyThirdColumn(const QString&) override { return QString(); }
    Result<QStringList> listProductDatabases() override { return QStringList(); }
    Result<PropertyValue> readProperty(const QString&, const QString&) override { return PropertyValue(); }
    Status updateProperty(const QString&, const QString&, const QString&) override { return {}; }
    Status dropDatabase(const QString&) override { return {}; }
    Status backupDatabase(const QString&, const QString&) override { return {}; }
    Result<std::unique_ptr<ComponentWriter>> openComponentWriter(const QString& database) override {
        opened << database;
        if (!openError.isEmpty())
            return Result<std::unique_ptr<ComponentWriter>>::failure(openError);
        return std::unique_ptr<ComponentWriter>(std::make_unique<RecordingWriter>(writer));
    }

    Store writer;
    QStringList opened;
    QString openError;
};

class RecordingProgress final : public ProgressView {
public:
    void show() override { shown = true; }
    void setText(const QString& text) override { texts << text; }
    void setMaximum(int maximum) override { maxima << maximum; }
    void setValue(int value) override { lastValue = value; }
    void hide() override { shown = false; }
    bool shown = false;
    QStringList texts;
    QList<int> maxima;
    int lastValue = 0;
};

QByteArray patterned(qint64 size, char seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7 + i / 251);
    return bytes;
}

// The line the run comes to, failures marked, so that a wrong kind of outcome shows in the comparison.
QString logged(const Result<QString>& outcome) {
    return outcome ? *outcome : QStringLiteral("error: ") + outcome.error();
}

struct Distribution {
    Distribution() {
        QDir(folder.path()).mkpath(QStringLiteral("ClientUpdate"));
        distribution = std::make_unique<ClientDistribution>(folder.path(), engine, op, progress);
    }
    void put(const QString& name, const QByteArray& bytes) {
        QVERIFY(writeFileBytes(folder.file(QStringLiteral("ClientUpdate/") + name), bytes));
    }

    TempProgramFolder folder;
    WriterEngine engine;
    ScriptedOperator op;
    RecordingProgress progress;
    std::unique_ptr<ClientDistribution> distribution;
};

} // namespace

class TestClientDistribution final : public QObject {
    Q_OBJECT

private slots:
    void nothingHappensWithoutTheGateFile() {
        Distribution d;
        d.put(QStringLiteral("otro.dll"), "x");
        QCOMPARE(logged(d.distribution->ActualizaClientes(QStringLiteral("oskdemo"))),
                 QStringLiteral("No hay archivos de actualización disponibles."));
        QVERIFY(d.engine.opened.isEmpty());
        QVERIFY(d.progress.texts.isEmpty());
    }

    void storesEveryFileByteForByteRemainderFirst() {
        Distribution d;
        const qint64 piece = ClientDistribution::kPieceSize;
        const QByteArray exe = patterned(2 * piece + 1, 'a');
        const QByteArray dll = patterned(3 * piece, 'b');
        const QByteArray small = patterned(100, 'c');
        d.put(QStringLiteral("Osk2.exe"), exe);
        d.put(QStringLiteral("b.dll"), dll);
        d.put(QStringLiteral("C.txt"), small);
        d.put(QStringLiteral("vacio.txt"), {});
        d.put(QStringLiteral(".oculto"), "no");
        QDir(d.folder.path()).mkpath(QStringLiteral("ClientUpdate/sub"));

        QCOMPARE(logged(d.distribution->ActualizaClientes(QStringLiteral("oskdemo"))),
                 QStringLiteral("Datos actualizados correctamente"));
        const auto& rows = d.engine.writer.rows;
        QCOMPARE(rows.size(), size_t(4)); // no hidden file, no folder
        // Numbered 1..n in the listing's order, which ignores case.
        QCOMPARE(rows.at(1).fileName, QStringLiteral("b.dll"));
        QCOMPARE(rows.at(2).fileName, QStringLiteral("C.txt"));
        QCOMPARE(rows.at(3).fileName, QStringLiteral("Osk2.exe"));
        QCOMPARE(rows.at(4).fileName, QStringLiteral("vacio.txt"));

        QCOMPARE(rows.at(1).content, dll);
        QCOMPARE(rows.at(1).pieceSizes, QList<qint64>({piece, piece, piece}));
        QCOMPARE(rows.at(2).content, small);
        QCOMPARE(rows.at(2).pieceSizes, QList<qint64>({100}));
        QCOMPARE(rows.at(3).content, exe);
        QCOMPARE(rows.at(3).pieceSizes, QList<qint64>({1, piece, piece}));
        QVERIFY(!rows.at(4).hasContent); // an empty file keeps a null FileObject

        QCOMPARE(d.progress.texts.first(), QStringLiteral("Actualizando 'b.dll' en 'oskdemo'..."));
        QCOMPARE(d.progress.maxima, QList<int>({3, 0, 2}));
        QVERIFY(!d.progress.shown);
        QCOMPARE(d.op.busyDepth, 0);
        QVERIFY(d.op.wasBusy);
        QVERIFY(d.engine.writer.properties.count(QStringLiteral("AppEXERevision")));
    }

    void aMissingTableStoresNothingAndIsAFailure() {
        Distribution d;
        d.put(QStringLiteral("Osk2.exe"), "MZ");
        d.engine.writer.tableExists = false;
        QCOMPARE(logged(d.distribution->ActualizaClientes(QStringLiteral("oskdemo"))),
                 QStringLiteral("error: La base de datos 'oskdemo' no tiene la tabla oskComponents; no se "
                                "ha guardado ningún archivo."));
        QVERIFY(d.engine.writer.rows.empty());
        QVERIFY(d.engine.writer.properties.empty());
        QVERIFY(d.op.messages.empty());
        QVERIFY(!d.progress.shown);
    }

    void aFailedPieceStopsTheRunAndSaysWhy() {
        Distribution d;
        d.put(QStringLiteral("A.dll"), patterned(10, 'a'));
        d.put(QStringLiteral("Osk2.exe"), patterned(3 * ClientDistribution::kPieceSize, 'b'));
        d.engine.writer.failAfterPieces = 2; // A.dll's piece, then one of Osk2.exe
        QCOMPARE(logged(d.distribution->ActualizaClientes(QStringLiteral("oskdemo"))),
                 QStringLiteral("error: disco lleno"));
        QVERIFY(!d.progress.shown);
        QCOMPARE(d.op.messages.size(), size_t(1));
        QCOMPARE(d.op.messages[0].text, QStringLiteral("disco lleno"));
        QCOMPARE(d.op.messages[0].icon, MessageIcon::Exclamation);
        QCOMPARE(d.engine.writer.rows.at(1).content, patterned(10, 'a')); // stored before the error
        QVERIFY(d.engine.writer.properties.empty());
    }

    void aDatabaseThatCannotBeOpenedIsTheResult() {
        Distribution d;
        d.put(QStringLiteral("Osk2.exe"), "MZ");
        d.engine.openError = QStringLiteral("no existe");
        QCOMPARE(logged(d.distribution->ActualizaClientes(QStringLiteral("oskdemo"))),
                 QStringLiteral("error: no existe"));
        QVERIFY(!d.progress.shown);
        QCOMPARE(d.op.busyDepth, 0);
    }

    void revisionIsTheRecordedFileVersionElseTheTime() {
        TempProgramFolder folder;
        // A version record straddling the first megabyte boundary of the file.
        QByteArray exe = patterned((1 << 20) + 64, 'z');
        const qsizetype at = (1 << 20) - 8;
        uchar record[16];
        qToLittleEndian<quint32>(0xFEEF04BD, record);
        qToLittleEndian<quint32>(0x00010000, record + 4);
        qToLittleEndian<quint32>((2u << 16) | 7u, record + 8);
        qToLittleEndian<quint32>((2026u << 16) | 12u, record + 12);
        exe.replace(at, 16, QByteArray(reinterpret_cast<const char*>(record), 16));
        const QString versioned = folder.file(QStringLiteral("Osk2.exe"));
        QVERIFY(writeFileBytes(versioned, exe));
        QCOMPARE(ClientDistribution::executableRevision(versioned), QStringLiteral("2.7.2026.12"));

        const QString plain = folder.file(QStringLiteral("plain.exe"));
        QVERIFY(writeFileBytes(plain, "MZ no version here"));
        QFile file(plain);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QDateTime when(QDate(2026, 11, 30), QTime(8, 15, 0));
        QVERIFY(file.setFileTime(when, QFileDevice::FileModificationTime));
        file.close();
        QCOMPARE(ClientDistribution::executableRevision(plain), QStringLiteral("2026-11-30 08:15:00"));
    }
};

QTEST_GUILESS_MAIN(TestClientDistribution)
#include "test_client_distribution.moc"
