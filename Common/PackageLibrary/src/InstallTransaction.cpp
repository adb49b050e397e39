#include "InstallTransaction.h"

#include "InstallLayout.h"
#include "PackagePath.h"
#include "Updater/PackagesInfo.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSet>
#include <QUrl>

#include <filesystem>
#include <system_error>
#include <utility>

namespace Updater {

namespace {

namespace fs = std::filesystem;

const QString journalName = QStringLiteral("journal");
const QString snapshotName = QStringLiteral("record.old");
const QString absentMarkerName = QStringLiteral("record.absent");
const QByteArray commitLine = QByteArrayLiteral("commit");

fs::path nativePath(const QString& path)
{
    return fs::u8path(path.toStdString());
}

enum class EntryKind { Missing, Directory, Other, Unknown };

// What is at path itself: a link counts as a file, whatever it points to.
EntryKind entryKind(const QString& path, QString* why = nullptr)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(nativePath(path), error);
    if (status.type() == fs::file_type::not_found)
        return EntryKind::Missing;
    if (error) {
        if (why)
            *why = QString::fromStdString(error.message());
        return EntryKind::Unknown;
    }
    return fs::is_directory(status) ? EntryKind::Directory : EntryKind::Other;
}

// Whether path holds nothing but directories, at any depth.
bool isEmptyTree(const QString& path)
{
    QDirIterator it(
        path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        if (entryKind(it.next()) != EntryKind::Directory)
            return false;
    }
    return true;
}

bool isLink(const QString& path)
{
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(nativePath(path), error));
}

bool isLinkToDirectory(const QString& path)
{
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(nativePath(path), error))
        && fs::is_directory(fs::status(nativePath(path), error));
}

bool moveEntry(const QString& from, const QString& to, QString* why)
{
    std::error_code error;
    fs::rename(nativePath(from), nativePath(to), error);
    if (error)
        *why = QString::fromStdString(error.message());
    return !error;
}

bool removeEntry(const QString& path, QString* why)
{
    std::error_code error;
    fs::remove(nativePath(path), error);
    if (error)
        *why = QString::fromStdString(error.message());
    return !error;
}

QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

QString recordPathIn(const QString& targetDirectory)
{
    return targetDirectory + QLatin1Char('/') + PackagesInfo::recordFileName();
}

// What a journal line says was done; Unknown for a line this version does not
// know, which a rollback leaves alone.
enum class JournalOperation { Unknown, MakeDirectory, RemoveDirectory, Add, Replace, Remove };

// The texts are on disk: a journal left by an earlier version must still read.
constexpr std::pair<JournalOperation, const char*> journalTexts[] = {
    { JournalOperation::MakeDirectory, "mkdir" },
    { JournalOperation::RemoveDirectory, "rmdir" },
    { JournalOperation::Add, "add" },
    { JournalOperation::Replace, "replace" },
    { JournalOperation::Remove, "remove" },
};

QByteArray journalText(JournalOperation operation)
{
    for (const auto& [known, text] : journalTexts) {
        if (known == operation)
            return QByteArray(text);
    }
    return QByteArray();
}

JournalOperation journalOperation(const QByteArray& text)
{
    for (const auto& [operation, known] : journalTexts) {
        if (text == known)
            return operation;
    }
    return JournalOperation::Unknown;
}

struct JournalEntry
{
    JournalOperation operation = JournalOperation::Unknown;
    int backup = -1;
    QString relative;

    QByteArray toLine() const
    {
        return journalText(operation) + ' ' + QByteArray::number(backup) + ' ' + QUrl::toPercentEncoding(relative)
            + '\n';
    }

    static JournalEntry fromLine(const QByteArray& line)
    {
        const QList<QByteArray> fields = line.split(' ');
        JournalEntry entry;
        entry.operation = journalOperation(fields.value(0));
        entry.backup = fields.value(1).toInt();
        entry.relative = QUrl::fromPercentEncoding(fields.value(2));
        return entry;
    }
};

// Undoes what the journal of workDirectory says was done to targetDirectory.
// Safe to repeat: each undo looks at what is really there first.
class Rollback
{
public:
    Rollback(const QString& targetDirectory, const QString& workDirectory)
        : target(targetDirectory)
        , work(workDirectory)
    {
    }

    bool run(QString* errorString)
    {
        QFile journal(work + QLatin1Char('/') + journalName);
        if (journal.exists()) {
            if (!journal.open(QIODevice::ReadOnly)) {
                *errorString = InstallTransaction::tr("cannot read %1: %2")
                                   .arg(native(journal.fileName()), journal.errorString());
                return false;
            }
            const QList<QByteArray> lines = journal.readAll().split('\n');
            journal.close();
            if (!lines.contains(commitLine)) {
                for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
                    if (!line->isEmpty())
                        undo(JournalEntry::fromLine(*line));
                }
                restoreRecord();
            }
        }
        if (!problems.isEmpty()) {
            *errorString = InstallTransaction::tr("could not restore everything in %1 (%2); what is left is kept in %3")
                               .arg(native(target), problems.join(QLatin1String("; ")), native(work));
            return false;
        }
        QDir(work).removeRecursively();
        return true;
    }

private:
    QString target;
    QString work;
    QStringList problems;

    QString targetPath(const QString& relative) const { return target + QLatin1Char('/') + relative; }
    QString backupPath(int backup) const { return work + QStringLiteral("/backup/") + QString::number(backup); }

    void undo(const JournalEntry& entry)
    {
        QString why;
        // Anyone who can write the target directory can write a journal: a
        // line naming a path outside it is none of ours.
        const QString relative = PackagePath::safeRelative(entry.relative, &why);
        if (relative.isEmpty())
            return;
        const QString path = targetPath(relative);
        switch (entry.operation) {
        case JournalOperation::MakeDirectory:
            QDir().rmdir(path); // only when empty: a user's file keeps it
            break;
        case JournalOperation::RemoveDirectory:
            if (entryKind(path) == EntryKind::Missing && !QDir().mkdir(path))
                problems.append(InstallTransaction::tr("cannot create the directory %1 again").arg(native(path)));
            break;
        case JournalOperation::Add:
            if (entryKind(path) == EntryKind::Other && !removeEntry(path, &why))
                problems.append(InstallTransaction::tr("cannot remove %1: %2").arg(native(path), why));
            break;
        case JournalOperation::Replace:
        case JournalOperation::Remove: {
            const QString backup = backupPath(entry.backup);
            if (entryKind(backup) == EntryKind::Missing)
                return; // the old file never left
            if (entryKind(path) == EntryKind::Other && !removeEntry(path, &why))
                problems.append(InstallTransaction::tr("cannot remove %1: %2").arg(native(path), why));
            else if (!moveEntry(backup, path, &why))
                problems.append(InstallTransaction::tr("cannot restore %1: %2").arg(native(path), why));
            break;
        }
        case JournalOperation::Unknown:
            break;
        }
    }

    void restoreRecord()
    {
        const QString recordPath = recordPathIn(target);
        if (QFile::exists(work + QLatin1Char('/') + absentMarkerName)) {
            if (QFile::exists(recordPath) && !QFile::remove(recordPath))
                problems.append(InstallTransaction::tr("cannot remove the new record %1").arg(native(recordPath)));
            return;
        }
        QFile snapshot(work + QLatin1Char('/') + snapshotName);
        if (!snapshot.open(QIODevice::ReadOnly))
            return; // taken before the first change, so nothing changed
        QSaveFile record(recordPath);
        if (!record.open(QIODevice::WriteOnly) || record.write(snapshot.readAll()) != snapshot.size()
            || !record.commit())
            problems.append(InstallTransaction::tr("cannot restore the record %1: %2")
                                .arg(native(recordPath), record.errorString()));
    }
};

} // namespace

class InstallTransactionPrivate
{
public:
    struct Step
    {
        enum Type { MakeDirectory, MoveIn, Remove } type;
        int package;
        QString relative;
    };

    QString target;
    QString work;
    QList<Step> steps;
    int done = 0;
    int backups = 0;
    bool created = false;
    bool finished = false;
    QFile journal;
    QStringList removed;
    // Comparison keys of the files the installed packages and this run's
    // packages have: a link among them is a package's, not the user's.
    QSet<QString> packageFiles;
    QString errorString;

    QString targetPath(const QString& relative) const { return target + QLatin1Char('/') + relative; }
    QString backupPath(int backup) const { return work + QStringLiteral("/backup/") + QString::number(backup); }
    QString stagedPath(const Step& step) const
    {
        return work + QStringLiteral("/staging/") + QString::number(step.package) + QLatin1Char('/') + step.relative;
    }

    bool write(const JournalEntry& entry);
    bool isPackageLink(const QString& relative) const;
    QString packageLinkAbove(const QString& relative) const;
    bool refuseThroughLink(const Step& step);
    bool makeDirectory(const Step& step);
    bool moveIn(const Step& step);
    bool removeEmptyTree(const QString& relative);
    bool remove(const Step& step);
    void removeEmptiedDirectories();
    bool failWith(const QString& text)
    {
        errorString = text;
        return false;
    }
};

InstallTransaction::InstallTransaction(const QString& targetDirectory)
    : d(std::make_unique<InstallTransactionPrivate>())
{
    d->target = QDir::cleanPath(targetDirectory);
}

InstallTransaction::~InstallTransaction()
{
    if (d->created && !d->finished)
        rollBack();
}

bool InstallTransaction::create()
{
    QDir target(d->target);
    for (int attempt = 0; attempt < 16 && !d->created; ++attempt) {
        const QString name
            = InstallLayout::workDirectoryPrefix() + QString::number(QRandomGenerator::global()->generate(), 36);
        if (!target.exists(name) && target.mkdir(name)) {
            d->work = target.filePath(name);
            d->created
                = QDir(d->work).mkpath(QStringLiteral("staging")) && QDir(d->work).mkpath(QStringLiteral("backup"));
        }
    }
    if (!d->created)
        return d->failWith(InstallTransaction::tr("cannot create a work directory in %1").arg(native(d->target)));
    return true;
}

QString InstallTransaction::stagingDirectory(int package) const
{
    return d->work + QStringLiteral("/staging/") + QString::number(package);
}

QString InstallTransaction::downloadPath(int package) const
{
    return d->work + QStringLiteral("/download-") + QString::number(package);
}

void InstallTransaction::addPackage(
    int package, const QStringList& directories, const QStringList& files, const QStringList& obsoleteFiles)
{
    using Step = InstallTransactionPrivate::Step;
    // Obsolete files go first: where the old version had a file or a link the
    // new one may have a directory, and a link left standing there would take
    // the new files elsewhere.
    for (const QString& file : files)
        d->packageFiles.insert(PackagePath::comparisonKey(file));
    for (const QString& file : obsoleteFiles)
        d->steps.append({ Step::Remove, package, file });
    for (const QString& directory : directories)
        d->steps.append({ Step::MakeDirectory, package, directory });
    for (const QString& file : files)
        d->steps.append({ Step::MoveIn, package, file });
}

void InstallTransaction::addRecordedFiles(const QStringList& files)
{
    for (const QString& file : files)
        d->packageFiles.insert(PackagePath::comparisonKey(file));
}

bool InstallTransaction::saveRecordSnapshot(const QString& recordPath)
{
    QFile record(recordPath);
    const QString snapshotPath = d->work + QLatin1Char('/') + snapshotName;
    if (!record.exists()) {
        QFile marker(d->work + QLatin1Char('/') + absentMarkerName);
        if (!marker.open(QIODevice::WriteOnly))
            return d->failWith(
                InstallTransaction::tr("cannot write %1: %2").arg(native(marker.fileName()), marker.errorString()));
    } else {
        QSaveFile snapshot(snapshotPath);
        if (!record.open(QIODevice::ReadOnly) || !snapshot.open(QIODevice::WriteOnly)
            || snapshot.write(record.readAll()) != record.size() || !snapshot.commit())
            return d->failWith(
                InstallTransaction::tr("cannot keep a copy of the record %1: %2")
                    .arg(native(recordPath), record.error() ? record.errorString() : snapshot.errorString()));
    }
    d->journal.setFileName(d->work + QLatin1Char('/') + journalName);
    if (!d->journal.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return d->failWith(
            InstallTransaction::tr("cannot write %1: %2").arg(native(d->journal.fileName()), d->journal.errorString()));
    return true;
}

int InstallTransaction::stepCount() const
{
    return d->steps.size();
}

int InstallTransaction::stepsDone() const
{
    return d->done;
}

bool InstallTransaction::atEnd() const
{
    return d->done >= d->steps.size();
}

int InstallTransaction::currentPackage() const
{
    return atEnd() ? -1 : d->steps.at(d->done).package;
}

bool InstallTransaction::doNextStep()
{
    if (atEnd())
        return true;
    if (!d->journal.isOpen())
        return d->failWith(InstallTransaction::tr("the record was not saved before the install began"));
    const InstallTransactionPrivate::Step& step = d->steps.at(d->done);
    bool ok = false;
    switch (step.type) {
    case InstallTransactionPrivate::Step::MakeDirectory:
        ok = d->makeDirectory(step);
        break;
    case InstallTransactionPrivate::Step::MoveIn:
        ok = d->moveIn(step);
        break;
    case InstallTransactionPrivate::Step::Remove:
        ok = d->remove(step);
        break;
    }
    if (ok)
        ++d->done;
    return ok;
}

bool InstallTransaction::commit()
{
    if (!d->journal.isOpen() || d->journal.write(commitLine + '\n') != commitLine.size() + 1)
        return d->failWith(
            InstallTransaction::tr("cannot write %1: %2").arg(native(d->journal.fileName()), d->journal.errorString()));
    d->journal.close();
    d->finished = true;
    d->removeEmptiedDirectories();
    // A work directory that will not go is cleared by the next run's recover().
    QDir(d->work).removeRecursively();
    return true;
}

bool InstallTransaction::rollBack()
{
    if (!d->created || d->finished)
        return true;
    d->journal.close();
    d->finished = true;
    Rollback rollback(d->target, d->work);
    QString error;
    if (!rollback.run(&error))
        return d->failWith(error);
    return true;
}

QString InstallTransaction::errorString() const
{
    return d->errorString;
}

bool InstallTransaction::recover(const QString& targetDirectory, QString* errorString, bool* foundLeftovers)
{
    const QDir target(targetDirectory);
    const QStringList leftovers = target.entryList({ InstallLayout::workDirectoryPrefix() + QLatin1Char('*') },
        QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks); // a link leads to someone else's files
    if (foundLeftovers)
        *foundLeftovers = !leftovers.isEmpty();
    QStringList problems;
    for (const QString& name : leftovers) {
        Rollback rollback(target.absolutePath(), target.filePath(name));
        QString error;
        if (!rollback.run(&error))
            problems.append(error);
    }
    if (!problems.isEmpty())
        *errorString = problems.join(QLatin1String("; "));
    return problems.isEmpty();
}

bool InstallTransactionPrivate::write(const JournalEntry& entry)
{
    const QByteArray line = entry.toLine();
    if (journal.write(line) != line.size())
        return failWith(
            InstallTransaction::tr("cannot write %1: %2").arg(native(journal.fileName()), journal.errorString()));
    return true;
}

bool InstallTransactionPrivate::isPackageLink(const QString& relative) const
{
    return packageFiles.contains(PackagePath::comparisonKey(relative)) && isLink(targetPath(relative));
}

// Each parent is looked at as it really is on disk, from the top: up to the
// first link, the name is where the entry is, so a package's link is known by
// its name whatever other link might alias it.
QString InstallTransactionPrivate::packageLinkAbove(const QString& relative) const
{
    for (const QString& parent : PackagePath::parentsOf(relative)) {
        if (isPackageLink(parent))
            return parent;
    }
    return QString();
}

// A link a package installed leads where that package chose; an install that
// went through it could write anywhere the link (or one below it) points.
bool InstallTransactionPrivate::refuseThroughLink(const Step& step)
{
    const QString link = packageLinkAbove(step.relative);
    if (link.isEmpty())
        return false;
    failWith(InstallTransaction::tr("cannot install %1: it lies below the link %2, which a package installed")
                 .arg(native(targetPath(step.relative)), native(targetPath(link))));
    return true;
}

bool InstallTransactionPrivate::makeDirectory(const Step& step)
{
    if (refuseThroughLink(step))
        return false;
    const QString path = targetPath(step.relative);
    QString why;
    switch (entryKind(path, &why)) {
    case EntryKind::Directory:
        return true;
    case EntryKind::Other:
        if (isPackageLink(step.relative))
            return failWith(
                InstallTransaction::tr("cannot create the directory %1: it is a link, which a package installed")
                    .arg(native(path)));
        // A link to a directory is a directory the user moved elsewhere.
        if (isLinkToDirectory(path))
            return true;
        return failWith(InstallTransaction::tr("cannot create the directory %1: a file of that name is in the way")
                            .arg(native(path)));
    case EntryKind::Unknown:
        return failWith(InstallTransaction::tr("cannot create the directory %1: %2").arg(native(path), why));
    case EntryKind::Missing:
        break;
    }
    if (!write({ JournalOperation::MakeDirectory, -1, step.relative }))
        return false;
    if (!QDir().mkdir(path))
        return failWith(InstallTransaction::tr("cannot create the directory %1").arg(native(path)));
    return true;
}

bool InstallTransactionPrivate::moveIn(const Step& step)
{
    if (refuseThroughLink(step))
        return false;
    const QString path = targetPath(step.relative);
    QString why;
    switch (entryKind(path, &why)) {
    case EntryKind::Directory:
        // Where the old version had files in a directory and the new one has
        // a file, removing the old files left only empty directories.
        if (!isEmptyTree(path))
            return failWith(
                InstallTransaction::tr("cannot replace %1: a directory of that name is in the way").arg(native(path)));
        if (!removeEmptyTree(step.relative) || !write({ JournalOperation::Add, -1, step.relative }))
            return false;
        break;
    case EntryKind::Unknown:
        return failWith(InstallTransaction::tr("cannot replace %1: %2").arg(native(path), why));
    case EntryKind::Other: {
        const int backup = backups++;
        if (!write({ JournalOperation::Replace, backup, step.relative }))
            return false;
        if (!moveEntry(path, backupPath(backup), &why))
            return failWith(InstallTransaction::tr("cannot replace %1: %2").arg(native(path), why));
        break;
    }
    case EntryKind::Missing:
        if (!write({ JournalOperation::Add, -1, step.relative }))
            return false;
        break;
    }
    if (!moveEntry(stagedPath(step), path, &why))
        return failWith(InstallTransaction::tr("cannot install %1: %2").arg(native(path), why));
    return true;
}

// Children first, each removal in the journal, so a rollback makes them again.
bool InstallTransactionPrivate::removeEmptyTree(const QString& relative)
{
    const QString path = targetPath(relative);
    for (const QString& child : QDir(path).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (!removeEmptyTree(relative + QLatin1Char('/') + child))
            return false;
    }
    if (!write({ JournalOperation::RemoveDirectory, -1, relative }))
        return false;
    if (!QDir().rmdir(path))
        return failWith(InstallTransaction::tr("cannot remove the empty directory %1").arg(native(path)));
    return true;
}

bool InstallTransactionPrivate::remove(const Step& step)
{
    if (refuseThroughLink(step))
        return false;
    const QString path = targetPath(step.relative);
    QString why;
    // A directory was never a file of the package; leave it alone.
    if (entryKind(path, &why) != EntryKind::Other)
        return true;
    const int backup = backups++;
    if (!write({ JournalOperation::Remove, backup, step.relative }))
        return false;
    if (!moveEntry(path, backupPath(backup), &why))
        return failWith(InstallTransaction::tr("cannot remove %1: %2").arg(native(path), why));
    removed.append(step.relative);
    return true;
}

void InstallTransactionPrivate::removeEmptiedDirectories()
{
    // A directory that an installed package has stays, even empty.
    QSet<QString> installed;
    for (const Step& step : qAsConst(steps)) {
        if (step.type == Step::MakeDirectory)
            installed.insert(step.relative);
    }
    QDir root(target);
    for (const QString& file : qAsConst(removed)) {
        QString parent = file.section(QLatin1Char('/'), 0, -2);
        while (!parent.isEmpty() && !installed.contains(parent) && root.rmdir(parent))
            parent = parent.section(QLatin1Char('/'), 0, -2);
    }
}

} // namespace Updater
