#include "common/owned_file.h"
#include "common/whole_file.h"
#include "support/test_io.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace osk;

class TestOwnedFile : public QObject {
    Q_OBJECT

private slots:
    void appendsAndReadsARegularFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath("a.log");
        {
            auto file = OwnedFile::open(path, OwnedFile::Access::Append);
            QVERIFY2(file.ok(), qPrintable(file.error()));
            QVERIFY(file.value().size().ok());
            auto written = std::move(file).value();
            QVERIFY(written.write("uno\r\n").ok());
            QVERIFY(written.write("dos\r\n").ok());
        }
        auto again = OwnedFile::open(path, OwnedFile::Access::ReadAppend);
        QVERIFY(again.ok());
        QCOMPARE(again->readFrom(0).value(), QByteArray("uno\r\ndos\r\n"));
        QCOMPARE(again->readFrom(5).value(), QByteArray("dos\r\n"));
    }

    void refusesALinkAndLeavesItsTargetAlone() {
        QTemporaryDir dir;
        const QString target = dir.filePath("target.txt");
        QFile t(target);
        QVERIFY(t.open(QIODevice::WriteOnly));
        t.write("precioso");
        t.close();
        const QString link = dir.filePath("eventlog.journal");
        QVERIFY(QFile::link(target, link));
        for (auto access : {OwnedFile::Access::Read, OwnedFile::Access::Append, OwnedFile::Access::ReadAppend,
                            OwnedFile::Access::Replace}) {
            auto file = OwnedFile::open(link, access);
            QVERIFY(!file.ok());
            QCOMPARE(file.error(),
                     QStringLiteral("No se puede abrir el archivo %1: es un enlace simbólico.").arg(link));
        }
        QVERIFY(t.open(QIODevice::ReadOnly));
        QCOMPARE(t.readAll(), QByteArray("precioso"));
    }

    // Opened for reading or writing, a FIFO with nobody at the other end would wait for ever.
    void refusesAFifoAndADirectoryWithoutWaiting() {
        QTemporaryDir dir;
        const QString fifo = dir.filePath("OskServer.INI");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        for (auto access :
             {OwnedFile::Access::Read, OwnedFile::Access::ReadAppend, OwnedFile::Access::Append}) {
            auto file = OwnedFile::open(fifo, access);
            QVERIFY(!file.ok());
            QCOMPARE(file.error(),
                     QStringLiteral("No se puede abrir el archivo %1: no es un archivo normal.").arg(fifo));
        }
        auto folder = OwnedFile::open(dir.path(), OwnedFile::Access::Read);
        QVERIFY(!folder.ok());
        QCOMPARE(folder.error(),
                 QStringLiteral("No se puede abrir el archivo %1: es una carpeta.").arg(dir.path()));
    }

    // A write the system stops half way (here the size limit, as a full disk would) leaves the
    // file as it was, so the next line does not join a broken one.
    void takesBackAWriteCutShort() {
        QTemporaryDir dir;
        const QString path = dir.filePath("a.log");
        auto opened = OwnedFile::open(path, OwnedFile::Access::ReadAppend);
        QVERIFY(opened.ok());
        OwnedFile file = std::move(opened).value();
        QVERIFY(file.write(QByteArray(90, 'a')).ok());

        const Status cut = [&] {
            test::FileSizeLimit limit(100);
            return file.write(QByteArray(20, 'b'));
        }();

        QVERIFY(!cut.ok());
        QCOMPARE(cut.error(), path + QStringLiteral(": el archivo ha alcanzado el tamaño máximo"));
        QCOMPARE(file.size().value(), qint64(90));
        QVERIFY(file.write("c").ok());
        QCOMPARE(file.readFrom(89).value(), QByteArray("ac"));
    }

    // A whole-file write (settings, a followed user's log) that the disk stops half way leaves the
    // old file as it was; one aimed at a FIFO leaves the FIFO.
    void wholeFileWritesLeaveTheOldFileOrRefuse() {
        QTemporaryDir dir;
        const QString path = dir.filePath("OskServer.INI");
        QVERIFY(writeWholeFile(path, "[Main]\r\nPort=1033\r\n").ok());
        {
            test::FileSizeLimit limit(100);
            QCOMPARE(writeWholeFile(path, QByteArray(200, 'x')).error(),
                     QStringLiteral("el archivo ha alcanzado el tamaño máximo"));
        }
        QCOMPARE(test::readFileBytes(path), QByteArray("[Main]\r\nPort=1033\r\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
                 QStringList{"OskServer.INI"});

        const QString fifo = dir.filePath("ana.txt");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QCOMPARE(writeWholeFile(fifo, "linea\r\n").error(),
                 QStringLiteral("No se puede abrir el archivo %1: no es un archivo normal.").arg(fifo));
        QVERIFY(!QFileInfo(fifo).isFile() && QFileInfo(fifo).exists());
    }

    void saysTheSystemsReasonInSpanish() {
        QCOMPARE(systemReason(ENOSPC), QStringLiteral("no queda espacio en el disco"));
        QCOMPARE(systemReason(EACCES), QStringLiteral("permiso denegado"));
        QCOMPARE(systemReason(EROFS), QStringLiteral("el sistema de archivos es de solo lectura"));
    }
};

QTEST_GUILESS_MAIN(TestOwnedFile)
#include "test_owned_file.moc"
