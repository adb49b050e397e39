#include "InstalledAgent.h"

#include "BuiltPrograms.h"
#include "TestFiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTcpServer>
#include <QThread>

#include <csignal>

namespace Vondra::Testing {

namespace {

constexpr int startTimeoutMs = 15000;

} // namespace

InstalledAgent::InstalledAgent(const QString& agentPath, const QString& homePath)
    : m_agentPath(agentPath)
    , m_homePath(homePath)
{
    if (m_root.isValid()) {
        QDir().mkpath(agentDir());
        QDir().mkpath(workDir());
        childRuntimeDir(home());
    }
}

InstalledAgent::~InstalledAgent()
{
    stop();
    endProcessesRunning(program());
}

bool InstalledAgent::isValid() const
{
    return m_root.isValid() && QFileInfo(agentDir()).isDir() && QFileInfo(workDir()).isDir();
}

QString InstalledAgent::appsDir() const
{
    return QFileInfo(agentDir()).absolutePath();
}

QString InstalledAgent::program() const
{
    return QDir(agentDir()).filePath(QStringLiteral("TavAgent"));
}

QString InstalledAgent::settingsFile() const
{
    return QDir(home()).filePath(QStringLiteral(".config/Tavlo/TavAgent.ini"));
}

bool InstalledAgent::install(const QString& program, const QString& name)
{
    return copyProgram(program, agentDir(), name);
}

bool InstalledAgent::installUpdating(const QString& updateHost, const QString& publicKeyFile, QString* error)
{
    if (!installPrograms(agentDir(), { QStringLiteral("TavAgent"), QStringLiteral("TavUpdate") }, error))
        return false;
    if (QFile::copy(publicKeyFile, QDir(agentDir()).filePath(QStringLiteral("update_key.pub")))
        && writeFile(QDir(agentDir()).filePath(QStringLiteral("update_host.dat")), updateHost.toUtf8() + '\n'))
        return true;
    if (error)
        *error = QStringLiteral("cannot write the update key or host into ") + agentDir();
    return false;
}

void InstalledAgent::setSetting(const QString& key, const QVariant& value) const
{
    QSettings(settingsFile(), QSettings::IniFormat).setValue(key, value);
}

QVariant InstalledAgent::setting(const QString& key) const
{
    return QSettings(settingsFile(), QSettings::IniFormat).value(key);
}

QByteArray InstalledAgent::trace() const
{
    return readFile(QDir(agentDir()).filePath(QStringLiteral("trace.log")));
}

ProcessRun InstalledAgent::run(const QStringList& arguments, const QString& workingDir) const
{
    return runProcess(program(), arguments, environment(), workingDir, 30000);
}

quint16 InstalledAgent::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

bool InstalledAgent::start()
{
    if (!setting(QStringLiteral("listen_port")).isValid())
        setSetting(QStringLiteral("listen_port"), freePort());
    m_port = quint16(setting(QStringLiteral("listen_port")).toUInt());
    if (!QFile::exists(program()) && !install(builtProgram(QStringLiteral("TavAgent")))) {
        m_error = QStringLiteral("cannot install the agent");
        return false;
    }
    m_process.setProcessEnvironment(environment());
    m_process.setWorkingDirectory(agentDir());
    m_process.start(program(), QStringList());
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

bool InstalledAgent::stop()
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

} // namespace Vondra::Testing
