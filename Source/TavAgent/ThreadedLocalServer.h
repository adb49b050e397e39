#pragma once

#include <QLocalServer>
#include <QString>

namespace Vondra {

// A local server that serves every connection on a LocalThread of its own and
// passes the messages of all of them on as its own messageReceived, in the
// server's thread.
class ThreadedLocalServer : public QLocalServer
{
    Q_OBJECT

public:
    explicit ThreadedLocalServer(const QString& id, QObject* parent = nullptr);
    // Ends the connections still served: their threads must not outlive them.
    ~ThreadedLocalServer() override;

signals:
    void messageReceived(const QString& message);

protected:
    void incomingConnection(quintptr socketDescriptor) override;

private:
    QString m_id;
};

} // namespace Vondra
