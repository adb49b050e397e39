#include "HashingFile.h"

#include <QMetaObject>

#include <sodium.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace Updater {

namespace {

constexpr qint64 hashBlockSize = 1024 * 1024;

} // namespace

class HashingFilePrivate
{
public:
    explicit HashingFilePrivate(HashingFile* q)
        : q(q)
    {
    }

    HashingFile* const q;
    QFile file;
    bool failed = false;
    bool isHashed = false;
    QByteArray digest;

    // Shared with the hashing thread.
    std::mutex mutex;
    std::condition_variable wake;
    qint64 written = 0;
    bool closed = false;
    bool stopping = false;
    QString readBackError;
    std::thread hasher;

    void hashWhileWritten();
    void stopHasher();
};

HashingFile::HashingFile(const QString& path, QObject* parent)
    : QIODevice(parent)
    , d(std::make_unique<HashingFilePrivate>(this))
{
    d->file.setFileName(path);
}

HashingFile::~HashingFile()
{
    d->stopHasher();
}

bool HashingFile::open(OpenMode mode)
{
    d->stopHasher();
    if (!d->file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        setErrorString(d->file.errorString());
        return false;
    }
    d->failed = false;
    d->isHashed = false;
    d->digest.clear();
    d->written = 0;
    d->closed = false;
    d->stopping = false;
    d->readBackError.clear();
    d->hasher = std::thread([this] { d->hashWhileWritten(); });
    return QIODevice::open(mode | QIODevice::Unbuffered);
}

void HashingFile::close()
{
    if (!isOpen())
        return;
    QIODevice::close();
    d->file.close();
    if (d->file.error() != QFileDevice::NoError) {
        d->failed = true;
        setErrorString(d->file.errorString());
    }
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->closed = true;
    }
    d->wake.notify_one();
}

void HashingFile::discard()
{
    d->stopHasher();
    QIODevice::close();
    d->file.close();
}

qint64 HashingFile::written() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->written;
}

bool HashingFile::hasFailed() const
{
    return d->failed;
}

bool HashingFile::isHashed() const
{
    return d->isHashed;
}

QByteArray HashingFile::sha256() const
{
    return d->digest;
}

qint64 HashingFile::readData(char*, qint64)
{
    return -1;
}

qint64 HashingFile::writeData(const char* data, qint64 size)
{
    // A short write (a disk filling up) says nothing about why; the next
    // attempt fails with the reason.
    for (qint64 done = 0; done < size;) {
        const qint64 count = d->file.write(data + done, size - done);
        if (count <= 0) {
            d->failed = true;
            setErrorString(d->file.errorString());
            return -1;
        }
        done += count;
    }
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->written += size;
    }
    d->wake.notify_one();
    return size;
}

void HashingFilePrivate::hashWhileWritten()
{
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    QFile in(file.fileName());
    QByteArray buffer(int(hashBlockSize), Qt::Uninitialized);
    qint64 hashed = 0;
    QString error;
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        error = in.errorString();

    while (error.isEmpty()) {
        qint64 available = 0;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [&] { return stopping || closed || written > hashed; });
            if (stopping)
                return;
            available = written - hashed;
            if (available == 0 && closed)
                break;
        }
        const qint64 count = in.read(buffer.data(), qMin(available, hashBlockSize));
        if (count <= 0) {
            error = count < 0 ? in.errorString() : HashingFile::tr("the file ended early");
            break;
        }
        crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(buffer.constData()), quint64(count));
        hashed += count;
    }

    QByteArray result(crypto_hash_sha256_BYTES, Qt::Uninitialized);
    crypto_hash_sha256_final(&state, reinterpret_cast<unsigned char*>(result.data()));
    // Handed over on the owner's thread, where the hashing thread is joined.
    QMetaObject::invokeMethod(
        q,
        [this, result, error] {
            stopHasher();
            isHashed = true;
            digest = result;
            if (!error.isEmpty()) {
                failed = true;
                q->setErrorString(HashingFile::tr("cannot read back %1: %2").arg(file.fileName(), error));
            }
            emit q->hashed();
        },
        Qt::QueuedConnection);
}

void HashingFilePrivate::stopHasher()
{
    if (!hasher.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    hasher.join();
}

} // namespace Updater
