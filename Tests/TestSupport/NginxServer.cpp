#include "NginxServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

namespace Vondra::Testing {

namespace {

const int startAttempts = 5;
const int startTimeoutMs = 10000;

quint16 pickFreePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QString configText(const QString& prefix, const QString& root, quint16 port, const QString& extra)
{
    // Started by root, nginx would run its worker as "nobody", which cannot read
    // the private temporary directories tests serve; keep the worker as root then.
    const bool startedByRoot = QFileInfo(prefix).ownerId() == 0;
    // Everything nginx writes stays in the temporary prefix, so a test runs as any user.
    return QStringLiteral("%5"
                          "worker_processes 1;\n"
                          "error_log %1/error.log warn;\n"
                          "pid %1/nginx.pid;\n"
                          "events { worker_connections 64; }\n"
                          "http {\n"
                          "    access_log off;\n"
                          "    client_body_temp_path %1/client_body;\n"
                          "    proxy_temp_path %1/proxy;\n"
                          "    fastcgi_temp_path %1/fastcgi;\n"
                          "    uwsgi_temp_path %1/uwsgi;\n"
                          "    scgi_temp_path %1/scgi;\n"
                          "    default_type application/octet-stream;\n"
                          "    sendfile on;\n"
                          "    server {\n"
                          "        listen 127.0.0.1:%2;\n"
                          "        server_name localhost;\n"
                          "        root \"%3\";\n"
                          "%4\n"
                          "    }\n"
                          "}\n")
        .arg(prefix)
        .arg(port)
        .arg(root, extra, startedByRoot ? QStringLiteral("user root;\n") : QString());
}

} // namespace

class NginxServerPrivate
{
public:
    QString root;
    QString extraConfig;
    QTemporaryDir prefix;
    QProcess process;
    quint16 port = 0;
    QString errorString;

    bool tryStart(quint16 candidate);
    bool waitUntilAccepting();
    QString errorLog() const;
};

bool NginxServerPrivate::tryStart(quint16 candidate)
{
    const QString config = prefix.filePath(QStringLiteral("nginx.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        errorString = QStringLiteral("cannot write %1: %2").arg(config, file.errorString());
        return false;
    }
    file.write(configText(prefix.path(), root, candidate, extraConfig).toUtf8());
    file.close();
    QFile::remove(prefix.filePath(QStringLiteral("error.log")));

    // -e keeps even the log nginx opens before reading its configuration in the prefix.
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(NginxServer::executable(),
        { QStringLiteral("-p"), prefix.path(), QStringLiteral("-c"), config, QStringLiteral("-e"),
            prefix.filePath(QStringLiteral("error.log")), QStringLiteral("-g"), QStringLiteral("daemon off;") });
    if (!process.waitForStarted(startTimeoutMs)) {
        errorString = QStringLiteral("cannot start nginx: %1").arg(process.errorString());
        return false;
    }
    port = candidate;
    if (waitUntilAccepting())
        return true;
    process.kill();
    process.waitForFinished(startTimeoutMs);
    errorString = QStringLiteral("nginx did not come up on port %1: %2").arg(candidate).arg(errorLog());
    port = 0;
    return false;
}

bool NginxServerPrivate::waitUntilAccepting()
{
    QDeadlineTimer deadline(startTimeoutMs);
    while (!deadline.hasExpired()) {
        if (process.state() == QProcess::NotRunning)
            return false; // typically "address already in use": the caller retries on another port
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200))
            return true;
        QThread::msleep(20);
    }
    return false;
}

QString NginxServerPrivate::errorLog() const
{
    QFile log(prefix.filePath(QStringLiteral("error.log")));
    if (!log.open(QIODevice::ReadOnly))
        return QStringLiteral("no error log");
    return QString::fromLocal8Bit(log.readAll()).trimmed();
}

NginxServer::NginxServer(const QString& root, const QString& extraServerConfig)
    : d(std::make_unique<NginxServerPrivate>())
{
    d->root = QFileInfo(root).absoluteFilePath();
    d->extraConfig = extraServerConfig;
}

NginxServer::~NginxServer()
{
    stop();
}

bool NginxServer::start()
{
    if (d->process.state() != QProcess::NotRunning)
        return true;
    if (!isAvailable()) {
        d->errorString = QStringLiteral("nginx is not installed");
        return false;
    }
    if (!d->prefix.isValid()) {
        d->errorString = QStringLiteral("cannot create a temporary directory: %1").arg(d->prefix.errorString());
        return false;
    }
    // Another process may take the probed port before nginx binds it; try a few.
    for (int attempt = 0; attempt < startAttempts; ++attempt) {
        const quint16 candidate = pickFreePort();
        if (candidate != 0 && d->tryStart(candidate))
            return true;
    }
    return false;
}

void NginxServer::stop()
{
    if (d->process.state() == QProcess::NotRunning)
        return;
    d->process.terminate();
    if (!d->process.waitForFinished(5000)) {
        d->process.kill();
        d->process.waitForFinished(5000);
    }
    d->port = 0;
}

QString NginxServer::errorString() const
{
    return d->errorString;
}

quint16 NginxServer::port() const
{
    return d->port;
}

QUrl NginxServer::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(d->port));
}

QString NginxServer::executable()
{
    const QStringList extraPaths { QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
        QStringLiteral("/usr/local/sbin") };
    QString found = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(QStringLiteral("nginx"), extraPaths);
    return found;
}

bool NginxServer::isAvailable()
{
    return !executable().isEmpty();
}

} // namespace Vondra::Testing
