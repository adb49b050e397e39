#include "SingleApplication_p.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSharedMemory>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

// A System V segment is system-wide and outlives a holder killed with SIGKILL.
// So the segment's key file, the election lock and the server's socket live in
// a directory that only the user can enter ($XDG_RUNTIME_DIR, else a 0700
// directory of the user's under the temporary directory), and their names
// carry the user: another user can neither see nor claim them, and a process
// given a directory of its own gets a guard of its own. A segment is tied to
// its key file (ftok), so the key file's directory scopes it as well.

namespace Vondra::InstanceScope {

namespace {

bool isPrivateDirectory(const QByteArray& path, bool followLink)
{
    struct stat info = {};
    if ((followLink ? ::stat(path.constData(), &info) : ::lstat(path.constData(), &info)) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

QString privateDirectory()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/') && isPrivateDirectory(runtime, true))
        return QFile::decodeName(runtime);
    // In a shared directory someone else may have made the name first, even
    // as a link: only a real directory of ours, closed to others, will do.
    const QByteArray fallback = QFile::encodeName(QDir::tempPath()) + "/tavlo-" + QByteArray::number(::geteuid());
    if (::mkdir(fallback.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    return isPrivateDirectory(fallback, false) ? QFile::decodeName(fallback) : QString();
}

QString nativeName(const QString& key, const char* suffix)
{
    const QString directory = privateDirectory();
    if (directory.isEmpty())
        return {};
    return directory + QLatin1Char('/') + key + QLatin1Char('-') + QString::number(::geteuid()) + QLatin1String(suffix);
}

bool answers(const QString& name)
{
    QLocalSocket probe;
    probe.connectToServer(name);
    return probe.waitForConnected(200);
}

} // namespace

bool nameSegment(QSharedMemory& segment, const QString& key)
{
    const QString name = nativeName(key, ".shm");
    if (name.isEmpty())
        return false;
    segment.setNativeKey(name);
    return true;
}

// Qt removes a segment when its last attachment detaches, so attaching to a
// segment whose holder has gone and detaching again removes it; a living
// holder keeps it.
void clearStaleSegment(QSharedMemory& segment)
{
    if (segment.attach(QSharedMemory::ReadOnly))
        segment.detach();
}

QString serverName(const QString& key)
{
    return nativeName(key, ".socket");
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

Election::Election(const QString& key)
{
    const QString name = nativeName(key, ".lock");
    if (name.isEmpty())
        return;
    m_handle = ::open(QFile::encodeName(name).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_handle < 0)
        return;
    // The lock goes with the descriptor, also when the process is killed. The
    // file stays: removed, a start still waiting would lock a file nobody sees.
    while (::flock(m_handle, LOCK_EX) != 0 && errno == EINTR) { }
}

Election::~Election()
{
    if (m_handle >= 0)
        ::close(m_handle);
}

} // namespace Vondra::InstanceScope
