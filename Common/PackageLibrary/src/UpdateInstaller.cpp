#include "Updater/UpdateInstaller.h"

#include "ArchiveExtractor.h"
#include "DeltaRebuilder.h"
#include "HashingFile.h"
#include "InstallLayout.h"
#include "InstallTransaction.h"
#include "Limits.h"
#include "PackagePath.h"
#include "PrintableText.h"
#include "TargetTask.h"
#include "Transfer.h"
#include "Updater/PackagesInfo.h"
#include "Updater/Target.h"
#include "Updater/Update.h"
#include "Updater/Version.h"

#include <QDir>
#include <QElapsedTimer>
#include <QPointer>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <memory>

namespace Updater {

namespace {

// Longest stretch the swap keeps the event loop waiting, so the GUI stays live.
constexpr int swapSliceMsec = 20;
constexpr int unpackPollMsec = 100;
// Shares of the progress bar: downloading and unpacking (by archive bytes), then the swap.
constexpr double transferShare = 90.0;
constexpr double swapShare = 10.0;

QString packageLabel(const Update* update)
{
    const QString name = update->title.isEmpty() ? update->packageName : update->title;
    return QStringLiteral("%1 %2").arg(name, update->version);
}

// What one update downloads: its delta or its archive.
struct Download
{
    QUrl url;
    quint64 size = 0;
    QByteArray sha256;
};

} // namespace

class UpdateInstallerPrivate
{
public:
    struct Staged
    {
        QStringList files;
        QStringList directories;
        quint64 size = 0;
    };

    UpdateInstallerPrivate(UpdateInstaller* q, Target* target)
        : q(q)
        , target(target)
        , targetTask(target)
    {
    }

    UpdateInstaller* const q;
    Target* target;
    QList<Update*> updates;
    qint64 unpackedSizeCap = Limits::unpackedSizeCap();

    TargetTask targetTask;
    std::unique_ptr<InstallTransaction> transaction;
    Transfer transfer;
    std::unique_ptr<HashingFile> download;
    std::unique_ptr<PackageStager> extractor;
    std::unique_ptr<QThread> worker;
    bool unpacked = false;
    QTimer unpackPoll;
    QList<Staged> staged;

    int current = 0;
    // The current update comes through its delta; once that failed, through its archive.
    bool viaDelta = false;
    int lastSwapPackage = -1;
    qint64 totalBytes = 0;
    qint64 bytesDone = 0;
    qint64 currentBytes = 0;
    int lastProgress = -1;
    bool stopping = false;
    bool active = false;
    bool awaitingHash = false;
    bool recordChanged = false;

    QString targetDirectory() const { return QDir::cleanPath(target->directory()); }
    bool prepare();
    void onTargetReady();
    bool takesDelta(const Update* update) const;
    Download currentDownload() const;
    void startDownload(bool deltaAllowed = true);
    void fallBackToArchive(int code, const QString& why);
    void onDownloadFinished(bool success);
    void onHashed();
    bool verifyDownload();
    void startUnpack();
    std::unique_ptr<PackageStager> makeStager(const QString& staging) const;
    void onUnpacked();
    QString tooLargeText(const Update* update) const;
    void startSwap();
    void swapSlice();
    void writeRecord();
    QStringList obsoleteFiles(int index) const;
    void reportProgress();
    void announceSwappedPackage();
    void waitForWorker();
    void failRun(int code, const QString& text);
    void finishRun(bool success);
};

UpdateInstaller::UpdateInstaller(Target* target, QObject* parent)
    : Task(parent)
    , d(std::make_unique<UpdateInstallerPrivate>(this, target))
{
    connect(&d->transfer, &Transfer::finished, this, [this](bool success) { d->onDownloadFinished(success); });
    connect(&d->transfer, &Transfer::progress, this, [this](qint64 received) {
        d->currentBytes = received;
        d->reportProgress();
    });
    connect(&d->targetTask, &TargetTask::ready, this, [this] { d->onTargetReady(); });
    connect(&d->targetTask, &TargetTask::failed, this, [this](const QString& why) {
        d->failRun(
            FileSystemError, tr("cannot install into %1: %2").arg(QDir::toNativeSeparators(d->targetDirectory()), why));
    });
    d->unpackPoll.setInterval(unpackPollMsec);
    connect(&d->unpackPoll, &QTimer::timeout, this, [this] {
        d->currentBytes = d->extractor ? d->extractor->bytesRead() : 0;
        d->reportProgress();
    });
}

UpdateInstaller::~UpdateInstaller()
{
    d->waitForWorker();
}

int UpdateInstaller::lockWaitTimeout() const
{
    return d->targetTask.lockWaitTimeout();
}

void UpdateInstaller::setLockWaitTimeout(int msec)
{
    d->targetTask.setLockWaitTimeout(msec);
}

void UpdateInstaller::setUpdatesToInstall(const QList<Update*>& updates)
{
    d->updates = updates;
}

void UpdateInstaller::setUnpackedSizeCap(qint64 bytes)
{
    d->unpackedSizeCap = bytes;
}

qint64 UpdateInstaller::unpackedSizeCap() const
{
    return d->unpackedSizeCap;
}

void UpdateInstaller::start()
{
    d->stopping = false;
    d->active = true;
    d->awaitingHash = false;
    d->recordChanged = false;
    d->current = 0;
    d->lastSwapPackage = -1;
    d->bytesDone = 0;
    d->currentBytes = 0;
    d->lastProgress = -1;
    d->staged.clear();
    d->totalBytes = 0;
    for (const Update* update : qAsConst(d->updates))
        d->totalBytes += qint64(d->takesDelta(update) ? update->deltaSize : update->archiveSize);

    if (!d->prepare())
        return;
    d->targetTask.begin();
}

void UpdateInstaller::abort()
{
    d->stopping = true;
    if (d->targetTask.isWaiting()) {
        d->targetTask.cancel();
        d->failRun(Task::CancelledError, tr("the install was cancelled"));
    }
    if (d->transfer.isRunning())
        d->transfer.abort(); // finishes the run through onDownloadFinished
    if (d->extractor)
        d->extractor->cancel(); // onUnpacked notices
    if (d->awaitingHash)
        d->failRun(Task::CancelledError, tr("the install was cancelled"));
    // The swap notices at its next step.
}

bool UpdateInstallerPrivate::prepare()
{
    const QString directory = targetDirectory();
    if (target->directory().isEmpty()) {
        failRun(Task::InternalError,
            UpdateInstaller::tr("the target %1 has no directory to install into").arg(target->name()));
        return false;
    }
    if (!QDir().mkpath(directory)) {
        failRun(Task::FileSystemError,
            UpdateInstaller::tr("cannot create the directory %1").arg(QDir::toNativeSeparators(directory)));
        return false;
    }
    return true;
}

// Two installs into one directory would undo each other's work; the lock is
// held until the run ends.
void UpdateInstallerPrivate::onTargetReady()
{
    transaction = std::make_unique<InstallTransaction>(targetDirectory());
    if (!transaction->create()) {
        failRun(Task::FileSystemError, transaction->errorString());
        return;
    }
    reportProgress();
    if (updates.isEmpty())
        startSwap();
    else
        startDownload();
}

// A delta leads from one version only: the one the record holds now.
bool UpdateInstallerPrivate::takesDelta(const Update* update) const
{
    if (update->deltaUrl.isEmpty())
        return false;
    const PackagesInfo* record = target->packagesInfo();
    const int installed = record->findPackageInfo(update->packageName);
    return installed >= 0 && Version::compare(record->packageInfo(installed).version(), update->deltaFromVersion) == 0;
}

Download UpdateInstallerPrivate::currentDownload() const
{
    const Update* update = updates.at(current);
    if (viaDelta)
        return { update->deltaUrl, update->deltaSize, update->deltaSha256 };
    return { update->archiveUrl, update->archiveSize, update->sha256 };
}

void UpdateInstallerPrivate::startDownload(bool deltaAllowed)
{
    const Update* update = updates.at(current);
    viaDelta = deltaAllowed && takesDelta(update);
    const Download wanted = currentDownload();
    emit q->progressText(UpdateInstaller::tr("Downloading %1").arg(packageLabel(update)));
    currentBytes = 0;
    download = std::make_unique<HashingFile>(transaction->downloadPath(current));
    QObject::connect(download.get(), &HashingFile::hashed, q, [this] { onHashed(); });
    if (!download->open(QIODevice::WriteOnly)) {
        failRun(Task::FileSystemError,
            UpdateInstaller::tr("cannot store the download of %1: %2")
                .arg(wanted.url.toDisplayString(), download->errorString()));
        return;
    }
    transfer.setMaximumSize(qint64(wanted.size));
    transfer.start(wanted.url, download.get());
}

// Whatever goes wrong with a delta before the swap, the archive still makes
// the same version: the run says why and goes on with it.
void UpdateInstallerPrivate::fallBackToArchive(int code, const QString& why)
{
    const Update* update = updates.at(current);
    emit q->error(code,
        printableText(UpdateInstaller::tr("cannot install %1 through its delta (%2); downloading the whole archive")
                          .arg(packageLabel(update), why)));
    if (download)
        download->discard();
    QFile::remove(transaction->downloadPath(current));
    QDir(transaction->stagingDirectory(current)).removeRecursively();
    totalBytes += qint64(update->archiveSize);
    currentBytes = 0;
    reportProgress();
    // From the event loop: this may run inside a signal of the download or
    // the transfer that the next download replaces.
    QTimer::singleShot(0, q, [this] {
        if (!active)
            return;
        if (stopping)
            failRun(Task::CancelledError, UpdateInstaller::tr("the install was cancelled"));
        else
            startDownload(false);
    });
}

void UpdateInstallerPrivate::onDownloadFinished(bool success)
{
    if (!active)
        return;
    download->close();
    const Update* update = updates.at(current);
    if (stopping) {
        failRun(Task::CancelledError, UpdateInstaller::tr("the install was cancelled"));
        return;
    }
    if (download->hasFailed()) {
        failRun(Task::FileSystemError,
            UpdateInstaller::tr("cannot store the download of %1: %2")
                .arg(currentDownload().url.toDisplayString(), download->errorString()));
        return;
    }
    if (!success && viaDelta) {
        fallBackToArchive(Task::NetworkError, transfer.errorString());
        return;
    }
    if (!success) {
        // Also what a server sending more than the index declares gets: the
        // transfer stops it at the declared size.
        failRun(Task::NetworkError, transfer.errorString());
        return;
    }
    emit q->progressText(UpdateInstaller::tr("Verifying %1").arg(packageLabel(update)));
    awaitingHash = true;
    if (download->isHashed())
        onHashed();
}

void UpdateInstallerPrivate::onHashed()
{
    if (!active || !awaitingHash)
        return;
    awaitingHash = false;
    if (download->hasFailed()) {
        failRun(Task::FileSystemError,
            UpdateInstaller::tr("cannot check the download of %1: %2")
                .arg(currentDownload().url.toDisplayString(), download->errorString()));
        return;
    }
    if (!verifyDownload())
        return;
    bytesDone += qint64(currentDownload().size);
    currentBytes = 0;
    startUnpack();
}

bool UpdateInstallerPrivate::verifyDownload()
{
    const Download wanted = currentDownload();
    const QString url = wanted.url.toDisplayString();
    QString mismatch;
    const QByteArray actual = download->sha256();
    if (quint64(download->written()) != wanted.size)
        mismatch = UpdateInstaller::tr("checksum mismatch for %1: the index declares %2 bytes, %3 arrived")
                       .arg(url, QString::number(wanted.size), QString::number(download->written()));
    else if (actual != wanted.sha256)
        mismatch = UpdateInstaller::tr("checksum mismatch for %1: the index declares SHA-256 %2, the download has %3")
                       .arg(url, QString::fromLatin1(wanted.sha256.toHex()), QString::fromLatin1(actual.toHex()));
    if (mismatch.isEmpty())
        return true;
    if (viaDelta)
        fallBackToArchive(Task::IntegrityError, mismatch);
    else
        failRun(Task::IntegrityError, mismatch);
    return false;
}

void UpdateInstallerPrivate::startUnpack()
{
    const Update* update = updates.at(current);
    emit q->progressText(UpdateInstaller::tr("Unpacking %1").arg(packageLabel(update)));
    const QString staging = transaction->stagingDirectory(current);
    if (!QDir().mkpath(staging)) {
        failRun(Task::FileSystemError,
            UpdateInstaller::tr("cannot create the directory %1").arg(QDir::toNativeSeparators(staging)));
        return;
    }
    extractor = makeStager(staging);
    // Unpacking a large archive takes seconds; a worker keeps the GUI responsive
    // and the extractor checks for cancel() between blocks.
    unpacked = false;
    PackageStager* job = extractor.get();
    worker.reset(QThread::create([this, job] { unpacked = job->stage(); }));
    QObject::connect(worker.get(), &QThread::finished, q, [this] { onUnpacked(); });
    unpackPoll.start();
    worker->start();
}

std::unique_ptr<PackageStager> UpdateInstallerPrivate::makeStager(const QString& staging) const
{
    const Update* update = updates.at(current);
    const QString download = transaction->downloadPath(current);
    if (viaDelta) {
        const PackagesInfo* record = target->packagesInfo();
        auto rebuilder = std::make_unique<DeltaRebuilder>(download, targetDirectory(),
            record->packageInfo(record->findPackageInfo(update->packageName)).files(), staging,
            update->deltaUrl.toDisplayString());
        rebuilder->setVersions(update->deltaFromVersion, update->version);
        rebuilder->setMaximumUnpackedSize(quint64(update->deltaUnpackedSize));
        return rebuilder;
    }
    auto stager = std::make_unique<ArchiveExtractor>(download, staging, update->archiveUrl.toDisplayString());
    // A bomb (a small archive of a huge file of zeros, or of links to a
    // sparse one) stops at its limit instead of filling the disk.
    stager->setMaximumUnpackedSize(quint64(update->unpackedSize >= 0 ? update->unpackedSize : unpackedSizeCap));
    return stager;
}

void UpdateInstallerPrivate::onUnpacked()
{
    unpackPoll.stop();
    if (!active || !worker)
        return;
    worker->wait();
    worker.reset();
    QFile::remove(transaction->downloadPath(current));
    const std::unique_ptr<PackageStager> done = std::move(extractor);
    if (stopping) {
        failRun(Task::CancelledError, UpdateInstaller::tr("the install was cancelled"));
        return;
    }
    if (!unpacked && viaDelta) {
        fallBackToArchive(Task::FormatError, done->errorString());
        return;
    }
    if (!unpacked && done->failure() == PackageStager::TooLarge) {
        failRun(Task::IntegrityError, tooLargeText(updates.at(current)));
        return;
    }
    if (!unpacked) {
        const bool diskProblem = done->failure() == PackageStager::FileSystemFailure;
        failRun(diskProblem ? Task::FileSystemError : Task::FormatError, done->errorString());
        return;
    }
    staged.append({ done->files(), done->directories(), done->unpackedSize() });
    bytesDone += qint64(currentDownload().size);
    currentBytes = 0;
    reportProgress();
    if (++current < updates.size())
        startDownload();
    else
        startSwap();
}

QString UpdateInstallerPrivate::tooLargeText(const Update* update) const
{
    const QString url = update->archiveUrl.toDisplayString();
    if (update->unpackedSize >= 0)
        return UpdateInstaller::tr("cannot unpack %1: it unpacks to more than the %2 bytes its index states")
            .arg(url, QString::number(update->unpackedSize));
    return UpdateInstaller::tr(
        "cannot unpack %1: it unpacks to more than %2 bytes, the most allowed when the index does not state a size")
        .arg(url, QString::number(unpackedSizeCap));
}

void UpdateInstallerPrivate::startSwap()
{
    for (const PackageInfo& installed : target->packagesInfo()->packageInfos())
        transaction->addRecordedFiles(installed.files());
    for (int i = 0; i < staged.size(); ++i)
        transaction->addPackage(i, staged.at(i).directories, staged.at(i).files, obsoleteFiles(i));
    if (!transaction->saveRecordSnapshot(target->packagesInfo()->fileName())) {
        failRun(Task::FileSystemError, transaction->errorString());
        return;
    }
    QTimer::singleShot(0, q, [this] { swapSlice(); });
}

void UpdateInstallerPrivate::swapSlice()
{
    if (!active)
        return;
    QElapsedTimer slice;
    slice.start();
    while (!transaction->atEnd()) {
        if (stopping) {
            failRun(Task::CancelledError, UpdateInstaller::tr("the install was cancelled"));
            return;
        }
        if (slice.elapsed() >= swapSliceMsec) {
            QTimer::singleShot(0, q, [this] { swapSlice(); });
            return;
        }
        announceSwappedPackage();
        if (!transaction->doNextStep()) {
            failRun(Task::FileSystemError, transaction->errorString());
            return;
        }
        reportProgress();
    }
    writeRecord();
}

void UpdateInstallerPrivate::writeRecord()
{
    emit q->progressText(UpdateInstaller::tr("Recording the installed packages"));
    recordChanged = true;
    PackagesInfo* record = target->packagesInfo();
    for (int i = 0; i < updates.size(); ++i) {
        const Update* update = updates.at(i);
        const Staged& package = staged.at(i);
        if (!record->installPackage(update->packageName, update->version, update->title, update->description,
                package.files, package.size)) {
            failRun(Task::FileSystemError,
                UpdateInstaller::tr("cannot write the package record %1: %2")
                    .arg(QDir::toNativeSeparators(record->fileName()), record->errorString()));
            return;
        }
    }
    if (!transaction->commit()) {
        failRun(Task::FileSystemError, transaction->errorString());
        return;
    }
    finishRun(true);
}

// The files the package's installed version has and the new one has not,
// unless another package claims them.
QStringList UpdateInstallerPrivate::obsoleteFiles(int index) const
{
    const PackagesInfo* record = target->packagesInfo();
    const QString name = updates.at(index)->packageName;
    const int recorded = record->findPackageInfo(name);
    if (recorded < 0)
        return {};

    // A file of this run takes the old one's place only under the very same
    // name. One whose case changed ("tool.exe" becoming "Tool.exe") goes
    // first, as it would have to on a file system that ignores case anyway:
    // an old entry, a link above all, never stays under a name that only
    // case tells from a new one.
    QSet<QString> installed;
    for (int i = 0; i < staged.size(); ++i) {
        for (const QString& file : staged.at(i).files)
            installed.insert(file);
    }
    // Where the file system ignores case, "Tool.exe" of another package is the
    // "tool.exe" of this one.
    QSet<QString> claimedByOthers;
    for (const PackageInfo& other : record->packageInfos()) {
        if (other.name() == name)
            continue;
        for (const QString& file : other.files())
            claimedByOthers.insert(PackagePath::comparisonKey(file));
    }
    QStringList obsolete;
    for (const QString& file : record->packageInfo(recorded).files()) {
        // The record is a plain file anyone may edit: never let it name a path
        // outside the target directory.
        QString why;
        const QString safe = PackagePath::safeRelative(file, &why);
        if (!safe.isEmpty() && !installed.contains(safe) && !claimedByOthers.contains(PackagePath::comparisonKey(safe)))
            obsolete.append(safe);
    }
    return obsolete;
}

void UpdateInstallerPrivate::reportProgress()
{
    double value = transferShare;
    if (current < updates.size())
        value = totalBytes > 0 ? transferShare * double(bytesDone + currentBytes) / double(2 * totalBytes) : 0.0;
    else if (transaction && transaction->stepCount() > 0)
        value = transferShare + swapShare * transaction->stepsDone() / transaction->stepCount();
    const int percent = qBound(0, int(value), 100);
    // A fall-back to the archive adds its bytes to the total: the bar then
    // waits instead of going back.
    if (percent > lastProgress) {
        lastProgress = percent;
        emit q->progressValue(percent);
    }
}

void UpdateInstallerPrivate::announceSwappedPackage()
{
    const int package = transaction->currentPackage();
    if (package != lastSwapPackage && package >= 0 && package < updates.size()) {
        lastSwapPackage = package;
        emit q->progressText(UpdateInstaller::tr("Installing %1").arg(packageLabel(updates.at(package))));
    }
}

void UpdateInstallerPrivate::waitForWorker()
{
    if (!worker)
        return;
    if (extractor)
        extractor->cancel();
    worker->wait();
    worker.reset();
}

void UpdateInstallerPrivate::failRun(int code, const QString& text)
{
    if (!active)
        return;
    active = false; // what follows may emit signals that end up here again
    if (transfer.isRunning())
        transfer.abort();
    waitForWorker();
    extractor.reset();
    // Kept, not deleted: this may run inside one of its signals.
    if (download)
        download->discard();
    QString rollbackError;
    if (transaction && !transaction->rollBack())
        rollbackError = transaction->errorString();
    // The record object then forgets what it was told during this run, and
    // keeps whatever else its owner set in it.
    if (recordChanged)
        target->packagesInfo()->reload();
    q->fail(code, text);
    if (!rollbackError.isEmpty())
        q->fail(Task::FileSystemError, rollbackError);
    finishRun(false);
}

void UpdateInstallerPrivate::finishRun(bool success)
{
    active = false;
    if (download)
        download->discard();
    unpackPoll.stop();
    transaction.reset();
    targetTask.release();
    if (success) {
        lastProgress = -1;
        emit q->progressValue(100);
    }
    q->finish(success);
}

} // namespace Updater
