#pragma once

#include "UpgradeContext.h"

#include <QSystemTrayIcon>

#include <memory>

namespace Vondra {

class TrayIconPrivate;

// The resident agent's icon in the notification area, with its menu: Goto
// Share, About and Exit. Clicking the icon itself does nothing.
class TrayIcon : public QSystemTrayIcon
{
    Q_OBJECT

public:
    explicit TrayIcon(UpgradeContext upgradeContext = {});
    ~TrayIcon() override;

    // Sets the tooltip and menu texts again in the current language.
    void retranslate();

protected:
    void timerEvent(QTimerEvent* event) override;

protected slots:
    void about();
    void exit();
    // Hands the agent over to TavUpdate to update and restart it.
    void autoUpdate();
    void gotoShare();
    // Whether TavUpdate beside the agent finds an update of the agent; with
    // one, hands over.
    bool checkUpdate();

private:
    std::unique_ptr<TrayIconPrivate> d;
};

} // namespace Vondra
