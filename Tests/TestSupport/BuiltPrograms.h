#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace Vondra::Testing {

// The build's program directory (bin/): CTest names it in TAVLO_BIN_DIR; run
// by hand, the tests sit in tests/ beside it.
QString binDirectory();
// A program of the build by its base name, e.g. builtProgram("TavUpdate").
QString builtProgram(const QString& name);
// A helper program built beside the tests, e.g. "agentprobe" or "start_recorder".
QString testProgram(const QString& name);

// Copies program into directory under name, with the update library beside
// it when the build has one as a shared library (the programs find it through
// $ORIGIN). False, with the reason in error (and as a warning), when a copy
// fails.
bool copyProgram(const QString& program, const QString& directory, const QString& name, QString* error = nullptr);
// Copies the built programs (base names) into directory as they are installed.
bool installPrograms(const QString& directory, const QStringList& programs, QString* error = nullptr);

// The processes whose program is the file at path, also once that file has
// been deleted or replaced under them (Linux /proc).
QList<qint64> processesRunning(const QString& path);
// Asks every process running the program at path to end (SIGTERM) and waits
// until they have; kills those still there after timeoutMs, and is then false.
bool endProcessesRunning(const QString& path, int timeoutMs = 15000);

} // namespace Vondra::Testing
