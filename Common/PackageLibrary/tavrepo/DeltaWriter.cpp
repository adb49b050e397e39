#include "DeltaWriter.h"

#include "DeltaManifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QTemporaryFile>

#include <zstd.h>

#include <filesystem>
#include <memory>
#include <system_error>

namespace Vondra {

using Updater::DeltaManifest;

namespace {

struct CCtxDeleter
{
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

struct FileFacts
{
    quint64 size = 0;
    QByteArray sha256;
};

bool readWhole(const QString& path, QByteArray* content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *content = file.readAll();
    return file.error() == QFileDevice::NoError;
}

// A frame of content, after reference when one is given.
QByteArray compress(const QByteArray& content, const QByteArray* reference, int level)
{
    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> context(ZSTD_createCCtx());
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 0);
    if (reference) {
        // The window spans the reference and the new content, exactly what
        // an installer allows from the sizes the manifest states.
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog,
            DeltaManifest::windowLogFor(quint64(content.size()), quint64(reference->size())));
        ZSTD_CCtx_refPrefix(context.get(), reference->constData(), size_t(reference->size()));
    }
    QByteArray frame(int(ZSTD_compressBound(size_t(content.size()))), Qt::Uninitialized);
    const size_t size = ZSTD_compress2(
        context.get(), frame.data(), size_t(frame.size()), content.constData(), size_t(content.size()));
    if (ZSTD_isError(size))
        return QByteArray();
    frame.truncate(int(size));
    return frame;
}

int modeOf(const QString& path, bool directory)
{
    return directory || (QFile::permissions(path) & QFileDevice::ExeOwner) ? 0755 : 0644;
}

} // namespace

bool DeltaWriter::fail(const QString& text)
{
    m_errorString = text;
    return false;
}

bool DeltaWriter::write(const QString& name, const QString& fromVersion, const QString& toVersion, const Tree& from,
    const Tree& to, const QString& deltaPath)
{
    m_reused = m_patched = m_whole = 0;
    m_unpackedSize = 0;
    QHash<QByteArray, QString> oldByContent;
    QHash<QString, FileFacts> oldFiles;
    for (const QString& file : from.files) {
        const QString path = QDir(from.root).filePath(file);
        const QFileInfo info(path);
        if (info.isSymLink() || !info.isFile())
            continue;
        QFile input(path);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (!input.open(QIODevice::ReadOnly) || !hash.addData(&input))
            return fail(QStringLiteral("cannot read %1").arg(path));
        oldFiles.insert(file, { quint64(info.size()), hash.result() });
        oldByContent.insert(hash.result(), file);
    }

    DeltaManifest manifest;
    manifest.name = name;
    manifest.fromVersion = fromVersion;
    manifest.toVersion = toVersion;
    for (const QString& directory : to.directories) {
        DeltaManifest::Entry entry;
        entry.path = directory;
        entry.type = DeltaManifest::Type::Directory;
        entry.mode = 0755;
        manifest.entries.append(entry);
    }

    QTemporaryFile payloads;
    if (!payloads.open())
        return fail(QStringLiteral("cannot create a temporary file: %1").arg(payloads.errorString()));
    quint64 offset = 0;
    for (const QString& file : to.files) {
        const QString path = QDir(to.root).filePath(file);
        const QFileInfo info(path);
        DeltaManifest::Entry entry;
        entry.path = file;
        if (info.isSymLink()) {
            entry.type = DeltaManifest::Type::Link;
            std::error_code error;
            const auto target = std::filesystem::read_symlink(std::filesystem::u8path(path.toStdString()), error);
            if (error)
                return fail(QStringLiteral("cannot read the link %1").arg(path));
            entry.linkTarget = QString::fromStdString(target.u8string());
            manifest.entries.append(entry);
            continue;
        }
        QByteArray content;
        if (!readWhole(path, &content))
            return fail(QStringLiteral("cannot read %1").arg(path));
        entry.mode = modeOf(path, false);
        entry.size = quint64(content.size());
        entry.sha256 = QCryptographicHash::hash(content, QCryptographicHash::Sha256);
        m_unpackedSize += entry.size;

        const FileFacts same = oldFiles.value(file);
        const QString reused = same.sha256 == entry.sha256 ? file : oldByContent.value(entry.sha256);
        if (!reused.isEmpty()) {
            entry.method = DeltaManifest::Method::Reused;
            entry.reference = reused;
            entry.referenceSize = entry.size;
            entry.referenceSha256 = entry.sha256;
            ++m_reused;
            manifest.entries.append(entry);
            continue;
        }
        QByteArray frame;
        entry.method = DeltaManifest::Method::Whole;
        if (!same.sha256.isEmpty() && same.size <= patchLimit() && entry.size <= patchLimit()) {
            QByteArray reference;
            if (!readWhole(QDir(from.root).filePath(file), &reference))
                return fail(QStringLiteral("cannot read %1").arg(QDir(from.root).filePath(file)));
            frame = compress(content, &reference, m_level);
            entry.method = DeltaManifest::Method::Patched;
            entry.reference = file;
            entry.referenceSize = same.size;
            entry.referenceSha256 = same.sha256;
        }
        // A patch of a few changes is far smaller than any whole frame; only
        // one that is not may lose to compressing the file on its own.
        if (frame.isEmpty() || frame.size() > content.size() / 8) {
            const QByteArray whole = compress(content, nullptr, m_level);
            if (frame.isEmpty() || (!whole.isEmpty() && whole.size() < frame.size())) {
                frame = whole;
                entry.method = DeltaManifest::Method::Whole;
            }
        }
        if (frame.isEmpty())
            return fail(QStringLiteral("cannot compress %1").arg(path));
        ++(entry.method == DeltaManifest::Method::Patched ? m_patched : m_whole);
        entry.offset = offset;
        entry.length = quint64(frame.size());
        offset += entry.length;
        if (payloads.write(frame) != frame.size())
            return fail(QStringLiteral("cannot write %1: %2").arg(payloads.fileName(), payloads.errorString()));
        manifest.entries.append(entry);
    }

    QSaveFile out(deltaPath);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const QByteArray head = manifest.head();
    if (!out.open(QIODevice::WriteOnly) || out.write(head) != head.size())
        return fail(QStringLiteral("cannot write %1: %2").arg(deltaPath, out.errorString()));
    hash.addData(head);
    payloads.seek(0);
    QByteArray block(1 << 20, Qt::Uninitialized);
    qint64 count = 0;
    while ((count = payloads.read(block.data(), block.size())) > 0) {
        if (out.write(block.constData(), count) != count)
            return fail(QStringLiteral("cannot write %1: %2").arg(deltaPath, out.errorString()));
        hash.addData(block.constData(), int(count));
    }
    if (count < 0 || !out.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(deltaPath, out.errorString()));
    m_size = quint64(head.size()) + offset;
    m_sha256 = hash.result();
    return true;
}

} // namespace Vondra
