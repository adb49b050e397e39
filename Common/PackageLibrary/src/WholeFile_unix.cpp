#include "WholeFile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Updater {

namespace {

class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Without blocking: a FIFO in the file's place would otherwise hold the
// caller in open() until some writer came.
int openForReading(const QByteArray& path)
{
    int fd;
    do
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

// open, fstat, read, close: the size from fstat sizes the buffer one byte
// larger than the file, so the one read that fills it short has also met the
// end of a regular file. A file that grows meanwhile is read on to its end.
WholeFile::Result WholeFile::read(const QString& fileName, qint64 maximumSize, QByteArray* bytes, QString* error)
{
    bytes->clear();
    const Descriptor file(openForReading(QFile::encodeName(fileName)));
    if (file.get() < 0) {
        const int openError = errno;
        if (!QFileInfo::exists(fileName))
            return Missing;
        *error = qt_error_string(openError);
        return CannotOpen;
    }
    struct stat status;
    if (::fstat(file.get(), &status) != 0) {
        *error = qt_error_string(errno);
        return CannotOpen;
    }
    // QFile refuses to open a directory; so does this.
    if (S_ISDIR(status.st_mode)) {
        *error = qt_error_string(EISDIR);
        return CannotOpen;
    }
    // A FIFO, socket or device is read by nobody: it is no file of ours.
    if (!S_ISREG(status.st_mode))
        return Missing;
    if (status.st_size > maximumSize)
        return TooLarge;

    QByteArray buffer(int(status.st_size) + 1, Qt::Uninitialized);
    qint64 filled = 0;
    for (;;) {
        if (filled == buffer.size()) {
            if (filled > maximumSize)
                return TooLarge;
            buffer.resize(int(qMin<qint64>(qMax<qint64>(2 * filled, 4096), maximumSize + 1)));
        }
        const qint64 wanted = buffer.size() - filled;
        const ssize_t got = ::read(file.get(), buffer.data() + filled, size_t(wanted));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *error = qt_error_string(errno);
            return CannotRead;
        }
        filled += got;
        if (got == 0 || got < wanted)
            break;
    }
    buffer.resize(int(filled));
    *bytes = std::move(buffer);
    return Read;
}

} // namespace Updater
