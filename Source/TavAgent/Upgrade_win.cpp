#include "Upgrade.h"

namespace Vondra {

int Upgrade::updaterResult(int exitCode)
{
    // The whole 32-bit code comes back.
    return exitCode;
}

} // namespace Vondra
