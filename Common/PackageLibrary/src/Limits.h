#pragma once

#include <QtGlobal>

#include <limits>

namespace Updater::Limits {

// Every limit that guards the update path against hostile or broken servers
// and archives, with its default. Each can be changed on the object that
// applies it, and through the environment for tests that run whole programs.

// A positive integer from the environment variable, else the fallback.
inline qint64 fromEnvironment(const char* variable, qint64 fallback)
{
    bool ok = false;
    const qint64 value = qEnvironmentVariable(variable).toLongLong(&ok);
    return ok && value > 0 ? value : fallback;
}

inline int msecFromEnvironment(const char* variable, int fallback)
{
    return int(qMin<qint64>(fromEnvironment(variable, fallback), std::numeric_limits<int>::max()));
}

// A transfer fails when no byte arrives for this long.
inline int stallTimeoutMsec()
{
    return msecFromEnvironment("TAVUPDATER_STALL_TIMEOUT_MS", 30000);
}

// A transfer fails when fewer than minimumRate() bytes per second arrive,
// averaged over each rateWindowMsec(); the first window is the grace period.
inline qint64 minimumRate()
{
    return fromEnvironment("TAVUPDATER_MINIMUM_RATE", 1024);
}

inline int rateWindowMsec()
{
    return msecFromEnvironment("TAVUPDATER_RATE_WINDOW_MS", 60000);
}

// Fetching an index, redirects included, takes at most this long.
inline int indexDeadlineMsec()
{
    return msecFromEnvironment("TAVUPDATER_INDEX_DEADLINE_MS", 30000);
}

// An index request fails when no response headers have arrived this long
// after it was sent, connecting included.
inline int indexHeaderTimeoutMsec()
{
    return msecFromEnvironment("TAVUPDATER_INDEX_HEADER_TIMEOUT_MS", 10000);
}

// A search or install waits this long for a live install into the same
// directory to end.
inline int lockWaitMsec()
{
    return msecFromEnvironment("TAVUPDATER_LOCK_TIMEOUT_MS", 60000);
}

// What an archive may unpack to when its index does not say.
inline qint64 unpackedSizeCap()
{
    return fromEnvironment("TAVUPDATER_UNPACKED_SIZE_CAP", qint64(4) << 30);
}

} // namespace Updater::Limits
