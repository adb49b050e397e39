#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <memory>

namespace Updater {

class ArchiveExtractorPrivate;

// Unpacks one package archive (zip, tar.gz, tar.xz, tar.bz2, tar.zst; the kind
// is read from the content, not the name) into an empty staging directory,
// refusing anything that could reach outside it: absolute names, "..",
// links that lead out, entries below a link, device nodes, FIFOs and sockets,
// and names that only a file system which ignores case tells apart.
//
// extract() blocks and may run on a worker thread; cancel() and bytesRead()
// may be called from any thread meanwhile. Everything else is read after
// extract() has returned.
class ArchiveExtractor
{
    Q_DECLARE_TR_FUNCTIONS(ArchiveExtractor)

public:
    // displayName names the archive in error texts (its URL, usually).
    ArchiveExtractor(const QString& archivePath, const QString& stagingDirectory, const QString& displayName);
    ~ArchiveExtractor();
    ArchiveExtractor(const ArchiveExtractor&) = delete;
    ArchiveExtractor& operator=(const ArchiveExtractor&) = delete;

    enum Failure { NoFailure, RefusedContent, DamagedArchive, FileSystemFailure, Cancelled, TooLarge };

    // extract() stops with TooLarge before the unpacked size (UnpackedSize)
    // would pass bytes; nothing beyond it is ever written.
    void setMaximumUnpackedSize(quint64 bytes);

    bool extract();
    void cancel();
    Failure failure() const;
    // Bytes of the archive file consumed so far.
    qint64 bytesRead() const;
    QString errorString() const;

    // Files and links unpacked, relative to the staging directory, '/'-separated,
    // each once, in archive order.
    QStringList files() const;
    // Directories the archive names, parents before children.
    QStringList directories() const;
    // The unpacked size of what was unpacked (UnpackedSize).
    quint64 unpackedSize() const;

private:
    std::unique_ptr<ArchiveExtractorPrivate> d;
};

} // namespace Updater
