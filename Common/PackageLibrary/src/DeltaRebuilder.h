#pragma once

#include "PackageStager.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <memory>

namespace Updater {

class DeltaRebuilderPrivate;

// Makes a package's new version in an empty staging directory from a delta
// file (DeltaManifest) and the files of the installed older version. Every
// installed file the delta reuses or patches must be a regular file the
// installed package records, with the size (checked first) and SHA-256 the
// manifest states; the hashing runs on a second thread while the rebuild goes
// on, and stage() succeeds only when every one of them held. Entries pass the
// same rules as archive entries (PackagePath, PackageEntries, UnpackedSize),
// and every file made is checked against its stated size and SHA-256 while it
// is written: a payload that would make more than its stated size stops there.
class DeltaRebuilder : public PackageStager
{
    Q_DECLARE_TR_FUNCTIONS(DeltaRebuilder)

public:
    // installedFiles: what the record lists for the installed package,
    // relative to installedDirectory. displayName names the delta in texts.
    DeltaRebuilder(const QString& deltaPath, const QString& installedDirectory, const QStringList& installedFiles,
        const QString& stagingDirectory, const QString& displayName);
    ~DeltaRebuilder() override;
    DeltaRebuilder(const DeltaRebuilder&) = delete;
    DeltaRebuilder& operator=(const DeltaRebuilder&) = delete;

    // The versions the delta must lead from and to; not checked when empty.
    void setVersions(const QString& fromVersion, const QString& toVersion);
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
    std::unique_ptr<DeltaRebuilderPrivate> d;
};

} // namespace Updater
