#pragma once

#include "UpdateArguments.h"

#include <QStringList>

namespace Vondra {

// What TavUpdate was asked to do.
struct CommandLine
{
    UpdateArguments arguments;
    bool silent = false;
    bool checkOnly = false;
    bool restart = false;
    QStringList restartArguments;
};

// Scans the process arguments (the program path first, as QCoreApplication
// gives them). An option is any argument starting with "-"; only the letter
// after the dash counts. -t, -v and -d take the next argument whatever it is;
// -e takes it only when it is not an option, and splits it at every "+".
CommandLine parseCommandLine(const QStringList& processArguments);

} // namespace Vondra
