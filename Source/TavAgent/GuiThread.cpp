#include "GuiThread.h"

#include <QCoreApplication>
#include <QThread>

namespace Vondra {

bool isGuiThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void runOnGuiThread(std::function<void()> work)
{
    if (isGuiThread())
        work();
    else
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
}

} // namespace Vondra
