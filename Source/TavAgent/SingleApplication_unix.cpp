#include "SingleApplication_p.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// The claim is a write lock on a file, and the server's socket sits beside it,
// in a directory that only the user can enter: $XDG_RUNTIME_DIR, else a 0700
// directory of the user's under the temporary directory, else one in the
// user's own cache directory, which no other user can make first. Another
// user can neither see nor take them, and a process given a directory of its
// own gets a guard of its own. The lock goes with the process however it
// ends, so nothing stale is left to clear.

namespace Vondra::InstanceScope {

namespace {

// An open file description's own lock (Linux): a second claim of the same
// process is refused like any other, and closing some other descriptor of the
// file does not drop it.
#ifdef F_OFD_SETLK
constexpr int setLock = F_OFD_SETLK;
constexpr int getLock = F_OFD_GETLK;
#else
constexpr int setLock = F_SETLK;
constexpr int getLock = F_GETLK;
#endif

bool isPrivateDirectory(const QByteArray& path, bool followLink)
{
    struct stat info = {};
    if ((followLink ? ::stat(path.constData(), &info) : ::lstat(path.constData(), &info)) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// Ours, and nobody else may add to it.
bool isOwnDirectory(const QByteArray& path)
{
    struct stat info = {};
    return ::stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()
        && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// directory/name made 0700, unless something else already holds the name.
QString makePrivateDirectory(const QByteArray& directory, const QByteArray& name)
{
    const QByteArray path = directory + '/' + name;
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    return isPrivateDirectory(path, false) ? QFile::decodeName(path) : QString();
}

QByteArray cacheDirectory()
{
    const QByteArray cache = qgetenv("XDG_CACHE_HOME");
    if (cache.startsWith('/'))
        return cache;
    const QByteArray home = qgetenv("HOME");
    return home.startsWith('/') ? home + "/.cache" : QByteArray();
}

QString privateDirectory()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/') && isPrivateDirectory(runtime, true))
        return QFile::decodeName(runtime);
    // In a shared directory someone else may have made the name first, even
    // as a link: only a real directory of ours, closed to others, will do.
    const QString temporary
        = makePrivateDirectory(QFile::encodeName(QDir::tempPath()), "tavlo-" + QByteArray::number(::geteuid()));
    if (!temporary.isEmpty())
        return temporary;
    const QByteArray cache = cacheDirectory();
    if (cache.isEmpty() || !QDir().mkpath(QFile::decodeName(cache)) || !isOwnDirectory(cache))
        return {};
    return makePrivateDirectory(cache, "tavlo");
}

// One descriptor per directory, opened once; checked again once opened, as
// the name may have changed hands meanwhile.
int directoryHandle(const QString& directory)
{
    static QMutex mutex;
    static QHash<QString, int> handles;
    const QMutexLocker locker(&mutex);
    const auto found = handles.constFind(directory);
    if (found != handles.constEnd())
        return found.value();
    const int handle = ::open(QFile::encodeName(directory).constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info = {};
    if (handle >= 0
        && (::fstat(handle, &info) != 0 || info.st_uid != ::geteuid() || (info.st_mode & (S_IRWXG | S_IRWXO)) != 0)) {
        ::close(handle);
        return -1;
    }
    if (handle >= 0)
        handles.insert(directory, handle);
    return handle;
}

QString nativeName(const QString& directory, const QString& key, const char* suffix)
{
    return directory + QLatin1Char('/') + key + QLatin1Char('-') + QString::number(::geteuid()) + QLatin1String(suffix);
}

bool answers(const QString& name)
{
    QLocalSocket probe;
    probe.connectToServer(name);
    return probe.waitForConnected(200);
}

QString lockName(const QString& key)
{
    const QString directory = privateDirectory();
    return directory.isEmpty() ? QString() : nativeName(directory, key, ".lock");
}

int openLockFile(const QString& name)
{
    return ::open(QFile::encodeName(name).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

struct flock wholeFile(short type)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

} // namespace

class ClaimPrivate
{
public:
    explicit ClaimPrivate(const QString& key)
        : key(key)
    {
    }
    ~ClaimPrivate() { closeHandle(); }

    void closeHandle()
    {
        if (handle >= 0)
            ::close(handle);
        handle = -1;
    }

    const QString key;
    int handle = -1;
};

Claim::Claim(const QString& key)
    : d(std::make_unique<ClaimPrivate>(key))
{
}

Claim::~Claim() = default;

Claim::Result Claim::take(QString* error)
{
    const QString name = lockName(d->key);
    if (name.isEmpty()) {
        *error = QStringLiteral("no private directory for the lock");
        return Result::Failed;
    }
    const int handle = openLockFile(name);
    if (handle < 0) {
        *error = QString::fromLocal8Bit(::strerror(errno));
        return Result::Failed;
    }
    struct flock lock = wholeFile(F_WRLCK);
    if (::fcntl(handle, setLock, &lock) == 0) {
        d->handle = handle;
        return Result::Taken;
    }
    const int lockError = errno;
    ::close(handle);
    if (lockError == EAGAIN || lockError == EACCES)
        return Result::HeldElsewhere;
    *error = QString::fromLocal8Bit(::strerror(lockError));
    return Result::Failed;
}

// The file stays: removed, a start opening it at that moment would lock a
// file nobody else sees.
void Claim::release()
{
    d->closeHandle();
}

bool Claim::isTaken() const
{
    return d->handle >= 0;
}

bool Claim::isHeld(const QString& key)
{
    const QString name = lockName(key);
    if (name.isEmpty())
        return false;
    const int handle = openLockFile(name);
    if (handle < 0)
        return false;
    struct flock lock = wholeFile(F_WRLCK);
    const bool held = ::fcntl(handle, getLock, &lock) == 0 && lock.l_type != F_UNLCK;
    ::close(handle);
    return held;
}

// A socket's path is short (sockaddr_un), and a deep home directory is
// longer: the directory is then reached through a descriptor of this process,
// kept open for its life, "/proc/self/fd/<n>". Every process of the user finds
// the same socket so.
QString serverName(const QString& key)
{
    const QString directory = privateDirectory();
    if (directory.isEmpty())
        return {};
    const QString name = nativeName(directory, key, ".socket");
    if (QFile::encodeName(name).size() < qsizetype(sizeof(sockaddr_un::sun_path)))
        return name;
    const int handle = directoryHandle(directory);
    return handle < 0 ? QString() : nativeName(QStringLiteral("/proc/self/fd/%1").arg(handle), key, ".socket");
}

// The directory already keeps others out. A socket file left by a killed
// server would block every later one, so a name nobody answers on is taken
// over; a living server keeps its name.
bool listen(QLocalServer& server, const QString& name)
{
    if (name.isEmpty())
        return false;
    if (server.listen(name))
        return true;
    if (server.serverError() != QAbstractSocket::AddressInUseError || answers(name))
        return false;
    QLocalServer::removeServer(name);
    return server.listen(name);
}

} // namespace Vondra::InstanceScope
