// The exposure record: every reading and console event as one CSV row appended
// to a file, durable against a killed process and off the polling thread's path.
#pragma once

#include "model.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <memory>
#include <thread>

namespace ondrel {

class CExposureRecord : public QObject
{
    Q_OBJECT
public:
    // Data reach the disk at least this often, and at once after an event row.
    static constexpr std::chrono::milliseconds kSyncInterval{1000};
    // The longest the destructor waits for the writer to finish.
    static constexpr std::chrono::milliseconds kCloseWait{1000};

    // Opens path for appending (created when absent) and locks it against other
    // consoles. Refuses a folder, a FIFO, a socket, a block device, a character
    // device other than /dev/null or /dev/full and, whatever its name, the console's own port
    // (portPath, may be empty), without blocking on any of them; on failure returns
    // nothing and sets *error to a sentence naming the file and the reason.
    static std::unique_ptr<CExposureRecord> Open(const QString& path, const QString& portPath,
                                                 QString* error);
    // With no serial port to keep apart from (tests, benchmarks).
    static std::unique_ptr<CExposureRecord> Open(const QString& path, QString* error)
    {
        return Open(path, QString(), error);
    }

    // Writes what is still queued, syncs it and closes the file, waiting at most
    // kCloseWait: what the writer has not written by then is said on standard
    // error and given up.
    ~CExposureRecord() override;

    QString Path() const;
    // False once a write or a sync failed: nothing is recorded after that.
    bool Recording() const;
    // The stopped() message once recording has ended, for whoever connects late.
    QString StoppedMessage() const;
    // Completed data syncs, for tests of durability.
    int SyncCount() const;

    // Receivers for the console's signals; they format the row and hand it to the
    // writer thread, never waiting on the disk.
    void OnReading(const ondrel::Reading& reading);
    void OnEvent(const ondrel::ConsoleEvent& event);

signals:
    // Once, from the writer thread, when recording ends on an error:
    // "Recording stopped: <reason>".
    void stopped(const QString& message);

private:
    // Everything the writer thread touches. It outlives this object when the
    // writer is stuck in a write past kCloseWait, so that the thread, which is
    // then left to itself, never reaches freed memory.
    struct Shared;

    explicit CExposureRecord(std::shared_ptr<Shared> shared);
    static void WriterLoop(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> m_shared;
    std::thread m_writer;
};

} // namespace ondrel
