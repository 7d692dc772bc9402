#pragma once

#include "common/result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace osk {

// The users who may log in to the web administration, kept in one file of the program folder that
// only the server's user may read (mode 0600): a line per user, "name:hash", the password as an
// Argon2id hash string. There is no user until an administrator adds one. The file is read again
// for every question, so that a change made by any copy of the program counts at once. A file
// with a line that is not a user's, or a user twice, is someone's mistake: every question is
// refused until it is put right, and it is never rewritten.
class WebUsers final {
public:
    static constexpr int kMinPasswordLength = 8;
    static constexpr int kMaxPasswordBytes = 1024;

    explicit WebUsers(QString path);

    const QString& path() const { return m_path; }
    Result<QStringList> names() const;
    // A new user, or a new password for one already there, as hashPassword() made it.
    Status store(const QString& name, const QByteArray& hash);
    Status remove(const QString& name);
    // Whether this user exists and this is the password. Takes as long for a user who does not
    // exist, so that the time of the answer does not say which names do. Holds nothing between
    // calls: the web server asks from threads of its own.
    bool verify(const QString& name, const QString& password) const;

    // Why a name cannot be a user's, or nothing when it can.
    static QString nameProblem(const QString& name);
    // Why a password cannot be a user's, or nothing when it can.
    static QString passwordProblem(const QString& password);
    // The hash string of a password passwordProblem() accepts; empty when it cannot be made. It
    // costs about a tenth of a second and 64 MiB, so it is made away from the event loop: it
    // touches nothing but its argument, on any thread.
    static QByteArray hashPassword(const QString& password);

private:
    struct Entry {
        QString name;
        QByteArray hash;
    };
    Result<std::vector<Entry>> read() const;
    Status write(const std::vector<Entry>& entries) const;

    QString m_path;
};

} // namespace osk
