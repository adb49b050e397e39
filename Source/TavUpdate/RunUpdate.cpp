#include "RunUpdate.h"

#include "ProductConfig.h"
#include "TavUpdater.h"

#include <Updater/PackagesInfo.h>
#include <Updater/Target.h>
#include <Updater/UpdateFinder.h>
#include <Updater/UpdateInstaller.h>
#include <Updater/UpdateSourcesInfo.h>
#include <Updater/UpdatesDialog.h>
#include <Updater/Version.h>

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QProgressDialog>
#include <QUrl>

#include <optional>

// Resources of a static library are registered by hand, outside any namespace.
static void initTavUpdateResources()
{
    Q_INIT_RESOURCE(TavUpdate);
}

namespace Vondra {

namespace {

const char updateHostFileName[] = "update_host.dat";

// A target seen for the first time is registered under its name and major
// version, with a placeholder package that every real version beats.
void registerNewTarget(Updater::Target& target, const UpdateArguments& arguments)
{
    Updater::PackagesInfo* record = target.packagesInfo();
    if (record->packageInfoCount() >= 1)
        return;
    const QString major = arguments.version.split(QLatin1Char('.')).constFirst();
    record->setTargetName(arguments.name + major);
    record->setTargetVersion(arguments.version);
    record->installPackage(arguments.name, Updater::Version::placeholder(), QString(), QString(), QStringList(), 0);
}

void prepareProgressDialog(QProgressDialog& progress, const QString& title)
{
    progress.setWindowIcon(QIcon(QStringLiteral(":/images/app_win.png")));
    progress.setWindowTitle(title);
    progress.setMinimumSize(345, 100);
    // QProgressDialog pops itself up after a few seconds unless reset; it is to
    // appear only while something is being installed.
    progress.reset();
}

void addRepository(Updater::Target& target, const QString& baseUrl)
{
    const QUrl url(QStringLiteral("%1%2").arg(baseUrl, target.name()), QUrl::TolerantMode);
    target.addUpdateSource(target.name(), target.name(), QStringLiteral("My first Tavlo Update Example"), url, 1);
    target.updateSourcesInfo()->setModified(false);
}

// Nothing when the search failed: "no updates" would tell the agent that all
// is well while every update is refused.
std::optional<QList<Updater::Update*>> findUpdates(Updater::UpdateFinder& finder, TavUpdater& errorLog)
{
    QObject::connect(&finder, &Updater::UpdateFinder::error, &errorLog, &TavUpdater::onError);
    finder.setPlatformIdentifier(QStringLiteral("%1%2").arg(finder.platformIdentifier()).arg(32));
    qDebug("searching updates");
    if (!finder.run()) {
        qDebug("the search for updates failed");
        return std::nullopt;
    }
    qDebug("%d updates found", int(finder.updates().size()));
    return finder.updates();
}

// The updates the user keeps selected, in the finder's order; nothing when the
// dialog is closed without accepting.
std::optional<QList<Updater::Update*>> chooseUpdates(const QList<Updater::Update*>& found)
{
    Updater::UpdatesDialog dialog(nullptr);
    dialog.setUpdates(found);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    QList<Updater::Update*> chosen;
    for (Updater::Update* update : found) {
        if (dialog.isUpdateAllowed(update))
            chosen.append(update);
    }
    return chosen;
}

void install(
    Updater::Target& target, const QList<Updater::Update*>& chosen, QProgressDialog& progress, TavUpdater& errorLog)
{
    Updater::UpdateInstaller installer(&target);
    QObject::connect(&installer, &Updater::UpdateInstaller::progressValue, &progress, &QProgressDialog::setValue);
    QObject::connect(&installer, &Updater::UpdateInstaller::progressText, &progress, &QProgressDialog::setLabelText);
    QObject::connect(&progress, &QProgressDialog::canceled, &installer, &Updater::UpdateInstaller::stop);
    QObject::connect(&installer, &Updater::UpdateInstaller::error, &errorLog, &TavUpdater::onError);
    progress.show();
    installer.setUpdatesToInstall(chosen);
    qDebug("installing %d updates", int(chosen.size()));
    const bool installed = installer.run();
    qDebug("%s", installed ? "updates installed" : "updates not installed");
}

} // namespace

QString defaultUpdateBaseUrl()
{
    return QStringLiteral("http://") + QLatin1String(Product::serviceHost) + QStringLiteral("/tavlo/");
}

QString updateBaseUrl(const QString& programDirectory)
{
    const QFileInfo entry(QDir(programDirectory).filePath(QLatin1String(updateHostFileName)));
    // A link that leads nowhere is an entry all the same: it reads as an
    // unreadable file, not as a missing one.
    if (!entry.exists() && !entry.isSymLink())
        return defaultUpdateBaseUrl();
    QFile file(entry.filePath());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readLine().trimmed());
}

int runUpdate(const UpdateArguments& arguments, bool silent, bool checkOnly)
{
    return runUpdate(arguments, silent, checkOnly, updateBaseUrl(QCoreApplication::applicationDirPath()));
}

int runUpdate(const UpdateArguments& arguments, bool silent, bool checkOnly, const QString& baseUrl)
{
    initTavUpdateResources();

    // Declared in this order so that they go in the reverse one: the progress
    // dialog first, then the finder (which owns the updates), the target and
    // the error receiver.
    TavUpdater errorLog;
    Updater::Target target(arguments.name);
    target.setDirectory(arguments.directory);
    // A damaged record reads as empty and is registered anew (its bytes set
    // aside): say so, or nobody learns why the target starts over.
    if (!target.packagesInfo()->errorString().isEmpty())
        errorLog.onError(Updater::Task::FormatError, target.packagesInfo()->errorString());
    registerNewTarget(target, arguments);

    Updater::UpdateFinder finder(&target);
    QProgressDialog progress;
    prepareProgressDialog(progress, target.name());

    addRepository(target, baseUrl);
    const std::optional<QList<Updater::Update*>> searched = findUpdates(finder, errorLog);
    progress.hide();
    if (!searched)
        return searchFailed;
    const QList<Updater::Update*>& found = *searched;
    if (found.isEmpty())
        return 0;

    QList<Updater::Update*> chosen = found;
    if (!silent) {
        const auto selected = chooseUpdates(found);
        if (!selected)
            return -1;
        chosen = *selected;
    }

    if (!chosen.isEmpty() && !checkOnly)
        install(target, chosen, progress, errorLog);
    return chosen.size();
}

} // namespace Vondra
