#pragma once

namespace Http {

// A resident server's memory comes back after a burst: the C allocator is
// asked to give large blocks back to the system when they are freed, and to
// hand back the pages left free in its pools once connections have ended.

// Large blocks (bodies, responses) are mapped on their own and unmapped when
// freed, instead of being kept in the allocator's pools for later. Affects
// the whole process; the server calls it when it starts.
void returnLargeBlocksWhenFreed();

// Gives the whole free pages in the allocator's pools back to the system.
// Costs a walk over the pools, so it is for once a burst has passed.
void releaseFreedMemory();

} // namespace Http
