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

// What a run returns when the search for updates failed: the repository could
// not be reached, or its index was refused (its signature, its expiry). The
// agent reads it, like every negative result, as nothing to install.
constexpr int searchFailed = -2;

// One update run of the target with the base from beside the running program.
// Returns -1 when the user closed the selection without accepting,
// searchFailed when the search failed (the library's error log says why),
// else the number of updates chosen (installed only without checkOnly).
int runUpdate(const UpdateArguments& arguments, bool silent, bool checkOnly);
int runUpdate(const UpdateArguments& arguments, bool silent, bool checkOnly, const QString& baseUrl);

} // namespace Vondra
