#include "BuiltPrograms.h"
#include "InstalledAgent.h"
#include "NginxServer.h"
#include "ProcessRunner.h"
#include "StartRecorder.h"
#include "TestFiles.h"
#include "TestRegistry.h"

#include <Updater/PackagesInfo.h>

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace Vondra::Testing;

using Vondra::Testing::NginxServer;
using Vondra::Testing::recordedStarts;
using Vondra::Testing::startRecorderPath;
using Vondra::Testing::writeFile;

namespace {

// A page of the service as a page author writes one: the two callbacks fill
// the page, and the agent is addressed by the literal 127.0.0.1.
QByteArray testPage(quint16 agentPort)
{
    const QByteArray agent = "http://127.0.0.1:" + QByteArray::number(agentPort);
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>bridge</title>\n"
           "<script>\n"
           "function tavinfo(tools) { document.getElementById('tools').textContent = tools.map(\n"
           "    function (tool) { return tool.name + ' ' + tool.version; }).join(', '); }\n"
           "function sharestatus(answer) { document.getElementById('launch').textContent = answer.message; }\n"
           "</script></head><body>\n"
           "<p id=\"tools\">no answer</p><p id=\"launch\">no answer</p>\n"
           "<script src=\""
        + agent
        + "/?callback=tavinfo\"></script>\n"
          "<script src=\""
        + agent + "/?callback=sharestatus&tool=Writer2&file=a.doc\"></script>\n</body></html>\n";
}

// A page of another site that posts a hidden form to the echo as soon as it
// loads: were the echo taken for HTML, its script would run as a page of the
// agent's own origin, free to use the bridge.
QByteArray formPostPage(quint16 agentPort)
{
    return "<!DOCTYPE html>\n<html><body>\n"
           "<form id=\"f\" method=\"post\" enctype=\"text/plain\" action=\"http://127.0.0.1:"
        + QByteArray::number(agentPort)
        + "/string\">\n"
          "<input type=\"hidden\" name=\"&lt;html&gt;&lt;body&gt;&lt;script&gt;document.body.textContent = "
          "'script ' + 'ran'&lt;/script&gt;&lt;p&gt;\" value=\"x\"></form>\n"
          "<script>document.getElementById('f').submit();</script>\n</body></html>\n";
}

} // namespace

// The bridge as a real browser uses it: JSONP through <script> elements.
class TestBridgeBrowser : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void pageCallbacksRun();
    void formPostToTheEchoRunsNoScript();

private:
    // The document of url once its scripts have run, as headless Chromium
    // has it; empty when Chromium does not finish.
    QByteArray finalDocument(const QUrl& url);
};

void TestBridgeBrowser::init()
{
    if (QStandardPaths::findExecutable(QStringLiteral("chromium")).isEmpty())
        QSKIP("no chromium on the PATH (Debian package chromium; ./dev.sh installs it)");
    if (!NginxServer::isAvailable())
        QSKIP("no nginx to serve the test page (Debian package nginx)");
}

QByteArray TestBridgeBrowser::finalDocument(const QUrl& url)
{
    QTemporaryDir profile;
    QProcess browser;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), profile.path());
    browser.setProcessEnvironment(environment);
    // Root may only run it without the sandbox; the virtual time budget lets
    // the page's scripts load and run before the DOM is dumped.
    browser.start(QStandardPaths::findExecutable(QStringLiteral("chromium")),
        { "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--user-data-dir=" + profile.path(),
            "--virtual-time-budget=10000", "--dump-dom", url.toString() });
    return browser.waitForFinished(60000) ? browser.readAllStandardOutput() : QByteArray();
}

void TestBridgeBrowser::pageCallbacksRun()
{
    InstalledAgent agent;
    const QString toolDir = QDir(agent.appsDir()).filePath("Writer2");
    Updater::PackagesInfo record;
    QVERIFY(QDir().mkpath(toolDir));
    record.setDirectory(toolDir);
    QVERIFY(record.installPackage("writer2", "1.4", QString(), QString(), {}, 0));
    QVERIFY(copyProgram(startRecorderPath(), toolDir, "Writer"));
    QVERIFY2(agent.start(), qPrintable(agent.errorString()));

    QTemporaryDir site;
    QVERIFY(writeFile(site.filePath("page.html"), testPage(agent.port())));
    NginxServer nginx(site.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));

    const QByteArray dom = finalDocument(nginx.baseUrl().resolved(QUrl("page.html")));
    QVERIFY2(dom.contains("<p id=\"tools\">writer2 1.4</p>"), dom.constData());
    QVERIFY2(dom.contains("<p id=\"launch\">done</p>"), dom.constData());

    QTRY_COMPARE_WITH_TIMEOUT(recordedStarts(toolDir).size(), 1, 10000);
    QCOMPARE(recordedStarts(toolDir).constFirst().arguments, QStringList { "file=a.doc" });
    QCOMPARE(recordedStarts(toolDir).constFirst().directory, toolDir);
    QVERIFY(agent.stop());
}

void TestBridgeBrowser::formPostToTheEchoRunsNoScript()
{
    InstalledAgent agent;
    QVERIFY2(agent.start(), qPrintable(agent.errorString()));
    QTemporaryDir site;
    QVERIFY(writeFile(site.filePath("post.html"), formPostPage(agent.port())));
    NginxServer nginx(site.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));

    const QByteArray dom = finalDocument(nginx.baseUrl().resolved(QUrl("post.html")));
    // The browser went to the echo and shows the posted script as text.
    QVERIFY2(dom.contains("&lt;script&gt;document.body.textContent"), dom.constData());
    QVERIFY2(!dom.contains("script ran"), dom.constData());
}

TAVLO_TEST(TestBridgeBrowser)
#include "tst_bridgebrowser.moc"
