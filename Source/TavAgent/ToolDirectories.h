#pragma once

#include <QString>
#include <QVector>

namespace Vondra {

// The directories in which tools sit, beside the agent's own: subdirectories
// and links to directories, hidden ones left out, sorted by name ignoring case
// (QDir's own sorting). Read on every tavinfo request.
class ToolDirectories
{
public:
    struct Entry
    {
        QString name;
        // QFileInfo::completeBaseName: the name without its last dot-suffix.
        QString baseName;
        QString path;
    };

    static QVector<Entry> list(const QString& directory);
};

} // namespace Vondra
