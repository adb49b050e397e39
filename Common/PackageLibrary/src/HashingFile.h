#pragma once

#include <QFile>
#include <QIODevice>

#include <memory>

namespace Updater {

struct HashingFileState;

// A write-only file that computes the SHA-256 of what is written to it on
// the way, so a download is checked without reading it back.
class HashingFile : public QIODevice
{
    Q_OBJECT

public:
    explicit HashingFile(const QString& path, QObject* parent = nullptr);
    ~HashingFile() override;

    // Truncates the file; only WriteOnly makes sense.
    bool open(OpenMode mode) override;
    // Flushes to the file system; check error() afterwards.
    void close() override;
    bool isSequential() const override { return true; }

    QString fileName() const { return m_file.fileName(); }
    qint64 written() const { return m_written; }
    bool hasFailed() const { return m_failed; }
    // The 32 raw bytes of the hash of everything written.
    QByteArray sha256() const;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    QFile m_file;
    std::unique_ptr<HashingFileState> m_state;
    qint64 m_written = 0;
    bool m_failed = false;
};

} // namespace Updater
