#include "LaunchQueue.h"

#include <QDebug>
#include <QRunnable>

namespace Vondra {

namespace {

// Behind the launches that already wait, not ahead of them.
constexpr int launchPriority = -1;

} // namespace

// Holds one launch for the pool and counts it until it has run or been
// dropped.
class LaunchQueue::Entry : public QRunnable
{
public:
    Entry(QRunnable* launch, std::atomic<int>& pending)
        : m_launch(launch)
        , m_pending(pending)
    {
    }

    ~Entry() override
    {
        if (m_launch->autoDelete())
            delete m_launch;
        --m_pending;
    }

    void run() override { m_launch->run(); }

private:
    QRunnable* m_launch;
    std::atomic<int>& m_pending;
};

LaunchQueue::LaunchQueue(int maxRunning, int maxWaiting)
    : m_capacity(maxRunning + maxWaiting)
{
    m_pool.setMaxThreadCount(maxRunning);
}

LaunchQueue::~LaunchQueue()
{
    dropWaiting();
    waitForRunning();
}

bool LaunchQueue::enqueue(QRunnable* launch)
{
    if (++m_pending > m_capacity) {
        --m_pending;
        if (launch->autoDelete())
            delete launch;
        if (!m_refusing.exchange(true))
            qWarning("launch queue full (%d launches): dropping launch requests until there is room", m_capacity);
        return false;
    }
    m_refusing = false;
    m_pool.start(new Entry(launch, m_pending), launchPriority);
    return true;
}

void LaunchQueue::dropWaiting()
{
    m_pool.clear();
}

void LaunchQueue::waitForRunning()
{
    m_pool.waitForDone();
}

} // namespace Vondra
