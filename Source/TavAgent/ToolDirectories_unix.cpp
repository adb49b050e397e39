#include "ToolDirectories.h"

#include <QFile>

#include <dirent.h>
#include <sys/stat.h>

namespace Vondra {

namespace {

// What QFileInfo::isDir says: a link counts as what it points to; a broken
// link, like a file or a socket, is not listed.
bool isDirectory(DIR* dir, const dirent* entry)
{
    if (entry->d_type == DT_DIR)
        return true;
    if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
        return false;
    struct stat status;
    return ::fstatat(::dirfd(dir), entry->d_name, &status, 0) == 0 && S_ISDIR(status.st_mode);
}

QString completeBaseName(const QString& name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? name : name.left(dot);
}

} // namespace

// readdir and the type it reports: a stat only for links and file systems
// that do not tell the type.
QVector<ToolDirectories::Entry> ToolDirectories::read(const QString& directory)
{
    QVector<Entry> entries;
    DIR* dir = ::opendir(QFile::encodeName(directory).constData());
    if (!dir)
        return entries;
    const QString prefix = directory.endsWith(QLatin1Char('/')) ? directory : directory + QLatin1Char('/');
    while (const dirent* entry = ::readdir(dir)) {
        // Hidden, as Qt has it here, is a name that starts with a dot; "."
        // and ".." are among them.
        if (entry->d_name[0] == '.' || !isDirectory(dir, entry))
            continue;
        const QString name = QFile::decodeName(entry->d_name);
        entries.append({ name, completeBaseName(name), prefix + name });
    }
    ::closedir(dir);
    return entries;
}

} // namespace Vondra
