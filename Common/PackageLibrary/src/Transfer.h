#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

class QIODevice;

namespace Updater {

class TransferPrivate;

// Fetches one URL through QtNetwork (http, https, file; system proxy settings),
// following at most 5 redirects and never from https to a less safe scheme.
// Fails when no byte arrives for stallTimeout() ms, when the average rate
// drops below minimumRate(), when a deadline or header timeout is set and
// passes, or when more than maximumSize() bytes arrive (checked against
// Content-Length up front too). Only unencoded answers are accepted, so the
// size cap counts the bytes on the wire. The body is streamed into the sink
// as it arrives, so memory stays flat.
class Transfer : public QObject
{
    Q_OBJECT

public:
    explicit Transfer(QObject* parent = nullptr);
    ~Transfer() override;

    static qint64 defaultMaximumSize(); // 4 GiB
    void setMaximumSize(qint64 bytes);
    qint64 maximumSize() const;

    // 30000, or TAVUPDATER_STALL_TIMEOUT_MS from the environment.
    static int defaultStallTimeout();
    void setStallTimeout(int msec);
    int stallTimeout() const;

    // Fewer than bytesPerSecond averaged over each window of msec fails the
    // transfer; the first window is the grace period. 1024 over 60000 by
    // default (TAVUPDATER_MINIMUM_RATE, TAVUPDATER_RATE_WINDOW_MS); 0 turns it off.
    void setMinimumRate(qint64 bytesPerSecond, int windowMsec);
    qint64 minimumRate() const;
    int rateWindow() const;

    // The whole transfer, redirects included, must be done within msec; 0 (the default) sets no deadline.
    void setDeadline(int msec);
    int deadline() const;

    // Response headers must arrive within msec of sending each request,
    // connecting included; 0 (the default) leaves waiting to the stall timeout.
    void setHeaderTimeout(int msec);
    int headerTimeout() const;

    static int maximumRedirects() { return 5; }

    // sink is open for writing; the transfer writes into it but never closes it.
    // finished() always comes later, from the event loop, never from start().
    void start(const QUrl& url, QIODevice* sink);
    // Ends a running transfer at once; finished(false) with "cancelled".
    void abort();
    bool isRunning() const;
    qint64 bytesReceived() const;
    QUrl url() const;
    QString errorString() const;

signals:
    void progress(qint64 received, qint64 total); // total -1 when unknown
    void finished(bool success);

private:
    friend class TransferPrivate;
    std::unique_ptr<TransferPrivate> d;
};

} // namespace Updater
