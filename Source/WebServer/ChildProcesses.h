#pragma once

#include <cstdint>

namespace Http {

// A socket of the server must not live on in the programs its host starts:
// a tool that the agent starts would otherwise hold the listening port after
// the agent has ended, and the agent restarted after an update could not bind
// it. 0, or the system's error number (errno, or GetLastError on Windows) of
// its refusal.
int keepFromChildProcesses(std::intptr_t nativeHandle);

} // namespace Http
