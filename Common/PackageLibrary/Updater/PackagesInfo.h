#pragma once

#include "PackageInfo.h"
#include "TavUpdaterGlobal.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace Updater {

class PackagesInfoPrivate;

// The package record of one target directory ("Packages.xml"). Reading is
// safe from any number of threads and processes at once: every write replaces
// the whole file atomically, so a reader sees the old record or the new one.
// A missing file is an empty record; a damaged one reads as empty and sets
// errorString().
class TAVUPDATER_EXPORT PackagesInfo
{
public:
    PackagesInfo();
    ~PackagesInfo();
    PackagesInfo(const PackagesInfo&) = delete;
    PackagesInfo& operator=(const PackagesInfo&) = delete;

    static QString recordFileName() { return QStringLiteral("Packages.xml"); }

    // Points the record at a directory and reads it from there.
    void setDirectory(const QString& directory);
    QString directory() const;
    QString fileName() const;
    // Re-reads the file; false (and errorString()) when it exists but is damaged.
    bool reload();
    // Writes the record now; false (and errorString()) when it cannot be written.
    bool save();
    QString errorString() const;

    QString targetName() const;
    void setTargetName(const QString& name);
    QString targetVersion() const;
    void setTargetVersion(const QString& version);

    int packageInfoCount() const;
    // Index of the package named exactly so, or -1.
    int findPackageInfo(const QString& name) const;
    // The package at index; an empty PackageInfo for an index out of range.
    PackageInfo packageInfo(int index) const;
    QList<PackageInfo> packageInfos() const;

    // Records a package (replacing one of the same name) and saves the record.
    // A package that was installed before keeps its install date; the
    // last-update date becomes today.
    bool installPackage(const QString& name, const QString& version, const QString& title, const QString& description,
        const QStringList& files, quint64 size);
    bool removePackage(const QString& name);

private:
    friend class Target;
    std::unique_ptr<PackagesInfoPrivate> d;
};

} // namespace Updater
