#include "Faults.h"

namespace Faults {

namespace {

void writeThroughNullPointer()
{
    // Volatile both ways, or the optimizer turns the store into a trap or drops it.
    volatile int* volatile target = nullptr;
    *target = 42;
}

void callThroughNullPointer()
{
    void (*volatile target)() = nullptr;
    target();
}

int divideByVolatileZero(int dividend)
{
    volatile int zero = 0;
    return dividend / zero;
}

void recurseWithoutEnd(int depth)
{
    volatile char frame[1024];
    frame[0] = char(depth);
    overflowStack(depth + 1);
    frame[1] = frame[0];
}

#if defined(__x86_64__)
void loadKernelDataSelector()
{
    __asm__ volatile("mov $0x13, %%eax\n\tmov %%eax, %%ds" ::: "eax", "memory");
}
#endif

} // namespace

void (*volatile writeThroughNull)() = writeThroughNullPointer;
void (*volatile callThroughNull)() = callThroughNullPointer;
int (*volatile divideByZero)(int) = divideByVolatileZero;
void (*volatile overflowStack)(int) = recurseWithoutEnd;
#if defined(__x86_64__)
void (*volatile loadKernelSelector)() = loadKernelDataSelector;
#endif

} // namespace Faults
