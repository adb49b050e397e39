#include "BuiltPrograms.h"
#include "InstalledAgent.h"
#include "ProcessRunner.h"
#include "StartRecorder.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "Upgrade.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace Vondra::Testing;

namespace {

// The agent's directory holds the probe as TavAgent and the start recorder as
// TavUpdate, whose exit code the test chooses.
bool installProbe(InstalledAgent& installation)
{
    return installation.isValid() && installation.install(testProgram("agentprobe"))
        && installation.install(startRecorderPath(), QStringLiteral("TavUpdate"));
}

bool setUpdaterExit(const InstalledAgent& installation, int code, int delayMs = 0)
{
    return writeFile(QDir(installation.agentDir()).filePath(QStringLiteral("exit_code")),
        QByteArray::number(code) + '\n' + QByteArray::number(delayMs) + '\n');
}

// The arguments of each TavUpdate run from directory.
QList<QStringList> updaterRuns(const QString& directory)
{
    QList<QStringList> runs;
    for (const RecordedStart& start : recordedStarts(directory))
        runs.append(start.arguments);
    return runs;
}

} // namespace

class TestUpgrade : public QObject
{
    Q_OBJECT

private slots:
    void backupReplacesDestination();
    void backupFailures();
    void removeDirStaysInsideTheTree();
    void upgradeTools_data();
    void upgradeTools();
    void toolDirectoryBlockedByAFile();
    void concurrentRequestsUpdateOnce();
    void handOverOnceFromAPrivateCopy();
    void handOverWithoutCopyStartsNothing();
};

void TestUpgrade::backupReplacesDestination()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src");
    const QString dst = dir.filePath("dst");
    QVERIFY(writeFile(src + "/top.txt", "top"));
    QVERIFY(writeFile(src + "/a/b/deep.txt", "deep"));
    QVERIFY(QDir().mkpath(src + "/empty"));
    QVERIFY(writeFile(src + "/.hidden", "h"));
    QVERIFY(writeFile(src + "/.hiddendir/x", "x"));
    QVERIFY(writeFile(dst + "/stale/old.txt", "old"));

    QVERIFY(Vondra::backup(src, dst));
    const QMap<QString, QByteArray> expected { { "a/", {} }, { "a/b/", {} }, { "a/b/deep.txt", "deep" },
        { "empty/", {} }, { "top.txt", "top" } };
    QCOMPARE(treeOf(dst), expected);
}

void TestUpgrade::backupFailures()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src");
    QVERIFY(writeFile(src + "/a.txt", "a"));
    QVERIFY2(!Vondra::backup(src, dir.filePath("missing/dst")), "only the last level is made");

    if (::geteuid() == 0)
        QSKIP("root reads every file");
    QVERIFY(writeFile(src + "/z/unreadable", "secret"));
    QVERIFY(QFile::setPermissions(src + "/z/unreadable", QFile::WriteOwner));
    QVERIFY(!Vondra::backup(src, dir.filePath("dst")));
    QVERIFY2(QFileInfo(dir.filePath("dst")).isDir(), "what was copied stays");
}

void TestUpgrade::removeDirStaysInsideTheTree()
{
    QTemporaryDir dir;
    const QString tree = dir.filePath("tree");
    const QString outside = dir.filePath("outside");
    QVERIFY(writeFile(outside + "/keep.txt", "keep"));
    QVERIFY(writeFile(tree + "/sub/.hidden", "h"));
    QVERIFY(writeFile(tree + "/file", "f"));
    QVERIFY(QFile::link(outside, tree + "/sub/link"));
    QVERIFY(QFile::link(outside, dir.filePath("toplink")));

    QVERIFY(Vondra::removeDir(tree));
    QVERIFY(!QFileInfo::exists(tree));
    QVERIFY(Vondra::removeDir(dir.filePath("toplink")));
    QVERIFY(!QFileInfo(dir.filePath("toplink")).isSymLink());
    QCOMPARE(readFile(outside + "/keep.txt"), QByteArray("keep"));
    QVERIFY(Vondra::removeDir(dir.filePath("never-there")));
}

void TestUpgrade::upgradeTools_data()
{
    QTest::addColumn<int>("updaterExit");
    QTest::addColumn<bool>("programPresent");
    QTest::addColumn<bool>("installRuns");
    QTest::addColumn<bool>("recordKept");

    QTest::newRow("up to date") << 0 << true << false << true;
    QTest::newRow("updates install") << 2 << true << true << true;
    // TavUpdate's -1 reaches a Linux parent as 255: no update.
    QTest::newRow("invalid call is no update") << 255 << true << false << true;
    QTest::newRow("failed search is no update") << 254 << true << false << true;
    QTest::newRow("record without program forgotten") << 0 << false << false << false;
}

void TestUpgrade::upgradeTools()
{
    QFETCH(int, updaterExit);
    QFETCH(bool, programPresent);
    QFETCH(bool, installRuns);
    QFETCH(bool, recordKept);
    InstalledAgent installation;
    QVERIFY(installProbe(installation));
    QVERIFY(setUpdaterExit(installation, updaterExit));
    const QString toolDir = QDir(installation.appsDir()).filePath("viewer2");
    QVERIFY(writeFile(toolDir + "/Packages.xml", "<record/>"));
    if (programPresent)
        QVERIFY(writeFile(toolDir + "/viewer", "program"));

    const ProcessRun run = installation.run({ "upgrade-tool", "viewer2", "viewer" });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QString::fromUtf8(run.standardOutput).trimmed(), toolDir);
    const QStringList install { "-t", "viewer2", "-d", toolDir, "-v", "7.0", "-s" };
    QList<QStringList> expected { install + QStringList { "-c" } };
    if (installRuns)
        expected << install;
    QCOMPARE(updaterRuns(installation.agentDir()), expected);
    QCOMPARE(QFileInfo::exists(toolDir + "/Packages.xml"), recordKept);
}

void TestUpgrade::toolDirectoryBlockedByAFile()
{
    InstalledAgent installation;
    QVERIFY(installProbe(installation));
    QVERIFY(writeFile(QDir(installation.appsDir()).filePath("Writer2"), "not a directory"));

    const ProcessRun run = installation.run({ "upgrade-tool", "Writer2", "Writer" });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QString::fromUtf8(run.standardOutput).trimmed(), QString());
    QVERIFY(run.standardError.contains("make application path"));
    QVERIFY(updaterRuns(installation.agentDir()).isEmpty());
}

void TestUpgrade::concurrentRequestsUpdateOnce()
{
    InstalledAgent installation;
    QVERIFY(installProbe(installation));
    // Each TavUpdate run takes long enough for every request to arrive meanwhile.
    QVERIFY(setUpdaterExit(installation, 1, 500));

    const ProcessRun run = installation.run({ "upgrade-tool-concurrently", "Notes" });
    QCOMPARE(run.exitCode, 0);
    const QList<QStringList> runs = updaterRuns(installation.agentDir());
    QCOMPARE(runs.size(), 2);
    QCOMPARE(runs.at(0).constLast(), QStringLiteral("-c"));
    QCOMPARE(runs.at(1).constLast(), QStringLiteral("-s"));
}

void TestUpgrade::handOverOnceFromAPrivateCopy()
{
    InstalledAgent installation;
    QVERIFY(installProbe(installation));
    const QString copies = installation.home() + "/.cache/Tavlo/TavAgent";
    QVERIFY(writeFile(copies + "/handover-earlier/TavAgent/TavUpdate", "an earlier copy"));

    const ProcessRun run = installation.run({ "hand-over-twice" });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QString::fromUtf8(run.standardOutput).trimmed(), QStringLiteral("1 0"));
    QVERIFY(run.standardError.contains("agent update already under way."));

    const QStringList left = QDir(copies).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(left.size(), 1);
    QVERIFY(left.constFirst().startsWith("handover-"));
    QVERIFY(left.constFirst() != "handover-earlier");
    const QString privateDir = copies + '/' + left.constFirst();
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
        | QFile::WriteOther | QFile::ExeOther;
    QVERIFY(!(QFileInfo(privateDir).permissions() & others));
    const QString expected[] = { "-t", "TavAgent", "-d", installation.agentDir(), "-v", "7.0", "-s", "-e" };
    QTRY_COMPARE_WITH_TIMEOUT(updaterRuns(privateDir + "/TavAgent").size(), 1, 10000);
    QCOMPARE(updaterRuns(privateDir + "/TavAgent").constFirst(), QStringList(std::begin(expected), std::end(expected)));
}

void TestUpgrade::handOverWithoutCopyStartsNothing()
{
    InstalledAgent installation;
    QVERIFY(installProbe(installation));
    QVERIFY(writeFile(installation.home() + "/.cache/Tavlo/TavAgent", "in the way"));

    const ProcessRun run = installation.run({ "hand-over-twice" });
    QCOMPARE(run.exitCode, 0);
    // Nothing began, so the second attempt may try again.
    QCOMPARE(QString::fromUtf8(run.standardOutput).trimmed(), QStringLiteral("0 0"));
    QVERIFY(!run.standardError.contains("already under way"));
    QCOMPARE(treeOf(installation.home() + "/.cache").keys(), (QList<QString> { "Tavlo/", "Tavlo/TavAgent" }));
}

TAVLO_TEST(TestUpgrade)
#include "tst_upgrade.moc"
