// Headless Chromium as a child, driven by tests/web/browser.py one command at a
// time: for the live page's tests and for the web service's benchmark.
#pragma once

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QtGlobal>
#include <utility>

namespace ondrel::testing {

class CBrowser
{
public:
    explicit CBrowser(QString script) : m_script(std::move(script)) {}
    bool Start(QString* error)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start("/usr/bin/python3", {m_script});
        if (!m_process.waitForStarted(10000)) {
            *error = "cannot run /usr/bin/python3: " + m_process.errorString();
            return false;
        }
        const QJsonObject ready = Answer(60000);
        *error = ready["error"].toString();
        return ready["ok"].toBool();
    }
    ~CBrowser()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(20000))
            m_process.kill();
    }
    QJsonValue Call(const QJsonObject& command)
    {
        m_process.write(QJsonDocument(command).toJson(QJsonDocument::Compact) + "\n");
        const QJsonObject answer = Answer(30000);
        if (!answer["ok"].toBool())
            qWarning("browser: %s", qPrintable(answer["error"].toString()));
        return answer["result"];
    }
    QJsonValue Eval(const QString& js) { return Call({{"op", "eval"}, {"js", js}}); }

private:
    QJsonObject Answer(int ms)
    {
        QDeadlineTimer deadline(ms);
        while (!m_process.canReadLine() && !deadline.hasExpired() &&
               m_process.state() == QProcess::Running)
            m_process.waitForReadyRead(100);
        if (!m_process.canReadLine())
            return {{"ok", false}, {"error", "no answer from browser.py"}};
        return QJsonDocument::fromJson(m_process.readLine()).object();
    }
    const QString m_script;
    QProcess m_process;
};

} // namespace ondrel::testing
