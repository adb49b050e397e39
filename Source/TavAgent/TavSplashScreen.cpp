#include "TavSplashScreen.h"

#include "AgentApp.h"

#include <QApplication>
#include <QPainter>
#include <QTimer>

namespace Vondra {

namespace {

constexpr int visibleMs = 5000;
constexpr qreal translucency = 0.9;
constexpr qreal stampOpacity = 0.8;
constexpr qreal stampScale = 1.2;
const QPoint stampTopLeft(140, 120);

QFont stampFont()
{
    QFont font = QApplication::font();
    font.setBold(true);
    font.setPointSizeF(stampScale * font.pointSize());
    font.setFamily(QStringLiteral("TIMES NEW ROMAN"));
    return font;
}

} // namespace

TavSplashScreen::TavSplashScreen(QWidget* parent, const QPixmap& pixmap, Qt::WindowFlags flags)
    : QSplashScreen(pixmap, flags)
{
    // Qt no longer takes a splash screen's parent in the constructor.
    if (parent)
        setParent(parent, windowFlags());
    setWindowOpacity(translucency);
}

void TavSplashScreen::show()
{
    QTimer::singleShot(visibleMs, this, &QWidget::close);
    QWidget::show();
    // An empty message repaints the contents, stamp included.
    showMessage(QString(), Qt::AlignLeft, Qt::black);
}

void TavSplashScreen::drawContents(QPainter* painter)
{
    const QFont font = stampFont();
    painter->setFont(font);
    painter->setOpacity(stampOpacity);
    QPen pen = painter->pen();
    pen.setColor(Qt::white);
    painter->setPen(pen);

    // The stamp's band grows with the font: p + 6 rows from row 120.
    const QRect band(stampTopLeft, QPoint(width(), 125 + font.pointSize()));
    painter->drawText(band, Qt::AlignLeft | Qt::AlignVCenter, tr("build %1").arg(AgentApp::buildDate()));
}

} // namespace Vondra
