#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QLocalSocket;

namespace Vondra {

// The one unit on a local-socket connection between instances, in both
// directions: a big-endian quint32 counting the bytes that follow, then the
// text as QDataStream writes a QString (quint32 byte count, 0xFFFFFFFF for a
// null string, then UTF-16 big-endian). "ab" is 00 00 00 08 00 00 00 04 00 61
// 00 62.
//
// The reading side waits at most 250 ms per wait for more bytes and refuses a
// length above maxBodySize at once, so a peer can neither make it buffer
// without end nor pass off a malformed text as a message.
class LocalFrame
{
public:
    static constexpr quint32 maxBodySize = 1024 * 1024;
    static constexpr int readWaitMs = 250;

    enum class Status {
        Complete,
        Incomplete, // the peer fell silent, or the connection is gone
        Refused, // too long, or the bytes are not a text
    };

    static QByteArray encode(const QString& text);
    // The text of a frame's body (the bytes after the length); false when the
    // body is not exactly one text.
    static bool decodeBody(const QByteArray& body, QString* text);

    // Writes text as one frame; true once the bytes have left within timeout.
    static bool write(QLocalSocket* socket, const QString& text, int timeout);
    // Reads one frame; text is set only for a complete one.
    static Status read(QLocalSocket* socket, QString* text);
};

} // namespace Vondra
