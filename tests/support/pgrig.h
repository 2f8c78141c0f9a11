// A real PostgreSQL 15 for the tests: made in a temporary folder, listening on
// 127.0.0.1 alone at a free port with its socket in that folder, run as an
// unprivileged user when the tests run as root (PostgreSQL refuses root), and
// shut down fast when the rig goes, or when the test process dies. One server
// per test executable; a fresh database per test.
#pragma once

#include <QProcess>
#include <QTemporaryDir>

namespace ondrel::test {

class CPgRig
{
public:
    // Starts the server; Error() says why not.
    CPgRig();
    ~CPgRig();

    CPgRig(const CPgRig&) = delete;
    CPgRig& operator=(const CPgRig&) = delete;

    // Empty while the server is up; a missing PostgreSQL says to run scripts/setup.sh.
    QString Error() const { return m_error; }
    // The URI of a database made for the caller; empty, with *error, when it cannot be.
    QString NewDatabase(QString* error);
    // The server going away and coming back, on the same port.
    bool Stop(QString* error);
    bool Start(QString* error);

private:
    bool Run(const QString& program, const QStringList& args, QString* error);
    void Prepare(QProcess& process) const;
    QString LogTail() const;

    QTemporaryDir m_dir;
    QProcess m_server;
    bool m_asNobody = false;
    unsigned m_uid = 0, m_gid = 0;
    quint16 m_port = 0;
    int m_databases = 0;
    QString m_error;
};

} // namespace ondrel::test
