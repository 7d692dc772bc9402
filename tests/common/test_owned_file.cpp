#include "common/owned_file.h"
#include "common/whole_file.h"
#include "support/snapshot.h"
#include "support/test_io.h"

#include <QtTest>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace osk;

class TestOwnedFile : public QObject {
    Q_OBJECT

private slots:
    // A link is never followed, a FIFO never waited on (nobody at its other end), a folder never
    // taken for a file, whatever the access; each is refused with the reason, and what a link leads
    // to is left alone. The system's reasons in Spanish follow.
    void refusesWhatIsNotARegularFile() {
        QTemporaryDir dir;
        const QString target = dir.filePath("target.txt");
        QVERIFY(test::writeFileBytes(target, "precioso"));
        QVERIFY(QFile::link(target, dir.filePath("eventlog.journal")));
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("OskServer.INI")).constData(), 0600), 0);
        QStringList refused;
        for (const QString& name : {u"eventlog.journal"_s, u"OskServer.INI"_s})
            for (auto access : {OwnedFile::Access::Read, OwnedFile::Access::Append,
                                OwnedFile::Access::ReadAppend, OwnedFile::Access::Replace}) {
                const auto file = OwnedFile::open(dir.filePath(name), access);
                refused << (file.ok() ? u"opened"_s : file.error());
            }
        refused << OwnedFile::open(dir.path(), OwnedFile::Access::Read).error() << systemReason(ENOSPC)
                << systemReason(EACCES) << systemReason(EROFS) << systemReason(EPERM);
        OSK_COMPARE_SNAPSHOT(
            refused.join(u'\n').replace(dir.path(), u"<dir>"_s),
            QString::fromUtf8(
                "No se puede abrir el archivo <dir>/eventlog.journal: es un enlace simbólico.\n")
                    .repeated(4) +
                u"No se puede abrir el archivo <dir>/OskServer.INI: no es un archivo normal.\n"_s.repeated(
                    4) +
                QString::fromUtf8(
                    "No se puede abrir el archivo <dir>: es una carpeta.\nno queda espacio en el "
                    "disco\npermiso denegado\nel sistema de archivos es de solo lectura\npermiso "
                    "denegado"));
        QCOMPARE(test::readFileBytes(target), QByteArray("precioso"));
        // A whole-file write aimed at a FIFO leaves the FIFO.
        QCOMPARE(writeWholeFile(dir.filePath("OskServer.INI"), "linea\r\n").error(),
                 u"No se puede abrir el archivo %1: no es un archivo normal."_s.arg(
                     dir.filePath("OskServer.INI")));
        QVERIFY(!QFileInfo(dir.filePath("OskServer.INI")).isFile() &&
                QFileInfo::exists(dir.filePath("OskServer.INI")));
    }
};

QTEST_GUILESS_MAIN(TestOwnedFile)
#include "test_owned_file.moc"
