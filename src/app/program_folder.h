#pragma once

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

// Why the folder's instance lock could not be taken: another copy holds it, or the lock could not
// be made at all (a folder the program may not write), which is not the same news.
QString instanceLockRefusal(const QLockFile& lock, const QString& programFolder);

} // namespace osk
