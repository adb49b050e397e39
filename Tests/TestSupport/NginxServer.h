#pragma once

#include <QString>
#include <QUrl>

#include <memory>

namespace Vondra::Testing {

class NginxServerPrivate;

// nginx from Debian serving a directory on a free 127.0.0.1 port, for tests that
// need a real static web server. Stopped by the destructor.
class NginxServer
{
public:
    // extraServerConfig is pasted into the server block (e.g. a location with limits).
    explicit NginxServer(const QString& root, const QString& extraServerConfig = QString());
    ~NginxServer();

    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // False with errorString() when nginx is missing or does not come up;
    // on success nginx accepts connections.
    bool start();
    void stop();
    QString errorString() const;
    quint16 port() const;
    QUrl baseUrl() const; // http://127.0.0.1:<port>/

    static QString executable();
    static bool isAvailable();

private:
    std::unique_ptr<NginxServerPrivate> d;
};

} // namespace Vondra::Testing
