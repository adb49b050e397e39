#include "ToolDirectories.h"

#include <QDirIterator>

namespace Vondra {

QVector<ToolDirectories::Entry> ToolDirectories::read(const QString& directory)
{
    QVector<Entry> entries;
    QDirIterator it(directory, QDir::AllDirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        const QFileInfo entry = it.fileInfo();
        entries.append({ entry.fileName(), entry.completeBaseName(), entry.absoluteFilePath() });
    }
    return entries;
}

} // namespace Vondra
