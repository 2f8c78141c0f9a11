#include "record.h"

#include "recordformat.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ondrel {

namespace {

// Why a path cannot hold a record, or nullptr when it can. A character device
// (/dev/null, a terminal) is taken: it cannot block an append the way a FIFO can.
const char* RefusedKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "it is a folder";
    if (S_ISFIFO(mode))
        return "it is a FIFO (named pipe), not a file";
    if (S_ISSOCK(mode))
        return "it is a socket, not a file";
    if (S_ISBLK(mode))
        return "it is a block device, not a file";
    return nullptr;
}

bool EndsWithNewline(const QByteArray& path, off_t size)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return true; // nothing to learn: leave the record as it is
    char last = '\n';
    const bool read = ::pread(fd, &last, 1, size - 1) == 1;
    ::close(fd);
    return !read || last == '\n';
}

} // namespace

std::unique_ptr<CExposureRecord> CExposureRecord::Open(const QString& path, QString* error)
{
    const auto refuse = [&](const QString& reason) {
        *error = QStringLiteral("Cannot record to %1: %2").arg(path, reason);
        return nullptr;
    };
    if (path.isEmpty())
        return refuse(QStringLiteral("no file name given"));
    const QByteArray native = QFile::encodeName(path);

    // Looked at before opening: opening a FIFO for writing waits for a reader.
    struct stat info = {};
    if (::stat(native.constData(), &info) == 0) {
        if (const char* kind = RefusedKind(info.st_mode))
            return refuse(QString::fromLatin1(kind));
    }
    // O_NONBLOCK still guards the open against a FIFO made since the look.
    const int fd = ::open(native.constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0)
        return refuse(qt_error_string(errno));
    if (::fstat(fd, &info) != 0 || RefusedKind(info.st_mode)) {
        const QString reason = RefusedKind(info.st_mode)
                                   ? QString::fromLatin1(RefusedKind(info.st_mode))
                                   : qt_error_string(errno);
        ::close(fd);
        return refuse(reason);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        const QString reason = qt_error_string(errno);
        ::close(fd);
        return refuse(reason);
    }

    QByteArray pending;
    if (S_ISREG(info.st_mode) && info.st_size == 0)
        pending = QByteArray(kRecordHeader) + kRecordRowEnd;
    else if (S_ISREG(info.st_mode) && !EndsWithNewline(native, info.st_size))
        pending = kRecordRowEnd; // a torn last line from elsewhere must not swallow our first row
    return std::unique_ptr<CExposureRecord>(new CExposureRecord(path, fd, wakeFd, pending));
}

CExposureRecord::CExposureRecord(const QString& path, int fd, int wakeFd, QByteArray pending)
    : m_path(path), m_fd(fd), m_wakeFd(wakeFd)
{
    RegisterTelemetryMetaTypes();
    if (!pending.isEmpty())
        Enqueue(std::move(pending), false);
    m_writer = std::thread([this] { WriterLoop(); });
}

CExposureRecord::~CExposureRecord()
{
    m_closing.store(true);
    const quint64 one = 1;
    (void)::write(m_wakeFd, &one, sizeof one);
    m_writer.join();
    ::close(m_wakeFd);
    ::close(m_fd);
}

void CExposureRecord::OnReading(const Reading& reading)
{
    if (!m_failed.load(std::memory_order_relaxed))
        Enqueue(RecordRow(reading), false);
}

void CExposureRecord::OnEvent(const ConsoleEvent& event)
{
    if (!m_failed.load(std::memory_order_relaxed))
        Enqueue(RecordRow(event), true);
}

void CExposureRecord::Enqueue(QByteArray row, bool syncNow)
{
    auto* node = new Pending{std::move(row), syncNow, m_pending.load(std::memory_order_relaxed)};
    while (!m_pending.compare_exchange_weak(node->next, node, std::memory_order_release,
                                            std::memory_order_relaxed)) {
    }
    const quint64 one = 1;
    (void)::write(m_wakeFd, &one, sizeof one); // a full counter is still a wake-up
}

std::vector<CExposureRecord::Pending*> CExposureRecord::TakePending()
{
    std::vector<Pending*> nodes;
    for (Pending* node = m_pending.exchange(nullptr, std::memory_order_acquire); node;
         node = node->next)
        nodes.push_back(node);
    std::reverse(nodes.begin(), nodes.end());
    return nodes;
}

void CExposureRecord::WriterLoop()
{
    // Named so that top -H and the benchmark can tell its CPU apart.
    pthread_setname_np(pthread_self(), "ondrel-record");
    // A batch thread gets its fair share but never preempts the thread that woke
    // it: handing over a row must not cost the polling thread its time slice.
    sched_param batch = {};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastSync = Clock::now();
    bool unsynced = false;
    for (;;) {
        // Closing is read before the rows are taken: whatever was enqueued before
        // the destructor set it is then in this last batch.
        const bool closing = m_closing.load();
        std::vector<Pending*> batch = TakePending();
        if (batch.empty() && !closing) {
            int timeoutMs = -1;
            if (unsynced) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    lastSync + kSyncInterval - Clock::now());
                timeoutMs = int(std::max<std::chrono::milliseconds::rep>(0, left.count()) + 1);
            }
            pollfd wake{m_wakeFd, POLLIN, 0};
            ::poll(&wake, 1, timeoutMs);
            quint64 count = 0;
            (void)::read(m_wakeFd, &count, sizeof count);
            if (!unsynced || Clock::now() - lastSync < kSyncInterval)
                continue;
        }
        bool syncNow = false;
        QString reason;
        for (Pending* node : batch) {
            syncNow = syncNow || node->syncNow;
            if (!m_failed.load() && !WriteRow(node->row, &reason))
                Fail(reason);
            else if (!m_failed.load())
                unsynced = true;
            delete node;
        }
        const bool due = syncNow || closing || Clock::now() - lastSync >= kSyncInterval;
        if (unsynced && due && !m_failed.load()) {
            // EINVAL: a character device, which has nothing to sync.
            int synced;
            do
                synced = ::fdatasync(m_fd);
            while (synced != 0 && errno == EINTR);
            if (synced != 0 && errno != EINVAL)
                Fail(qt_error_string(errno));
            else
                m_syncs.fetch_add(1);
            lastSync = Clock::now();
            unsynced = false;
        }
        if (closing)
            return;
    }
}

bool CExposureRecord::WriteRow(const QByteArray& row, QString* reason)
{
    ssize_t written;
    do
        written = ::write(m_fd, row.constData(), static_cast<size_t>(row.size()));
    while (written < 0 && errno == EINTR);
    if (written == row.size())
        return true;
    if (written < 0) {
        *reason = qt_error_string(errno);
        return false;
    }
    // A short write (the disk filled up in the middle of the row): try the rest,
    // and if that fails too take the torn part back so the record ends on a whole row.
    const ssize_t rest =
        ::write(m_fd, row.constData() + written, static_cast<size_t>(row.size() - written));
    if (rest == row.size() - written)
        return true;
    *reason = qt_error_string(rest < 0 ? errno : ENOSPC);
    struct stat info = {};
    if (::fstat(m_fd, &info) == 0 && S_ISREG(info.st_mode))
        (void)::ftruncate(m_fd, info.st_size - written - (rest > 0 ? rest : 0));
    return false;
}

QString CExposureRecord::StoppedMessage() const
{
    std::lock_guard<std::mutex> locked(m_lock);
    return m_stoppedMessage;
}

void CExposureRecord::Fail(const QString& reason)
{
    const QString message = QStringLiteral("Recording stopped: %1").arg(reason);
    {
        std::lock_guard<std::mutex> locked(m_lock);
        m_stoppedMessage = message;
    }
    if (m_failed.exchange(true))
        return;
    emit stopped(message);
}

} // namespace ondrel
