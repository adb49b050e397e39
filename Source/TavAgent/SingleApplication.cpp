#include "SingleApplication.h"
#include "SingleApplication_p.h"

#include "LocalFrame.h"
#include "ThreadedLocalServer.h"

#include <QCoreApplication>
#include <QHash>
#include <QLocalSocket>
#include <QReadWriteLock>
#include <QRegExp>
#include <QThread>

namespace Vondra {

namespace {

constexpr int connectTimeoutMs = 200;

// The local servers of this process by key. A failed listen leaves a null
// entry, so a later listening guard tries again; entries are never removed.
struct ServerRegistry
{
    QReadWriteLock lock;
    QHash<QString, QPointer<ThreadedLocalServer>> servers;
};

ServerRegistry& serverRegistry()
{
    static ServerRegistry registry;
    return registry;
}

} // namespace

SingleApplicationPrivate::SingleApplicationPrivate(SingleApplication* guard)
    : q(guard)
{
}

QString SingleApplicationPrivate::cleanId(const QString& id)
{
    QString cleaned = id;
    cleaned.remove(QRegExp(QStringLiteral("[^A-Za-z0-9]")));
    return cleaned.isEmpty() ? QStringLiteral("SADEFAULTKEY") : cleaned;
}

QString SingleApplicationPrivate::keyFor(const QString& cleanId)
{
    return QStringLiteral("_sa_") + cleanId + QStringLiteral("_89FEA874");
}

void SingleApplicationPrivate::init(bool listen, bool observe)
{
    id = cleanId(id);
    key = keyFor(id);
    observer = observe;
    if (observe)
        running = InstanceScope::Claim::isHeld(key);
    else
        testFirstInstance();
    if (listen)
        joinServer();
}

void SingleApplicationPrivate::testFirstInstance()
{
    claim = std::make_unique<InstanceScope::Claim>(key);
    QString error;
    switch (claim->take(&error)) {
    case InstanceScope::Claim::Result::Taken:
        return;
    case InstanceScope::Claim::Result::HeldElsewhere:
        running = true;
        return;
    case InstanceScope::Claim::Result::Failed:
        qWarning(
            "QSharedMemory::create: %s (Used key is '%s')", error.toUtf8().constData(), key.toLatin1().constData());
        return;
    }
}

void SingleApplicationPrivate::joinServer()
{
    ServerRegistry& registry = serverRegistry();
    QWriteLocker locker(&registry.lock);
    ThreadedLocalServer* server = registry.servers.value(key);
    if (!server) {
        // The instance found serves the channel; this guard leaves it alone.
        if (running)
            return;
        auto created = std::make_unique<ThreadedLocalServer>(id, QCoreApplication::instance());
        if (!InstanceScope::listen(*created, InstanceScope::serverName(key))) {
            qWarning("QLocalServer::listen: %s (Used key is '%s')", created->errorString().toUtf8().constData(),
                key.toLatin1().constData());
            registry.servers.insert(key, nullptr);
            return;
        }
        server = created.release();
        registry.servers.insert(key, server);
        openedServer = server;
    }
    QObject::connect(
        server, &ThreadedLocalServer::messageReceived, q, &SingleApplication::messageReceived, Qt::QueuedConnection);
}

bool SingleApplicationPrivate::connectToInstance()
{
    if (socket && socket->state() == QLocalSocket::ConnectedState)
        return true;
    if (!socket)
        socket = new QLocalSocket(q);
    socket->connectToServer(InstanceScope::serverName(key), QIODevice::ReadWrite);
    if (socket->waitForConnected(connectTimeoutMs)) {
        QString greeting;
        if (LocalFrame::read(socket, &greeting) == LocalFrame::Status::Complete && greeting == id)
            return true;
        socket->disconnectFromServer();
        if (socket->state() != QLocalSocket::UnconnectedState)
            socket->waitForDisconnected(connectTimeoutMs);
    }
    socket->abort();
    return false;
}

// After a failed exchange the connection is out of step (a late
// acknowledgement would pass for the next one), so the next send starts over.
void SingleApplicationPrivate::dropConnection()
{
    socket->abort();
}

void SingleApplicationPrivate::releaseClaim()
{
    const QMutexLocker locker(&claimMutex);
    if (claim)
        claim->release();
    if (!openedServer)
        return;
    {
        ServerRegistry& registry = serverRegistry();
        QWriteLocker registryLocker(&registry.lock);
        registry.servers.insert(key, nullptr);
    }
    // The server belongs to the thread that opened it, which may be waiting
    // for this one: closed there, soon.
    QLocalServer* server = openedServer;
    QMetaObject::invokeMethod(server, &QLocalServer::close,
        server->thread() == QThread::currentThread() ? Qt::DirectConnection : Qt::QueuedConnection);
    openedServer = nullptr;
}

SingleApplication::SingleApplication()
    : SingleApplication(QCoreApplication::applicationName() + QCoreApplication::applicationVersion(), false)
{
}

SingleApplication::SingleApplication(const QString& id, bool listen, Role role)
    : d(std::make_unique<SingleApplicationPrivate>(this))
{
    d->id = id;
    d->init(listen, role == Role::Observer);
}

SingleApplication::~SingleApplication()
{
    d->releaseClaim();
}

bool SingleApplication::isRunning() const
{
    return d->running;
}

bool SingleApplication::isRunningNow() const
{
    const QMutexLocker locker(&d->claimMutex);
    return InstanceScope::Claim::isHeld(d->key) && !(d->claim && d->claim->isTaken());
}

void SingleApplication::release()
{
    d->releaseClaim();
}

bool SingleApplication::sendMessage(const QString& message, int timeout)
{
    // An observer may meet an instance that started after it looked.
    const bool found = d->running || (d->observer && isRunningNow());
    if (!found || !d->connectToInstance())
        return false;
    QString acknowledgement;
    if (!LocalFrame::write(d->socket, message, timeout)
        || LocalFrame::read(d->socket, &acknowledgement) != LocalFrame::Status::Complete || acknowledgement != d->id) {
        d->dropConnection();
        return false;
    }
    return true;
}

} // namespace Vondra
