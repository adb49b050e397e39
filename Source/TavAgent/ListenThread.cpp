#include "ListenThread.h"

#include "AgentApp.h"
#include "JsonpAnswer.h"

#include <QDebug>

#include <mutex>

namespace Vondra {

namespace {

using Server = Http::HttpServer;

constexpr std::size_t ioThreads = 4;
constexpr long headTimeoutSeconds = 5;
constexpr long contentTimeoutSeconds = 300;

QString headerValue(const Http::Headers& headers, const char* name)
{
    const auto found = headers.find(name);
    return found == headers.end() ? QString() : QString::fromStdString(found->second);
}

// The body is whatever a page posted: typed as plain text, and browsers told
// not to guess otherwise, or a form posted here would run its script as a page
// of the bridge's own origin.
void echoRoute(Server::Response& response, const std::shared_ptr<Server::Request>& request)
{
    const std::string body = request->content.text();
    response << "HTTP/1.1 200 OK\r\nContent-Length: " << body.size()
             << "\r\nContent-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n\r\n"
             << body;
}

// A page that may not start tools gets the same answer as one that may, so it
// cannot learn which pages are allowed.
std::string shareStatus(const QString& query, const Server::Request& request, const BridgeSettings& settings)
{
    const QString origin = BridgeSettings::requestOrigin(
        headerValue(request.headers, "Origin"), headerValue(request.headers, "Referer"));
    if (!settings.allowsLaunchFrom(origin)) {
        qDebug() << "launch refused for origin" << origin << query;
        return JsonpAnswer::shareStatus();
    }
    return AgentApp::instance()->lanchTools(query);
}

// Nothing is sent for a request that names neither callback.
void queryRoute(
    Server::Response& response, const std::shared_ptr<Server::Request>& request, const BridgeSettings& settings)
{
    try {
        const QString query = QString::fromStdString(request->path_groups[1].str());
        switch (JsonpAnswer::requested(query)) {
        case JsonpAnswer::Callback::ShareStatus:
            response << shareStatus(query, *request, settings);
            break;
        case JsonpAnswer::Callback::TavInfo:
            response << AgentApp::instance()->tavInfo(query);
            break;
        case JsonpAnswer::Callback::None:
            break;
        }
    } catch (const std::exception&) {
        // The application object is gone: the agent is ending.
    }
}

} // namespace

class ListenThreadPrivate
{
public:
    std::mutex mutex;
    BridgeSettings settings;
    // Set while run() serves, so that stop() can reach the server.
    Server* server = nullptr;
    bool stopRequested = false;
    std::atomic<quint16> port { 0 };
};

ListenThread::ListenThread()
    : d(std::make_unique<ListenThreadPrivate>())
{
}

ListenThread::~ListenThread()
{
    stop();
    wait();
}

void ListenThread::setSettings(const BridgeSettings& settings)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->settings = settings;
    d->stopRequested = false;
}

void ListenThread::stop()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->stopRequested = true;
    if (d->server)
        d->server->stop();
}

quint16 ListenThread::port() const
{
    return d->port;
}

void ListenThread::addRoutes(Http::HttpServer& server, const BridgeSettings& settings)
{
    server.routes["^/string$"]["POST"] = echoRoute;
    server.routes["/?([^ #]*)#?([^ ]*)"]["GET"]
        = [settings](Server::Response& response, std::shared_ptr<Server::Request> request) {
              queryRoute(response, request, settings);
          };
}

void ListenThread::run()
{
    BridgeSettings settings;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        settings = d->settings;
    }
    Server server(settings.port, ioThreads, headTimeoutSeconds, contentTimeoutSeconds);
    server.settings.address = settings.address.toStdString();
    addRoutes(server, settings);
    server.on_listening = [this, &settings](unsigned short port) {
        d->port = port;
        qDebug() << "bridge listening on" << settings.address << port;
    };
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->stopRequested)
            return;
        d->server = &server;
    }
    try {
        server.start();
    } catch (const std::exception& error) {
        qWarning() << "bridge cannot listen on" << settings.address << settings.port << ":" << error.what();
    }
    std::lock_guard<std::mutex> lock(d->mutex);
    d->server = nullptr;
    d->port = 0;
}

} // namespace Vondra
