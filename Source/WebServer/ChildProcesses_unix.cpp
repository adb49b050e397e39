#include "ChildProcesses.h"

#include <cerrno>

#include <fcntl.h>

namespace Http {

int keepFromChildProcesses(std::intptr_t nativeHandle)
{
    const int fd = int(nativeHandle);
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags == -1 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == -1)
        return errno;
    return 0;
}

} // namespace Http
