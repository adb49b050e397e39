#pragma once

#include "Updater/UpdateSourcesInfo.h"

namespace Updater {

class UpdateSourcesInfoPrivate
{
public:
    // Kept in the order sources are asked: by priority, then as added.
    QList<UpdateSourceInfo> sources;
    bool modified = false;
};

} // namespace Updater
