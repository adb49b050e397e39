#include "ChildProcesses.h"

// winsock2.h must come before windows.h, which otherwise pulls in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

// Windows sockets are inheritable handles, and a process started with handle
// inheritance (as QProcess starts them) gets every one of them.
namespace Http {

int keepFromChildProcesses(std::intptr_t nativeHandle)
{
    if (!SetHandleInformation(reinterpret_cast<HANDLE>(nativeHandle), HANDLE_FLAG_INHERIT, 0))
        return int(GetLastError());
    return 0;
}

} // namespace Http
