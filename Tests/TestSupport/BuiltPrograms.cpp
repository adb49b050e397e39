#include "BuiltPrograms.h"

#include "ProgramFile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <csignal>
#include <sys/types.h>

namespace Vondra::Testing {

QString binDirectory()
{
    const QString fromCTest = qEnvironmentVariable("TAVLO_BIN_DIR");
    return fromCTest.isEmpty() ? QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../bin"))
                               : fromCTest;
}

QString builtProgram(const QString& name)
{
    return QDir(binDirectory()).absoluteFilePath(ProgramFile::executableName(name));
}

QString testProgram(const QString& name)
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(ProgramFile::executableName(name));
}

namespace {

bool copyFile(const QString& from, const QString& to, QString* error)
{
    QFile source(from);
    if (source.copy(to))
        return true;
    const QString reason = QStringLiteral("cannot copy %1 to %2: %3").arg(from, to, source.errorString());
    qWarning("%s", qPrintable(reason));
    if (error)
        *error = reason;
    return false;
}

} // namespace

bool copyProgram(const QString& program, const QString& directory, const QString& name, QString* error)
{
    const QDir bin(binDirectory());
    const QDir target(directory);
    const QStringList libraries = bin.entryList(
        { QStringLiteral("libTavUpdater.so*"), QStringLiteral("TavUpdater*.dll") }, QDir::Files | QDir::System);
    for (const QString& library : libraries) {
        if (!target.exists(library) && !copyFile(bin.filePath(library), target.filePath(library), error))
            return false;
    }
    return copyFile(program, target.absoluteFilePath(name), error);
}

bool installPrograms(const QString& directory, const QStringList& programs, QString* error)
{
    for (const QString& program : programs) {
        if (!copyProgram(builtProgram(program), directory, ProgramFile::executableName(program), error))
            return false;
    }
    return true;
}

QList<qint64> processesRunning(const QString& path)
{
    const QString deleted = path + QStringLiteral(" (deleted)");
    QList<qint64> pids;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const QString program = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry));
        if (program == path || program == deleted)
            pids << pid;
    }
    return pids;
}

bool endProcessesRunning(const QString& path, int timeoutMs)
{
    for (qint64 pid : processesRunning(path))
        ::kill(pid_t(pid), SIGTERM);
    const QDeadlineTimer deadline(timeoutMs);
    while (!processesRunning(path).isEmpty()) {
        if (deadline.hasExpired()) {
            for (qint64 pid : processesRunning(path))
                ::kill(pid_t(pid), SIGKILL);
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

} // namespace Vondra::Testing
