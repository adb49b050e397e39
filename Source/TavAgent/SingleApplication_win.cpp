#include "SingleApplication_p.h"

#include <QLocalServer>
#include <QSharedMemory>

// Windows names the segment in the logon session's namespace and removes it
// with its last holder, so there is nothing stale to clear and no election to
// hold. Named pipes are visible machine-wide: the pipe admits this user only.

namespace Vondra::InstanceScope {

bool nameSegment(QSharedMemory& segment, const QString& key)
{
    segment.setKey(key);
    return true;
}

void clearStaleSegment(QSharedMemory& segment)
{
    Q_UNUSED(segment)
}

QString serverName(const QString& key)
{
    return key;
}

bool listen(QLocalServer& server, const QString& name)
{
    server.setSocketOptions(QLocalServer::UserAccessOption);
    return server.listen(name);
}

Election::Election(const QString& key)
{
    Q_UNUSED(key)
}

Election::~Election() = default;

} // namespace Vondra::InstanceScope
