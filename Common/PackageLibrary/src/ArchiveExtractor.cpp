#include "ArchiveExtractor.h"

#include "PackageEntries.h"
#include "PackagePath.h"
#include "UnpackedSize.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>

#include <archive.h>
#include <archive_entry.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <system_error>

namespace Updater {

namespace {

constexpr qint64 readBlockSize = 256 * 1024;

QString entryText(const char* utf8, const char* local)
{
    if (utf8)
        return QString::fromUtf8(utf8);
    return local ? QFile::decodeName(local) : QString();
}

// A short write (a disk filling up) says nothing about why; the next attempt
// fails with the reason.
bool writeAll(QFile& out, const char* data, qint64 size)
{
    while (size > 0) {
        const qint64 written = out.write(data, size);
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

QString refusedKind(unsigned int type)
{
    switch (type) {
    case AE_IFCHR:
    case AE_IFBLK:
        return ArchiveExtractor::tr("it is a device node");
    case AE_IFIFO:
        return ArchiveExtractor::tr("it is a FIFO");
    case AE_IFSOCK:
        return ArchiveExtractor::tr("it is a socket");
    default:
        return ArchiveExtractor::tr("it is neither a file, a directory nor a link");
    }
}

} // namespace

class ArchiveExtractorPrivate
{
public:
    QString archivePath;
    QString root;
    QString displayName;
    QFile input;
    QByteArray readBuffer;
    std::atomic<bool> cancelled { false };
    std::atomic<qint64> bytesRead { 0 };
    QString errorString;
    ArchiveExtractor::Failure failure = ArchiveExtractor::NoFailure;

    PackageEntries entries;
    UnpackedSize unpackedSize;
    quint64 maximumUnpackedSize = std::numeric_limits<quint64>::max();

    bool run(archive* a);
    bool extractEntry(archive* a, archive_entry* entry);
    bool writeRegularFile(archive* a, archive_entry* entry, const QString& relative, const QString& name);
    bool copyHardLink(const QString& relative, const QString& name, const QString& linkTarget);
    bool createSymLink(const QString& relative, const QString& name, const QString& linkTarget);
    bool makeDirectory(const QString& relative, const QString& name);
    bool makeParentsOf(const QString& relative, const QString& name);
    bool createDirectory(const QString& relative, const QString& name);
    bool refuse(const QString& name, const QString& reason);
    bool tooLarge(const QString& name);
    bool failWith(const QString& text, ArchiveExtractor::Failure kind = ArchiveExtractor::FileSystemFailure);
    bool damaged(archive* a, const QString& name = QString());
    QString absolute(const QString& relative) const { return root + QLatin1Char('/') + relative; }

    static la_ssize_t readCallback(archive*, void* self, const void** buffer);
    static la_int64_t seekCallback(archive*, void* self, la_int64_t offset, int whence);
    static la_int64_t skipCallback(archive*, void* self, la_int64_t request);
};

ArchiveExtractor::ArchiveExtractor(
    const QString& archivePath, const QString& stagingDirectory, const QString& displayName)
    : d(std::make_unique<ArchiveExtractorPrivate>())
{
    d->archivePath = archivePath;
    d->root = QDir::cleanPath(stagingDirectory);
    d->displayName = displayName;
}

ArchiveExtractor::~ArchiveExtractor() = default;

bool ArchiveExtractor::stage()
{
    d->input.setFileName(d->archivePath);
    if (!d->input.open(QIODevice::ReadOnly))
        return d->failWith(ArchiveExtractor::tr("cannot read the downloaded archive %1: %2")
                               .arg(QDir::toNativeSeparators(d->archivePath), d->input.errorString()));
    d->readBuffer.resize(int(readBlockSize));

    archive* a = archive_read_new();
    // Only the formats packages come in: readers such as mtree would pull in
    // files named by the archive from this machine's disk.
    archive_read_support_format_tar(a);
    archive_read_support_format_gnutar(a);
    archive_read_support_format_zip(a);
    archive_read_support_filter_gzip(a);
    archive_read_support_filter_xz(a);
    archive_read_support_filter_bzip2(a);
    archive_read_support_filter_zstd(a);
    const bool ok = d->run(a);
    archive_read_free(a);
    d->input.close();
    return ok;
}

void ArchiveExtractor::cancel()
{
    d->cancelled = true;
}

void ArchiveExtractor::setMaximumUnpackedSize(quint64 bytes)
{
    d->maximumUnpackedSize = bytes;
}

ArchiveExtractor::Failure ArchiveExtractor::failure() const
{
    return d->failure;
}

qint64 ArchiveExtractor::bytesRead() const
{
    return d->bytesRead;
}

QString ArchiveExtractor::errorString() const
{
    return d->errorString;
}

QStringList ArchiveExtractor::files() const
{
    return d->entries.files();
}

QStringList ArchiveExtractor::directories() const
{
    return d->entries.directories();
}

quint64 ArchiveExtractor::unpackedSize() const
{
    return d->unpackedSize.total();
}

bool ArchiveExtractorPrivate::run(archive* a)
{
    archive_read_set_callback_data(a, this);
    archive_read_set_read_callback(a, &readCallback);
    archive_read_set_seek_callback(a, &seekCallback);
    archive_read_set_skip_callback(a, &skipCallback);
    if (archive_read_open1(a) != ARCHIVE_OK)
        return damaged(a);

    for (;;) {
        if (cancelled)
            return failWith(ArchiveExtractor::tr("cancelled"), ArchiveExtractor::Cancelled);
        archive_entry* entry = nullptr;
        const int result = archive_read_next_header(a, &entry);
        if (result == ARCHIVE_EOF)
            return true;
        if (result < ARCHIVE_WARN)
            return damaged(a);
        if (!extractEntry(a, entry))
            return false;
    }
}

bool ArchiveExtractorPrivate::extractEntry(archive* a, archive_entry* entry)
{
    const QString name = entryText(archive_entry_pathname_utf8(entry), archive_entry_pathname(entry));
    QString why;
    const QString relative = PackagePath::safeRelative(name, &why);
    if (relative.isNull())
        return refuse(name, why);
    const unsigned int type = archive_entry_filetype(entry);
    if (relative.isEmpty()) {
        if (type == AE_IFDIR)
            return true;
        return refuse(name, ArchiveExtractor::tr("it has no name"));
    }
    const QString refusal = entries.refusalOf(relative);
    if (!refusal.isEmpty())
        return refuse(name, refusal);

    const QString hardLink = entryText(archive_entry_hardlink_utf8(entry), archive_entry_hardlink(entry));
    // Counted before anything is written, so an entry that states a huge size
    // (a sparse one, say) is stopped before it takes any room.
    const QString hardLinkSource = hardLink.isEmpty() ? QString() : PackagePath::safeRelative(hardLink, &why);
    if (unpackedSize.add(relative, entry, hardLinkSource) > maximumUnpackedSize)
        return tooLarge(name);
    if (!hardLink.isEmpty())
        return copyHardLink(relative, name, hardLink);

    switch (type) {
    case AE_IFDIR:
        return makeDirectory(relative, name);
    case AE_IFREG:
        return writeRegularFile(a, entry, relative, name);
    case AE_IFLNK:
        return createSymLink(
            relative, name, entryText(archive_entry_symlink_utf8(entry), archive_entry_symlink(entry)));
    default:
        return refuse(name, refusedKind(type));
    }
}

bool ArchiveExtractorPrivate::writeRegularFile(
    archive* a, archive_entry* entry, const QString& relative, const QString& name)
{
    const QString refusal = entries.refusalOfFile(relative);
    if (!refusal.isEmpty())
        return refuse(name, refusal);
    if (!makeParentsOf(relative, name))
        return false;
    QFile out(absolute(relative));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return failWith(
            ArchiveExtractor::tr("cannot unpack \"%1\" from %2: %3").arg(name, displayName, out.errorString()));

    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    for (;;) {
        if (cancelled)
            return failWith(ArchiveExtractor::tr("cancelled"), ArchiveExtractor::Cancelled);
        const int result = archive_read_data_block(a, &block, &size, &offset);
        if (result == ARCHIVE_EOF)
            break;
        if (result < ARCHIVE_WARN)
            return damaged(a, name);
        if (unpackedSize.grow(relative, quint64(offset) + size) > maximumUnpackedSize)
            return tooLarge(name);
        // Sparse files come with holes: the next block starts further on.
        if (offset != out.pos() && !out.seek(offset))
            return failWith(ArchiveExtractor::tr("cannot write %1: %2").arg(out.fileName(), out.errorString()));
        if (!writeAll(out, static_cast<const char*>(block), qint64(size)))
            return failWith(ArchiveExtractor::tr("cannot write %1: %2").arg(out.fileName(), out.errorString()));
    }
    if (archive_entry_size_is_set(entry) && out.size() < archive_entry_size(entry))
        out.resize(archive_entry_size(entry));
    if (archive_entry_mtime_is_set(entry))
        out.setFileTime(QDateTime::fromSecsSinceEpoch(archive_entry_mtime(entry)), QFileDevice::FileModificationTime);
    out.close();
    if (out.error() != QFileDevice::NoError)
        return failWith(ArchiveExtractor::tr("cannot write %1: %2").arg(out.fileName(), out.errorString()));
    out.setPermissions(PackageEntries::permissionsFromMode(int(archive_entry_perm(entry))));
    entries.addRegularFile(relative);
    return true;
}

bool ArchiveExtractorPrivate::copyHardLink(const QString& relative, const QString& name, const QString& linkTarget)
{
    QString why;
    const QString source = PackagePath::safeRelative(linkTarget, &why);
    if (source.isEmpty() || !entries.isRegularFile(source) || !entries.linkAbove(source).isEmpty())
        return refuse(name,
            ArchiveExtractor::tr("it is a hard link to \"%1\", which is no file unpacked before").arg(linkTarget));
    if (source == relative)
        return true;
    if (!makeParentsOf(relative, name))
        return false;
    // A copy keeps the package independent of how the target file system links.
    const QString destination = absolute(relative);
    if (QFileInfo(destination).isDir())
        return refuse(name, ArchiveExtractor::tr("a directory of that name was unpacked before"));
    QFile::remove(destination);
    QFile sourceFile(absolute(source));
    if (!sourceFile.copy(destination))
        return failWith(
            ArchiveExtractor::tr("cannot unpack \"%1\" from %2: %3").arg(name, displayName, sourceFile.errorString()));
    entries.addRegularFile(relative);
    return true;
}

bool ArchiveExtractorPrivate::createSymLink(const QString& relative, const QString& name, const QString& linkTarget)
{
    const QString refusal = entries.refusalOfLink(relative, linkTarget);
    if (!refusal.isEmpty())
        return refuse(name, refusal);
    if (!makeParentsOf(relative, name))
        return false;
    std::error_code error;
    std::filesystem::create_symlink(std::filesystem::u8path(linkTarget.toStdString()),
        std::filesystem::u8path(absolute(relative).toStdString()), error);
    if (error)
        return failWith(ArchiveExtractor::tr("cannot unpack the link \"%1\" from %2: %3")
                            .arg(name, displayName, QString::fromStdString(error.message())));
    entries.addLink(relative);
    return true;
}

bool ArchiveExtractorPrivate::makeDirectory(const QString& relative, const QString& name)
{
    if (!makeParentsOf(relative, name))
        return false;
    if (!entries.hasDirectory(relative)) {
        if (!createDirectory(relative, name))
            return false;
        entries.addDirectory(relative);
    }
    return true;
}

// Parents are recorded too, so an install creates them and a rollback knows them.
bool ArchiveExtractorPrivate::makeParentsOf(const QString& relative, const QString& name)
{
    for (const QString& parent : entries.missingParentsOf(relative)) {
        if (!createDirectory(parent, name))
            return false;
        entries.addDirectory(parent);
    }
    return true;
}

// One level; its parent is there. What stands in the way is told apart from
// what the system refuses (a name too long, a full disk).
bool ArchiveExtractorPrivate::createDirectory(const QString& relative, const QString& name)
{
    std::error_code error;
    std::filesystem::create_directory(std::filesystem::u8path(absolute(relative).toStdString()), error);
    if (!error)
        return true;
    if (error == std::errc::file_exists)
        return failWith(ArchiveExtractor::tr("cannot unpack \"%1\" from %2: \"%3\" is a file, not a directory")
                            .arg(name, displayName, relative));
    return failWith(ArchiveExtractor::tr("cannot unpack \"%1\" from %2: %3")
                        .arg(name, displayName, QString::fromStdString(error.message())));
}

bool ArchiveExtractorPrivate::refuse(const QString& name, const QString& reason)
{
    return failWith(ArchiveExtractor::tr("refused entry \"%1\" in %2: %3").arg(name, displayName, reason),
        ArchiveExtractor::RefusedContent);
}

bool ArchiveExtractorPrivate::tooLarge(const QString& name)
{
    return failWith(ArchiveExtractor::tr("cannot unpack \"%1\" from %2: the archive unpacks to more than %3 bytes")
                        .arg(name, displayName, QString::number(maximumUnpackedSize)),
        ArchiveExtractor::TooLarge);
}

bool ArchiveExtractorPrivate::damaged(archive* a, const QString& name)
{
    const QString reason = QString::fromLocal8Bit(archive_error_string(a));
    if (name.isEmpty())
        return failWith(
            ArchiveExtractor::tr("cannot unpack %1: %2").arg(displayName, reason), ArchiveExtractor::DamagedInput);
    return failWith(ArchiveExtractor::tr("cannot unpack \"%1\" from %2: %3").arg(name, displayName, reason),
        ArchiveExtractor::DamagedInput);
}

bool ArchiveExtractorPrivate::failWith(const QString& text, ArchiveExtractor::Failure kind)
{
    errorString = text;
    failure = kind;
    return false;
}

la_ssize_t ArchiveExtractorPrivate::readCallback(archive* a, void* self, const void** buffer)
{
    auto* d = static_cast<ArchiveExtractorPrivate*>(self);
    const qint64 count = d->input.read(d->readBuffer.data(), d->readBuffer.size());
    if (count < 0) {
        archive_set_error(a, EIO, "%s", qPrintable(d->input.errorString()));
        return -1;
    }
    d->bytesRead = d->input.pos();
    *buffer = d->readBuffer.constData();
    return la_ssize_t(count);
}

la_int64_t ArchiveExtractorPrivate::seekCallback(archive*, void* self, la_int64_t offset, int whence)
{
    auto* d = static_cast<ArchiveExtractorPrivate*>(self);
    qint64 position = offset;
    if (whence == SEEK_CUR)
        position += d->input.pos();
    else if (whence == SEEK_END)
        position += d->input.size();
    if (position < 0 || !d->input.seek(position))
        return ARCHIVE_FATAL;
    return position;
}

la_int64_t ArchiveExtractorPrivate::skipCallback(archive*, void* self, la_int64_t request)
{
    auto* d = static_cast<ArchiveExtractorPrivate*>(self);
    const qint64 skipped = qMin<qint64>(request, d->input.size() - d->input.pos());
    if (skipped <= 0 || !d->input.seek(d->input.pos() + skipped))
        return 0;
    d->bytesRead = d->input.pos();
    return skipped;
}

} // namespace Updater
