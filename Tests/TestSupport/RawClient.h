#pragma once

#include <QByteArray>
#include <QTcpSocket>

// A client whose every byte on the wire is the test's: it sends what it is
// given and reads responses by their Content-Length, nothing more.
class RawClient
{
public:
    explicit RawClient(quint16 port);

    bool isConnected() const;
    void send(const QByteArray& bytes);

    // One response (head and Content-Length body), or an empty array when the
    // connection closed or nothing complete arrived within timeoutMs.
    QByteArray readResponse(int timeoutMs = 5000);

    // Everything until the server closes; closed() tells whether it did
    // within timeoutMs.
    QByteArray readUntilClosed(int timeoutMs = 5000);
    bool closed() const { return m_closed; }

    QTcpSocket& socket() { return m_socket; }

private:
    bool waitForMore(int timeoutMs);

    QTcpSocket m_socket;
    QByteArray m_pending;
    bool m_closed = false;
};

QByteArray responseBody(const QByteArray& response);
