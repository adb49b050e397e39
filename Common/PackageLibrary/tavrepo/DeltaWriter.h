#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Vondra {

// Writes the delta file that makes a package's new version from its old one
// (the manifest format is Updater::DeltaManifest). Both versions are given as
// an installer unpacks them: a directory, and the directories and files
// (links included) the extractor reports. A new file is reused when the old
// version has one with the same content, under any name; patched against the
// old file of the same name with zstd's patch-from (a prefix reference and
// long-distance matching), or compressed whole, whichever is smaller. Files
// above patchLimit() go whole, so an installer never holds more than about
// twice that in memory.
class DeltaWriter
{
public:
    struct Tree
    {
        QString root;
        QStringList directories;
        QStringList files;
    };

    static quint64 patchLimit() { return quint64(128) << 20; }
    void setCompressionLevel(int level) { m_level = level; }

    bool write(const QString& name, const QString& fromVersion, const QString& toVersion, const Tree& from,
        const Tree& to, const QString& deltaPath);

    quint64 size() const { return m_size; }
    QByteArray sha256() const { return m_sha256; }
    quint64 unpackedSize() const { return m_unpackedSize; }
    int reused() const { return m_reused; }
    int patched() const { return m_patched; }
    int whole() const { return m_whole; }
    QString errorString() const { return m_errorString; }

private:
    bool fail(const QString& text);

    int m_level = 19;
    quint64 m_size = 0;
    QByteArray m_sha256;
    quint64 m_unpackedSize = 0;
    int m_reused = 0;
    int m_patched = 0;
    int m_whole = 0;
    QString m_errorString;
};

} // namespace Vondra
