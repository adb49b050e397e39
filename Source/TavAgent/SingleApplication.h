#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace Vondra {

class SingleApplicationPrivate;

// Tells whether another instance of the same application (name and version)
// already runs for this user, once, at construction: the first instance holds
// a named shared-memory segment until it is destroyed or released.
//
// A listening guard also serves a named local server on which other instances
// hand it text messages (sendMessage), re-emitted as messageReceived in the
// guard's thread. Several listening guards of one process share one server.
class SingleApplication : public QObject
{
    Q_OBJECT

public:
    // The id is the application's name followed by its version, both set before.
    SingleApplication();
    SingleApplication(const QString& id, bool listen);
    ~SingleApplication() override;

    // Whether another instance held the segment at construction; never changes.
    bool isRunning() const;

public slots:
    // Gives up the segment before the guard goes, so that the next start is the
    // first instance even while this process is still ending (a local server
    // this process serves stays open). Safe to call twice, and from any thread.
    void release();

    // Hands message to the running instance; true only when it acknowledged it.
    bool sendMessage(const QString& message, int timeout = 500);

signals:
    void messageReceived(const QString& message);

private:
    std::unique_ptr<SingleApplicationPrivate> d;
};

} // namespace Vondra
