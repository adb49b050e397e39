#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

namespace Updater {

// The rules for the names a package brings into a target directory, shared by
// the extractor (archive entries), the installer (the record's file lists) and
// the rollback (journal lines): whatever one of them accepts, all accept.
//
// Packages are made for Windows too, so a name is judged as Windows would
// read it, on every system: a repository then installs the same everywhere.
class PackagePath
{
    Q_DECLARE_TR_FUNCTIONS(PackagePath)

public:
    // The entry name as a clean relative path ("./a//b" gives "a/b"; the root
    // itself gives an empty string), or a null string and the reason in *why
    // when the name is absolute, climbs with "..", holds a name Windows would
    // trim or take for a device, or is reserved for the library's own files.
    static QString safeRelative(const QString& entryName, QString* why);

    // Whether a link stored at linkPath (a safe relative path) pointing to
    // target can only ever resolve inside the root it is unpacked to: the
    // target is relative and its ".." parts, all leading, climb no higher than
    // the link's own directory. Links resolved through other such links stay
    // inside too, so the order of entries does not matter.
    static bool isContainedLinkTarget(const QString& linkPath, const QString& target);

    // The directories above a relative path, from the top: "a/b/c" gives
    // "a" and "a/b".
    static QStringList parentsOf(const QString& relative);

    // Names are compared as a file system that ignores case compares them:
    // two paths with the same key are one file on Windows.
    static QString comparisonKey(const QString& relative);

private:
    static QString whyRefused(const QString& part);
};

} // namespace Updater
