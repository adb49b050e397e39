#pragma once

#include <QString>
#include <QThread>

class QLocalSocket;

namespace Vondra {

// Serves one accepted connection of a ThreadedLocalServer on a thread of its
// own: greets the client with the id, acknowledges every complete frame with
// the id and passes its text on as messageReceived. Ends when the client
// disconnects, or when it sends something that is not a frame.
//
// The socket is made, read, written and destroyed inside run(), and readyRead()
// is connected to it directly, so it runs on this thread as well: no other
// thread ever touches the socket. The thread object itself belongs to the
// server's thread.
class LocalThread : public QThread
{
    Q_OBJECT

public:
    LocalThread(quintptr socketDescriptor, const QString& id, QObject* parent = nullptr);

signals:
    void messageReceived(const QString& message);

public slots:
    void readyRead();

protected:
    void run() override;

private:
    quintptr m_socketDescriptor;
    QString m_id;
    QLocalSocket* m_socket = nullptr;
};

} // namespace Vondra
