#include "TestServer.h"

#include <chrono>

TestServer::TestServer(long headerTimeout, long contentTimeout, const std::function<void(Server&)>& setUp)
    : m_server(std::make_unique<Server>(0, 4, headerTimeout, contentTimeout))
{
    m_server->settings.address = "127.0.0.1";
    setUp(*m_server);
    auto listening = std::make_shared<std::promise<quint16>>();
    std::future<quint16> port = listening->get_future();
    m_server->on_listening = [listening](unsigned short bound) { listening->set_value(bound); };
    std::packaged_task<void()> run([this, listening] {
        try {
            m_server->start();
        } catch (...) {
            listening->set_exception(std::current_exception());
            throw;
        }
    });
    m_finished = run.get_future();
    m_thread = std::thread(std::move(run));
    try {
        if (port.wait_for(std::chrono::seconds(5)) == std::future_status::ready)
            m_port = port.get();
        else
            m_startError = QStringLiteral("not listening after 5 s");
    } catch (const std::exception& error) {
        m_startError = QString::fromLocal8Bit(error.what());
    }
}

TestServer::~TestServer()
{
    stop();
    destroy();
}

bool TestServer::stop(int timeoutMs)
{
    if (!m_thread.joinable())
        return true;
    m_server->stop();
    if (m_finished.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready)
        return false;
    m_thread.join();
    return true;
}

void TestServer::destroy()
{
    if (!m_thread.joinable())
        m_server.reset();
}
