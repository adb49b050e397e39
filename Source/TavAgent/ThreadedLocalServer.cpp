#include "ThreadedLocalServer.h"

#include "LocalThread.h"

namespace Vondra {

ThreadedLocalServer::ThreadedLocalServer(const QString& id, QObject* parent)
    : QLocalServer(parent)
    , m_id(id)
{
}

ThreadedLocalServer::~ThreadedLocalServer()
{
    close();
    for (LocalThread* connection : findChildren<LocalThread*>(QString(), Qt::FindDirectChildrenOnly)) {
        connection->quit();
        connection->wait();
    }
}

void ThreadedLocalServer::incomingConnection(quintptr socketDescriptor)
{
    auto* connection = new LocalThread(socketDescriptor, m_id, this);
    connect(connection, &LocalThread::messageReceived, this, &ThreadedLocalServer::messageReceived);
    connect(connection, &QThread::finished, connection, &QObject::deleteLater);
    connection->start(QThread::InheritPriority);
}

} // namespace Vondra
