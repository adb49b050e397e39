#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// Makes one package in an empty staging directory, from an archive
// (ArchiveExtractor) or from a delta and the installed files
// (DeltaRebuilder), under the same package rules, for the install to swap in.
//
// stage() blocks and may run on a worker thread; cancel() and bytesRead()
// may be called from any thread meanwhile. Everything else is read after
// stage() has returned.
class PackageStager
{
public:
    enum Failure {
        NoFailure,
        RefusedContent,
        DamagedInput,
        InstalledFilesDiffer,
        FileSystemFailure,
        Cancelled,
        TooLarge
    };

    virtual ~PackageStager() = default;

    // stage() stops with TooLarge before the unpacked size (UnpackedSize)
    // would pass bytes; nothing beyond it is ever written.
    virtual void setMaximumUnpackedSize(quint64 bytes) = 0;

    virtual bool stage() = 0;
    virtual void cancel() = 0;
    virtual Failure failure() const = 0;
    // Bytes of the input file consumed so far.
    virtual qint64 bytesRead() const = 0;
    virtual QString errorString() const = 0;

    // Files and links made, relative to the staging directory, '/'-separated,
    // each once, in the input's order.
    virtual QStringList files() const = 0;
    // Directories made, parents before children.
    virtual QStringList directories() const = 0;
    // The unpacked size of what was made (UnpackedSize).
    virtual quint64 unpackedSize() const = 0;
};

} // namespace Updater
