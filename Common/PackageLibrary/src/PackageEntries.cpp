#include "PackageEntries.h"

#include "PackagePath.h"

namespace Updater {

QString PackageEntries::refusalOf(const QString& relative)
{
    const QString twin = caseTwinOf(relative);
    if (!twin.isEmpty())
        return tr("its name differs only in case from \"%1\"").arg(twin);
    const QString link = linkAbove(relative);
    if (!link.isEmpty())
        return tr("it lies below the link \"%1\"").arg(link);
    if (m_links.contains(PackagePath::comparisonKey(relative)))
        return tr("it would replace a link stored earlier");
    return QString();
}

QString PackageEntries::refusalOfFile(const QString& relative) const
{
    if (m_directorySet.contains(relative))
        return tr("a directory of that name was unpacked before");
    return QString();
}

QString PackageEntries::refusalOfLink(const QString& relative, const QString& target) const
{
    if (!PackagePath::isContainedLinkTarget(relative, target))
        return tr("it is a link to \"%1\", outside the target directory").arg(target);
    if (m_regularFiles.contains(relative) || m_directorySet.contains(relative))
        return tr("it is a link that would replace an entry stored earlier");
    return QString();
}

QStringList PackageEntries::missingParentsOf(const QString& relative) const
{
    QStringList missing;
    for (const QString& parent : PackagePath::parentsOf(relative)) {
        if (!m_directorySet.contains(parent))
            missing.append(parent);
    }
    return missing;
}

QString PackageEntries::linkAbove(const QString& relative) const
{
    for (const QString& parent : PackagePath::parentsOf(relative)) {
        if (m_links.contains(PackagePath::comparisonKey(parent)))
            return parent;
    }
    return QString();
}

void PackageEntries::addDirectory(const QString& relative)
{
    if (!m_directorySet.contains(relative)) {
        m_directorySet.insert(relative);
        m_directories.append(relative);
    }
}

void PackageEntries::addRegularFile(const QString& relative)
{
    m_regularFiles.insert(relative);
    addFile(relative);
}

void PackageEntries::addLink(const QString& relative)
{
    m_links.insert(PackagePath::comparisonKey(relative));
    addFile(relative);
}

void PackageEntries::addFile(const QString& relative)
{
    if (!m_fileSet.contains(relative)) {
        m_fileSet.insert(relative);
        m_files.append(relative);
    }
}

// Two names that differ only in case are one file on Windows: which of them
// would win depends on the order of the entries.
QString PackageEntries::caseTwinOf(const QString& relative)
{
    const QStringList paths = PackagePath::parentsOf(relative) << relative;
    for (const QString& path : paths) {
        const QString key = PackagePath::comparisonKey(path);
        const QString seen = m_namesByKey.value(key, path);
        if (seen != path)
            return seen;
        m_namesByKey.insert(key, path);
    }
    return QString();
}

QFileDevice::Permissions PackageEntries::permissionsFromMode(int mode)
{
    QFileDevice::Permissions permissions
        = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser;
    if (mode & 0040)
        permissions |= QFileDevice::ReadGroup;
    if (mode & 0004)
        permissions |= QFileDevice::ReadOther;
    if (mode & 0100)
        permissions |= QFileDevice::ExeOwner | QFileDevice::ExeUser;
    if (mode & 0010)
        permissions |= QFileDevice::ExeGroup;
    if (mode & 0001)
        permissions |= QFileDevice::ExeOther;
    return permissions;
}

} // namespace Updater
