#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <memory>

namespace Updater {

class InstallTransactionPrivate;

// Swaps staged packages into a target directory so that the whole set can be
// undone: every file that is replaced or removed is first moved (renamed, on
// the same file system) into a backup area of the work directory, and each
// move is written to a journal before it happens. rollBack() replays the
// journal backwards and restores the record's old bytes; a process that dies
// half-way leaves the journal behind, and recover() undoes it on the next run.
//
// Layout of the work directory "<target>/.tavupdater-XXXXXX":
//   download-<n>    archives as they arrive
//   staging/<n>/    unpacked packages
//   backup/<n>      files moved out of the target directory
//   record.old      the record as it was (or record.absent when it had none)
//   journal         one line per change, then "commit"
class InstallTransaction
{
    Q_DECLARE_TR_FUNCTIONS(InstallTransaction)

public:
    explicit InstallTransaction(const QString& targetDirectory);
    // Rolls back what is not committed.
    ~InstallTransaction();
    InstallTransaction(const InstallTransaction&) = delete;
    InstallTransaction& operator=(const InstallTransaction&) = delete;

    // Creates the work directory.
    bool create();
    QString stagingDirectory(int package) const;
    QString downloadPath(int package) const;

    // Plans the swap of one staged package: the removal of the files its
    // previous version had and it has not, then its directories, then its files.
    void addPackage(
        int package, const QStringList& directories, const QStringList& files, const QStringList& obsoleteFiles);

    // The files the record lists for the installed packages. No step goes
    // through a link among them or among the planned packages' files; a link
    // the user put in place of a directory is gone through.
    void addRecordedFiles(const QStringList& files);

    // Keeps the record's current bytes for a rollback; call before the first step.
    bool saveRecordSnapshot(const QString& recordPath);
    int stepCount() const;
    int stepsDone() const;
    bool atEnd() const;
    // The package the next step belongs to, -1 at the end.
    int currentPackage() const;
    // Does the next planned change; false (and errorString()) when it fails.
    bool doNextStep();

    // Marks the transaction done and removes the work directory.
    bool commit();
    // Undoes every change made and restores the record. On success the work
    // directory is gone; else it is kept for recover() to try again.
    bool rollBack();
    QString errorString() const;

    // Rolls back or clears the work directories that earlier runs left in
    // targetDirectory. Only safe while no other install of that directory runs.
    static bool recover(const QString& targetDirectory, QString* errorString, bool* foundLeftovers = nullptr);

private:
    std::unique_ptr<InstallTransactionPrivate> d;
};

} // namespace Updater
