#pragma once

#include "BridgeSettings.h"
#include "Server.h"

#include <QThread>

#include <memory>

namespace Vondra {

class ListenThreadPrivate;

// The thread of the local bridge: runs the HTTP server with its two routes
// until stop(). POST /string echoes its body; every GET is a JSONP request
// whose "callback" item chooses the answer, which the application object
// gives. A server that cannot listen is logged once, and the thread ends
// while the agent goes on without its bridge.
class ListenThread : public QThread
{
    Q_OBJECT

public:
    ListenThread();
    // Stops the server and waits for the thread.
    ~ListenThread() override;

    // Takes effect at the next start().
    void setSettings(const BridgeSettings& settings);
    // Makes run() return soon, or at once when it comes first; from any thread.
    void stop();
    // The port listened on, or 0 while not listening.
    quint16 port() const;

    // The bridge's two routes, answered by the application object.
    static void addRoutes(Http::HttpServer& server, const BridgeSettings& settings);

protected:
    void run() override;

private:
    std::unique_ptr<ListenThreadPrivate> d;
};

} // namespace Vondra
