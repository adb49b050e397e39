#include "ChildProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

namespace {

constexpr int childTimeoutMs = 30000;

QString buildBinDir()
{
    return qEnvironmentVariable("TAVLO_BIN_DIR");
}

QString processRuntimeDir()
{
    static const QTemporaryDir dir;
    return dir.path();
}

} // namespace

QString agentProbePath()
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("agentprobe"));
}

QString guardProbePath()
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("guardprobe"));
}

QString builtAgentPath()
{
    return QDir(buildBinDir()).absoluteFilePath(QStringLiteral("TavAgent"));
}

QString builtLanguagesDir()
{
    return QDir(buildBinDir()).absoluteFilePath(QStringLiteral("languages"));
}

bool copyProgram(const QString& program, const QString& directory, const QString& name)
{
    QFile source(program);
    const QString target = QDir(directory).absoluteFilePath(name);
    if (!source.copy(target)) {
        qWarning("Cannot copy %s to %s: %s", qPrintable(program), qPrintable(target), qPrintable(source.errorString()));
        return false;
    }
    return true;
}

QProcessEnvironment childEnvironment(const QString& configDir)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (!configDir.isEmpty()) {
        // Nothing of the user's own: parallel tests never share settings or caches.
        environment.insert(QStringLiteral("HOME"), configDir);
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir);
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), QDir(configDir).filePath(QStringLiteral(".cache")));
    }
    environment.insert(
        QStringLiteral("XDG_RUNTIME_DIR"), configDir.isEmpty() ? processRuntimeDir() : childRuntimeDir(configDir));
    return environment;
}

QString childRuntimeDir(const QString& configDir)
{
    const QString runtime = QDir(configDir).filePath(QStringLiteral(".runtime"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return runtime;
}

ChildRun runChild(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment,
    const QString& workingDir)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!workingDir.isEmpty())
        process.setWorkingDirectory(workingDir);
    process.start(program, arguments);
    ChildRun run;
    run.finished = process.waitForFinished(childTimeoutMs);
    if (!run.finished)
        process.kill();
    run.exitStatus = process.exitStatus();
    run.exitCode = process.exitCode();
    run.standardOutput = process.readAllStandardOutput();
    run.standardError = process.readAllStandardError();
    return run;
}
