#pragma once

#include <QFile>
#include <QIODevice>

#include <memory>

namespace Updater {

class HashingFilePrivate;

// A write-only file whose SHA-256 is computed while it is written, on a thread
// of its own that reads back what was written (from the page cache): hashing
// is what bounds a download from a fast server, and this way it overlaps the
// network and the disk without holding any of the data in memory.
//
// After the last write, close() and wait for hashed(); then sha256() holds the
// result. Destroying the object at any time stops the thread.
class HashingFile : public QIODevice
{
    Q_OBJECT

public:
    explicit HashingFile(const QString& path, QObject* parent = nullptr);
    ~HashingFile() override;

    // Truncates the file and starts hashing; only WriteOnly makes sense.
    bool open(OpenMode mode) override;
    // Ends writing; hashed() follows once the hash has caught up.
    void close() override;
    // Ends writing and hashing at once; no hashed() follows.
    void discard();
    bool isSequential() const override { return true; }

    qint64 written() const;
    // A write, or reading back for the hash, failed; errorString() says why.
    bool hasFailed() const;
    // Whether hashed() came: the hash is complete, or reading back failed.
    bool isHashed() const;
    // The 32 raw bytes of the hash of everything written, once hashed() came.
    QByteArray sha256() const;

signals:
    void hashed();

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    friend class HashingFilePrivate;
    std::unique_ptr<HashingFilePrivate> d;
};

} // namespace Updater
