#include "BuiltPrograms.h"
#include "InstalledAgent.h"
#include "RawClient.h"
#include "StartRecorder.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestRepository.h"

#include <QDir>
#include <QtTest>

#include <sys/stat.h>

using namespace Vondra::Testing;

namespace {

const QByteArray shareStatusAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 35\r\nContent-Type: application/json\r\n\r\n"
                                     "sharestatus({ \"message\":\"done\" })\r\n";

// What becomes of a row's request beside its answer; the detail says of what.
enum class Effect {
    None,
    Starts, // Probe2, with the arguments in the detail
    Refused, // nothing starts or is checked; the trace names the request in the detail
    LeavesNoDirectory, // once the launch has ended, for the tool in the detail
    KeepsDirectory,
};

QByteArray get(const QByteArray& target)
{
    return "GET " + target + " HTTP/1.1\r\n\r\n";
}

QByteArray framed(const QByteArray& head, const QByteArray& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + head + "\r\n" + body;
}

// A record of one package, as our writer has it or as a page may plant it.
QByteArray record(const QByteArray& name, const QByteArray& version, const QByteArray& attributes = {},
    const QByteArray& content = {})
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<packageRecord format=\"1\"><package name=\"" + name
        + "\" version=\"" + version + "\"" + attributes + ">" + content + "</package></packageRecord>\n";
}

QByteArray listed(const QByteArray& name, const QByteArray& version)
{
    return "{\"install_date\":\"\",\"last_update_date\":\"\",\"name\":\"" + name + "\",\"version\":\"" + version
        + "\"}";
}

} // namespace

Q_DECLARE_METATYPE(Effect)

// What a hostile page, or a record planted beside the agent, can reach
// through one resident agent: nothing but starting a tool with data.
class TestHostilePages : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void request_data();
    void request();

private:
    QString toolDir(const QString& name) const { return QDir(m_agent->appsDir()).filePath(name); }
    int traceCount(const QByteArray& text) const { return m_agent->trace().count(text); }

    std::unique_ptr<InstalledAgent> m_agent;
};

void TestHostilePages::initTestCase()
{
    m_agent = std::make_unique<InstalledAgent>();
    // Checks fail at once: nothing listens there.
    const QString keyFile = m_agent->root() + "/update_key.pub";
    QVERIFY(writeFile(keyFile, TestRepository::allowUnsignedKeyFile()));
    QString error;
    QVERIFY2(m_agent->installUpdating(
                 QStringLiteral("http://127.0.0.1:%1/").arg(InstalledAgent::freePort()), keyFile, &error),
        qPrintable(error));
    QVERIFY(QDir().mkpath(toolDir("Probe2")) && copyProgram(startRecorderPath(), toolDir("Probe2"), "Probe"));
    QVERIFY(QDir().mkpath(toolDir("Kept")));

    QByteArray attributes;
    for (int i = 0; i < 31; ++i)
        attributes += " a" + QByteArray::number(i) + "=\"1\"";
    const QMap<QString, QByteArray> records { { "Beta", record("beta", "beta") }, { "Zero", record("zero", "0") },
        { "Zeros", record("zeros", "0.0.0") }, { "Placeholder", record("placeholder", "0.0") },
        // Past the shape a record may have: 33 attributes, 17 deep.
        { "Attributes", record("attributes", "1.0", attributes) },
        { "Depth", record("depth", "1.0", {}, QByteArray("<x>").repeated(15) + QByteArray("</x>").repeated(15)) } };
    for (auto record = records.cbegin(); record != records.cend(); ++record)
        QVERIFY(writeFile(toolDir(record.key()) + "/Packages.xml", record.value()));
    // A record that is no file would hold every bridge thread in open().
    QVERIFY(QDir().mkpath(toolDir("Fifo")));
    QCOMPARE(::mkfifo(QFile::encodeName(toolDir("Fifo") + "/Packages.xml").constData(), 0600), 0);

    QVERIFY2(m_agent->start(), qPrintable(m_agent->errorString()));
}

void TestHostilePages::cleanupTestCase()
{
    if (m_agent)
        QVERIFY(m_agent->stop());
}

void TestHostilePages::request_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<Effect>("effect");
    QTest::addColumn<QString>("detail");

    const QByteArray script = "<html><script>document.title = 'ran'</script>";
    QTest::newRow("echo is text") << "POST /string HTTP/1.1\r\nContent-Length: " + QByteArray::number(script.size())
            + "\r\n\r\n"
            + script << framed("Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n", script)
                                  << Effect::None << QString();
    QTest::newRow("tavinfo lists real versions only")
        << get("/?callback=tavinfo")
        << framed("Content-Type: application/json\r\n",
               "tavinfo([" + listed("beta", "beta") + "," + listed("zero", "0") + "," + listed("zeros", "0.0.0")
                   + "])\r\n")
        << Effect::None << QString();

    QTest::newRow("options in the path form")
        << get("/Probe2/?callback=sharestatus&+-platformpluginpath+/tmp/plugins+-platform+evil") << shareStatusAnswer
        << Effect::Refused << "Probe2/?callback=sharestatus&+-platformpluginpath+/tmp/plugins+-platform+evil";
    QTest::newRow("option in the query form")
        << get("/?callback=sharestatus&tool=Probe2&-platform=evil") << shareStatusAnswer << Effect::Refused
        << "?callback=sharestatus&tool=Probe2&-platform=evil";
    QTest::newRow("a value may begin with -")
        << get("/?callback=sharestatus&tool=Probe2&key=-1") << shareStatusAnswer << Effect::Starts << "key=-1";
    QTest::newRow("a tool that exists nowhere leaves nothing")
        << get("/?callback=sharestatus&tool=Absent7") << shareStatusAnswer << Effect::LeavesNoDirectory << "Absent7";
    QTest::newRow("a directory the user made stays")
        << get("/?callback=sharestatus&tool=Kept") << shareStatusAnswer << Effect::KeepsDirectory << "Kept";
}

void TestHostilePages::request()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(Effect, effect);
    QFETCH(QString, detail);
    const int probeStarts = recordedStarts(toolDir("Probe2")).size();
    const int probeChecks = traceCount("/Probe2\", \"-v\"");
    const QByteArray notFound = "failed to find the appropriate application.";
    const int toolsNotFound = traceCount(notFound);

    // A page of its own, so that a request the agent never answers holds up
    // no other.
    RawClient page(m_agent->port());
    page.send(request);
    QCOMPARE(page.readResponse(), answer);

    switch (effect) {
    case Effect::None:
        break;
    case Effect::Starts:
        QTRY_COMPARE_WITH_TIMEOUT(recordedStarts(toolDir("Probe2")).size(), probeStarts + 1, 10000);
        QCOMPARE(recordedStarts(toolDir("Probe2")).constLast().arguments, detail.split('\n'));
        break;
    case Effect::Refused: {
        const QByteArray line = "launch refused, an argument is an option: \"" + detail.toUtf8() + "\"";
        QTRY_COMPARE_WITH_TIMEOUT(traceCount(line), 1, 10000);
        QCOMPARE(traceCount("/Probe2\", \"-v\""), probeChecks);
        QCOMPARE(recordedStarts(toolDir("Probe2")).size(), probeStarts);
        break;
    }
    case Effect::LeavesNoDirectory:
        QTRY_COMPARE_WITH_TIMEOUT(traceCount(notFound), toolsNotFound + 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(toolDir(detail)), 10000);
        break;
    case Effect::KeepsDirectory:
        QTRY_COMPARE_WITH_TIMEOUT(traceCount(notFound), toolsNotFound + 1, 10000);
        QTest::qWait(500); // a directory removed would be gone by now
        QVERIFY(QFileInfo(toolDir(detail)).isDir());
        break;
    }
}

TAVLO_TEST(TestHostilePages)
#include "tst_hostilepages.moc"
