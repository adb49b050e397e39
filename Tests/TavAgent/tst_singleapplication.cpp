#include "BuiltPrograms.h"
#include "LocalFrame.h"
#include "ProcessRunner.h"
#include "SingleApplication_p.h"
#include "TestFiles.h"
#include "TestRegistry.h"

#include <QLocalSocket>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

using namespace Vondra::Testing;
using Vondra::LocalFrame;
using Vondra::SingleApplicationPrivate;

namespace {

constexpr int waitMs = 15000;

// A guard probe running in the background, read line by line. Probes given
// the same home directory share a runtime directory and see each other.
class Probe
{
public:
    // runAs, when given, is the command that starts the probe as another user.
    Probe(const QStringList& arguments, const QString& home, const QStringList& runAs = {})
        : Probe(arguments, childEnvironment(home), runAs)
    {
    }

    Probe(const QStringList& arguments, const QProcessEnvironment& environment, const QStringList& runAs = {})
    {
        m_process.setProcessEnvironment(environment);
        if (runAs.isEmpty())
            m_process.start(testProgram("guardprobe"), arguments);
        else
            m_process.start(runAs.first(), runAs.mid(1) + QStringList(testProgram("guardprobe")) + arguments);
    }

    ~Probe()
    {
        end();
        if (!m_process.waitForFinished(waitMs))
            m_process.kill();
    }

    // The next line of output, or "(none)" when the probe falls silent.
    QString nextLine()
    {
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(waitMs))
                return QStringLiteral("(none)");
        }
        return QString::fromUtf8(m_process.readLine()).trimmed();
    }

    void write(const QByteArray& line) { m_process.write(line); }
    // Lets the probe end its guards and itself.
    void end() { m_process.closeWriteChannel(); }
    // All it wrote, once it has ended.
    QString output()
    {
        end();
        if (!waitForFinished())
            return QStringLiteral("(hung)");
        return QString::fromUtf8(m_process.readAllStandardOutput()).trimmed();
    }
    bool waitForFinished() { return m_process.waitForFinished(waitMs); }
    void kill()
    {
        ::kill(pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished(waitMs);
    }

private:
    QProcess m_process;
};

// Starts a probe and lets it end at once: what its guard found, and did.
QString runOnce(const QStringList& arguments, const QString& home)
{
    return Probe(arguments, home).output();
}

QByteArray readExactly(QLocalSocket& socket, qint64 count)
{
    while (socket.bytesAvailable() < count) {
        if (!socket.waitForReadyRead(waitMs))
            break;
    }
    return socket.read(count);
}

const QByteArray abFrame = QByteArray::fromHex("000000080000000400610062");

constexpr uid_t nobody = 65534;

// A shared-memory segment at key, owned by another user, removed when the
// test is done.
class ForeignSegment
{
public:
    explicit ForeignSegment(key_t key)
        : m_id(::shmget(key, 1, IPC_CREAT | IPC_EXCL | 0600))
    {
        struct shmid_ds status = {};
        if (m_id >= 0 && ::shmctl(m_id, IPC_STAT, &status) == 0) {
            status.shm_perm.uid = nobody;
            status.shm_perm.gid = nobody;
            m_owned = ::shmctl(m_id, IPC_SET, &status) == 0;
        }
    }
    ~ForeignSegment()
    {
        if (m_id >= 0)
            ::shmctl(m_id, IPC_RMID, nullptr);
    }
    bool isValid() const { return m_owned; }

private:
    int m_id;
    bool m_owned = false;
};

} // namespace

class TestSingleApplication : public QObject
{
    Q_OBJECT

private slots:
    void keyDerivation_data();
    void keyDerivation();
    void defaultGuardUsesNameAndVersion_data();
    void defaultGuardUsesNameAndVersion();
    void nextStartAfterTheFirst_data();
    void nextStartAfterTheFirst();
    void otherUserHasAGuardOfItsOwn();
    void foreignSegmentIsNoInstance();
    void plantedTemporaryDirectory_data();
    void plantedTemporaryDirectory();
    void simultaneousStartsElectOne_data();
    void simultaneousStartsElectOne();
    void encode_data();
    void encode();
    void sendAndAcknowledge();
    void rawFrames_data();
    void rawFrames();
};

void TestSingleApplication::keyDerivation_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("key");
    QTest::newRow("agent name and version") << "TavAgent7.0"
                                            << "_sa_TavAgent70_89FEA874";
    QTest::newRow("only ASCII letters and digits kept") << QString::fromUtf8("Tä v_1-2 ß") << "_sa_Tv12_89FEA874";
    QTest::newRow("nothing left") << QString::fromUtf8("äß.-") << "_sa_SADEFAULTKEY_89FEA874";
    QTest::newRow("empty") << QString() << "_sa_SADEFAULTKEY_89FEA874";
}

void TestSingleApplication::keyDerivation()
{
    QFETCH(QString, id);
    QFETCH(QString, key);
    QCOMPARE(SingleApplicationPrivate::keyFor(SingleApplicationPrivate::cleanId(id)), key);
}

void TestSingleApplication::defaultGuardUsesNameAndVersion_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("sameId");
    QTest::newRow("TavAgent 7.0") << "TavAgent"
                                  << "7.0"
                                  << "TavAgent70";
    QTest::newRow("no letters or digits") << QString::fromUtf8("ä") << "."
                                          << "SADEFAULTKEY";
}

void TestSingleApplication::defaultGuardUsesNameAndVersion()
{
    QFETCH(QString, name);
    QFETCH(QString, version);
    QFETCH(QString, sameId);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    Probe first({ QStringLiteral("default"), name, version }, home.path());
    QCOMPARE(first.nextLine(), QStringLiteral("first"));
    QCOMPARE(runOnce({ QStringLiteral("hold"), sameId }, home.path()), QStringLiteral("running"));
}

void TestSingleApplication::nextStartAfterTheFirst_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("first ended") << "end";
    QTest::newRow("first killed") << "kill";
    QTest::newRow("first released, still running") << "release";
}

// Another process with the same id sees the first instance, one with another
// version or another runtime directory (as another user's) does not; once the
// first lets go, the next start is the first.
void TestSingleApplication::nextStartAfterTheFirst()
{
    QFETCH(QString, how);
    QTemporaryDir home;
    QTemporaryDir otherHome;
    QVERIFY(home.isValid() && otherHome.isValid());
    const QString id = QStringLiteral("App7.0");
    Probe first({ QStringLiteral("listen"), id }, home.path());
    QCOMPARE(first.nextLine(), QStringLiteral("first"));
    QCOMPARE(runOnce({ QStringLiteral("hold"), id }, home.path()), QStringLiteral("running"));
    QCOMPARE(runOnce({ QStringLiteral("hold"), QStringLiteral("App7.1") }, home.path()), QStringLiteral("first"));
    QCOMPARE(runOnce({ QStringLiteral("hold"), id }, otherHome.path()), QStringLiteral("first"));

    if (how == QLatin1String("end")) {
        first.end();
        QVERIFY(first.waitForFinished());
    } else if (how == QLatin1String("kill")) {
        first.kill();
    } else {
        first.write("release\n");
        QCOMPARE(first.nextLine(), QStringLiteral("released"));
    }

    Probe next({ QStringLiteral("listen"), id }, home.path());
    QCOMPARE(next.nextLine(), QStringLiteral("first"));
    QCOMPARE(
        runOnce({ QStringLiteral("send"), id, QStringLiteral("hi") }, home.path()), QStringLiteral("running\nsent"));
    // A released first instance has closed its channel, so the next one serves it.
    QCOMPARE(next.nextLine(), QStringLiteral("message 1 \"hi\""));
}

// Another user handed our runtime directory cannot enter it, and neither sees
// nor claims our guard.
void TestSingleApplication::otherUserHasAGuardOfItsOwn()
{
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (::geteuid() != 0 || setpriv.isEmpty())
        QSKIP("needs root and setpriv to start a process as another user");
    QTemporaryDir home;
    QVERIFY(home.isValid());
    Probe first({ QStringLiteral("hold"), QStringLiteral("App") }, home.path());
    QCOMPARE(first.nextLine(), QStringLiteral("first"));

    const QStringList asNobody { setpriv, QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
        QStringLiteral("--clear-groups") };
    Probe other({ QStringLiteral("hold"), QStringLiteral("App") }, home.path(), asNobody);
    const QString answer = other.nextLine();
    if (answer == QLatin1String("(none)"))
        QSKIP("the probe cannot run as another user here");
    QCOMPARE(answer, QStringLiteral("first"));
    Probe otherSecond({ QStringLiteral("hold"), QStringLiteral("App") }, home.path(), asNobody);
    QCOMPARE(otherSecond.nextLine(), QStringLiteral("running"));
}

// Another user's segment where the guard once made its own, at the key of
// the name it gave it, is none of the user's instances.
void TestSingleApplication::foreignSegmentIsNoInstance()
{
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (::geteuid() != 0 || setpriv.isEmpty())
        QSKIP("needs root and setpriv to start a process as a user and give a segment to another");
    constexpr uid_t user = 65533;
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString runtime = childRuntimeDir(home.path());
    const QString keyFile = runtime + QStringLiteral("/_sa_App_89FEA874-%1.shm").arg(user);
    QVERIFY(writeFile(keyFile, QByteArray()));
    for (const QString& path : { home.path(), runtime, keyFile })
        QVERIFY(::chown(QFile::encodeName(path).constData(), user, user) == 0);
    ForeignSegment segment(::ftok(QFile::encodeName(keyFile).constData(), 'Q'));
    QVERIFY(segment.isValid());

    const QStringList asUser { setpriv, QStringLiteral("--reuid=%1").arg(user), QStringLiteral("--regid=%1").arg(user),
        QStringLiteral("--clear-groups") };
    Probe first({ QStringLiteral("hold"), QStringLiteral("App") }, home.path(), asUser);
    QCOMPARE(first.nextLine(), QStringLiteral("first"));
    QCOMPARE(Probe({ QStringLiteral("hold"), QStringLiteral("App") }, home.path(), asUser).output(),
        QStringLiteral("running"));
}

void TestSingleApplication::plantedTemporaryDirectory_data()
{
    QTest::addColumn<int>("homeDepth");
    QTest::newRow("short home") << 0;
    QTest::newRow("home too deep for a socket's path") << 120;
}

// No runtime directory, and another user made the temporary directory's
// tavlo-<uid> first: the guard and its channel work from a private directory
// in the user's cache, however deep the home.
void TestSingleApplication::plantedTemporaryDirectory()
{
    QFETCH(int, homeDepth);
    if (::geteuid() != 0)
        QSKIP("needs root to make a directory as another user");
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString shared = root.filePath(QStringLiteral("tmp"));
    const QString planted = shared + QStringLiteral("/tavlo-") + QString::number(::geteuid());
    QVERIFY(QDir().mkpath(planted));
    QVERIFY(::chmod(QFile::encodeName(shared).constData(), 01777) == 0);
    QVERIFY(::chown(QFile::encodeName(planted).constData(), nobody, nobody) == 0);
    QVERIFY(::chmod(QFile::encodeName(planted).constData(), 0700) == 0);
    const QString home = root.filePath(QStringLiteral("home/") + QString(homeDepth, QLatin1Char('d')));
    QVERIFY(QDir().mkpath(home));

    QProcessEnvironment environment = childEnvironment(home);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), QStringLiteral("relative/runtime"));
    environment.remove(QStringLiteral("XDG_CACHE_HOME"));
    environment.insert(QStringLiteral("TMPDIR"), shared);
    Probe first({ QStringLiteral("listen"), QStringLiteral("App") }, environment);
    QCOMPARE(first.nextLine(), QStringLiteral("first"));
    QCOMPARE(Probe({ QStringLiteral("send"), QStringLiteral("App"), QStringLiteral("hi") }, environment).output(),
        QStringLiteral("running\nsent"));
    QCOMPARE(first.nextLine(), QStringLiteral("message 1 \"hi\""));
    QVERIFY(QFileInfo(home + QStringLiteral("/.cache/tavlo")).isDir());
    QCOMPARE(QDir(planted).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void TestSingleApplication::simultaneousStartsElectOne_data()
{
    QTest::addColumn<bool>("afterKill");
    QTest::newRow("nothing before") << false;
    QTest::newRow("after a killed first instance") << true;
}

void TestSingleApplication::simultaneousStartsElectOne()
{
    QFETCH(bool, afterKill);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString id = QStringLiteral("App");
    if (afterKill) {
        Probe killed({ QStringLiteral("hold"), id }, home.path());
        QCOMPARE(killed.nextLine(), QStringLiteral("first"));
        killed.kill();
    }

    std::vector<std::unique_ptr<Probe>> probes;
    for (int i = 0; i < 8; ++i)
        probes.push_back(std::make_unique<Probe>(QStringList { QStringLiteral("hold"), id }, home.path()));
    QStringList answers;
    for (const auto& probe : probes)
        answers << probe->nextLine();
    QCOMPARE(answers.count(QStringLiteral("first")), 1);
    QCOMPARE(answers.count(QStringLiteral("running")), 7);
}

void TestSingleApplication::encode_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("ab") << "ab" << abFrame;
    QTest::newRow("empty") << "" << QByteArray::fromHex("0000000400000000");
    QTest::newRow("null") << QString() << QByteArray::fromHex("00000004ffffffff");
}

void TestSingleApplication::encode()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, frame);
    QCOMPARE(LocalFrame::encode(text), frame);
}

// Between processes: a guard that found the listening ones hands them a
// message, which both listening guards of that process emit; a guard that
// found nothing sends nothing.
void TestSingleApplication::sendAndAcknowledge()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString id = QStringLiteral("App");
    QCOMPARE(runOnce({ QStringLiteral("send"), id, QStringLiteral("lost") }, home.path()),
        QStringLiteral("first\nnot sent"));

    Probe listener({ QStringLiteral("listen-twice"), id }, home.path());
    QCOMPARE(listener.nextLine(), QStringLiteral("first"));
    QCOMPARE(listener.nextLine(), QStringLiteral("running"));
    const QString text = QString::fromUtf8("Žluťoučký kůň 😀");
    QCOMPARE(runOnce({ QStringLiteral("send"), id, text }, home.path()), QStringLiteral("running\nsent"));
    QStringList lines { listener.nextLine(), listener.nextLine() };
    lines.sort();
    QCOMPARE(lines, QStringList({ "message 1 \"" + text + '"', "message 2 \"" + text + '"' }));
}

void TestSingleApplication::rawFrames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("received"); // empty when the frame is refused
    const QString atLimit(int(LocalFrame::maxBodySize / 2 - 2), QLatin1Char('x'));
    QTest::newRow("ab") << abFrame << "\"ab\"";
    QTest::newRow("empty") << QByteArray::fromHex("0000000400000000") << "\"\"";
    QTest::newRow("null") << QByteArray::fromHex("00000004ffffffff") << "null";
    QTest::newRow("1 MiB after the length") << LocalFrame::encode(atLimit) << '"' + atLimit + '"';
    QTest::newRow("over 1 MiB") << LocalFrame::encode(atLimit + QStringLiteral("xx")) << QString();
    QTest::newRow("body missing") << QByteArray::fromHex("000000080000000400") << QString();
    QTest::newRow("odd byte count") << QByteArray::fromHex("000000050000000161") << QString();
    QTest::newRow("text longer than the frame") << QByteArray::fromHex("00000006000000040061") << QString();
    QTest::newRow("bytes after the text") << QByteArray::fromHex("0000000800000002006100") << QString();
}

// A client of our own, byte for byte: the greeting and every acknowledgement
// are the id "ab" as a frame; what is not a frame gets no acknowledgement and
// no signal, and the connection is closed.
void TestSingleApplication::rawFrames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, received);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(childRuntimeDir(home.path())));
    const auto restore = qScopeGuard([&savedRuntime] { qputenv("XDG_RUNTIME_DIR", savedRuntime); });
    const QString id = QStringLiteral("ab");
    const QString serverName = Vondra::InstanceScope::serverName(SingleApplicationPrivate::keyFor(id));

    Probe listener({ QStringLiteral("listen"), id }, home.path());
    QCOMPARE(listener.nextLine(), QStringLiteral("first"));
    QLocalSocket client;
    client.connectToServer(serverName);
    QVERIFY2(client.waitForConnected(waitMs), qPrintable(client.errorString()));
    QCOMPARE(readExactly(client, abFrame.size()), abFrame);

    client.write(frame);
    client.waitForBytesWritten(waitMs);
    if (!received.isEmpty()) {
        QCOMPARE(readExactly(client, abFrame.size()), abFrame);
        QCOMPARE(listener.nextLine(), QStringLiteral("message 1 ") + received);
        return;
    }
    if (client.state() == QLocalSocket::ConnectedState)
        QVERIFY(client.waitForDisconnected(waitMs));
    QCOMPARE(client.readAll(), QByteArray());

    // Nothing was passed on: the next message is the first one the listener reports.
    QLocalSocket next;
    next.connectToServer(serverName);
    QVERIFY(next.waitForConnected(waitMs));
    QCOMPARE(readExactly(next, abFrame.size()), abFrame);
    next.write(abFrame);
    QCOMPARE(readExactly(next, abFrame.size()), abFrame);
    QCOMPARE(listener.nextLine(), QStringLiteral("message 1 \"ab\""));
}

TAVLO_TEST(TestSingleApplication)
#include "tst_singleapplication.moc"
