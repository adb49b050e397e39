#include "BridgeSettings.h"
#include "BuiltPrograms.h"
#include "InstalledAgent.h"
#include "JsonpAnswer.h"
#include "LaunchQueue.h"
#include "ProcessRunner.h"
#include "RawClient.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "WarningCounter.h"

#include <Updater/PackagesInfo.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSemaphore>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

using namespace Vondra::Testing;

using Vondra::BridgeSettings;
using Vondra::JsonpAnswer;
using Vondra::LaunchQueue;
using Vondra::Testing::writeFile;

namespace {

const QByteArray shareStatusAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 35\r\nContent-Type: application/json\r\n\r\n"
                                     "sharestatus({ \"message\":\"done\" })\r\n";

QByteArray echoAnswer(const QByteArray& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nContent-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n\r\n" + body;
}

QByteArray get(const QByteArray& target, const QByteArray& headers = {})
{
    return "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n";
}

// Records a package the way TavUpdate does, through the library's own writer.
bool recordPackage(const QString& directory, const QString& name, const QString& version)
{
    QDir().mkpath(directory);
    Updater::PackagesInfo record;
    record.setDirectory(directory);
    return record.installPackage(name, version, QString(), QString(), {}, 0);
}

// The packages of a tavinfo answer, sorted by name (directories are listed in
// the file system's order), after checking the framing and the byte count.
QJsonArray tavinfoPackages(const QByteArray& response)
{
    const QByteArray body = responseBody(response);
    const QByteArray head = response.left(response.size() - body.size());
    if (head
            != "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size())
                + "\r\nContent-Type: application/json\r\n\r\n"
        || !body.startsWith("tavinfo(") || !body.endsWith(")\r\n"))
        return QJsonArray { QString(QStringLiteral("malformed: ") + QString::fromUtf8(response)) };
    QVariantList packages = QJsonDocument::fromJson(body.mid(8, body.size() - 11)).array().toVariantList();
    std::sort(packages.begin(), packages.end(), [](const QVariant& a, const QVariant& b) {
        return a.toMap().value(QStringLiteral("name")).toString() < b.toMap().value(QStringLiteral("name")).toString();
    });
    return QJsonArray::fromVariantList(packages);
}

QJsonObject package(const QString& name, const QString& version)
{
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    return { { QStringLiteral("name"), name }, { QStringLiteral("version"), version },
        { QStringLiteral("install_date"), today }, { QStringLiteral("last_update_date"), today } };
}

// Whether a connection to address:port is accepted.
bool accepts(const QString& address, quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(address), port);
    return socket.waitForConnected(2000);
}

// Blocks every launch until released, counting those that ran.
class Gate
{
public:
    QRunnable* launch()
    {
        return QRunnable::create([this] {
            ++started;
            release.acquire();
            ++finished;
        });
    }

    std::atomic<int> started { 0 };
    std::atomic<int> finished { 0 };
    QSemaphore release;
};

} // namespace

class TestBridge : public QObject
{
    Q_OBJECT

private slots:
    void requestedAnswer_data();
    void requestedAnswer();
    void answerFraming();
    void packageInfoAsQJsonDocumentWritesIt_data();
    void packageInfoAsQJsonDocumentWritesIt();
    void launchOrigin_data();
    void launchOrigin();
    void settingsFromIni();
    void launchQueueBounds();
    void launchQueueDropsWaitingAtExit();
    void routes();
    void tavinfoFromRecords();
    void bindAddress_data();
    void bindAddress();
    void portInUse();
    void allowedOrigins();
    void handlerStackMargin();
};

void TestBridge::requestedAnswer_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("expected");
    const int none = int(JsonpAnswer::Callback::None);
    const int share = int(JsonpAnswer::Callback::ShareStatus);
    const int info = int(JsonpAnswer::Callback::TavInfo);
    QTest::newRow("share status") << "?callback=sharestatus&tool=Writer2" << share;
    QTest::newRow("behind a path") << "any/path?callback=sharestatus&x=1" << share;
    QTest::newRow("tavinfo") << "?callback=tavinfo" << info;
    QTest::newRow("no question mark") << "callback=tavinfo" << info;
    QTest::newRow("callback not first") << "?tool=A&callback=tavinfo" << info;
    QTest::newRow("no query") << "" << none;
    QTest::newRow("bare question mark") << "?" << none;
    QTest::newRow("other callback") << "?callback=jQuery123" << none;
    QTest::newRow("key in capitals") << "?Callback=tavinfo" << none;
    QTest::newRow("value in capitals") << "?callback=TavInfo" << none;
    QTest::newRow("%40 before parsing") << "?callback=tavinfo%40" << none;
    QTest::newRow("encoded value") << "?callback=tav%69nfo" << info;
}

void TestBridge::requestedAnswer()
{
    QFETCH(QString, query);
    QFETCH(int, expected);
    QCOMPARE(int(JsonpAnswer::requested(query)), expected);
}

void TestBridge::answerFraming()
{
    QCOMPARE(QByteArray::fromStdString(JsonpAnswer::shareStatus()), shareStatusAnswer);
    QCOMPARE(JsonpAnswer::shareStatus().size(), std::size_t(106));
    QCOMPARE(QByteArray::fromStdString(JsonpAnswer::packageInfo({})),
        "HTTP/1.1 200 OK\r\nContent-Length: 13\r\nContent-Type: application/json\r\n\r\ntavinfo([])\r\n");

    Updater::PackageInfo unicode(QString::fromUtf8("žebřík"), QStringLiteral("1.0"));
    unicode.setInstallDate(QDate(2026, 3, 1));
    const QByteArray body = "tavinfo([{\"install_date\":\"2026-03-01\",\"last_update_date\":\"\",\"name\":\"\xc5\xbe"
                            "eb\xc5\x99\xc3\xadk\",\"version\":\"1.0\"}])\r\n";
    QCOMPARE(QByteArray::fromStdString(JsonpAnswer::packageInfo({ unicode })),
        "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size())
            + "\r\nContent-Type: application/json\r\n\r\n" + body);
}

void TestBridge::packageInfoAsQJsonDocumentWritesIt_data()
{
    // Each text becomes one package's name and version.
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("no package") << QStringList();
    QTest::newRow("plain") << QStringList { "tool", "1.2.3", "" };
    QTest::newRow("escapes") << QStringList { "\"quoted\" \\back\\slash/", "\b\f\n\r\t", QString(QChar(0)) + "nul",
        QString("\x01\x1f\x7f"), "</script>" };
    QTest::newRow("non-ASCII") << QStringList { QString::fromUtf8("žebřík"), QString::fromUtf8("文件 ü é"),
        QString(QChar(0x80)) + QChar(0x7ff) + QChar(0x800) + QChar(0xfffd) + QChar(0xfeff) + QChar(0xffff),
        QString::fromUcs4(U"\U0001F600\U0010FFFF") };
    QString everyOtherUnit;
    for (uint u = 1; u <= 0xffff; ++u) {
        if (!QChar::isSurrogate(u))
            everyOtherUnit += QChar(u);
    }
    QTest::newRow("every unit but the surrogates") << QStringList { everyOtherUnit };
    QStringList lone;
    for (uint u = 0xd800; u <= 0xdfff; ++u)
        lone << QString(QChar(u)) << "a" + QString(QChar(u)) + "b";
    QTest::newRow("every lone surrogate") << lone;
    QTest::newRow("surrogates out of order")
        << QStringList { QString(QChar(0xdc00)) + QChar(0xd800), QString(QChar(0xd800)) + QChar(0xd800) + QChar(0xdc00),
               QString(QChar(0xd83d)) + QChar(0xde00) + QChar(0xde00) };
}

// The answer is written by hand; QJsonDocument's compact form is what it must
// equal, byte for byte, dates of every kind included.
void TestBridge::packageInfoAsQJsonDocumentWritesIt()
{
    QFETCH(QStringList, texts);
    const QList<QDate> dates { QDate(), QDate(2026, 3, 1), QDate(1, 1, 1), QDate(999, 12, 31), QDate(9999, 12, 31),
        QDate(10000, 1, 1), QDate(-44, 3, 15) };
    const auto isoDate = [](const QDate& date) { return date.isValid() ? date.toString(Qt::ISODate) : QString(); };
    QList<Updater::PackageInfo> packages;
    QJsonArray expected;
    for (int i = 0; i < texts.size(); ++i) {
        Updater::PackageInfo package(texts.at(i), texts.at(i));
        package.setInstallDate(dates.at(i % dates.size()));
        package.setLastUpdateDate(dates.at((i + 3) % dates.size()));
        packages << package;
        expected.append(QJsonObject { { "name", package.name() }, { "version", package.version() },
            { "install_date", isoDate(package.installDate()) },
            { "last_update_date", isoDate(package.lastUpdateDate()) } });
    }
    const QByteArray body = "tavinfo(" + QJsonDocument(expected).toJson(QJsonDocument::Compact) + ")\r\n";
    QCOMPARE(QByteArray::fromStdString(JsonpAnswer::packageInfo(packages)),
        "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size())
            + "\r\nContent-Type: application/json\r\n\r\n" + body);
}

void TestBridge::launchOrigin_data()
{
    QTest::addColumn<QStringList>("allowed");
    QTest::addColumn<QString>("origin");
    QTest::addColumn<QString>("referer");
    QTest::addColumn<bool>("allows");
    const QStringList list { "https://docs.example", "http://127.0.0.1:8080" };
    QTest::newRow("no list: every page") << QStringList() << ""
                                         << "" << true;
    QTest::newRow("listed origin") << list << "https://docs.example"
                                   << "" << true;
    QTest::newRow("default port written out") << list << "https://docs.example:443"
                                              << "" << true;
    QTest::newRow("letter case") << list << "HTTPS://Docs.Example"
                                 << "" << true;
    QTest::newRow("listed port") << list << "http://127.0.0.1:8080"
                                 << "" << true;
    QTest::newRow("other port") << list << "http://127.0.0.1:8081"
                                << "" << false;
    QTest::newRow("other scheme") << list << "http://docs.example"
                                  << "" << false;
    QTest::newRow("suffix of a listed host") << list << "https://docs.example.evil"
                                             << "" << false;
    QTest::newRow("opaque origin") << list << "null"
                                   << "" << false;
    QTest::newRow("neither header") << list << ""
                                    << "" << false;
    QTest::newRow("referer only") << list << ""
                                  << "https://docs.example/share/7?x=1" << true;
    QTest::newRow("referer with user info") << list << ""
                                            << "https://docs.example@evil.example/" << false;
    QTest::newRow("origin wins over referer") << list << "https://evil.example"
                                              << "https://docs.example/" << false;
}

void TestBridge::launchOrigin()
{
    QFETCH(QStringList, allowed);
    QFETCH(QString, origin);
    QFETCH(QString, referer);
    QFETCH(bool, allows);
    QTemporaryDir dir;
    QSettings ini(dir.filePath(QStringLiteral("a.ini")), QSettings::IniFormat);
    if (!allowed.isEmpty())
        ini.setValue(QStringLiteral("allowed_origins"), allowed);
    const BridgeSettings settings = BridgeSettings::read(ini);
    QCOMPARE(settings.allowsLaunchFrom(BridgeSettings::requestOrigin(origin, referer)), allows);
}

// As an administrator writes the file by hand.
void TestBridge::settingsFromIni()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("TavAgent.ini"));
    const auto read = [&file](const QByteArray& text) {
        writeFile(file, "[General]\n" + text);
        return BridgeSettings::read(QSettings(file, QSettings::IniFormat));
    };

    BridgeSettings settings = read("");
    QCOMPARE(settings.address, QStringLiteral("127.0.0.1"));
    QCOMPARE(settings.port, quint16(10086));
    QVERIFY(settings.allowedOrigins.isEmpty());

    settings = read("listen_address=0.0.0.0\nlisten_port=18080\n"
                    "allowed_origins=https://docs.example, http://127.0.0.1:8080, not an origin\n");
    QCOMPARE(settings.address, QStringLiteral("0.0.0.0"));
    QCOMPARE(settings.port, quint16(18080));
    QCOMPARE(settings.allowedOrigins, QStringList({ "https://docs.example:443", "http://127.0.0.1:8080" }));

    for (const QByteArray port : { "0", "65536", "80x", "-1" })
        QCOMPARE(read("listen_port=" + port + "\n").port, quint16(10086));
}

void TestBridge::launchQueueBounds()
{
    Gate gate;
    {
        LaunchQueue queue(10, 100);
        for (int i = 0; i < 11; ++i)
            QVERIFY(queue.enqueue(gate.launch()));
        QTRY_COMPARE(gate.started.load(), 10);
        QTest::qWait(100);
        QCOMPARE(gate.started.load(), 10); // the eleventh waits

        for (int i = 11; i < 110; ++i)
            QVERIFY(queue.enqueue(gate.launch()));
        {
            const Vondra::Testing::WarningCounter queueFullWarnings(QStringLiteral("launch queue full"));
            for (int i = 0; i < 50; ++i)
                QVERIFY(!queue.enqueue(gate.launch()));
            QCOMPARE(queueFullWarnings.count(), 1); // once for the burst
            QCOMPARE(queue.pending(), 110);

            gate.release.release(1); // room for one: the burst is over
            QTRY_COMPARE(queue.pending(), 109);
            QVERIFY(queue.enqueue(gate.launch()));
            QVERIFY(!queue.enqueue(gate.launch()));
            QCOMPARE(queueFullWarnings.count(), 2);
        }

        gate.release.release(110);
        QTRY_COMPARE(queue.pending(), 0);
    }
    QCOMPARE(gate.finished.load(), 111);
}

void TestBridge::launchQueueDropsWaitingAtExit()
{
    Gate gate;
    {
        LaunchQueue queue(2, 100);
        for (int i = 0; i < 5; ++i)
            QVERIFY(queue.enqueue(gate.launch()));
        QTRY_COMPARE(gate.started.load(), 2);
        queue.dropWaiting();
        gate.release.release(2);
        queue.waitForRunning();
        QCOMPARE(queue.pending(), 0);
    }
    QCOMPARE(gate.started.load(), 2);
    QCOMPARE(gate.finished.load(), 2);
}

void TestBridge::routes()
{
    InstalledAgent agent;
    QVERIFY2(agent.start(), qPrintable(agent.errorString()));

    RawClient client(agent.port());
    QVERIFY(client.isConnected());
    client.send(get("/?callback=sharestatus&file=a%40b.doc"));
    QCOMPARE(client.readResponse(), shareStatusAnswer);
    client.send("POST /string HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    QCOMPARE(client.readResponse(), echoAnswer("abc"));
    client.send(get("/any/path?callback=tavinfo#?callback=sharestatus"));
    QVERIFY(responseBody(client.readResponse()).startsWith("tavinfo("));
    client.send("POST /string HTTP/1.1\r\n\r\n");
    QCOMPARE(client.readResponse(), echoAnswer(""));

    // Nothing is sent for these, and the connection ends.
    for (const QByteArray& request : { get("/", "Connection: close\r\n"),
             get("/?Callback=tavinfo", "Connection: close\r\n"), get("/?callback=other", "Connection: close\r\n"),
             QByteArray("POST /string/ HTTP/1.1\r\nContent-Length: 1\r\n\r\nx"),
             QByteArray("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n") }) {
        RawClient silent(agent.port());
        silent.send(request);
        QCOMPARE(silent.readUntilClosed(), QByteArray());
        QVERIFY2(silent.closed(), request.constData());
    }

    // The agent ends in order while a page keeps a connection open.
    QVERIFY(client.isConnected());
    QVERIFY(agent.stop());
    QCOMPARE(agent.trace().count("target is empty."), 1);
}

void TestBridge::tavinfoFromRecords()
{
    InstalledAgent agent;
    QVERIFY2(agent.start(), qPrintable(agent.errorString()));
    const QDir root(agent.appsDir());
    RawClient client(agent.port());

    client.send(get("/?callback=tavinfo"));
    QCOMPARE(responseBody(client.readResponse()), QByteArray("tavinfo([])\r\n"));

    // Read again on every request: records written while the agent runs count.
    QVERIFY(recordPackage(root.filePath("Writer2"), "writer2", "1.2.3"));
    QVERIFY(recordPackage(root.filePath("Viewer.old"), "viewer", "2.0"));
    QVERIFY(recordPackage(root.filePath("UPPER"), "upper", "3.1"));
    QVERIFY(recordPackage(root.filePath(QString::fromUtf8("Žebřík")), QString::fromUtf8("žebřík"), "4.0"));
    QVERIFY(recordPackage(root.filePath("Fresh"), "fresh", "0.0"));
    QVERIFY(recordPackage(root.filePath("Mismatch"), "other", "5.0"));
    QVERIFY(root.mkpath("Empty"));
    QVERIFY(writeFile(root.filePath("plain-file"), "not a directory"));

    client.send(get("/?callback=tavinfo"));
    const QJsonArray expected { package("upper", "3.1"), package("viewer", "2.0"), package("writer2", "1.2.3"),
        package(QString::fromUtf8("žebřík"), "4.0") };
    QCOMPARE(tavinfoPackages(client.readResponse()), expected);
}

void TestBridge::bindAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("reachable");
    QTest::addColumn<QString>("unreachable");
    // 127.0.0.2 reaches this host as 127.0.0.1 does, but only a bridge bound to
    // every address (or to it) answers there.
    QTest::newRow("default: loopback only") << ""
                                            << "127.0.0.1"
                                            << "127.0.0.2";
    QTest::newRow("chosen address") << "127.0.0.2"
                                    << "127.0.0.2"
                                    << "127.0.0.1";
    QTest::newRow("every address") << "0.0.0.0"
                                   << "127.0.0.2"
                                   << "";
}

void TestBridge::bindAddress()
{
    QFETCH(QString, address);
    QFETCH(QString, reachable);
    QFETCH(QString, unreachable);
    InstalledAgent agent;
    if (!address.isEmpty())
        agent.setSetting(QStringLiteral("listen_address"), address);
    QVERIFY2(agent.start(), qPrintable(agent.errorString()));
    QVERIFY(accepts(reachable, agent.port()));
    if (!unreachable.isEmpty())
        QVERIFY(!accepts(unreachable, agent.port()));
}

// The agent goes on without its bridge, and says why once.
void TestBridge::portInUse()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost));
    InstalledAgent agent;
    agent.setSetting(QStringLiteral("listen_port"), holder.serverPort());
    QVERIFY2(agent.start(), qPrintable(agent.errorString()));
    QTest::qWait(300);
    QCOMPARE(agent.process().state(), QProcess::Running);
    const QByteArray trace = agent.trace();
    QCOMPARE(trace.count("bridge cannot listen"), 1);
    QVERIFY2(trace.contains("Warning: bridge cannot listen on \"127.0.0.1\" " + QByteArray::number(holder.serverPort())
                 + " : bind: Address already in use"),
        trace.constData());
    QVERIFY(agent.stop());
}

void TestBridge::allowedOrigins()
{
    InstalledAgent agent;
    agent.setSetting(
        QStringLiteral("allowed_origins"), QStringList { "https://docs.example", "http://127.0.0.1:8080" });
    QVERIFY2(agent.start(), qPrintable(agent.errorString()));
    RawClient client(agent.port());

    const QByteArray allowed[] = { "Origin: https://docs.example\r\n", "Referer: http://127.0.0.1:8080/page?x\r\n" };
    const QByteArray refused[] = { "Origin: https://evil.example\r\n", "", "Origin: null\r\n",
        "Referer: https://evil.example/?https://docs.example\r\n" };
    int n = 0;
    for (const QByteArray& headers : allowed) {
        client.send(get("/?callback=sharestatus&file=Allowed" + QByteArray::number(++n), headers));
        QCOMPARE(client.readResponse(), shareStatusAnswer);
    }
    for (const QByteArray& headers : refused) {
        client.send(get("/?callback=sharestatus&file=Refused" + QByteArray::number(++n), headers));
        QCOMPARE(client.readResponse(), shareStatusAnswer);
    }
    client.send(get("/?callback=tavinfo", "Origin: https://evil.example\r\n"));
    QCOMPARE(responseBody(client.readResponse()), QByteArray("tavinfo([])\r\n"));
    // The answer does not wait for the launch, and an ending agent drops the
    // launches still waiting.
    QTRY_COMPARE(agent.trace().count("target is empty."), 2);
    QVERIFY(agent.stop());

    const QByteArray trace = agent.trace();
    // Only the allowed ones were queued; naming no tool, each traces that.
    QCOMPARE(trace.count("target is empty."), 2);
    QCOMPARE(trace.count("launch refused for origin"), 4);
    for (int refused = 3; refused <= 6; ++refused)
        QVERIFY(trace.contains("\"?callback=sharestatus&file=Refused" + QByteArray::number(refused) + "\""));
}

// The coroutine stacks have no guard page: the routes must stay far from
// their end, tavinfo over many tool directories included.
void TestBridge::handlerStackMargin()
{
    QTemporaryDir dir;
    const QDir root(dir.path());
    QVERIFY(root.mkpath("TavAgent"));
    QVERIFY(copyProgram(testProgram("agentprobe"), root.filePath("TavAgent"), QStringLiteral("agentprobe")));
    for (int i = 0; i < 200; ++i) {
        const QString name = QStringLiteral("Tool%1").arg(i);
        QVERIFY(recordPackage(root.filePath(name), name.toLower(), QStringLiteral("1.%1").arg(i)));
    }
    const ProcessRun run = runProcess(
        root.filePath("TavAgent/agentprobe"), { QStringLiteral("bridge-stack"), "3" }, childEnvironment(dir.path()));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const std::size_t deepest = run.standardOutput.trimmed().toULongLong();
    qInfo("deepest bridge handler stack use: %zu of %d bytes", deepest, 64 * 1024);
    QVERIFY(deepest > 0);
    QVERIFY(deepest < 32 * 1024);
}

TAVLO_TEST(TestBridge)
#include "tst_bridge.moc"
