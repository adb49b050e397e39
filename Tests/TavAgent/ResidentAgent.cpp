#include "ResidentAgent.h"

#include "ChildProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QSettings>
#include <QTcpServer>
#include <QThread>

#include <csignal>

namespace {

constexpr int startTimeoutMs = 15000;

} // namespace

ResidentAgent::ResidentAgent()
{
    for (const char* sub : { "home", "config/Tavlo", "cache", "runtime", "install/TavAgent" })
        QDir(m_dir.path()).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(m_dir.filePath(QStringLiteral("runtime")),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

ResidentAgent::~ResidentAgent()
{
    stop();
}

QString ResidentAgent::root() const
{
    return m_dir.filePath(QStringLiteral("install"));
}

QString ResidentAgent::agentDirectory() const
{
    return m_dir.filePath(QStringLiteral("install/TavAgent"));
}

QString ResidentAgent::settingsFile() const
{
    return m_dir.filePath(QStringLiteral("config/Tavlo/TavAgent.ini"));
}

void ResidentAgent::setSetting(const QString& key, const QVariant& value)
{
    QSettings settings(settingsFile(), QSettings::IniFormat);
    settings.setValue(key, value);
}

quint16 ResidentAgent::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

QProcessEnvironment ResidentAgent::environment() const
{
    QProcessEnvironment environment = childEnvironment(m_dir.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("HOME"), m_dir.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_dir.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.filePath(QStringLiteral("runtime")));
    return environment;
}

bool ResidentAgent::start()
{
    {
        QSettings settings(settingsFile(), QSettings::IniFormat);
        if (!settings.contains(QStringLiteral("listen_port")))
            settings.setValue(QStringLiteral("listen_port"), freePort());
        m_port = quint16(settings.value(QStringLiteral("listen_port")).toUInt());
    }
    if (!QFile::exists(QDir(agentDirectory()).filePath(QStringLiteral("TavAgent")))
        && !copyProgram(builtAgentPath(), agentDirectory(), QStringLiteral("TavAgent"))) {
        m_error = QStringLiteral("cannot install the agent");
        return false;
    }
    m_process.setProcessEnvironment(environment());
    m_process.setWorkingDirectory(agentDirectory());
    m_process.start(QDir(agentDirectory()).filePath(QStringLiteral("TavAgent")), QStringList());
    if (!m_process.waitForStarted()) {
        m_error = m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(startTimeoutMs);
    while (!deadline.hasExpired()) {
        const QByteArray log = trace();
        if (log.contains("bridge listening on") || log.contains("bridge cannot listen"))
            return true;
        if (m_process.state() != QProcess::Running) {
            m_error = QStringLiteral("the agent ended: ") + QString::fromUtf8(log);
            return false;
        }
        QThread::msleep(20);
    }
    m_error = QStringLiteral("the bridge did not start: ") + QString::fromUtf8(trace());
    return false;
}

bool ResidentAgent::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(startTimeoutMs)) {
        m_process.kill();
        m_process.waitForFinished();
        return false;
    }
    return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

QByteArray ResidentAgent::trace() const
{
    QFile file(QDir(agentDirectory()).filePath(QStringLiteral("trace.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
