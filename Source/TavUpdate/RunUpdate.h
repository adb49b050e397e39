#pragma once

#include "UpdateArguments.h"

#include <QString>

namespace Vondra {

// The repository base when the program ships no "update_host.dat".
QString defaultUpdateBaseUrl();

// The base read from "update_host.dat" in programDirectory: its first line,
// trimmed, or an empty base when the file cannot be read; the default when
// there is no such entry.
QString updateBaseUrl(const QString& programDirectory);

// One update run of the target with the base from beside the running program.
// Returns -1 when the user closed the selection without accepting, else the
// number of updates chosen (installed only without checkOnly).
int runUpdate(const UpdateArguments& arguments, bool silent, bool checkOnly);
int runUpdate(const UpdateArguments& arguments, bool silent, bool checkOnly, const QString& baseUrl);

} // namespace Vondra
