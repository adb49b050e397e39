#pragma once

#include <QByteArray>
#include <QString>

namespace Updater {

// Reads a small file whole, with as few system calls as the platform allows:
// records are read on every request of the agent's bridge. The file may be
// replaced at any moment; one read sees one version of it.
class WholeFile
{
public:
    enum Result {
        Read,
        // No file stands under that name: nothing, or something that is
        // neither a regular file nor a directory (a FIFO, a device), which
        // is not read.
        Missing,
        // It is there but cannot be opened (error says why).
        CannotOpen,
        // Larger than the limit; nothing was read.
        TooLarge,
        // Opened, but reading failed (error says why).
        CannotRead
    };

    static Result read(const QString& fileName, qint64 maximumSize, QByteArray* bytes, QString* error);
};

} // namespace Updater
