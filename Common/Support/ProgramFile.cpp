#include "ProgramFile.h"

#include <QDir>
#include <QFileInfo>

namespace Vondra {

QString ProgramFile::executableName(const QString& baseName)
{
    return baseName + executableSuffix();
}

QString ProgramFile::resolve(const QDir& dir, const QString& fileName)
{
    const QString exact = dir.absoluteFilePath(fileName);
    if (QFileInfo::exists(exact) || fileName.isEmpty())
        return exact;

    const QStringList entries = dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& entry : entries) {
        if (entry.compare(fileName, Qt::CaseInsensitive) == 0)
            return dir.absoluteFilePath(entry);
    }
    return exact;
}

} // namespace Vondra
