#include "Upgrade.h"

namespace Vondra {

int Upgrade::updaterResult(int exitCode)
{
    return qint8(exitCode);
}

} // namespace Vondra
