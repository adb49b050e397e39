#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace Vondra {

class SingleApplicationPrivate;

// Tells whether another instance of the same application (name and version)
// already runs for this user, once, at construction: the first instance holds
// a claim that only this user's processes can take until it is destroyed or
// released. An observing guard only looks: it never holds the claim, so it
// never keeps an instance from starting.
//
// A listening guard also serves a named local server on which other instances
// hand it text messages (sendMessage), re-emitted as messageReceived in the
// guard's thread. Several listening guards of one process share one server.
class SingleApplication : public QObject
{
    Q_OBJECT

public:
    enum class Role { Instance, Observer };

    // The id is the application's name followed by its version, both set before.
    SingleApplication();
    SingleApplication(const QString& id, bool listen, Role role = Role::Instance);
    ~SingleApplication() override;

    // Whether another instance held the claim at construction; never changes.
    bool isRunning() const;
    // Whether another instance holds the claim at this moment.
    bool isRunningNow() const;

public slots:
    // Gives up the claim and closes the local server this guard opened, before
    // the guard goes, so that the next start is the first instance even while
    // this process is still ending. Safe to call twice, and from any thread.
    void release();

    // Hands message to the running instance; true only when it acknowledged it.
    bool sendMessage(const QString& message, int timeout = 500);

signals:
    void messageReceived(const QString& message);

private:
    std::unique_ptr<SingleApplicationPrivate> d;
};

} // namespace Vondra
