#pragma once

#include <QSplashScreen>

namespace Vondra {

// The agent's About window: the product image with the build stamp, above
// other windows and closing by itself a few seconds after each showing.
class TavSplashScreen : public QSplashScreen
{
    Q_OBJECT

public:
    TavSplashScreen(QWidget* parent, const QPixmap& pixmap, Qt::WindowFlags flags);

public slots:
    // Shows the window (again) and arms its own close timer.
    void show();

protected:
    void drawContents(QPainter* painter) override;
};

} // namespace Vondra
