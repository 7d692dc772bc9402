#pragma once

#include "backup/wait_dialog.h"
#include "database/engine.h"

#include <QSemaphore>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace osk::test {

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
    QSemaphore& entered() { return m_entered; }
    // A stop lets a held backup go, failed, unless the engine is made deaf to stops; left() is given
    // when a backup call has returned from its hold.
    void ignoreStops() { m_deaf = true; }
    void stopBackups() override {
        m_stopped = true;
        if (m_hold && !m_deaf)
            release();
    }
    QSemaphore& left() { return m_left; }

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
    QSemaphore m_gate;
    QSemaphore m_entered;
    QSemaphore m_left;
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
