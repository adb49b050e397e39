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
// Fails when no byte arrives for stallTimeout() ms, or when more than
// maximumSize() bytes arrive (checked against Content-Length up front too).
// The body is streamed into the sink as it arrives, so memory stays flat.
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
