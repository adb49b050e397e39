#pragma once

// Not part of the agent's interface: shared by SingleApplication, its
// platform sources and their tests.

#include <QMutex>
#include <QPointer>
#include <QString>

#include <memory>

class QLocalServer;
class QLocalSocket;

namespace Vondra {

class SingleApplication;
class ThreadedLocalServer;

// Where the guard's system objects live, one implementation per system
// (SingleApplication_unix.cpp, SingleApplication_win.cpp). Windows scopes them
// to the logon session by itself, and its kernel objects end with the last
// process holding them. Elsewhere they live in a directory that only the user
// can enter, named after the user.
namespace InstanceScope {

class ClaimPrivate;

// The first instance's hold on key, which only this user's processes can
// take, one at a time: the system lets go of it when the holder ends, however
// it ends, and child programs never inherit it.
class Claim
{
public:
    enum class Result { Taken, HeldElsewhere, Failed };

    explicit Claim(const QString& key);
    ~Claim();

    // Takes the claim unless another holder has it; error tells a failure.
    Result take(QString* error);
    // Lets go of a claim taken; safe when there is none.
    void release();
    bool isTaken() const;

    // Whether some holder has the claim on key at this moment; takes nothing,
    // so it never keeps a holder from starting.
    static bool isHeld(const QString& key);

private:
    Q_DISABLE_COPY(Claim)
    std::unique_ptr<ClaimPrivate> d;
};

// The name the local server for key listens under; empty when unavailable.
QString serverName(const QString& key);
// Listens on name, reachable by this user only.
bool listen(QLocalServer& server, const QString& name);

} // namespace InstanceScope

class SingleApplicationPrivate
{
public:
    explicit SingleApplicationPrivate(SingleApplication* guard);

    // Derives the key, tests for a first instance (unless observing) and, with
    // listen, joins or opens the local server.
    void init(bool listen, bool observe);

    // id without anything but ASCII letters and digits; "SADEFAULTKEY" when
    // nothing is left.
    static QString cleanId(const QString& id);
    // "_sa_" + id + "_89FEA874"; names the claim and the local server.
    static QString keyFor(const QString& cleanId);

    void testFirstInstance();
    void joinServer();
    bool connectToInstance();
    void dropConnection();
    void releaseClaim();

    SingleApplication* q;
    std::unique_ptr<InstanceScope::Claim> claim;
    QLocalSocket* socket = nullptr;
    bool running = false;
    bool observer = false;
    QString id;
    QString key;
    // The server this guard opened, closed when the claim goes.
    QPointer<ThreadedLocalServer> openedServer;
    // release() may come from another thread than the destructor.
    QMutex claimMutex;
};

} // namespace Vondra
