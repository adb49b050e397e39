#include "ProgramFile.h"

namespace Vondra {

QString ProgramFile::executableSuffix()
{
    return QStringLiteral(".exe");
}

} // namespace Vondra
