#include "OpenUrlEventHandler.h"

#include "LaunchApplication.h"

#include <QDebug>
#include <QFileOpenEvent>

namespace Vondra {

bool OpenUrlEventHandler::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::FileOpen)
        return QObject::eventFilter(watched, event);
    qDebug("file open event.");
    const QUrl url = static_cast<QFileOpenEvent*>(event)->url();
    if (!url.isEmpty()) {
        LaunchApplication launch(url.toString());
        launch.run();
    }
    return true;
}

} // namespace Vondra
