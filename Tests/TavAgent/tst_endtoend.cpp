#include "BuiltPrograms.h"
#include "InstalledAgent.h"
#include "ProcessRunner.h"
#include "RawClient.h"
#include "StartRecorder.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestRepository.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QScopeGuard>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/types.h>
#include <vector>

using namespace Vondra::Testing;

namespace {

const QByteArray newAgentMarker = "\ntavlo-test-agent-7.1\n";

// An update server that holds the index requests of the named targets until
// the test lets each through, so the launches whose update checks wait on it
// are seen occupying their threads. Whatever it answers is a 404: the check
// fails as when the server is down, and the installed tool starts as it is.
class HoldingUpdateServer : public QTcpServer
{
public:
    explicit HoldingUpdateServer(const QStringList& heldTargets)
        : m_held(heldTargets)
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection())
                serve(socket);
        });
    }

    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/").arg(serverPort()); }
    // The targets whose index request waits now.
    QStringList waiting() const { return m_waiting.keys(); }

    void letThrough(const QString& target)
    {
        m_held.removeOne(target);
        if (const QPointer<QTcpSocket> socket = m_waiting.take(target))
            answer(socket);
    }

private:
    void serve(QTcpSocket* socket)
    {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto head = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, head] {
            *head += socket->readAll();
            if (!head->contains("\r\n\r\n"))
                return;
            socket->disconnect(this);
            // "GET /<target>/<index file> HTTP/1.1"
            const QString target = QString::fromUtf8(head->split(' ').value(1).split('/').value(1));
            if (m_held.contains(target))
                m_waiting.insert(target, socket);
            else
                answer(socket);
        });
    }

    static void answer(QTcpSocket* socket)
    {
        socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
    }

    QStringList m_held;
    QMap<QString, QPointer<QTcpSocket>> m_waiting;
};

// The agent's directory under a name of its own, which a request naming it
// must not reach.
const QString agentPath = QStringLiteral("Apps/Agent");

// Every entry of the installation but the agent's trace, which every run
// writes, and the user's home, where the single-instance guard keeps its files.
QMap<QString, QByteArray> treeWithoutTrace(const InstalledAgent& installation)
{
    QMap<QString, QByteArray> tree = treeOf(installation.root());
    const QDir root(installation.root());
    tree.remove(root.relativeFilePath(installation.agentDir() + QStringLiteral("/trace.log")));
    const QString home = root.relativeFilePath(installation.home()) + QLatin1Char('/');
    for (auto entry = tree.begin(); entry != tree.end();)
        entry = entry.key().startsWith(home) ? tree.erase(entry) : std::next(entry);
    return tree;
}

QByteArray get(const QByteArray& target)
{
    return "GET " + target + " HTTP/1.1\r\n\r\n";
}

} // namespace

class TestLaunchEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void launchInstallsAndStartsTheTool();
    void missingToolStartsNothing();
    void rejectedRequestsTouchNothing_data();
    void rejectedRequestsTouchNothing();
    void withoutToolDirectoryNothingStartsFromTheWorkingDirectory();
    void selfUpdateRestartsTheNewAgent();
    void residentHandOverLeavesOnlyTheNewAgent();
    void launchMakesTheResidentAgentUpdateItself();
    void residentStartDuringAHeldLaunchServesTheBridge();
    void quitEndsTheUpdaterPromptly_data();
    void quitEndsTheUpdaterPromptly();
    void elevenLaunchesTenRunOneWaits();

private:
    bool createInstallation(InstalledAgent& installation, const TestRepository& repository);
    // Serves the agent's package, newer than the running agent, and Writer2.
    bool startAgentRepository(TestRepository& repository);
    // A resident agent from an agent's directory that updates from the server at updateHost.
    bool startResident(InstalledAgent& agent, const QString& updateHost);
    // The agent's directory updating from server, and the tool (the start
    // recorder as "writer") installed beside it.
    bool installWithTool(InstalledAgent& agent, const HoldingUpdateServer& server, const QString& tool);

    QTemporaryDir m_keys;
    std::unique_ptr<TestRepository> m_repository;
};

void TestLaunchEndToEnd::initTestCase()
{
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
    m_repository = std::make_unique<TestRepository>();
    QVERIFY2(m_repository->start(), qPrintable(m_repository->errorString()));
    QVERIFY2(m_repository->makeKey(m_keys.filePath("key")), qPrintable(m_repository->errorString()));

    const QString package = m_keys.filePath("writer2-1.0");
    QVERIFY(QDir().mkpath(package));
    QVERIFY(copyProgram(startRecorderPath(), package, "Writer"));
    QVERIFY2(m_repository->publishDirectory("writer2", "1.0", package, m_keys.filePath("key")),
        qPrintable(m_repository->errorString()));

    const QString agentPackage = m_keys.filePath("tavagent-7.1");
    QVERIFY(QDir().mkpath(agentPackage));
    QVERIFY(copyProgram(builtProgram("TavAgent"), agentPackage, "TavAgent"));
    QFile newAgent(QDir(agentPackage).filePath("TavAgent"));
    QVERIFY(newAgent.open(QIODevice::Append) && newAgent.write(newAgentMarker) == newAgentMarker.size());
}

bool TestLaunchEndToEnd::startAgentRepository(TestRepository& repository)
{
    const QString key = m_keys.filePath("key");
    if (repository.start() && repository.publishDirectory("tavagent", "7.1", m_keys.filePath("tavagent-7.1"), key)
        && repository.publishDirectory("writer2", "1.0", m_keys.filePath("writer2-1.0"), key))
        return true;
    qWarning("%s", qPrintable(repository.errorString()));
    return false;
}

bool TestLaunchEndToEnd::startResident(InstalledAgent& agent, const QString& updateHost)
{
    QString error;
    if (!agent.installUpdating(updateHost, m_keys.filePath("key.pub"), &error)) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    if (!agent.start()) {
        qWarning("%s", qPrintable(agent.errorString()));
        return false;
    }
    return true;
}

bool TestLaunchEndToEnd::installWithTool(InstalledAgent& agent, const HoldingUpdateServer& server, const QString& tool)
{
    const QString toolDir = QDir(agent.appsDir()).filePath(tool);
    QString error;
    if (QDir().mkpath(toolDir) && copyProgram(startRecorderPath(), toolDir, "writer", &error)
        && agent.installUpdating(server.baseUrl(), m_keys.filePath("key.pub"), &error))
        return true;
    qWarning("%s", qPrintable(error));
    return false;
}

bool TestLaunchEndToEnd::createInstallation(InstalledAgent& installation, const TestRepository& repository)
{
    QString error;
    if (!installation.installUpdating(repository.baseUrl(), m_keys.filePath("key.pub"), &error)) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    return true;
}

void TestLaunchEndToEnd::launchInstallsAndStartsTheTool()
{
    InstalledAgent installation(agentPath);
    QVERIFY(createInstallation(installation, *m_repository));

    const ProcessRun run = installation.run({ "tavlo://?callback=cb&tool=Writer2&file=a.doc&mode=edit" });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QString toolDir = QDir(installation.appsDir()).filePath("Writer2");
    QVERIFY2(QFileInfo(toolDir + "/Writer").isExecutable(), qPrintable(installation.trace()));
    QTRY_COMPARE_WITH_TIMEOUT(recordedStarts(toolDir).size(), 1, 10000);
    QCOMPARE(recordedStarts(toolDir).constFirst().arguments, (QStringList { "file=a.doc", "mode=edit" }));
    QCOMPARE(recordedStarts(toolDir).constFirst().directory, toolDir);
    QCOMPARE(installation.setting("tools/Writer2").toString(), toolDir);
}

void TestLaunchEndToEnd::missingToolStartsNothing()
{
    InstalledAgent installation(agentPath);
    QVERIFY(createInstallation(installation, *m_repository));

    const ProcessRun run = installation.run({ "tavlo://?callback=cb&tool=Absent9&file=a.doc" });
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(
        installation.trace().contains("failed to find the appropriate application."), qPrintable(installation.trace()));
    QVERIFY(!installation.setting("tools/Absent9").isValid());
    QVERIFY(!QFileInfo::exists(QDir(installation.appsDir()).filePath("Absent9")));
}

void TestLaunchEndToEnd::rejectedRequestsTouchNothing_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("traced");
    const QString noTool = QStringLiteral("target is empty.");
    QTest::newRow("climbing tool") << "tavlo://?callback=cb&tool=../../evil" << noTool;
    QTest::newRow("parent as path") << "tavlo://../?" << noTool;
    QTest::newRow("the agent's directory") << "tavlo://?callback=sharestatus&tool=Agent&x=1" << noTool;
    QTest::newRow("the agent with Qt options") << "tavlo://TavAgent/?+-platformpluginpath+.+-platform+x" << noTool;
    QTest::newRow("a tool with Qt options") << "tavlo://Writer2/?a.doc+-platformpluginpath+."
                                            << "launch refused, an argument is an option: "
                                               "\"tavlo://Writer2/?a.doc+-platformpluginpath+.\"";
}

void TestLaunchEndToEnd::rejectedRequestsTouchNothing()
{
    QFETCH(QString, request);
    QFETCH(QString, traced);
    InstalledAgent installation(agentPath);
    QVERIFY(createInstallation(installation, *m_repository));
    const QMap<QString, QByteArray> before = treeWithoutTrace(installation);

    const ProcessRun run = installation.run({ request });
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(installation.trace().contains(traced.toUtf8()), installation.trace().constData());
    QVERIFY(!installation.trace().contains("check update"));
    QCOMPARE(treeWithoutTrace(installation), before);
    // Neither a setting nor a copy of the agent; the runtime files are the guard's.
    QCOMPARE(QDir(installation.home()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList { ".runtime" });
}

// The tool's directory cannot be made (a dangling link holds its name): the
// tool is not looked for in the working directory, which may hold anything.
void TestLaunchEndToEnd::withoutToolDirectoryNothingStartsFromTheWorkingDirectory()
{
    InstalledAgent installation(agentPath);
    QVERIFY(createInstallation(installation, *m_repository));
    QVERIFY(QFile::link(installation.root() + "/nowhere", QDir(installation.appsDir()).filePath("Writer2")));
    QVERIFY(copyProgram(startRecorderPath(), installation.workDir(), "Writer"));

    const ProcessRun run = installation.run({ "tavlo://?callback=cb&tool=Writer2" });
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(
        installation.trace().contains("failed to find the appropriate application."), qPrintable(installation.trace()));
    QTest::qWait(200);
    QVERIFY(recordedStarts(installation.workDir()).isEmpty());
}

void TestLaunchEndToEnd::selfUpdateRestartsTheNewAgent()
{
    TestRepository repository;
    QVERIFY(startAgentRepository(repository));
    InstalledAgent installation(agentPath);
    QVERIFY(createInstallation(installation, repository));
    installation.setSetting("listen_port", InstalledAgent::freePort());

    const ProcessRun run = installation.run({ "tavlo://?callback=cb&tool=Absent9" });
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(installation.trace().contains("hand over to"), qPrintable(installation.trace()));

    // TavUpdate, running from the private copy, replaces the agent and starts
    // it again, resident, from its own directory.
    QTRY_COMPARE_WITH_TIMEOUT(processesRunning(installation.program()).size(), 1, 60000);
    QVERIFY(readFile(installation.program()).endsWith(newAgentMarker));
    QTRY_COMPARE_WITH_TIMEOUT(installation.trace().count("running tavagent."), 2, 15000);
    const QString trace = installation.trace();
    QVERIFY2(trace.lastIndexOf("running tavagent.") > trace.lastIndexOf("end TavAgent."), qPrintable(trace));

    const qint64 restarted = processesRunning(installation.program()).constFirst();
    QCOMPARE(::kill(pid_t(restarted), SIGTERM), 0);
    QTRY_VERIFY_WITH_TIMEOUT(processesRunning(installation.program()).isEmpty(), 15000);
}

// The resident agent hands over while it is still ending; the agent TavUpdate
// restarts must nevertheless be the first instance, and the only one.
void TestLaunchEndToEnd::residentHandOverLeavesOnlyTheNewAgent()
{
    TestRepository repository;
    QVERIFY(startAgentRepository(repository));
    InstalledAgent agent;
    const QString program = agent.program();
    QVERIFY(startResident(agent, repository.baseUrl()));
    const qint64 oldPid = agent.process().processId();

    RawClient page(agent.port());
    page.send(get("/?callback=sharestatus&tool=Writer2&file=a.doc"));
    QVERIFY(responseBody(page.readResponse()).startsWith("sharestatus("));

    QTRY_COMPARE_WITH_TIMEOUT(agent.process().state(), QProcess::NotRunning, 60000);
    QCOMPARE(agent.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.process().exitCode(), 0);
    QVERIFY2(agent.trace().contains("hand over to"), agent.trace().constData());
    QTRY_COMPARE_WITH_TIMEOUT(agent.trace().count("bridge listening on"), 2, 60000);
    const QList<qint64> running = processesRunning(program);
    QCOMPARE(running.size(), 1);
    QVERIFY(running.constFirst() != oldPid);
    QVERIFY(readFile(program).endsWith(newAgentMarker));
    QTRY_COMPARE_WITH_TIMEOUT(recordedStarts(QDir(agent.appsDir()).filePath("Writer2")).size(), 1, 10000);

    RawClient again(agent.port());
    again.send(get("/?callback=tavinfo"));
    QVERIFY(again.readResponse().contains(R"("name":"tavagent","version":"7.1")"));

    const QByteArray trace = agent.trace();
    const ProcessRun second = runProcess(program, {}, agent.process().processEnvironment(), agent.agentDir());
    QVERIFY(second.finished);
    QCOMPARE(second.exitCode, 0);
    QCOMPARE(agent.trace(), trace);
    QCOMPARE(processesRunning(program), running);
}

// A launch leaves the agent's update to the resident agent and tells it; the
// resident agent then finds its update and hands over.
void TestLaunchEndToEnd::launchMakesTheResidentAgentUpdateItself()
{
    TestRepository repository;
    QVERIFY(startAgentRepository(repository));
    InstalledAgent agent;
    QVERIFY(startResident(agent, repository.baseUrl()));
    const qint64 oldPid = agent.process().processId();

    const ProcessRun run = runProcess(agent.program(), { "tavlo://?callback=cb&tool=Writer2" }, agent.environment());
    QCOMPARE(run.exitCode, 0);
    QTRY_COMPARE_WITH_TIMEOUT(recordedStarts(QDir(agent.appsDir()).filePath("Writer2")).size(), 1, 10000);
    QVERIFY2(agent.trace().contains("agent update left to the running agent."), agent.trace().constData());

    QTRY_COMPARE_WITH_TIMEOUT(agent.process().state(), QProcess::NotRunning, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(agent.trace().count("bridge listening on"), 2, 60000);
    const QList<qint64> running = processesRunning(agent.program());
    QCOMPARE(running.size(), 1);
    QVERIFY(running.constFirst() != oldPid);
    QVERIFY(readFile(agent.program()).endsWith(newAgentMarker));
}

// The log-on autostart races a click on a link: a resident start while a
// launch waits on an update server that holds its answer becomes the one
// resident agent, and still serves the bridge once the launch is over.
void TestLaunchEndToEnd::residentStartDuringAHeldLaunchServesTheBridge()
{
    InstalledAgent agent;
    HoldingUpdateServer server({ "writer2" });
    QVERIFY(server.isListening());
    QVERIFY(installWithTool(agent, server, "writer2"));
    // The launch's check waits until the server lets it through, however long
    // the resident agent takes to start.
    qputenv("TAVUPDATER_INDEX_HEADER_TIMEOUT_MS", "60000");
    const auto restore = qScopeGuard([] { qunsetenv("TAVUPDATER_INDEX_HEADER_TIMEOUT_MS"); });

    QProcess launch;
    launch.setProcessEnvironment(agent.environment());
    launch.start(agent.program(), { "tavlo://?callback=cb&tool=writer2" });
    QTRY_VERIFY_WITH_TIMEOUT(server.waiting().contains("writer2"), 30000);
    QVERIFY2(agent.start(), qPrintable(agent.errorString()));
    QCOMPARE(launch.state(), QProcess::Running);

    server.letThrough("writer2");
    QTRY_COMPARE_WITH_TIMEOUT(launch.state(), QProcess::NotRunning, 30000);
    QCOMPARE(launch.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(recordedStarts(QDir(agent.appsDir()).filePath("writer2")).size(), 1, 10000);
    QCOMPARE(processesRunning(agent.program()), QList<qint64> { agent.process().processId() });
    RawClient page(agent.port());
    page.send(get("/?callback=tavinfo"));
    QVERIFY(responseBody(page.readResponse()).startsWith("tavinfo("));
}

void TestLaunchEndToEnd::quitEndsTheUpdaterPromptly_data()
{
    QTest::addColumn<bool>("resident");
    QTest::newRow("resident agent") << true;
    QTest::newRow("launch-mode agent") << false;
}

// Asked to stop while TavUpdate waits on an update server that does not
// answer, the agent ends TavUpdate and itself within 3 s (an uninstaller
// kills it after 10 s), and starts neither the tool nor an update check of
// its own.
void TestLaunchEndToEnd::quitEndsTheUpdaterPromptly()
{
    QFETCH(bool, resident);
    InstalledAgent agent;
    const QString updater = QDir(agent.agentDir()).filePath("TavUpdate");
    const auto endUpdaters = qScopeGuard([&updater] { endProcessesRunning(updater); });
    HoldingUpdateServer server({ "writer1", "tavagent" });
    QVERIFY(server.isListening());
    QVERIFY(installWithTool(agent, server, "writer1"));
    qputenv("TAVUPDATER_INDEX_HEADER_TIMEOUT_MS", "60000");
    const auto restore = qScopeGuard([] { qunsetenv("TAVUPDATER_INDEX_HEADER_TIMEOUT_MS"); });
    const QByteArray request = "?callback=sharestatus&tool=writer1";

    QProcess launch;
    QProcess* stopped = &launch;
    if (resident) {
        QVERIFY2(agent.start(), qPrintable(agent.errorString()));
        stopped = &agent.process();
        RawClient page(agent.port());
        page.send(get("/" + request));
        QVERIFY(responseBody(page.readResponse()).startsWith("sharestatus("));
    } else {
        launch.setProcessEnvironment(agent.environment());
        launch.start(agent.program(), { QString::fromLatin1("tavlo://" + request) });
    }
    QTRY_VERIFY_WITH_TIMEOUT(server.waiting().contains("writer1"), 30000);
    QCOMPARE(processesRunning(updater).size(), 1);

    const QDeadlineTimer deadline(3000);
    QCOMPARE(::kill(pid_t(stopped->processId()), SIGTERM), 0);
    QVERIFY2(stopped->waitForFinished(int(deadline.remainingTime())), "the agent did not end within 3 s");
    QCOMPARE(stopped->exitStatus(), QProcess::NormalExit);
    QCOMPARE(stopped->exitCode(), 0);
    while (!processesRunning(updater).isEmpty() && !deadline.hasExpired())
        QThread::msleep(20);
    QCOMPARE(processesRunning(updater), QList<qint64>());
    QVERIFY(!server.waiting().contains("tavagent"));
    QVERIFY(recordedStarts(QDir(agent.appsDir()).filePath("writer1")).isEmpty());
}

// Pages ask for eleven tools at once: ten launches run, each holding its thread
// while TavUpdate checks its tool, and the eleventh waits until one is done.
void TestLaunchEndToEnd::elevenLaunchesTenRunOneWaits()
{
    QStringList tools;
    for (int i = 1; i <= 11; ++i)
        tools << QStringLiteral("writer%1").arg(i);
    InstalledAgent agent;
    const auto toolDir = [&agent](const QString& tool) { return QDir(agent.appsDir()).filePath(tool); };
    for (const QString& tool : tools)
        QVERIFY(QDir().mkpath(toolDir(tool)) && copyProgram(startRecorderPath(), toolDir(tool), "writer"));
    // Declared after the agent, so it goes first: the agent then ends without
    // waiting for the checks still under way to time out.
    HoldingUpdateServer server(tools);
    QVERIFY(server.isListening());
    // Held checks must not time out, however slowly the ten get going.
    qputenv("TAVUPDATER_INDEX_HEADER_TIMEOUT_MS", "60000");
    const auto restore = qScopeGuard([] { qunsetenv("TAVUPDATER_INDEX_HEADER_TIMEOUT_MS"); });
    QVERIFY(startResident(agent, server.baseUrl()));

    std::vector<std::unique_ptr<RawClient>> pages;
    for (const QString& tool : tools) {
        pages.push_back(std::make_unique<RawClient>(agent.port()));
        pages.back()->send(get("/?callback=sharestatus&file=a.doc&tool=" + tool.toUtf8()));
    }
    for (const auto& page : pages)
        QVERIFY(responseBody(page->readResponse()).startsWith("sharestatus("));

    QTRY_COMPARE_WITH_TIMEOUT(server.waiting().size(), 10, 30000);
    QTest::qWait(500); // time enough for an eleventh check to arrive, were one under way
    QStringList waitingForThread = tools;
    for (const QString& running : server.waiting())
        waitingForThread.removeOne(running);
    QCOMPARE(waitingForThread.size(), 1);
    const QString eleventh = waitingForThread.constFirst();
    const QString done = server.waiting().constFirst();

    server.letThrough(done);
    QTRY_COMPARE_WITH_TIMEOUT(recordedStarts(toolDir(done)).size(), 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(server.waiting().contains(eleventh), 10000);

    for (const QString& tool : tools)
        server.letThrough(tool);
    for (const QString& tool : tools) {
        QTRY_COMPARE_WITH_TIMEOUT(recordedStarts(toolDir(tool)).size(), 1, 10000);
        QCOMPARE(recordedStarts(toolDir(tool)).constFirst().arguments, QStringList { "file=a.doc" });
    }
    // Every check failed (TavUpdate's -2), and every tool started all the same.
    QVERIFY2(agent.trace().count("\"-c\") -2") >= tools.size(), agent.trace().constData());
}

TAVLO_TEST(TestLaunchEndToEnd)
#include "tst_endtoend.moc"
