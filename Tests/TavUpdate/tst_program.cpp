#include "BuiltPrograms.h"
#include "ProductConfig.h"
#include "ProgramFile.h"
#include "StartRecorder.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestRepository.h"

#include <Updater/PackagesInfo.h>

#include <QDirIterator>
#include <QLockFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include <csignal>
#include <sys/types.h>

using namespace Vondra::Testing;
using Vondra::ProgramFile;

namespace {

// A TavUpdate installation of its own: the program and the update library
// copied side by side (they find each other through $ORIGIN), so the
// "update_host.dat" a test writes beside it is the one it reads.
class Installation
{
public:
    bool create(QString* error)
    {
        // The test repositories are unsigned unless a test installs a key.
        return installPrograms(m_dir.path(), { QStringLiteral("TavUpdate") }, error) && m_work.isValid()
            && writeFile(m_dir.filePath("update_key.pub"), TestRepository::allowUnsignedKeyFile());
    }

    bool setUpdateHost(const QByteArray& content) { return writeFile(m_dir.filePath("update_host.dat"), content); }
    bool installKey(const QString& publicKeyFile)
    {
        return QFile::remove(m_dir.filePath("update_key.pub"))
            && QFile::copy(publicKeyFile, m_dir.filePath("update_key.pub"));
    }

    void prepare(QProcess* process, const QStringList& arguments) const
    {
        process->setProgram(m_dir.filePath(ProgramFile::executableName(QStringLiteral("TavUpdate"))));
        process->setArguments(arguments);
        process->setWorkingDirectory(m_work.path());
        process->setProcessChannelMode(QProcess::MergedChannels);
    }

    // The exit code as the program returned it: Linux hands back its low 8 bits.
    static int exitCode(const QProcess& process)
    {
        if (process.state() != QProcess::NotRunning || process.exitStatus() != QProcess::NormalExit)
            return std::numeric_limits<int>::min();
        return qint8(process.exitCode());
    }

    // With a clock offset ("+2d"), the program runs under faketime, in the
    // library's thread-safe build: the program reads the clock from several threads.
    int run(const QStringList& arguments, QString* output = nullptr, const QString& clockOffset = QString())
    {
        QProcess process;
        prepare(&process, arguments);
        if (!clockOffset.isEmpty()) {
            process.setArguments(
                QStringList { QStringLiteral("-m"), QStringLiteral("-f"), clockOffset, process.program() } + arguments);
            process.setProgram(QStringLiteral("faketime"));
        }
        process.start();
        process.waitForFinished(120000);
        if (output)
            *output = QString::fromLocal8Bit(process.readAll());
        return exitCode(process);
    }

    // The process's working directory, where "./updater.log" goes.
    QString workingDirectory() const { return m_work.path(); }
    // Where the program, its key file and, for a target of its own, its packages live.
    QString directory() const { return m_dir.path(); }
    QString log() const { return QString::fromUtf8(readFile(QDir(m_work.path()).filePath("updater.log"))); }

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_work;
};

// A web server on loopback that answers every request with one fixed
// response and keeps the first request line.
class AnsweringServer : public QTcpServer
{
public:
    explicit AnsweringServer(const QByteArray& response)
    {
        connect(this, &QTcpServer::newConnection, this, [this, response] {
            QTcpSocket* socket = nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, response] {
                if (!socket->canReadLine())
                    return;
                if (requestLine.isEmpty())
                    requestLine = socket->readLine().trimmed();
                socket->write(response);
                socket->disconnectFromHost();
            });
        });
    }

    QByteArray requestLine;
};

// Copies every file of from into to (made if needed).
bool copyTree(const QString& from, const QString& to)
{
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString copy = QDir(to).filePath(QDir(from).relativeFilePath(path));
        if (!QDir().mkpath(QFileInfo(copy).path()) || !QFile::copy(path, copy))
            return false;
    }
    return true;
}

// The lines of the journal of the install running in target, and whether it
// is committed; 0 lines when there is none.
int journalLines(const QString& target, bool* committed = nullptr)
{
    const QStringList work = QDir(target).entryList({ QStringLiteral(".tavupdater-*") }, QDir::Dirs | QDir::Hidden);
    const QByteArray journal
        = work.isEmpty() ? QByteArray() : readFile(QDir(target).filePath(work.first() + QStringLiteral("/journal")));
    if (committed)
        *committed = journal.contains("commit\n");
    return journal.count('\n');
}

} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void invalidCommandLines();
    void checkInstallRecheck();
    void restart();
    void updateHostFile_data();
    void updateHostFile();
    void withoutUpdateHostFileAsksTheServiceHost();
    void trustsTheKeyBesideTheProgram();
    void keysChangeHandsThroughATransitionRelease();
    void expiredIndexIsRefusedUntilResigned();
    void serverTextCannotForgeLogLines();
    void reasonsForOfferingNothingAreLogged();
    void upgradesThroughItsDeltaOrFallsBack();
    void killedUpgradesEndOldOrNew();

private:
    std::unique_ptr<TestRepository> m_repository;
    Installation m_installation;
};

void TestProgram::initTestCase()
{
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
    QString error;
    QVERIFY2(m_installation.create(&error), qPrintable(error));
    m_repository = std::make_unique<TestRepository>();
    QVERIFY2(m_repository->start(), qPrintable(m_repository->errorString()));
    QVERIFY(m_installation.setUpdateHost(m_repository->baseUrl().toUtf8() + '\n'));
}

void TestProgram::invalidCommandLines()
{
    QString output;
    QCOMPARE(m_installation.run({}, &output), -1);
    QVERIFY2(output.contains(QLatin1String("test.")), qPrintable(output));
    QVERIFY2(!output.contains(QLatin1String("argument is invalid.")), qPrintable(output));

    QCOMPARE(m_installation.run({ "-tWriter2", "-v", "7.0", "-d", "D" }, &output), -1);
    QVERIFY2(output.contains(QLatin1String("argument is invalid.")), qPrintable(output));
}

void TestProgram::checkInstallRecheck()
{
    QVERIFY2(m_repository->publish("writer2", "1.0", { { "bin/writer.dat", "writer 1.0" } }),
        qPrintable(m_repository->errorString()));
    QTemporaryDir target;
    const QStringList base { "-t", "Writer2", "-v", "7.0", "-d", target.path(), "-s" };

    QCOMPARE(m_installation.run(base + QStringList { "-c" }), 1);
    Updater::PackagesInfo record;
    record.setDirectory(target.path());
    QCOMPARE(record.targetName(), QStringLiteral("writer27"));
    QCOMPARE(record.targetVersion(), QStringLiteral("7.0"));
    QCOMPARE(record.packageInfoCount(), 1);
    QCOMPARE(record.packageInfo(0).name(), QStringLiteral("writer2"));
    QCOMPARE(record.packageInfo(0).version(), QStringLiteral("0.0"));
    QVERIFY(!QFile::exists(target.filePath("bin/writer.dat")));

    QCOMPARE(m_installation.run(base), 1);
    QCOMPARE(readFile(target.filePath("bin/writer.dat")), QByteArray("writer 1.0"));
    record.reload();
    QCOMPARE(record.packageInfo(record.findPackageInfo("writer2")).version(), QStringLiteral("1.0"));

    QCOMPARE(m_installation.run(base), 0);
}

void TestProgram::restart()
{
    QVERIFY2(m_repository->publish("viewer3", "2.1", { { "viewer.dat", "viewer 2.1" } }),
        qPrintable(m_repository->errorString()));
    QTemporaryDir target;
    // Named unlike the lower-cased target: the restart must still find it.
    QVERIFY(QFile::copy(startRecorderPath(), target.filePath(ProgramFile::executableName(QStringLiteral("Viewer3")))));
    const QStringList base { "-t", "Viewer3", "-v", "7.0", "-d", target.path(), "-s" };

    QCOMPARE(m_installation.run(base + QStringList { "-c", "-e", "x" }), 1);
    QCOMPARE(m_installation.run(base + QStringList { "-e", "a+b++c" }), 1);
    QTRY_COMPARE_WITH_TIMEOUT(recordedStarts(target.path()).size(), 1, 10000);
    QCOMPARE(recordedStarts(target.path()).constFirst().arguments, (QStringList { "a", "b", "", "c" }));

    // Nothing left to install: the target is started all the same.
    QCOMPARE(m_installation.run(base + QStringList { "-e" }), 0);
    QTRY_COMPARE_WITH_TIMEOUT(recordedStarts(target.path()).size(), 2, 10000);
    QCOMPARE(recordedStarts(target.path()).at(1).arguments, QStringList());
}

void TestProgram::updateHostFile_data()
{
    QTest::addColumn<QByteArray>("hostFile");
    QTest::addColumn<int>("expected");

    const QByteArray base = m_repository ? m_repository->baseUrl().toUtf8() : QByteArray();
    QTest::newRow("first line trimmed, the rest ignored")
        << QByteArray(" \t" + base + " \r\nhttp://127.0.0.1:1/\n") << 1;
    // The repository address is then the bare name: the search fails, and the
    // library's complaint lands in the log.
    QTest::newRow("empty") << QByteArray() << -2;
}

void TestProgram::updateHostFile()
{
    QFETCH(QByteArray, hostFile);
    QFETCH(int, expected);

    QVERIFY2(
        m_repository->publish("notes1", "1.5", { { "notes.dat", "notes" } }), qPrintable(m_repository->errorString()));
    Installation installation;
    QString error;
    QVERIFY2(installation.create(&error), qPrintable(error));
    QVERIFY(installation.setUpdateHost(hostFile));
    QTemporaryDir target;

    QCOMPARE(installation.run({ "-t", "Notes1", "-v", "7.0", "-d", target.path(), "-s", "-c" }), expected);
    const QString log = QString::fromUtf8(readFile(QDir(installation.workingDirectory()).filePath("updater.log")));
    if (expected < 0)
        QVERIFY2(log.contains(QLatin1String("notes1")), qPrintable(log));
    else
        QVERIFY2(log.isEmpty(), qPrintable(log));
}

// The default repository lives on the service's host, which a test cannot
// reach; a proxy on loopback stands in for the network and shows where the
// program asked.
void TestProgram::withoutUpdateHostFileAsksTheServiceHost()
{
    Installation installation;
    QString error;
    QVERIFY2(installation.create(&error), qPrintable(error));
    AnsweringServer proxy("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    QVERIFY(proxy.listen(QHostAddress::LocalHost));
    QTemporaryDir target;
    QProcess process;
    installation.prepare(&process, { "-t", "Notes1", "-v", "7.0", "-d", target.path(), "-s", "-c" });
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("http_proxy"), QStringLiteral("http://127.0.0.1:%1").arg(proxy.serverPort()));
    environment.remove(QStringLiteral("no_proxy"));
    process.setProcessEnvironment(environment);
    process.start();

    QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 60000);
    QCOMPARE(Installation::exitCode(process), -2);
    const QByteArray expected = QByteArray("GET http://") + Vondra::Product::serviceHost + "/tavlo/notes1/";
    QVERIFY2(proxy.requestLine.startsWith(expected), proxy.requestLine.constData());
}

void TestProgram::trustsTheKeyBesideTheProgram()
{
    QTemporaryDir keys;
    const QString trusted = keys.filePath("trusted");
    const QString other = keys.filePath("other");
    QVERIFY2(m_repository->makeKey(trusted) && m_repository->makeKey(other), qPrintable(m_repository->errorString()));
    QVERIFY2(m_repository->publish("signed4", "1.0", { { "s.dat", "signed" } }, trusted),
        qPrintable(m_repository->errorString()));
    QVERIFY2(m_repository->publish("forged5", "1.0", { { "f.dat", "forged" } }, other),
        qPrintable(m_repository->errorString()));

    Installation installation;
    QString error;
    QVERIFY2(installation.create(&error), qPrintable(error));
    QVERIFY(installation.setUpdateHost(m_repository->baseUrl().toUtf8()));
    QVERIFY(installation.installKey(trusted + QStringLiteral(".pub")));
    QTemporaryDir signedTarget;
    QTemporaryDir forgedTarget;

    QCOMPARE(installation.run({ "-t", "signed4", "-v", "7.0", "-d", signedTarget.path(), "-s" }), 1);
    QCOMPARE(readFile(signedTarget.filePath("s.dat")), QByteArray("signed"));
    QCOMPARE(installation.run({ "-t", "forged5", "-v", "7.0", "-d", forgedTarget.path(), "-s" }), -2);
    QVERIFY(!QFile::exists(forgedTarget.filePath("f.dat")));
    const QString log = QString::fromUtf8(readFile(QDir(installation.workingDirectory()).filePath("updater.log")));
    QVERIFY2(log.contains(QLatin1String("signature check failed")), qPrintable(log));
}

// The target is the installation itself, so each release brings the key file
// that the next search trusts.
void TestProgram::keysChangeHandsThroughATransitionRelease()
{
    TestRepository repository; // read as file://; its own key is the old one
    QTemporaryDir keys;
    const QString oldKey = repository.secretKey();
    const QString newKey = keys.filePath("new");
    QVERIFY2(repository.isValid() && repository.makeKey(newKey), qPrintable(repository.errorString()));
    const QByteArray bothPublic = readFile(repository.publicKey()) + readFile(newKey + ".pub");
    Installation moving;
    Installation skipping;
    for (Installation* installation : { &moving, &skipping }) {
        QString error;
        QVERIFY2(installation->create(&error), qPrintable(error));
        QVERIFY(installation->setUpdateHost(repository.url().toUtf8()));
        QVERIFY(installation->installKey(repository.publicKey()));
    }
    const auto update = [](Installation& installation) {
        return installation.run({ "-t", "rotator", "-v", "7.0", "-d", installation.directory(), "-s" });
    };

    // The transition release trusts both keys, and both sign its index.
    QVERIFY2(repository.publish("rotator", "7.1", { { "update_key.pub", bothPublic }, { "agent.dat", "7.1" } }, oldKey)
            && repository.resign({ oldKey, newKey }),
        qPrintable(repository.errorString()));
    QCOMPARE(update(moving), 1);
    QCOMPARE(readFile(moving.directory() + "/update_key.pub"), bothPublic);

    const QByteArray newPublic = readFile(newKey + ".pub");
    QVERIFY2(repository.publish("rotator", "7.2", { { "update_key.pub", newPublic }, { "agent.dat", "7.2" } }, newKey),
        qPrintable(repository.errorString()));
    QCOMPARE(update(moving), 1);
    QCOMPARE(readFile(moving.directory() + "/agent.dat"), QByteArray("7.2"));

    // Skipped the transition: still trusts the old key alone, and says which key signed instead.
    QCOMPARE(update(skipping), -2);
    QVERIFY(!QFile::exists(skipping.directory() + "/agent.dat"));
    const QString log = skipping.log();
    QVERIFY2(log.contains("signature check failed") && log.contains(skipping.directory() + "/update_key.pub")
            && log.contains(QString::fromLatin1(newPublic.split(' ').at(1).trimmed())),
        qPrintable(log));
}

void TestProgram::expiredIndexIsRefusedUntilResigned()
{
    if (QStandardPaths::findExecutable(QStringLiteral("faketime")).isEmpty())
        QSKIP("faketime is not installed");
    TestRepository repository;
    Installation installation;
    QString error;
    QVERIFY2(installation.create(&error), qPrintable(error));
    QVERIFY(installation.setUpdateHost(repository.url().toUtf8()) && installation.installKey(repository.publicKey()));
    QVERIFY2(repository.publish("fresh9", "1.0", { { "fresh.dat", "fresh" } }, repository.secretKey())
            && repository.resign({ repository.secretKey() }, 1),
        qPrintable(repository.errorString()));
    const QStringList check { "-t", "fresh9", "-v", "7.0", "-d", installation.workingDirectory(), "-s", "-c" };
    qputenv("FAKETIME_DONT_FAKE_MONOTONIC", "1");
    const auto restore = qScopeGuard([] { qunsetenv("FAKETIME_DONT_FAKE_MONOTONIC"); });

    QCOMPARE(installation.run(check, nullptr, "+2d"), -2);
    QVERIFY2(
        installation.log().contains(QLatin1String("/fresh9/index.json expired on ")), qPrintable(installation.log()));
    QVERIFY2(repository.resign({ repository.secretKey() }, 30), qPrintable(repository.errorString()));
    QCOMPARE(installation.run(check, nullptr, "+2d"), 1);
}

// A reason phrase is the server's text: it must neither drive the terminal
// that shows the log nor start a log entry of its own.
void TestProgram::serverTextCannotForgeLogLines()
{
    AnsweringServer server("HTTP/1.1 404 Not\x1b[2J\r2026-01-01T00:00:00.000Z [error] forged\r\n"
                           "Content-Length: 0\r\nConnection: close\r\n\r\n");
    QVERIFY(server.listen(QHostAddress::LocalHost));
    Installation installation;
    QString error;
    QVERIFY2(installation.create(&error), qPrintable(error));
    QVERIFY(installation.setUpdateHost(QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort()).toUtf8()));
    QTemporaryDir target;
    QProcess process;
    installation.prepare(&process, { "-t", "Notes1", "-v", "7.0", "-d", target.path(), "-s", "-c" });
    process.start();
    QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 60000);
    QCOMPARE(Installation::exitCode(process), -2);

    const QByteArray log = readFile(QDir(installation.workingDirectory()).filePath("updater.log"));
    const QByteArray output = process.readAll();
    for (const QByteArray& text : { log, output }) {
        QVERIFY2(!text.contains('\x1b') && !text.contains('\r'), text.constData());
        QVERIFY2(text.contains("Not\\x1b[2J\\x0d2026-01-01"), text.constData());
    }
    QCOMPARE(log.count('\n'), 1);
}

// Each of these used to end the run with nothing offered and nothing said;
// a search that could not be made ends it with -2, not as "no updates".
void TestProgram::reasonsForOfferingNothingAreLogged()
{
    QVERIFY2(
        m_repository->publish("notes7", "1.0", { { "notes.dat", "notes" } }), qPrintable(m_repository->errorString()));
    QTemporaryDir parent;
    const QString missing = parent.filePath("missing");
    const QString log = QDir(m_installation.workingDirectory()).filePath("updater.log");
    QFile::remove(log);
    QCOMPARE(m_installation.run({ "-t", "Notes7", "-v", "7.0", "-d", missing, "-s", "-c" }), -2);
    QVERIFY2(readFile(log).contains("the directory does not exist"), readFile(log).constData());
    QVERIFY(!QFileInfo::exists(missing));

    QFile::remove(log);
    QVERIFY(writeFile(parent.filePath("Packages.xml"), "<broken"));
    QCOMPARE(m_installation.run({ "-t", "Notes7", "-v", "7.0", "-d", parent.path(), "-s", "-c" }), 1);
    QVERIFY2(readFile(log).contains("is damaged"), readFile(log).constData());
    QCOMPARE(readFile(parent.filePath("Packages.xml.damaged")), QByteArray("<broken"));

    // A live install holds the directory: the check waits, then gives up and says why.
    QFile::remove(log);
    QLockFile otherRun(parent.filePath(".tavupdater.lock"));
    QVERIFY(otherRun.tryLock(0));
    qputenv("TAVUPDATER_LOCK_TIMEOUT_MS", "300");
    const auto restore = qScopeGuard([] { qunsetenv("TAVUPDATER_LOCK_TIMEOUT_MS"); });
    QCOMPARE(m_installation.run({ "-t", "Notes7", "-v", "7.0", "-d", parent.path(), "-s", "-c" }), -2);
    QVERIFY2(readFile(log).contains("another install into it is running"), readFile(log).constData());
}

// A point release reaches an installed tool as a delta; where one of its
// installed files was changed, the same run takes the whole archive instead
// and says why. Either way the tree is the new version, byte for byte.
void TestProgram::upgradesThroughItsDeltaOrFallsBack()
{
    QByteArray tool(256 * 1024, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(tool.data()), tool.size() / 4);
    const QByteArray library = tool.mid(1000, 64 * 1024);
    const QMap<QString, QByteArray> version1 { { "bin/tool.dat", tool }, { "lib/a.so", library },
        { "readme.txt", "tool" } };
    tool.insert(5000, "a rebuild shifts everything after this");
    tool.replace(100000, 3000, QByteArray(3000, 'x'));
    const QMap<QString, QByteArray> version2 { { "bin/tool.dat", tool }, { "lib/b.so", library },
        { "readme.txt", "tool" }, { "new.txt", "new" } };
    QMap<QString, QByteArray> newTree;
    for (auto file = version2.cbegin(); file != version2.cend(); ++file) {
        newTree.insert(file.key(), file.value());
        if (file.key().contains(QLatin1Char('/')))
            newTree.insert(file.key().section(QLatin1Char('/'), 0, 0) + QLatin1Char('/'), QByteArray());
    }
    const auto treeWithoutRecord = [](const QString& directory) {
        QMap<QString, QByteArray> tree = treeOf(directory);
        tree.remove(QStringLiteral("Packages.xml"));
        return tree;
    };

    QVERIFY2(m_repository->publish("delta7", "1.0", version1), qPrintable(m_repository->errorString()));
    QTemporaryDir trials;
    const QString viaDelta = trials.filePath("delta");
    // One installed file the delta reuses, one it patches: each is found changed.
    const QStringList alteredFiles { "lib/a.so", "bin/tool.dat" };
    const auto install = [](const QString& directory) {
        return QStringList { "-t", "Delta7", "-v", "7.0", "-d", directory, "-s" };
    };
    QVERIFY(QDir().mkpath(viaDelta));
    QCOMPARE(m_installation.run(install(viaDelta)), 1);
    for (const QString& file : alteredFiles) {
        const QString altered = trials.filePath(file.section('/', 0, 0));
        QVERIFY(copyTree(viaDelta, altered));
        QVERIFY(writeFile(altered + '/' + file, QByteArray(int(QFileInfo(altered + '/' + file).size()), 'u')));
    }
    QVERIFY2(m_repository->publish("delta7", "2.0", version2), qPrintable(m_repository->errorString()));

    // Without the archive within reach, only the delta can make the new version.
    const QDir published(m_repository->root() + "/delta7");
    QVERIFY(published.exists("delta7-1.0-to-2.0-" + TestRepository::platform() + ".delta"));
    const QStringList archives = published.entryList({ "delta7-2.0-*.tar.*" });
    QCOMPARE(archives.size(), 1);
    const QString full = published.filePath(archives.first());
    const QString log = QDir(m_installation.workingDirectory()).filePath("updater.log");
    QVERIFY(QFile::rename(full, full + ".away"));
    QFile::remove(log);
    QCOMPARE(m_installation.run(install(viaDelta)), 1);
    QVERIFY(QFile::rename(full + ".away", full));
    QCOMPARE(treeWithoutRecord(viaDelta), newTree);
    QVERIFY2(!QFile::exists(log), readFile(log).constData());

    for (const QString& file : alteredFiles) {
        const QString altered = trials.filePath(file.section('/', 0, 0));
        QFile::remove(log);
        QCOMPARE(m_installation.run(install(altered)), 1);
        QCOMPARE(treeWithoutRecord(altered), newTree);
        QVERIFY2(readFile(log).contains("through its delta")
                && readFile(log).contains((file + " differs from the one the delta was made from").toUtf8()),
            readFile(log).constData());
    }
}

// SIGKILLed at a spread of moments of an upgrade through a delta, at least half of them in the
// middle of the swap: a check-only run then finds the tree exactly old or
// exactly new, and the next install run completes the new version.
void TestProgram::killedUpgradesEndOldOrNew()
{
    QMap<QString, QByteArray> version1;
    QMap<QString, QByteArray> version2;
    // Files of some size that change a little: the upgrade goes through a delta.
    QByteArray body(2048, Qt::Uninitialized);
    for (int i = 0; i < 180; ++i) {
        QRandomGenerator(quint32(i)).fillRange(reinterpret_cast<quint32*>(body.data()), body.size() / 4);
        const QString name = QStringLiteral("d%1/f%2.txt").arg(i % 10).arg(i);
        version1.insert(name, "1.0 " + QByteArray::number(i) + body);
        if (i % 6 != 0) // a sixth of the files go away
            version2.insert(name, "2.0 " + QByteArray::number(i) + body);
    }
    for (int i = 0; i < 60; ++i)
        version2.insert(QStringLiteral("n%1/g%2.txt").arg(i % 5).arg(i), "new");
    // One journal line per removed file, new directory and installed file.
    const int swapLines = 30 + 5 + version2.size();

    QTemporaryDir trials;
    const QString old = trials.filePath("old");
    const QString upgraded = trials.filePath("upgraded");
    const QString target = trials.filePath("target");
    const auto install = [](const QString& directory) {
        return QStringList { "-t", "Crash6", "-v", "7.0", "-d", directory, "-s" };
    };
    QVERIFY2(m_repository->publish("crash6", "1.0", version1), qPrintable(m_repository->errorString()));
    QVERIFY(QDir().mkpath(old));
    QCOMPARE(m_installation.run(install(old)), 1);
    const QMap<QString, QByteArray> oldTree = treeOf(old);
    QVERIFY2(m_repository->publish("crash6", "2.0", version2), qPrintable(m_repository->errorString()));
    QVERIFY(QFile::exists(m_repository->root() + "/crash6/crash6-1.0-to-2.0-" + TestRepository::platform() + ".delta"));
    QFile::remove(QDir(m_installation.workingDirectory()).filePath("updater.log"));
    QVERIFY(copyTree(old, upgraded));
    QCOMPARE(m_installation.run(install(upgraded)), 1);
    const QMap<QString, QByteArray> newTree = treeOf(upgraded);
    QVERIFY(newTree != oldTree);

    constexpr int timedKills = 5;
    constexpr int swapKills = 15;
    int killedMidSwap = 0;
    for (int trial = 0; trial < timedKills + swapKills; ++trial) {
        QVERIFY(QDir(target).removeRecursively() && copyTree(old, target));
        QProcess process;
        m_installation.prepare(&process, install(target));
        process.start();
        QVERIFY(process.waitForStarted());
        QElapsedTimer running;
        running.start();
        if (trial < timedKills) {
            QThread::msleep(ulong(40 * (1 << trial))); // 40 ms to 640 ms: starting, fetching, unpacking
        } else {
            const int threshold = 1 + (trial - timedKills) * swapLines / swapKills;
            bool committed = false;
            while (journalLines(target, &committed) < threshold && !committed && running.elapsed() < 60000
                && !process.waitForFinished(0))
                QThread::usleep(200); // leaves the cores to the install
        }
        ::kill(pid_t(process.processId()), SIGKILL);
        QVERIFY(process.waitForFinished(60000));
        bool committed = false;
        if (journalLines(target, &committed) > 0 && !committed)
            ++killedMidSwap;

        const int offered = m_installation.run(install(target) + QStringList { "-c" });
        const QMap<QString, QByteArray> afterCheck = treeOf(target);
        QVERIFY2(afterCheck == oldTree || afterCheck == newTree, qPrintable(QStringLiteral("trial %1").arg(trial)));
        QCOMPARE(offered, afterCheck == oldTree ? 1 : 0);
        m_installation.run(install(target));
        QVERIFY2(treeOf(target) == newTree, qPrintable(QStringLiteral("trial %1").arg(trial)));
    }
    QVERIFY2(killedMidSwap >= 10, qPrintable(QStringLiteral("%1 kills mid-swap").arg(killedMidSwap)));
    const QByteArray log = readFile(QDir(m_installation.workingDirectory()).filePath("updater.log"));
    QVERIFY2(!log.contains("through its delta"), log.constData());
}

TAVLO_TEST(TestProgram)

#include "tst_program.moc"
