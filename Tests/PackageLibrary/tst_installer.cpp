#include "DeltaManifest.h"
#include "NginxServer.h"
#include "ProcessRunner.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestRepository.h"

#include <Updater/PackagesInfo.h>
#include <Updater/Target.h>
#include <Updater/Update.h>
#include <Updater/UpdateFinder.h>
#include <Updater/UpdateInstaller.h>

#include <QCryptographicHash>
#include <QDirIterator>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#define ZSTD_STATIC_LINKING_ONLY // the frame header's window
#include <zstd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

using namespace Updater;
using Type = DeltaManifest::Type;
using Vondra::Testing::readFile;
using Vondra::Testing::treeOf;
using Vondra::Testing::writeFile;

namespace {

bool runTool(const QString& program, const QStringList& arguments, const QString& directory = QString())
{
    const Vondra::Testing::ProcessRun run
        = Vondra::Testing::runProcess(program, arguments, QProcessEnvironment::systemEnvironment(), directory);
    if (!run.succeeded())
        qWarning() << program << arguments << run.describe();
    return run.succeeded();
}

// Packs the content of sourceDir with bsdtar; extra arguments pick the format
// and let a test rename members into hostile names ("-s", "-P"). Members are
// packed in the order given.
bool pack(const QString& archive, const QString& sourceDir, const QStringList& extra = {},
    const QStringList& members = { QStringLiteral(".") })
{
    return runTool(QStringLiteral("bsdtar"),
        QStringList { QStringLiteral("-c"), QStringLiteral("-f"), archive } + extra
            + QStringList { QStringLiteral("-C"), sourceDir } + members);
}

std::unique_ptr<Update> updateFor(const QString& archive, const QString& name, const QString& version)
{
    auto update = std::make_unique<Update>();
    update->packageName = name;
    update->title = name;
    update->version = version;
    update->installedVersion = QStringLiteral("0.0");
    update->archiveUrl = QUrl::fromLocalFile(archive);
    const QByteArray content = readFile(archive);
    update->archiveSize = quint64(content.size());
    update->sha256 = QCryptographicHash::hash(content, QCryptographicHash::Sha256);
    return update;
}

QByteArray sha256(const QByteArray& content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Sha256);
}

// A zstd frame of content after reference. windowLog > 0 forces that window;
// hideSize leaves the content size out of the frame, as a hostile encoder may.
QByteArray zstdFrame(
    const QByteArray& content, const QByteArray& reference = QByteArray(), int windowLog = 0, bool hideSize = false)
{
    ZSTD_CCtx* context = ZSTD_createCCtx();
    if (!reference.isEmpty())
        ZSTD_CCtx_refPrefix(context, reference.constData(), size_t(reference.size()));
    if (windowLog > 0)
        ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
    QByteArray frame(int(ZSTD_compressBound(size_t(content.size()))) + 64, Qt::Uninitialized);
    ZSTD_outBuffer out { frame.data(), size_t(frame.size()), 0 };
    const size_t half = hideSize ? size_t(content.size() / 2) : 0;
    ZSTD_inBuffer first { content.constData(), half, 0 };
    if (hideSize)
        ZSTD_compressStream2(context, &out, &first, ZSTD_e_continue);
    ZSTD_inBuffer rest { content.constData() + half, size_t(content.size()) - half, 0 };
    while (ZSTD_compressStream2(context, &out, &rest, ZSTD_e_end) != 0) { }
    ZSTD_freeCCtx(context);
    frame.truncate(int(out.pos));
    return frame;
}

// A delta made by hand, entry by entry, hostile ones included.
struct HandMadeDelta
{
    DeltaManifest manifest;
    QByteArray payloads;

    void add(const QString& path, DeltaManifest::Type type, const QString& linkTarget = QString())
    {
        DeltaManifest::Entry entry;
        entry.path = path;
        entry.type = type;
        entry.mode = 0755;
        entry.linkTarget = linkTarget;
        manifest.entries.append(entry);
    }

    // A file of stated size (-1: the content's) made from frame, or reused when frame is empty.
    void addFile(const QString& path, const QByteArray& content, const QByteArray& frame, qint64 stated = -1,
        const QString& reference = QString(), const QByteArray& referenceContent = QByteArray())
    {
        DeltaManifest::Entry entry;
        entry.path = path;
        entry.size = stated >= 0 ? quint64(stated) : quint64(content.size());
        entry.sha256 = sha256(content);
        entry.method = frame.isEmpty() ? DeltaManifest::Method::Reused
            : reference.isEmpty()      ? DeltaManifest::Method::Whole
                                       : DeltaManifest::Method::Patched;
        entry.reference = reference;
        entry.referenceSize = quint64(referenceContent.size());
        entry.referenceSha256 = sha256(referenceContent);
        entry.offset = quint64(payloads.size());
        entry.length = quint64(frame.size());
        payloads += frame;
        manifest.entries.append(entry);
    }

    std::unique_ptr<Update> updateTo(const QString& path, const QString& version, quint64 unpackedSize)
    {
        manifest.name = QStringLiteral("tool");
        manifest.fromVersion = QStringLiteral("1.0");
        manifest.toVersion = version;
        const QByteArray file = manifest.head() + payloads;
        writeFile(path, file);
        auto update = std::make_unique<Update>();
        update->packageName = manifest.name;
        update->version = version;
        update->installedVersion = manifest.fromVersion;
        update->deltaFromVersion = manifest.fromVersion;
        update->deltaUrl = QUrl::fromLocalFile(path);
        update->deltaSize = quint64(file.size());
        update->deltaSha256 = sha256(file);
        update->deltaUnpackedSize = qint64(unpackedSize);
        return update;
    }
};

struct RunResult
{
    bool success = false;
    QList<int> codes;
    QStringList errors;
    QList<int> progress;
    QStringList texts;
};

RunResult install(
    const QString& directory, const QList<Update*>& updates, const std::function<void(UpdateInstaller&)>& prepare = {})
{
    Target target(QStringLiteral("tool"));
    target.setDirectory(directory);
    UpdateInstaller installer(&target);
    RunResult result;
    QObject::connect(&installer, &Task::error, [&result](int code, const QString& text) {
        result.codes.append(code);
        result.errors.append(text);
    });
    QObject::connect(&installer, &Task::progressValue, [&result](int value) { result.progress.append(value); });
    QObject::connect(&installer, &Task::progressText, [&result](const QString& text) { result.texts.append(text); });
    if (prepare)
        prepare(installer);
    installer.setUpdatesToInstall(updates);
    result.success = installer.run();
    return result;
}

} // namespace

class TestInstaller : public QObject
{
    Q_OBJECT

private:
    // Not made in the child that a test kills: nobody would remove it.
    std::unique_ptr<QTemporaryDir> m_temp;
    QString m_target;
    QString m_sources;
    int m_archives = 0;

    QString source(const QString& name)
    {
        const QString path = m_sources + QLatin1Char('/') + name;
        QDir(path).removeRecursively();
        QDir().mkpath(path);
        return path;
    }

    QString archivePath(const QString& suffix)
    {
        return m_temp->filePath(QStringLiteral("a%1%2").arg(++m_archives).arg(suffix));
    }

    // The target after a first install of tool 1.0 over the placeholder.
    void installFirstVersion()
    {
        {
            Target target(QStringLiteral("tool"));
            target.setDirectory(m_target);
            target.packagesInfo()->setTargetName(QStringLiteral("tool1"));
            QVERIFY(
                target.packagesInfo()->installPackage(QStringLiteral("tool"), QStringLiteral("0.0"), {}, {}, {}, 0));
        }
        QVERIFY(writeFile(m_target + QStringLiteral("/user.ini"), "mine\n"));
        const QString dir = source(QStringLiteral("v1"));
        QVERIFY(writeFile(dir + QStringLiteral("/tool"), "#!/bin/sh\necho 1.0\n"));
        QFile(dir + QStringLiteral("/tool"))
            .setPermissions(QFile::permissions(dir + QStringLiteral("/tool")) | QFile::ExeOwner);
        QVERIFY(writeFile(dir + QStringLiteral("/data/old.txt"), "old\n"));
        QVERIFY(writeFile(dir + QStringLiteral("/readme.txt"), "1.0\n"));
        const QString archive = archivePath(QStringLiteral(".zip"));
        QVERIFY(pack(archive, dir, { QStringLiteral("--format"), QStringLiteral("zip") }));
        const auto update = updateFor(archive, QStringLiteral("tool"), QStringLiteral("1.0"));
        const RunResult result = install(m_target, { update.get() });
        QVERIFY2(result.success, qPrintable(result.errors.join(QLatin1Char('\n'))));
    }

    // Packs dir as tool at version and installs it, which must succeed.
    void installPacked(const QString& dir, const QString& version)
    {
        const QString archive = archivePath(QStringLiteral(".tar.gz"));
        QVERIFY(pack(archive, dir, { QStringLiteral("-z") }));
        const auto update = updateFor(archive, QStringLiteral("tool"), version);
        const RunResult result = install(m_target, { update.get() });
        QVERIFY2(result.success, qPrintable(result.errors.join(QLatin1Char('\n'))));
    }

    static bool isKilledChild() { return qEnvironmentVariableIsSet("TAVLO_INSTALLER_CHILD_TARGET"); }

    void expectUnchangedAfter(const QList<Update*>& updates, const QString& expectedError, int expectedCode,
        const std::function<void(UpdateInstaller&)>& prepare = {})
    {
        const QMap<QString, QByteArray> before = treeOf(m_target);
        const RunResult result = install(m_target, updates, prepare);
        QVERIFY(!result.success);
        QVERIFY2(result.errors.value(0).contains(expectedError), qPrintable(result.errors.join(QLatin1Char('\n'))));
        QCOMPARE(result.codes.value(0), expectedCode);
        QCOMPARE(treeOf(m_target), before);
    }

private slots:
    void initTestCase()
    {
        if (!isKilledChild())
            m_temp = std::make_unique<QTemporaryDir>();
    }

    void init()
    {
        if (isKilledChild())
            return;
        QVERIFY(m_temp->isValid());
        m_target = m_temp->filePath(QStringLiteral("tool"));
        m_sources = m_temp->filePath(QStringLiteral("sources"));
        QDir(m_target).removeRecursively();
        QDir().mkpath(m_target);
        installFirstVersion();
    }

    void firstInstallOverPlaceholder()
    {
        Target target(QStringLiteral("tool"));
        target.setDirectory(m_target);
        const PackageInfo package
            = target.packagesInfo()->packageInfo(target.packagesInfo()->findPackageInfo(QStringLiteral("tool")));
        QCOMPARE(package.version(), QStringLiteral("1.0"));
        QCOMPARE(package.installDate(), QDate::currentDate());
        QStringList files = package.files();
        files.sort();
        QCOMPARE(files, QStringList({ "data/old.txt", "readme.txt", "tool" }));
        QCOMPARE(package.size(), quint64(QByteArray("#!/bin/sh\necho 1.0\n").size() + 4 + 4));
        QVERIFY(QFileInfo(m_target + QStringLiteral("/tool")).isExecutable());
        QCOMPARE(readFile(m_target + QStringLiteral("/user.ini")), QByteArray("mine\n"));
        // Nothing of the installer's own is left behind.
        const QStringList hidden
            = QDir(m_target).entryList({ QStringLiteral(".tavupdater*") }, QDir::AllEntries | QDir::Hidden);
        QVERIFY2(hidden.isEmpty(), qPrintable(hidden.join(QLatin1Char(' '))));
    }

    void updateReplacesAndRemovesFiles_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QStringList>("format");
        QTest::addColumn<bool>("overHttp");
        QTest::newRow("tar.xz from file") << ".tar.xz" << QStringList { "-J" } << false;
        QTest::newRow("tar.gz from nginx") << ".tar.gz" << QStringList { "-z" } << true;
    }

    void updateReplacesAndRemovesFiles()
    {
        QFETCH(QString, suffix);
        QFETCH(QStringList, format);
        QFETCH(bool, overHttp);

        // Back-date the first install, so keeping its date is visible.
        const QString recordPath = m_target + QStringLiteral("/Packages.xml");
        QByteArray record = readFile(recordPath);
        record.replace(
            "installDate=\"" + QDate::currentDate().toString(Qt::ISODate).toLatin1(), "installDate=\"2020-01-02");
        QVERIFY(writeFile(recordPath, record));

        const QString dir = source(QStringLiteral("v110"));
        QVERIFY(writeFile(dir + QStringLiteral("/tool"), "#!/bin/sh\necho 1.10\n"));
        QVERIFY(writeFile(dir + QStringLiteral("/readme.txt"), "1.10\n"));
        QVERIFY(writeFile(dir + QStringLiteral("/lib/new.so"), "new\n"));
        const QString archive = archivePath(suffix);
        QVERIFY(pack(archive, dir, format));
        auto update = updateFor(archive, QStringLiteral("tool"), QStringLiteral("1.10"));

        std::unique_ptr<Vondra::Testing::NginxServer> nginx;
        if (overHttp) {
            if (!Vondra::Testing::NginxServer::isAvailable())
                QSKIP("nginx is not installed");
            nginx = std::make_unique<Vondra::Testing::NginxServer>(m_temp->path());
            QVERIFY2(nginx->start(), qPrintable(nginx->errorString()));
            update->archiveUrl = nginx->baseUrl().resolved(QUrl(QFileInfo(archive).fileName()));
        }
        const RunResult result = install(m_target, { update.get() });
        QVERIFY2(result.success, qPrintable(result.errors.join(QLatin1Char('\n'))));

        QCOMPARE(readFile(m_target + QStringLiteral("/tool")), QByteArray("#!/bin/sh\necho 1.10\n"));
        QCOMPARE(readFile(m_target + QStringLiteral("/lib/new.so")), QByteArray("new\n"));
        QVERIFY(!QFileInfo::exists(m_target + QStringLiteral("/data")));
        QCOMPARE(readFile(m_target + QStringLiteral("/user.ini")), QByteArray("mine\n"));
        Target target(QStringLiteral("tool"));
        target.setDirectory(m_target);
        const PackageInfo package = target.packagesInfo()->packageInfo(0);
        QCOMPARE(package.version(), QStringLiteral("1.10"));
        QCOMPARE(package.installDate(), QDate(2020, 1, 2));
        QCOMPARE(package.lastUpdateDate(), QDate::currentDate());
        QCOMPARE(target.packagesInfo()->targetName(), QStringLiteral("tool1"));

        // Progress runs from 0 to 100 without going back, naming each step.
        QCOMPARE(result.progress.value(0), 0);
        QCOMPARE(result.progress.last(), 100);
        QVERIFY(std::is_sorted(result.progress.cbegin(), result.progress.cend()));
        for (const char* step :
            { "Downloading tool 1.10", "Verifying tool 1.10", "Unpacking tool 1.10", "Installing tool 1.10" })
            QVERIFY2(result.texts.contains(QLatin1String(step)), qPrintable(result.texts.join(QLatin1Char('|'))));
    }

    // The whole road in each format tavrepo writes: published, served by
    // nginx, found and installed: first over the placeholder, then 1.0 ->
    // 1.10, then nothing. (zip, which only other tools write, is what every
    // test here starts from.)
    void publishedPackagesInstallFromNginx_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("tar.zst, tavrepo's default") << QStringList() << ".tar.zst";
        QTest::newRow("tar.zst at level 22, the largest window") << QStringList { "--level", "22" } << ".tar.zst";
        QTest::newRow("tar.gz") << QStringList { "--format", "tar.gz" } << ".tar.gz";
    }

    void publishedPackagesInstallFromNginx()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, suffix);
        if (!Vondra::Testing::NginxServer::isAvailable())
            QSKIP("nginx is not installed");
        Vondra::Testing::TestRepository repository;
        QVERIFY2(repository.start(), qPrintable(repository.errorString()));
        repository.setArchiveOptions(options);
        qputenv("TAVUPDATER_KEY_FILE", repository.publicKey().toLocal8Bit());
        const auto restoreKey = qScopeGuard([] { qunsetenv("TAVUPDATER_KEY_FILE"); });
        const QString directory = m_temp->filePath(QStringLiteral("published"));
        QDir(directory).removeRecursively();
        QVERIFY(QDir().mkpath(directory));

        const auto findAndInstall = [&]() -> QString {
            Target target(QStringLiteral("tool"));
            target.setDirectory(directory);
            if (target.packagesInfo()->packageInfoCount() < 1)
                target.packagesInfo()->installPackage(QStringLiteral("tool"), QStringLiteral("0.0"), {}, {}, {}, 0);
            target.addUpdateSource(
                QStringLiteral("tool"), {}, {}, QUrl(repository.baseUrl()).resolved(QUrl(QStringLiteral("tool"))), 1);
            UpdateFinder finder(&target);
            if (!finder.run())
                return finder.errorString();
            if (finder.updates().isEmpty())
                return QStringLiteral("none");
            UpdateInstaller installer(&target);
            installer.setUpdatesToInstall(finder.updates());
            if (!installer.run())
                return installer.errorString();
            return target.packagesInfo()->packageInfo(0).version();
        };
        const auto installedTree = [&] {
            QMap<QString, QByteArray> tree = treeOf(directory);
            tree.remove(QStringLiteral("Packages.xml"));
            return tree;
        };

        // Larger than a zstd block and than libarchive's buffers, so the
        // archive's frame is made of many.
        QByteArray library;
        for (int i = 0; library.size() < 3 * 1024 * 1024; ++i)
            library += "symbol_" + QByteArray::number(i * 7919 % 100003) + '\0';
        const QMap<QString, QByteArray> first { { "tool", "1.0" }, { "lib/a.so", library }, { "lib/empty", "" } };
        QCOMPARE(repository.add(QStringLiteral("tool"), QStringLiteral("1.0"), first).code(), 0);
        const QByteArray archive = readFile(repository.root() + QStringLiteral("/tool/tool-1.0") + suffix);
        QVERIFY(!archive.isEmpty());
        if (suffix == QLatin1String(".tar.zst")) {
            // What every zstd reader accepts without being told otherwise.
            ZSTD_frameHeader header {};
            QCOMPARE(ZSTD_getFrameHeader(&header, archive.constData(), size_t(archive.size())), size_t(0));
            QVERIFY2(header.windowSize <= (quint64(1) << 27), qPrintable(QString::number(header.windowSize)));
        }
        QCOMPARE(findAndInstall(), QStringLiteral("1.0"));
        QCOMPARE(installedTree(),
            (QMap<QString, QByteArray> {
                { "lib/", {} }, { "lib/a.so", library }, { "lib/empty", {} }, { "tool", "1.0" } }));

        QCOMPARE(repository.add(QStringLiteral("tool"), QStringLiteral("1.10"), { { "tool", "1.10" } }).code(), 0);
        QCOMPARE(findAndInstall(), QStringLiteral("1.10"));
        QCOMPARE(installedTree(), (QMap<QString, QByteArray> { { "tool", "1.10" } }));
        QCOMPARE(findAndInstall(), QStringLiteral("none"));
    }

    // The record is a plain file in a directory users write to: a file list
    // naming a path outside the directory must not make an update remove it.
    void recordNamingOutsideFilesIsNotObeyed()
    {
        const QString victim = m_temp->filePath(QStringLiteral("victim.txt"));
        QVERIFY(writeFile(victim, "keep me\n"));
        const QString recordPath = m_target + QStringLiteral("/Packages.xml");
        QByteArray record = readFile(recordPath);
        QVERIFY(record.contains("<file>readme.txt</file>"));
        record.replace("<file>readme.txt</file>", "<file>readme.txt</file><file>../victim.txt</file>");
        QVERIFY(writeFile(recordPath, record));

        const QString dir = source(QStringLiteral("v2"));
        QVERIFY(writeFile(dir + QStringLiteral("/tool"), "2.0\n"));
        const QString archive = archivePath(QStringLiteral(".tar.gz"));
        QVERIFY(pack(archive, dir, { QStringLiteral("-z") }));
        auto update = updateFor(archive, QStringLiteral("tool"), QStringLiteral("2.0"));
        const RunResult result = install(m_target, { update.get() });
        QVERIFY2(result.success, qPrintable(result.errors.join(QLatin1Char('\n'))));
        QVERIFY(!QFileInfo::exists(m_target + QStringLiteral("/readme.txt")));
        QCOMPARE(readFile(victim), QByteArray("keep me\n"));
    }

    void fileOrLinkBecomesDirectory_data()
    {
        QTest::addColumn<bool>("wasLink");
        QTest::newRow("a file of 1.0") << false;
        QTest::newRow("a link of 2.0") << true;
    }

    // The installed version has "readme.txt" as a file (or "docs" as a link to
    // "data"); the next one has a directory of that name.
    void fileOrLinkBecomesDirectory()
    {
        QFETCH(bool, wasLink);
        const QString name = wasLink ? QStringLiteral("docs") : QStringLiteral("readme.txt");
        if (wasLink) {
            const QString dir = source(QStringLiteral("v2"));
            QVERIFY(writeFile(dir + QStringLiteral("/tool"), "2.0\n"));
            QVERIFY(writeFile(dir + QStringLiteral("/data/old.txt"), "old\n"));
            QVERIFY(QFile::link(QStringLiteral("data"), dir + QStringLiteral("/docs")));
            installPacked(dir, QStringLiteral("2.0"));
            QVERIFY(QFileInfo(m_target + QLatin1Char('/') + name).isSymLink());
        }
        const QString dir = source(QStringLiteral("v3"));
        QVERIFY(writeFile(dir + QStringLiteral("/tool"), "3.0\n"));
        QVERIFY(writeFile(dir + QLatin1Char('/') + name + QStringLiteral("/a.txt"), "a\n"));
        installPacked(dir, QStringLiteral("3.0"));

        const QFileInfo directory(m_target + QLatin1Char('/') + name);
        QVERIFY(directory.isDir() && !directory.isSymLink());
        QCOMPARE(readFile(directory.filePath() + QStringLiteral("/a.txt")), QByteArray("a\n"));
        QVERIFY(!QFileInfo::exists(m_target + QStringLiteral("/data")));
    }

    void directoryBecomesFile_data()
    {
        QTest::addColumn<bool>("nested");
        QTest::newRow("data/old.txt of 1.0") << false;
        QTest::newRow("data/deep/x.txt of 2.0") << true;
    }

    // The installed version's files were in "data"; the next one has a file "data".
    void directoryBecomesFile()
    {
        QFETCH(bool, nested);
        if (nested) {
            const QString dir = source(QStringLiteral("v2"));
            QVERIFY(writeFile(dir + QStringLiteral("/data/deep/x.txt"), "x\n"));
            installPacked(dir, QStringLiteral("2.0"));
        }
        const QString dir = source(QStringLiteral("v3"));
        QVERIFY(writeFile(dir + QStringLiteral("/data"), "now a file\n"));

        // With a package that cannot go in (a directory stands where its file
        // belongs), the emptied directories come back.
        const QString plugin = source(QStringLiteral("plugin"));
        QVERIFY(writeFile(plugin + QStringLiteral("/plugin/blocked"), "b\n"));
        QVERIFY(writeFile(m_target + QStringLiteral("/plugin/blocked/keep.txt"), "user data\n"));
        const QString toolArchive = archivePath(QStringLiteral(".tar.gz"));
        const QString pluginArchive = archivePath(QStringLiteral(".tar.gz"));
        QVERIFY(pack(toolArchive, dir, { QStringLiteral("-z") }));
        QVERIFY(pack(pluginArchive, plugin, { QStringLiteral("-z") }));
        auto tool = updateFor(toolArchive, QStringLiteral("tool"), QStringLiteral("3.0"));
        auto blocked = updateFor(pluginArchive, QStringLiteral("plugin"), QStringLiteral("1.0"));
        expectUnchangedAfter(
            { tool.get(), blocked.get() }, "a directory of that name is in the way", int(Task::FileSystemError));

        installPacked(dir, QStringLiteral("3.0"));
        QCOMPARE(readFile(m_target + QStringLiteral("/data")), QByteArray("now a file\n"));
    }

    // 1.0 has "data/old.txt"; 2.0 ships "data" empty, a directory it wants.
    void directoryOfTheNewVersionStays()
    {
        const QString dir = source(QStringLiteral("v2"));
        QVERIFY(writeFile(dir + QStringLiteral("/tool"), "2.0\n"));
        QVERIFY(QDir(dir).mkdir(QStringLiteral("data")));
        installPacked(dir, QStringLiteral("2.0"));
        QVERIFY(!QFileInfo::exists(m_target + QStringLiteral("/data/old.txt")));
        QVERIFY(QFileInfo(m_target + QStringLiteral("/data")).isDir());
    }

    void hostileArchiveChangesNothing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expectedError");
        QTest::addColumn<int>("expectedCode");
        QTest::newRow("tampered archive") << "tampered"
                                          << "checksum mismatch for" << int(Task::IntegrityError);
        QTest::newRow("larger than declared") << "larger"
                                              << "more than the allowed" << int(Task::NetworkError);
        QTest::newRow("damaged archive") << "damaged"
                                         << "cannot unpack" << int(Task::FormatError);
        QTest::newRow("dot-dot entry") << "dotdot"
                                       << "climbs out of the target directory" << int(Task::FormatError);
        QTest::newRow("absolute path") << "absolute"
                                       << "is an absolute path" << int(Task::FormatError);
        QTest::newRow("link leaving the directory") << "link"
                                                    << "outside the target directory" << int(Task::FormatError);
        QTest::newRow("link climbing through a link") << "linkchain"
                                                      << "outside the target directory" << int(Task::FormatError);
        QTest::newRow("entry below a link") << "belowlink"
                                            << "lies below the link" << int(Task::FormatError);
        QTest::newRow("FIFO") << "fifo"
                              << "is a FIFO" << int(Task::FormatError);
        QTest::newRow("device node") << "device"
                                     << "is a device node" << int(Task::FormatError);
        QTest::newRow("the record's name") << "record"
                                           << "reserved" << int(Task::FormatError);
        QTest::newRow("a Windows device name") << "device name"
                                               << "names a device on Windows" << int(Task::FormatError);
        QTest::newRow("a device name Windows trims to") << "trimmed device"
                                                        << "names a device on Windows" << int(Task::FormatError);
        QTest::newRow("the record's name and a dot") << "trimmed record"
                                                     << "ends with a dot or a space" << int(Task::FormatError);
        // The system's own reason, not a file in the way.
        QTest::newRow("a path too deep for the system") << "too deep"
                                                        << "File name too long" << int(Task::FileSystemError);
        // The record cannot hold it, and would name "user.ini" for a later update to remove.
        QTest::newRow("a control character") << "control"
                                             << "control character" << int(Task::FormatError);
    }

    void hostileArchiveChangesNothing()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expectedError);
        QFETCH(int, expectedCode);

        const QString dir = source(kind);
        QVERIFY(writeFile(dir + QStringLiteral("/tool"), "evil\n"));
        QVERIFY(writeFile(dir + QStringLiteral("/readme.txt"), "2.0\n"));
        QStringList extra { QStringLiteral("-z") };
        if (kind == QLatin1String("dotdot"))
            extra << "-P"
                  << "-s"
                  << ",^\\./readme.txt,../../escaped.txt,";
        if (kind == QLatin1String("absolute"))
            extra << "-P"
                  << "-s" << (",^\\./readme.txt," + m_temp->filePath(QStringLiteral("escaped.txt")) + ",");
        if (kind == QLatin1String("too deep"))
            extra << "-s" << (",^\\./readme.txt," + QStringLiteral("d/").repeated(2100) + "readme.txt,");
        if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(QStringLiteral("../../outside"), dir + QStringLiteral("/up")));
        if (kind == QLatin1String("linkchain")) {
            QDir(dir).mkdir(QStringLiteral("x"));
            QVERIFY(QFile::link(QStringLiteral("x/.."), dir + QStringLiteral("/a")));
            QVERIFY(QFile::link(QStringLiteral("a/.."), dir + QStringLiteral("/b")));
        }
        if (kind == QLatin1String("belowlink")) {
            QVERIFY(QFile::link(QStringLiteral("sub"), dir + QStringLiteral("/l")));
            QVERIFY(writeFile(dir + QStringLiteral("/m/f"), "through the link\n"));
            extra << "-s"
                  << ",^\\./m/f,l/f,";
        }
        if (kind == QLatin1String("fifo"))
            QVERIFY(runTool(QStringLiteral("mkfifo"), { dir + QStringLiteral("/pipe") }));
        if (kind == QLatin1String("device")
            && !runTool(QStringLiteral("mknod"), { dir + QStringLiteral("/null"), "c", "1", "3" }))
            QSKIP("cannot make a device node here");
        if (kind == QLatin1String("record"))
            QVERIFY(writeFile(dir + QStringLiteral("/Packages.xml"), "<packageRecord/>"));
        if (kind == QLatin1String("device name"))
            QVERIFY(writeFile(dir + QStringLiteral("/lib/Com1.dll"), "not a port\n"));
        if (kind == QLatin1String("trimmed device"))
            QVERIFY(writeFile(dir + QStringLiteral("/lib/nul .txt"), "not the null device\n"));
        if (kind == QLatin1String("trimmed record"))
            QVERIFY(writeFile(dir + QStringLiteral("/Packages.xml."), "<packageRecord/>"));
        if (kind == QLatin1String("control"))
            QVERIFY(writeFile(dir + QStringLiteral("/user\x01.ini"), "theirs\n"));

        const QString archive = archivePath(QStringLiteral(".tar.gz"));
        QVERIFY(pack(archive, dir, extra));
        if (kind == QLatin1String("damaged")) {
            QByteArray bytes = readFile(archive);
            bytes.truncate(bytes.size() / 2);
            QVERIFY(writeFile(archive, bytes + QByteArray(64, 'x')));
        }
        auto update = updateFor(archive, QStringLiteral("tool"), QStringLiteral("2.0"));
        if (kind == QLatin1String("tampered")) {
            QByteArray bytes = readFile(archive);
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 1);
            QVERIFY(writeFile(archive, bytes));
        }
        if (kind == QLatin1String("larger"))
            update->archiveSize -= 100;

        expectUnchangedAfter({ update.get() }, expectedError, expectedCode);
        QVERIFY(!QFileInfo::exists(m_temp->filePath(QStringLiteral("escaped.txt"))));
    }

    void hostileDeltaChangesNothing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expectedError");
        QTest::newRow("dot-dot path") << "dotdot"
                                      << "climbs out of the target directory";
        QTest::newRow("absolute path") << "absolute"
                                       << "is an absolute path";
        QTest::newRow("link leaving the directory") << "link"
                                                    << "outside the target directory";
        QTest::newRow("link climbing through a link") << "linkchain"
                                                      << "outside the target directory";
        QTest::newRow("file below a link") << "belowlink"
                                           << "lies below the link";
        QTest::newRow("names only case tells apart") << "case"
                                                     << "differs only in case";
        QTest::newRow("a Windows device name") << "device name"
                                               << "names a device on Windows";
        QTest::newRow("the record's name") << "record"
                                           << "reserved";
        QTest::newRow("whole payload beyond its size") << "whole bomb"
                                                       << "more than the 1000 bytes its manifest states";
        QTest::newRow("patch beyond its size") << "patch bomb"
                                               << "more than the 10 bytes its manifest states";
        QTest::newRow("sizes beyond the index's") << "too large"
                                                  << "would take more than";
        QTest::newRow("a window beyond the stated sizes") << "window"
                                                          << "Frame requires too much memory";
        QTest::newRow("other content than stated") << "content"
                                                   << "rebuilds to other content";
        QTest::newRow("reference the package does not have") << "foreign reference"
                                                             << "is no file of the installed package";
        QTest::newRow("reference outside the directory") << "outside reference"
                                                         << "climbs out of the target directory";
        QTest::newRow("reference spelled another way") << "spelling"
                                                       << "not written as a clean relative path";
        QTest::newRow("installed file changed since") << "changed"
                                                      << "differs from the one the delta was made from";
        QTest::newRow("reused file stated as other content") << "reused as other"
                                                             << "takes \"data/old.txt\" as it is";
    }

    // Each delta also offers an archive that cannot be had, so nothing but
    // the refused delta could have changed the target.
    void hostileDeltaChangesNothing()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expectedError);
        const QByteArray tool = readFile(m_target + QStringLiteral("/tool"));
        HandMadeDelta delta;
        delta.add(QStringLiteral("data"), Type::Directory);
        delta.addFile(QStringLiteral("tool"), tool, {}, -1, QStringLiteral("tool"), tool);
        delta.addFile(QStringLiteral("data/kept.txt"), "old\n", {}, -1, QStringLiteral("data/old.txt"), "old\n");
        delta.addFile(QStringLiteral("readme.txt"), "2.0\n", zstdFrame("2.0\n", "1.0\n"), -1,
            QStringLiteral("readme.txt"), "1.0\n");
        quint64 unpacked = quint64(tool.size()) + 8 + 4 * 1024 * 1024;
        const QByteArray zeros(4 * 1024 * 1024, '\0');
        if (kind == QLatin1String("dotdot"))
            delta.addFile(QStringLiteral("../escaped.txt"), "x", zstdFrame("x"));
        if (kind == QLatin1String("absolute"))
            delta.addFile(m_temp->filePath(QStringLiteral("escaped.txt")), "x", zstdFrame("x"));
        if (kind == QLatin1String("link"))
            delta.add(QStringLiteral("up"), Type::Link, QStringLiteral("../../outside"));
        if (kind == QLatin1String("linkchain")) {
            delta.add(QStringLiteral("x"), Type::Directory);
            delta.add(QStringLiteral("a"), Type::Link, QStringLiteral("x/.."));
            delta.add(QStringLiteral("b"), Type::Link, QStringLiteral("a/.."));
        }
        if (kind == QLatin1String("belowlink")) {
            delta.add(QStringLiteral("l"), Type::Link, QStringLiteral("data"));
            delta.addFile(QStringLiteral("l/f"), "x", zstdFrame("x"));
        }
        if (kind == QLatin1String("case"))
            delta.addFile(QStringLiteral("README.TXT"), "x", zstdFrame("x"));
        if (kind == QLatin1String("device name"))
            delta.addFile(QStringLiteral("lib/Com1.dll"), "x", zstdFrame("x"));
        if (kind == QLatin1String("record"))
            delta.addFile(QStringLiteral("Packages.xml"), "x", zstdFrame("x"));
        if (kind == QLatin1String("whole bomb"))
            delta.addFile(QStringLiteral("zeros.bin"), zeros, zstdFrame(zeros, {}, 10), 1000);
        if (kind == QLatin1String("patch bomb"))
            delta.addFile(QStringLiteral("readme2.txt"), zeros, zstdFrame(zeros, "1.0\n", 10), 10,
                QStringLiteral("readme.txt"), "1.0\n");
        if (kind == QLatin1String("too large")) {
            delta.addFile(QStringLiteral("zeros.bin"), zeros, zstdFrame(zeros));
            unpacked = 1000;
        }
        if (kind == QLatin1String("window"))
            delta.addFile(QStringLiteral("small.txt"), "small", zstdFrame("small", {}, 27, true));
        if (kind == QLatin1String("content"))
            delta.addFile(QStringLiteral("small.txt"), "small", zstdFrame("other"));
        if (kind == QLatin1String("foreign reference"))
            delta.addFile(QStringLiteral("copy.ini"), "mine\n", {}, -1, QStringLiteral("user.ini"), "mine\n");
        if (kind == QLatin1String("outside reference"))
            delta.addFile(
                QStringLiteral("victim.txt"), "keep me\n", {}, -1, QStringLiteral("../victim.txt"), "keep me\n");
        if (kind == QLatin1String("spelling")) {
            QVERIFY(writeFile(m_target + QStringLiteral("/data\\old.txt"), "a decoy, not the package's\n"));
            delta.addFile(QStringLiteral("decoy.txt"), "old\n", {}, -1, QStringLiteral("data\\old.txt"), "old\n");
        }
        if (kind == QLatin1String("changed"))
            QVERIFY(writeFile(m_target + QStringLiteral("/data/old.txt"), "OLD\n"));
        if (kind == QLatin1String("reused as other"))
            delta.addFile(QStringLiteral("data/new.txt"), "NEW\n", {}, -1, QStringLiteral("data/old.txt"), "old\n");
        QVERIFY(writeFile(m_temp->filePath(QStringLiteral("victim.txt")), "keep me\n"));

        auto update = delta.updateTo(archivePath(QStringLiteral(".delta")), QStringLiteral("2.0"), unpacked);
        update->archiveUrl = QUrl::fromLocalFile(m_temp->filePath(QStringLiteral("no such archive.tar.gz")));
        update->archiveSize = 100;
        const QMap<QString, QByteArray> before = treeOf(m_target);
        const RunResult result = install(m_target, { update.get() });
        QVERIFY(!result.success);
        QVERIFY2(result.errors.value(0).contains(QLatin1String("through its delta"))
                && result.errors.value(0).contains(expectedError),
            qPrintable(result.errors.join(QLatin1Char('\n'))));
        QCOMPARE(treeOf(m_target), before);
        QVERIFY(!QFileInfo::exists(m_temp->filePath(QStringLiteral("escaped.txt"))));
    }

    void packageLinkIsNeverGoneThrough_data()
    {
        QTest::addColumn<bool>("keepsLink");
        QTest::addColumn<bool>("onePackage");
        QTest::addColumn<QString>("expectedError");
        QTest::addColumn<int>("expectedCode");
        QTest::newRow("LNK and lnk/ in one archive")
            << false << true << "differs only in case from" << int(Task::FormatError);
        QTest::newRow("3.0 keeps the link, another package goes through it")
            << true << false << "which a package installed" << int(Task::FileSystemError);
        // The link is removed first, as "LNK" would replace it where case is ignored.
        QTest::newRow("3.0 has LNK, another package goes through lnk") << false << false << QString() << 0;
    }

    // 2.0 has the link "lnk -> ."; then "lnk/q -> .." and "q/evil.txt", each
    // harmless in its archive, would put evil.txt beside the target directory
    // if the install went through the link 2.0 left.
    void packageLinkIsNeverGoneThrough()
    {
        QFETCH(bool, keepsLink);
        QFETCH(bool, onePackage);
        QFETCH(QString, expectedError);
        QFETCH(int, expectedCode);
        const QString outside = m_temp->filePath(QStringLiteral("evil.txt"));
        QVERIFY(writeFile(outside, "the user's own\n"));
        const QString v2 = source(QStringLiteral("v2"));
        QVERIFY(writeFile(v2 + QStringLiteral("/tool"), "2.0\n"));
        QVERIFY(QFile::link(QStringLiteral("."), v2 + QStringLiteral("/lnk")));
        installPacked(v2, QStringLiteral("2.0"));

        const QString v3 = source(QStringLiteral("v3"));
        const QString kept = keepsLink ? QStringLiteral("lnk") : QStringLiteral("LNK");
        if (keepsLink)
            QVERIFY(QFile::link(QStringLiteral("."), v3 + QStringLiteral("/lnk")));
        else
            QVERIFY(writeFile(v3 + QStringLiteral("/LNK"), "a file\n"));
        const QString through = onePackage ? v3 : source(QStringLiteral("plugin"));
        QVERIFY(QDir().mkpath(through + QStringLiteral("/lnk")));
        QVERIFY(QFile::link(QStringLiteral(".."), through + QStringLiteral("/lnk/q")));
        QVERIFY(writeFile(through + QStringLiteral("/q/evil.txt"), "written through the links\n"));

        // The link goes in before the file that is to go through it.
        const QStringList throughMembers { QStringLiteral("lnk"), QStringLiteral("q") };
        const QString toolArchive = archivePath(QStringLiteral(".tar.gz"));
        QVERIFY(pack(toolArchive, v3, { QStringLiteral("-z") },
            QStringList { kept } + (onePackage ? throughMembers : QStringList())));
        std::vector<std::unique_ptr<Update>> updates;
        updates.push_back(updateFor(toolArchive, QStringLiteral("tool"), QStringLiteral("3.0")));
        if (!onePackage) {
            const QString pluginArchive = archivePath(QStringLiteral(".tar.gz"));
            QVERIFY(pack(pluginArchive, through, { QStringLiteral("-z") }, throughMembers));
            updates.push_back(updateFor(pluginArchive, QStringLiteral("plugin"), QStringLiteral("1.0")));
        }
        QList<Update*> toInstall;
        for (const auto& update : updates)
            toInstall.append(update.get());
        if (expectedError.isEmpty()) {
            const RunResult result = install(m_target, toInstall);
            QVERIFY2(result.success, qPrintable(result.errors.join(QLatin1Char('\n'))));
            QVERIFY(!QFileInfo(m_target + QStringLiteral("/lnk")).isSymLink());
        } else {
            expectUnchangedAfter(toInstall, expectedError, expectedCode);
        }
        QCOMPARE(readFile(outside), QByteArray("the user's own\n"));
    }

    // The user moved "data" elsewhere and left a link: a link no package
    // installed is the user's directory, and the update goes there.
    void directoryTheUserMovedIsFollowed()
    {
        const QString moved = m_temp->filePath(QStringLiteral("moved"));
        QDir(moved).removeRecursively();
        QVERIFY(QDir().rename(m_target + QStringLiteral("/data"), moved));
        QVERIFY(QFile::link(moved, m_target + QStringLiteral("/data")));
        const QString dir = source(QStringLiteral("v2"));
        QVERIFY(writeFile(dir + QStringLiteral("/tool"), "2.0\n"));
        QVERIFY(writeFile(dir + QStringLiteral("/data/new.txt"), "new\n"));
        installPacked(dir, QStringLiteral("2.0"));
        QCOMPARE(readFile(moved + QStringLiteral("/new.txt")), QByteArray("new\n"));
        QVERIFY(!QFileInfo::exists(moved + QStringLiteral("/old.txt")));
        QVERIFY(QFileInfo(m_target + QStringLiteral("/data")).isSymLink());
    }

    // The second package cannot go in (a directory stands where its file
    // belongs; root ignores permissions, but not that), so the first, swapped
    // in already, is taken out again.
    void failureInLaterPackageUndoesEarlierOnes()
    {
        const QString first = source(QStringLiteral("first"));
        QVERIFY(writeFile(first + QStringLiteral("/tool"), "#!/bin/sh\necho 2.0\n"));
        QVERIFY(writeFile(first + QStringLiteral("/more/added.txt"), "added\n"));
        const QString second = source(QStringLiteral("second"));
        QVERIFY(writeFile(second + QStringLiteral("/plugin/a.txt"), "a\n"));
        QVERIFY(writeFile(second + QStringLiteral("/plugin/blocked"), "b\n"));
        QVERIFY(writeFile(m_target + QStringLiteral("/plugin/blocked/keep.txt"), "user data\n"));

        const QString firstArchive = archivePath(QStringLiteral(".tar.gz"));
        const QString secondArchive = archivePath(QStringLiteral(".tar.gz"));
        QVERIFY(pack(firstArchive, first, { QStringLiteral("-z") }));
        QVERIFY(pack(secondArchive, second, { QStringLiteral("-z") }));
        auto tool = updateFor(firstArchive, QStringLiteral("tool"), QStringLiteral("2.0"));
        auto plugin = updateFor(secondArchive, QStringLiteral("plugin"), QStringLiteral("1.0"));
        expectUnchangedAfter(
            { tool.get(), plugin.get() }, "a directory of that name is in the way", int(Task::FileSystemError));
    }

    void fullDiskChangesNothing_data()
    {
        QTest::addColumn<bool>("compressible");
        QTest::newRow("full while downloading") << false;
        QTest::newRow("full while unpacking") << true;
    }

    // A real small file system that the archive, or what it unpacks to, overfills.
    void fullDiskChangesNothing()
    {
        QFETCH(bool, compressible);
        const QString small = m_temp->filePath(QStringLiteral("small"));
        QDir().mkpath(small);
        if (!runTool(QStringLiteral("mount"), { "-t", "tmpfs", "-o", "size=2m", "tmpfs", small }))
            QSKIP("cannot mount a small file system here (needs root)");
        const auto unmount = qScopeGuard([&] { runTool(QStringLiteral("umount"), { small }); });
        m_target = small + QStringLiteral("/tool");
        QDir().mkpath(m_target);
        installFirstVersion();

        const QString dir = source(QStringLiteral("big"));
        QVERIFY(writeFile(dir + QStringLiteral("/tool"), "#!/bin/sh\necho 4.0\n"));
        QByteArray content(3 << 20, '\0');
        if (!compressible)
            QRandomGenerator(11).fillRange(reinterpret_cast<quint32*>(content.data()), content.size() / 4);
        QVERIFY(writeFile(dir + QStringLiteral("/content.bin"), content));
        const QString archive = archivePath(QStringLiteral(".tar.gz"));
        QVERIFY(pack(archive, dir, { QStringLiteral("-z") }));
        auto update = updateFor(archive, QStringLiteral("tool"), QStringLiteral("4.0"));
        expectUnchangedAfter({ update.get() }, "No space left on device", int(Task::FileSystemError));
    }

    void unpackingStopsAtTheAllowedSize_data()
    {
        QTest::addColumn<int>("zeros");
        QTest::addColumn<int>("sparse");
        QTest::addColumn<int>("hardLinks");
        QTest::addColumn<qint64>("stated");
        QTest::addColumn<QString>("expectedError");
        const qint64 unstated = -1;
        const int mib = 1 << 20;
        QTest::newRow("zeros beyond the stated size")
            << 8 * mib << 0 << 0 << qint64(mib) << "unpacks to more than the 1048576 bytes its index states";
        QTest::newRow("a sparse file beyond the cap") << 0 << 256 * mib << 0 << unstated << "the most allowed";
        QTest::newRow("hard links to a sparse file") << 0 << 4 * mib << 400 << unstated << "the most allowed";
    }

    // Small archives that unpack to far more than they are: the install stops
    // at the size the index states, or at the cap when it states none, before
    // the disk fills.
    void unpackingStopsAtTheAllowedSize()
    {
        QFETCH(int, zeros);
        QFETCH(int, sparse);
        QFETCH(int, hardLinks);
        QFETCH(qint64, stated);
        QFETCH(QString, expectedError);
        const int mib = 1 << 20;
        const QString dir = source(QStringLiteral("bomb"));
        QVERIFY(writeFile(dir + QStringLiteral("/tool"), "#!/bin/sh\necho 5.0\n"));
        if (zeros > 0)
            QVERIFY(writeFile(dir + QStringLiteral("/zeros.bin"), QByteArray(zeros, '\0')));
        if (sparse > 0) {
            QFile file(dir + QStringLiteral("/sparse.bin"));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(sparse));
        }
        const std::filesystem::path linked(QFile::encodeName(dir + QStringLiteral("/sparse.bin")).toStdString());
        for (int i = 0; i < hardLinks; ++i)
            std::filesystem::create_hard_link(linked, linked.parent_path() / ("link" + std::to_string(i)));
        const QString archive = archivePath(QStringLiteral(".tar.gz"));
        QVERIFY(pack(archive, dir, { QStringLiteral("-z"), QStringLiteral("--format"), QStringLiteral("pax") }));
        QVERIFY(QFileInfo(archive).size() < mib);
        auto update = updateFor(archive, QStringLiteral("tool"), QStringLiteral("5.0"));
        update->unpackedSize = stated;
        expectUnchangedAfter({ update.get() }, expectedError, int(Task::IntegrityError),
            [mib](UpdateInstaller& installer) { installer.setUnpackedSizeCap(64 * mib); });
    }

    void stopRestoresEverything_data()
    {
        QTest::addColumn<QString>("when");
        QTest::newRow("while downloading") << "Downloading";
        QTest::newRow("while unpacking") << "Unpacking";
        QTest::newRow("while swapping files in") << "Installing";
    }

    void stopRestoresEverything()
    {
        QFETCH(QString, when);
        const QString dir = source(QStringLiteral("many"));
        for (int i = 0; i < 300; ++i)
            QVERIFY(writeFile(dir + QStringLiteral("/files/f%1.txt").arg(i), QByteArray(20000, char('a' + i % 26))));
        QByteArray noise(200000, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        QVERIFY(writeFile(dir + QStringLiteral("/noise.bin"), noise));
        const QString archive = archivePath(QStringLiteral(".tar.gz"));
        QVERIFY(pack(archive, dir, { QStringLiteral("-z") }));
        auto update = updateFor(archive, QStringLiteral("tool"), QStringLiteral("3.0"));

        // A slow server (4 s for this archive) keeps the download going long enough to be stopped.
        Vondra::Testing::NginxServer nginx(m_temp->path(), QStringLiteral("limit_rate 50k;"));
        if (when == QLatin1String("Downloading")) {
            if (!Vondra::Testing::NginxServer::isAvailable())
                QSKIP("nginx is not installed");
            QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
            update->archiveUrl = nginx.baseUrl().resolved(QUrl(QFileInfo(archive).fileName()));
        }

        const QMap<QString, QByteArray> before = treeOf(m_target);
        bool stopped = false;
        const RunResult result = install(m_target, { update.get() }, [&](UpdateInstaller& installer) {
            auto stopOnce = [&] {
                if (!stopped) {
                    stopped = true;
                    installer.stop();
                }
            };
            if (when == QLatin1String("Installing")) {
                // Well into the swap: several files are in, more are to come.
                QObject::connect(&installer, &Task::progressValue, [stopOnce](int value) {
                    if (value >= 95 && value < 100)
                        stopOnce();
                });
                return;
            }
            QObject::connect(&installer, &Task::progressText, &installer, [&, stopOnce](const QString& text) {
                if (text.startsWith(when))
                    QTimer::singleShot(0, &installer, stopOnce);
            });
        });
        QVERIFY(stopped);
        QVERIFY(!result.success);
        QCOMPARE(result.codes.value(0), int(Task::CancelledError));
        // Stopped where it was asked to, not after the fact.
        if (when != QLatin1String("Installing"))
            QVERIFY2(!result.texts.join(QLatin1Char('|')).contains(QLatin1String("Installing")),
                qPrintable(result.texts.join(QLatin1Char('|'))));
        QCOMPARE(treeOf(m_target), before);
    }

    void serverThatStallsFailsTheInstall()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        qputenv("TAVUPDATER_STALL_TIMEOUT_MS", "500");
        auto update = std::make_unique<Update>();
        update->packageName = QStringLiteral("tool");
        update->version = QStringLiteral("2.0");
        update->archiveSize = 1000;
        update->sha256 = QByteArray(32, '\0');
        update->archiveUrl = QUrl(QStringLiteral("http://127.0.0.1:%1/tool.tar.gz").arg(silent.serverPort()));
        expectUnchangedAfter({ update.get() }, "no data arrived", int(Task::NetworkError));
        qunsetenv("TAVUPDATER_STALL_TIMEOUT_MS");
    }

    // A process killed half-way through the swap leaves half-installed files
    // behind; the next install into the directory puts the old state back.
    void killedInstallIsUndoneByTheNextRun()
    {
        const QString dir = source(QStringLiteral("killed"));
        for (int i = 0; i < 300; ++i)
            QVERIFY(writeFile(dir + QStringLiteral("/files/f%1.txt").arg(i), QByteArray::number(i)));
        QVERIFY(writeFile(dir + QStringLiteral("/readme.txt"), "5.0\n"));
        const QString archive = archivePath(QStringLiteral(".tar.gz"));
        QVERIFY(pack(archive, dir, { QStringLiteral("-z") }));

        const QMap<QString, QByteArray> before = treeOf(m_target);
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TAVLO_INSTALLER_CHILD_TARGET"), m_target);
        environment.insert(QStringLiteral("TAVLO_INSTALLER_CHILD_ARCHIVE"), archive);
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
            { QStringLiteral("TestInstaller"), QStringLiteral("interruptedInstallChild") });
        QVERIFY(child.waitForFinished(60000));
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 3, child.readAll().constData());
        QVERIFY(treeOf(m_target) != before);

        const RunResult result = install(m_target, {});
        QVERIFY2(result.success, qPrintable(result.errors.join(QLatin1Char('\n'))));
        QCOMPARE(treeOf(m_target), before);
    }

    void interruptedInstallChild()
    {
        if (!isKilledChild())
            QSKIP("runs only as the process that killedInstallIsUndoneByTheNextRun ends");
        auto update = updateFor(
            qEnvironmentVariable("TAVLO_INSTALLER_CHILD_ARCHIVE"), QStringLiteral("tool"), QStringLiteral("5.0"));
        install(qEnvironmentVariable("TAVLO_INSTALLER_CHILD_TARGET"), { update.get() }, [](UpdateInstaller& installer) {
            // Dies mid-swap without running a destructor, as a killed process would.
            QObject::connect(&installer, &Task::progressValue, [](int value) {
                if (value >= 95 && value < 100)
                    std::_Exit(3);
            });
        });
        QFAIL("the install ran to its end");
    }

    // What a killed install leaves behind: the journal says a file was
    // replaced and another added; the next run puts the old state back.
    // Every kind of journal line, as earlier versions wrote them too.
    void nextRunUndoesAnInterruptedInstall()
    {
        QVERIFY(QDir(m_target).mkdir(QStringLiteral("emptied")));
        const QMap<QString, QByteArray> before = treeOf(m_target);
        const QString work = m_target + QStringLiteral("/.tavupdater-dead");
        QDir().mkpath(work + QStringLiteral("/backup"));
        QVERIFY(QFile::rename(m_target + QStringLiteral("/readme.txt"), work + QStringLiteral("/backup/0")));
        QVERIFY(writeFile(m_target + QStringLiteral("/readme.txt"), "half-installed\n"));
        QVERIFY(writeFile(m_target + QStringLiteral("/new dir/added.txt"), "added\n"));
        QVERIFY(QFile::rename(m_target + QStringLiteral("/tool"), work + QStringLiteral("/backup/1")));
        QVERIFY(QDir(m_target).rmdir(QStringLiteral("emptied")));
        QVERIFY(QFile::copy(m_target + QStringLiteral("/Packages.xml"), work + QStringLiteral("/record.old")));
        QVERIFY(writeFile(m_target + QStringLiteral("/Packages.xml"), "<broken"));
        QVERIFY(writeFile(work + QStringLiteral("/journal"),
            "replace 0 readme.txt\nmkdir -1 new%20dir\nadd -1 new%20dir%2Fadded.txt\nremove 1 tool\n"
            "rmdir -1 emptied\n"));
        const RunResult result = install(m_target, {});
        QVERIFY2(result.success, qPrintable(result.errors.join(QLatin1Char('\n'))));
        QCOMPARE(treeOf(m_target), before);
    }

    // Like the record, a leftover work directory is something anyone who can
    // write the target directory can plant: its journal may name paths outside,
    // and it may be a link to a directory elsewhere.
    void plantedLeftoversDoNotReachOutside()
    {
        const QString victim = m_temp->filePath(QStringLiteral("victim.txt"));
        QVERIFY(writeFile(victim, "keep me\n"));
        const QString elsewhere = m_temp->filePath(QStringLiteral("elsewhere"));
        QVERIFY(writeFile(elsewhere + QStringLiteral("/precious.txt"), "keep me too\n"));
        QVERIFY(QFile::link(elsewhere, m_target + QStringLiteral("/.tavupdater-link")));
        const QString work = m_target + QStringLiteral("/.tavupdater-planted");
        QVERIFY(writeFile(work + QStringLiteral("/backup/0"), "planted\n"));
        QVERIFY(writeFile(work + QStringLiteral("/journal"), "remove 0 ..%2Fplanted.txt\nadd -1 ..%2Fvictim.txt\n"));

        install(m_target, {});
        QCOMPARE(readFile(victim), QByteArray("keep me\n"));
        QVERIFY(!QFileInfo::exists(m_temp->filePath(QStringLiteral("planted.txt"))));
        QCOMPARE(readFile(elsewhere + QStringLiteral("/precious.txt")), QByteArray("keep me too\n"));
    }

    // A live install holds the directory: a second one waits for it and
    // gives up only when the wait is over.
    void secondInstallWaitsForTheFirst()
    {
        auto otherRun = std::make_unique<QLockFile>(m_target + QStringLiteral("/.tavupdater.lock"));
        QVERIFY(otherRun->tryLock(0));
        const RunResult refused
            = install(m_target, {}, [](UpdateInstaller& installer) { installer.setLockWaitTimeout(300); });
        QVERIFY2(
            refused.errors.value(0).contains(QLatin1String("another install")), qPrintable(refused.errors.value(0)));

        QTimer::singleShot(300, [&otherRun] { otherRun.reset(); });
        const RunResult waited
            = install(m_target, {}, [](UpdateInstaller& installer) { installer.setLockWaitTimeout(60000); });
        QVERIFY2(waited.success, qPrintable(waited.errors.join(QLatin1Char('\n'))));
        QVERIFY(!otherRun);
    }

    // Root ignores permissions, not a read-only file system.
    void unwritableDirectoryIsNotTakenForABusyOne()
    {
        const QString readOnly = m_temp->filePath(QStringLiteral("readonly"));
        QDir().mkpath(readOnly);
        if (!runTool(QStringLiteral("mount"), { "-t", "tmpfs", "-o", "ro,size=1m", "tmpfs", readOnly }))
            QSKIP("cannot mount a read-only file system here (needs root)");
        const auto unmount = qScopeGuard([&] { runTool(QStringLiteral("umount"), { readOnly }); });
        const RunResult result = install(readOnly, {});
        QVERIFY(!result.success);
        QCOMPARE(result.codes.value(0), int(Task::FileSystemError));
        QVERIFY2(result.errors.value(0).contains(QLatin1String("cannot write")), qPrintable(result.errors.value(0)));
    }
};

TAVLO_TEST(TestInstaller)

#include "tst_installer.moc"
