#include "UnpackedSize.h"

#include <archive_entry.h>

namespace Updater {

quint64 UnpackedSize::add(const QString& path, archive_entry* entry, const QString& hardLinkTarget)
{
    quint64 size = 0;
    if (!hardLinkTarget.isEmpty())
        size = m_files.value(hardLinkTarget);
    else if (archive_entry_filetype(entry) == AE_IFREG && archive_entry_size_is_set(entry))
        size = quint64(qMax<la_int64_t>(archive_entry_size(entry), 0));
    else if (archive_entry_filetype(entry) != AE_IFREG)
        return m_total;
    return addFile(path, size);
}

quint64 UnpackedSize::addFile(const QString& path, quint64 size)
{
    m_files.insert(path, size);
    m_total += size;
    return m_total;
}

quint64 UnpackedSize::grow(const QString& path, quint64 end)
{
    quint64& counted = m_files[path];
    if (end > counted) {
        m_total += end - counted;
        counted = end;
    }
    return m_total;
}

} // namespace Updater
