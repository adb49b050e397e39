#pragma once

// Code that faults on purpose, reached through pointers the compiler cannot see
// through: at -O2 it must assume the callee may throw, as it must for any call
// into code it does not know.
namespace Faults {

extern void (*volatile writeThroughNull)();
extern void (*volatile callThroughNull)();
extern int (*volatile divideByZero)(int dividend);
extern void (*volatile overflowStack)(int depth);
#if defined(__x86_64__)
// A general-protection fault, not a page fault: loads a kernel segment selector.
extern void (*volatile loadKernelSelector)();
#endif

} // namespace Faults
