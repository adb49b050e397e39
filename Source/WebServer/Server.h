#pragma once

#include "ServerBase.h"

namespace Http {

template <typename socket_type> class Server;

// The server over plain TCP connections.
template <> class Server<boost::asio::ip::tcp::socket> : public ServerBase<boost::asio::ip::tcp::socket>
{
public:
    using socket_type = boost::asio::ip::tcp::socket;

    Server(unsigned short port, std::size_t thread_count, long header_timeout, long content_timeout)
        : ServerBase<socket_type>(port, thread_count, header_timeout, content_timeout)
    {
    }

protected:
    // Exactly one accept is pending while the server serves: each completion
    // posts the next one before it looks at its own connection.
    void accept_next() override
    {
        auto socket = std::make_shared<socket_type>(io_service);
        acceptor.async_accept(*socket, [this, socket](const boost::system::error_code& error) mutable {
            if (error == boost::asio::error::operation_aborted)
                return; // the acceptor was closed
            if (error) {
                accept_after_pause();
                return;
            }
            accept_next();
            keepFromChildProcesses(socket->native_handle()); // a refusal leaves a connection a child could hold
            serve(std::move(socket));
        });
    }
};

using HttpServer = Server<boost::asio::ip::tcp::socket>;

} // namespace Http
