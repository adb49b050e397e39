#include "TestFiles.h"
#include "TestRegistry.h"

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

struct Run
{
    int exitCode = -1; // also when it crashed or did not end in time
    QString output;
};

Run runProgram(const QString& program, const QStringList& arguments,
    const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
    const QString& workingDir = QString())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    Run run;
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    process.kill();
    process.waitForFinished();
    run.output = QString::fromLocal8Bit(process.readAll());
    return run;
}

// xdg-open without a desktop environment opens URLs through their scheme
// handler only when there is a display.
class VirtualDisplay
{
public:
    ~VirtualDisplay()
    {
        m_server.terminate();
        m_server.waitForFinished();
    }

    // ":N", or empty when Xvfb did not start; Xvfb picks a free display and
    // writes its number once it is ready.
    QString start()
    {
        m_server.start(QStringLiteral("Xvfb"), { "-displayfd", "1", "-nolisten", "tcp" });
        QByteArray number;
        while (!number.endsWith('\n') && m_server.waitForReadyRead(10000))
            number += m_server.readAllStandardOutput();
        return number.trimmed().isEmpty() ? QString() : ':' + QString::fromLatin1(number.trimmed());
    }

private:
    QProcess m_server;
};

// A user of their own: home, XDG directories, and settings that give the
// agent's bridge a free port. Agents it leaves running are killed.
class UserSession
{
public:
    explicit UserSession(const QString& homeName)
        : m_home(m_root.filePath(homeName))
        , m_environment(QProcessEnvironment::systemEnvironment())
    {
        for (const char* name : { "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "XDG_DATA_DIRS",
                 "GNOME_DESKTOP_SESSION_ID", "BROWSER", "WAYLAND_DISPLAY", "DISPLAY" })
            m_environment.remove(QString::fromLatin1(name));
        m_environment.insert(QStringLiteral("HOME"), m_home);
        m_environment.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral(".local/share")));
        m_environment.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral(".config")));
        m_environment.insert(QStringLiteral("XDG_CACHE_HOME"), path(QStringLiteral(".cache")));
        m_environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
        m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QTcpServer probe;
        m_valid = probe.listen(QHostAddress::LocalHost) && QDir().mkpath(path(QStringLiteral("run")))
            && QFile::setPermissions(
                path(QStringLiteral("run")), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)
            && writeFile(path(settingsFile),
                QStringLiteral("[General]\nlisten_address=127.0.0.1\nlisten_port=%1\n")
                    .arg(probe.serverPort())
                    .toUtf8());
        m_port = probe.serverPort();
    }

    ~UserSession()
    {
        for (const qint64 pid : agentProcesses())
            ::kill(pid_t(pid), SIGKILL);
    }

    bool isValid() const { return m_valid; }
    QString path(const QString& relative) const { return m_home + QLatin1Char('/') + relative; }
    QString agent() const { return path(agentDir + QStringLiteral("/TavAgent")); }
    quint16 bridgePort() const { return m_port; }
    void setDisplay(const QString& display) { m_environment.insert(QStringLiteral("DISPLAY"), display); }

    Run run(const QString& program, const QStringList& arguments, const QString& workingDir = QString()) const
    {
        return runProgram(program, arguments, m_environment, workingDir);
    }

    // "install --build BUILD ..." or "uninstall ...".
    Run userInstall(QStringList arguments) const
    {
        if (arguments.constFirst() == QLatin1String("install"))
            arguments << QStringLiteral("--build") << buildDir;
        return run(QStringLiteral(TAVLO_SOURCE_DIR "/Deploy/user-install.sh"), arguments);
    }

    // Starts the resident agent as a session does at log-on, through a
    // launcher that follows the desktop entry rules (quoting, Path=).
    bool logOn() const { return run(QStringLiteral("gio"), { "launch", path(autostartEntry) }).exitCode == 0; }

    bool validates(const QString& entry) const
    {
        const Run validation = run(QStringLiteral("desktop-file-validate"), { path(entry) });
        return validation.exitCode == 0 && validation.output.isEmpty();
    }

    QList<qint64> agentProcesses() const
    {
        QList<qint64> pids;
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            if (QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry)).startsWith(agent()))
                pids << entry.toLongLong();
        }
        return pids;
    }

private:
    QTemporaryDir m_root;
    QString m_home;
    QProcessEnvironment m_environment;
    quint16 m_port = 0;
    bool m_valid = false;
};

// A repository signed with a key of its own, made with tavrepo.
class SignedRepository
{
public:
    bool make() { return m_root.isValid() && tavrepo({ "keygen", secretKey() }); }
    QString url() const { return QUrl::fromLocalFile(m_root.filePath(QStringLiteral("repo"))).toString() + '/'; }
    QString publicKey() const { return secretKey() + QStringLiteral(".pub"); }
    QStringList installOptions() const { return { "--update-host", url(), "--update-key", publicKey() }; }

    bool add(const QString& name, const QString& version, const QString& file, const QByteArray& content)
    {
        const QString tree = m_root.filePath(name + version);
        const QString path = QDir(tree).filePath(file);
        return writeFile(path, content) && QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner)
            && tavrepo({ "add", m_root.filePath(QStringLiteral("repo")), name, version, tree, "--key", secretKey() });
    }

private:
    QString secretKey() const { return m_root.filePath(QStringLiteral("signing.key")); }

    static bool tavrepo(const QStringList& arguments)
    {
        return runProgram(QDir(buildDir).filePath(QStringLiteral("bin/tavrepo")), arguments).exitCode == 0;
    }

    QTemporaryDir m_root;
};

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
    SignedRepository repository;
    QVERIFY(session.isValid() && repository.make());
    QVERIFY(repository.add(QStringLiteral("tavagent"), QStringLiteral("7.0"), QStringLiteral("TavAgent"), "agent"));
    const Run installed = session.userInstall(QStringList { "install" } + repository.installOptions());
    QVERIFY2(installed.exitCode == 0, qPrintable(installed.output));
    QCOMPARE(readFile(session.path(agentDir + "/update_key.pub")), readFile(repository.publicKey()));

    const QString updater = session.path(agentDir + "/TavUpdate");
    const QStringList check { "-t", "TavAgent", "-d", session.path(agentDir), "-v", "7.0", "-s", "-c" };
    QCOMPARE(session.run(updater, check, session.path(agentDir)).exitCode, 0);
    QVERIFY(repository.add(QStringLiteral("tavagent"), QStringLiteral("7.1"), QStringLiteral("TavAgent"), "newer"));
    QCOMPARE(session.run(updater, check, session.path(agentDir)).exitCode, 1);

    // Installed again as the build was configured, which by default names no key.
    const Run reinstalled = session.userInstall({ "install" });
    QVERIFY2(reinstalled.exitCode == 0, qPrintable(reinstalled.output));
    if (readFile(session.path(agentDir + "/update_key.pub")).contains("tavlo-ed25519-public"))
        QSKIP("this build was configured with an update key (TAVLO_UPDATE_KEY)");
    QVERIFY(reinstalled.output.contains(QLatin1String("no update key")));
    QVERIFY(writeFile(session.path(agentDir + "/update_host.dat"), repository.url().toUtf8()));
    // TavUpdate's -2 as Linux hands it back: the search failed, it is not "no updates".
    QCOMPARE(session.run(updater, check, session.path(agentDir)).exitCode, 254);
    QVERIFY(readFile(session.path(agentDir + "/updater.log")).contains("holds no key"));
}

void TestUserInstall::desktopHandsTavloUrlsToTheInstalledAgent()
{
    const QString request = QStringLiteral("tavlo://?callback=cb&tool=Sample2&file=a.doc");
    UserSession session(QStringLiteral("home"));
    SignedRepository repository;
    QVERIFY(session.isValid() && repository.make());
    // The tool notes where and how it was started. TavUpdate asks for its
    // target by the lower-cased name.
    QVERIFY(repository.add(QStringLiteral("sample2"), QStringLiteral("1.0"), QStringLiteral("Sample"),
        "#!/bin/sh\nprintf '%s\\n' \"$PWD\" \"$@\" > \"$(dirname \"$0\")/started.txt\"\n"));
    const Run installed = session.userInstall(QStringList { "install" } + repository.installOptions());
    QVERIFY2(installed.exitCode == 0, qPrintable(installed.output));
    QVERIFY(session.validates(handlerEntry));
    QCOMPARE(session.run(QStringLiteral("xdg-mime"), { "query", "default", "x-scheme-handler/tavlo" }).output,
        QStringLiteral("tavlo-agent.desktop\n"));

    VirtualDisplay display;
    const QString displayName = display.start();
    QVERIFY2(!displayName.isEmpty(), "Xvfb did not start");
    session.setDisplay(displayName);
    // xdg-open's generic mode ignores Path=: what TavUpdate logs lands here.
    const Run opened = session.run(QStringLiteral("xdg-open"), { request }, session.path(QString()));
    QVERIFY2(opened.exitCode == 0, qPrintable(opened.output));
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
    const Run installed = session.userInstall({ "install" });
    QVERIFY2(installed.exitCode == 0, qPrintable(installed.output));
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
    const Run installed = session.userInstall({ "install" });
    QVERIFY2(installed.exitCode == 0, qPrintable(installed.output));
    QVERIFY(session.logOn());
    QTRY_COMPARE_WITH_TIMEOUT(session.agentProcesses().size(), 1, 20000);

    // What the agent and its updates leave, and what belongs to others.
    const QStringList left { agentDir + "/updater.log", ".cache/Tavlo/TavAgent/handover-1/TavAgent/TavUpdate" };
    const QStringList others { ".local/share/Tavlo/Sample2/Sample", ".local/share/applications/other.desktop",
        ".config/autostart/other.desktop" };
    for (const QString& file : left + others)
        QVERIFY(writeFile(session.path(file), "x"));
    QCOMPARE(
        session.run(QStringLiteral("xdg-mime"), { "default", "other.desktop", "x-scheme-handler/other" }).exitCode, 0);

    const Run removed = session.userInstall({ "uninstall" });
    QVERIFY2(removed.exitCode == 0, qPrintable(removed.output));
    QVERIFY(session.agentProcesses().isEmpty());
    for (const QString& file : QStringList { agentDir, handlerEntry, autostartEntry, ".cache/Tavlo" })
        QVERIFY2(!QFileInfo::exists(session.path(file)), qPrintable(file));
    for (const QString& file : others + QStringList { settingsFile })
        QVERIFY2(QFileInfo::exists(session.path(file)), qPrintable(file));
    const QByteArray associations = readFile(session.path(QStringLiteral(".config/mimeapps.list")));
    QVERIFY2(!associations.contains("tavlo") && associations.contains("x-scheme-handler/other=other.desktop"),
        associations.constData());

    const Run purged = session.userInstall({ "uninstall", "--purge" });
    QVERIFY2(purged.exitCode == 0, qPrintable(purged.output));
    QVERIFY(!QFileInfo::exists(session.path(QStringLiteral(".local/share/Tavlo"))));
    QVERIFY(!QFileInfo::exists(session.path(settingsFile)));
    QVERIFY(QFileInfo::exists(session.path(others.at(1))));
}

TAVLO_TEST(TestUserInstall)
#include "tst_userinstall.moc"
