#include "RawClient.h"

#include <QDeadlineTimer>
#include <QHostAddress>

namespace {

// Length of the first complete response in stream, or 0.
int completeResponseLength(const QByteArray& stream)
{
    const int headEnd = stream.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return 0;
    int length = 0;
    for (const QByteArray& line : stream.left(headEnd).split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length")
            length = line.mid(colon + 1).trimmed().toInt();
    }
    const int total = headEnd + 4 + length;
    return stream.size() >= total ? total : 0;
}

} // namespace

RawClient::RawClient(quint16 port)
{
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    m_socket.waitForConnected(5000);
}

bool RawClient::isConnected() const
{
    return m_socket.state() == QAbstractSocket::ConnectedState;
}

void RawClient::send(const QByteArray& bytes)
{
    m_socket.write(bytes);
    while (m_socket.bytesToWrite() > 0 && m_socket.waitForBytesWritten(5000)) { }
}

bool RawClient::waitForMore(int timeoutMs)
{
    if (m_closed)
        return false;
    if (m_socket.waitForReadyRead(timeoutMs)) {
        m_pending += m_socket.readAll();
        return true;
    }
    m_pending += m_socket.readAll();
    if (m_socket.state() != QAbstractSocket::ConnectedState
        || m_socket.error() == QAbstractSocket::RemoteHostClosedError)
        m_closed = true;
    return false;
}

QByteArray RawClient::readResponse(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    m_pending += m_socket.readAll();
    int length = completeResponseLength(m_pending);
    while (length == 0 && !deadline.hasExpired()) {
        if (!waitForMore(int(deadline.remainingTime())) && m_closed)
            break;
        length = completeResponseLength(m_pending);
    }
    const QByteArray response = m_pending.left(length);
    m_pending.remove(0, length);
    return response;
}

QByteArray RawClient::readUntilClosed(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!m_closed && !deadline.hasExpired())
        waitForMore(int(deadline.remainingTime()));
    QByteArray all = m_pending + m_socket.readAll();
    m_pending.clear();
    return all;
}

QByteArray responseBody(const QByteArray& response)
{
    const int headEnd = response.indexOf("\r\n\r\n");
    return headEnd < 0 ? QByteArray() : response.mid(headEnd + 4);
}
