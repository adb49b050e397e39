#include "RepositoryTool.h"

#include "ArchiveExtractor.h"
#include "ArchiveWriter.h"
#include "DeltaRebuilder.h"
#include "DeltaWriter.h"
#include "KeyFile.h"
#include "RepositoryIndex.h"
#include "Signature.h"
#include "Updater/PackagesInfo.h"
#include "Updater/Target.h"
#include "Updater/Version.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>

#include <filesystem>
#include <system_error>

namespace Vondra {

using Updater::IndexDelta;
using Updater::IndexEntry;
using Updater::KeyFile;
using Updater::RepositoryIndex;

namespace {

// Names and platform identifiers become parts of URLs and file names.
bool isPlainName(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_+-][A-Za-z0-9._+-]*$"));
    return pattern.match(text).hasMatch();
}

QString indexPath(const QString& repository, const QString& name)
{
    return QDir(repository).filePath(name + QLatin1Char('/') + RepositoryIndex::fileName());
}

QString archiveFileName(
    const QString& name, const QString& version, const QString& platform, ArchiveWriter::Format format)
{
    QString fileName = name + QLatin1Char('-') + version;
    if (!platform.isEmpty())
        fileName += QLatin1Char('-') + platform;
    return fileName + ArchiveWriter::suffix(format);
}

QString deltaFileName(const QString& name, const QString& from, const QString& to, const QString& platform)
{
    QString fileName = name + QLatin1Char('-') + from + QStringLiteral("-to-") + to;
    if (!platform.isEmpty())
        fileName += QLatin1Char('-') + platform;
    return fileName + QStringLiteral(".delta");
}

// The entry of name at exactly version for exactly that platform, or null.
const IndexEntry* entryFor(
    const RepositoryIndex& index, const QString& name, const QString& version, const QString& platform)
{
    for (const IndexEntry& entry : index.entries) {
        if (entry.name == name && Updater::Version::compare(entry.version, version) == 0
            && entry.platform.compare(platform, Qt::CaseInsensitive) == 0)
            return &entry;
    }
    return nullptr;
}

// The newest version below version for exactly that platform, or empty.
QString newestOlderVersion(
    const RepositoryIndex& index, const QString& name, const QString& version, const QString& platform)
{
    QString newest;
    for (const IndexEntry& entry : index.entries) {
        if (entry.name == name && entry.platform.compare(platform, Qt::CaseInsensitive) == 0
            && Updater::Version::compare(entry.version, version) < 0
            && (newest.isEmpty() || Updater::Version::compare(entry.version, newest) > 0))
            newest = entry.version;
    }
    return newest;
}

// An archive unpacked as an installer unpacks it.
bool unpack(const QString& archive, const QString& directory, qint64 unpackedSize, Vondra::DeltaWriter::Tree* tree,
    QString* error)
{
    Updater::ArchiveExtractor extractor(archive, directory, archive);
    if (unpackedSize >= 0)
        extractor.setMaximumUnpackedSize(quint64(unpackedSize));
    if (!QDir().mkpath(directory) || !extractor.stage()) {
        *error = extractor.errorString();
        return false;
    }
    *tree = { directory, extractor.directories(), extractor.files() };
    return true;
}

bool sameContent(const QString& a, const QString& b)
{
    QFile first(a);
    QFile second(b);
    if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly) || first.size() != second.size())
        return false;
    while (!first.atEnd()) {
        if (first.read(1 << 20) != second.read(1 << 20))
            return false;
    }
    return true;
}

// How the tree at rebuilt differs from the tree at expected, or empty when it
// holds the same directories, links (with their targets) and files (with
// their content and executable bit).
QString treeDifference(const QString& rebuilt, const QString& expected)
{
    const auto entriesOf = [](const QString& root) {
        QStringList paths;
        QDirIterator it(
            root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext())
            paths.append(QDir(root).relativeFilePath(it.next()));
        paths.sort();
        return paths;
    };
    const QStringList paths = entriesOf(expected);
    if (entriesOf(rebuilt) != paths)
        return QStringLiteral("it rebuilds other names than the archive holds");
    for (const QString& path : paths) {
        const QFileInfo want(QDir(expected).filePath(path));
        const QFileInfo got(QDir(rebuilt).filePath(path));
        const bool same = want.isSymLink() ? got.isSymLink()
                && std::filesystem::read_symlink(std::filesystem::u8path(want.filePath().toStdString()))
                    == std::filesystem::read_symlink(std::filesystem::u8path(got.filePath().toStdString()))
            : want.isDir() ? got.isDir() && !got.isSymLink()
                           : !got.isSymLink() && got.isFile()
                && (want.permissions() & QFileDevice::ExeOwner) == (got.permissions() & QFileDevice::ExeOwner)
                && sameContent(want.filePath(), got.filePath());
        if (!same)
            return QStringLiteral("%1 differs from the archive's").arg(path);
    }
    return QString();
}

bool readFile(const QString& path, qint64 limit, QByteArray* content, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *content = file.read(limit + 1);
    if (content->size() > limit) {
        *error = QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(limit);
        return false;
    }
    return true;
}

bool hashFile(const QString& path, quint64* size, QByteArray* sha256)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return false;
    *size = quint64(file.size());
    *sha256 = hash.result();
    return true;
}

// Whether an index file carries a signature, checked or not.
bool hasSignature(const QByteArray& indexFile)
{
    RepositoryIndex ignored;
    bool isSigned = false;
    QString reason;
    RepositoryIndex::read(indexFile, {}, &ignored, &isSigned, &reason);
    return isSigned;
}

// The secret keys of the files, in the order given, each key once.
bool readSecretKeys(const QStringList& files, QList<QByteArray>* keys, QString* error)
{
    for (const QString& file : files) {
        QByteArray key;
        if (!KeyFile::readSecretKey(file, &key, error))
            return false;
        if (!keys->contains(key))
            keys->append(key);
    }
    return true;
}

QList<QByteArray> publicHalves(const QList<QByteArray>& secretKeys)
{
    QList<QByteArray> keys;
    for (const QByteArray& secretKey : secretKeys)
        keys.append(Updater::Signature::publicKeyOf(secretKey));
    return keys;
}

QString keysText(const QList<QByteArray>& keys)
{
    return keys.size() == 1 ? QStringLiteral("1 key") : QStringLiteral("%1 keys").arg(keys.size());
}

// Whole seconds: an index states its expiry to the second.
QDateTime expiryIn(int days)
{
    if (days <= 0)
        return QDateTime();
    return QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC).addDays(days);
}

QString expiryText(const QDateTime& expires)
{
    return expires.isValid() ? QStringLiteral("expires ") + RepositoryIndex::timeText(expires)
                             : QStringLiteral("never expires");
}

bool writeIndex(const QString& path, const QByteArray& content, QString* error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit())
        return true;
    *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
}

// Indexes written before the unpacked size was recorded do not state it.
QString unpackedText(const IndexEntry& entry)
{
    return entry.unpackedSize >= 0 ? QString::number(entry.unpackedSize) : QStringLiteral("unstated");
}

// A file of the package: a relative path that stays inside the directory.
bool isRecordablePath(const QString& file)
{
    const QString clean = QDir::cleanPath(file);
    return QDir::isRelativePath(file) && !file.contains(QLatin1Char('\\')) && clean != QLatin1String("..")
        && !clean.startsWith(QLatin1String("../"));
}

} // namespace

RepositoryTool::RepositoryTool(QTextStream& out, QTextStream& err)
    : out(out)
    , err(err)
{
}

int RepositoryTool::fail(Status status, const QString& text)
{
    err << "tavrepo: " << text << Qt::endl;
    return status;
}

int RepositoryTool::keygen(const QString& keyFile)
{
    QString error;
    if (!KeyFile::writeNewKeyPair(keyFile, &error))
        return fail(Failure, error);
    out << "secret key written to " << QDir::toNativeSeparators(keyFile) << " (keep it private)\n"
        << "public key written to " << QDir::toNativeSeparators(keyFile + QStringLiteral(".pub")) << " (ship it as "
        << KeyFile::trustedKeyFileName() << " beside the updater)" << Qt::endl;
    return Success;
}

int RepositoryTool::add(const QString& repository, const QString& name, const QString& version,
    const QString& directory, const AddOptions& options)
{
    if (!isPlainName(name))
        return fail(BadInput, QStringLiteral("\"%1\" is not a usable package name").arg(name));
    if (!Updater::Version::isValid(version))
        return fail(BadInput, QStringLiteral("\"%1\" is not a version of dotted numbers").arg(version));
    if (!options.platform.isEmpty() && !isPlainName(options.platform))
        return fail(BadInput, QStringLiteral("\"%1\" is not a usable platform identifier").arg(options.platform));
    if (!QFileInfo(directory).isDir())
        return fail(BadInput, QStringLiteral("%1 is not a directory").arg(directory));
    ArchiveWriter writer;
    ArchiveWriter::Format format = ArchiveWriter::Format::TarZstd;
    if (!options.format.isEmpty() && !ArchiveWriter::formatFromName(options.format, &format))
        return fail(
            BadInput, QStringLiteral("\"%1\" is not an archive format (tar.zst or tar.gz)").arg(options.format));
    if (options.level < 0 || options.level > ArchiveWriter::maximumLevel(format))
        return fail(BadInput,
            QStringLiteral("%1 compresses at levels 1 to %2")
                .arg(ArchiveWriter::suffix(format).mid(1))
                .arg(ArchiveWriter::maximumLevel(format)));
    writer.setFormat(format, options.level);

    // The archive must not end up inside the tree it is packed from.
    const QString tree = QFileInfo(directory).canonicalFilePath() + QLatin1Char('/');
    if (QFileInfo(repository).absoluteFilePath().append(QLatin1Char('/')).startsWith(tree)
        || QFileInfo(repository).canonicalFilePath().append(QLatin1Char('/')).startsWith(tree))
        return fail(BadInput, QStringLiteral("the repository %1 lies inside %2").arg(repository, directory));

    QList<QByteArray> secretKeys;
    QString error;
    if (!readSecretKeys(options.keyFiles, &secretKeys, &error))
        return fail(BadInput, error);

    const QString path = indexPath(repository, name);
    RepositoryIndex index;
    index.target = name;
    if (QFileInfo::exists(path)) {
        QByteArray existing;
        if (!readFile(path, RepositoryIndex::maximumFileSize(), &existing, &error))
            return fail(Failure, error);
        const bool wasSigned = hasSignature(existing);
        if (wasSigned && secretKeys.isEmpty())
            return fail(BadInput, QStringLiteral("%1 is signed; give --key so that it stays signed").arg(path));
        // Re-signing what only other keys signed would vouch for entries nobody checked.
        const QList<QByteArray> keys = wasSigned ? publicHalves(secretKeys) : QList<QByteArray>();
        bool isSigned = false;
        if (RepositoryIndex::read(existing, keys, &index, &isSigned, &error) != RepositoryIndex::ReadResult::Ok)
            return fail(Failure, QStringLiteral("cannot use the existing index %1: %2").arg(path, error));
        if (index.target != name)
            return fail(Failure, QStringLiteral("%1 belongs to \"%2\", not \"%3\"").arg(path, index.target, name));
    }

    const QString packageDirectory = QFileInfo(path).path();
    if (!QDir().mkpath(packageDirectory))
        return fail(Failure, QStringLiteral("cannot create %1").arg(packageDirectory));
    IndexEntry entry;
    entry.name = name;
    entry.version = version;
    entry.platform = options.platform;
    entry.archive = archiveFileName(name, version, options.platform, format);
    // A new version keeps the words of the previous one unless given new ones.
    const IndexEntry* previous = index.newestFor(name, options.platform, QStringLiteral("0"));
    entry.title = !options.title.isEmpty() ? options.title : previous ? previous->title : name;
    entry.description = !options.description.isEmpty() ? options.description
        : previous                                     ? previous->description
                                                       : QString();

    if (!writer.pack(directory, QDir(packageDirectory).filePath(entry.archive)))
        return fail(Failure, writer.errorString());
    entry.size = writer.size();
    entry.sha256 = writer.sha256();
    entry.unpackedSize = qint64(writer.unpackedSize());
    if (!addDeltas(index, &entry, packageDirectory, options.deltaFrom, &error))
        return fail(Failure, error);
    index.addOrReplace(entry);
    index.expires = expiryIn(options.expiresInDays);

    if (!writeIndex(path, index.toFile(secretKeys), &error))
        return fail(Failure, error);

    out << "added " << name << ' ' << version << (entry.platform.isEmpty() ? QString() : ' ' + entry.platform) << " as "
        << entry.archive << " (" << entry.size << " bytes, " << entry.unpackedSize << " unpacked, sha256 "
        << entry.sha256.toHex() << "); index "
        << (secretKeys.isEmpty() ? QStringLiteral("unsigned") : QStringLiteral("signed by ") + keysText(secretKeys))
        << ", " << expiryText(index.expires) << Qt::endl;
    return Success;
}

int RepositoryTool::resign(const QString& repository, const QStringList& keyFiles, int expiresInDays)
{
    if (keyFiles.isEmpty())
        return fail(BadInput, QStringLiteral("resign needs --key KEYFILE"));
    QList<QByteArray> secretKeys;
    QString error;
    if (!readSecretKeys(keyFiles, &secretKeys, &error))
        return fail(BadInput, error);
    if (!QFileInfo(repository).isDir())
        return fail(BadInput, QStringLiteral("%1 is not a directory").arg(repository));

    // Every index is checked before any is written, so a refusal leaves the
    // repository as it was.
    struct Renewal
    {
        QString path;
        QByteArray content;
        QDateTime expires;
    };
    const QDateTime expires = expiryIn(expiresInDays);
    QList<Renewal> renewed;
    for (const QString& name : QDir(repository).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString path = indexPath(repository, name);
        if (!QFileInfo::exists(path))
            continue;
        QByteArray existing;
        if (!readFile(path, RepositoryIndex::maximumFileSize(), &existing, &error))
            return fail(Failure, error);
        // Only signatures one of these keys made are renewed, so entries nobody checked are never vouched for.
        if (!hasSignature(existing))
            return fail(Failure, QStringLiteral("%1 is not signed; sign it with add --key first").arg(path));
        QByteArray payload;
        bool isSigned = false;
        RepositoryIndex index;
        if (RepositoryIndex::readPayload(existing, publicHalves(secretKeys), &payload, &isSigned, &error)
                != RepositoryIndex::ReadResult::Ok
            || RepositoryIndex::read(existing, {}, &index, &isSigned, &error) != RepositoryIndex::ReadResult::Ok)
            return fail(Failure, QStringLiteral("cannot re-sign %1: %2").arg(path, error));
        if (index.target != name)
            return fail(Failure, QStringLiteral("%1 belongs to \"%2\", not \"%3\"").arg(path, index.target, name));
        if (expires.isValid()) {
            payload = RepositoryIndex::withExpiry(payload, expires);
            index.expires = expires;
        }
        renewed.append({ path, RepositoryIndex::fileOf(payload, secretKeys), index.expires });
    }
    if (renewed.isEmpty())
        return fail(Failure, QStringLiteral("%1 holds no index to re-sign").arg(repository));

    for (const Renewal& renewal : renewed) {
        if (!writeIndex(renewal.path, renewal.content, &error))
            return fail(Failure, error);
        out << "re-signed " << renewal.path << " with " << keysText(secretKeys) << "; it "
            << expiryText(renewal.expires) << Qt::endl;
    }
    return Success;
}

// A delta from the newest older version, and from each version asked for,
// unless it is not clearly smaller than the archive.
bool RepositoryTool::addDeltas(const RepositoryIndex& index, IndexEntry* entry, const QString& packageDirectory,
    const QStringList& requested, QString* error)
{
    QStringList sources;
    const QString newest = newestOlderVersion(index, entry->name, entry->version, entry->platform);
    if (!newest.isEmpty())
        sources.append(newest);
    for (const QString& version : requested) {
        if (!entryFor(index, entry->name, version, entry->platform)
            || Updater::Version::compare(version, entry->version) >= 0) {
            *error = QStringLiteral("no older version %1 of %2 to write a delta from").arg(version, entry->name);
            return false;
        }
        if (!std::any_of(sources.cbegin(), sources.cend(),
                [&](const QString& known) { return Updater::Version::compare(known, version) == 0; }))
            sources.append(version);
    }
    if (sources.isEmpty())
        return true;

    QTemporaryDir work;
    DeltaWriter::Tree to;
    if (!work.isValid()
        || !unpack(QDir(packageDirectory).filePath(entry->archive), work.filePath(QStringLiteral("new")),
            entry->unpackedSize, &to, error))
        return false;
    for (const QString& version : qAsConst(sources)) {
        const IndexEntry* older = entryFor(index, entry->name, version, entry->platform);
        DeltaWriter::Tree from;
        const QString oldDirectory = work.filePath(QStringLiteral("old-") + version);
        if (!unpack(QDir(packageDirectory).filePath(older->archive), oldDirectory, older->unpackedSize, &from, error))
            return false;
        IndexDelta delta;
        delta.fromVersion = older->version;
        delta.archive = deltaFileName(entry->name, older->version, entry->version, entry->platform);
        const QString deltaPath = QDir(packageDirectory).filePath(delta.archive);
        DeltaWriter writer;
        if (!writer.write(entry->name, older->version, entry->version, from, to, deltaPath)) {
            *error = writer.errorString();
            return false;
        }
        QDir(oldDirectory).removeRecursively();
        // A delta barely smaller than the archive saves too little to be worth the detour.
        if (writer.size() * 10 >= entry->size * 7) {
            QFile::remove(deltaPath);
            out << "no delta from " << older->version << ": " << writer.size()
                << " bytes is not under 70% of the archive" << Qt::endl;
            continue;
        }
        delta.size = writer.size();
        delta.sha256 = writer.sha256();
        delta.unpackedSize = writer.unpackedSize();
        entry->deltas.append(delta);
        out << "delta from " << older->version << " as " << delta.archive << " (" << delta.size << " bytes; "
            << writer.reused() << " files reused, " << writer.patched() << " patched, " << writer.whole() << " whole)"
            << Qt::endl;
    }
    return true;
}

// Why a delta of the index does not hold: its file differs from what the
// index says, or rebuilding its older version does not give entry's archive.
QString RepositoryTool::deltaProblem(
    const RepositoryIndex& index, const IndexEntry& entry, const IndexDelta& delta, const QString& packageDirectory)
{
    const QString deltaPath = QDir(packageDirectory).filePath(delta.archive);
    quint64 size = 0;
    QByteArray sha256;
    if (!hashFile(deltaPath, &size, &sha256))
        return QStringLiteral("missing or unreadable");
    if (size != delta.size)
        return QStringLiteral("size %1, the index says %2").arg(size).arg(delta.size);
    if (sha256 != delta.sha256)
        return QStringLiteral("SHA-256 differs from the index");
    const IndexEntry* older = entryFor(index, entry.name, delta.fromVersion, entry.platform);
    if (!older)
        return QStringLiteral("the index has no version %1 to rebuild from").arg(delta.fromVersion);
    QTemporaryDir work;
    DeltaWriter::Tree from;
    DeltaWriter::Tree to;
    QString error;
    if (!work.isValid()
        || !unpack(QDir(packageDirectory).filePath(older->archive), work.filePath(QStringLiteral("old")),
            older->unpackedSize, &from, &error)
        || !unpack(QDir(packageDirectory).filePath(entry.archive), work.filePath(QStringLiteral("new")),
            entry.unpackedSize, &to, &error))
        return error;
    const QString rebuilt = work.filePath(QStringLiteral("rebuilt"));
    QDir().mkpath(rebuilt);
    Updater::DeltaRebuilder rebuilder(deltaPath, from.root, from.files, rebuilt, delta.archive);
    rebuilder.setVersions(older->version, entry.version);
    rebuilder.setMaximumUnpackedSize(delta.unpackedSize);
    if (!rebuilder.stage())
        return rebuilder.errorString();
    if (rebuilder.unpackedSize() != delta.unpackedSize)
        return QStringLiteral("it rebuilds %1 bytes, the index says %2")
            .arg(rebuilder.unpackedSize())
            .arg(delta.unpackedSize);
    return treeDifference(rebuilt, to.root);
}

int RepositoryTool::verify(const QString& repository, const QString& name, const QString& publicKeyFile)
{
    QList<QByteArray> keys;
    QString error;
    if (publicKeyFile.isEmpty())
        return fail(BadInput, QStringLiteral("verify needs --pub KEYFILE.pub"));
    if (!KeyFile::readPublicKeys(publicKeyFile, &keys, &error))
        return fail(BadInput, error);
    const QString path = indexPath(repository, name);
    QByteArray content;
    if (!readFile(path, RepositoryIndex::maximumFileSize(), &content, &error))
        return fail(Failure, error);
    RepositoryIndex index;
    bool isSigned = false;
    if (RepositoryIndex::read(content, keys, &index, &isSigned, &error) != RepositoryIndex::ReadResult::Ok)
        return fail(Failure, QStringLiteral("%1: %2").arg(path, error));
    if (index.target != name)
        return fail(Failure, QStringLiteral("%1 belongs to \"%2\", not \"%3\"").arg(path, index.target, name));
    out << path << ": signature good; it " << expiryText(index.expires) << Qt::endl;

    int mismatches = 0;
    int checked = index.entries.size();
    for (const IndexEntry& entry : index.entries) {
        const QString archive = QDir(QFileInfo(path).path()).filePath(entry.archive);
        quint64 size = 0;
        QByteArray sha256;
        QString problem;
        if (!hashFile(archive, &size, &sha256))
            problem = QStringLiteral("missing or unreadable");
        else if (size != entry.size)
            problem = QStringLiteral("size %1, the index says %2").arg(size).arg(entry.size);
        else if (sha256 != entry.sha256)
            problem = QStringLiteral("SHA-256 differs from the index");
        if (!problem.isEmpty())
            ++mismatches;
        out << entry.archive << ": " << (problem.isEmpty() ? QStringLiteral("ok") : problem) << "; unpacked size "
            << unpackedText(entry) << Qt::endl;
        for (const IndexDelta& delta : entry.deltas) {
            const QString deltaIssue = deltaProblem(index, entry, delta, QFileInfo(path).path());
            if (!deltaIssue.isEmpty())
                ++mismatches;
            out << delta.archive << ": "
                << (deltaIssue.isEmpty()
                           ? QStringLiteral("ok, rebuilds %1 from %2").arg(entry.version, delta.fromVersion)
                           : deltaIssue)
                << Qt::endl;
            ++checked;
        }
    }
    if (mismatches > 0)
        return fail(Failure,
            QStringLiteral("%1 of %2 archives and deltas do not match the index").arg(mismatches).arg(checked));
    // Updaters refuse it from then on (a few minutes later, for clocks running ahead).
    if (index.expires.isValid() && index.expires < QDateTime::currentDateTimeUtc())
        return fail(Failure,
            QStringLiteral("%1 expired on %2; renew it with resign --expires-in")
                .arg(path, RepositoryIndex::timeText(index.expires)));
    return Success;
}

int RepositoryTool::list(const QString& repository, const QString& name)
{
    const QString path = indexPath(repository, name);
    QByteArray content;
    QString error;
    if (!readFile(path, RepositoryIndex::maximumFileSize(), &content, &error))
        return fail(Failure, error);
    RepositoryIndex index;
    bool isSigned = false;
    if (RepositoryIndex::read(content, {}, &index, &isSigned, &error) != RepositoryIndex::ReadResult::Ok)
        return fail(Failure, QStringLiteral("%1: %2").arg(path, error));
    out << "target " << index.target << ", " << (isSigned ? "signed (use verify to check)" : "unsigned") << ", "
        << expiryText(index.expires) << Qt::endl;
    for (const IndexEntry& entry : index.entries) {
        out << entry.name << '\t' << entry.version << '\t'
            << (entry.platform.isEmpty() ? QStringLiteral("any") : entry.platform) << '\t' << entry.size << '\t'
            << unpackedText(entry) << '\t' << entry.archive << '\t' << entry.title << Qt::endl;
    }
    return Success;
}

int RepositoryTool::record(
    const QString& directory, const QString& name, const QString& version, const QStringList& files)
{
    if (!isPlainName(name))
        return fail(BadInput, QStringLiteral("\"%1\" is not a usable package name").arg(name));
    if (!Updater::Version::isValid(version))
        return fail(BadInput, QStringLiteral("\"%1\" is not a version of dotted numbers").arg(version));
    const QDir dir(directory);
    quint64 size = 0;
    QStringList recorded;
    for (const QString& file : files) {
        const QFileInfo info(dir.filePath(file));
        if (!isRecordablePath(file) || !info.isFile())
            return fail(BadInput, QStringLiteral("%1 is not a file inside %2").arg(file, directory));
        size += quint64(info.size());
        recorded << QDir::cleanPath(file);
    }

    const QString package = name.toLower();
    Updater::Target target(package);
    target.setDirectory(directory);
    Updater::PackagesInfo* packages = target.packagesInfo();
    packages->setTargetName(package + version.section(QLatin1Char('.'), 0, 0));
    packages->setTargetVersion(version);
    if (!packages->installPackage(package, version, name, QString(), recorded, size))
        return fail(Failure, packages->errorString());
    out << "recorded " << package << ' ' << version << " (" << recorded.size() << " files, " << size << " bytes) in "
        << QDir::toNativeSeparators(packages->fileName()) << Qt::endl;
    return Success;
}

} // namespace Vondra
