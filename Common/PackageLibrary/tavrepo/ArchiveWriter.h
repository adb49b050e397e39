#pragma once

#include <QByteArray>
#include <QString>

namespace Vondra {

// Packs a directory tree into a .tar.gz whose member paths are relative to
// the directory, and measures the archive (size, SHA-256, unpacked size) as
// it is written.
class ArchiveWriter
{
public:
    // Writes the archive to archivePath atomically; false with errorString()
    // when the tree holds something a package cannot carry (a link leaving
    // the tree, a device, a FIFO) or the archive cannot be written.
    bool pack(const QString& directory, const QString& archivePath);

    quint64 size() const { return m_size; }
    QByteArray sha256() const { return m_sha256; }
    quint64 unpackedSize() const { return m_unpackedSize; }
    QString errorString() const { return m_errorString; }

private:
    quint64 m_size = 0;
    QByteArray m_sha256;
    quint64 m_unpackedSize = 0;
    QString m_errorString;
};

} // namespace Vondra
