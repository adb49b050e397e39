#include "ProgramFile.h"

namespace Vondra {

QString ProgramFile::executableSuffix()
{
    return QString();
}

} // namespace Vondra
