#include "pgrig.h"

#include <QFile>
#include <QTest>

#include <libpq-fe.h>

#include <arpa/inet.h>
#include <csignal>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ondrel::test {

namespace {

const QString kBin = QStringLiteral("/usr/lib/postgresql/15/bin/");
constexpr int kStartMs = 30000;
constexpr int kStopMs = 30000;

quint16 FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

QString Uri(quint16 port, const QString& database)
{
    return QStringLiteral("postgresql://ondrel@127.0.0.1:%1/%2").arg(port).arg(database);
}

} // namespace

CPgRig::CPgRig()
{
    if (!QFile::exists(kBin + QStringLiteral("postgres")) ||
        !QFile::exists(kBin + QStringLiteral("initdb"))) {
        m_error = QStringLiteral("PostgreSQL 15 is not installed (no %1postgres): run "
                                 "scripts/setup.sh")
                      .arg(kBin);
        return;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot make a temporary folder: %1").arg(m_dir.errorString());
        return;
    }
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody) {
            m_error = QStringLiteral("running as root, and there is no user 'nobody' to run "
                                     "PostgreSQL as");
            return;
        }
        m_asNobody = true;
        m_uid = nobody->pw_uid;
        m_gid = nobody->pw_gid;
        if (::chown(QFile::encodeName(m_dir.path()).constData(), m_uid, m_gid) != 0) {
            m_error = QStringLiteral("cannot give %1 to nobody").arg(m_dir.path());
            return;
        }
    }
    if (!Run(kBin + "initdb",
             {"-D", m_dir.filePath("data"), "-U", "ondrel", "-A", "trust", "-E", "UTF8",
              "--locale=C", "--no-sync", "--no-instructions"},
             &m_error))
        return;
    // A port found free can be taken by another program before the server binds it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = FreeLoopbackPort();
        if (Start(&m_error))
            return;
    }
}

CPgRig::~CPgRig()
{
    QString ignored;
    Stop(&ignored);
}

void CPgRig::Prepare(QProcess& process) const
{
    process.setWorkingDirectory(m_dir.path());
    const bool asNobody = m_asNobody;
    const uid_t uid = m_uid;
    const gid_t gid = m_gid;
    process.setChildProcessModifier([asNobody, uid, gid] {
        if (asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
            ::_exit(126);
        // After the change of user, which would clear it: a test that dies
        // takes its server with it (SIGINT is PostgreSQL's fast shutdown).
        ::prctl(PR_SET_PDEATHSIG, SIGINT);
    });
}

bool CPgRig::Run(const QString& program, const QStringList& args, QString* error)
{
    QProcess process;
    Prepare(process);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(kStartMs) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        *error = QStringLiteral("%1 failed (exit code %2): %3")
                     .arg(program)
                     .arg(process.exitCode())
                     .arg(QString::fromLocal8Bit(process.readAll()).trimmed());
        process.kill();
        process.waitForFinished();
        return false;
    }
    return true;
}

QString CPgRig::LogTail() const
{
    QFile log(m_dir.filePath(QStringLiteral("server.log")));
    if (!log.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray all = log.readAll();
    return QString::fromLocal8Bit(all.right(2000)).trimmed();
}

bool CPgRig::Start(QString* error)
{
    if (m_server.state() != QProcess::NotRunning)
        return true;
    Prepare(m_server);
    m_server.setStandardOutputFile(m_dir.filePath(QStringLiteral("server.log")), QIODevice::Append);
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    // fsync off: the tests' databases die with the rig anyway.
    m_server.start(kBin + "postgres",
                   {"-D", m_dir.filePath("data"), "-p", QString::number(m_port), "-c",
                    "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=" + m_dir.path(),
                    "-c", "fsync=off", "-c", "full_page_writes=off", "-c",
                    "synchronous_commit=off"});
    const QByteArray ping = QStringLiteral("host=127.0.0.1 port=%1 dbname=postgres user=ondrel "
                                           "connect_timeout=2")
                                .arg(m_port)
                                .toUtf8();
    const bool up = QTest::qWaitFor(
        [&] {
            return m_server.state() == QProcess::NotRunning ||
                   PQping(ping.constData()) == PQPING_OK;
        },
        kStartMs);
    if (up && m_server.state() != QProcess::NotRunning) {
        error->clear();
        return true;
    }
    *error = QStringLiteral("PostgreSQL did not start on 127.0.0.1 port %1: %2")
                 .arg(m_port)
                 .arg(LogTail());
    m_server.kill();
    m_server.waitForFinished();
    return false;
}

bool CPgRig::Stop(QString* error)
{
    if (m_server.state() == QProcess::NotRunning)
        return true;
    ::kill(pid_t(m_server.processId()), SIGINT);
    if (m_server.waitForFinished(kStopMs))
        return true;
    *error = QStringLiteral("PostgreSQL did not shut down within %1 s; killed").arg(kStopMs / 1000);
    m_server.kill();
    m_server.waitForFinished();
    return false;
}

QString CPgRig::NewDatabase(QString* error)
{
    if (!m_error.isEmpty()) {
        *error = m_error;
        return QString();
    }
    const QString name = QStringLiteral("archive_%1").arg(++m_databases);
    PGconn* conn = PQconnectdb(Uri(m_port, QStringLiteral("postgres")).toUtf8().constData());
    PGresult* result =
        PQexec(conn, QStringLiteral("CREATE DATABASE %1 STRATEGY = FILE_COPY").arg(name).toUtf8());
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok)
        *error = QStringLiteral("cannot make database %1: %2")
                     .arg(name, QString::fromUtf8(PQerrorMessage(conn)).simplified());
    PQclear(result);
    PQfinish(conn);
    return ok ? Uri(m_port, name) : QString();
}

} // namespace ondrel::test
