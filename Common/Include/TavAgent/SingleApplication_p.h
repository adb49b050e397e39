#pragma once

// Not part of the agent's interface: shared by SingleApplication, its
// platform sources and their tests.

#include <QMutex>
#include <QPointer>
#include <QString>

class QLocalServer;
class QLocalSocket;
class QSharedMemory;

namespace Vondra {

class SingleApplication;

class SingleApplicationPrivate
{
public:
    explicit SingleApplicationPrivate(SingleApplication* guard);

    // Derives the key, tests for a first instance and, with listen, joins or
    // opens the local server.
    void init(bool listen);

    // id without anything but ASCII letters and digits; "SADEFAULTKEY" when
    // nothing is left.
    static QString cleanId(const QString& id);
    // "_sa_" + id + "_89FEA874"; names the segment and the local server.
    static QString keyFor(const QString& cleanId);

    void testFirstInstance();
    void joinServer();
    bool connectToInstance();
    void dropConnection();
    void releaseSegment();

    SingleApplication* q;
    QPointer<QSharedMemory> segment;
    QLocalSocket* socket = nullptr;
    bool running = false;
    QString id;
    QString key;
    // release() may come from another thread than the destructor.
    QMutex segmentMutex;
};

// Where the guard's system objects live, one implementation per system
// (SingleApplication_unix.cpp, SingleApplication_win.cpp). Windows scopes them
// to the logon session by itself, and its kernel objects end with the last
// process holding them. Elsewhere they live in a directory that only the user
// can enter, named after the user, and a segment can outlive a killed holder.
namespace InstanceScope {

// Gives segment its name for key; false when the scope cannot be set up.
bool nameSegment(QSharedMemory& segment, const QString& key);
// Removes a segment whose holder has gone without removing it.
void clearStaleSegment(QSharedMemory& segment);
// The name the local server for key listens under; empty when unavailable.
QString serverName(const QString& key);
// Listens on name, reachable by this user only.
bool listen(QLocalServer& server, const QString& name);

// Held while one start clears a stale segment and tests for the first
// instance, so that of several starts at once exactly one is elected.
class Election
{
public:
    explicit Election(const QString& key);
    ~Election();

private:
    Q_DISABLE_COPY(Election)
    int m_handle = -1;
};

} // namespace InstanceScope

} // namespace Vondra
