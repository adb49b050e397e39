#pragma once

#include "UpdateArguments.h"

#include <QStringList>

namespace Vondra {

// Organization, domain, application name and version, before anything else.
void setApplicationIdentity();

// Everything TavUpdate does once it has its arguments (the program path first):
// parse them, run the update and restart the target when asked. Returns the
// exit code.
int updaterMain(const QStringList& processArguments);

// Starts the target's program from its directory, detached. The program is the
// lower-cased target name as a program file, matched case-insensitively.
bool restartTarget(const UpdateArguments& target, const QStringList& restartArguments);

} // namespace Vondra
