#include "LocalThread.h"

#include "LocalFrame.h"

#include <QLocalSocket>

#include <memory>

namespace Vondra {

namespace {

constexpr int replyTimeoutMs = 500;

} // namespace

LocalThread::LocalThread(quintptr socketDescriptor, const QString& id, QObject* parent)
    : QThread(parent)
    , m_socketDescriptor(socketDescriptor)
    , m_id(id)
{
}

void LocalThread::run()
{
    const auto socket = std::make_unique<QLocalSocket>();
    m_socket = socket.get();
    connect(m_socket, &QLocalSocket::readyRead, this, &LocalThread::readyRead, Qt::DirectConnection);
    connect(m_socket, &QLocalSocket::disconnected, this, &QThread::quit, Qt::DirectConnection);
    if (m_socket->setSocketDescriptor(m_socketDescriptor, QLocalSocket::ConnectedState, QIODevice::ReadWrite)
        && LocalFrame::write(m_socket, m_id, replyTimeoutMs)) {
        // Frames that came in while the greeting went out raise no new readyRead.
        if (m_socket->bytesAvailable() > 0)
            readyRead();
        exec();
    }
    m_socket = nullptr;
}

void LocalThread::readyRead()
{
    while (m_socket && m_socket->state() == QLocalSocket::ConnectedState && m_socket->bytesAvailable() > 0) {
        QString message;
        if (LocalFrame::read(m_socket, &message) != LocalFrame::Status::Complete) {
            // Where this frame ends is unknown, so nothing after it can be
            // read as a frame either.
            m_socket->abort();
            quit();
            return;
        }
        LocalFrame::write(m_socket, m_id, replyTimeoutMs);
        emit messageReceived(message);
    }
}

} // namespace Vondra
