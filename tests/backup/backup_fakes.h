#pragma once

#include "backup/wait_dialog.h"
#include "database/engine.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace osk::test {

// An engine that records every call, as "what: arguments", in the order made. Its backups write
// "<database> copia" into the output as this program's own engine does (writesFiles), or leave the
// writing to a server elsewhere; they fail when told to, and can be held inside the call until
// released or stopped. Backups run on the runner's worker thread; every hand-over is on the
// standard library's mutex, which the thread sanitizer follows.
class FakeEngine final : public Engine {
public:
    // Set while no backup runs: the runner's thread start hands them over.
    QString failure;   // the description of a failed backup; none when null
    bool hold = false; // backups wait inside the call until released, or stopped unless deaf
    bool deaf = false;
    bool writesFiles = false;
    QString host;          // the server's host the principal database names; none when null
    QStringList databases; // the product databases; the list fails when there are none
    QString heldFile;      // a resolved path the engine holds as one of its databases

    void release() {
        locked([&] { m_released = true; });
    }
    bool waitUntilEntered(int ms) {
        return waitFor(ms, [this] { return m_backups > 0; });
    }
    // A held worker that was abandoned must leave the engine before the test ends.
    bool waitUntilLeft(int ms) {
        return waitFor(ms, [this] { return m_inside == 0; });
    }
    // The calls since the last look, then forgotten.
    QStringList takeCalls() {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_calls, {});
    }

    void stopBackups() override {
        locked([&] {
            m_calls << "stop";
            m_stopped = true;
            m_released = m_released || !deaf;
        });
    }
    Status backupDatabase(const QString& database, const QString& outputFile) override {
        std::unique_lock lock(m_mutex);
        m_calls << "backup: " + database + " > " + outputFile;
        ++m_inside;
        ++m_backups;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !hold || m_released; });
        --m_inside;
        m_changed.notify_all();
        if (m_stopped)
            return Status::failure("cancelada");
        if (!failure.isNull())
            return Status::failure(failure);
        QFile file(outputFile);
        if (writesFiles && !(file.open(QIODevice::WriteOnly) && file.write(database.toUtf8() + " copia") > 0))
            return Status::failure(file.errorString());
        return {};
    }
    bool writesBackupFiles() const override { return writesFiles; }
    bool holdsFile(const QString& resolvedPath) const override { return resolvedPath == heldFile; }

    QString serverDisplayName() const override { return "FAKE"; }
    bool isLocal(const QString&) const override { return true; }
    Status openPrincipal() override { return record("open principal", Status()); }
    bool isPrincipalOpen() const override { return true; }
    Result<QString> principalPropertyThirdColumn(const QString& key) override {
        return record("principal: " + key, host.isNull() ? none<QString>() : Result<QString>(host));
    }
    Result<QStringList> listProductDatabases() override {
        return record("list", databases.isEmpty() ? none<QStringList>() : Result<QStringList>(databases));
    }
    // Nothing else behind it.
    Result<PropertyValue> readProperty(const QString&, const QString&) override {
        return none<PropertyValue>();
    }
    Status updateProperty(const QString&, const QString&, const QString&) override { return none<void>(); }
    Status dropDatabase(const QString&) override { return none<void>(); }
    Result<std::unique_ptr<ComponentWriter>> openComponentWriter(const QString&) override {
        return none<std::unique_ptr<ComponentWriter>>();
    }

private:
    template <typename T> static Result<T> none() { return Result<T>::failure("no disponible"); }
    template <typename T> T record(const QString& call, T result) {
        locked([&] { m_calls << call; });
        return result;
    }
    template <typename Change> void locked(Change change) {
        const std::lock_guard lock(m_mutex);
        change();
        m_changed.notify_all();
    }
    template <typename Condition> bool waitFor(int ms, Condition condition) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), condition);
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    QStringList m_calls;
    bool m_released = false;
    bool m_stopped = false;
    int m_inside = 0;
    int m_backups = 0;
};

// What the runner did with the wait dialog, as "show:<message>" and "hide".
class RecordingWaitDialog final : public WaitDialog {
public:
    void show(const QString& message) override { events << "show:" + message; }
    void hide() override { events << "hide"; }

    QStringList events;
};

} // namespace osk::test
