#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// One finished run of a program in a process of its own.
struct ChildRun
{
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1; // the signal number after a crash
    QByteArray standardOutput;
    QByteArray standardError;
};

// The helper program built beside the tests.
QString agentProbePath();
// The agent as built, for copying into a directory of a test's own.
QString builtAgentPath();
// The compiled translations of the build.
QString builtLanguagesDir();

// Copies program into directory under name, with the update library it loads
// from its own directory; false (and a warning) on failure.
bool copyProgram(const QString& program, const QString& directory, const QString& name);

// The guard probe built beside the tests.
QString guardProbePath();

// Environment of a child: UTF-8 locale, no display; when configDir is given,
// it is the child's home: settings in it, caches in its ".cache". Agents and single-instance guards keep their files in
// the runtime directory: childRuntimeDir(configDir) when configDir is given, else one that all children of this test
// process share. So a child neither silences nor is silenced by the agents of other tests and users on the machine, and
// children given the same configDir see each other.
QProcessEnvironment childEnvironment(const QString& configDir = QString());
// configDir's ".runtime", made 0700 as a runtime directory must be.
QString childRuntimeDir(const QString& configDir);

ChildRun runChild(const QString& program, const QStringList& arguments,
    const QProcessEnvironment& environment = childEnvironment(), const QString& workingDir = QString());
