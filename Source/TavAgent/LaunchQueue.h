#pragma once

#include <QThreadPool>

#include <atomic>

class QRunnable;

namespace Vondra {

// The launches that web pages ask for, run on a pool of their own: at most
// maxRunning at once and maxWaiting queued behind them. A page can ask for
// thousands of launches (each runs the updater twice); beyond the queue's
// room a launch is dropped, and a burst of them is logged once.
class LaunchQueue
{
public:
    static constexpr int defaultMaxRunning = 10;
    static constexpr int defaultMaxWaiting = 100;

    explicit LaunchQueue(int maxRunning = defaultMaxRunning, int maxWaiting = defaultMaxWaiting);
    // Drops the waiting launches and waits for the running ones.
    ~LaunchQueue();

    LaunchQueue(const LaunchQueue&) = delete;
    LaunchQueue& operator=(const LaunchQueue&) = delete;

    // Takes launch over and queues it at priority -1; false (and launch
    // deleted, if it deletes itself after running) when the queue is full.
    // Callable from any thread.
    bool enqueue(QRunnable* launch);

    // Launches queued and not yet finished.
    int pending() const { return m_pending; }
    // Forgets the launches that have not started; the running ones go on.
    void dropWaiting();
    void waitForRunning();

private:
    class Entry;

    QThreadPool m_pool;
    const int m_capacity;
    std::atomic<int> m_pending { 0 };
    std::atomic<bool> m_refusing { false };
};

} // namespace Vondra
