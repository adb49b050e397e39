#include "UpdaterProcesses.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QProcess>

#include <atomic>

namespace Vondra {

namespace {

// How often a waiting thread looks whether the agent is ending, and how long
// an updater asked to end may take before it is killed.
constexpr int pollMs = 100;
constexpr int endGraceMs = 1000;

std::atomic<bool> agentEnding { false };
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

} // namespace

int UpdaterProcesses::execute(const QString& program, const QStringList& arguments)
{
    if (ending())
        return -2;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted())
        return -2;
    QDeadlineTimer killAt = QDeadlineTimer::Forever;
    while (!process.waitForFinished(pollMs) && process.state() != QProcess::NotRunning) {
        if (!ending())
            continue;
        if (killAt.isForever()) {
            qDebug() << "agent ending, asking" << program << "to end.";
            process.terminate();
            killAt.setRemainingTime(endGraceMs);
        } else if (killAt.hasExpired()) {
            process.kill();
        }
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void UpdaterProcesses::endAll()
{
    agentEnding = true;
}

bool UpdaterProcesses::ending()
{
    return agentEnding;
}

} // namespace Vondra
