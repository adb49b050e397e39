#include "Updater/UpdateFinder.h"

#include "IndexSignatures.h"
#include "KeyFile.h"
#include "Limits.h"
#include "RepositoryIndex.h"
#include "TargetTask.h"
#include "Transfer.h"
#include "Updater/PackagesInfo.h"
#include "Updater/Target.h"
#include "Updater/Update.h"
#include "Updater/UpdateSourcesInfo.h"
#include "Updater/Version.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QSysInfo>
#include <QtDebug>

#include <algorithm>
#include <vector>

namespace Updater {

namespace {

// An index counts as expired only this long after the moment it states, so
// that an agent whose clock runs a little ahead is not cut off.
constexpr qint64 expiryClockSkewSecs = 10 * 60;

bool hasExpired(const RepositoryIndex& index)
{
    return index.expires.isValid() && QDateTime::currentDateTimeUtc() > index.expires.addSecs(expiryClockSkewSecs);
}

struct FetchedIndex
{
    UpdateSourceInfo source;
    QUrl url;
    RepositoryIndex index;
};

} // namespace

class UpdateFinderPrivate
{
public:
    explicit UpdateFinderPrivate(UpdateFinder* q, Target* target)
        : q(q)
        , target(target)
        , targetTask(target)
    {
    }

    UpdateFinder* const q;
    Target* target;
    QString platformIdentifier = UpdateFinder::defaultPlatformIdentifier();
    int indexDeadline = Limits::indexDeadlineMsec();
    int indexHeaderTimeout = Limits::indexHeaderTimeoutMsec();
    std::vector<std::unique_ptr<Update>> updates;

    // One run's state.
    QList<QByteArray> trustedKeys;
    bool allowUnsigned = false;
    QString keyPath;
    QList<UpdateSourceInfo> sources;
    int current = 0;
    bool anyFailed = false;
    QList<FetchedIndex> fetched;
    TargetTask targetTask;
    Transfer transfer;
    QBuffer buffer;
    QByteArray data;

    bool loadTrustedKeys();
    void onTargetReady();
    void onTargetFailed(const QString& why);
    void fetchNext();
    void onIndexFetched(bool success);
    bool acceptIndex(const QUrl& url, RepositoryIndex* index);
    QString trustedKeysText() const;
    void collectUpdates();
    std::unique_ptr<Update> makeUpdate(
        const PackageInfo& installed, const FetchedIndex& from, const IndexEntry& entry) const;
    void sourceFailed(int code, const QString& text);
};

bool UpdateFinderPrivate::loadTrustedKeys()
{
    trustedKeys.clear();
    keyPath = KeyFile::trustedKeyPath();
    // No key file, or one that is there but unreadable, must not turn into
    // "accept anything": that would turn signature checks off exactly when
    // someone removed or damaged the key.
    QString reason;
    if (KeyFile::readTrustedKeys(keyPath, &trustedKeys, &allowUnsigned, &reason))
        return true;
    q->fail(Task::TrustError, UpdateFinder::tr("cannot check update signatures: %1").arg(reason));
    return false;
}

// What a killed install left is put back by now, so a tool is never started
// from, nor compared as, a mixed tree. Fetching needs no lock.
void UpdateFinderPrivate::onTargetReady()
{
    targetTask.release();
    fetchNext();
}

void UpdateFinderPrivate::onTargetFailed(const QString& why)
{
    q->fail(Task::FileSystemError,
        UpdateFinder::tr("cannot look for updates of %1 in %2: %3")
            .arg(target->name(), QDir::toNativeSeparators(target->directory()), why));
    q->finish(false);
}

void UpdateFinderPrivate::fetchNext()
{
    if (current >= sources.size()) {
        collectUpdates();
        q->finish(!anyFailed);
        return;
    }
    data.clear();
    buffer.close();
    buffer.setBuffer(&data);
    buffer.open(QIODevice::WriteOnly);
    transfer.setMaximumSize(RepositoryIndex::maximumFileSize());
    transfer.setDeadline(indexDeadline);
    transfer.setHeaderTimeout(indexHeaderTimeout);
    transfer.start(RepositoryIndex::indexUrl(sources.at(current).url), &buffer);
}

void UpdateFinderPrivate::onIndexFetched(bool success)
{
    if (q->wasStopped()) {
        q->fail(Task::CancelledError, UpdateFinder::tr("the search for updates was cancelled"));
        q->finish(false);
        return;
    }
    const QUrl url = transfer.url();
    RepositoryIndex index;
    if (!success)
        sourceFailed(Task::NetworkError, transfer.errorString());
    else if (acceptIndex(url, &index))
        fetched.append({ sources.at(current), url, index });
    ++current;
    fetchNext();
}

bool UpdateFinderPrivate::acceptIndex(const QUrl& url, RepositoryIndex* index)
{
    const QString where = url.toDisplayString();
    bool isSigned = false;
    QString reason;
    switch (RepositoryIndex::read(data, trustedKeys, index, &isSigned, &reason)) {
    case RepositoryIndex::ReadResult::TrustError:
        sourceFailed(Task::TrustError,
            UpdateFinder::tr("signature check failed for %1: %2 (trusted keys in %3: %4)")
                .arg(where, reason, QDir::toNativeSeparators(keyPath), trustedKeysText()));
        return false;
    case RepositoryIndex::ReadResult::FormatError:
        sourceFailed(Task::FormatError, UpdateFinder::tr("the update index %1 is unusable: %2").arg(where, reason));
        return false;
    case RepositoryIndex::ReadResult::Ok:
        break;
    }
    // A correctly signed index of another program, or of none, must not install
    // into this one.
    if (index->target.compare(target->name(), Qt::CaseInsensitive) != 0) {
        sourceFailed(Task::TrustError,
            UpdateFinder::tr("the update index %1 is for \"%2\", not for \"%3\"")
                .arg(where, index->target, target->name()));
        return false;
    }
    // Past its date, a validly signed index may be one replayed to hide newer releases.
    if (hasExpired(*index)) {
        sourceFailed(Task::TrustError,
            UpdateFinder::tr("the index %1 expired on %2").arg(where, RepositoryIndex::timeText(index->expires)));
        return false;
    }
    if (allowUnsigned)
        qWarning("Accepting the update index %s without a signature check: the key file %s allows unsigned indexes",
            qPrintable(where), qPrintable(QDir::toNativeSeparators(keyPath)));
    return true;
}

QString UpdateFinderPrivate::trustedKeysText() const
{
    QStringList keys;
    for (const QByteArray& key : trustedKeys)
        keys.append(IndexSignatures::keyText(key));
    return keys.join(QStringLiteral(", "));
}

void UpdateFinderPrivate::sourceFailed(int code, const QString& text)
{
    anyFailed = true;
    q->fail(code, text);
}

void UpdateFinderPrivate::collectUpdates()
{
    for (const PackageInfo& installed : target->packagesInfo()->packageInfos()) {
        const FetchedIndex* bestIndex = nullptr;
        const IndexEntry* best = nullptr;
        // Sources come in priority order; a later one wins only with a newer version.
        for (const FetchedIndex& from : fetched) {
            const IndexEntry* entry = from.index.newestFor(
                installed.name(), platformIdentifier, best ? best->version : installed.version());
            if (entry) {
                best = entry;
                bestIndex = &from;
            }
        }
        if (best)
            updates.push_back(makeUpdate(installed, *bestIndex, *best));
    }
    std::stable_sort(updates.begin(), updates.end(), [](const auto& a, const auto& b) {
        const int order = a->packageName.compare(b->packageName, Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a->packageName < b->packageName;
    });
}

std::unique_ptr<Update> UpdateFinderPrivate::makeUpdate(
    const PackageInfo& installed, const FetchedIndex& from, const IndexEntry& entry) const
{
    auto update = std::make_unique<Update>();
    update->packageName = installed.name();
    update->title = entry.title.isEmpty() ? installed.name() : entry.title;
    update->description = entry.description;
    update->version = entry.version;
    update->installedVersion = installed.version();
    update->platform = entry.platform;
    update->archiveUrl = from.url.resolved(QUrl(entry.archive, QUrl::StrictMode));
    update->archiveSize = entry.size;
    update->sha256 = entry.sha256;
    update->unpackedSize = entry.unpackedSize;
    update->sourceName = from.source.name;
    for (const IndexDelta& delta : entry.deltas) {
        if (Version::compare(delta.fromVersion, installed.version()) == 0) {
            update->deltaFromVersion = delta.fromVersion;
            update->deltaUrl = from.url.resolved(QUrl(delta.archive, QUrl::StrictMode));
            update->deltaSize = delta.size;
            update->deltaSha256 = delta.sha256;
            update->deltaUnpackedSize = qint64(delta.unpackedSize);
            break;
        }
    }
    return update;
}

UpdateFinder::UpdateFinder(Target* target, QObject* parent)
    : Task(parent)
    , d(std::make_unique<UpdateFinderPrivate>(this, target))
{
    connect(&d->transfer, &Transfer::finished, this, [this](bool success) { d->onIndexFetched(success); });
    connect(&d->targetTask, &TargetTask::ready, this, [this] { d->onTargetReady(); });
    connect(&d->targetTask, &TargetTask::failed, this, [this](const QString& why) { d->onTargetFailed(why); });
}

UpdateFinder::~UpdateFinder() = default;

QString UpdateFinder::defaultPlatformIdentifier()
{
    const QString kernel = QSysInfo::kernelType();
    if (kernel == QLatin1String("winnt"))
        return QStringLiteral("Windows");
    if (kernel == QLatin1String("darwin"))
        return QStringLiteral("MacOS");
    if (kernel == QLatin1String("linux"))
        return QStringLiteral("Linux");
    return kernel.left(1).toUpper() + kernel.mid(1);
}

QString UpdateFinder::platformIdentifier() const
{
    return d->platformIdentifier;
}

void UpdateFinder::setPlatformIdentifier(const QString& id)
{
    d->platformIdentifier = id;
}

void UpdateFinder::setIndexDeadline(int msec)
{
    d->indexDeadline = msec;
}

int UpdateFinder::indexDeadline() const
{
    return d->indexDeadline;
}

void UpdateFinder::setIndexHeaderTimeout(int msec)
{
    d->indexHeaderTimeout = msec;
}

int UpdateFinder::indexHeaderTimeout() const
{
    return d->indexHeaderTimeout;
}

int UpdateFinder::lockWaitTimeout() const
{
    return d->targetTask.lockWaitTimeout();
}

void UpdateFinder::setLockWaitTimeout(int msec)
{
    d->targetTask.setLockWaitTimeout(msec);
}

QList<Update*> UpdateFinder::updates() const
{
    QList<Update*> list;
    for (const auto& update : d->updates)
        list.append(update.get());
    return list;
}

void UpdateFinder::start()
{
    d->updates.clear();
    d->fetched.clear();
    d->anyFailed = false;
    d->current = 0;
    if (!d->target) {
        fail(InternalError, tr("no target to find updates for"));
        finish(false);
        return;
    }
    if (!d->loadTrustedKeys()) {
        finish(false);
        return;
    }
    d->sources = d->target->updateSourcesInfo()->updateSourceInfos();
    // A target without a directory has no record, so nothing to put back.
    if (d->target->directory().isEmpty())
        d->fetchNext();
    else
        d->targetTask.begin();
}

void UpdateFinder::abort()
{
    if (d->transfer.isRunning()) {
        d->transfer.abort();
        return;
    }
    d->targetTask.cancel();
    fail(CancelledError, tr("the search for updates was cancelled"));
    finish(false);
}

} // namespace Updater
