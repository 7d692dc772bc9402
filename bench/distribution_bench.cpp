// Client distribution into the embedded engine against a plain copy of the same files, in one run:
// throughput in MB/s for each, and the process's peak resident memory after each, which shows
// whether a large file is ever held whole.
//
//   osk_distribution_bench [--megabytes N] [--files K]
//
// Writes K files of N/K MiB each (the first named Osk2.exe) into a temporary program folder.

#include "common/operator.h"
#include "core/engine_factory.h"
#include "database/client_distribution.h"
#include "database/embedded_engine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>

namespace {

long peakResidentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

bool writeFile(const QString& path, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 i = 0; i < block.size(); ++i)
        block[i] = char((i * 131) % 251);
    for (qint64 written = 0; written < size; written += block.size())
        if (file.write(block.constData(), qMin<qint64>(block.size(), size - written)) < 0)
            return false;
    return true;
}

bool copyFolder(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QFileInfo& file : QDir(from).entryInfoList(QDir::Files)) {
        QFile source(file.filePath());
        QFile target(QDir(to).filePath(file.fileName()));
        if (!source.open(QIODevice::ReadOnly) || !target.open(QIODevice::WriteOnly))
            return false;
        QByteArray piece;
        while (!(piece = source.read(osk::ClientDistribution::kPieceSize)).isEmpty())
            if (target.write(piece) != piece.size())
                return false;
        if (!target.flush())
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    qint64 megabytes = 200;
    int files = 4;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--megabytes") == 0)
            megabytes = std::atoll(argv[i + 1]);
        else if (std::strcmp(argv[i], "--files") == 0)
            files = std::atoi(argv[i + 1]);
    }
    QTemporaryDir home;
    const QString update = QDir(home.path()).filePath(QStringLiteral("ClientUpdate"));
    QDir().mkpath(update);
    const qint64 fileSize = megabytes * 1024 * 1024 / files;
    for (int i = 0; i < files; ++i) {
        const QString name = i == 0 ? QStringLiteral("Osk2.exe") : QStringLiteral("modulo%1.dll").arg(i);
        if (!writeFile(QDir(update).filePath(name), fileSize))
            return 1;
    }
    const double total = double(fileSize) * files / (1024.0 * 1024.0);
    const long peakBefore = peakResidentKiB();

    QElapsedTimer clock;
    clock.start();
    if (!copyFolder(update, QDir(home.path()).filePath(QStringLiteral("copy"))))
        return 1;
    const double copySeconds = clock.nsecsElapsed() / 1e9;
    const long peakAfterCopy = peakResidentKiB();

    osk::EmbeddedEngine engine(QDir(home.path()).filePath(QStringLiteral("Data")));
    if (!engine.openPrincipal() || !engine.createProductDatabase(QStringLiteral("oskbench")))
        return 1;
    osk::ConsoleOperator op;
    osk::NoProgressView progress;
    osk::ClientDistribution distribution(home.path(), engine, op, progress);
    clock.restart();
    const osk::Result<QString> stored = distribution.ActualizaClientes(QStringLiteral("oskbench"));
    const double storeSeconds = clock.nsecsElapsed() / 1e9;
    if (!stored) {
        std::fprintf(stderr, "%s\n", stored.error().toLocal8Bit().constData());
        return 1;
    }
    const long peakAfterStore = peakResidentKiB();

    std::printf("files=%d total_mib=%.1f copy_mib_per_s=%.1f store_mib_per_s=%.1f ratio=%.2f "
                "peak_rss_kib_start=%ld peak_rss_kib_after_copy=%ld peak_rss_kib_after_store=%ld\n",
                files, total, total / copySeconds, total / storeSeconds, copySeconds / storeSeconds,
                peakBefore, peakAfterCopy, peakAfterStore);
    return 0;
}
