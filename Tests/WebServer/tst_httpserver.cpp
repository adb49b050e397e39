#include "RawClient.h"
#include "TestRegistry.h"
#include "TestServer.h"
#include "WarningCounter.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QUrlQuery>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <locale>
#include <mutex>
#include <stdexcept>

namespace {

using Server = Http::HttpServer;

// Test servers close idle connections after this long, so a test that waits
// for a timeout stays short; the other server's timeouts are long enough
// never to end a connection on their own while a test runs.
constexpr long shortTimeout = 1;
constexpr long longTimeout = 60;

void answer(Server::Response& response, const std::string& body)
{
    response << "HTTP/1.1 200 OK\r\nContent-Length: " << body.size() << "\r\n\r\n" << body;
}

std::string describe(Server::Request& request)
{
    std::string text = "method=" + request.method + "\npath=" + request.path + "\nversion=" + request.protocol_version
        + "\nremote=" + request.remote_address + ":" + std::to_string(request.remote_port) + "\ncontent=["
        + request.content.text() + "]\n";
    std::vector<std::string> headers;
    for (const auto& [name, value] : request.headers)
        headers.push_back("header " + name + "=[" + value + "]\n");
    std::sort(headers.begin(), headers.end());
    for (const auto& header : headers)
        text += header;
    return text;
}

// What the agent's JSONP route does inside a handler: Qt text, URL query and
// JSON work and a trace line; the heaviest stack user among the handlers.
void agentLikeQuery(Server::Response& response, const std::shared_ptr<Server::Request>& request)
{
    QString query = QString::fromStdString(request->path_groups[1].str());
    const int mark = query.indexOf(QLatin1Char('?'));
    QString text = query.right(query.length() - mark - 1);
    text.replace(QStringLiteral("%40"), QStringLiteral("@"), Qt::CaseInsensitive);
    const QUrlQuery items(text);
    QJsonObject object;
    object.insert(QStringLiteral("callback"), items.queryItemValue(QStringLiteral("callback"), QUrl::PrettyDecoded));
    object.insert(QStringLiteral("query"), query);
    qDebug() << "query route" << query << object;
    answer(response, QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString());
}

// Written by a handler on an I/O thread while the test thread polls it.
class Observed
{
public:
    void setBigRequest(const std::shared_ptr<Server::Request>& request)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bigRequest = request;
    }

    bool bigRequestAlive()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_bigRequest.expired();
    }

private:
    std::mutex m_mutex;
    std::weak_ptr<Server::Request> m_bigRequest;
};

void addRoutes(Server& server, Observed& observed)
{
    server.settings.measure_stack_use = true;
    server.routes["^/string$"]["POST"] = [](Server::Response& response, std::shared_ptr<Server::Request> request) {
        answer(response, request->content.text());
    };
    const auto describeRoute = [](Server::Response& response, std::shared_ptr<Server::Request> request) {
        answer(response, describe(*request));
    };
    server.routes["^/describe$"]["GET"] = describeRoute;
    server.routes["^/describe$"]["POST"] = describeRoute;
    server.routes["^/groups/(\\w+)/(\\d+)$"]["GET"]
        = [](Server::Response& response, std::shared_ptr<Server::Request> request) {
              std::string text = std::to_string(request->path_groups.size());
              for (const auto& group : request->path_groups)
                  text += "|" + group.str();
              answer(response, text);
          };
    server.routes["^/query(.*)$"]["GET"] = agentLikeQuery;
    server.routes["^/throw$"]["GET"] = [](Server::Response& response, std::shared_ptr<Server::Request>) {
        answer(response, "never sent");
        throw std::runtime_error("handler failed");
    };
    server.routes["^/throw-int$"]["GET"] = [](Server::Response&, std::shared_ptr<Server::Request>) { throw 42; };
    server.routes["^/silent$"]["GET"] = [](Server::Response&, std::shared_ptr<Server::Request>) {};
    server.routes["^/big$"]["GET"] = [&observed](Server::Response& response, std::shared_ptr<Server::Request> request) {
        observed.setBigRequest(request);
        answer(response, std::string(32 * 1024 * 1024, 'x'));
    };
}

QByteArray get(const QByteArray& path, const QByteArray& version = "1.1", const QByteArray& headers = {})
{
    return "GET " + path + " HTTP/" + version + "\r\n" + headers + "\r\n";
}

QByteArray post(const QByteArray& path, const QByteArray& body, const QByteArray& version = "1.1")
{
    return "POST " + path + " HTTP/" + version + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n"
        + body;
}

QByteArray ok(const QByteArray& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

class TestHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void keepAlive_data();
    void keepAlive();
    void timeouts_data();
    void timeouts();
    void headerValues_data();
    void headerValues();
    void content_data();
    void content();
    void pipelinedRequestsInOrder();
    void caps_data();
    void caps();
    void routing_data();
    void routing();
    void failingHandlerEndsOnlyItsConnection();
    void silentHandlerKeepsConnection();
    void numbersIgnoreTheGlobalLocale();
    void stopWithOpenConnections();
    void startReportsTheFailingStep();
    void childProcessesHoldNoSocket();
    void stackProbeSeesDeepHandlers();

private:
    Observed m_observed;
    std::unique_ptr<TestServer> m_server; // long timeouts
    std::unique_ptr<TestServer> m_quick; // short timeouts
};

void TestHttpServer::initTestCase()
{
    m_server = std::make_unique<TestServer>(
        longTimeout, longTimeout, [this](Server& server) { addRoutes(server, m_observed); });
    QVERIFY2(m_server->port() != 0, qPrintable(m_server->startError()));
    m_quick = std::make_unique<TestServer>(
        shortTimeout, shortTimeout, [this](Server& server) { addRoutes(server, m_observed); });
    QVERIFY2(m_quick->port() != 0, qPrintable(m_quick->startError()));
}

// The coroutine stacks have no guard page: keep the handlers far from their end.
void TestHttpServer::cleanupTestCase()
{
    // A connection counts once it has ended, which the server may learn only
    // after the last test function has returned.
    const auto deepestUse
        = [this] { return std::max(m_server->server().deepest_stack_use(), m_quick->server().deepest_stack_use()); };
    QTRY_VERIFY(deepestUse() > 0);
    const std::size_t deepest = deepestUse();
    qInfo("deepest handler stack use: %zu of %zu bytes", deepest, Server::handler_stack_size);
    QVERIFY(deepest < Server::handler_stack_size / 2);
    m_server.reset();
    m_quick.reset();
}

// A second request follows the first in the same write: it is answered only
// when the first leaves the connection open.
void TestHttpServer::keepAlive_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("answered");

    QTest::newRow("1.1") << QByteArray("1.1") << QByteArray() << 2;
    QTest::newRow("1.0") << QByteArray("1.0") << QByteArray() << 1;
    QTest::newRow("1.0 asking to keep") << QByteArray("1.0") << QByteArray("Connection: keep-alive\r\n") << 1;
    QTest::newRow("1.05") << QByteArray("1.05") << QByteArray() << 1;
    QTest::newRow("not a number") << QByteArray("one") << QByteArray() << 1;
    QTest::newRow("close") << QByteArray("1.1") << QByteArray("Connection: close\r\n") << 1;
    QTest::newRow("cLoSe, lower-case name") << QByteArray("1.1") << QByteArray("connection: cLoSe\r\n") << 1;
    QTest::newRow("close among other words")
        << QByteArray("1.1") << QByteArray("Connection: keep-alive, close\r\n") << 2;
}

void TestHttpServer::keepAlive()
{
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, headers);
    QFETCH(int, answered);

    RawClient client(m_server->port());
    client.send(get("/groups/first/1", version, headers) + get("/groups/second/2"));
    QCOMPARE(client.readResponse(), ok("3|/groups/first/1|first|1"));
    if (answered == 2) {
        QCOMPARE(client.readResponse(), ok("3|/groups/second/2|second|2"));
        QVERIFY(client.isConnected());
    } else {
        QCOMPARE(client.readUntilClosed(), QByteArray());
        QVERIFY(client.closed());
    }
}

void TestHttpServer::timeouts_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("idle after a 1.1 response") << get("/groups/a/1") << ok("3|/groups/a/1|a|1");
    QTest::newRow("head with bare LF never ends") << QByteArray("GET /describe HTTP/1.1\nHost: h\n\n") << QByteArray();
    QTest::newRow("head never ends") << QByteArray("GET /describe HTTP/1.1\r\n") << QByteArray();
    QTest::newRow("body slower than the content timeout")
        << QByteArray("POST /string HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc") << QByteArray();
}

void TestHttpServer::timeouts()
{
    QFETCH(QByteArray, request);

    RawClient client(m_quick->port());
    QElapsedTimer elapsed;
    elapsed.start();
    client.send(request);
    QTEST(client.readUntilClosed(shortTimeout * 1000 + 4000), "expected");
    QVERIFY(client.closed());
    QVERIFY2(elapsed.elapsed() >= shortTimeout * 1000 - 100, "closed before the timeout");
}

// Header lines as the server hands them to a handler (1.0, so the server
// closes after answering).
void TestHttpServer::headerValues_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QByteArray>("described");

    QTest::newRow("no space after colon") << QByteArray("A:value\r\n") << QByteArray("header A=[value]\n");
    QTest::newRow("two spaces keep one") << QByteArray("A:  value\r\n") << QByteArray("header A=[ value]\n");
    QTest::newRow("colon then CR is empty") << QByteArray("A:\r\n") << QByteArray("header A=[]\n");
    QTest::newRow("colon last is not stored") << QByteArray("A:\nB: b\r\n") << QByteArray("header B=[b]\n");
    QTest::newRow("colon-less line ends the head, and is not content")
        << QByteArray("A: a\r\nno colon\r\nB: b\r\n") << QByteArray("header A=[a]\n");
    QTest::newRow("repeated name in other case")
        << QByteArray("X-N: 1\r\nx-n: 2\r\n") << QByteArray("header X-N=[1]\nheader x-n=[2]\n");
}

void TestHttpServer::headerValues()
{
    QFETCH(QByteArray, lines);
    QFETCH(QByteArray, described);

    RawClient client(m_server->port());
    client.send("GET /describe HTTP/1.0\r\n" + lines + "\r\n");
    const QByteArray body = responseBody(client.readResponse());
    const QByteArray remote = "remote=127.0.0.1:" + QByteArray::number(client.socket().localPort()) + "\n";
    QCOMPARE(body, "method=GET\npath=/describe\nversion=1.0\n" + remote + "content=[]\n" + described);
}

void TestHttpServer::content_data()
{
    QTest::addColumn<QByteArrayList>("parts"); // sent apart, a moment between them
    QTest::addColumn<QByteArray>("expected"); // empty: closed, nothing sent

    const QByteArray head = "POST /string HTTP/1.0\r\n";
    QTest::newRow("body with the head") << QByteArrayList { head + "Content-Length: 3\r\n\r\nabc" } << ok("abc");
    QTest::newRow("body after the head") << QByteArrayList { head + "Content-Length: 5\r\n\r\nab", "cde" }
                                         << ok("abcde");
    QTest::newRow("lower-case name") << QByteArrayList { head + "content-length: 3\r\n\r\nabc" } << ok("abc");
    QTest::newRow("digits then letters") << QByteArrayList { head + "Content-Length: 2xyz\r\n\r\nab" } << ok("ab");
    QTest::newRow("no digits") << QByteArrayList { head + "Content-Length: xyz\r\n\r\nab" } << QByteArray();
    QTest::newRow("no length, no content") << QByteArrayList { head + "\r\n" } << ok("");
    QTest::newRow("two lengths that differ")
        << QByteArrayList { head + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab" } << QByteArray();
    // The server frames bodies by Content-Length alone: read its own way, a
    // body in chunks would hide a request that is then answered on its own.
    const QByteArray chunked = "POST /string HTTP/1.1\r\nTransfer-Encoding: chunked\r\n";
    const QByteArray hidden = get("/groups/a/1");
    const QByteArray chunk = QByteArray::number(hidden.size(), 16) + "\r\n";
    QTest::newRow("chunked, a request for a body")
        << QByteArrayList { chunked + "\r\n" + hidden + "\r\n0\r\n\r\n" } << QByteArray();
    QTest::newRow("chunked beside a length") << QByteArrayList {
        chunked + "Content-Length: " + QByteArray::number(chunk.size()) + "\r\n\r\n" + chunk + hidden + "\r\n0\r\n\r\n"
    } << QByteArray();
    QTest::newRow("transfer coding in lower case")
        << QByteArrayList { "POST /string HTTP/1.1\r\ntransfer-encoding: identity\r\n\r\n" + hidden } << QByteArray();
    const QByteArray large(1024 * 1024 + 7, 'b');
    QTest::newRow("1 MiB in many reads") << QByteArrayList { post("/string", large, "1.0") } << ok(large);
}

void TestHttpServer::content()
{
    QFETCH(QByteArrayList, parts);

    RawClient client(m_server->port());
    for (const QByteArray& part : parts) {
        client.send(part);
        QTest::qWait(50);
    }
    QTEST(client.readUntilClosed(), "expected");
    QVERIFY(client.closed());
}

void TestHttpServer::pipelinedRequestsInOrder()
{
    RawClient client(m_server->port());
    client.send(post("/string", "one") + get("/groups/two/2") + post("/string", "three") + get("/silent")
        + get("/groups/five/5", "1.1", "Connection: close\r\n"));
    QCOMPARE(client.readUntilClosed(),
        ok("one") + ok("3|/groups/two/2|two|2") + ok("three") + ok("3|/groups/five/5|five|5"));
}

// Beyond a cap the connection ends at once, long before any timeout.
void TestHttpServer::caps_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("answered");

    const QByteArray start = "GET /groups/a/1 HTTP/1.0\r\n";
    const QByteArray end = "\r\n\r\n";
    const int headCap = 64 * 1024;
    const QByteArray filler = "X: " + QByteArray(headCap - start.size() - end.size() - 3, 'f');
    QTest::newRow("head at the cap") << start + filler + end << true;
    QTest::newRow("head beyond the cap") << start + filler + "f" + end << false;
    QTest::newRow("endless head") << start + QByteArray(headCap + 1, 'f') << false;
    QTest::newRow("content beyond the cap")
        << QByteArray("POST /string HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n") << false;
}

void TestHttpServer::caps()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, answered);

    RawClient client(m_server->port());
    client.send(request);
    const QByteArray received = client.readUntilClosed();
    QVERIFY2(client.closed(), "left open");
    QCOMPARE(received, answered ? ok("3|/groups/a/1|a|1") : QByteArray());
}

void TestHttpServer::routing_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("groups") << get("/groups/abc/42", "1.0") << ok("3|/groups/abc/42|abc|42");
    QTest::newRow("whole path must match") << get("/groups/abc/42/", "1.0") << QByteArray();
    QTest::newRow("method in lower case") << QByteArray("get /groups/abc/42 HTTP/1.0\r\n\r\n") << QByteArray();
    QTest::newRow("method without route") << post("/describe/x", "", "1.0") << QByteArray();
    QTest::newRow("agent-like query") << get("/query?callback=sharestatus&mail=a%40b",
        "1.0") << ok("{\"callback\":\"sharestatus\",\"query\":\"?callback=sharestatus&mail=a%40b\"}");
    QTest::newRow("not HTTP") << QByteArray("GET /groups/abc/42 FTP/1.0\r\n\r\n") << QByteArray();
}

void TestHttpServer::routing()
{
    QFETCH(QByteArray, request);

    RawClient client(m_server->port());
    client.send(request);
    QTEST(client.readUntilClosed(), "expected");
    QVERIFY(client.closed());
}

// A throwing handler ends its connection with nothing sent, even for 1.1; an
// exception of another kind is reported and the thread serves on.
void TestHttpServer::failingHandlerEndsOnlyItsConnection()
{
    {
        RawClient client(m_server->port());
        client.send(get("/throw") + get("/groups/a/1"));
        QCOMPARE(client.readUntilClosed(), QByteArray());
        QVERIFY(client.closed());
    }

    {
        const Vondra::Testing::WarningCounter serverWarnings(QStringLiteral("HTTP server:"));
        const int throws = 6; // more than the server has threads
        for (int i = 0; i < throws; ++i) {
            RawClient client(m_server->port());
            client.send(get("/throw-int"));
            client.readUntilClosed();
            QVERIFY(client.closed());
        }
        QTRY_COMPARE(serverWarnings.count(), throws);
    }

    RawClient client(m_server->port());
    client.send(get("/groups/a/1", "1.0"));
    QCOMPARE(client.readUntilClosed(), ok("3|/groups/a/1|a|1"));
}

void TestHttpServer::silentHandlerKeepsConnection()
{
    RawClient client(m_server->port());
    client.send(get("/silent"));
    QCOMPARE(client.readResponse(300), QByteArray());
    QVERIFY(client.isConnected());
    client.send(get("/groups/a/1"));
    QCOMPARE(client.readResponse(), ok("3|/groups/a/1|a|1"));
}

namespace {

struct GroupingPunct : std::numpunct<char>
{
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

} // namespace

// Handlers write their numbers with <<; a program-wide locale that groups
// digits must not reach the Content-Length they write.
void TestHttpServer::numbersIgnoreTheGlobalLocale()
{
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new GroupingPunct));
    RawClient client(m_server->port());
    const QByteArray body(1234, 'n');
    client.send(post("/string", body));
    const QByteArray response = client.readResponse();
    std::locale::global(previous);
    QCOMPARE(response, ok(body));
}

// Open connections in every state do not keep start() from returning, and
// the destroyed server leaves nothing of them behind.
void TestHttpServer::stopWithOpenConnections()
{
    Observed observed;
    TestServer running(longTimeout, longTimeout, [&observed](Server& server) { addRoutes(server, observed); });
    QVERIFY2(running.port() != 0, qPrintable(running.startError()));

    RawClient idle(running.port());
    RawClient halfHead(running.port());
    halfHead.send("GET /describe HTTP/1.1\r\nHost:");
    RawClient halfBody(running.port());
    halfBody.send("POST /string HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
    RawClient sending(running.port());
    sending.socket().setReadBufferSize(64 * 1024);
    sending.send(get("/big"));
    QTRY_VERIFY(observed.bigRequestAlive()); // its handler is suspended in the write
    QVERIFY(idle.isConnected());

    QVERIFY2(running.stop(), "start() did not return");
    running.destroy();
    QVERIFY(!observed.bigRequestAlive());
    for (RawClient* client : { &idle, &halfHead, &halfBody }) {
        QCOMPARE(client->readUntilClosed(), QByteArray());
        QVERIFY(client->closed());
    }
    sending.readUntilClosed(30000);
    QVERIFY(sending.closed());
}

void TestHttpServer::startReportsTheFailingStep()
{
    TestServer second(longTimeout, longTimeout, [this](Server& server) {
        server.settings.port = m_server->port();
        server.settings.reuse_address = true;
    });
    QCOMPARE(second.port(), quint16(0));
    QVERIFY2(second.startError().startsWith(QLatin1String("bind")), qPrintable(second.startError()));
}

// The figure cleanupTestCase() checks is only worth something if the probe
// sees a handler that does go deep.
// A program the host starts (a tool the agent launches) must hold neither the
// port nor a connection once the server has gone.
void TestHttpServer::childProcessesHoldNoSocket()
{
    Observed observed;
    TestServer running(longTimeout, longTimeout, [&observed](Server& server) { addRoutes(server, observed); });
    QVERIFY2(running.port() != 0, qPrintable(running.startError()));
    RawClient connected(running.port());
    connected.send(get("/describe"));
    QVERIFY(!connected.readResponse().isEmpty());

    QProcess child;
    child.start(QStringLiteral("sleep"), { QStringLiteral("60") });
    QVERIFY2(child.waitForStarted(), qPrintable(child.errorString()));
    const auto endChild = qScopeGuard([&child] {
        child.kill();
        child.waitForFinished();
    });
    QVERIFY2(running.stop(), "start() did not return");
    running.destroy();

    QCOMPARE(connected.readUntilClosed(5000), QByteArray());
    QVERIFY(connected.closed());
    QTcpServer successor;
    QVERIFY2(successor.listen(QHostAddress::LocalHost, running.port()), qPrintable(successor.errorString()));
}

void TestHttpServer::stackProbeSeesDeepHandlers()
{
    constexpr std::size_t depth = 24 * 1024;
    TestServer deep(longTimeout, longTimeout, [](Server& server) {
        server.settings.measure_stack_use = true;
        server.routes["^/deep$"]["GET"] = [](Server::Response& response, std::shared_ptr<Server::Request>) {
            volatile char frame[depth];
            for (std::size_t i = 0; i < depth; i += 512)
                frame[i] = char(i);
            answer(response, std::string(1, frame[depth - 512]));
        };
    });
    QVERIFY2(deep.port() != 0, qPrintable(deep.startError()));
    RawClient client(deep.port());
    client.send(get("/deep", "1.0"));
    QVERIFY(!client.readUntilClosed().isEmpty());
    QVERIFY(deep.server().deepest_stack_use() >= depth);
    QVERIFY(deep.server().deepest_stack_use() < depth + 8 * 1024);
}

TAVLO_TEST(TestHttpServer)
#include "tst_httpserver.moc"
