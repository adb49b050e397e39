// The agent's two routes on the server core, for benchmarks:
//   http_demo_server PORT     (0 picks a free port; the port is printed)
// POST /string echoes its body; every GET gets the fixed share-status answer.
// SIGINT or SIGTERM stops it.

#include "Server.h"

#include <boost/asio/signal_set.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

const std::string shareStatusAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 35\r\nContent-Type: application/json\r\n\r\n"
                                      "sharestatus({ \"message\":\"done\" })\r\n";

void addRoutes(Http::HttpServer& server)
{
    server.routes["^/string$"]["POST"]
        = [](Http::HttpServer::Response& response, std::shared_ptr<Http::HttpServer::Request> request) {
              const std::string body = request->content.text();
              response << "HTTP/1.1 200 OK\r\nContent-Length: " << body.size() << "\r\n\r\n" << body;
          };
    server.routes["/?([^ #]*)#?([^ ]*)"]["GET"]
        = [](Http::HttpServer::Response& response, std::shared_ptr<Http::HttpServer::Request>) {
              response << shareStatusAnswer;
          };
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s PORT [THREADS]\n", argv[0]);
        return 2;
    }
    const unsigned short port = static_cast<unsigned short>(std::strtoul(argv[1], nullptr, 10));
    const std::size_t threads = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4;
    Http::HttpServer server(port, threads, 5, 300);
    addRoutes(server);
    server.on_listening = [](unsigned short bound) {
        std::printf("listening on %u\n", unsigned(bound));
        std::fflush(stdout);
    };

    boost::asio::io_service signals_service;
    boost::asio::signal_set signals(signals_service, SIGINT, SIGTERM);
    signals.async_wait([&server](const boost::system::error_code& error, int) {
        if (!error)
            server.stop();
    });
    std::thread signal_thread([&signals_service] { signals_service.run(); });

    int status = 0;
    try {
        server.start();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        status = 1;
    }
    signals_service.stop();
    signal_thread.join();
    return status;
}
