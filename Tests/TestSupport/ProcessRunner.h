#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace Vondra::Testing {

// One run of a program in a process of its own, waited for.
struct ProcessRun
{
    bool finished = false; // ended within the time given; killed otherwise
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1; // the signal number after a crash, -1 when it did not end in time
    QByteArray standardOutput;
    QByteArray standardError;

    // The code the program returned when it ended by itself; -1 after a crash
    // or a timeout, so a crash never reads as a result.
    int code() const { return finished && exitStatus == QProcess::NormalExit ? exitCode : -1; }
    bool succeeded() const { return code() == 0; }
    QString output() const { return QString::fromLocal8Bit(standardOutput); }
    QString errors() const { return QString::fromLocal8Bit(standardError); }
    // Both channels, for a failure message.
    QString describe() const;
};

// Runs program to its end (killing it after timeoutMs). An empty workingDir
// keeps the test's own.
ProcessRun runProcess(const QString& program, const QStringList& arguments,
    const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
    const QString& workingDir = QString(), int timeoutMs = 60000);

// The environment of a user of the test's own: UTF-8 locale, no display and no
// desktop session. With a home, everything of the user's lives in it as in a
// real home: settings in ".config", caches in ".cache", data in
// ".local/share", the runtime directory in ".runtime" (childRuntimeDir).
// Without one, the runtime directory is one that all children of this test
// process share. So a child neither silences nor is silenced by the agents
// of other tests and users on the machine, and children given the same home
// see each other.
QProcessEnvironment childEnvironment(const QString& home = QString());
// home's ".runtime", made 0700 as a runtime directory must be.
QString childRuntimeDir(const QString& home);

} // namespace Vondra::Testing
