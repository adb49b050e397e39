#pragma once

#include <QHash>
#include <QString>

struct archive_entry;

namespace Updater {

// What a package takes once unpacked: the sum of the apparent sizes of its
// regular files, holes of sparse files included. A hard link counts in full,
// as the file it names does, since the extractor unpacks it as a copy.
// tavrepo counts the entries it writes (and a delta the files it makes) and records the sum in the index; the
// extractor counts the entries it reads, so both arrive at the same figure,
// and stops as soon as the sum passes what the index states.
//
// Paths are the entries' clean relative names.
class UnpackedSize
{
public:
    // Counts an entry as its header describes it: a regular file with its
    // size, a hard link (hardLinkTarget not empty) with the size counted for
    // the file it names, anything else as nothing. Returns the new total.
    quint64 add(const QString& path, archive_entry* entry, const QString& hardLinkTarget = QString());
    // Counts a regular file of the stated size; returns the new total.
    quint64 addFile(const QString& path, quint64 size);
    // The regular file at path has reached end bytes while being unpacked
    // (a header need not state its size); returns the new total.
    quint64 grow(const QString& path, quint64 end);
    quint64 total() const { return m_total; }

private:
    QHash<QString, quint64> m_files;
    quint64 m_total = 0;
};

} // namespace Updater
