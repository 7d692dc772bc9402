#pragma once

#include <QString>
#include <QStringList>

namespace osk {

class Operator;

// Starts programs without waiting for them. The system's launcher in the program; a recording one
// in tests.
class Launcher {
public:
    virtual ~Launcher() = default;
    // True when the program was started.
    virtual bool startDetached(const QString& program, const QStringList& arguments,
                               const QString& workingFolder) = 0;
};

class ProcessLauncher final : public Launcher {
public:
    bool startDetached(const QString& program, const QStringList& arguments,
                       const QString& workingFolder) override;
};

// The product's separate administration programs, which the server only starts: each command looks
// for its program in the program folder (the upload module in "Osk tools" beside it), starts it
// with its command line and carries on, or tells the operator the program is missing.
class ExternalModules final {
public:
    ExternalModules(QString programFolder, QString computerName, Operator& op, Launcher& launcher);

    // "&Copias de Seguridad": OskDBBackup.exe 1.
    void mnuDBBackup();
    // "Grupos y Usuarios" on a database: OskSecurity.exe <computer>|<database>.
    void mnuDBSecurity(const QString& database);
    // "&Grupos y Usuarios": OskSecurity.exe <computer>.
    void mnuSecurity();
    // "&Descargar Actualización Osk 2.0": true when the operator chose to end the program so that
    // the update can run.
    bool mnuDBDownload();
    // "Subir &Base de Datos a Ftp".
    void mnuDBUpload();

    QString modulePath(const QString& relative) const;

private:
    void startOrReportMissing(const QString& file, const QStringList& arguments);
    void start(const QString& path, const QStringList& arguments, const QString& workingFolder);

    QString m_programFolder;
    QString m_computerName;
    Operator& m_operator;
    Launcher& m_launcher;
};

} // namespace osk
