#include "ProcessRunner.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace Vondra::Testing {

QString ProcessRun::describe() const
{
    return QStringLiteral("finished %1, exit %2, output:\n%3\nerrors:\n%4")
        .arg(finished)
        .arg(exitCode)
        .arg(output(), errors());
}

ProcessRun runProcess(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment,
    const QString& workingDir, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDir);
    process.start(program, arguments);
    ProcessRun run;
    run.finished = process.waitForFinished(timeoutMs);
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.exitStatus = process.exitStatus();
    run.exitCode = run.finished ? process.exitCode() : -1;
    run.standardOutput = process.readAllStandardOutput();
    run.standardError = process.readAllStandardError();
    if (process.error() == QProcess::FailedToStart)
        run.standardError += process.errorString().toLocal8Bit();
    return run;
}

namespace {

QString processRuntimeDir()
{
    static const QTemporaryDir dir;
    return dir.path();
}

} // namespace

QProcessEnvironment childEnvironment(const QString& home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION",
             "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID", "XDG_DATA_DIRS", "BROWSER" })
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (!home.isEmpty()) {
        // Nothing of the user's own: parallel tests never share settings or caches.
        const QDir dir(home);
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral(".config")));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), dir.filePath(QStringLiteral(".cache")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral(".local/share")));
    }
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.isEmpty() ? processRuntimeDir() : childRuntimeDir(home));
    return environment;
}

QString childRuntimeDir(const QString& home)
{
    const QString runtime = QDir(home).filePath(QStringLiteral(".runtime"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return runtime;
}

} // namespace Vondra::Testing
