#include "Transfer.h"

#include "Limits.h"

#include <QFileDevice>
#include <QHostAddress>
#include <QIODevice>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

namespace Updater {

namespace {

const qint64 fourGiB = qint64(4) << 30;
// Bounds what QtNetwork holds for us between two reads.
const qint64 readBufferSize = qint64(1) << 20;
// More than any real server's error page.
const qint64 maximumErrorPageSize = 64 * 1024;

bool isLoopback(const QUrl& url)
{
    const QString host = url.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// The system's proxy settings, except for loopback, where no proxy can help.
class SystemProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override
    {
        if (isLoopback(query.url()))
            return { QNetworkProxy(QNetworkProxy::NoProxy) };
        return systemProxyForQuery(query);
    }
};

bool isSupportedScheme(const QString& scheme)
{
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("file");
}

// A redirect may stay on http(s) and never leave https for anything else.
bool isRedirectAllowed(const QUrl& from, const QUrl& to)
{
    const QString target = to.scheme().toLower();
    if (target != QLatin1String("http") && target != QLatin1String("https"))
        return false;
    return !(from.scheme().toLower() == QLatin1String("https") && target != QLatin1String("https"));
}

} // namespace

class TransferPrivate
{
public:
    explicit TransferPrivate(Transfer* q)
        : q(q)
    {
    }

    Transfer* const q;
    QNetworkAccessManager* manager = nullptr;
    QPointer<QNetworkReply> reply;
    QPointer<QIODevice> sink;
    QTimer stallTimer;
    QTimer rateTimer;
    QTimer deadlineTimer;
    QTimer headerTimer;
    QUrl url;
    QUrl currentUrl;
    qint64 maximumSize = Transfer::defaultMaximumSize();
    int stallTimeout = Transfer::defaultStallTimeout();
    qint64 minimumRate = Limits::minimumRate();
    int rateWindow = Limits::rateWindowMsec();
    int deadline = 0;
    int headerTimeout = 0;
    qint64 received = 0;
    qint64 errorPageBytes = 0;
    // Everything read from the reply, error pages too; the rate check's measure.
    qint64 wireBytes = 0;
    qint64 wireBytesAtWindowStart = 0;
    int redirects = 0;
    bool running = false;
    QString errorString;

    QNetworkAccessManager* networkManager();
    void connectReply();
    void onMetaData();
    void onReadyRead();
    void onRedirected(const QUrl& target);
    void refuseRedirect(const QUrl& target);
    void onReplyFinished();
    void onStalled();
    void checkRate();
    void startTimers();
    bool isEncoded() const;
    bool isErrorStatus() const;
    void failWithStatus();
    void fail(const QString& text);
    void finishLater(bool success);
    void complete(bool success);
    void dropReply();
};

QNetworkAccessManager* TransferPrivate::networkManager()
{
    if (!manager) {
        manager = new QNetworkAccessManager(q);
        manager->setProxyFactory(new SystemProxyFactory);
    }
    return manager;
}

void TransferPrivate::connectReply()
{
    QObject::connect(reply, &QNetworkReply::metaDataChanged, q, [this] { onMetaData(); });
    QObject::connect(reply, &QNetworkReply::readyRead, q, [this] { onReadyRead(); });
    QObject::connect(reply, &QNetworkReply::redirected, q, [this](const QUrl& target) { onRedirected(target); });
    QObject::connect(reply, &QNetworkReply::finished, q, [this] { onReplyFinished(); });
    QObject::connect(reply, &QNetworkReply::downloadProgress, q, [this] { stallTimer.start(); });
}

bool TransferPrivate::isErrorStatus() const
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return false; // file:// has no status
    // Only a final answer that is not a success counts (a redirect that is
    // followed never gets here).
    return status.toInt() >= 300;
}

void TransferPrivate::failWithStatus()
{
    fail(Transfer::tr("cannot fetch %1: the server answered %2 %3")
             .arg(url.toDisplayString(), reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toString(),
                 reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()));
}

// Without an Accept-Encoding of our own QtNetwork asks for gzip and inflates
// the answer before any cap sees it; we ask for identity and refuse anything
// else, so what is counted is what came over the wire.
bool TransferPrivate::isEncoded() const
{
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed();
    return !encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0;
}

void TransferPrivate::onMetaData()
{
    stallTimer.start();
    headerTimer.stop();
    if (!reply || isErrorStatus())
        return;
    if (isEncoded()) {
        fail(Transfer::tr("cannot fetch %1: the server sent it encoded (Content-Encoding: %2), not as the file itself")
                 .arg(url.toDisplayString(), QString::fromLatin1(reply->rawHeader("Content-Encoding").left(64))));
        return;
    }
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > maximumSize)
        fail(Transfer::tr("cannot fetch %1: the server announces %2 bytes, more than the allowed %3")
                 .arg(url.toDisplayString(), QString::number(length.toLongLong()), QString::number(maximumSize)));
}

void TransferPrivate::onReadyRead()
{
    stallTimer.start();
    if (!reply)
        return;
    // An error page is not the file. It is read only so far: a hostile
    // server's would never end.
    if (isErrorStatus()) {
        const qint64 skipped = reply->skip(reply->bytesAvailable());
        errorPageBytes += skipped;
        wireBytes += skipped;
        if (errorPageBytes > maximumErrorPageSize)
            failWithStatus();
        return;
    }
    char buffer[64 * 1024];
    while (reply && reply->bytesAvailable() > 0) {
        const qint64 n = reply->read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        wireBytes += n;
        if (received + n > maximumSize) {
            fail(Transfer::tr("cannot fetch %1: more than the allowed %2 bytes arrived")
                     .arg(url.toDisplayString(), QString::number(maximumSize)));
            return;
        }
        if (!sink || sink->write(buffer, n) != n) {
            fail(Transfer::tr("cannot store %1: %2")
                     .arg(url.toDisplayString(), sink ? sink->errorString() : Transfer::tr("no place to write to")));
            return;
        }
        received += n;
    }
    const QVariant length = reply ? reply->header(QNetworkRequest::ContentLengthHeader) : QVariant();
    emit q->progress(received, length.isValid() ? length.toLongLong() : -1);
}

void TransferPrivate::onRedirected(const QUrl& target)
{
    stallTimer.start();
    ++redirects;
    if (redirects > Transfer::maximumRedirects()) {
        fail(Transfer::tr("cannot fetch %1: more than %2 redirects")
                 .arg(url.toDisplayString(), QString::number(redirects - 1)));
        return;
    }
    if (!isRedirectAllowed(currentUrl, target) || reply->error() == QNetworkReply::InsecureRedirectError) {
        refuseRedirect(target);
        return;
    }
    currentUrl = target;
    if (headerTimeout > 0)
        headerTimer.start(); // a new request is on its way
}

void TransferPrivate::refuseRedirect(const QUrl& target)
{
    fail(Transfer::tr("cannot fetch %1: refused the redirect from %2 to %3, which is less safe")
             .arg(url.toDisplayString(), currentUrl.toDisplayString(), target.toDisplayString()));
}

void TransferPrivate::onReplyFinished()
{
    if (!reply)
        return;
    onReadyRead(); // whatever is left in the buffer
    if (!running)
        return;
    // QtNetwork ends with the redirect itself where it will not follow it
    // (to file://, or from https to http); that is our refusal, not an answer.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray location = reply->rawHeader("Location");
    if (reply->error() == QNetworkReply::InsecureRedirectError || (status / 100 == 3 && !location.isEmpty())) {
        refuseRedirect(currentUrl.resolved(QUrl::fromEncoded(location)));
        return;
    }
    if (isErrorStatus()) {
        failWithStatus();
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        fail(Transfer::tr("cannot reach %1: %2").arg(url.toDisplayString(), reply->errorString()));
        return;
    }
    // A buffered file reports a full disk only when its buffer is written out.
    auto* file = qobject_cast<QFileDevice*>(sink.data());
    if (file && !file->flush()) {
        fail(Transfer::tr("cannot store %1: %2").arg(url.toDisplayString(), file->errorString()));
        return;
    }
    complete(true);
}

void TransferPrivate::onStalled()
{
    fail(Transfer::tr("cannot fetch %1: no data arrived for %2 seconds")
             .arg(url.toDisplayString(), QString::number(stallTimeout / 1000.0)));
}

void TransferPrivate::checkRate()
{
    const qint64 arrived = wireBytes - wireBytesAtWindowStart;
    wireBytesAtWindowStart = wireBytes;
    if (arrived * 1000 < minimumRate * rateWindow)
        fail(Transfer::tr("cannot fetch %1: less than %2 bytes per second arrived over %3 seconds")
                 .arg(url.toDisplayString(), QString::number(minimumRate), QString::number(rateWindow / 1000.0)));
}

void TransferPrivate::startTimers()
{
    stallTimer.setInterval(stallTimeout);
    stallTimer.start();
    if (minimumRate > 0 && rateWindow > 0)
        rateTimer.start(rateWindow);
    if (deadline > 0)
        deadlineTimer.start(deadline);
    if (headerTimeout > 0)
        headerTimer.start(headerTimeout);
}

void TransferPrivate::fail(const QString& text)
{
    if (!running)
        return;
    errorString = text;
    complete(false);
}

void TransferPrivate::finishLater(bool success)
{
    QMetaObject::invokeMethod(
        q, [this, success] { complete(success); }, Qt::QueuedConnection);
}

void TransferPrivate::complete(bool success)
{
    if (!running)
        return;
    running = false;
    stallTimer.stop();
    rateTimer.stop();
    deadlineTimer.stop();
    headerTimer.stop();
    dropReply();
    emit q->finished(success);
}

void TransferPrivate::dropReply()
{
    if (!reply)
        return;
    QNetworkReply* old = reply;
    reply = nullptr;
    old->disconnect(q);
    old->abort();
    old->deleteLater();
}

Transfer::Transfer(QObject* parent)
    : QObject(parent)
    , d(std::make_unique<TransferPrivate>(this))
{
    d->stallTimer.setSingleShot(true);
    connect(&d->stallTimer, &QTimer::timeout, this, [this] { d->onStalled(); });
    connect(&d->rateTimer, &QTimer::timeout, this, [this] { d->checkRate(); });
    d->deadlineTimer.setSingleShot(true);
    connect(&d->deadlineTimer, &QTimer::timeout, this, [this] {
        d->fail(tr("cannot fetch %1: not done within %2 seconds")
                    .arg(d->url.toDisplayString(), QString::number(d->deadline / 1000.0)));
    });
    d->headerTimer.setSingleShot(true);
    connect(&d->headerTimer, &QTimer::timeout, this, [this] {
        d->fail(tr("cannot fetch %1: the server did not answer within %2 seconds")
                    .arg(d->url.toDisplayString(), QString::number(d->headerTimeout / 1000.0)));
    });
}

Transfer::~Transfer()
{
    d->running = false;
    d->dropReply();
}

qint64 Transfer::defaultMaximumSize()
{
    return fourGiB;
}

void Transfer::setMaximumSize(qint64 bytes)
{
    d->maximumSize = bytes;
}

qint64 Transfer::maximumSize() const
{
    return d->maximumSize;
}

int Transfer::defaultStallTimeout()
{
    return Limits::stallTimeoutMsec();
}

void Transfer::setStallTimeout(int msec)
{
    d->stallTimeout = msec;
}

int Transfer::stallTimeout() const
{
    return d->stallTimeout;
}

void Transfer::setMinimumRate(qint64 bytesPerSecond, int windowMsec)
{
    d->minimumRate = bytesPerSecond;
    d->rateWindow = windowMsec;
}

qint64 Transfer::minimumRate() const
{
    return d->minimumRate;
}

int Transfer::rateWindow() const
{
    return d->rateWindow;
}

void Transfer::setDeadline(int msec)
{
    d->deadline = msec;
}

int Transfer::deadline() const
{
    return d->deadline;
}

void Transfer::setHeaderTimeout(int msec)
{
    d->headerTimeout = msec;
}

int Transfer::headerTimeout() const
{
    return d->headerTimeout;
}

void Transfer::start(const QUrl& url, QIODevice* sink)
{
    if (d->running)
        abort();
    d->url = url;
    d->currentUrl = url;
    d->sink = sink;
    d->received = 0;
    d->errorPageBytes = 0;
    d->wireBytes = 0;
    d->wireBytesAtWindowStart = 0;
    d->redirects = 0;
    d->errorString.clear();
    d->running = true;

    if (!url.isValid() || !isSupportedScheme(url.scheme().toLower())) {
        d->errorString
            = tr("cannot fetch %1: only http, https and file addresses are supported").arg(url.toDisplayString());
        d->finishLater(false);
        return;
    }
    if (!sink || !sink->isWritable()) {
        d->errorString = tr("cannot fetch %1: nowhere to write it").arg(url.toDisplayString());
        d->finishLater(false);
        return;
    }

    QNetworkRequest request(url);
    // QtNetwork already refuses a step down from https; onRedirected checks again and counts.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(maximumRedirects() + 1);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setRawHeader("Accept-Encoding", "identity");
    d->reply = d->networkManager()->get(request);
    d->reply->setReadBufferSize(readBufferSize);
    d->connectReply();
    d->startTimers();
}

void Transfer::abort()
{
    d->fail(tr("cancelled"));
}

bool Transfer::isRunning() const
{
    return d->running;
}

qint64 Transfer::bytesReceived() const
{
    return d->received;
}

QUrl Transfer::url() const
{
    return d->url;
}

QString Transfer::errorString() const
{
    return d->errorString;
}

} // namespace Updater
