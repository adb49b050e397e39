#pragma once

#include <QByteArray>
#include <QString>

namespace Vondra {

// Packs a directory tree into a compressed tar whose member paths are
// relative to the directory, and measures the archive (size, SHA-256,
// unpacked size) as it is written.
class ArchiveWriter
{
public:
    enum class Format { TarZstd, TarGzip };

    // "tar.zst" or "tar.gz"; false for anything else.
    static bool formatFromName(const QString& name, Format* format);
    // ".tar.zst" or ".tar.gz".
    static QString suffix(Format format);
    // The compression levels a format takes; 0 stands for its default.
    static int maximumLevel(Format format);

    // zstd at level 19 unless told otherwise.
    void setFormat(Format format, int level = 0);

    // Writes the archive to archivePath atomically; false with errorString()
    // when the tree holds something a package cannot carry (a link leaving
    // the tree, a device, a FIFO) or the archive cannot be written.
    bool pack(const QString& directory, const QString& archivePath);

    quint64 size() const { return m_size; }
    QByteArray sha256() const { return m_sha256; }
    quint64 unpackedSize() const { return m_unpackedSize; }
    QString errorString() const { return m_errorString; }

private:
    Format m_format = Format::TarZstd;
    int m_level = 0;
    quint64 m_size = 0;
    QByteArray m_sha256;
    quint64 m_unpackedSize = 0;
    QString m_errorString;
};

} // namespace Vondra
