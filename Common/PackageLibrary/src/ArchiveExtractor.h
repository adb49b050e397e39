#pragma once

#include "PackageStager.h"

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
class ArchiveExtractor : public PackageStager
{
    Q_DECLARE_TR_FUNCTIONS(ArchiveExtractor)

public:
    // displayName names the archive in error texts (its URL, usually).
    ArchiveExtractor(const QString& archivePath, const QString& stagingDirectory, const QString& displayName);
    ~ArchiveExtractor() override;
    ArchiveExtractor(const ArchiveExtractor&) = delete;
    ArchiveExtractor& operator=(const ArchiveExtractor&) = delete;

    void setMaximumUnpackedSize(quint64 bytes) override;
    bool stage() override;
    void cancel() override;
    Failure failure() const override;
    qint64 bytesRead() const override;
    QString errorString() const override;
    QStringList files() const override;
    QStringList directories() const override;
    quint64 unpackedSize() const override;

private:
    std::unique_ptr<ArchiveExtractorPrivate> d;
};

} // namespace Updater
