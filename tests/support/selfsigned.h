// A throwaway self-signed certificate for 127.0.0.1 and its key, made by the
// openssl command (scripts/setup.sh installs it), for the tests of HTTPS.
#pragma once

#include <QProcess>
#include <QStringList>

namespace ondrel::testing {

inline bool Openssl(const QStringList& args)
{
    QProcess openssl;
    openssl.start("openssl", args);
    return openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit &&
           openssl.exitCode() == 0;
}

inline bool MakeCertificate(const QString& cert, const QString& key)
{
    return Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-keyout", key, "-out",
                    cert});
}

} // namespace ondrel::testing
