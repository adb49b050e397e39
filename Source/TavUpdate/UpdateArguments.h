#pragma once

#include <QString>

namespace Vondra {

// The one target an update run works on.
struct UpdateArguments
{
    QString name; // lower-cased
    QString version;
    QString directory;

    bool isComplete() const { return !name.isEmpty() && !version.isEmpty() && !directory.isEmpty(); }
};

} // namespace Vondra
