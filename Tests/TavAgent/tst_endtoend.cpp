#include "ChildProcess.h"
#include "StartRecorder.h"
#include "TestRegistry.h"
#include "TestRepository.h"

#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/types.h>

using namespace Vondra::Testing;

namespace {

const QByteArray newAgentMarker = "\ntavlo-test-agent-7.1\n";

// An installation as users have it: "Apps/Agent" holding TavAgent, TavUpdate,
// the update library, the repository's public key and "update_host.dat"; the
// tools go beside it into "Apps". The agent runs with a home of its own and in
// a working directory of its own.
class AgentInstallation
{
public:
    bool create(const TestRepository& repository, const QString& publicKey, QString* error)
    {
        if (!m_root.isValid() || !m_home.isValid() || !QDir().mkpath(agentDir()) || !QDir().mkpath(workDir())) {
            *error = QStringLiteral("cannot create temporary directories");
            return false;
        }
        return TestRepository::installPrograms(agentDir(), { "TavAgent", "TavUpdate" }, error)
            && QFile::copy(publicKey, QDir(agentDir()).filePath("update_key.pub"))
            && writeFile(QDir(agentDir()).filePath("update_host.dat"), repository.baseUrl().toUtf8() + '\n');
    }

    QString root() const { return m_root.path(); }
    QString appsDir() const { return m_root.filePath("Apps"); }
    QString agentDir() const { return m_root.filePath("Apps/Agent"); }
    QString agentProgram() const { return QDir(agentDir()).filePath("TavAgent"); }
    QString workDir() const { return m_root.filePath("work"); }
    QString home() const { return m_home.path(); }

    ChildRun launch(const QString& request) const
    {
        return runChild(agentProgram(), { request }, childEnvironment(home()), workDir());
    }

    QString trace() const { return QString::fromUtf8(readFile(QDir(agentDir()).filePath("trace.log"))); }

    QVariant toolSetting(const QString& tool) const
    {
        return QSettings(QDir(home()).filePath("Tavlo/TavAgent.ini"), QSettings::IniFormat)
            .value(QStringLiteral("tools/") + tool);
    }

private:
    QTemporaryDir m_root;
    QTemporaryDir m_home;
};

// Every entry under root but the agent's trace, which every run writes.
QMap<QString, QByteArray> treeWithoutTrace(const QString& root)
{
    QMap<QString, QByteArray> tree = treeOf(root);
    tree.remove(QStringLiteral("Apps/Agent/trace.log"));
    return tree;
}

// Processes whose program is the file at path (Linux /proc).
QList<qint64> processesRunning(const QString& path)
{
    QList<qint64> pids;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (isPid && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry)) == path)
            pids << pid;
    }
    return pids;
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

private:
    bool createInstallation(AgentInstallation& installation, const TestRepository& repository);

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
}

bool TestLaunchEndToEnd::createInstallation(AgentInstallation& installation, const TestRepository& repository)
{
    QString error;
    if (!installation.create(repository, m_keys.filePath("key.pub"), &error)) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    return true;
}

void TestLaunchEndToEnd::launchInstallsAndStartsTheTool()
{
    AgentInstallation installation;
    QVERIFY(createInstallation(installation, *m_repository));

    const ChildRun run = installation.launch("tavlo://?callback=cb&tool=Writer2&file=a.doc&mode=edit");
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QString toolDir = QDir(installation.appsDir()).filePath("Writer2");
    QVERIFY2(QFileInfo(toolDir + "/Writer").isExecutable(), qPrintable(installation.trace()));
    QTRY_COMPARE_WITH_TIMEOUT(recordedStarts(toolDir).size(), 1, 10000);
    QCOMPARE(recordedStarts(toolDir).constFirst().arguments, (QStringList { "file=a.doc", "mode=edit" }));
    QCOMPARE(recordedStarts(toolDir).constFirst().directory, toolDir);
    QCOMPARE(installation.toolSetting("Writer2").toString(), toolDir);
}

void TestLaunchEndToEnd::missingToolStartsNothing()
{
    AgentInstallation installation;
    QVERIFY(createInstallation(installation, *m_repository));

    const ChildRun run = installation.launch("tavlo://?callback=cb&tool=Absent9&file=a.doc");
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(
        installation.trace().contains("failed to find the appropriate application."), qPrintable(installation.trace()));
    QVERIFY(!installation.toolSetting("Absent9").isValid());
}

void TestLaunchEndToEnd::rejectedRequestsTouchNothing_data()
{
    QTest::addColumn<QString>("request");
    QTest::newRow("climbing tool") << "tavlo://?callback=cb&tool=../../evil";
    QTest::newRow("parent as path") << "tavlo://../?";
    QTest::newRow("the agent's directory") << "tavlo://?callback=sharestatus&tool=Agent&x=1";
    QTest::newRow("the agent with Qt options") << "tavlo://TavAgent/?+-platformpluginpath+.+-platform+x";
}

void TestLaunchEndToEnd::rejectedRequestsTouchNothing()
{
    QFETCH(QString, request);
    AgentInstallation installation;
    QVERIFY(createInstallation(installation, *m_repository));
    const QMap<QString, QByteArray> before = treeWithoutTrace(installation.root());

    const ChildRun run = installation.launch(request);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(installation.trace().contains("target is empty."), qPrintable(installation.trace()));
    QVERIFY(!installation.trace().contains("check update"));
    QCOMPARE(treeWithoutTrace(installation.root()), before);
    // Neither a setting nor a copy of the agent; the runtime files are the guard's.
    QCOMPARE(QDir(installation.home()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList { ".runtime" });
}

// The tool's directory cannot be made (a dangling link holds its name): the
// tool is not looked for in the working directory, which may hold anything.
void TestLaunchEndToEnd::withoutToolDirectoryNothingStartsFromTheWorkingDirectory()
{
    AgentInstallation installation;
    QVERIFY(createInstallation(installation, *m_repository));
    QVERIFY(QFile::link(installation.root() + "/nowhere", QDir(installation.appsDir()).filePath("Writer2")));
    QVERIFY(copyProgram(startRecorderPath(), installation.workDir(), "Writer"));

    const ChildRun run = installation.launch("tavlo://?callback=cb&tool=Writer2");
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(
        installation.trace().contains("failed to find the appropriate application."), qPrintable(installation.trace()));
    QTest::qWait(200);
    QVERIFY(recordedStarts(installation.workDir()).isEmpty());
}

void TestLaunchEndToEnd::selfUpdateRestartsTheNewAgent()
{
    TestRepository repository;
    QVERIFY2(repository.start(), qPrintable(repository.errorString()));
    const QString package = m_keys.filePath("tavagent-7.1");
    QVERIFY(QDir().mkpath(package));
    QVERIFY(copyProgram(builtAgentPath(), package, "TavAgent"));
    QFile newAgent(QDir(package).filePath("TavAgent"));
    QVERIFY(newAgent.open(QIODevice::Append) && newAgent.write(newAgentMarker) == newAgentMarker.size());
    newAgent.close();
    QVERIFY2(repository.publishDirectory("tavagent", "7.1", package, m_keys.filePath("key")),
        qPrintable(repository.errorString()));
    AgentInstallation installation;
    QVERIFY(createInstallation(installation, repository));
    const auto stopAgents = qScopeGuard([&] {
        for (qint64 pid : processesRunning(installation.agentProgram()))
            ::kill(pid_t(pid), SIGTERM);
    });

    const ChildRun run = installation.launch("tavlo://?callback=cb&tool=Absent9");
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(installation.trace().contains("hand over to"), qPrintable(installation.trace()));

    // TavUpdate, running from the private copy, replaces the agent and starts
    // it again, resident, from its own directory.
    QTRY_COMPARE_WITH_TIMEOUT(processesRunning(installation.agentProgram()).size(), 1, 60000);
    QVERIFY(readFile(installation.agentProgram()).endsWith(newAgentMarker));
    QTRY_COMPARE_WITH_TIMEOUT(installation.trace().count("running tavagent."), 2, 15000);
    const QString trace = installation.trace();
    QVERIFY2(trace.lastIndexOf("running tavagent.") > trace.lastIndexOf("end TavAgent."), qPrintable(trace));

    const qint64 restarted = processesRunning(installation.agentProgram()).constFirst();
    QCOMPARE(::kill(pid_t(restarted), SIGTERM), 0);
    QTRY_VERIFY_WITH_TIMEOUT(processesRunning(installation.agentProgram()).isEmpty(), 15000);
}

TAVLO_TEST(TestLaunchEndToEnd)
#include "tst_endtoend.moc"
