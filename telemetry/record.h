// The exposure record: every reading and console event as one CSV row appended
// to a file, durable against a killed process and off the polling thread's path.
#pragma once

#include "model.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ondrel {

// The first line of a new or empty record.
extern const char* const kRecordHeader; // "time,event,kv,ua,temperature,faults,detail"

// One field as the record writes it: characters up to U+00FF stand for the byte
// of that value (the generator's replies are 8-bit text), others for their UTF-8
// bytes; control bytes, bytes above 0x7E and the backslash become \xHH, and a
// field holding a comma or a double quote is quoted as RFC 4180 asks.
QByteArray RecordField(const QString& text);

// Whole rows, CRLF included.
QByteArray RecordRow(const Reading& reading);
QByteArray RecordRow(const ConsoleEvent& event);

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
    CExposureRecord(const QString& path, int fd, QByteArray pending);
    void Enqueue(QByteArray row, bool syncNow);
    void WriterLoop();
    bool WriteRow(const QByteArray& row, QString* reason);
    void Fail(const QString& reason);

    const QString m_path;
    int m_fd = -1;
    std::atomic<bool> m_failed{false};
    std::atomic<int> m_syncs{0};

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::vector<QByteArray> m_queue; // guarded by m_lock
    bool m_syncRequested = false;    // guarded by m_lock
    bool m_closing = false;          // guarded by m_lock
    std::thread m_writer;
};

} // namespace ondrel
