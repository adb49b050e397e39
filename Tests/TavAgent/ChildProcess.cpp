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

bool copyFile(const QString& from, const QString& to)
{
    QFile source(from);
    if (!source.copy(to)) {
        qWarning("Cannot copy %s to %s: %s", qPrintable(from), qPrintable(to), qPrintable(source.errorString()));
        return false;
    }
    return true;
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
    const QDir bin(buildBinDir());
    const QDir target(directory);
    for (const QString& library : bin.entryList({ QStringLiteral("libTavUpdater.so*") }, QDir::Files | QDir::System)) {
        if (!target.exists(library) && !copyFile(bin.filePath(library), target.filePath(library)))
            return false;
    }
    return copyFile(program, target.absoluteFilePath(name));
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
