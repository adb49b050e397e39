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

// Copies program into directory under name; false (and a warning) on failure.
bool copyProgram(const QString& program, const QString& directory, const QString& name);

// The guard probe built beside the tests.
QString guardProbePath();

// Environment of a child: UTF-8 locale, no display, settings kept in configDir
// when given. Every child that starts an agent or a single-instance guard
// needs a runtimeDir of its test's own (a fresh QTemporaryDir, which is 0700):
// the guard lives there, so the child is neither silenced by nor silences the
// agents of other tests and users on the machine.
QProcessEnvironment childEnvironment(const QString& configDir = QString(), const QString& runtimeDir = QString());

ChildRun runChild(const QString& program, const QStringList& arguments,
    const QProcessEnvironment& environment = childEnvironment(), const QString& workingDir = QString());
