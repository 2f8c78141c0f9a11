#include "record.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ondrel {

const char* const kRecordHeader = "time,event,kv,ua,temperature,faults,detail";

namespace {

const char kRowEnd[] = "\r\n";

// The bytes a text stands for: see RecordField.
QByteArray TextBytes(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].unicode() <= 0xFF) {
            bytes += static_cast<char>(text[i].unicode());
            continue;
        }
        qsizetype end = i;
        while (end < text.size() && text[end].unicode() > 0xFF)
            ++end;
        bytes += text.mid(i, end - i).toUtf8();
        i = end - 1;
    }
    return bytes;
}

QByteArray FieldFromBytes(const QByteArray& bytes)
{
    static const char kHex[] = "0123456789ABCDEF";
    QByteArray field;
    field.reserve(bytes.size() + 8);
    bool quoted = false;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        // The backslash too, so that a literal "\x41" in a reply cannot pass for an escape.
        if (u < 0x20 || u > 0x7E || c == '\\') {
            field += "\\x";
            field += kHex[u >> 4];
            field += kHex[u & 0x0F];
            continue;
        }
        if (c == ',' || c == '"')
            quoted = true;
        if (c == '"')
            field += '"';
        field += c;
    }
    if (quoted) {
        field.prepend('"');
        field += '"';
    }
    return field;
}

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

QByteArray RecordField(const QString& text)
{
    return FieldFromBytes(TextBytes(text));
}

QByteArray RecordRow(const Reading& reading)
{
    QByteArray row = IsoTime(reading.time).toLatin1();
    row += ",reading,";
    for (const QString* text :
         {&reading.kilovolts, &reading.microamps, &reading.temperature, &reading.faults}) {
        row += RecordField(*text);
        row += ',';
    }
    row += FieldFromBytes(reading.faultReply);
    row += kRowEnd;
    return row;
}

QByteArray RecordRow(const ConsoleEvent& event)
{
    QByteArray row = IsoTime(event.time).toLatin1();
    row += ',';
    row += RecordField(EventKindName(event.kind));
    row += ",,,,,";
    row += RecordField(event.detail);
    row += kRowEnd;
    return row;
}

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

    QByteArray pending;
    if (S_ISREG(info.st_mode) && info.st_size == 0)
        pending = QByteArray(kRecordHeader) + kRowEnd;
    else if (S_ISREG(info.st_mode) && !EndsWithNewline(native, info.st_size))
        pending = kRowEnd; // a torn last line from elsewhere must not swallow our first row
    return std::unique_ptr<CExposureRecord>(new CExposureRecord(path, fd, pending));
}

CExposureRecord::CExposureRecord(const QString& path, int fd, QByteArray pending)
    : m_path(path), m_fd(fd)
{
    RegisterTelemetryMetaTypes();
    if (!pending.isEmpty())
        m_queue.push_back(std::move(pending));
    m_writer = std::thread([this] { WriterLoop(); });
}

CExposureRecord::~CExposureRecord()
{
    {
        std::lock_guard<std::mutex> locked(m_lock);
        m_closing = true;
    }
    m_wake.notify_one();
    m_writer.join();
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
    {
        std::lock_guard<std::mutex> locked(m_lock);
        m_queue.push_back(std::move(row));
        m_syncRequested = m_syncRequested || syncNow;
    }
    m_wake.notify_one();
}

void CExposureRecord::WriterLoop()
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastSync = Clock::now();
    bool unsynced = false;
    std::vector<QByteArray> rows;
    for (;;) {
        bool syncNow = false;
        bool closing = false;
        {
            std::unique_lock<std::mutex> locked(m_lock);
            const auto ready = [this] { return !m_queue.empty() || m_closing; };
            if (unsynced)
                m_wake.wait_until(locked, lastSync + kSyncInterval, ready);
            else
                m_wake.wait(locked, ready);
            rows.swap(m_queue);
            syncNow = m_syncRequested;
            m_syncRequested = false;
            closing = m_closing;
        }
        QString reason;
        for (const QByteArray& row : rows) {
            if (m_failed.load())
                break;
            if (!WriteRow(row, &reason)) {
                Fail(reason);
                break;
            }
            unsynced = true;
        }
        rows.clear();
        const bool due = syncNow || closing || Clock::now() - lastSync >= kSyncInterval;
        if (unsynced && due && !m_failed.load()) {
            // EINVAL: a character device, which has nothing to sync.
            if (::fdatasync(m_fd) != 0 && errno != EINVAL)
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

void CExposureRecord::Fail(const QString& reason)
{
    if (m_failed.exchange(true))
        return;
    emit stopped(QStringLiteral("Recording stopped: %1").arg(reason));
}

} // namespace ondrel
