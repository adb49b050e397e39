#pragma once

#include "TavUpdaterGlobal.h"

#include <QString>

namespace Updater {

// Dotted version numbers compared part by part as numbers: 1.10 > 1.9 and
// 2 == 2.0. "0.0" is the placeholder of a package that was never installed.
class TAVUPDATER_EXPORT Version
{
public:
    static QString placeholder() { return QStringLiteral("0.0"); }

    // Negative, zero or positive as a is older than, equal to or newer than b.
    // A part that is not a number compares as 0.
    static int compare(const QString& a, const QString& b);
    static bool isValid(const QString& version);
};

} // namespace Updater
