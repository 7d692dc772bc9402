#include "common/owned_file.h"
#include "common/whole_file.h"
#include "support/snapshot.h"
#include "support/test_io.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace osk;
using osk::test::owners;

class TestOwnedFile : public QObject {
    Q_OBJECT

private slots:
    // Appended lines read back from any offset; a write the system stops half way (here the size
    // limit, as a full disk would) leaves the file as it was, so the next line joins no broken one.
    void appendsAndTakesBackAWriteCutShort() {
        QTemporaryDir dir;
        const QString path = dir.filePath("a.log");
        {
            auto opened = OwnedFile::open(path, OwnedFile::Access::Append);
            QVERIFY2(opened.ok(), qPrintable(opened.error()));
            OwnedFile file = std::move(opened).value();
            QVERIFY(file.write("uno\r\n").ok());
            QVERIFY(file.write(QByteArray(85, 'a')).ok());
        }
        auto opened = OwnedFile::open(path, OwnedFile::Access::ReadAppend);
        QVERIFY(opened.ok());
        OwnedFile file = std::move(opened).value();
        const Status cut = [&] {
            test::FileSizeLimit limit(100);
            return file.write(QByteArray(20, 'b'));
        }();
        QCOMPARE(cut.error(), path + QStringLiteral(": el archivo ha alcanzado el tamaño máximo"));
        QCOMPARE(file.size().value(), qint64(90));
        QVERIFY(file.write("c").ok());
        QCOMPARE(file.readFrom(0).value(), "uno\r\n" + QByteArray(85, 'a') + 'c');
        QCOMPARE(file.readFrom(89).value(), QByteArray("ac"));
    }

    // A link is never followed, a FIFO never waited on (nobody at its other end), a folder never
    // taken for a file; each is refused with the reason, and what a link leads to is left alone.
    void refusesWhatIsNotARegularFile() {
        QTemporaryDir dir;
        const QString target = dir.filePath("target.txt");
        QVERIFY(test::writeFileBytes(target, "precioso"));
        QVERIFY(QFile::link(target, dir.filePath("eventlog.journal")));
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("OskServer.INI")).constData(), 0600), 0);
        QStringList refused;
        for (const QString& name :
             {QStringLiteral("eventlog.journal"), QStringLiteral("OskServer.INI"), QString()}) {
            for (auto access : {OwnedFile::Access::Read, OwnedFile::Access::Append,
                                OwnedFile::Access::ReadAppend, OwnedFile::Access::Replace}) {
                if (name.isEmpty() && access != OwnedFile::Access::Read)
                    continue;
                const auto file = OwnedFile::open(name.isEmpty() ? dir.path() : dir.filePath(name), access);
                refused << (file.ok() ? QStringLiteral("opened") : file.error());
            }
        }
        refused << systemReason(ENOSPC) << systemReason(EACCES) << systemReason(EROFS) << systemReason(EPERM);
        OSK_COMPARE_SNAPSHOT(
            refused.join(u'\n').replace(dir.path(), QStringLiteral("<dir>")),
            QString::fromUtf8("No se puede abrir el archivo <dir>/eventlog.journal: es un enlace simbólico.\n"
                              "No se puede abrir el archivo <dir>/eventlog.journal: es un enlace simbólico.\n"
                              "No se puede abrir el archivo <dir>/eventlog.journal: es un enlace simbólico.\n"
                              "No se puede abrir el archivo <dir>/eventlog.journal: es un enlace simbólico.\n"
                              "No se puede abrir el archivo <dir>/OskServer.INI: no es un archivo normal.\n"
                              "No se puede abrir el archivo <dir>/OskServer.INI: no es un archivo normal.\n"
                              "No se puede abrir el archivo <dir>/OskServer.INI: no es un archivo normal.\n"
                              "No se puede abrir el archivo <dir>/OskServer.INI: no es un archivo normal.\n"
                              "No se puede abrir el archivo <dir>: es una carpeta.\n"
                              "no queda espacio en el disco\n"
                              "permiso denegado\n"
                              "el sistema de archivos es de solo lectura\n"
                              "permiso denegado"));
        QCOMPARE(test::readFileBytes(target), QByteArray("precioso"));
    }

    // A whole-file write (settings, a followed user's log) replaces the file keeping its owner,
    // group and mode; one the disk stops half way leaves the old file and nothing beside it; one
    // aimed at a FIFO leaves the FIFO.
    void wholeFileWritesReplaceKeepOrRefuse() {
        QTemporaryDir dir;
        const QString path = dir.filePath("OskServer.INI");
        QVERIFY(writeWholeFile(path, "[Main]\r\nPort=1\r\n").ok());
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0640) == 0);
        // Someone else's owner and group: only root can give them, and only root can keep them.
        const bool root = ::geteuid() == 0;
        QVERIFY(!root || ::chown(QFile::encodeName(path).constData(), 65534, 4) == 0);
        const QString before = owners(path);
        QVERIFY(writeWholeFile(path, "[Main]\r\nPort=1033\r\n").ok());
        QCOMPARE(owners(path), root ? QStringLiteral("65534:4 0640") : before);
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
};

QTEST_GUILESS_MAIN(TestOwnedFile)
#include "test_owned_file.moc"
