#pragma once

#include "common/result.h"

#include <QString>

namespace osk {

class ComponentWriter;
class Engine;
class Operator;

// The progress dialog of the distribution; the console shows a window, the headless service none.
class ProgressView {
public:
    virtual ~ProgressView() = default;
    virtual void show() = 0;
    virtual void setText(const QString& text) = 0;
    virtual void setMaximum(int maximum) = 0;
    virtual void setValue(int value) = 0;
    virtual void hide() = 0;
};

class NoProgressView final : public ProgressView {
public:
    void show() override {}
    void setText(const QString&) override {}
    void setMaximum(int) override {}
    void setValue(int) override {}
    void hide() override {}
};

// Client executable distribution: every ordinary file of ClientUpdate, byte for byte, into the
// table oskComponents of one product database, then the revision of the executables into its
// property AppEXERevision. Files travel in pieces of kPieceSize bytes, never whole.
class ClientDistribution final {
public:
    static constexpr qint64 kPieceSize = 16384;
    static inline const QString kGateFile = QStringLiteral("Osk2.exe");

    ClientDistribution(QString programFolder, Engine& engine, Operator& op, ProgressView& progress);

    QString updateFolder() const;

    // The line to log as done ("Datos actualizados correctamente", or that there was nothing to
    // store), or the reason it failed, to log as an error. A failed run writes no revision.
    Result<QString> ActualizaClientes(const QString& database);
    // Stores the folder's files; fails when the table is missing or a file could not be stored
    // (the operator has then been shown why).
    Status GuardaComponentes(ComponentWriter& writer, const QString& database);

    // The value written into AppEXERevision: the file version recorded in Osk2.exe when it has
    // one ("1.2.3.4"), else its modification time ("YYYY-MM-DD HH:MM:SS", local time).
    static QString executableRevision(const QString& path);

private:
    // The path of the gate file, whatever the case of its name; empty when there is none.
    QString gateFile() const;
    Status storeFile(ComponentWriter& writer, int id, const QString& path);

    QString m_programFolder;
    Engine& m_engine;
    Operator& m_operator;
    ProgressView& m_progress;
};

} // namespace osk
