#include "Updater/PackageInfo.h"

#include "Updater/Version.h"

namespace Updater {

PackageInfo::PackageInfo(const QString& name, const QString& version)
    : m_name(name)
    , m_version(version)
{
}

// "0", "0.0" and an empty version all mean that nothing real was installed yet.
bool PackageInfo::isPlaceholder() const
{
    return Version::compare(m_version, Version::placeholder()) == 0;
}

bool PackageInfo::operator==(const PackageInfo& other) const
{
    return m_name == other.m_name && m_title == other.m_title && m_description == other.m_description
        && m_version == other.m_version && m_installDate == other.m_installDate
        && m_lastUpdateDate == other.m_lastUpdateDate && m_size == other.m_size && m_files == other.m_files;
}

} // namespace Updater
