// The exposure record: every reading and console event as one CSV row appended
// to a file, durable against a killed process and off the polling thread's path.
#pragma once

#include "model.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ondrel {

class CExposureRecord : public QObject
{
    Q_OBJECT
public:
    // Data reach the disk at least this often, and at once after an event row.
    static constexpr std::chrono::milliseconds kSyncInterval{1000};

    // Opens path for appending (created when absent). Refuses a folder, a FIFO, a
    // socket or a block device without blocking on any of them; on failure returns
    // nothing and sets *error to a sentence naming the file and the reason.
    static std::unique_ptr<CExposureRecord> Open(const QString& path, QString* error);

    // Writes what is still queued, syncs it and closes the file.
    ~CExposureRecord() override;

    QString Path() const { return m_path; }
    // False once a write or a sync failed: nothing is recorded after that.
    bool Recording() const { return !m_failed.load(); }
    // The stopped() message once recording has ended, for whoever connects late.
    QString StoppedMessage() const;
    // Completed data syncs, for tests of durability.
    int SyncCount() const { return m_syncs.load(); }

    // Receivers for the console's signals; they format the row and hand it to the
    // writer thread, never waiting on the disk.
    void OnReading(const ondrel::Reading& reading);
    void OnEvent(const ondrel::ConsoleEvent& event);

signals:
    // Once, from the writer thread, when recording ends on an error:
    // "Recording stopped: <reason>".
    void stopped(const QString& message);

private:
    // A row on its way to the writer thread.
    struct Pending
    {
        QByteArray row;
        bool syncNow = false;
        Pending* next = nullptr;
    };

    CExposureRecord(const QString& path, int fd, int wakeFd, QByteArray pending);
    void Enqueue(QByteArray row, bool syncNow);
    // Everything enqueued so far, oldest first; the caller owns the nodes.
    std::vector<Pending*> TakePending();
    void WriterLoop();
    bool WriteRow(const QByteArray& row, QString* reason);
    void Fail(const QString& reason);

    const QString m_path;
    int m_fd = -1;
    std::atomic<bool> m_failed{false};
    std::atomic<int> m_syncs{0};

    // The hand-over takes no lock, so a writer thread that is descheduled at a bad
    // moment can never make the polling thread wait: rows are pushed onto a list
    // the writer takes whole, and an eventfd wakes it.
    std::atomic<Pending*> m_pending{nullptr};
    std::atomic<bool> m_closing{false};
    const int m_wakeFd;

    mutable std::mutex m_lock;
    QString m_stoppedMessage; // guarded by m_lock
    std::thread m_writer;
};

} // namespace ondrel
