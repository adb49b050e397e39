#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class QIODevice;

namespace Updater {

// What a delta file says: how to make every entry of a package's new version
// from the files of an installed older version. A pure value; the delta file
// is this manifest followed by the payloads it points into:
//
//   "tavlo-delta-1\n"
//   the manifest's length: 16 hexadecimal digits and "\n"
//   the manifest: compact JSON
//   payloads: zstd frames, each at its entry's offset from here
//
// A file is made in one of three ways: reused (an installed file with the same
// content, under any name), patched (a zstd frame whose reference, a prefix
// of its window, is an installed file) or whole (a zstd frame of the content).
class DeltaManifest
{
public:
    enum class Type { File, Directory, Link };
    enum class Method { Reused, Patched, Whole };

    struct Entry
    {
        QString path;
        Type type = Type::File;
        int mode = 0644;
        // Files only: the new content's size and SHA-256 (32 raw bytes).
        quint64 size = 0;
        QByteArray sha256;
        Method method = Method::Whole;
        // Reused and patched files: the installed file, its size and SHA-256.
        QString reference;
        quint64 referenceSize = 0;
        QByteArray referenceSha256;
        // Patched and whole files: the frame, relative to the payload area.
        quint64 offset = 0;
        quint64 length = 0;
        // Links only.
        QString linkTarget;

        bool needsReference() const { return type == Type::File && method != Method::Whole; }
        bool hasPayload() const { return type == Type::File && method != Method::Reused; }
    };

    QString name;
    QString fromVersion;
    QString toVersion;
    QList<Entry> entries;

    // The largest manifest a reader accepts.
    static qint64 maximumSize() { return 64 * 1024 * 1024; }

    // The head of a delta file: magic, length and manifest.
    QByteArray head() const;
    // Reads the head from the start of device; on success the device stands
    // at the first payload byte.
    static bool readHead(QIODevice* device, DeltaManifest* manifest, QString* reason);

    QByteArray serialize() const;
    // Checks the shape of every entry, not the paths: those go through the
    // package rules where the entries are made.
    static bool parse(const QByteArray& json, DeltaManifest* manifest, QString* reason);

    // The zstd window (as a power of two) that a frame of size bytes needs,
    // after a reference of referenceSize bytes: what a decoder allows at most.
    static int windowLogFor(quint64 size, quint64 referenceSize = 0);
};

} // namespace Updater
