#include "BuiltPrograms.h"
#include "InstalledAgent.h"
#include "ProcessRunner.h"
#include "TestDisplay.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestRepository.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <csignal>

using namespace Vondra::Testing;

namespace {

const QString buildDir = QStringLiteral(TAVLO_BUILD_DIR);
const QString agentDir = QStringLiteral(".local/share/Tavlo/TavAgent");
const QString handlerEntry = QStringLiteral(".local/share/applications/tavlo-agent.desktop");
const QString autostartEntry = QStringLiteral(".config/autostart/tavlo-agent.desktop");
const QString settingsFile = QStringLiteral(".config/Tavlo/TavAgent.ini");

// A user of their own, with the agent installed for them by user-install.sh
// into their home; the agent's bridge listens on a free port.
class UserSession
{
public:
    explicit UserSession(const QString& homeName)
        : m_agent(homeName + QLatin1Char('/') + agentDir, homeName)
        , m_environment(m_agent.environment())
    {
        m_agent.setSetting(QStringLiteral("listen_address"), QStringLiteral("127.0.0.1"));
        m_agent.setSetting(QStringLiteral("listen_port"), InstalledAgent::freePort());
    }

    bool isValid() const { return m_agent.isValid() && m_agent.setting(QStringLiteral("listen_port")).isValid(); }
    QString path(const QString& relative) const { return m_agent.home() + QLatin1Char('/') + relative; }
    QString agent() const { return m_agent.program(); }
    quint16 bridgePort() const { return quint16(m_agent.setting(QStringLiteral("listen_port")).toUInt()); }
    void setDisplay(const QString& display) { m_environment.insert(QStringLiteral("DISPLAY"), display); }

    ProcessRun run(const QString& program, const QStringList& arguments, const QString& workingDir = QString()) const
    {
        return runProcess(program, arguments, m_environment, workingDir, 120000);
    }

    // "install --build BUILD ..." or "uninstall ...".
    ProcessRun userInstall(QStringList arguments) const
    {
        if (arguments.constFirst() == QLatin1String("install"))
            arguments << QStringLiteral("--build") << buildDir;
        return run(QStringLiteral(TAVLO_SOURCE_DIR "/Deploy/user-install.sh"), arguments);
    }

    // Starts the resident agent as a session does at log-on, through a
    // launcher that follows the desktop entry rules (quoting, Path=).
    bool logOn() const { return run(QStringLiteral("gio"), { "launch", path(autostartEntry) }).succeeded(); }

    bool validates(const QString& entry) const
    {
        const ProcessRun validation = run(QStringLiteral("desktop-file-validate"), { path(entry) });
        return validation.succeeded() && validation.standardOutput.isEmpty() && validation.standardError.isEmpty();
    }

    QList<qint64> agentProcesses() const { return processesRunning(agent()); }

private:
    InstalledAgent m_agent;
    QProcessEnvironment m_environment;
};

// A one-file tool, executable, published signed with the repository's key.
bool addTool(TestRepository& repository, const QString& name, const QString& version, const QString& file,
    const QByteArray& content)
{
    QTemporaryDir package;
    const QString path = package.filePath(file);
    return package.isValid() && writeFile(path, content)
        && QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner)
        && repository.addDirectory(name, version, package.path()).succeeded();
}

QStringList installOptions(const TestRepository& repository)
{
    return { "--update-host", repository.url(), "--update-key", repository.publicKey() };
}

} // namespace

class TestUserInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installedAgentUpdatesFromItsRecordedVersion();
    void desktopHandsTavloUrlsToTheInstalledAgent();
    void autostartEntryStartsTheResidentAgent();
    void uninstallEndsTheAgentAndKeepsToolsAndSettings();
};

void TestUserInstall::initTestCase()
{
    for (const char* program : { "xdg-open", "xdg-mime", "desktop-file-validate", "gio", "Xvfb" }) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is missing (./dev.sh installs it)").arg(program)));
    }
}

// Without the agent's own package recorded, TavUpdate would register the
// placeholder "0.0" and take any published agent for an update.
void TestUserInstall::installedAgentUpdatesFromItsRecordedVersion()
{
    UserSession session(QStringLiteral("home"));
    TestRepository repository;
    QVERIFY(session.isValid() && repository.isValid());
    QVERIFY(
        addTool(repository, QStringLiteral("tavagent"), QStringLiteral("7.0"), QStringLiteral("TavAgent"), "agent"));
    const ProcessRun installed = session.userInstall(QStringList { "install" } + installOptions(repository));
    QVERIFY2(installed.succeeded(), qPrintable(installed.describe()));
    QCOMPARE(readFile(session.path(agentDir + "/update_key.pub")), readFile(repository.publicKey()));

    const QString updater = session.path(agentDir + "/TavUpdate");
    const QStringList check { "-t", "TavAgent", "-d", session.path(agentDir), "-v", "7.0", "-s", "-c" };
    QCOMPARE(session.run(updater, check, session.path(agentDir)).code(), 0);
    QVERIFY(
        addTool(repository, QStringLiteral("tavagent"), QStringLiteral("7.1"), QStringLiteral("TavAgent"), "newer"));
    QCOMPARE(session.run(updater, check, session.path(agentDir)).code(), 1);

    // Installed again as the build was configured, which by default names no key.
    const ProcessRun reinstalled = session.userInstall({ "install" });
    QVERIFY2(reinstalled.succeeded(), qPrintable(reinstalled.describe()));
    if (readFile(session.path(agentDir + "/update_key.pub")).contains("tavlo-ed25519-public"))
        QSKIP("this build was configured with an update key (TAVLO_UPDATE_KEY)");
    QVERIFY(reinstalled.describe().contains(QLatin1String("no update key")));
    QVERIFY(writeFile(session.path(agentDir + "/update_host.dat"), repository.url().toUtf8()));
    // TavUpdate's -2 as Linux hands it back: the search failed, it is not "no updates".
    QCOMPARE(session.run(updater, check, session.path(agentDir)).code(), 254);
    QVERIFY(readFile(session.path(agentDir + "/updater.log")).contains("holds no key"));
}

void TestUserInstall::desktopHandsTavloUrlsToTheInstalledAgent()
{
    const QString request = QStringLiteral("tavlo://?callback=cb&tool=Sample2&file=a.doc");
    UserSession session(QStringLiteral("home"));
    TestRepository repository;
    QVERIFY(session.isValid() && repository.isValid());
    // The tool notes where and how it was started. TavUpdate asks for its
    // target by the lower-cased name.
    QVERIFY(addTool(repository, QStringLiteral("sample2"), QStringLiteral("1.0"), QStringLiteral("Sample"),
        "#!/bin/sh\nprintf '%s\\n' \"$PWD\" \"$@\" > \"$(dirname \"$0\")/started.txt\"\n"));
    const ProcessRun installed = session.userInstall(QStringList { "install" } + installOptions(repository));
    QVERIFY2(installed.succeeded(), qPrintable(installed.describe()));
    QVERIFY(session.validates(handlerEntry));
    QCOMPARE(session.run(QStringLiteral("xdg-mime"), { "query", "default", "x-scheme-handler/tavlo" }).output(),
        QStringLiteral("tavlo-agent.desktop\n"));

    TestDisplay display;
    QString why;
    QVERIFY2(display.start(&why), qPrintable(why));
    session.setDisplay(display.name());
    // xdg-open's generic mode ignores Path=: what TavUpdate logs lands here.
    const ProcessRun opened = session.run(QStringLiteral("xdg-open"), { request }, session.path(QString()));
    QVERIFY2(opened.succeeded(), qPrintable(opened.describe()));
    const QByteArray trace = readFile(session.path(agentDir + "/trace.log"));
    QVERIFY2(
        trace.contains(QStringLiteral("(\"%1\", \"%2\")").arg(session.agent(), request).toUtf8()), trace.constData());

    const QString toolDir = session.path(QStringLiteral(".local/share/Tavlo/Sample2"));
    QTRY_COMPARE(readFile(toolDir + "/started.txt"), (toolDir + "\nfile=a.doc\n").toUtf8());
}

void TestUserInstall::autostartEntryStartsTheResidentAgent()
{
    // The entries quote the agent's path, which holds a space here.
    UserSession session(QStringLiteral("home dir"));
    QVERIFY(session.isValid());
    const ProcessRun installed = session.userInstall({ "install" });
    QVERIFY2(installed.succeeded(), qPrintable(installed.describe()));
    QVERIFY(session.validates(autostartEntry));
    QVERIFY(session.validates(handlerEntry));
    QVERIFY(session.logOn());
    QTRY_COMPARE_WITH_TIMEOUT(session.agentProcesses().size(), 1, 20000);
    const qint64 pid = session.agentProcesses().constFirst();
    const auto endAgent = qScopeGuard([pid] { ::kill(pid_t(pid), SIGTERM); });
    QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/cwd").arg(pid)), session.path(agentDir));
    QTRY_VERIFY(readFile(session.path(agentDir + "/trace.log")).contains("running tavagent."));

    QNetworkAccessManager network;
    std::unique_ptr<QNetworkReply> reply(network.get(
        QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/?callback=tavinfo").arg(session.bridgePort())))));
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 20000);
    QVERIFY2(reply->readAll().startsWith("tavinfo("), qPrintable(reply->errorString()));
}

void TestUserInstall::uninstallEndsTheAgentAndKeepsToolsAndSettings()
{
    UserSession session(QStringLiteral("home"));
    QVERIFY(session.isValid());
    const ProcessRun installed = session.userInstall({ "install" });
    QVERIFY2(installed.succeeded(), qPrintable(installed.describe()));
    QVERIFY(session.logOn());
    QTRY_COMPARE_WITH_TIMEOUT(session.agentProcesses().size(), 1, 20000);

    // What the agent and its updates leave, and what belongs to others.
    const QStringList left { agentDir + "/updater.log", ".cache/Tavlo/TavAgent/handover-1/TavAgent/TavUpdate" };
    const QStringList others { ".local/share/Tavlo/Sample2/Sample", ".local/share/applications/other.desktop",
        ".config/autostart/other.desktop" };
    for (const QString& file : left + others)
        QVERIFY(writeFile(session.path(file), "x"));
    QCOMPARE(
        session.run(QStringLiteral("xdg-mime"), { "default", "other.desktop", "x-scheme-handler/other" }).code(), 0);

    const ProcessRun removed = session.userInstall({ "uninstall" });
    QVERIFY2(removed.succeeded(), qPrintable(removed.describe()));
    QVERIFY(session.agentProcesses().isEmpty());
    for (const QString& file : QStringList { agentDir, handlerEntry, autostartEntry, ".cache/Tavlo" })
        QVERIFY2(!QFileInfo::exists(session.path(file)), qPrintable(file));
    for (const QString& file : others + QStringList { settingsFile })
        QVERIFY2(QFileInfo::exists(session.path(file)), qPrintable(file));
    const QByteArray associations = readFile(session.path(QStringLiteral(".config/mimeapps.list")));
    QVERIFY2(!associations.contains("tavlo") && associations.contains("x-scheme-handler/other=other.desktop"),
        associations.constData());

    const ProcessRun purged = session.userInstall({ "uninstall", "--purge" });
    QVERIFY2(purged.succeeded(), qPrintable(purged.describe()));
    QVERIFY(!QFileInfo::exists(session.path(QStringLiteral(".local/share/Tavlo"))));
    QVERIFY(!QFileInfo::exists(session.path(settingsFile)));
    QVERIFY(QFileInfo::exists(session.path(others.at(1))));
}

TAVLO_TEST(TestUserInstall)
#include "tst_userinstall.moc"
