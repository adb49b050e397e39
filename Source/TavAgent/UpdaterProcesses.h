#pragma once

#include <QString>
#include <QStringList>

namespace Vondra {

// The TavUpdate runs the agent waits for. An agent that is ending starts none
// and ends those under way, politely first: however long the update server
// takes to answer, the agent ends within a few seconds. An install cut short
// this way is put back by its journal at the next run, as after any kill.
class UpdaterProcesses
{
public:
    // Runs program with arguments, its output passed through, and waits for
    // it. Its exit code; -2 when it could not start or the agent is ending, -1
    // when it crashed or was ended.
    static int execute(const QString& program, const QStringList& arguments);

    // Ends every run under way and refuses new ones for the rest of the
    // process. Only sets a flag that the waiting threads look at, so a signal
    // handler may call it.
    static void endAll();
    static bool ending();
};

} // namespace Vondra
