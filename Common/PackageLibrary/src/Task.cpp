#include "Updater/Task.h"

#include "PrintableText.h"

#include <QEventLoop>
#include <QPointer>

namespace Updater {

class TaskPrivate
{
public:
    bool running = false;
    bool stopped = false;
    bool done = false;
    bool success = false;
    QString errorString;
    QEventLoop* loop = nullptr;
};

Task::Task(QObject* parent)
    : QObject(parent)
    , d(std::make_unique<TaskPrivate>())
{
}

Task::~Task()
{
    // A task deleted from a slot while run() waits: let run() return; it
    // notices the deletion through its guard and touches nothing of ours.
    if (d->loop)
        d->loop->quit();
}

bool Task::run()
{
    if (d->running)
        return false;
    d->running = true;
    d->stopped = false;
    d->done = false;
    d->success = false;
    d->errorString.clear();

    QPointer<Task> self(this);
    start();
    if (!self)
        return false;
    if (!d->done) {
        QEventLoop loop;
        d->loop = &loop;
        loop.exec();
        if (!self)
            return false;
        d->loop = nullptr;
    }
    d->running = false;
    const bool success = d->success;
    emit finished(success);
    return success;
}

bool Task::isRunning() const
{
    return d->running;
}

bool Task::wasStopped() const
{
    return d->stopped;
}

QString Task::errorString() const
{
    return d->errorString;
}

void Task::stop()
{
    if (!d->running || d->done || d->stopped)
        return;
    d->stopped = true;
    abort();
}

void Task::finish(bool success)
{
    if (!d->running || d->done)
        return;
    // A stopped task that fails without saying why still tells its caller.
    if (!success && d->stopped && d->errorString.isEmpty())
        fail(CancelledError, tr("cancelled by the user"));
    if (!success && d->errorString.isEmpty())
        fail(InternalError, tr("the task failed without giving a reason"));
    d->done = true;
    d->success = success;
    if (d->loop)
        d->loop->quit();
}

// Error texts carry what servers, archives and indexes said: whoever shows
// or logs them gets it escaped.
void Task::fail(int code, const QString& text)
{
    d->errorString = printableText(text);
    emit error(code, d->errorString);
}

} // namespace Updater
