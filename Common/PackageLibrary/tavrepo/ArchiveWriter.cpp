#include "ArchiveWriter.h"

#include "PackagePath.h"
#include "UnpackedSize.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace Vondra {

namespace {

struct ArchiveDeleter
{
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryDeleter
{
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};

// Where libarchive's output goes: the file, and the hash and size beside it.
struct Sink
{
    QSaveFile* file;
    QCryptographicHash hash { QCryptographicHash::Sha256 };
    quint64 size = 0;
};

la_ssize_t writeToSink(archive*, void* context, const void* buffer, size_t length)
{
    auto* sink = static_cast<Sink*>(context);
    const auto* bytes = static_cast<const char*>(buffer);
    if (sink->file->write(bytes, qint64(length)) != qint64(length))
        return -1;
    sink->hash.addData(bytes, int(length));
    sink->size += length;
    return la_ssize_t(length);
}

// High, yet within what every zstd reader accepts without being told: at
// this level and up to 22 the encoder's window stays at most 2^27 bytes, the
// default limit of zstd's decoders (libarchive's included).
constexpr int defaultZstdLevel = 19;

bool addFilter(archive* writer, ArchiveWriter::Format format, int level)
{
    const bool zstd = format == ArchiveWriter::Format::TarZstd;
    if (level == 0 && zstd)
        level = defaultZstdLevel;
    if ((zstd ? archive_write_add_filter_zstd(writer) : archive_write_add_filter_gzip(writer)) != ARCHIVE_OK)
        return false;
    return level == 0
        || archive_write_set_filter_option(writer, nullptr, "compression-level", QByteArray::number(level).constData())
        == ARCHIVE_OK;
}

QStringList sortedEntries(const QString& directory)
{
    QStringList paths;
    QDirIterator it(
        directory, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(QDir(directory).relativeFilePath(it.next()));
    paths.sort(); // the same tree gives the same archive
    return paths;
}

} // namespace

bool ArchiveWriter::formatFromName(const QString& name, Format* format)
{
    if (name == QLatin1String("tar.zst"))
        *format = Format::TarZstd;
    else if (name == QLatin1String("tar.gz"))
        *format = Format::TarGzip;
    else
        return false;
    return true;
}

QString ArchiveWriter::suffix(Format format)
{
    return format == Format::TarZstd ? QStringLiteral(".tar.zst") : QStringLiteral(".tar.gz");
}

int ArchiveWriter::maximumLevel(Format format)
{
    return format == Format::TarZstd ? 22 : 9;
}

void ArchiveWriter::setFormat(Format format, int level)
{
    m_format = format;
    m_level = level;
}

bool ArchiveWriter::pack(const QString& tree, const QString& archivePath)
{
    const QString directory = QFileInfo(tree).absoluteFilePath();
    QSaveFile file(archivePath);
    if (!file.open(QIODevice::WriteOnly)) {
        m_errorString = QStringLiteral("cannot write %1: %2").arg(archivePath, file.errorString());
        return false;
    }
    Sink sink { &file };
    std::unique_ptr<archive, ArchiveDeleter> writer(archive_write_new());
    if (!addFilter(writer.get(), m_format, m_level)) {
        m_errorString = QStringLiteral("cannot compress the archive: %1")
                            .arg(QString::fromLocal8Bit(archive_error_string(writer.get())));
        return false;
    }
    archive_write_set_format_pax_restricted(writer.get());
    archive_write_set_bytes_in_last_block(writer.get(), 1); // no padding after the compressed stream
    if (archive_write_open(writer.get(), &sink, nullptr, writeToSink, nullptr) != ARCHIVE_OK) {
        m_errorString = QStringLiteral("cannot start the archive: %1")
                            .arg(QString::fromLocal8Bit(archive_error_string(writer.get())));
        return false;
    }

    Updater::UnpackedSize unpackedSize;
    for (const QString& path : sortedEntries(directory)) {
        // What an installer would refuse is not published.
        QString why;
        if (Updater::PackagePath::safeRelative(path, &why).isNull()) {
            m_errorString = QStringLiteral("%1 cannot be installed: %2").arg(path, why);
            return false;
        }
        const QFileInfo info(QDir(directory).filePath(path));
        std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
        archive_entry_set_pathname_utf8(entry.get(), path.toUtf8().constData());
        archive_entry_set_mtime(entry.get(), info.lastModified().toSecsSinceEpoch(), 0);
        const bool executable = info.permissions() & QFileDevice::ExeOwner;
        if (info.isSymLink()) {
            const QString relativeTarget = QDir(info.path()).relativeFilePath(info.symLinkTarget());
            if (!Updater::PackagePath::isContainedLinkTarget(path, relativeTarget)) {
                m_errorString = QStringLiteral("%1 is a link that leads out of %2").arg(path, directory);
                return false;
            }
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_set_perm(entry.get(), 0777);
            archive_entry_set_symlink_utf8(entry.get(), relativeTarget.toUtf8().constData());
        } else if (info.isDir()) {
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
            archive_entry_set_perm(entry.get(), 0755);
        } else if (info.isFile()) {
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_perm(entry.get(), executable ? 0755 : 0644);
            archive_entry_set_size(entry.get(), info.size());
        } else {
            m_errorString = QStringLiteral("%1 is neither a file, a directory nor a link").arg(path);
            return false;
        }
        unpackedSize.add(path, entry.get());
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK) {
            m_errorString = QStringLiteral("cannot add %1: %2")
                                .arg(path, QString::fromLocal8Bit(archive_error_string(writer.get())));
            return false;
        }
        if (info.isFile() && !info.isSymLink()) {
            QFile input(info.filePath());
            if (!input.open(QIODevice::ReadOnly)) {
                m_errorString = QStringLiteral("cannot read %1: %2").arg(info.filePath(), input.errorString());
                return false;
            }
            QByteArray buffer(1 << 20, Qt::Uninitialized);
            qint64 n;
            while ((n = input.read(buffer.data(), buffer.size())) > 0) {
                if (archive_write_data(writer.get(), buffer.constData(), size_t(n)) != la_ssize_t(n)) {
                    m_errorString = QStringLiteral("cannot add %1: %2")
                                        .arg(path, QString::fromLocal8Bit(archive_error_string(writer.get())));
                    return false;
                }
            }
            if (n < 0) {
                m_errorString = QStringLiteral("cannot read %1: %2").arg(info.filePath(), input.errorString());
                return false;
            }
        }
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK || !file.commit()) {
        m_errorString = QStringLiteral("cannot finish %1: %2").arg(archivePath, file.errorString());
        return false;
    }
    m_size = sink.size;
    m_sha256 = sink.hash.result();
    m_unpackedSize = unpackedSize.total();
    return true;
}

} // namespace Vondra
