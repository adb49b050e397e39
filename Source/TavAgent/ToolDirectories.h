#pragma once

#include <QString>
#include <QVector>

namespace Vondra {

// The directories in which tools sit, beside the agent's own, as
// QDir::entryInfoList lists them with QDir::AllDirs | QDir::NoDotAndDotDot and
// QDir::NoSort: subdirectories and links to directories, hidden ones left
// out. NoSort there means the QDir's own sorting, by name ignoring case, and
// so it is here. Read on every tavinfo request, so listed with what the
// platform offers most cheaply.
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

private:
    // In the file system's order.
    static QVector<Entry> read(const QString& directory);
};

} // namespace Vondra
