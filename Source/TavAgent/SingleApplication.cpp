#include "SingleApplication.h"
#include "SingleApplication_p.h"

#include "LocalFrame.h"
#include "ThreadedLocalServer.h"

#include <QCoreApplication>
#include <QHash>
#include <QLocalSocket>
#include <QReadWriteLock>
#include <QRegExp>
#include <QSharedMemory>
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

void SingleApplicationPrivate::init(bool listen)
{
    id = cleanId(id);
    key = keyFor(id);
    testFirstInstance();
    if (listen)
        joinServer();
}

void SingleApplicationPrivate::testFirstInstance()
{
    auto* created = new QSharedMemory(QCoreApplication::instance());
    segment = created;
    if (!InstanceScope::nameSegment(*created, key)) {
        qWarning("QSharedMemory::create: %s (Used key is '%s')", "no private directory for the segment",
            key.toLatin1().constData());
        return;
    }
    const InstanceScope::Election election(key);
    InstanceScope::clearStaleSegment(*created);
    if (created->create(1, QSharedMemory::ReadWrite))
        return;
    if (created->error() == QSharedMemory::AlreadyExists) {
        running = true;
        return;
    }
    qWarning("QSharedMemory::create: %s (Used key is '%s')", created->errorString().toUtf8().constData(),
        key.toLatin1().constData());
}

void SingleApplicationPrivate::joinServer()
{
    ServerRegistry& registry = serverRegistry();
    QWriteLocker locker(&registry.lock);
    ThreadedLocalServer* server = registry.servers.value(key);
    if (!server) {
        auto created = std::make_unique<ThreadedLocalServer>(id, QCoreApplication::instance());
        if (!InstanceScope::listen(*created, InstanceScope::serverName(key))) {
            qWarning("QLocalServer::listen: %s (Used key is '%s')", created->errorString().toUtf8().constData(),
                key.toLatin1().constData());
            registry.servers.insert(key, nullptr);
            return;
        }
        server = created.release();
        registry.servers.insert(key, server);
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

void SingleApplicationPrivate::releaseSegment()
{
    const QMutexLocker locker(&segmentMutex);
    if (segment) {
        segment->detach();
        // Deleted by its own thread only; a detached segment holds nothing.
        if (segment->thread() == QThread::currentThread())
            delete segment.data();
    }
}

SingleApplication::SingleApplication()
    : SingleApplication(QCoreApplication::applicationName() + QCoreApplication::applicationVersion(), false)
{
}

SingleApplication::SingleApplication(const QString& id, bool listen)
    : d(std::make_unique<SingleApplicationPrivate>(this))
{
    d->id = id;
    d->init(listen);
}

SingleApplication::~SingleApplication()
{
    d->releaseSegment();
}

bool SingleApplication::isRunning() const
{
    return d->running;
}

void SingleApplication::release()
{
    d->releaseSegment();
}

bool SingleApplication::sendMessage(const QString& message, int timeout)
{
    if (!d->running || !d->connectToInstance())
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
