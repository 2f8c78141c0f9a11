#include "record.h"

#include "recordformat.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ondrel {

namespace {

// A file's identity, which a symlink or a second name for it cannot hide.
struct FileId
{
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;

    static FileId Of(const struct stat& info) { return {true, info.st_dev, info.st_ino}; }
    bool Is(const struct stat& info) const
    {
        return known && info.st_dev == device && info.st_ino == inode;
    }
};

// /dev/null, and /dev/full, which fails every write at once as a full disk does.
bool IsNeverBlockingDevice(const struct stat& info)
{
    for (const char* path : {"/dev/null", "/dev/full"}) {
        struct stat device = {};
        if (S_ISCHR(info.st_mode) && ::stat(path, &device) == 0 && S_ISCHR(device.st_mode) &&
            info.st_rdev == device.st_rdev)
            return true;
    }
    return false;
}

// Why a file cannot hold a record, or an empty string when it can. Of character
// devices only /dev/null and /dev/full are taken: a terminal or a serial line
// would take rows meant for the disk, and a write to one can block for as long
// as its output is held up.
QString RefusedKind(const struct stat& info, const FileId& port)
{
    if (port.Is(info))
        return QStringLiteral("it is the console's own serial port");
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("it is a folder");
    if (S_ISFIFO(info.st_mode))
        return QStringLiteral("it is a FIFO (named pipe), not a file");
    if (S_ISSOCK(info.st_mode))
        return QStringLiteral("it is a socket, not a file");
    if (S_ISBLK(info.st_mode))
        return QStringLiteral("it is a block device, not a file");
    if (S_ISCHR(info.st_mode) && !IsNeverBlockingDevice(info))
        return QStringLiteral("it is a character device (a terminal, a serial line or the "
                              "like), not a file");
    return QString();
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

// An open record file, locked, with what must go before its first row.
struct OpenedFile
{
    int fd = -1;
    struct stat info = {};
    QByteArray lead;
};

bool OpenRecordFile(const QByteArray& native, const FileId& port, OpenedFile* out, QString* reason)
{
    // Looked at before opening: opening a FIFO for writing waits for a reader, and
    // opening a serial line can change its modem lines.
    struct stat info = {};
    if (::stat(native.constData(), &info) == 0) {
        *reason = RefusedKind(info, port);
        if (!reason->isEmpty())
            return false;
    }
    // O_NONBLOCK still guards the open against a FIFO made since the look.
    const int fd = ::open(native.constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        *reason = qt_error_string(errno);
        return false;
    }
    if (::fstat(fd, &info) != 0) {
        *reason = qt_error_string(errno);
        ::close(fd);
        return false;
    }
    *reason = RefusedKind(info, port);
    if (!reason->isEmpty()) {
        ::close(fd);
        return false;
    }
    if (S_ISREG(info.st_mode)) {
        // Held for as long as the file is open; a console that crashed lets go
        // with its descriptors.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *reason = errno == EWOULDBLOCK
                          ? QStringLiteral("it is being written by another Ondrel console")
                          : qt_error_string(errno);
            ::close(fd);
            return false;
        }
        // Under the lock: of two consoles starting together, one finds it empty.
        ::fstat(fd, &info);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    out->fd = fd;
    out->info = info;
    out->lead.clear();
    if (S_ISREG(info.st_mode) && info.st_size == 0)
        out->lead = QByteArray(kRecordHeader) + kRecordRowEnd;
    else if (S_ISREG(info.st_mode) && !EndsWithNewline(native, info.st_size))
        out->lead = kRecordRowEnd; // a torn last line from elsewhere must not swallow our row
    return true;
}

void WriteStderr(const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    (void)::write(STDERR_FILENO, bytes.constData(), size_t(bytes.size()));
}

} // namespace

struct CExposureRecord::Shared
{
    // A row on its way to the writer thread.
    struct Pending
    {
        QByteArray row;
        bool syncNow = false;
        bool counted = false; // a reading's or an event's, not the header
        Pending* next = nullptr;
    };

    Shared(QString p, QByteArray n, FileId portId, int file, int wake)
        : path(std::move(p)), native(std::move(n)), port(portId), fd(file), wakeFd(wake)
    {}
    ~Shared()
    {
        for (Pending* node = pending.exchange(nullptr); node;) {
            Pending* next = node->next;
            delete node;
            node = next;
        }
        ::close(wakeFd);
        ::close(fd);
    }

    void Enqueue(QByteArray row, bool syncNow, bool counted);
    // Everything enqueued so far, oldest first; the caller owns the nodes.
    std::vector<Pending*> TakePending();
    bool WriteRow(const QByteArray& row, QString* reason);
    void FollowPath();
    void Fail(const QString& reason);

    const QString path;
    const QByteArray native;
    const FileId port;
    int fd = -1; // writer thread only, once it runs
    const int wakeFd;
    std::atomic<bool> failed{false};
    std::atomic<int> syncs{0};
    std::atomic<long long> rowsQueued{0};
    std::atomic<long long> rowsWritten{0};

    // The hand-over takes no lock, so a writer thread that is descheduled at a bad
    // moment can never make the polling thread wait: rows are pushed onto a list
    // the writer takes whole, and an eventfd wakes it.
    std::atomic<Pending*> pending{nullptr};
    std::atomic<bool> closing{false};
    std::atomic<bool> abandoned{false};

    mutable std::mutex lock;
    QString stoppedMessage;             // guarded by lock
    std::condition_variable finishedCv; // with lock
    bool finished = false;              // guarded by lock
    // Held around stopped(), so that its receivers may call back into the record.
    std::mutex ownerLock;
    CExposureRecord* owner = nullptr; // guarded by ownerLock; none once abandoned
};

std::unique_ptr<CExposureRecord> CExposureRecord::Open(const QString& path, const QString& portPath,
                                                       QString* error)
{
    const auto refuse = [&](const QString& reason) {
        *error = QStringLiteral("Cannot record to %1: %2").arg(path, reason);
        return nullptr;
    };
    if (path.isEmpty())
        return refuse(QStringLiteral("no file name given"));
    FileId port;
    struct stat portInfo = {};
    if (!portPath.isEmpty() && ::stat(QFile::encodeName(portPath).constData(), &portInfo) == 0)
        port = FileId::Of(portInfo);
    const QByteArray native = QFile::encodeName(path);
    OpenedFile file;
    QString reason;
    if (!OpenRecordFile(native, port, &file, &reason))
        return refuse(reason);
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        const QString why = qt_error_string(errno);
        ::close(file.fd);
        return refuse(why);
    }
    auto shared = std::make_shared<Shared>(path, native, port, file.fd, wakeFd);
    if (!file.lead.isEmpty())
        shared->Enqueue(file.lead, false, false);
    return std::unique_ptr<CExposureRecord>(new CExposureRecord(std::move(shared)));
}

CExposureRecord::CExposureRecord(std::shared_ptr<Shared> shared) : m_shared(std::move(shared))
{
    RegisterTelemetryMetaTypes();
    m_shared->owner = this;
    m_writer = std::thread([shared = m_shared] { WriterLoop(shared); });
}

CExposureRecord::~CExposureRecord()
{
    Shared& s = *m_shared;
    s.closing.store(true);
    const quint64 one = 1;
    (void)::write(s.wakeFd, &one, sizeof one);
    bool finished = false;
    {
        std::unique_lock<std::mutex> locked(s.lock);
        finished = s.finishedCv.wait_for(locked, kCloseWait, [&s] { return s.finished; });
    }
    if (!finished) {
        {
            std::lock_guard<std::mutex> owned(s.ownerLock);
            s.owner = nullptr;
            s.abandoned = true;
        }
        // It may have got through in the meantime.
        std::lock_guard<std::mutex> locked(s.lock);
        finished = s.finished;
    }
    if (finished) {
        m_writer.join();
        return;
    }
    // Stuck in a write or a sync: the thread keeps the shared state alive and
    // ends when the call returns, or with the process.
    m_writer.detach();
    const long long lost = s.rowsQueued.load() - s.rowsWritten.load();
    WriteStderr(QStringLiteral("ondrel: the exposure record %1 could not be written in time; "
                               "%2 %3 lost\n")
                    .arg(s.path)
                    .arg(lost)
                    .arg(lost == 1 ? QStringLiteral("row") : QStringLiteral("rows")));
}

QString CExposureRecord::Path() const
{
    return m_shared->path;
}

bool CExposureRecord::Recording() const
{
    return !m_shared->failed.load();
}

int CExposureRecord::SyncCount() const
{
    return m_shared->syncs.load();
}

void CExposureRecord::OnReading(const Reading& reading)
{
    if (!m_shared->failed.load(std::memory_order_relaxed))
        m_shared->Enqueue(RecordRow(reading), false, true);
}

void CExposureRecord::OnEvent(const ConsoleEvent& event)
{
    if (!m_shared->failed.load(std::memory_order_relaxed))
        m_shared->Enqueue(RecordRow(event), true, true);
}

void CExposureRecord::Shared::Enqueue(QByteArray row, bool syncNow, bool counted)
{
    if (counted)
        rowsQueued.fetch_add(1);
    auto* node =
        new Pending{std::move(row), syncNow, counted, pending.load(std::memory_order_relaxed)};
    while (!pending.compare_exchange_weak(node->next, node, std::memory_order_release,
                                          std::memory_order_relaxed)) {
    }
    const quint64 one = 1;
    (void)::write(wakeFd, &one, sizeof one); // a full counter is still a wake-up
}

std::vector<CExposureRecord::Shared::Pending*> CExposureRecord::Shared::TakePending()
{
    std::vector<Pending*> nodes;
    for (Pending* node = pending.exchange(nullptr, std::memory_order_acquire); node;
         node = node->next)
        nodes.push_back(node);
    std::reverse(nodes.begin(), nodes.end());
    return nodes;
}

void CExposureRecord::WriterLoop(const std::shared_ptr<Shared>& shared)
{
    Shared& s = *shared;
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
        const bool closing = s.closing.load();
        std::vector<Shared::Pending*> batch = s.TakePending();
        if (batch.empty() && !closing) {
            int timeoutMs = -1;
            if (unsynced) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    lastSync + kSyncInterval - Clock::now());
                timeoutMs = int(std::max<std::chrono::milliseconds::rep>(0, left.count()) + 1);
            }
            pollfd wake{s.wakeFd, POLLIN, 0};
            ::poll(&wake, 1, timeoutMs);
            quint64 count = 0;
            (void)::read(s.wakeFd, &count, sizeof count);
            if (!unsynced || Clock::now() - lastSync < kSyncInterval)
                continue;
        }
        bool syncNow = false;
        QString reason;
        for (Shared::Pending* node : batch) {
            syncNow = syncNow || node->syncNow;
            // Given up by the destructor: nothing more is written.
            if (s.abandoned.load()) {
            } else if (!s.failed.load() && !s.WriteRow(node->row, &reason)) {
                s.Fail(reason);
            } else if (!s.failed.load()) {
                unsynced = true;
                if (node->counted)
                    s.rowsWritten.fetch_add(1);
            }
            delete node;
        }
        const bool due = syncNow || closing || Clock::now() - lastSync >= kSyncInterval;
        if (unsynced && due && !s.failed.load() && !s.abandoned.load()) {
            // EINVAL: a character device, which has nothing to sync.
            int synced;
            do
                synced = ::fdatasync(s.fd);
            while (synced != 0 && errno == EINTR);
            if (synced != 0 && errno != EINVAL)
                s.Fail(qt_error_string(errno));
            else
                s.syncs.fetch_add(1);
            lastSync = Clock::now();
            unsynced = false;
            if (!s.failed.load() && !closing)
                s.FollowPath();
        }
        if (closing || s.abandoned.load()) {
            std::lock_guard<std::mutex> locked(s.lock);
            s.finished = true;
            s.finishedCv.notify_all();
            return;
        }
    }
}

// Log rotation moves or deletes the file and expects the writer to make the
// path anew; a record that went on writing to the old file would lose every
// later row without a word.
void CExposureRecord::Shared::FollowPath()
{
    struct stat mine = {};
    if (::fstat(fd, &mine) != 0 || !S_ISREG(mine.st_mode))
        return;
    struct stat atPath = {};
    const bool gone = ::stat(native.constData(), &atPath) != 0;
    const bool replaced = !gone && !FileId::Of(mine).Is(atPath);
    if (mine.st_nlink > 0 && !gone && !replaced)
        return;
    const QString fate = replaced             ? QStringLiteral("replaced")
                         : mine.st_nlink == 0 ? QStringLiteral("deleted")
                                              : QStringLiteral("moved away");
    OpenedFile file;
    QString reason;
    if (!OpenRecordFile(native, port, &file, &reason)) {
        Fail(QStringLiteral("%1 was %2 and cannot be made again: %3").arg(path, fate, reason));
        return;
    }
    ::close(fd);
    fd = file.fd;
    ConsoleEvent continued;
    continued.time = TelemetryNow();
    continued.kind = EventKind::RecordContinued;
    continued.detail = QStringLiteral("previous file ") + fate;
    QString why;
    if (!WriteRow(file.lead + RecordRow(continued), &why))
        Fail(why);
}

bool CExposureRecord::Shared::WriteRow(const QByteArray& row, QString* reason)
{
    ssize_t written;
    do
        written = ::write(fd, row.constData(), static_cast<size_t>(row.size()));
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
        ::write(fd, row.constData() + written, static_cast<size_t>(row.size() - written));
    if (rest == row.size() - written)
        return true;
    *reason = qt_error_string(rest < 0 ? errno : ENOSPC);
    struct stat info = {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        (void)::ftruncate(fd, info.st_size - written - (rest > 0 ? rest : 0));
    return false;
}

QString CExposureRecord::StoppedMessage() const
{
    std::lock_guard<std::mutex> locked(m_shared->lock);
    return m_shared->stoppedMessage;
}

void CExposureRecord::Shared::Fail(const QString& reason)
{
    const QString message = QStringLiteral("Recording stopped: %1").arg(reason);
    {
        std::lock_guard<std::mutex> locked(lock);
        stoppedMessage = message;
    }
    if (failed.exchange(true))
        return;
    // Under the owner's lock, so that the record cannot be destroyed in between.
    std::lock_guard<std::mutex> owned(ownerLock);
    if (owner)
        emit owner->stopped(message);
}

} // namespace ondrel
