#pragma once

#include "ArchiveWriter.h"

#include <QString>
#include <QStringList>
#include <QTextStream>

namespace Updater {
class RepositoryIndex;
struct IndexDelta;
struct IndexEntry;
} // namespace Updater

namespace Vondra {

// The commands of tavrepo. Each returns the process exit status: 0 done,
// 1 failed (or, for verify, a mismatch found), 2 bad input.
class RepositoryTool
{
public:
    enum Status { Success = 0, Failure = 1, BadInput = 2 };

    struct AddOptions
    {
        QString platform;
        // Every key signs; the first one also in the field older updaters read.
        QStringList keyFiles;
        QString title;
        QString description;
        // Versions to write deltas from, besides the newest older one.
        QStringList deltaFrom;
        // The index expires this many days from now; 0: it never does.
        int expiresInDays = 0;
        // "tar.zst" or "tar.gz"; empty gives tar.zst.
        QString format;
        // The compression level; 0 gives the format's default.
        int level = 0;
    };

    RepositoryTool(QTextStream& out, QTextStream& err);

    int keygen(const QString& keyFile);
    int add(const QString& repository, const QString& name, const QString& version, const QString& directory,
        const AddOptions& options);
    // Signs every index of the repository anew with each key given, after
    // checking that one of them signed it; the payload stays byte for byte
    // unless expiresInDays is given, which sets only its expiry.
    int resign(const QString& repository, const QStringList& keyFiles, int expiresInDays);
    int verify(const QString& repository, const QString& name, const QString& publicKeyFile);
    int list(const QString& repository, const QString& name);
    // Records files already in directory (paths relative to it) as the
    // installed package name at version, and the directory as the target
    // name + major version, as TavUpdate registers a target: an installer's
    // way to tell the first update check what it installed.
    int record(const QString& directory, const QString& name, const QString& version, const QStringList& files);

private:
    int fail(Status status, const QString& text);
    bool addDeltas(const Updater::RepositoryIndex& index, Updater::IndexEntry* entry, const QString& packageDirectory,
        const QStringList& requested, QString* error);
    QString deltaProblem(const Updater::RepositoryIndex& index, const Updater::IndexEntry& entry,
        const Updater::IndexDelta& delta, const QString& packageDirectory);

    QTextStream& out;
    QTextStream& err;
};

} // namespace Vondra
