#include "ToolDirectories.h"

#include <QDir>

namespace Vondra {

QVector<ToolDirectories::Entry> ToolDirectories::list(const QString& directory)
{
    QVector<Entry> entries;
    for (const QFileInfo& entry : QDir(directory).entryInfoList(QDir::AllDirs | QDir::NoDotAndDotDot, QDir::NoSort))
        entries.append({ entry.fileName(), entry.completeBaseName(), entry.absoluteFilePath() });
    return entries;
}

} // namespace Vondra
