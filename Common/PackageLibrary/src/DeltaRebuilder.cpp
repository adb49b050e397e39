#include "DeltaRebuilder.h"

#include "DeltaManifest.h"
#include "PackageEntries.h"
#include "PackagePath.h"
#include "UnpackedSize.h"
#include "Updater/Version.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>

#include <sodium.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace Updater {

namespace {

namespace fs = std::filesystem;

constexpr qint64 readBlockSize = 1024 * 1024;

fs::path nativePath(const QString& path)
{
    return fs::u8path(path.toStdString());
}

struct DCtxDeleter
{
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

struct Reference
{
    QString path;
    quint64 size = 0;
    QByteArray sha256;
    QByteArray actual;
    // Some entry takes the file as it is: only its own hash vouches for it.
    bool reused = false;
};

// SHA-256 as the download's is computed.
class Sha256
{
public:
    Sha256() { crypto_hash_sha256_init(&m_state); }
    void add(const char* data, size_t size)
    {
        crypto_hash_sha256_update(&m_state, reinterpret_cast<const unsigned char*>(data), size);
    }
    QByteArray result()
    {
        QByteArray digest(crypto_hash_sha256_BYTES, Qt::Uninitialized);
        crypto_hash_sha256_final(&m_state, reinterpret_cast<unsigned char*>(digest.data()));
        return digest;
    }

private:
    crypto_hash_sha256_state m_state;
};

QByteArray sha256Of(const QString& path, const std::atomic<bool>& cancelled)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    Sha256 hash;
    QByteArray block(int(readBlockSize), Qt::Uninitialized);
    qint64 count = 0;
    while (!cancelled && (count = file.read(block.data(), block.size())) > 0)
        hash.add(block.constData(), size_t(count));
    return count == 0 ? hash.result() : QByteArray();
}

} // namespace

class DeltaRebuilderPrivate
{
public:
    QString deltaPath;
    QString installed;
    QSet<QString> installedFiles;
    QString root;
    QString displayName;
    QString fromVersion;
    QString toVersion;
    quint64 maximumUnpackedSize = std::numeric_limits<quint64>::max();

    QFile delta;
    qint64 payloadStart = 0;
    std::atomic<bool> cancelled { false };
    std::atomic<qint64> bytesRead { 0 };
    DeltaRebuilder::Failure failure = DeltaRebuilder::NoFailure;
    QString errorString;
    PackageEntries entries;
    UnpackedSize unpackedSize;
    std::vector<Reference> references;
    std::atomic<size_t> nextReference { 0 };

    bool run();
    bool checkVersions(const DeltaManifest& manifest);
    bool listReferences(const DeltaManifest& manifest);
    void hashReferences();
    bool checkReferences();
    bool referenceDiffers(const QString& relative);
    QString whyNotInstalledFile(const QString& relative) const;
    bool makeEntry(const DeltaManifest::Entry& entry);
    bool makeDirectory(const QString& relative, const QString& name);
    bool makeParentsOf(const QString& relative, const QString& name);
    bool makeLink(const QString& relative, const DeltaManifest::Entry& entry);
    bool makeFile(const QString& relative, const DeltaManifest::Entry& entry);
    bool linkReused(const QString& relative, const DeltaManifest::Entry& entry);
    bool copyReused(QFile& out, const DeltaManifest::Entry& entry, Sha256& hash);
    bool decode(QFile& out, const DeltaManifest::Entry& entry, Sha256& hash);
    bool writeDecoded(
        QFile& out, const DeltaManifest::Entry& entry, Sha256& hash, const char* data, size_t size, quint64* written);
    bool refuse(
        const QString& name, const QString& reason, DeltaRebuilder::Failure kind = DeltaRebuilder::RefusedContent);
    bool failWith(const QString& text, DeltaRebuilder::Failure kind = DeltaRebuilder::FileSystemFailure);
    QString installedPath(const QString& relative) const { return installed + QLatin1Char('/') + relative; }
    // The installed file an entry builds on, named as listReferences() checked it.
    QString referencePath(const DeltaManifest::Entry& entry) const
    {
        QString why;
        return installedPath(PackagePath::safeRelative(entry.reference, &why));
    }
    QString stagedPath(const QString& relative) const { return root + QLatin1Char('/') + relative; }
};

DeltaRebuilder::DeltaRebuilder(const QString& deltaPath, const QString& installedDirectory,
    const QStringList& installedFiles, const QString& stagingDirectory, const QString& displayName)
    : d(std::make_unique<DeltaRebuilderPrivate>())
{
    d->deltaPath = deltaPath;
    d->installed = QDir::cleanPath(installedDirectory);
    // The record is a plain file anyone may edit: only names the package
    // rules accept can be a reference.
    for (const QString& file : installedFiles) {
        QString why;
        const QString safe = PackagePath::safeRelative(file, &why);
        if (!safe.isEmpty())
            d->installedFiles.insert(safe);
    }
    d->root = QDir::cleanPath(stagingDirectory);
    d->displayName = displayName;
}

DeltaRebuilder::~DeltaRebuilder() = default;

void DeltaRebuilder::setVersions(const QString& fromVersion, const QString& toVersion)
{
    d->fromVersion = fromVersion;
    d->toVersion = toVersion;
}

void DeltaRebuilder::setMaximumUnpackedSize(quint64 bytes)
{
    d->maximumUnpackedSize = bytes;
}

bool DeltaRebuilder::stage()
{
    d->delta.setFileName(d->deltaPath);
    if (!d->delta.open(QIODevice::ReadOnly))
        return d->failWith(
            tr("cannot read the delta %1: %2").arg(QDir::toNativeSeparators(d->deltaPath), d->delta.errorString()));
    const bool ok = d->run();
    d->delta.close();
    return ok;
}

void DeltaRebuilder::cancel()
{
    d->cancelled = true;
}

DeltaRebuilder::Failure DeltaRebuilder::failure() const
{
    return d->failure;
}

qint64 DeltaRebuilder::bytesRead() const
{
    return d->bytesRead;
}

QString DeltaRebuilder::errorString() const
{
    return d->errorString;
}

QStringList DeltaRebuilder::files() const
{
    return d->entries.files();
}

QStringList DeltaRebuilder::directories() const
{
    return d->entries.directories();
}

quint64 DeltaRebuilder::unpackedSize() const
{
    return d->unpackedSize.total();
}

bool DeltaRebuilderPrivate::run()
{
    DeltaManifest manifest;
    QString reason;
    if (!DeltaManifest::readHead(&delta, &manifest, &reason))
        return failWith(DeltaRebuilder::tr("cannot use %1: %2").arg(displayName, reason), DeltaRebuilder::DamagedInput);
    payloadStart = delta.pos();
    bytesRead = payloadStart;
    if (!checkVersions(manifest) || !listReferences(manifest))
        return false;
    // Hashing the installed files is what takes time: one thread starts on
    // it while this one rebuilds, then helps. Nothing rebuilt counts before
    // every reused file has held, since it is only linked. A patched file's
    // reference needs no hash of its own: a changed reference cannot rebuild
    // to the stated SHA-256, which every patched result is checked against.
    std::thread helper([this] { hashReferences(); });
    bool rebuilt = true;
    for (const DeltaManifest::Entry& entry : qAsConst(manifest.entries)) {
        if (cancelled || !makeEntry(entry)) {
            rebuilt = false;
            break;
        }
    }
    hashReferences();
    helper.join();
    if (cancelled)
        return failWith(DeltaRebuilder::tr("cancelled"), DeltaRebuilder::Cancelled);
    // A changed installed file is the reason when there is one, not what it made.
    return checkReferences() && rebuilt;
}

bool DeltaRebuilderPrivate::checkVersions(const DeltaManifest& manifest)
{
    const auto differs = [](const QString& expected, const QString& stated) {
        return !expected.isEmpty() && (!Version::isValid(stated) || Version::compare(expected, stated) != 0);
    };
    if (differs(fromVersion, manifest.fromVersion) || differs(toVersion, manifest.toVersion))
        return failWith(DeltaRebuilder::tr("cannot use %1: it leads from %2 to %3, not from %4 to %5")
                            .arg(displayName, manifest.fromVersion, manifest.toVersion, fromVersion, toVersion),
            DeltaRebuilder::DamagedInput);
    return true;
}

// Every installed file the delta builds on must be one the installed package
// has, as it was published: a file a user changed would rebuild into garbage,
// and one outside the package would leak into it. Names and sizes are
// checked here, contents by hashReferences().
bool DeltaRebuilderPrivate::listReferences(const DeltaManifest& manifest)
{
    QHash<QString, int> byPath;
    for (const DeltaManifest::Entry& entry : manifest.entries) {
        if (!entry.needsReference())
            continue;
        QString why;
        const QString relative = PackagePath::safeRelative(entry.reference, &why);
        if (relative.isEmpty())
            return refuse(
                entry.path, DeltaRebuilder::tr("its reference \"%1\" is refused: %2").arg(entry.reference, why));
        // Named as the record names it, or another spelling could check one
        // file and take another.
        if (relative != entry.reference)
            return refuse(entry.path,
                DeltaRebuilder::tr("its reference \"%1\" is not written as a clean relative path")
                    .arg(entry.reference));
        why = whyNotInstalledFile(relative);
        if (!why.isEmpty())
            return refuse(entry.path, why);
        const bool reused = entry.method == DeltaManifest::Method::Reused;
        // A reused file may be linked as it is, unchecked against what the
        // entry states: only its reference's size and SHA-256 vouch for it.
        if (reused && (entry.size != entry.referenceSize || entry.sha256 != entry.referenceSha256))
            return refuse(entry.path,
                DeltaRebuilder::tr("it takes \"%1\" as it is, yet states another size or SHA-256 for it")
                    .arg(relative));
        const auto known = byPath.constFind(relative);
        if (known == byPath.constEnd()) {
            byPath.insert(relative, int(references.size()));
            references.push_back({ relative, entry.referenceSize, entry.referenceSha256, {}, reused });
        } else if (references[size_t(*known)].size != entry.referenceSize
            || references[size_t(*known)].sha256 != entry.referenceSha256) {
            return refuse(entry.path,
                DeltaRebuilder::tr("it states another size or SHA-256 for \"%1\" than an entry before").arg(relative));
        } else {
            references[size_t(*known)].reused |= reused;
        }
    }
    for (const Reference& reference : references) {
        const quint64 size = quint64(QFileInfo(installedPath(reference.path)).size());
        if (size != reference.size)
            return failWith(DeltaRebuilder::tr("the installed file %1 has %2 bytes, the delta expects %3")
                                .arg(QDir::toNativeSeparators(installedPath(reference.path)))
                                .arg(size)
                                .arg(reference.size),
                DeltaRebuilder::InstalledFilesDiffer);
    }
    references.erase(std::remove_if(references.begin(), references.end(),
                         [](const Reference& reference) { return !reference.reused; }),
        references.end());
    // The largest first, so the two threads end together.
    std::sort(
        references.begin(), references.end(), [](const Reference& a, const Reference& b) { return a.size > b.size; });
    return true;
}

void DeltaRebuilderPrivate::hashReferences()
{
    for (size_t i = nextReference++; i < references.size(); i = nextReference++)
        references[i].actual = sha256Of(installedPath(references[i].path), cancelled);
}

bool DeltaRebuilderPrivate::checkReferences()
{
    for (const Reference& reference : references) {
        if (reference.actual != reference.sha256)
            return referenceDiffers(reference.path);
    }
    return true;
}

bool DeltaRebuilderPrivate::referenceDiffers(const QString& relative)
{
    return failWith(DeltaRebuilder::tr("the installed file %1 differs from the one the delta was made from")
                        .arg(QDir::toNativeSeparators(installedPath(relative))),
        DeltaRebuilder::InstalledFilesDiffer);
}

QString DeltaRebuilderPrivate::whyNotInstalledFile(const QString& relative) const
{
    if (!installedFiles.contains(relative))
        return DeltaRebuilder::tr("its reference \"%1\" is no file of the installed package").arg(relative);
    // Neither the file nor a directory above it may be a link: the record
    // names paths, and a link would make one of them another file.
    const QStringList paths = PackagePath::parentsOf(relative) << relative;
    for (const QString& path : paths) {
        std::error_code error;
        const fs::file_status status = fs::symlink_status(nativePath(installedPath(path)), error);
        const bool wanted = path == relative ? fs::is_regular_file(status) : fs::is_directory(status);
        if (error || !wanted)
            return DeltaRebuilder::tr("its reference \"%1\" is no regular file of the installed package").arg(relative);
    }
    return QString();
}

bool DeltaRebuilderPrivate::makeEntry(const DeltaManifest::Entry& entry)
{
    QString why;
    const QString relative = PackagePath::safeRelative(entry.path, &why);
    if (relative.isEmpty())
        return refuse(entry.path, relative.isNull() ? why : DeltaRebuilder::tr("it has no name"));
    const QString refusal = entries.refusalOf(relative);
    if (!refusal.isEmpty())
        return refuse(entry.path, refusal);
    switch (entry.type) {
    case DeltaManifest::Type::Directory:
        return makeDirectory(relative, entry.path);
    case DeltaManifest::Type::Link:
        return makeLink(relative, entry);
    case DeltaManifest::Type::File:
        break;
    }
    // Counted before anything is written, as an archive's entries are.
    if (unpackedSize.addFile(relative, entry.size) > maximumUnpackedSize)
        return failWith(DeltaRebuilder::tr("cannot rebuild \"%1\" from %2: the package would take more than %3 bytes")
                            .arg(entry.path, displayName, QString::number(maximumUnpackedSize)),
            DeltaRebuilder::TooLarge);
    return makeFile(relative, entry);
}

bool DeltaRebuilderPrivate::makeDirectory(const QString& relative, const QString& name)
{
    if (!makeParentsOf(relative, name))
        return false;
    if (entries.hasDirectory(relative))
        return true;
    if (!QDir().mkdir(stagedPath(relative)))
        return failWith(DeltaRebuilder::tr("cannot rebuild \"%1\" from %2: cannot create the directory %3")
                            .arg(name, displayName, QDir::toNativeSeparators(stagedPath(relative))));
    entries.addDirectory(relative);
    return true;
}

bool DeltaRebuilderPrivate::makeParentsOf(const QString& relative, const QString& name)
{
    for (const QString& parent : entries.missingParentsOf(relative)) {
        if (!QDir().mkdir(stagedPath(parent)))
            return failWith(DeltaRebuilder::tr("cannot rebuild \"%1\" from %2: cannot create the directory %3")
                                .arg(name, displayName, QDir::toNativeSeparators(stagedPath(parent))));
        entries.addDirectory(parent);
    }
    return true;
}

bool DeltaRebuilderPrivate::makeLink(const QString& relative, const DeltaManifest::Entry& entry)
{
    const QString refusal = entries.refusalOfLink(relative, entry.linkTarget);
    if (!refusal.isEmpty())
        return refuse(entry.path, refusal);
    if (!makeParentsOf(relative, entry.path))
        return false;
    std::error_code error;
    fs::create_symlink(nativePath(entry.linkTarget), nativePath(stagedPath(relative)), error);
    if (error)
        return failWith(DeltaRebuilder::tr("cannot rebuild the link \"%1\" from %2: %3")
                            .arg(entry.path, displayName, QString::fromStdString(error.message())));
    entries.addLink(relative);
    return true;
}

bool DeltaRebuilderPrivate::makeFile(const QString& relative, const DeltaManifest::Entry& entry)
{
    const QString refusal = entries.refusalOfFile(relative);
    if (!refusal.isEmpty())
        return refuse(entry.path, refusal);
    if (!makeParentsOf(relative, entry.path))
        return false;
    if (entry.method == DeltaManifest::Method::Reused && linkReused(relative, entry)) {
        entries.addRegularFile(relative);
        return true;
    }
    QFile out(stagedPath(relative));
    if (!out.open(QIODevice::NewOnly))
        return failWith(
            DeltaRebuilder::tr("cannot rebuild \"%1\" from %2: %3").arg(entry.path, displayName, out.errorString()));
    Sha256 hash;
    const bool made
        = entry.method == DeltaManifest::Method::Reused ? copyReused(out, entry, hash) : decode(out, entry, hash);
    if (!made)
        return false;
    out.close();
    if (out.error() != QFileDevice::NoError)
        return failWith(
            DeltaRebuilder::tr("cannot write %1: %2").arg(QDir::toNativeSeparators(out.fileName()), out.errorString()));
    if (quint64(out.size()) != entry.size || hash.result() != entry.sha256) {
        // Only now is a patch's reference hashed: a changed installed file
        // is the reason when there is one, not what it made.
        if (entry.method == DeltaManifest::Method::Patched
            && sha256Of(referencePath(entry), cancelled) != entry.referenceSha256)
            return referenceDiffers(entry.reference); // checked clean by listReferences()
        return refuse(entry.path, DeltaRebuilder::tr("it rebuilds to other content than its manifest states"),
            DeltaRebuilder::DamagedInput);
    }
    out.setPermissions(PackageEntries::permissionsFromMode(entry.mode));
    entries.addRegularFile(relative);
    return true;
}

// An unchanged file costs neither a copy nor room: the staged name is one
// more link to the installed file, which no step writes to. Only where the
// mode stays, since changing it would change the installed file at once.
bool DeltaRebuilderPrivate::linkReused(const QString& relative, const DeltaManifest::Entry& entry)
{
    const QString source = referencePath(entry);
    if (QFile::permissions(source) != PackageEntries::permissionsFromMode(entry.mode))
        return false;
    std::error_code error;
    fs::create_hard_link(nativePath(source), nativePath(stagedPath(relative)), error);
    return !error;
}

bool DeltaRebuilderPrivate::copyReused(QFile& out, const DeltaManifest::Entry& entry, Sha256& hash)
{
    QFile source(referencePath(entry));
    if (!source.open(QIODevice::ReadOnly))
        return failWith(DeltaRebuilder::tr("cannot read %1: %2")
                            .arg(QDir::toNativeSeparators(source.fileName()), source.errorString()));
    QByteArray block(int(readBlockSize), Qt::Uninitialized);
    quint64 written = 0;
    qint64 count = 0;
    while ((count = source.read(block.data(), block.size())) > 0) {
        if (!writeDecoded(out, entry, hash, block.constData(), size_t(count), &written))
            return false;
    }
    return true;
}

// A patch's window holds its reference and the new content; the manifest
// states both sizes, so a frame that asks for more memory is refused.
bool DeltaRebuilderPrivate::decode(QFile& out, const DeltaManifest::Entry& entry, Sha256& hash)
{
    const quint64 payloadSize = quint64(delta.size() - payloadStart);
    if (entry.offset > payloadSize || entry.length > payloadSize - entry.offset)
        return refuse(entry.path, DeltaRebuilder::tr("its payload lies beyond the end of the delta"),
            DeltaRebuilder::DamagedInput);
    const bool patched = entry.method == DeltaManifest::Method::Patched;
    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> context(ZSTD_createDCtx());
    ZSTD_DCtx_setParameter(
        context.get(), ZSTD_d_windowLogMax, DeltaManifest::windowLogFor(entry.size, patched ? entry.referenceSize : 0));
    QFile reference(referencePath(entry));
    if (patched && entry.referenceSize > 0) {
        const uchar* prefix = nullptr;
        if (!reference.open(QIODevice::ReadOnly) || !(prefix = reference.map(0, qint64(entry.referenceSize)))
            || quint64(reference.size()) != entry.referenceSize)
            return failWith(DeltaRebuilder::tr("cannot read %1: %2")
                                .arg(QDir::toNativeSeparators(reference.fileName()), reference.errorString()));
        ZSTD_DCtx_refPrefix(context.get(), prefix, size_t(entry.referenceSize));
    }
    if (!delta.seek(payloadStart + qint64(entry.offset)))
        return failWith(DeltaRebuilder::tr("cannot read the delta %1: %2").arg(displayName, delta.errorString()));

    QByteArray input(int(qMin<quint64>(quint64(readBlockSize), qMax<quint64>(entry.length, 1))), Qt::Uninitialized);
    QByteArray output(int(ZSTD_DStreamOutSize()), Qt::Uninitialized);
    quint64 remaining = entry.length;
    quint64 written = 0;
    size_t pending = 1;
    while (remaining > 0) {
        if (cancelled)
            return failWith(DeltaRebuilder::tr("cancelled"), DeltaRebuilder::Cancelled);
        const qint64 count = delta.read(input.data(), qint64(qMin<quint64>(remaining, quint64(input.size()))));
        if (count <= 0)
            return failWith(DeltaRebuilder::tr("cannot read the delta %1: %2").arg(displayName, delta.errorString()));
        remaining -= quint64(count);
        bytesRead = delta.pos();
        ZSTD_inBuffer in { input.constData(), size_t(count), 0 };
        // zstd keeps the last byte of a frame until all its output is out.
        while (in.pos < in.size) {
            ZSTD_outBuffer decoded { output.data(), size_t(output.size()), 0 };
            pending = ZSTD_decompressStream(context.get(), &decoded, &in);
            if (ZSTD_isError(pending))
                return refuse(
                    entry.path, QString::fromLatin1(ZSTD_getErrorName(pending)), DeltaRebuilder::DamagedInput);
            if (!writeDecoded(out, entry, hash, output.constData(), decoded.pos, &written))
                return false;
        }
    }
    if (pending != 0)
        return refuse(entry.path, DeltaRebuilder::tr("its payload ends early"), DeltaRebuilder::DamagedInput);
    return true;
}

bool DeltaRebuilderPrivate::writeDecoded(
    QFile& out, const DeltaManifest::Entry& entry, Sha256& hash, const char* data, size_t size, quint64* written)
{
    if (size > entry.size - *written)
        return refuse(entry.path,
            DeltaRebuilder::tr("it rebuilds to more than the %1 bytes its manifest states").arg(entry.size),
            DeltaRebuilder::TooLarge);
    *written += size;
    hash.add(data, size);
    qint64 left = qint64(size);
    while (left > 0) {
        const qint64 count = out.write(data, left);
        if (count <= 0)
            return failWith(DeltaRebuilder::tr("cannot write %1: %2")
                                .arg(QDir::toNativeSeparators(out.fileName()), out.errorString()));
        data += count;
        left -= count;
    }
    return true;
}

bool DeltaRebuilderPrivate::refuse(const QString& name, const QString& reason, DeltaRebuilder::Failure kind)
{
    return failWith(DeltaRebuilder::tr("refused entry \"%1\" in %2: %3").arg(name, displayName, reason), kind);
}

bool DeltaRebuilderPrivate::failWith(const QString& text, DeltaRebuilder::Failure kind)
{
    errorString = text;
    failure = kind;
    return false;
}

} // namespace Updater
