#include "brokerrig.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>
#include <QTextStream>
#include <memory>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ondrel::testing {

namespace {

QString FindProgram(const QString& name)
{
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(
            name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    return path;
}

bool CanConnect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(quint16(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

QByteArray RemainingLength(qint64 n)
{
    QByteArray out;
    do {
        char byte = char(n % 128);
        n /= 128;
        if (n > 0)
            byte = char(byte | 0x80);
        out += byte;
    } while (n > 0);
    return out;
}

constexpr qint64 kFloodPackets = 4000; // 240 MB in all
constexpr qint64 kHugeSize = 200 * 1024 * 1024;

} // namespace

CFakeBroker::CFakeBroker(Behaviour behaviour) : m_behaviour(behaviour)
{
    m_server.listen(QHostAddress::LocalHost);
    QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = m_server.nextPendingConnection())
            Serve(s);
    });
}

void CFakeBroker::Serve(QTcpSocket* s)
{
    ++connections;
    auto packets = std::make_shared<qint64>(0);
    auto connected = std::make_shared<bool>(false);
    QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
    auto feed = [this, s, packets, connected] {
        if (!*connected)
            return;
        while (s->state() == QAbstractSocket::ConnectedState && s->bytesToWrite() < 256 * 1024) {
            if (m_behaviour == HugePacket) {
                if (*packets == 0)
                    s->write("\x30" + RemainingLength(kHugeSize) + QByteArray("\0\1t", 3));
                if (*packets * 65536 >= kHugeSize)
                    return;
                s->write(QByteArray(65536, 'x'));
            } else {
                const int qos = m_behaviour == Qos2Flood ? 2 : m_behaviour == Qos1Once ? 1 : 0;
                if (*packets >= (m_behaviour == Qos2Flood ? kFloodPackets : 1))
                    return;
                QByteArray body("\0\1t", 3);
                if (qos > 0) {
                    body += char(0);
                    body += char(*packets % 250 + 1);
                }
                body += QByteArray(60 * 1024, 'x');
                s->write(char(0x30 | (qos << 1)) + RemainingLength(body.size()) + body);
            }
            ++*packets;
            sent += 65536;
        }
    };
    QObject::connect(s, &QTcpSocket::bytesWritten, s, feed);
    QObject::connect(s, &QTcpSocket::readyRead, s, [s, connected, feed] {
        const QByteArray in = s->readAll();
        if (!*connected && !in.isEmpty() && (uchar(in[0]) & 0xF0) == 0x10) {
            *connected = true;
            s->write(QByteArray("\x20\x02\0\0", 4)); // CONNACK, accepted
            feed();
        }
    });
}

qint64 ResidentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) // "VmRSS:     123456 kB"
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return 0;
}

int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

CBroker::CBroker() = default;

CBroker::~CBroker()
{
    Freeze(false);
    Terminate();
}

bool CBroker::Run(const QString& program, const QStringList& args, QString* error)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(FindProgram(program), args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = QStringLiteral("%1 %2 failed: %3")
                     .arg(program, args.join(' '), QString::fromLocal8Bit(p.readAll()));
        return false;
    }
    return true;
}

bool CBroker::Start(QString* error)
{
    const QString d = m_dir.path() + '/';
    caFile = d + "ca.crt";
    otherCaFile = d + "other-ca.crt";
    const QString subj = QStringLiteral("/CN=127.0.0.1");
    // Two CAs, the server's certificate signed by the first, valid for 127.0.0.1.
    if (!Run("openssl",
             {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
              "/CN=Ondrel Test CA", "-keyout", d + "ca.key", "-out", caFile},
             error) ||
        !Run("openssl",
             {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
              "/CN=Ondrel Test CA", "-keyout", d + "other-ca.key", "-out", otherCaFile},
             error) ||
        !Run("openssl",
             {"req", "-newkey", "rsa:2048", "-nodes", "-subj", subj, "-keyout", d + "server.key",
              "-out", d + "server.csr"},
             error))
        return false;
    QFile ext(d + "server.ext");
    ext.open(QIODevice::WriteOnly);
    ext.write("subjectAltName=IP:127.0.0.1\n");
    ext.close();
    if (!Run("openssl",
             {"x509", "-req", "-in", d + "server.csr", "-CA", caFile, "-CAkey", d + "ca.key",
              "-CAcreateserial", "-days", "2", "-extfile", d + "server.ext", "-out",
              d + "server.crt"},
             error) ||
        !Run("mosquitto_passwd", {"-c", "-b", d + "passwd", user, password}, error))
        return false;

    plainPort = FreePort();
    passwordPort = FreePort();
    tlsPort = FreePort();
    m_config = d + "mosquitto.conf";
    QFile conf(m_config);
    conf.open(QIODevice::WriteOnly);
    // As root the broker would switch to the user "mosquitto", who cannot read
    // this private folder; it stays who we are.
    const passwd* me = ::getpwuid(::getuid());
    QTextStream(&conf) << "user " << (me ? me->pw_name : "root") << "\n"
                       << "per_listener_settings true\n"
                       << "persistence true\n"
                       << "persistence_location " << d << "\n"
                       << "log_dest stderr\n"
                       // A fleet view's kept session is sent every console's retained
                       // topics at once on subscribing; with mosquitto's default
                       // of 1,000 the queue stays full and its readings are dropped.
                       << "max_queued_messages 100000\n"
                       << "listener " << plainPort << " 127.0.0.1\n"
                       << "allow_anonymous true\n"
                       << "listener " << passwordPort << " 127.0.0.1\n"
                       << "allow_anonymous false\n"
                       << "password_file " << d << "passwd\n"
                       << "listener " << tlsPort << " 127.0.0.1\n"
                       << "allow_anonymous true\n"
                       << "cafile " << caFile << "\n"
                       << "certfile " << d << "server.crt\n"
                       << "keyfile " << d << "server.key\n";
    conf.close();
    return Launch(error);
}

bool CBroker::Launch(QString* error)
{
    m_process.setStandardErrorFile(m_dir.path() + "/broker.log", QIODevice::Append);
    m_process.start(FindProgram("mosquitto"), {"-c", m_config});
    if (!m_process.waitForStarted(30000)) {
        *error = QStringLiteral("mosquitto does not start: %1").arg(m_process.errorString());
        return false;
    }
    m_pid = pid_t(m_process.processId());
    const bool up = QTest::qWaitFor(
        [&] {
            return m_process.state() != QProcess::Running ||
                   (CanConnect(plainPort) && CanConnect(passwordPort) && CanConnect(tlsPort));
        },
        30000);
    if (!up || m_process.state() != QProcess::Running) {
        QFile log(m_dir.path() + "/broker.log");
        log.open(QIODevice::ReadOnly);
        *error = QStringLiteral("mosquitto is not listening: %1").arg(QString(log.readAll()));
        return false;
    }
    return true;
}

bool CBroker::Restart(QString* error)
{
    Terminate();
    return Launch(error);
}

void CBroker::Terminate()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    if (!m_process.waitForFinished(30000)) {
        ::kill(m_pid, SIGKILL);
        m_process.waitForFinished(30000);
    }
    m_pid = 0;
}

void CBroker::Freeze(bool frozen)
{
    if (m_pid > 0)
        ::kill(m_pid, frozen ? SIGSTOP : SIGCONT);
}

CSubscriber::CSubscriber(QString clientId)
{
    mosquitto_lib_init();
    const QByteArray id = clientId.toUtf8();
    m_mosq = mosquitto_new(clientId.isEmpty() ? nullptr : id.constData(), clientId.isEmpty(), this);
    mosquitto_connect_callback_set(m_mosq, &CSubscriber::OnConnect);
    mosquitto_subscribe_callback_set(m_mosq, &CSubscriber::OnSubscribe);
    mosquitto_message_callback_set(m_mosq, &CSubscriber::OnMessage);
    mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
}

CSubscriber::~CSubscriber()
{
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, false);
    mosquitto_destroy(m_mosq);
}

bool CSubscriber::Connect(int port, const QString& topicFilter)
{
    m_filter = topicFilter.toUtf8();
    if (mosquitto_connect_async(m_mosq, "127.0.0.1", port, 5) != MOSQ_ERR_SUCCESS)
        return false;
    return mosquitto_loop_start(m_mosq) == MOSQ_ERR_SUCCESS;
}

bool CSubscriber::Subscribed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subscribed;
}

void CSubscriber::OnConnect(mosquitto* mosq, void* self, int rc)
{
    if (rc == 0)
        mosquitto_subscribe(mosq, nullptr, static_cast<CSubscriber*>(self)->m_filter.constData(),
                            1);
}

void CSubscriber::OnSubscribe(mosquitto*, void* self, int, int, const int*)
{
    auto* s = static_cast<CSubscriber*>(self);
    std::lock_guard<std::mutex> lock(s->m_mutex);
    s->m_subscribed = true;
}

void CSubscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* m)
{
    auto* s = static_cast<CSubscriber*>(self);
    std::lock_guard<std::mutex> lock(s->m_mutex);
    s->m_messages.append({QString::fromUtf8(m->topic),
                          QByteArray(static_cast<const char*>(m->payload), m->payloadlen), m->qos,
                          m->retain, std::chrono::steady_clock::now()});
}

QList<Message> CSubscriber::Messages() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

QList<Message> CSubscriber::On(const QString& topic) const
{
    QList<Message> out;
    for (const Message& m : Messages())
        if (m.topic == topic)
            out << m;
    return out;
}

bool CSubscriber::Publish(const QString& topic, const QByteArray& payload, int qos, bool retain)
{
    const QByteArray t = topic.toUtf8();
    return mosquitto_publish(m_mosq, nullptr, t.constData(), int(payload.size()),
                             payload.constData(), qos, retain) == MOSQ_ERR_SUCCESS;
}

void CSubscriber::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.clear();
}

QJsonObject Json(const Message& m)
{
    return QJsonDocument::fromJson(m.payload).object();
}

QStringList Payloads(const QList<Message>& messages)
{
    QStringList out;
    for (const Message& m : messages)
        out << QString::fromUtf8(m.payload);
    return out;
}

} // namespace ondrel::testing
