// A real mosquitto broker for the telemetry tests, on free loopback ports with a
// configuration of its own: a plain listener, one that wants a password, and a
// TLS one whose CA and server certificate are made here with openssl. Plus a
// subscriber on the same client library that records what arrives, and a fake
// broker that misbehaves as no real one would.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <mutex>
#include <sys/types.h>

struct mosquitto;
struct mosquitto_message;

namespace ondrel::testing {

struct Message
{
    QString topic;
    QByteArray payload;
    int qos = 0;
    bool retained = false;
    std::chrono::steady_clock::time_point received;
};

class CBroker
{
public:
    CBroker();
    ~CBroker(); // ends the broker by its PID

    // Makes the files (certificates, password file, configuration) and starts the
    // broker; false with *error on any failure.
    bool Start(QString* error);
    bool Restart(QString* error);
    void Terminate();         // SIGTERM and wait
    void Freeze(bool frozen); // SIGSTOP / SIGCONT
    pid_t Pid() const { return m_pid; }

    int plainPort = 0;
    int passwordPort = 0;
    int tlsPort = 0;
    QString user = QStringLiteral("lab");
    QString password = QStringLiteral("s3cret-Pw.42");
    QString caFile;      // signed the server's certificate
    QString otherCaFile; // did not
    QString Dir() const { return m_dir.path(); }

private:
    bool Run(const QString& program, const QStringList& args, QString* error);
    bool Launch(QString* error);
    QTemporaryDir m_dir;
    QString m_config;
    QProcess m_process;
    pid_t m_pid = 0;
};

class CSubscriber
{
public:
    // A persistent session (clean_session false) with QoS 1, so that the broker
    // keeps what arrives while this subscriber is away across a broker restart.
    explicit CSubscriber(QString clientId = QString());
    ~CSubscriber();
    bool Connect(int port, const QString& topicFilter);
    bool Subscribed() const;
    QList<Message> Messages() const;
    QList<Message> On(const QString& topic) const;
    void Clear();
    // Sends as a test publisher: anything a broker may carry, documented or not.
    bool Publish(const QString& topic, const QByteArray& payload, int qos, bool retain = false);

private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnSubscribe(mosquitto*, void* self, int, int, const int*);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* m);
    mosquitto* m_mosq = nullptr;
    QByteArray m_filter;
    mutable std::mutex m_mutex;
    QList<Message> m_messages;
    bool m_subscribed = false;
};

// A broker of the test's own on 127.0.0.1 that accepts any CONNECT and then
// misbehaves as told, writing only as fast as the client reads so that its own
// memory stays small.
class CFakeBroker : public QObject
{
public:
    enum Behaviour
    {
        Qos2Flood, // 60 KB PUBLISH packets at QoS 2, never a PUBREL
        Qos1Once,
        Qos0Once,
        HugePacket // one PUBLISH of 200 MB
    };
    explicit CFakeBroker(Behaviour behaviour);
    int Port() const { return m_server.serverPort(); }
    int connections = 0;
    qint64 sent = 0; // bytes, counted in 64 KB steps

private:
    void Serve(QTcpSocket* s);
    Behaviour m_behaviour;
    QTcpServer m_server;
};

// Resident memory of this process (VmRSS), in bytes; 0 if it cannot be read.
qint64 ResidentBytes();
// How much a hostile broker may make resident memory grow: far below what an
// unbounded client would take (gigabytes within seconds), far above the noise.
#ifdef __SANITIZE_ADDRESS__
// The sanitizer writes shadow for the whole of every block freed, an eighth of its
// size, and keeps the block in quarantine: each 200 MB packet buffer the client
// drops on a reconnection stays 25 MB resident, whatever the client read of it.
constexpr qint64 kHostileBrokerMemoryBound = 256 * 1024 * 1024;
#else
constexpr qint64 kHostileBrokerMemoryBound = 64 * 1024 * 1024;
#endif

// A loopback port nobody listens on at the moment of asking.
int FreePort();

// A message's payload as the JSON object it holds, and the payloads as text.
QJsonObject Json(const Message& m);
QStringList Payloads(const QList<Message>& messages);

} // namespace ondrel::testing
