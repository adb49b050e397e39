#pragma once

#include "Server.h"

#include <QString>

#include <future>
#include <memory>
#include <string>
#include <thread>

// An Http::HttpServer on a free loopback port, serving on a thread of its own
// from construction until stop() or destruction.
class TestServer
{
public:
    using Server = Http::HttpServer;

    // Adds the routes before it starts; the settings may be changed there too.
    TestServer(long headerTimeout, long contentTimeout, const std::function<void(Server&)>& setUp);
    ~TestServer();

    quint16 port() const { return m_port; }
    Server& server() { return *m_server; }
    QString startError() const { return m_startError; }

    // Stops the server and waits for start() to return; false if it did not
    // within timeoutMs.
    bool stop(int timeoutMs = 5000);
    // Destroys the stopped server and everything it still held.
    void destroy();

private:
    std::unique_ptr<Server> m_server;
    std::thread m_thread;
    std::future<void> m_finished;
    quint16 m_port = 0;
    QString m_startError;
};
