#include "TrayIcon.h"

#include "ProductConfig.h"
#include "TavSplashScreen.h"

#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QSettings>
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
    explicit TrayIconPrivate(TrayIcon* q)
        : q(q)
    {
    }

    TrayIcon* q;
    std::unique_ptr<QMenu> menu = std::make_unique<QMenu>();
    QAction* about = nullptr;
    QAction* exit = nullptr;
    QAction* gotoShare = nullptr;
};

TrayIcon::TrayIcon()
    : QSystemTrayIcon(nullptr)
    , d(std::make_unique<TrayIconPrivate>(this))
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

void TrayIcon::gotoShare()
{
    const QString link = QSettings().value(shareLinkKey, defaultShareLink()).toString();
    QDesktopServices::openUrl(QUrl(link, QUrl::TolerantMode));
}

} // namespace Vondra
