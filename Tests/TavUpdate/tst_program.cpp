#include "ProductConfig.h"
#include "ProgramFile.h"
#include "StartRecorder.h"
#include "TestRegistry.h"
#include "TestRepository.h"

#include <Updater/PackagesInfo.h>

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

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
        return TestRepository::installPrograms(m_dir.path(), { QStringLiteral("TavUpdate") }, error)
            && m_work.isValid();
    }

    bool setUpdateHost(const QByteArray& content) { return writeFile(m_dir.filePath("update_host.dat"), content); }
    bool installKey(const QString& publicKeyFile)
    {
        return QFile::copy(publicKeyFile, m_dir.filePath("update_key.pub"));
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

    int run(const QStringList& arguments, QString* output = nullptr)
    {
        QProcess process;
        prepare(&process, arguments);
        process.start();
        process.waitForFinished(120000);
        if (output)
            *output = QString::fromLocal8Bit(process.readAll());
        return exitCode(process);
    }

    // The process's working directory, where "./updater.log" goes.
    QString workingDirectory() const { return m_work.path(); }

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_work;
};

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
    // The repository address is then the bare name: nothing is found, and the
    // library's complaint lands in the log.
    QTest::newRow("empty") << QByteArray() << 0;
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
    if (expected == 0)
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
    QTcpServer proxy;
    QVERIFY(proxy.listen(QHostAddress::LocalHost));
    QByteArray requestLine;
    connect(&proxy, &QTcpServer::newConnection, this, [&] {
        QTcpSocket* socket = proxy.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, socket, [&requestLine, socket] {
            if (!requestLine.isEmpty() || !socket->canReadLine())
                return;
            requestLine = socket->readLine().trimmed();
            socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
        });
    });
    QTemporaryDir target;
    QProcess process;
    installation.prepare(&process, { "-t", "Notes1", "-v", "7.0", "-d", target.path(), "-s", "-c" });
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("http_proxy"), QStringLiteral("http://127.0.0.1:%1").arg(proxy.serverPort()));
    environment.remove(QStringLiteral("no_proxy"));
    process.setProcessEnvironment(environment);
    process.start();

    QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 60000);
    QCOMPARE(Installation::exitCode(process), 0);
    const QByteArray expected = QByteArray("GET http://") + Vondra::Product::serviceHost + "/tavlo/notes1/";
    QVERIFY2(requestLine.startsWith(expected), requestLine.constData());
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
    QCOMPARE(installation.run({ "-t", "forged5", "-v", "7.0", "-d", forgedTarget.path(), "-s" }), 0);
    QVERIFY(!QFile::exists(forgedTarget.filePath("f.dat")));
    const QString log = QString::fromUtf8(readFile(QDir(installation.workingDirectory()).filePath("updater.log")));
    QVERIFY2(log.contains(QLatin1String("signature check failed")), qPrintable(log));
}

TAVLO_TEST(TestProgram)

#include "tst_program.moc"
