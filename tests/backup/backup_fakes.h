#pragma once

#include "backup/wait_dialog.h"
#include "database/engine.h"

#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace osk::test {

// A counting semaphore on the standard library's mutex, whose hand-over the thread sanitizer sees
// (QSemaphore waits on a futex it cannot follow). Releases notify under the lock, so a waiter that
// wakes may destroy the semaphore at once.
class Semaphore {
public:
    void release() {
        const std::lock_guard lock(m_mutex);
        ++m_count;
        m_changed.notify_all();
    }
    void acquire() { tryAcquire(1, -1); }
    // Waits at most timeoutMs (for ever when negative).
    bool tryAcquire(int n, int timeoutMs) {
        std::unique_lock lock(m_mutex);
        const auto available = [this, n] {
            return m_count >= n;
        };
        if (timeoutMs < 0)
            m_changed.wait(lock, available);
        else if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), available))
            return false;
        m_count -= n;
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_count = 0;
};

struct BackupCall {
    QString database;
    QString outputFile;
    bool operator==(const BackupCall&) const = default;
};

// An engine whose backups are only recorded; they fail with a given description when told to, and
// can be held inside the call until the test lets them go. Every other call goes to the inner
// engine when there is one and fails otherwise. Backups are called from the runner's worker
// thread, hence the lock.
class FakeEngine final : public Engine {
public:
    explicit FakeEngine(std::unique_ptr<Engine> inner = nullptr)
        : m_inner(std::move(inner)) {}

    void failBackupsWith(const QString& description) {
        std::lock_guard lock(m_mutex);
        m_fail = true;
        m_failure = description;
    }
    // The next backups wait inside the call until release(); entered() is given once per call.
    void holdBackups() { m_hold = true; }
    void release() { m_gate.release(); }
    Semaphore& entered() { return m_entered; }
    // A stop lets a held backup go, failed, unless the engine is made deaf to stops; left() is given
    // when a backup call has returned from its hold.
    void ignoreStops() { m_deaf = true; }
    void stopBackups() override {
        m_stopped = true;
        if (m_hold && !m_deaf)
            release();
    }
    Semaphore& left() { return m_left; }

    std::vector<BackupCall> backupCalls() const {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

    Status backupDatabase(const QString& database, const QString& outputFile) override {
        bool fail = false;
        QString failure;
        {
            std::lock_guard lock(m_mutex);
            m_calls.push_back({database, outputFile});
            fail = m_fail;
            failure = m_failure;
        }
        if (m_hold) {
            m_entered.release();
            m_gate.acquire();
        }
        if (m_stopped) {
            fail = true;
            failure = QStringLiteral("cancelada");
        }
        const Status outcome = fail ? Status::failure(failure) : Status();
        m_left.release();
        return outcome;
    }

    QString serverDisplayName() const override { return m_inner ? m_inner->serverDisplayName() : QString(); }
    bool isLocal(const QString& computerName) const override {
        return m_inner ? m_inner->isLocal(computerName) : true;
    }
    Status openPrincipal() override { return m_inner ? m_inner->openPrincipal() : Status::failure(kNone); }
    bool isPrincipalOpen() const override { return m_inner && m_inner->isPrincipalOpen(); }
    Result<QString> principalPropertyThirdColumn(const QString& key) override {
        return m_inner ? m_inner->principalPropertyThirdColumn(key) : Result<QString>::failure(kNone);
    }
    Result<QStringList> listProductDatabases() override {
        return m_inner ? m_inner->listProductDatabases() : Result<QStringList>::failure(kNone);
    }
    Result<PropertyValue> readProperty(const QString& database, const QString& key) override {
        return m_inner ? m_inner->readProperty(database, key) : Result<PropertyValue>::failure(kNone);
    }
    Status updateProperty(const QString& database, const QString& key, const QString& value) override {
        return m_inner ? m_inner->updateProperty(database, key, value) : Status::failure(kNone);
    }
    Status dropDatabase(const QString& database) override {
        return m_inner ? m_inner->dropDatabase(database) : Status::failure(kNone);
    }
    Result<std::unique_ptr<ComponentWriter>> openComponentWriter(const QString& database) override {
        return m_inner ? m_inner->openComponentWriter(database)
                       : Result<std::unique_ptr<ComponentWriter>>::failure(kNone);
    }

private:
    static inline const QString kNone = QStringLiteral("not in this test");

    std::unique_ptr<Engine> m_inner;
    mutable std::mutex m_mutex;
    std::vector<BackupCall> m_calls;
    bool m_fail = false;
    QString m_failure;
    bool m_hold = false;
    Semaphore m_gate;
    Semaphore m_entered;
    Semaphore m_left;
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_deaf{false};
};

// Remembers what the runner did with the wait dialog, as "show:<message>" and "hide".
class RecordingWaitDialog final : public WaitDialog {
public:
    void show(const QString& message) override { events << QStringLiteral("show:") + message; }
    void hide() override { events << QStringLiteral("hide"); }

    QStringList events;
};

} // namespace osk::test
