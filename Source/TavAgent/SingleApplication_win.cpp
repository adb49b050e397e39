#include "SingleApplication_p.h"

#include <QLocalServer>
#include <QSharedMemory>

// The claim is a named shared-memory segment in the logon session's namespace,
// which the system removes with its last holder, so nothing stale is left.
// Named pipes are visible machine-wide: the pipe admits this user only.

namespace Vondra::InstanceScope {

// A segment is detached when it is destroyed.
class ClaimPrivate
{
public:
    explicit ClaimPrivate(const QString& key)
        : key(key)
    {
    }

    const QString key;
    std::unique_ptr<QSharedMemory> segment;
};

Claim::Claim(const QString& key)
    : d(std::make_unique<ClaimPrivate>(key))
{
}

Claim::~Claim() = default;

Claim::Result Claim::take(QString* error)
{
    auto segment = std::make_unique<QSharedMemory>(d->key);
    if (segment->create(1, QSharedMemory::ReadWrite)) {
        d->segment = std::move(segment);
        return Result::Taken;
    }
    if (segment->error() == QSharedMemory::AlreadyExists)
        return Result::HeldElsewhere;
    *error = segment->errorString();
    return Result::Failed;
}

void Claim::release()
{
    d->segment.reset();
}

bool Claim::isTaken() const
{
    return d->segment != nullptr;
}

// Attached for a moment only; the holder keeps the segment anyway.
bool Claim::isHeld(const QString& key)
{
    QSharedMemory segment(key);
    if (!segment.attach(QSharedMemory::ReadOnly))
        return false;
    segment.detach();
    return true;
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

} // namespace Vondra::InstanceScope
