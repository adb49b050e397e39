#include "KeyFile.h"
#include "NginxServer.h"
#include "RepositoryIndex.h"
#include "Signature.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestRepository.h"
#include "Updater/PackagesInfo.h"
#include "Updater/Target.h"
#include "Updater/Update.h"
#include "Updater/UpdateFinder.h"
#include "Updater/UpdateInstaller.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

using Updater::RepositoryIndex;
using Updater::Task;
using Updater::Update;
using Updater::UpdateFinder;
using namespace Vondra::Testing;

namespace {

struct Search
{
    bool success = false;
    QList<Update> updates;
    QList<int> codes;
    QStringList errors;
};

struct Source
{
    QUrl url;
    int priority;
};

Search search(const QString& installedVersion, const QList<Source>& sources, const QString& platform = QString())
{
    QTemporaryDir directory;
    Updater::Target target(QStringLiteral("tool"));
    target.setDirectory(directory.path());
    target.packagesInfo()->installPackage(QStringLiteral("tool"), installedVersion, QString(), QString(), {}, 0);
    for (const Source& source : sources)
        target.addUpdateSource(source.url.toString(), QStringLiteral("tool"), QString(), source.url, source.priority);

    UpdateFinder finder(&target);
    if (!platform.isEmpty())
        finder.setPlatformIdentifier(platform);
    QSignalSpy errors(&finder, &Task::error);
    Search result;
    result.success = finder.run();
    for (const Update* update : finder.updates())
        result.updates.append(*update);
    for (const QList<QVariant>& error : errors) {
        result.codes.append(error.at(0).toInt());
        result.errors.append(error.at(1).toString());
    }
    return result;
}

// A repository of the index file alone, as a file:// address.
QUrl repositoryOf(const QTemporaryDir& directory, const QByteArray& indexFile)
{
    writeFile(directory.filePath(QStringLiteral("tool/index.json")), indexFile);
    return QUrl::fromLocalFile(directory.filePath(QStringLiteral("tool")));
}

QMap<QString, QByteArray> toolFiles(const QByteArray& version)
{
    return { { QStringLiteral("tool.bin"), "tool " + version }, { QStringLiteral("data/readme.txt"), version } };
}

} // namespace

class TestFinder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void findsTheFirstVersionOverThePlaceholder_data();
    void findsTheFirstVersionOverThePlaceholder();
    void offersOnlyNewerVersionsForThePlatform_data();
    void offersOnlyNewerVersionsForThePlatform();
    void refusesIndexesItCannotTrust_data();
    void refusesIndexesItCannotTrust();
    void keyFileDecidesWhatIsTrusted_data();
    void keyFileDecidesWhatIsTrusted();
    void anyTrustedSignatureVouches_data();
    void anyTrustedSignatureVouches();
    void refusesExpiredIndexes_data();
    void refusesExpiredIndexes();
    void refusesAnIndexNamingNoTarget();
    void reportsBrokenSourcesAndGoesOn();
    void stopCancelsTheSearch();
    void limitsTheTimeForAnIndex_data();
    void limitsTheTimeForAnIndex();
    void whatItFindsInstalls();

private:
    QUrl httpRepository(const QString& target) const;
    void useKey(const QString& path);
    // The published index of tool, signed by the keys of signingKeys named by number.
    QByteArray signedIndex(const QList<int>& signers, const QDateTime& expires = QDateTime()) const;
    // A key file trusting the keys named by number, after the lines given.
    QString trust(const QTemporaryDir& directory, const QList<int>& keys, const QByteArray& lines = QByteArray());

    QList<QByteArray> signingKeys;

    std::unique_ptr<TestRepository> repository;
    QByteArray originalIndex;
};

void TestFinder::initTestCase()
{
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
    repository = std::make_unique<TestRepository>();
    QVERIFY(repository->isValid());
    for (const char* version : { "1.0", "1.9", "1.10" })
        QCOMPARE(repository->add(QStringLiteral("tool"), QString::fromLatin1(version), toolFiles(version)).code(), 0);
    QCOMPARE(repository->add(QStringLiteral("tool"), QStringLiteral("1.11"), toolFiles("L"), QStringLiteral("Linux32"))
                 .code(),
        0);
    QCOMPARE(
        repository->add(QStringLiteral("tool"), QStringLiteral("1.12"), toolFiles("W"), QStringLiteral("Windows32"))
            .code(),
        0);
    QCOMPARE(repository->add(QStringLiteral("other"), QStringLiteral("5.0"), toolFiles("O")).code(), 0);
    originalIndex = readFile(repository->indexPath(QStringLiteral("tool")));
    for (int i = 0; i < 3; ++i) {
        QByteArray publicKey;
        QByteArray secretKey;
        QVERIFY(Updater::Signature::generateKeyPair(&publicKey, &secretKey));
        signingKeys.append(secretKey);
    }

    QVERIFY2(repository->start(), qPrintable(repository->errorString()));
}

void TestFinder::init()
{
    useKey(repository->publicKey());
    QVERIFY(writeFile(repository->indexPath(QStringLiteral("tool")), originalIndex));
}

void TestFinder::cleanupTestCase()
{
    qunsetenv("TAVUPDATER_KEY_FILE");
}

QUrl TestFinder::httpRepository(const QString& target) const
{
    // As the updater builds it: base + name, without a closing slash.
    return QUrl(repository->baseUrl() + target);
}

void TestFinder::useKey(const QString& path)
{
    qputenv("TAVUPDATER_KEY_FILE", path.toLocal8Bit());
}

QByteArray TestFinder::signedIndex(const QList<int>& signers, const QDateTime& expires) const
{
    RepositoryIndex index;
    bool isSigned = false;
    QString reason;
    RepositoryIndex::read(originalIndex, {}, &index, &isSigned, &reason);
    index.expires = expires;
    QList<QByteArray> secretKeys;
    for (int signer : signers)
        secretKeys.append(signingKeys.at(signer));
    return index.toFile(secretKeys);
}

QString TestFinder::trust(const QTemporaryDir& directory, const QList<int>& keys, const QByteArray& lines)
{
    QByteArray content = lines;
    for (int key : keys)
        content += Updater::KeyFile::publicKeyLine(Updater::Signature::publicKeyOf(signingKeys.at(key)));
    const QString path = directory.filePath(QStringLiteral("update_key.pub"));
    writeFile(path, content);
    useKey(path);
    return path;
}

void TestFinder::findsTheFirstVersionOverThePlaceholder_data()
{
    QTest::addColumn<bool>("overHttp");
    QTest::newRow("http") << true;
    QTest::newRow("file") << false;
}

void TestFinder::findsTheFirstVersionOverThePlaceholder()
{
    QFETCH(bool, overHttp);
    const QUrl url = overHttp ? httpRepository(QStringLiteral("tool"))
                              : QUrl::fromLocalFile(QDir(repository->root()).filePath(QStringLiteral("tool")));
    const Search found = search(QStringLiteral("0.0"), { { url, 1 } }, QStringLiteral("MacOS32"));
    QVERIFY2(found.success, qPrintable(found.errors.join(QLatin1Char('\n'))));
    QCOMPARE(found.updates.size(), 1);
    const Update& update = found.updates.first();
    QCOMPARE(update.packageName, QStringLiteral("tool"));
    QCOMPARE(update.version, QStringLiteral("1.10"));
    QCOMPARE(update.installedVersion, QStringLiteral("0.0"));
    QCOMPARE(update.archiveUrl.toString(), url.toString() + QStringLiteral("/tool-1.10.tar.zst"));

    // What the index promises is what the repository holds.
    const QByteArray archive = readFile(QDir(repository->root()).filePath(QStringLiteral("tool/tool-1.10.tar.zst")));
    QCOMPARE(update.archiveSize, quint64(archive.size()));
    QCOMPARE(update.sha256, QCryptographicHash::hash(archive, QCryptographicHash::Sha256));
}

void TestFinder::offersOnlyNewerVersionsForThePlatform_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("platform");
    QTest::addColumn<QString>("offered"); // none when empty
    QTest::newRow("1.0 -> 1.10, not 1.9") << "1.0"
                                          << "MacOS32"
                                          << "1.10";
    QTest::newRow("up to date") << "1.10"
                                << "MacOS32"
                                << "";
    QTest::newRow("written differently, same version") << "1.10.0"
                                                       << "MacOS32"
                                                       << "";
    QTest::newRow("never a downgrade") << "2.0"
                                       << "MacOS32"
                                       << "";
    QTest::newRow("Linux32") << "1.0"
                             << "Linux32"
                             << "1.11";
    QTest::newRow("platform in any case") << "1.0"
                                          << "windows32"
                                          << "1.12";
    QTest::newRow("platform with no entry of its own") << "1.0"
                                                       << "MacOS32"
                                                       << "1.10";
}

void TestFinder::offersOnlyNewerVersionsForThePlatform()
{
    QFETCH(QString, installed);
    QFETCH(QString, platform);
    QFETCH(QString, offered);
    const Search found = search(installed, { { httpRepository(QStringLiteral("tool")), 1 } }, platform);
    QVERIFY2(found.success, qPrintable(found.errors.join(QLatin1Char('\n'))));
    QCOMPARE(found.updates.size(), offered.isEmpty() ? 0 : 1);
    if (!offered.isEmpty())
        QCOMPARE(found.updates.first().version, offered);
}

void TestFinder::refusesIndexesItCannotTrust_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("expected");
    QTest::newRow("payload changed after signing") << "tamper"
                                                   << "signature check failed for ";
    QTest::newRow("signed with another key") << "other key"
                                             << "signature check failed for ";
    QTest::newRow("unsigned while a key ships") << "unsigned"
                                                << "signature check failed for ";
    QTest::newRow("damaged key file") << "damaged key"
                                      << "cannot check update signatures";
}

void TestFinder::refusesIndexesItCannotTrust()
{
    QFETCH(QString, damage);
    QFETCH(QString, expected);
    const QString indexPath = repository->indexPath(QStringLiteral("tool"));
    QTemporaryDir scratch;
    if (damage == QLatin1String("tamper")) {
        QJsonObject envelope = QJsonDocument::fromJson(originalIndex).object();
        QByteArray payload = QByteArray::fromBase64(envelope.value(QLatin1String("payload")).toString().toLatin1());
        payload.replace("\"version\":\"1.10\"", "\"version\":\"9.10\"");
        envelope.insert(QStringLiteral("payload"), QString::fromLatin1(payload.toBase64()));
        QVERIFY(writeFile(indexPath, QJsonDocument(envelope).toJson()));
    } else if (damage == QLatin1String("other key") || damage == QLatin1String("unsigned")) {
        // The same package published again, by someone else or without a key.
        TestRepository other;
        QVERIFY(other.isValid());
        const QString key = damage == QLatin1String("unsigned") ? QString() : other.secretKey();
        QCOMPARE(other.add(QStringLiteral("tool"), QStringLiteral("9.0"), toolFiles("evil"), QString(), key).code(), 0);
        QVERIFY(writeFile(indexPath, readFile(other.indexPath(QStringLiteral("tool")))));
    } else {
        const QString keyPath = scratch.filePath(QStringLiteral("update_key.pub"));
        QVERIFY(writeFile(keyPath, readFile(repository->publicKey()).left(30)));
        useKey(keyPath);
    }

    const Search found = search(QStringLiteral("1.0"), { { httpRepository(QStringLiteral("tool")), 1 } });
    QVERIFY(!found.success);
    QVERIFY(found.updates.isEmpty());
    QCOMPARE(found.codes, QList<int> { Task::TrustError });
    QVERIFY2(found.errors.first().startsWith(expected), qPrintable(found.errors.first()));
    if (damage != QLatin1String("damaged key"))
        QVERIFY2(found.errors.first().contains(httpRepository(QStringLiteral("tool")).toString()),
            qPrintable(found.errors.first()));
}

// The repository's index is signed by key 1, or by none when the file trusts no key.
void TestFinder::keyFileDecidesWhatIsTrusted_data()
{
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("no key file") << QList<int>() << QByteArray() << "there is no trusted key file";
    QTest::newRow("one key") << QList<int> { 1 } << QByteArray() << "";
    QTest::newRow("several keys, one of them the signer") << QList<int> { 0, 1, 2 } << QByteArray() << "";
    QTest::newRow("comments and blank lines")
        << QList<int> { 1 } << QByteArray("# rotation\n\n  # old key gone\n") << "";
    QTest::newRow("only other keys") << QList<int> { 0, 2 } << QByteArray() << "signature check failed for ";
    QTest::newRow("a damaged line among keys")
        << QList<int> { 1 } << QByteArray("tavlo-ed25519-public AAAA\n") << "line 1: expected";
    QTest::newRow("allow-unsigned beside keys")
        << QList<int> { 1 } << QByteArray("allow-unsigned\n") << "holds keys and \"allow-unsigned\"";
    QTest::newRow("allow-unsigned, for development repositories")
        << QList<int>() << QByteArray("# dev\nallow-unsigned\n") << "";
}

void TestFinder::keyFileDecidesWhatIsTrusted()
{
    QFETCH(QList<int>, keys);
    QFETCH(QByteArray, lines);
    QFETCH(QString, refusal);
    QTemporaryDir directory;
    if (!keys.isEmpty() || !lines.isEmpty())
        trust(directory, keys, lines);
    else
        useKey(directory.filePath(QStringLiteral("update_key.pub")));
    if (lines.contains("# dev"))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("without a signature check")));
    const QUrl url = repositoryOf(directory, signedIndex(keys.isEmpty() ? QList<int>() : QList<int> { 1 }));
    const Search found = search(QStringLiteral("1.0"), { { url, 1 } }, QStringLiteral("MacOS32"));
    if (refusal.isEmpty()) {
        QVERIFY2(found.success, qPrintable(found.errors.join(QLatin1Char('\n'))));
        QCOMPARE(found.updates.size(), 1);
        QCOMPARE(found.updates.first().version, QStringLiteral("1.10"));
    } else {
        QVERIFY(found.updates.isEmpty());
        QCOMPARE(found.codes, QList<int> { Task::TrustError });
        QVERIFY2(found.errors.first().contains(refusal), qPrintable(found.errors.first()));
    }
}

void TestFinder::anyTrustedSignatureVouches_data()
{
    QTest::addColumn<QList<int>>("signers");
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QList<int>>("trusted");
    QTest::addColumn<bool>("accepted");
    // As indexes were written before the list, and as such an updater reads a new one.
    QTest::newRow("single field only") << QList<int> { 0, 1 } << "single" << QList<int> { 0 } << true;
    QTest::newRow("list only") << QList<int> { 0, 1 } << "list" << QList<int> { 1 } << true;
    QTest::newRow("both") << QList<int> { 0, 1 } << "both" << QList<int> { 1, 2 } << true;
    QTest::newRow("one of several valid") << QList<int> { 2, 0, 1 } << "both" << QList<int> { 1 } << true;
    QTest::newRow("none valid") << QList<int> { 1, 2 } << "both" << QList<int> { 0 } << false;
    QTest::newRow("the second signer, single field only")
        << QList<int> { 0, 1 } << "single" << QList<int> { 1 } << false;
}

void TestFinder::anyTrustedSignatureVouches()
{
    QFETCH(QList<int>, signers);
    QFETCH(QString, fields);
    QFETCH(QList<int>, trusted);
    QFETCH(bool, accepted);
    QJsonObject envelope = QJsonDocument::fromJson(signedIndex(signers)).object();
    if (fields == QLatin1String("single"))
        envelope.remove(QStringLiteral("signatures"));
    if (fields == QLatin1String("list")) {
        envelope.remove(QStringLiteral("signature"));
        envelope.remove(QStringLiteral("key"));
    }
    QTemporaryDir directory;
    const QString keyFile = trust(directory, trusted);
    const Search found = search(QStringLiteral("1.0"),
        { { repositoryOf(directory, QJsonDocument(envelope).toJson()), 1 } }, QStringLiteral("MacOS32"));
    QCOMPARE(found.success, accepted);
    QCOMPARE(found.updates.size(), accepted ? 1 : 0);
    if (accepted)
        return;
    // What an operator needs to see why: which keys signed, which are trusted, and where.
    QCOMPARE(found.codes, QList<int> { Task::TrustError });
    const QString error = found.errors.first();
    QVERIFY2(error.contains(keyFile), qPrintable(error));
    for (int key : signers + trusted)
        QVERIFY2(error.contains(QString::fromLatin1(Updater::Signature::publicKeyOf(signingKeys.at(key)).toBase64())),
            qPrintable(error));
}

void TestFinder::refusesExpiredIndexes_data()
{
    QTest::addColumn<int>("expiresInSecs");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("never expires") << 0 << true;
    QTest::newRow("expires tomorrow") << 86400 << true;
    QTest::newRow("expired within the clock skew") << -300 << true;
    QTest::newRow("expired an hour ago") << -3600 << false;
}

void TestFinder::refusesExpiredIndexes()
{
    QFETCH(int, expiresInSecs);
    QFETCH(bool, accepted);
    const QDateTime expires = expiresInSecs == 0
        ? QDateTime()
        : QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() + expiresInSecs, Qt::UTC);
    QTemporaryDir directory;
    trust(directory, { 0 });
    const QUrl url = repositoryOf(directory, signedIndex({ 0 }, expires));
    const Search found = search(QStringLiteral("1.0"), { { url, 1 } }, QStringLiteral("MacOS32"));
    QCOMPARE(found.success, accepted);
    QCOMPARE(found.updates.size(), accepted ? 1 : 0);
    if (!accepted)
        QCOMPARE(found.errors,
            QStringList { QStringLiteral("the index %1/index.json expired on %2")
                              .arg(url.toString(), expires.toString(Qt::ISODate)) });
}

// An index that names no target would otherwise serve any program that is
// pointed at it.
void TestFinder::refusesAnIndexNamingNoTarget()
{
    QTemporaryDir keys;
    QVERIFY(writeFile(keys.filePath(QStringLiteral("update_key.pub")), "allow-unsigned\n"));
    useKey(keys.filePath(QStringLiteral("update_key.pub")));
    TestRepository repository;
    QVERIFY(repository.isValid());
    QCOMPARE(
        repository.add(QStringLiteral("tool"), QStringLiteral("3.0"), toolFiles("3"), QString(), QString()).code(), 0);
    const QString indexPath = QDir(repository.root()).filePath(QStringLiteral("tool/index.json"));
    QJsonObject envelope = QJsonDocument::fromJson(readFile(indexPath)).object();
    QJsonObject payload = QJsonDocument::fromJson(
        QByteArray::fromBase64(envelope.value(QLatin1String("payload")).toString().toLatin1()))
                              .object();
    QVERIFY(payload.contains(QLatin1String("target")));
    payload.remove(QStringLiteral("target"));
    envelope.insert(QStringLiteral("payload"),
        QString::fromLatin1(QJsonDocument(payload).toJson(QJsonDocument::Compact).toBase64()));
    QVERIFY(writeFile(indexPath, QJsonDocument(envelope).toJson()));

    const Search found = search(QStringLiteral("1.0"),
        { { QUrl::fromLocalFile(QDir(repository.root()).filePath(QStringLiteral("tool"))), 1 } });
    QVERIFY(!found.success);
    QVERIFY(found.updates.isEmpty());
    QCOMPARE(found.codes, QList<int> { Task::TrustError });
}

void TestFinder::reportsBrokenSourcesAndGoesOn()
{
    quint16 closedPort;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        closedPort = probe.serverPort();
    }
    const QUrl refused(QStringLiteral("http://127.0.0.1:%1/tool").arg(closedPort));
    // A correctly signed index of another program, served where this one's should be.
    const QUrl wrongTarget = httpRepository(QStringLiteral("other"));
    const Search found = search(QStringLiteral("1.0"),
        { { refused, 1 }, { wrongTarget, 2 }, { httpRepository(QStringLiteral("tool")), 3 } },
        QStringLiteral("MacOS32"));

    QVERIFY(!found.success);
    QCOMPARE(found.updates.size(), 1);
    QCOMPARE(found.updates.first().version, QStringLiteral("1.10"));
    QCOMPARE(found.codes, (QList<int> { Task::NetworkError, Task::TrustError }));
    QVERIFY2(found.errors.at(0).startsWith(
                 QStringLiteral("cannot reach http://127.0.0.1:%1/tool/index.json: ").arg(closedPort)),
        qPrintable(found.errors.at(0)));
    QVERIFY2(found.errors.at(1).contains(QLatin1String("is for \"other\"")), qPrintable(found.errors.at(1)));
}

void TestFinder::stopCancelsTheSearch()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QTemporaryDir directory;
    Updater::Target target(QStringLiteral("tool"));
    target.setDirectory(directory.path());
    target.packagesInfo()->installPackage(QStringLiteral("tool"), QStringLiteral("1.0"), QString(), QString(), {}, 0);
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/tool").arg(silent.serverPort()));
    target.addUpdateSource(QStringLiteral("tool"), QStringLiteral("tool"), QString(), url, 1);
    UpdateFinder finder(&target);
    QSignalSpy errors(&finder, &Task::error);
    QTimer::singleShot(200, &finder, &Task::stop);
    QVERIFY(!finder.run());
    QVERIFY(finder.updates().isEmpty());
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().at(0).toInt(), int(Task::CancelledError));
}

void TestFinder::limitsTheTimeForAnIndex_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<int>("headerTimeout");
    QTest::addColumn<int>("deadline");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no answer") << true << 300 << 60000 << "did not answer within 0.3 seconds";
    QTest::newRow("past the deadline") << true << 60000 << 300 << "not done within 0.3 seconds";
    QTest::newRow("refused at once") << false << 60000 << 60000 << "cannot reach";
}

// A server that accepts and never answers would otherwise hold the agent's
// check before every launch for the whole stall timeout.
void TestFinder::limitsTheTimeForAnIndex()
{
    QFETCH(bool, listening);
    QFETCH(int, headerTimeout);
    QFETCH(int, deadline);
    QFETCH(QString, expected);
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/tool").arg(silent.serverPort()));
    if (!listening)
        silent.close();
    QTemporaryDir directory;
    Updater::Target target(QStringLiteral("tool"));
    target.setDirectory(directory.path());
    target.packagesInfo()->installPackage(QStringLiteral("tool"), QStringLiteral("1.0"), QString(), QString(), {}, 0);
    target.addUpdateSource(QStringLiteral("tool"), QStringLiteral("tool"), QString(), url, 1);
    UpdateFinder finder(&target);
    finder.setIndexHeaderTimeout(headerTimeout);
    finder.setIndexDeadline(deadline);
    QSignalSpy errors(&finder, &Task::error);
    QVERIFY(!finder.run());
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().at(0).toInt(), int(Task::NetworkError));
    QVERIFY2(errors.first().at(1).toString().contains(expected), qPrintable(errors.first().at(1).toString()));
}

// The finder's updates, as tavrepo published them, are what the installer installs.
void TestFinder::whatItFindsInstalls()
{
    QTemporaryDir directory;
    Updater::Target target(QStringLiteral("tool"));
    target.setDirectory(directory.path());
    target.packagesInfo()->installPackage(QStringLiteral("tool"), QStringLiteral("0.0"), QString(), QString(), {}, 0);
    target.addUpdateSource(
        QStringLiteral("tool"), QStringLiteral("tool"), QString(), httpRepository(QStringLiteral("tool")), 1);
    for (const QString& platform : { QStringLiteral("MacOS32"), QStringLiteral("Linux32") }) {
        UpdateFinder finder(&target);
        finder.setPlatformIdentifier(platform);
        QVERIFY2(finder.run(), qPrintable(finder.errorString()));
        QCOMPARE(finder.updates().size(), 1);
        Updater::UpdateInstaller installer(&target);
        installer.setUpdatesToInstall(finder.updates());
        QVERIFY2(installer.run(), qPrintable(installer.errorString()));
    }
    QCOMPARE(readFile(directory.filePath(QStringLiteral("tool.bin"))), QByteArray("tool L"));
    QCOMPARE(readFile(directory.filePath(QStringLiteral("data/readme.txt"))), QByteArray("L"));
    Updater::Target reread(QStringLiteral("tool"));
    reread.setDirectory(directory.path());
    const int index = reread.packagesInfo()->findPackageInfo(QStringLiteral("tool"));
    QCOMPARE(reread.packagesInfo()->packageInfo(index).version(), QStringLiteral("1.11"));
}

TAVLO_TEST(TestFinder)
#include "tst_finder.moc"
