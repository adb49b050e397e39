#include "FreedMemory.h"

#include <malloc.h>

// glibc maps a block of its own only above a threshold that it raises, up to
// 32 MiB, each time such a block is freed; blocks below it come from the
// per-thread arenas, which give memory back only from their top. After one
// 15 MiB body every later body stays in an arena, and a burst of them leaves
// hundreds of MiB behind. Setting the threshold fixes it; at 64 KiB it also
// maps the connections' coroutine stacks, which would otherwise sit among the
// small blocks the I/O service keeps for reuse and stay resident around them.
namespace {

constexpr int mappedBlockThreshold = 64 * 1024;

} // namespace

namespace Http {

void returnLargeBlocksWhenFreed()
{
    mallopt(M_MMAP_THRESHOLD, mappedBlockThreshold);
}

void releaseFreedMemory()
{
    malloc_trim(0);
}

} // namespace Http
