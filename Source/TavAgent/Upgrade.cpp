#include "Upgrade.h"

#include "GuiThread.h"
#include "ProgramFile.h"
#include "UpdaterProcesses.h"

#include <Updater/PackagesInfo.h>
#include <Updater/Version.h>

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace Vondra {

namespace {

const QString packageRecordFileName = QStringLiteral("Packages.xml");
const QString handOverPattern = QStringLiteral("handover-");

// Update work on one directory, one request at a time. Whoever waited while
// another request did the work takes that result instead of repeating it: two
// installs into one directory at once would fight over its files and record.
class DirectoryTurns
{
public:
    // Runs work for dir unless another caller finished work for dir while this
    // one waited; returns whether it ran.
    static bool take(const QString& dir, const std::function<void()>& work)
    {
        const std::shared_ptr<Turn> turn = enter(dir);
        const quint64 seen = turn->finished.load();
        bool ran = false;
        {
            QMutexLocker locker(&turn->mutex);
            if (turn->finished.load() == seen) {
                work();
                ++turn->finished;
                ran = true;
            }
        }
        leave(dir);
        return ran;
    }

    // Runs work for dir when no other caller works on dir, whatever ran before.
    static void hold(const QString& dir, const std::function<void()>& work)
    {
        const std::shared_ptr<Turn> turn = enter(dir);
        {
            QMutexLocker locker(&turn->mutex);
            work();
        }
        leave(dir);
    }

private:
    struct Turn
    {
        QMutex mutex;
        std::atomic<quint64> finished { 0 };
        int users = 0;
    };

    static std::shared_ptr<Turn> enter(const QString& dir)
    {
        QMutexLocker locker(&registryMutex);
        std::shared_ptr<Turn>& turn = registry[dir];
        if (!turn)
            turn = std::make_shared<Turn>();
        ++turn->users;
        return turn;
    }

    // Directories named by web pages come and go; their entries go with them.
    static void leave(const QString& dir)
    {
        QMutexLocker locker(&registryMutex);
        const auto found = registry.find(dir);
        if (found != registry.end() && --found.value()->users == 0)
            registry.erase(found);
    }

    static inline QMutex registryMutex;
    static inline QHash<QString, std::shared_ptr<Turn>> registry;
};

// Set by the first hand-over of the process; the agent ends after it.
std::atomic<bool> handOverClaimed { false };

QFileInfoList listEntries(const QString& path, QDir::Filters extra = QDir::Filters())
{
    return QDir(path).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot | extra, QDir::NoSort);
}

// A tool directory without its program has lost the tool: forgetting the
// record makes TavUpdate register the tool again and install it in full.
void forgetToolWithoutProgram(const QString& toolDir, const QString& exeName)
{
    QDir dir(toolDir);
    const QString program = ProgramFile::resolve(dir, ProgramFile::executableName(exeName));
    if (!QFileInfo(program).isFile() && dir.exists(packageRecordFileName))
        dir.remove(packageRecordFileName);
}

// What TavUpdate leaves in the directory of a tool it did not find: nothing,
// or a record that holds nothing but the placeholder it registered.
bool holdsOnlyPlaceholder(const QString& toolDir)
{
    const QFileInfoList entries = listEntries(toolDir, QDir::Hidden | QDir::System);
    if (entries.isEmpty())
        return true;
    const QFileInfo& only = entries.constFirst();
    if (entries.size() != 1 || only.fileName() != packageRecordFileName || only.isSymLink() || !only.isFile())
        return false;
    Updater::PackagesInfo record;
    record.setDirectory(toolDir);
    const QList<Updater::PackageInfo> packages = record.packageInfos();
    return record.errorString().isEmpty() && !packages.isEmpty()
        && std::all_of(packages.cbegin(), packages.cend(),
            [](const Updater::PackageInfo& package) { return package.version() == Updater::Version::placeholder(); });
}

// Copies of earlier hand-overs; their TavUpdate has finished long since (or,
// where a running program cannot be deleted, keeps its files until next time).
void removeEarlierCopies(const QString& root)
{
    const QStringList copies = QDir(root).entryList({ handOverPattern + QLatin1Char('*') }, QDir::Dirs | QDir::Hidden);
    for (const QString& copy : copies)
        removeDir(QDir(root).filePath(copy));
}

// The agent's directory copied into a fresh directory that only this user can
// write (a shared temporary directory would let another user plant the
// updater that is about to run); empty when that fails.
QString makePrivateCopy()
{
    const QString root = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (root.isEmpty() || !QDir().mkpath(root)) {
        qDebug() << "no private directory for the agent's copy:" << root;
        return QString();
    }
    removeEarlierCopies(root);
    QTemporaryDir privateDir(QDir(root).filePath(handOverPattern + QStringLiteral("XXXXXX")));
    if (!privateDir.isValid()) {
        qDebug() << "cannot create a private directory in" << root << privateDir.errorString();
        return QString();
    }
    const QString copy = QDir(privateDir.path()).filePath(QCoreApplication::applicationName());
    if (!backup(QCoreApplication::applicationDirPath(), copy)) {
        qDebug() << "cannot copy the agent's directory to" << copy;
        return QString();
    }
    privateDir.setAutoRemove(false);
    return copy;
}

// The agent's last act: the parts that hold what the restarted agent needs let
// go of it, then TavUpdate starts and the event loop ends. Runs on the GUI
// thread. A failed start still ends the agent, since those parts are gone.
bool startUpdaterAndQuit(
    const QString& program, const QStringList& arguments, const std::function<void()>& beforeHandOver)
{
    if (beforeHandOver)
        beforeHandOver();
    const bool started = QProcess::startDetached(program, arguments);
    qDebug() << "hand over to" << program << arguments << (started ? "started" : "not started");
    QCoreApplication::exit(0);
    return started;
}

} // namespace

bool backup(const QString& src, const QString& dst)
{
    removeDir(dst);
    const QFileInfo target(dst);
    if (!QDir(target.path()).mkdir(target.fileName()))
        return false;
    for (const QFileInfo& entry : listEntries(src)) {
        const QString source = src + QLatin1Char('/') + entry.fileName();
        const QString destination = dst + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (!backup(source, destination))
                return false;
        } else if (entry.isFile()) {
            if (!QFile::copy(source, destination))
                return false;
        } else {
            qDebug() << "Unhandled item" << entry.filePath() << "in cpDir";
        }
    }
    return true;
}

bool removeDir(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return QFile::remove(path);
    if (!info.exists())
        return true;
    QDir dir(path);
    // Hidden and system entries too (a tree is not gone while they remain);
    // a link is removed itself, so removing a tree never reaches beyond it.
    for (const QFileInfo& entry : listEntries(path, QDir::Hidden | QDir::System)) {
        const bool removed
            = entry.isDir() && !entry.isSymLink() ? removeDir(entry.filePath()) : dir.remove(entry.fileName());
        if (!removed)
            return false;
    }
    return QDir(info.path()).rmdir(info.fileName());
}

Upgrade::Upgrade(UpgradeContext context)
    : m_context(std::move(context))
    , m_updaterFileName(ProgramFile::executableName(QStringLiteral("TavUpdate")))
    , m_updaterPath(ProgramFile::resolve(QDir(QCoreApplication::applicationDirPath()), m_updaterFileName))
{
}

QStringList Upgrade::checkArguments(const QString& name, const QString& dir) const
{
    return installArguments(name, dir) << QStringLiteral("-c");
}

QStringList Upgrade::installArguments(const QString& tool, const QString& dir) const
{
    return { QStringLiteral("-t"), tool, QStringLiteral("-d"), dir, QStringLiteral("-v"),
        QCoreApplication::applicationVersion(), QStringLiteral("-s") };
}

QStringList Upgrade::handOverArguments() const
{
    return installArguments(QCoreApplication::applicationName(), QCoreApplication::applicationDirPath())
        << QStringLiteral("-e");
}

bool Upgrade::checkUpdate(const QString& program, const QString& name, const QString& dir)
{
    const QStringList arguments = checkArguments(name, dir);
    const int result = updaterResult(UpdaterProcesses::execute(program, arguments));
    qDebug() << "check update: " << arguments << result;
    return result > 0;
}

QString Upgrade::upgradeTools(const QString& tool, const QString& exeName)
{
    QDir parent(QCoreApplication::applicationDirPath());
    parent.cdUp();
    const QString toolDir = parent.absoluteFilePath(tool);
    DirectoryTurns::take(toolDir, [&] {
        // Made within the turn: the request before may have removed the
        // directory it made.
        if (!QFileInfo::exists(toolDir) && parent.mkdir(tool))
            m_madeToolDir = toolDir;
        if (!QFileInfo(toolDir).isDir())
            return;
        forgetToolWithoutProgram(toolDir, exeName);
        if (checkUpdate(m_updaterPath, tool, toolDir))
            UpdaterProcesses::execute(m_updaterPath, installArguments(tool, toolDir));
    });
    if (!QFileInfo(toolDir).isDir()) {
        qDebug().noquote() << QStringLiteral("make application path %1 failed").arg(toolDir);
        return QString();
    }
    return toolDir;
}

void Upgrade::removeUnusedToolDir()
{
    const QString toolDir = std::exchange(m_madeToolDir, QString());
    if (toolDir.isEmpty())
        return;
    DirectoryTurns::hold(toolDir, [&toolDir] {
        if (holdsOnlyPlaceholder(toolDir) && removeDir(toolDir))
            qDebug() << "removed the unused tool directory" << toolDir;
    });
}

bool Upgrade::upgradeSelf()
{
    if (handOverClaimed.load()) {
        qDebug("agent update already under way.");
        return false;
    }
    if (m_context.otherInstanceRuns && m_context.otherInstanceRuns()) {
        qDebug("agent update left to the running agent.");
        if (m_context.tellRunningInstance)
            m_context.tellRunningInstance();
        return false;
    }
    const QString appDir = QCoreApplication::applicationDirPath();
    bool available = false;
    DirectoryTurns::take(
        appDir, [&] { available = checkUpdate(m_updaterPath, QCoreApplication::applicationName(), appDir); });
    return available && handOver();
}

bool Upgrade::handOver()
{
    if (handOverClaimed.exchange(true)) {
        qDebug("agent update already under way.");
        return false;
    }
    const QString copy = makePrivateCopy();
    const QString program = copy.isEmpty() ? QString() : ProgramFile::resolve(QDir(copy), m_updaterFileName);
    if (!QFileInfo(program).isFile()) {
        qDebug() << "agent update not started, the agent keeps running: no updater copy" << program;
        handOverClaimed = false;
        return false;
    }
    const QStringList arguments = handOverArguments();
    if (isGuiThread())
        return startUpdaterAndQuit(program, arguments, m_context.beforeHandOver);
    runOnGuiThread([program, arguments, beforeHandOver = m_context.beforeHandOver] {
        startUpdaterAndQuit(program, arguments, beforeHandOver);
    });
    return true;
}

} // namespace Vondra
