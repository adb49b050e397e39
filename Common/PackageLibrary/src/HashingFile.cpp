#include "HashingFile.h"

#include <sodium.h>

namespace Updater {

// libsodium's SHA-256 is markedly faster than QCryptographicHash's, and
// hashing is what bounds a download from a fast server.
struct HashingFileState
{
    crypto_hash_sha256_state sha256;
};

HashingFile::HashingFile(const QString& path, QObject* parent)
    : QIODevice(parent)
    , m_file(path)
    , m_state(std::make_unique<HashingFileState>())
{
}

HashingFile::~HashingFile() = default;

bool HashingFile::open(OpenMode mode)
{
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        setErrorString(m_file.errorString());
        return false;
    }
    crypto_hash_sha256_init(&m_state->sha256);
    m_written = 0;
    m_failed = false;
    return QIODevice::open(mode | QIODevice::Unbuffered);
}

void HashingFile::close()
{
    QIODevice::close();
    m_file.close();
    if (m_file.error() != QFileDevice::NoError) {
        m_failed = true;
        setErrorString(m_file.errorString());
    }
}

QByteArray HashingFile::sha256() const
{
    crypto_hash_sha256_state copy = m_state->sha256;
    QByteArray digest(crypto_hash_sha256_BYTES, Qt::Uninitialized);
    crypto_hash_sha256_final(&copy, reinterpret_cast<unsigned char*>(digest.data()));
    return digest;
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
        const qint64 count = m_file.write(data + done, size - done);
        if (count <= 0) {
            m_failed = true;
            setErrorString(m_file.errorString());
            return -1;
        }
        done += count;
    }
    crypto_hash_sha256_update(&m_state->sha256, reinterpret_cast<const unsigned char*>(data), quint64(size));
    m_written += size;
    return size;
}

} // namespace Updater
