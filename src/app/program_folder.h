#pragma once

#include "common/result.h"

#include <QCommandLineOption>
#include <QString>

class QCommandLineParser;
class QLockFile;

namespace osk {

// The program folder when none is given with --home: the executable's own folder, where the
// settings, logs and databases have always lived beside the program; but an installed program
// sits in a folder its users cannot write (/usr/bin), and then each user gets one of their own,
// oskserver under the user's data folder (~/.local/share/oskserver).
QString defaultProgramFolder();

// --home DIR, which both programs take.
QCommandLineOption homeOption();
// The folder --home names, made absolute, or the default one.
QString programFolder(const QCommandLineParser& parser, const QCommandLineOption& home);

// Takes the folder's instance lock, or says why not. The lock file is the program's own: anything
// but a regular file in its place is refused by name ("No se puede usar el archivo de bloqueo
// DIR/.oskserverd.lock: es un enlace simbólico."), since the lock would read a FIFO's writer
// for ever, and would take a link's target for a copy's lock, or put its lock where the link leads.
Status lockInstance(QLockFile& lock, const QString& programFolder);
// After a failed tryLock: the file in the lock's place names no process (empty, garbage) and was
// not being made just now, so it may be taken over.
bool holdsNoLock(const QLockFile& lock);

// Both programs: a file size limit, or a reader of the output that has gone (a pipe into `head`),
// makes a write fail rather than the program end.
void ignoreWriteSignals();

// Why the folder's instance lock could not be taken: another copy holds it, or the lock could not
// be made at all (a folder the program may not write, a full disk: `error`, the system's error
// the attempt left), which is not the same news.
QString instanceLockRefusal(const QLockFile& lock, const QString& programFolder, int error);

} // namespace osk
