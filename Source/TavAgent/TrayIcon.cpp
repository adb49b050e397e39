#include "TrayIcon.h"

#include "ProductConfig.h"
#include "ProgramFile.h"
#include "TavSplashScreen.h"
#include "Upgrade.h"

#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QSettings>
#include <QTimer>
#include <QTimerEvent>
#include <QUrl>

// Resources of a static library are registered by hand, outside any namespace.
static void initTavAgentResources()
{
    Q_INIT_RESOURCE(TavAgent);
}

namespace Vondra {

namespace {

const QString shareLinkKey = QStringLiteral("share_link");

QString defaultShareLink()
{
    return QStringLiteral("http://") + QString::fromLatin1(Product::serviceHost) + QStringLiteral("/share/share_list");
}

} // namespace

class TrayIconPrivate
{
public:
    TrayIconPrivate(TrayIcon* q, UpgradeContext upgradeContext)
        : q(q)
        , upgradeContext(std::move(upgradeContext))
    {
    }

    TrayIcon* q;
    const UpgradeContext upgradeContext;
    std::unique_ptr<QMenu> menu = std::make_unique<QMenu>();
    QAction* about = nullptr;
    QAction* exit = nullptr;
    QAction* gotoShare = nullptr;
    // Nothing in the agent starts it yet; -1 while none runs.
    int updateTimerId = -1;

    void stopUpdateTimer()
    {
        if (updateTimerId != -1)
            q->killTimer(updateTimerId);
        updateTimerId = -1;
    }
};

TrayIcon::TrayIcon(UpgradeContext upgradeContext)
    : QSystemTrayIcon(nullptr)
    , d(std::make_unique<TrayIconPrivate>(this, std::move(upgradeContext)))
{
    initTavAgentResources();
    setIcon(QIcon(QStringLiteral(":/images/tray_win.png")));

    d->gotoShare = d->menu->addAction(QString(), this, &TrayIcon::gotoShare);
    d->menu->addSeparator();
    // About and Exit read the same in every language.
    d->about = d->menu->addAction(QStringLiteral("&About"), this, &TrayIcon::about);
    d->exit = d->menu->addAction(QStringLiteral("&Exit"), this, &TrayIcon::exit);
    retranslate();
    setContextMenu(d->menu.get());
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::retranslate()
{
    setToolTip(tr("Manages TAVLO and its application configuration. \n"
                  "If this service is stopped, TAVLO may not run correctly."));
    d->gotoShare->setText(tr("&Goto Share"));
}

void TrayIcon::about()
{
    // One window for the whole program, made on first use.
    static TavSplashScreen splash(
        nullptr, QPixmap(QStringLiteral(":/images/splashscreen.png")), Qt::WindowStaysOnTopHint);
    splash.show();
}

void TrayIcon::exit()
{
    QCoreApplication::exit(0);
}

void TrayIcon::timerEvent(QTimerEvent* event)
{
    // Nothing may leave an event handler; the check runs on the next pass.
    try {
        if (event->timerId() == d->updateTimerId)
            QTimer::singleShot(0, this, &TrayIcon::checkUpdate);
    } catch (...) {
    }
}

void TrayIcon::autoUpdate()
{
    d->stopUpdateTimer();
    Upgrade(d->upgradeContext).handOver();
}

bool TrayIcon::checkUpdate()
{
    const QDir directory(QCoreApplication::applicationDirPath());
    const QString updater = ProgramFile::resolve(directory, ProgramFile::executableName(QStringLiteral("TavUpdate")));
    if (!QFileInfo(updater).isFile()) {
        d->stopUpdateTimer();
        return false;
    }
    if (!Upgrade(d->upgradeContext).checkUpdate(updater, QCoreApplication::applicationName(), directory.absolutePath()))
        return false;
    autoUpdate();
    return true;
}

void TrayIcon::gotoShare()
{
    const QString link = QSettings().value(shareLinkKey, defaultShareLink()).toString();
    QDesktopServices::openUrl(QUrl(link, QUrl::TolerantMode));
}

} // namespace Vondra
