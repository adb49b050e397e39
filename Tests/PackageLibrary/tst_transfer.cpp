#include "NginxServer.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "Transfer.h"

#include <QBuffer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Updater::Transfer;
using Vondra::Testing::NginxServer;
using Vondra::Testing::writeFile;

namespace {

// A misbehaving web server: it answers every request the same scripted way.
class ScriptedServer : public QTcpServer
{
public:
    enum Behaviour { Silent, HeadersThenSilence, Endless, EndlessError, CutShort, Gzipped, Trickle, RedirectToFile };

    // The head of the last request, as it arrived.
    QByteArray requestHead;

    explicit ScriptedServer(Behaviour behaviour)
        : behaviour(behaviour)
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection())
                serve(socket);
        });
    }

    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/file").arg(serverPort())); }

private:
    void serve(QTcpSocket* socket)
    {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { requestHead += socket->readAll(); });
        if (behaviour == Silent)
            return;
        if (behaviour == Gzipped) {
            // "a tiny index\n", gzipped
            const QByteArray gzip("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\x4b\x54\x28\xc9\xcc\xab\x54\xc8\xcc\x4b\x49"
                                  "\xad\xe0\x02\x00\xba\x9d\xb8\xbb\x0d\x00\x00\x00",
                33);
            socket->write("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 33\r\n\r\n" + gzip);
            return;
        }
        if (behaviour == RedirectToFile) {
            socket->write("HTTP/1.1 302 Found\r\nLocation: file:///etc/hostname\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        if (behaviour == Trickle) {
            // Announces 900 KiB, then sends one byte every 50 ms: never
            // silent long enough to stall, and never done.
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 921600\r\n\r\n");
            auto* timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
            timer->start(50);
            return;
        }
        const bool endless = behaviour == Endless || behaviour == EndlessError;
        socket->write(behaviour == EndlessError ? "HTTP/1.1 500 Oops\r\n" : "HTTP/1.1 200 OK\r\n");
        socket->write("Content-Type: application/octet-stream\r\n");
        socket->write(endless ? "Connection: close\r\n\r\n" : "Content-Length: 1000\r\n\r\nabc");
        if (behaviour == CutShort)
            socket->disconnectFromHost();
        if (endless) {
            const QByteArray chunk(64 * 1024, 'x');
            connect(socket, &QTcpSocket::bytesWritten, socket, [socket, chunk] {
                if (socket->bytesToWrite() < chunk.size())
                    socket->write(chunk);
            });
            socket->write(chunk);
        }
    }

    Behaviour behaviour;
};

// A TLS server that answers GET /ok with "ok" and GET /to/<percent-encoded
// address> with a redirect there.
class RedirectingTlsServer : public QTcpServer
{
public:
    QSslCertificate certificate;
    QSslKey key;

    QUrl ok() const { return QUrl(QStringLiteral("https://127.0.0.1:%1/ok").arg(serverPort())); }
    QUrl via(const QUrl& target) const
    {
        return QUrl(QStringLiteral("https://127.0.0.1:%1/to/%2")
                        .arg(serverPort())
                        .arg(QString::fromLatin1(target.toEncoded().toPercentEncoding())));
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        connect(socket, &QSslSocket::readyRead, socket, [socket] {
            const QByteArray head = socket->readAll();
            const QByteArray path = head.mid(4, head.indexOf(' ', 4) - 4);
            if (path == "/ok") {
                socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
                return;
            }
            const QByteArray target = QByteArray::fromPercentEncoding(path.mid(int(qstrlen("/to/"))));
            socket->write("HTTP/1.1 302 Found\r\nLocation: " + target + "\r\nContent-Length: 0\r\n\r\n");
        });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        socket->startServerEncryption();
    }
};

struct Outcome
{
    bool success = false;
    QString error;
    QByteArray body;
};

Outcome fetch(const QUrl& url, qint64 maximumSize = Transfer::defaultMaximumSize(), int stallTimeout = 5000,
    const std::function<void(Transfer&)>& prepare = {})
{
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    Transfer transfer;
    transfer.setMaximumSize(maximumSize);
    transfer.setStallTimeout(stallTimeout);
    if (prepare)
        prepare(transfer);
    QSignalSpy finished(&transfer, &Transfer::finished);
    transfer.start(url, &sink);
    if (!finished.wait(20000))
        return { false, QStringLiteral("timed out"), {} };
    return { finished.at(0).at(0).toBool(), transfer.errorString(), sink.data() };
}

} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fetchesOverHttpAndFile_data();
    void fetchesOverHttpAndFile();
    void followsAtMostFiveRedirects();
    void neverStepsDownFromHttps();
    void refusesRedirectsToFiles();
    void reportsServersThatStall_data();
    void reportsServersThatStall();
    void capsTheSize_data();
    void capsTheSize();
    void refusesEncodedAnswers();
    void endsTransfersThatTrickle();
    void reportsFailuresAPersonCanActOn();
    void abortEndsWithCancelled();
    void reportsAFullDisk();

private:
    QTemporaryDir root;
    std::unique_ptr<NginxServer> nginx;
    QByteArray payload;
};

void TestTransfer::initTestCase()
{
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
    payload.resize(3 * 1024 * 1024 + 17);
    for (int i = 0; i < payload.size(); ++i)
        payload[i] = char(i * 7 + i / 251);
    QVERIFY(writeFile(root.filePath(QStringLiteral("file.bin")), payload));

    QString hops;
    for (int i = 1; i <= 6; ++i)
        hops += QStringLiteral("location = /hop%1 { return 302 /hop%2; }\n").arg(i).arg(i - 1);
    hops += QStringLiteral("location = /hop0 { return 302 /file.bin; }\n");
    nginx = std::make_unique<NginxServer>(root.path(), hops);
    QVERIFY2(nginx->start(), qPrintable(nginx->errorString()));
}

void TestTransfer::fetchesOverHttpAndFile_data()
{
    QTest::addColumn<bool>("overHttp");
    QTest::newRow("http") << true;
    QTest::newRow("file") << false;
}

void TestTransfer::fetchesOverHttpAndFile()
{
    QFETCH(bool, overHttp);
    const QUrl url = overHttp ? nginx->baseUrl().resolved(QUrl(QStringLiteral("file.bin")))
                              : QUrl::fromLocalFile(root.filePath(QStringLiteral("file.bin")));
    const Outcome outcome = fetch(url, payload.size());
    QVERIFY2(outcome.success, qPrintable(outcome.error));
    QVERIFY(outcome.body == payload);
}

void TestTransfer::followsAtMostFiveRedirects()
{
    const Outcome five = fetch(nginx->baseUrl().resolved(QUrl(QStringLiteral("hop4"))));
    QVERIFY2(five.success, qPrintable(five.error));
    QVERIFY(five.body == payload);

    const Outcome six = fetch(nginx->baseUrl().resolved(QUrl(QStringLiteral("hop5"))));
    QVERIFY(!six.success);
    QVERIFY2(six.error.contains(QLatin1String("redirects")), qPrintable(six.error));
    QVERIFY(six.body.isEmpty());
}

void TestTransfer::neverStepsDownFromHttps()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("no TLS support in this Qt");
    QTemporaryDir keys;
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
        { QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
            QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
            QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"),
            QStringLiteral("-keyout"), keys.filePath(QStringLiteral("key.pem")), QStringLiteral("-out"),
            keys.filePath(QStringLiteral("cert.pem")) });
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        QSKIP("openssl cannot make a test certificate");

    RedirectingTlsServer server;
    QFile certificateFile(keys.filePath(QStringLiteral("cert.pem")));
    QFile keyFile(keys.filePath(QStringLiteral("key.pem")));
    QVERIFY(certificateFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly));
    server.certificate = QSslCertificate(&certificateFile);
    server.key = QSslKey(&keyFile, QSsl::Rsa);
    QVERIFY(server.listen(QHostAddress::LocalHost));

    const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = saved;
    trusting.addCaCertificate(server.certificate);
    QSslConfiguration::setDefaultConfiguration(trusting);
    const Outcome safe = fetch(server.via(server.via(server.ok())));
    const Outcome downgrade = fetch(server.via(nginx->baseUrl().resolved(QUrl(QStringLiteral("file.bin")))));
    const Outcome toFile = fetch(server.via(QUrl(QStringLiteral("file:///etc/hostname"))));
    QSslConfiguration::setDefaultConfiguration(saved);

    QVERIFY2(safe.success, qPrintable(safe.error));
    QCOMPARE(safe.body, QByteArray("ok"));
    QVERIFY(!downgrade.success);
    QVERIFY2(downgrade.error.contains(QLatin1String("refused the redirect")), qPrintable(downgrade.error));
    QVERIFY(downgrade.body.isEmpty());
    QVERIFY(!toFile.success);
    QVERIFY2(toFile.error.contains(QLatin1String("refused the redirect")), qPrintable(toFile.error));
}

void TestTransfer::refusesRedirectsToFiles()
{
    ScriptedServer server(ScriptedServer::RedirectToFile);
    const Outcome outcome = fetch(server.url());
    QVERIFY(!outcome.success);
    QVERIFY2(outcome.error.contains(QLatin1String("refused the redirect from ") + server.url().toString()
                 + QLatin1String(" to file:///etc/hostname")),
        qPrintable(outcome.error));
    QVERIFY(outcome.body.isEmpty());
}

void TestTransfer::reportsServersThatStall_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::newRow("silent from the start") << int(ScriptedServer::Silent);
    QTest::newRow("silent after a few bytes") << int(ScriptedServer::HeadersThenSilence);
}

void TestTransfer::reportsServersThatStall()
{
    QFETCH(int, behaviour);
    ScriptedServer server { ScriptedServer::Behaviour(behaviour) };
    const Outcome outcome = fetch(server.url(), Transfer::defaultMaximumSize(), 300);
    QVERIFY(!outcome.success);
    QVERIFY2(outcome.error.contains(QLatin1String("no data arrived")), qPrintable(outcome.error));
}

void TestTransfer::capsTheSize_data()
{
    QTest::addColumn<bool>("endless");
    QTest::newRow("declared too large") << false;
    QTest::newRow("endless body") << true;
}

void TestTransfer::capsTheSize()
{
    QFETCH(bool, endless);
    ScriptedServer server(ScriptedServer::Endless);
    const qint64 cap = 1024 * 1024;
    const QUrl url = endless ? server.url() : nginx->baseUrl().resolved(QUrl(QStringLiteral("file.bin")));
    const Outcome outcome = fetch(url, cap);
    QVERIFY(!outcome.success);
    QVERIFY2(outcome.error.contains(QString::number(cap)), qPrintable(outcome.error));
    QVERIFY(outcome.body.size() <= cap);
}

// Left to itself QtNetwork asks for gzip and inflates the answer before any
// cap sees it: a few KiB on the wire may become gigabytes in memory.
void TestTransfer::refusesEncodedAnswers()
{
    ScriptedServer server(ScriptedServer::Gzipped);
    const Outcome outcome = fetch(server.url());
    QVERIFY(!outcome.success);
    QVERIFY2(outcome.error.contains(QLatin1String("Content-Encoding: gzip")), qPrintable(outcome.error));
    QVERIFY(outcome.body.isEmpty());
    QVERIFY2(
        server.requestHead.toLower().contains("\r\naccept-encoding: identity\r\n"), server.requestHead.constData());
}

// Each byte restarts the stall timer, so only the average rate ends it.
void TestTransfer::endsTransfersThatTrickle()
{
    ScriptedServer server(ScriptedServer::Trickle);
    const Outcome outcome = fetch(server.url(), Transfer::defaultMaximumSize(), 5000,
        [](Transfer& transfer) { transfer.setMinimumRate(1024, 300); });
    QVERIFY(!outcome.success);
    QVERIFY2(outcome.error.endsWith(QLatin1String("less than 1024 bytes per second arrived over 0.3 seconds")),
        qPrintable(outcome.error));
}

void TestTransfer::reportsFailuresAPersonCanActOn()
{
    quint16 closedPort;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        closedPort = probe.serverPort();
    }
    const QString refused = QStringLiteral("http://127.0.0.1:%1/tool/index.json").arg(closedPort);
    Outcome outcome = fetch(QUrl(refused));
    QVERIFY(!outcome.success);
    QVERIFY2(outcome.error.startsWith(QStringLiteral("cannot reach ") + refused + QStringLiteral(": ")),
        qPrintable(outcome.error));

    outcome = fetch(nginx->baseUrl().resolved(QUrl(QStringLiteral("missing.bin"))));
    QVERIFY(!outcome.success);
    QVERIFY2(outcome.error.contains(QLatin1String("404")), qPrintable(outcome.error));
    QVERIFY(outcome.body.isEmpty()); // the error page never lands in the sink

    // An error page is not read to its end: a hostile one never ends.
    ScriptedServer endlessError { ScriptedServer::EndlessError };
    outcome = fetch(endlessError.url());
    QVERIFY(!outcome.success);
    QVERIFY2(outcome.error.contains(QLatin1String("500 Oops")), qPrintable(outcome.error));

    ScriptedServer cutShort { ScriptedServer::CutShort };
    outcome = fetch(cutShort.url());
    QVERIFY(!outcome.success);
    QVERIFY2(outcome.error.contains(cutShort.url().toString()), qPrintable(outcome.error));

    outcome = fetch(QUrl(QStringLiteral("ftp://127.0.0.1/file.bin")));
    QVERIFY(!outcome.success);
    QVERIFY(!outcome.error.isEmpty());
}

void TestTransfer::abortEndsWithCancelled()
{
    ScriptedServer server(ScriptedServer::Silent);
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    Transfer transfer;
    QSignalSpy finished(&transfer, &Transfer::finished);
    transfer.start(server.url(), &sink);
    QTimer::singleShot(100, &transfer, &Transfer::abort);
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QCOMPARE(transfer.errorString(), QStringLiteral("cancelled"));
    QVERIFY(!transfer.isRunning());
}

void TestTransfer::reportsAFullDisk()
{
    QFile full(QStringLiteral("/dev/full"));
    if (!full.open(QIODevice::WriteOnly))
        QSKIP("no /dev/full here");
    Transfer transfer;
    QSignalSpy finished(&transfer, &Transfer::finished);
    transfer.start(nginx->baseUrl().resolved(QUrl(QStringLiteral("file.bin"))), &full);
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QVERIFY2(transfer.errorString().startsWith(QLatin1String("cannot store")), qPrintable(transfer.errorString()));
}

TAVLO_TEST(TestTransfer)
#include "tst_transfer.moc"
