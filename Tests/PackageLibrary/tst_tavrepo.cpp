#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestRepository.h"

#include <Updater/PackagesInfo.h>
#include <Updater/Target.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

using namespace Vondra::Testing;

namespace {

QByteArray payloadOf(const QByteArray& indexFile)
{
    const QJsonObject envelope = QJsonDocument::fromJson(indexFile).object();
    return QByteArray::fromBase64(envelope.value(QLatin1String("payload")).toString().toLatin1());
}

QJsonArray packagesOf(const QByteArray& indexFile)
{
    return QJsonDocument::fromJson(payloadOf(indexFile)).object().value(QLatin1String("packages")).toArray();
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

class TestTavrepo : public QObject
{
    Q_OBJECT

private slots:
    void keygenWritesAPrivateKeyAndNeverOverwrites();
    void addPacksTheTreeAndReplacesTheSameVersion();
    void verifyFindsTamperedArchivesAndForeignKeys();
    void keepsASignedIndexSigned();
    void resignRenewsSignaturesAndNothingElse();
    void deltasAreSignedVerifiedAndOnlyWhenSmall();
    void refusesBadInputWithoutWriting_data();
    void refusesBadInputWithoutWriting();
    void recordRegistersAnInstalledPackage();
};

void TestTavrepo::keygenWritesAPrivateKeyAndNeverOverwrites()
{
    QTemporaryDir directory;
    const QString key = directory.filePath(QStringLiteral("release.key"));
    const ProcessRun made = TestRepository::runTavrepo({ QStringLiteral("keygen"), key });
    QCOMPARE(made.code(), 0);
    const QFileDevice::Permissions groupOrOther(0x0077);
    QCOMPARE(QFileInfo(key).permissions() & groupOrOther, QFileDevice::Permissions());
    QVERIFY(QFileInfo(key).permissions() & (QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(readFile(key + QStringLiteral(".pub")).startsWith("tavlo-ed25519-public "));

    const QByteArray secret = readFile(key);
    const ProcessRun again = TestRepository::runTavrepo({ QStringLiteral("keygen"), key });
    QCOMPARE(again.code(), 1);
    QVERIFY2(again.errors().contains(QLatin1String("never overwritten")), qPrintable(again.errors()));
    QCOMPARE(readFile(key), secret);
}

void TestTavrepo::addPacksTheTreeAndReplacesTheSameVersion()
{
    TestRepository repository;
    QVERIFY(repository.isValid());
    const QMap<QString, QByteArray> files { { QStringLiteral("tool.bin"), "binary" },
        { QStringLiteral("lib/deep/data.txt"), "data" } };
    QCOMPARE(repository.add(QStringLiteral("tool"), QStringLiteral("1.0"), files).code(), 0);
    const QByteArray first = readFile(repository.indexPath(QStringLiteral("tool")));
    QCOMPARE(repository.add(QStringLiteral("tool"), QStringLiteral("1.0"), { { QStringLiteral("tool.bin"), "fixed" } })
                 .code(),
        0);
    QCOMPARE(repository.add(QStringLiteral("tool"), QStringLiteral("1.1"), files).code(), 0);

    const QJsonArray packages = packagesOf(readFile(repository.indexPath(QStringLiteral("tool"))));
    QCOMPARE(packages.size(), 2);
    // What the installer holds the archive to: the sum of the file sizes.
    QCOMPARE(packages.at(1).toObject().value(QLatin1String("unpacked")).toInt(), 10);
    QVERIFY(packages.at(0).toObject().value(QLatin1String("sha256"))
        != packagesOf(first).at(0).toObject().value(QLatin1String("sha256")));

    // Member paths are relative to the tree, so they land in the target directory.
    QProcess bsdtar;
    bsdtar.start(QStringLiteral("bsdtar"),
        { QStringLiteral("-tf"), QDir(repository.root()).filePath(QStringLiteral("tool/tool-1.1.tar.zst")) });
    QVERIFY(bsdtar.waitForFinished());
    const QStringList members
        = QString::fromUtf8(bsdtar.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(members, (QStringList { "lib/", "lib/deep/", "lib/deep/data.txt", "tool.bin" }));

    const ProcessRun listed
        = TestRepository::runTavrepo({ QStringLiteral("list"), repository.root(), QStringLiteral("tool") });
    QCOMPARE(listed.code(), 0);
    QVERIFY2(listed.output().contains(QLatin1String("tool\t1.1\tany\t")), qPrintable(listed.output()));
    QVERIFY2(listed.output().contains(QLatin1String("\t10\ttool-1.1.tar.zst\t")), qPrintable(listed.output()));
}

void TestTavrepo::verifyFindsTamperedArchivesAndForeignKeys()
{
    TestRepository repository;
    TestRepository other;
    QVERIFY(repository.isValid() && other.isValid());
    QCOMPARE(repository.add(QStringLiteral("tool"), QStringLiteral("1.0"), { { QStringLiteral("a"), "a" } }).code(), 0);
    const QStringList verify { QStringLiteral("verify"), repository.root(), QStringLiteral("tool"),
        QStringLiteral("--pub") };
    const ProcessRun verified = TestRepository::runTavrepo(verify + QStringList { repository.publicKey() });
    QCOMPARE(verified.code(), 0);
    QVERIFY2(verified.output().contains(QLatin1String("tool-1.0.tar.zst: ok; unpacked size 1")),
        qPrintable(verified.output()));

    const ProcessRun foreign = TestRepository::runTavrepo(verify + QStringList { other.publicKey() });
    QCOMPARE(foreign.code(), 1);
    QVERIFY2(foreign.errors().contains(QLatin1String("not signed by a trusted key")), qPrintable(foreign.errors()));

    QFile archive(QDir(repository.root()).filePath(QStringLiteral("tool/tool-1.0.tar.zst")));
    QVERIFY(archive.open(QIODevice::ReadWrite));
    archive.seek(20);
    archive.write("X");
    archive.close();
    const ProcessRun tampered = TestRepository::runTavrepo(verify + QStringList { repository.publicKey() });
    QCOMPARE(tampered.code(), 1);
    QVERIFY2(
        tampered.output().contains(QLatin1String("tool-1.0.tar.zst: SHA-256 differs")), qPrintable(tampered.output()));
}

void TestTavrepo::keepsASignedIndexSigned()
{
    TestRepository repository;
    TestRepository other;
    QVERIFY(repository.isValid() && other.isValid());
    QCOMPARE(repository.add(QStringLiteral("tool"), QStringLiteral("1.0"), { { QStringLiteral("a"), "a" } }).code(), 0);
    const QByteArray index = readFile(repository.indexPath(QStringLiteral("tool")));

    QCOMPARE(
        repository
            .add(QStringLiteral("tool"), QStringLiteral("1.1"), { { QStringLiteral("a"), "b" } }, QString(), QString())
            .code(),
        2);
    const ProcessRun resigned = repository.add(
        QStringLiteral("tool"), QStringLiteral("1.1"), { { QStringLiteral("a"), "b" } }, QString(), other.secretKey());
    QCOMPARE(resigned.code(), 1);
    QCOMPARE(readFile(repository.indexPath(QStringLiteral("tool"))), index);
}

void TestTavrepo::resignRenewsSignaturesAndNothingElse()
{
    TestRepository repository;
    TestRepository newKey;
    QVERIFY(repository.isValid() && newKey.isValid());
    const QStringList targets { QStringLiteral("tool"), QStringLiteral("other") };
    QMap<QString, QByteArray> before;
    for (const QString& target : targets) {
        QCOMPARE(repository.add(target, QStringLiteral("1.0"), { { QStringLiteral("a"), "a" } }).code(), 0);
        before.insert(target, readFile(repository.indexPath(target)));
    }
    const auto resign = [&](const QStringList& options) {
        return TestRepository::runTavrepo(QStringList { QStringLiteral("resign"), repository.root() } + options);
    };
    const auto unchanged = [&] {
        return std::all_of(targets.cbegin(), targets.cend(),
            [&](const QString& target) { return readFile(repository.indexPath(target)) == before.value(target); });
    };

    const ProcessRun publicOnly = resign({ "--key", repository.publicKey() });
    QCOMPARE(publicOnly.code(), 2);
    QVERIFY2(publicOnly.errors().contains(QLatin1String("public key only")), qPrintable(publicOnly.errors()));
    // Signatures only the given keys' owner made are renewed; a stranger's key vouches for nothing.
    QCOMPARE(resign({ "--key", newKey.secretKey() }).code(), 1);
    QVERIFY(unchanged());

    QCOMPARE(resign({ "--key", repository.secretKey(), "--key", newKey.secretKey() }).code(), 0);
    for (const QString& target : targets) {
        const QByteArray index = readFile(repository.indexPath(target));
        QCOMPARE(payloadOf(index), payloadOf(before.value(target)));
        QCOMPARE(QJsonDocument::fromJson(index).object().value(QLatin1String("signatures")).toArray().size(), 2);
        for (const QString& pub : { repository.publicKey(), newKey.publicKey() })
            QCOMPARE(TestRepository::runTavrepo({ "verify", repository.root(), target, "--pub", pub }).code(), 0);
    }

    QCOMPARE(resign({ "--key", newKey.secretKey(), "--expires-in", "30" }).code(), 0);
    QJsonObject payload = QJsonDocument::fromJson(payloadOf(readFile(repository.indexPath("tool")))).object();
    const QDateTime expires = QDateTime::fromString(payload.take("expires").toString(), Qt::ISODate);
    QVERIFY(qAbs(QDateTime::currentDateTimeUtc().addDays(30).secsTo(expires)) < 600);
    QCOMPARE(payload, QJsonDocument::fromJson(payloadOf(before.value("tool"))).object());
    QCOMPARE(
        TestRepository::runTavrepo({ "verify", repository.root(), "tool", "--pub", repository.publicKey() }).code(), 1);
}

// A point release travels as a delta: unchanged and renamed files are
// reused, a changed one is patched; verify rebuilds the new version from the
// old archive. A release that changes everything gets no delta.
void TestTavrepo::deltasAreSignedVerifiedAndOnlyWhenSmall()
{
    TestRepository repository;
    QVERIFY(repository.isValid());
    QByteArray library = randomBytes(256 * 1024, 1);
    const QMap<QString, QByteArray> version1 { { "lib/libtool.so", library }, { "old-name.dat", randomBytes(8192, 2) },
        { "readme.txt", "1.0" } };
    QCOMPARE(repository.add("tool", "1.0", version1).code(), 0);
    library.insert(1000, "inserted bytes shift everything after them");
    library.replace(200000, 4096, randomBytes(4096, 3));
    const QMap<QString, QByteArray> version2 { { "lib/libtool.so", library },
        { "new-name.dat", version1["old-name.dat"] }, { "readme.txt", "1.0" }, { "added.txt", "new" } };
    const ProcessRun added = repository.add("tool", "1.1", version2);
    QCOMPARE(added.code(), 0);
    QVERIFY2(added.output().contains("delta from 1.0 as tool-1.0-to-1.1.delta"), qPrintable(added.output()));
    QVERIFY2(added.output().contains("2 files reused, 1 patched, 1 whole"), qPrintable(added.output()));

    const QJsonObject delta = packagesOf(readFile(repository.indexPath("tool")))
                                  .at(1)
                                  .toObject()
                                  .value("deltas")
                                  .toArray()
                                  .at(0)
                                  .toObject();
    const QString deltaPath = QDir(repository.root()).filePath("tool/tool-1.0-to-1.1.delta");
    QCOMPARE(delta.value("from").toString(), QStringLiteral("1.0"));
    QCOMPARE(delta.value("archive").toString(), QStringLiteral("tool-1.0-to-1.1.delta"));
    QCOMPARE(qint64(delta.value("size").toDouble()), QFileInfo(deltaPath).size());
    QVERIFY(QFileInfo(deltaPath).size() < 20000);
    QCOMPARE(qint64(delta.value("unpacked").toDouble()), qint64(library.size() + 8192 + 3 + 3));

    const QStringList verify { "verify", repository.root(), "tool", "--pub", repository.publicKey() };
    const ProcessRun verified = TestRepository::runTavrepo(verify);
    QVERIFY2(verified.code() == 0, qPrintable(verified.output() + verified.errors()));
    QVERIFY2(
        verified.output().contains("tool-1.0-to-1.1.delta: ok, rebuilds 1.1 from 1.0"), qPrintable(verified.output()));

    const ProcessRun rewritten = repository.add("tool", "1.2", { { "lib/libtool.so", randomBytes(256 * 1024, 4) } });
    QCOMPARE(rewritten.code(), 0);
    QVERIFY2(rewritten.output().contains("no delta from 1.1"), qPrintable(rewritten.output()));
    QVERIFY(!QFileInfo::exists(QDir(repository.root()).filePath("tool/tool-1.1-to-1.2.delta")));
    const ProcessRun fromOlder = TestRepository::runTavrepo({ "add", repository.root(), "tool", "1.3",
        QDir(repository.root()).filePath("../package2"), "--key", repository.secretKey(), "--delta-from", "1.1" });
    QVERIFY2(fromOlder.output().contains("delta from 1.1 as tool-1.1-to-1.3.delta"), qPrintable(fromOlder.output()));

    QFile tampered(deltaPath);
    QVERIFY(tampered.open(QIODevice::ReadWrite));
    tampered.seek(tampered.size() - 10);
    tampered.write("X");
    tampered.close();
    const ProcessRun failed = TestRepository::runTavrepo(verify);
    QCOMPARE(failed.code(), 1);
    QVERIFY2(failed.output().contains("tool-1.0-to-1.1.delta: SHA-256 differs"), qPrintable(failed.output()));
}

void TestTavrepo::refusesBadInputWithoutWriting_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("no command") << QStringList() << 2;
    QTest::newRow("unknown command") << QStringList { "publish", "REPO", "tool" } << 2;
    QTest::newRow("too few arguments") << QStringList { "add", "REPO", "tool", "1.0" } << 2;
    QTest::newRow("version not numeric") << QStringList { "add", "REPO", "tool", "1.x", "TREE" } << 2;
    QTest::newRow("name escaping the root") << QStringList { "add", "REPO", "../tool", "1.0", "TREE" } << 2;
    QTest::newRow("platform with a slash")
        << QStringList { "add", "REPO", "tool", "1.0", "TREE", "--platform", "a/b" } << 2;
    QTest::newRow("no such directory") << QStringList { "add", "REPO", "tool", "1.0", "TREE/missing" } << 2;
    QTest::newRow("no such key") << QStringList { "add", "REPO", "tool", "1.0", "TREE", "--key", "TREE/none.key" } << 2;
    QTest::newRow("a format tavrepo does not write")
        << QStringList { "add", "REPO", "tool", "1.0", "TREE", "--format", "zip" } << 2;
    QTest::newRow("a level gzip does not have")
        << QStringList { "add", "REPO", "tool", "1.0", "TREE", "--format", "tar.gz", "--level", "10" } << 2;
    QTest::newRow("a level that is no number")
        << QStringList { "add", "REPO", "tool", "1.0", "TREE", "--level", "max" } << 2;
    QTest::newRow("link leaving the tree") << QStringList { "add", "REPO", "tool", "1.0", "EVIL" } << 1;
    QTest::newRow("a name Windows takes for a device") << QStringList { "add", "REPO", "tool", "1.0", "DEVICE" } << 1;
    QTest::newRow("verify without key") << QStringList { "verify", "REPO", "tool" } << 2;
    QTest::newRow("expiry of no days") << QStringList { "add", "REPO", "tool", "1.0", "TREE", "--expires-in", "0" }
                                       << 2;
    QTest::newRow("resign without key") << QStringList { "resign", "REPO" } << 2;
    QTest::newRow("list of nothing") << QStringList { "list", "REPO", "tool" } << 1;
}

void TestTavrepo::refusesBadInputWithoutWriting()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QTemporaryDir directory;
    const QString repository = directory.filePath(QStringLiteral("repo"));
    const QString tree = directory.filePath(QStringLiteral("tree"));
    const QString evil = directory.filePath(QStringLiteral("evil"));
    QVERIFY(writeTree(tree, { { QStringLiteral("a"), "a" } }));
    QVERIFY(writeTree(evil, { { QStringLiteral("a"), "a" } }));
    QVERIFY(QFile::link(QStringLiteral("/etc/passwd"), QDir(evil).filePath(QStringLiteral("passwd"))));
    const QString device = directory.filePath(QStringLiteral("device"));
    QVERIFY(writeTree(device, { { QStringLiteral("lib/nul .txt"), "not the null device" } }));
    arguments.replaceInStrings(QStringLiteral("REPO"), repository);
    arguments.replaceInStrings(QStringLiteral("TREE"), tree);
    arguments.replaceInStrings(QStringLiteral("EVIL"), evil);
    arguments.replaceInStrings(QStringLiteral("DEVICE"), device);

    const ProcessRun run = TestRepository::runTavrepo(arguments);
    QCOMPARE(run.code(), exitCode);
    QVERIFY2(run.errors().startsWith(QLatin1String("tavrepo: ")), qPrintable(run.errors()));
    QVERIFY(!QFileInfo::exists(QDir(repository).filePath(QStringLiteral("tool/index.json"))));
}

// What an installer records is what the first update check compares against,
// and the file list is what a later update removes when its version drops a file.
void TestTavrepo::recordRegistersAnInstalledPackage()
{
    QTemporaryDir root;
    const QString agentDir = root.filePath(QStringLiteral("TavAgent"));
    QVERIFY(
        writeTree(agentDir, { { QStringLiteral("TavAgent"), "agent" }, { QStringLiteral("languages/a.qm"), "qm" } }));
    QVERIFY(writeFile(root.filePath(QStringLiteral("outside")), "x"));
    const QString recordPath = QDir(agentDir).filePath(QStringLiteral("Packages.xml"));
    const QStringList refused[] = { { "record", agentDir, "TavAgent", "7.0", "missing" },
        { "record", agentDir, "TavAgent", "7.0", "../outside" },
        { "record", agentDir, "TavAgent", "7.0", QDir(agentDir).filePath(QStringLiteral("TavAgent")) },
        { "record", agentDir, "TavAgent", "seven", "TavAgent" } };
    for (const QStringList& arguments : refused) {
        QCOMPARE(TestRepository::runTavrepo(arguments).code(), 2);
        QVERIFY2(!QFileInfo::exists(recordPath), qPrintable(arguments.join(QLatin1Char(' '))));
    }

    for (int run = 0; run < 2; ++run) {
        const ProcessRun recorded
            = TestRepository::runTavrepo({ "record", agentDir, "TavAgent", "7.0.3", "TavAgent", "./languages/a.qm" });
        QVERIFY2(recorded.code() == 0, qPrintable(recorded.errors()));
    }
    Updater::Target target(QStringLiteral("tavagent"));
    target.setDirectory(agentDir);
    const Updater::PackagesInfo* record = target.packagesInfo();
    QCOMPARE(record->targetName(), QStringLiteral("tavagent7"));
    QCOMPARE(record->targetVersion(), QStringLiteral("7.0.3"));
    QCOMPARE(record->packageInfoCount(), 1);
    const Updater::PackageInfo package = record->packageInfo(record->findPackageInfo(QStringLiteral("tavagent")));
    QCOMPARE(package.version(), QStringLiteral("7.0.3"));
    QCOMPARE(package.files(), QStringList({ "TavAgent", "languages/a.qm" }));
    QCOMPARE(package.size(), quint64(7));
    QVERIFY(package.installDate().isValid());
}

TAVLO_TEST(TestTavrepo)
#include "tst_tavrepo.moc"
