#include "database/client_distribution.h"

#include "common/operator.h"
#include "database/engine.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>
namespace osk {

namespace {
void letPendingEventsRun() {
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

// The fixed part of a Windows version resource starts with this signature, followed by the
// structure version and the file version as two 32-bit words (major.minor, build.revision).
constexpr quint32 kFixedFileInfoSignature = 0xFEEF04BD;

QString fileVersionIn(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    constexpr qint64 kChunk = 1 << 20;
    constexpr qsizetype kRecord = 16; // signature, structure version, file version
    // The record is aligned on four bytes within the file. A window keeps the tail of the previous
    // chunk, so that a record across a chunk boundary is found too.
    QByteArray window;
    qint64 windowStart = 0;
    while (!file.atEnd()) {
        window += file.read(kChunk);
        for (qsizetype at = (4 - windowStart % 4) % 4; at + kRecord <= window.size(); at += 4) {
            const auto* bytes = reinterpret_cast<const uchar*>(window.constData() + at);
            if (qFromLittleEndian<quint32>(bytes) != kFixedFileInfoSignature)
                continue;
            const quint32 high = qFromLittleEndian<quint32>(bytes + 8);
            const quint32 low = qFromLittleEndian<quint32>(bytes + 12);
            return QStringLiteral("%1.%2.%3.%4")
                .arg(high >> 16)
                .arg(high & 0xFFFF)
                .arg(low >> 16)
                .arg(low & 0xFFFF);
        }
        const qsizetype keep = qMin<qsizetype>(window.size(), kRecord - 1);
        windowStart += window.size() - keep;
        window = window.right(keep);
    }
    return {};
}
} // namespace

ClientDistribution::ClientDistribution(QString programFolder, Engine& engine, Operator& op,
                                       ProgressView& progress)
    : m_programFolder(std::move(programFolder))
    , m_engine(engine)
    , m_operator(op)
    , m_progress(progress) {}

QString ClientDistribution::updateFolder() const {
    return QDir(m_programFolder).filePath(QStringLiteral("ClientUpdate"));
}

QString ClientDistribution::executableRevision(const QString& path) {
    const QString version = fileVersionIn(path);
    if (!version.isEmpty())
        return version;
    return QFileInfo(path).lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// A folder copied from Windows may spell it "OSK2.EXE": names there ignore case. Should two
// spellings be here, the exact one is taken.
QString ClientDistribution::gateFile() const {
    const QDir folder(updateFolder());
    if (QFileInfo(folder.filePath(kGateFile)).isFile())
        return folder.filePath(kGateFile);
    for (const QFileInfo& entry : folder.entryInfoList(QDir::Files, QDir::Name)) {
        if (entry.fileName().compare(kGateFile, Qt::CaseInsensitive) == 0)
            return entry.filePath();
    }
    return {};
}

Result<QString> ClientDistribution::ActualizaClientes(const QString& database) {
    const QString gate = gateFile();
    if (gate.isEmpty())
        return QStringLiteral("No hay archivos de actualización disponibles.");

    m_progress.show();
    m_operator.setBusy(true);
    letPendingEventsRun();
    Result<QString> result = QStringLiteral("Datos actualizados correctamente");
    if (auto writer = m_engine.openComponentWriter(database); !writer) {
        result = Result<QString>::failure(writer.error());
    } else if (Status stored = GuardaComponentes(**writer, database); !stored) {
        result = Result<QString>::failure(stored.error());
    } else if (Status updated =
                   (*writer)->updateProperty(QStringLiteral("AppEXERevision"), executableRevision(gate));
               !updated) {
        result = Result<QString>::failure(updated.error());
    }
    m_operator.setBusy(false);
    m_progress.hide();
    return result;
}

Status ClientDistribution::GuardaComponentes(ComponentWriter& writer, const QString& database) {
    const Result<bool> hasTable = writer.hasComponentsTable();
    if (hasTable && !*hasTable)
        return Status::failure(
            QStringLiteral("La base de datos '%1' no tiene la tabla oskComponents; no se ha guardado "
                           "ningún archivo.")
                .arg(database));
    Status stored = hasTable ? Status() : Status::failure(hasTable.error());

    const QFileInfoList files =
        QDir(updateFolder()).entryInfoList(QDir::Files, QDir::Name | QDir::IgnoreCase);
    int id = 1;
    for (auto file = files.cbegin(); stored && file != files.cend(); ++file, ++id) {
        m_progress.setText(QStringLiteral("Actualizando '") + file->fileName() + QStringLiteral("' en '") +
                           database + QStringLiteral("'..."));
        stored = storeFile(writer, id, file->filePath());
    }
    if (!stored)
        m_operator.showMessage(stored.error(), MessageIcon::Exclamation, kDefaultTitle);
    return stored;
}

// The content goes in the order the clients expect it: first the remainder (length mod the piece
// size), then the whole pieces, read from the file one after the other.
Status ClientDistribution::storeFile(ComponentWriter& writer, int id, const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Status::failure(file.errorString());
    if (Status added = writer.addComponent(id, QFileInfo(path).fileName()); !added)
        return added;
    const qint64 length = file.size();
    if (length == 0)
        return {};
    if (Status begun = writer.beginContent(id, length); !begun)
        return begun;

    QByteArray piece;
    const auto appendNext = [&](qint64 size) -> Status {
        piece.resize(size);
        if (file.read(piece.data(), size) != size)
            return Status::failure(file.errorString());
        return writer.appendContent(piece);
    };
    if (const qint64 remainder = length % kPieceSize; remainder != 0) {
        if (Status appended = appendNext(remainder); !appended)
            return appended;
    }
    const qint64 pieces = length / kPieceSize;
    m_progress.setMaximum(int(pieces));
    for (qint64 i = 1; i <= pieces; ++i) {
        m_progress.setValue(int(i));
        if (Status appended = appendNext(kPieceSize); !appended)
            return appended;
        letPendingEventsRun();
    }
    return writer.endContent();
}

} // namespace osk
