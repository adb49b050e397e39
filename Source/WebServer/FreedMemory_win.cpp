#include "FreedMemory.h"

#include <windows.h>

// The C runtime allocates from the process heap, which takes large blocks
// straight from virtual memory and releases them when they are freed, so
// nothing needs setting; it decommits free pages by thresholds of its own, and
// compacting it after a burst releases what those left committed.
namespace Http {

void returnLargeBlocksWhenFreed()
{
}

void releaseFreedMemory()
{
    HeapCompact(GetProcessHeap(), 0);
}

} // namespace Http
