#pragma once

#include "ChildProcesses.h"
#include "FreedMemory.h"
#include "RequestHead.h"
#include "ServerSettings.h"
#include "StackProbe.h"

#include <QtGlobal>

#include <boost/asio.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/regex.hpp>

#include <algorithm>
#include <atomic>
#include <functional>
#include <istream>
#include <locale>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Http {

// An HTTP/1.x server whose handlers write complete raw responses. The owner
// fills `routes` (pattern -> method -> handler) and calls start(), which serves
// on the calling thread and thread_count - 1 workers until stop().
//
// Each connection is served by one stackful coroutine on the connection's
// strand, which reads a request, runs its handler and sends the answer, then
// reads the next one; the connection's timeout runs on the same strand. Only
// the coroutine holds the connection (the timeout watches it weakly), so the
// connection, its socket and its timer go as soon as the coroutine ends, or
// is destroyed with the server. Handlers run on the coroutine's stack; a
// kept-alive connection keeps that stack instead of allocating one per
// request. A second after connections have ended, the memory they freed is
// given back to the system, so a burst does not leave the process larger.
template <typename socket_type> class ServerBase
{
public:
    class Content : public std::istream
    {
    public:
        explicit Content(boost::asio::streambuf& buffer)
            : std::istream(&buffer)
            , m_buffer(buffer)
        {
        }

        std::size_t size() const { return m_buffer.size(); }

        // Every byte not yet read.
        std::string text()
        {
            const auto data = m_buffer.data();
            std::string result(boost::asio::buffers_begin(data), boost::asio::buffers_end(data));
            m_buffer.consume(result.size());
            return result;
        }

    private:
        boost::asio::streambuf& m_buffer;
    };

    class Request
    {
    public:
        std::string method;
        std::string path;
        std::string protocol_version;

    private:
        boost::asio::streambuf buffer;

    public:
        Content content;
        Headers headers;
        boost::smatch path_groups;
        std::string remote_address;
        unsigned short remote_port = 0;

    private:
        friend class ServerBase<socket_type>;

        Request()
            : content(buffer)
        {
        }

        std::uint64_t content_length = 0;
        // Bytes of the next request that arrived with this one.
        std::string pipelined;
    };

    using yield_type
        = boost::asio::basic_yield_context<boost::asio::executor_binder<void (*)(), boost::asio::io_service::strand>>;

    // The whole response, status line and headers included; it leaves in one
    // write once the handler has returned, or earlier through send().
    class Response : public std::ostream
    {
    public:
        std::size_t size() const { return m_buffer.size(); }

        // Suspends the handler until every byte written so far has been sent.
        void send()
        {
            boost::system::error_code error;
            m_buffer.consume(m_socket->write_some(m_buffer.data(), error));
            if (error == boost::asio::error::would_block || error == boost::asio::error::try_again)
                error.clear();
            if (!error && m_buffer.size() > 0)
                boost::asio::async_write(*m_socket, m_buffer, m_yield[error]);
            if (error)
                throw std::runtime_error(error.message());
        }

    private:
        friend class ServerBase<socket_type>;

        Response(std::shared_ptr<socket_type> socket, yield_type yield)
            : std::ostream(&m_buffer)
            , m_socket(std::move(socket))
            , m_yield(std::move(yield))
        {
            // A global locale that groups digits would turn a Content-Length
            // of 1234 into "1,234".
            imbue(std::locale::classic());
        }

        boost::asio::streambuf m_buffer;
        std::shared_ptr<socket_type> m_socket;
        yield_type m_yield;
    };

    using RouteHandler = std::function<void(Response&, std::shared_ptr<Request>)>;

    static constexpr std::size_t handler_stack_size = 64 * 1024;

    virtual ~ServerBase() = default;

    ServerBase(const ServerBase&) = delete;
    ServerBase& operator=(const ServerBase&) = delete;

    // Serves until stop(). Throws boost::system::system_error whose text
    // begins with "open", "set_option", "bind" or "listen" when the listening
    // socket cannot be set up.
    void start()
    {
        {
            std::lock_guard<std::mutex> lock(state_mutex);
            if (stop_requested) { // stopped before it started
                stop_requested = false;
                return;
            }
            compile_routes();
            returnLargeBlocksWhenFreed();
            if (io_service.stopped())
                io_service.restart();
            open_acceptor();
        }
        if (on_listening)
            on_listening(bound_port());
        accept_next();
        for (std::size_t i = 1; i < settings.thread_count; ++i)
            workers.emplace_back([this] { run_io_service(); });
        run_io_service();
        for (auto& worker : workers)
            worker.join();
        workers.clear();

        std::lock_guard<std::mutex> lock(state_mutex);
        boost::system::error_code ignored; // nothing is pending on it any more
        acceptor.close(ignored);
        listening_port = 0;
        stop_requested = false;
    }

    // Makes start() return once every I/O thread has left its current step;
    // callable from any thread. Connections still open are freed with the
    // server. A stop that comes before start() makes that start() return at
    // once.
    void stop()
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        stop_requested = true;
        io_service.stop();
    }

    // The port being listened on (useful with port 0), or 0 when not listening.
    unsigned short bound_port() const { return listening_port; }

    // The deepest use of a connection coroutine's stack seen so far, in bytes
    // below the coroutine's first frame of this class, counted once the
    // connection has ended; recorded when settings.measure_stack_use is on.
    std::size_t deepest_stack_use() const { return deepest_stack; }

    ServerSettings settings;
    std::unordered_map<std::string, std::unordered_map<std::string, RouteHandler>> routes;
    std::unordered_map<std::string, RouteHandler> default_routes;
    // Called by start() on its thread once the server listens, with the port.
    std::function<void(unsigned short)> on_listening;

protected:
    ServerBase(unsigned short port, std::size_t thread_count, long header_timeout, long content_timeout)
        : acceptor(io_service)
        , accept_pause(io_service)
        , housekeeping(io_service)
        , release_timer(io_service)
        , header_timeout(header_timeout)
        , content_timeout(content_timeout)
    {
        settings.port = port;
        settings.thread_count = thread_count;
    }

    virtual void accept_next() = 0;

    // After a failed accept: the cause (out of descriptors, say) would most
    // likely fail the next accept at once too, so wait a moment instead of
    // spinning.
    void accept_after_pause()
    {
        boost::system::error_code error;
        accept_pause.expires_from_now(boost::posix_time::milliseconds(100), error);
        if (error) {
            accept_next();
            return;
        }
        accept_pause.async_wait([this](const boost::system::error_code& waitError) {
            if (!waitError)
                accept_next();
        });
    }

    // What one connection keeps across its requests. Every step of the
    // connection, its timeout included, runs on its strand.
    struct Connection
    {
        Connection(boost::asio::io_service& io_service, std::shared_ptr<socket_type> accepted)
            : socket(std::move(accepted))
            , strand(io_service)
            , timer(io_service)
        {
        }

        std::shared_ptr<socket_type> socket;
        boost::asio::io_service::strand strand;
        // One timer guards every step: a step moves the deadline rather than
        // starting and cancelling a timer of its own.
        boost::asio::deadline_timer timer;
        boost::posix_time::ptime deadline { boost::posix_time::pos_infin };
        bool timer_waiting = false;
        std::string remote_address;
        unsigned short remote_port = 0;
    };

    // Serves an accepted connection. The socket is switched to non-blocking
    // use, so that a response is written at once and waits only when the
    // peer's window is full.
    void serve(std::shared_ptr<socket_type> socket)
    {
        boost::system::error_code error;
        socket->set_option(boost::asio::ip::tcp::no_delay(true), error);
        if (!error)
            socket->non_blocking(true, error);
        if (error) // the peer is gone already
            return;
        auto connection = std::make_shared<Connection>(io_service, std::move(socket));
        read_remote_endpoint(*connection);
        boost::asio::spawn(
            connection->strand,
            [this, connection](auto yield) {
                {
                    StackProbe probe(settings.measure_stack_use ? &deepest_stack : nullptr, handler_stack_size);
                    serve_requests(connection, yield);
                }
                release_memory_soon();
            },
            boost::coroutines::attributes(handler_stack_size));
    }

    // Closes the connection's socket unless the step it guards ends within
    // `seconds`; a closed socket makes any pending read or write fail.
    void arm_timeout(const std::shared_ptr<Connection>& connection, long seconds)
    {
        const auto deadline = boost::asio::deadline_timer::traits_type::now() + boost::posix_time::seconds(seconds);
        connection->deadline = deadline;
        if (connection->timer_waiting && connection->timer.expires_at() <= deadline)
            return; // the wait under way wakes up in time and waits on from there
        boost::system::error_code error;
        connection->timer.expires_at(deadline, error);
        if (error) { // a connection that cannot be timed out is not served
            close_socket(*connection->socket);
            return;
        }
        wait_for_deadline(connection);
    }

    static void disarm_timeout(Connection& connection) { connection.deadline = boost::posix_time::pos_infin; }

private:
    static constexpr std::size_t read_chunk = 8 * 1024;

    // The wait holds the connection only weakly: a connection whose steps are
    // all done goes at once, and its timer with it.
    static void wait_for_deadline(const std::shared_ptr<Connection>& connection)
    {
        connection->timer_waiting = true;
        connection->timer.async_wait(boost::asio::bind_executor(
            connection->strand, [weak = std::weak_ptr<Connection>(connection)](const boost::system::error_code& error) {
                const auto connection = weak.lock();
                if (error || !connection) // moved to an earlier deadline, or gone
                    return;
                connection->timer_waiting = false;
                if (connection->deadline.is_pos_infinity())
                    return;
                if (boost::asio::deadline_timer::traits_type::now() >= connection->deadline) {
                    close_socket(*connection->socket);
                    return;
                }
                boost::system::error_code ignored; // at worst it wakes up early and waits again
                connection->timer.expires_at(connection->deadline, ignored);
                wait_for_deadline(connection);
            }));
    }

    // Once a second at most, and only after connections have ended: an idle
    // server never wakes up for it. By the time the timer fires, the ended
    // connections' stacks and buffers are freed.
    void release_memory_soon()
    {
        boost::asio::post(housekeeping, [this] {
            if (release_pending)
                return;
            boost::system::error_code error;
            release_timer.expires_from_now(boost::posix_time::seconds(1), error);
            if (error) // the next ended connection tries again
                return;
            release_pending = true;
            release_timer.async_wait(boost::asio::bind_executor(housekeeping, [this](const boost::system::error_code&) {
                release_pending = false;
                releaseFreedMemory();
            }));
        });
    }

    static void close_socket(socket_type& socket)
    {
        // The peer may be gone already; either way the socket ends here.
        boost::system::error_code ignored;
        socket.shutdown(socket_type::shutdown_both, ignored);
        socket.close(ignored);
    }

    static void read_remote_endpoint(Connection& connection)
    {
        boost::system::error_code error;
        const auto endpoint = connection.socket->remote_endpoint(error);
        if (error)
            return;
        std::string address = endpoint.address().to_string(error);
        if (error)
            return;
        connection.remote_address = std::move(address);
        connection.remote_port = endpoint.port();
    }

    static std::string_view buffered(const boost::asio::streambuf& buffer)
    {
        return std::string_view(static_cast<const char*>(buffer.data().data()), buffer.size());
    }

    static void append(boost::asio::streambuf& buffer, std::string_view bytes)
    {
        auto space = buffer.prepare(bytes.size());
        boost::asio::buffer_copy(space, boost::asio::buffer(bytes.data(), bytes.size()));
        buffer.commit(bytes.size());
    }

    void compile_routes()
    {
        compiled_routes.clear();
        for (const auto& [pattern, methods] : routes) {
            for (const auto& [method, handler] : methods) {
                auto entry = std::find_if(compiled_routes.begin(), compiled_routes.end(),
                    [&method = method](const auto& candidate) { return candidate.first == method; });
                if (entry == compiled_routes.end())
                    entry = compiled_routes.insert(compiled_routes.end(), { method, {} });
                entry->second.emplace_back(boost::regex(pattern), handler);
            }
        }
    }

    void open_acceptor()
    {
        const boost::asio::ip::tcp::endpoint endpoint = settings.address.empty()
            ? boost::asio::ip::tcp::endpoint(boost::asio::ip::tcp::v4(), settings.port)
            : boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(settings.address), settings.port);
        boost::system::error_code error;
        const char* step = "open";
        acceptor.open(endpoint.protocol(), error);
        if (!error) {
            step = "keep from child processes";
            if (const int refusal = keepFromChildProcesses(acceptor.native_handle()))
                error = boost::system::error_code(refusal, boost::system::system_category());
        }
        if (!error) {
            step = "set_option";
            acceptor.set_option(boost::asio::socket_base::reuse_address(settings.reuse_address), error);
        }
        if (!error) {
            step = "bind";
            acceptor.bind(endpoint, error);
        }
        if (!error) {
            step = "listen";
            acceptor.listen(boost::asio::socket_base::max_listen_connections, error);
        }
        if (!error)
            listening_port = acceptor.local_endpoint(error).port();
        if (error) {
            boost::system::error_code ignored; // the error being raised is the one that counts
            acceptor.close(ignored);
            throw boost::system::system_error(error, step);
        }
    }

    // A completion that throws must not take the thread, or the server, with
    // it: report it and go on serving.
    void run_io_service()
    {
        for (;;) {
            try {
                io_service.run();
                return;
            } catch (const std::exception& error) {
                qWarning("HTTP server: %s", error.what());
            } catch (...) {
                qWarning("HTTP server: unknown exception");
            }
        }
    }

    void serve_requests(const std::shared_ptr<Connection>& connection, const yield_type& yield)
    {
        std::string pipelined;
        for (;;) {
            std::shared_ptr<Request> request(new Request);
            request->remote_address = connection->remote_address;
            request->remote_port = connection->remote_port;
            append(request->buffer, pipelined);
            if (!read_head(connection, *request, yield))
                return;
            const RouteHandler* handler = dispatch(*request);
            if (!handler || !respond(connection, request, *handler, yield))
                return;
            if (!keeps_alive(request->protocol_version, request->headers))
                return;
            pipelined = std::move(request->pipelined);
        }
    }

    // Reads and parses the head and reads the declared content; false when the
    // connection ends.
    bool read_head(const std::shared_ptr<Connection>& connection, Request& request, const yield_type& yield)
    {
        if (header_timeout > 0)
            arm_timeout(connection, header_timeout);
        std::size_t head_end = 0;
        for (std::size_t searched = 0; head_end == 0;) {
            const std::string_view data = buffered(request.buffer);
            head_end = find_head_end(data, searched);
            if (head_end == 0 && data.size() >= settings.max_head_size)
                return false;
            searched = data.size();
            if (head_end == 0 && data.empty() && !wait_until_readable(*connection, yield))
                return false;
            if (head_end == 0 && !read_some(*connection, request.buffer, read_chunk, yield))
                return false;
        }
        disarm_timeout(*connection);
        if (head_end > settings.max_head_size || !take_head(request, head_end))
            return false;
        if (declares_transfer_coding(request.headers))
            return false;

        switch (parse_content_length(request.headers, request.content_length)) {
        case ContentLength::Malformed:
            return false;
        case ContentLength::Absent:
            request.content_length = 0;
            break;
        case ContentLength::Declared:
            if (request.content_length > settings.max_content_length)
                return false;
            break;
        }
        if (!read_content(connection, request, yield))
            return false;
        set_aside_pipelined(request);
        return true;
    }

    // Parses the head at the start of the buffer and leaves only what
    // follows it there.
    static bool take_head(Request& request, std::size_t head_end)
    {
        RequestHead head;
        if (!parse_head(buffered(request.buffer).substr(0, head_end), head))
            return false;
        request.buffer.consume(head_end);
        request.method = std::move(head.method);
        request.path = std::move(head.path);
        request.protocol_version = std::move(head.protocol_version);
        request.headers = std::move(head.headers);
        return true;
    }

    bool read_content(const std::shared_ptr<Connection>& connection, Request& request, const yield_type& yield)
    {
        if (request.buffer.size() >= request.content_length)
            return true;
        if (content_timeout > 0)
            arm_timeout(connection, content_timeout);
        while (request.buffer.size() < request.content_length) {
            const std::size_t missing = std::size_t(request.content_length) - request.buffer.size();
            if (!read_some(*connection, request.buffer, std::min(missing, read_chunk * 8), yield))
                return false;
        }
        disarm_timeout(*connection);
        return true;
    }

    // Reads up to `most` bytes; false when the connection has ended (closed
    // by the peer or by a timeout). Asio tries the read at once only while
    // the socket may hold more than the last read took, so a drained socket
    // costs no system call until it is readable again.
    static bool read_some(
        Connection& connection, boost::asio::streambuf& buffer, std::size_t most, const yield_type& yield)
    {
        boost::system::error_code error;
        const std::size_t received = connection.socket->async_read_some(buffer.prepare(most), yield[error]);
        if (error)
            return false;
        buffer.commit(received);
        return true;
    }

    // A connection that waits for its next request holds no read buffer
    // meanwhile: thousands of idle ones would hold megabytes, and scatter
    // them among what the server keeps, where freeing them cannot give the
    // pages back.
    static bool wait_until_readable(Connection& connection, const yield_type& yield)
    {
        boost::system::error_code error;
        connection.socket->async_wait(socket_type::wait_read, yield[error]);
        return !error;
    }

    // The content is exactly the declared length; what follows it belongs to
    // the next request on this connection.
    static void set_aside_pipelined(Request& request)
    {
        const std::string_view data = buffered(request.buffer);
        if (data.size() <= request.content_length)
            return;
        const std::size_t length = std::size_t(request.content_length);
        request.pipelined.assign(data.substr(length));
        const std::string content(data.substr(0, length));
        request.buffer.consume(data.size());
        append(request.buffer, content);
    }

    // The handler of the first pattern of the request's method that matches
    // the whole path, else the method's default handler, else none.
    const RouteHandler* dispatch(Request& request)
    {
        for (auto& [method, patterns] : compiled_routes) {
            if (method != request.method)
                continue;
            for (auto& [pattern, handler] : patterns) {
                boost::smatch groups;
                if (boost::regex_match(request.path, groups, pattern)) {
                    request.path_groups = std::move(groups);
                    return &handler;
                }
            }
        }
        const auto fallback = default_routes.find(request.method);
        return fallback != default_routes.end() ? &fallback->second : nullptr;
    }

    // Runs the handler and sends what it wrote; false when the connection ends.
    bool respond(const std::shared_ptr<Connection>& connection, const std::shared_ptr<Request>& request,
        const RouteHandler& handler, const yield_type& yield)
    {
        if (content_timeout > 0)
            arm_timeout(connection, content_timeout);
        Response response(connection->socket, yield);
        try {
            handler(response, request);
            if (response.size() > 0)
                response.send();
        } catch (const std::exception&) {
            return false;
        }
        disarm_timeout(*connection);
        return true;
    }

    std::mutex state_mutex;
    bool stop_requested = false;
    std::atomic<unsigned short> listening_port { 0 };
    std::atomic<std::size_t> deepest_stack { 0 };

protected:
    std::vector<std::pair<std::string, std::vector<std::pair<boost::regex, RouteHandler>>>> compiled_routes;
    boost::asio::io_service io_service;
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::deadline_timer accept_pause;
    // Releasing freed memory is scheduled from every connection's strand.
    boost::asio::io_service::strand housekeeping;
    boost::asio::deadline_timer release_timer;
    bool release_pending = false;
    std::vector<std::thread> workers;
    long header_timeout;
    long content_timeout;
};

} // namespace Http
