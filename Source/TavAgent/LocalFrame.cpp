#include "LocalFrame.h"

#include <QDataStream>
#include <QLocalSocket>
#include <QtEndian>

namespace Vondra {

namespace {

constexpr int lengthSize = sizeof(quint32);
constexpr QDataStream::Version streamVersion = QDataStream::Qt_5_4;

bool isConnected(const QLocalSocket* socket)
{
    return socket && socket->state() == QLocalSocket::ConnectedState;
}

// Waits, 250 ms at a time, until count bytes are buffered; false once a wait
// brings nothing.
bool waitForBytes(QLocalSocket* socket, qint64 count)
{
    while (socket->bytesAvailable() < count) {
        if (!socket->waitForReadyRead(LocalFrame::readWaitMs))
            return false;
    }
    return true;
}

} // namespace

QByteArray LocalFrame::encode(const QString& text)
{
    QByteArray frame;
    QDataStream stream(&frame, QIODevice::WriteOnly);
    stream.setVersion(streamVersion);
    stream << quint32(0) << text;
    stream.device()->seek(0);
    stream << quint32(frame.size() - lengthSize);
    return frame;
}

bool LocalFrame::decodeBody(const QByteArray& body, QString* text)
{
    QDataStream stream(body);
    stream.setVersion(streamVersion);
    QString decoded;
    stream >> decoded;
    if (stream.status() != QDataStream::Ok || !stream.atEnd())
        return false;
    *text = decoded;
    return true;
}

bool LocalFrame::write(QLocalSocket* socket, const QString& text, int timeout)
{
    if (!isConnected(socket))
        return false;
    if (socket->write(encode(text)) == -1)
        return false;
    return socket->waitForBytesWritten(timeout);
}

LocalFrame::Status LocalFrame::read(QLocalSocket* socket, QString* text)
{
    if (!isConnected(socket) || !waitForBytes(socket, lengthSize))
        return Status::Incomplete;
    const quint32 bodySize = qFromBigEndian<quint32>(socket->read(lengthSize).constData());
    if (bodySize > maxBodySize)
        return Status::Refused;
    if (!waitForBytes(socket, bodySize))
        return Status::Incomplete;
    return decodeBody(socket->read(bodySize), text) ? Status::Complete : Status::Refused;
}

} // namespace Vondra
