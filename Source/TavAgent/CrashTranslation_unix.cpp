#include "CrashTranslation.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <stdexcept>

// Faults arrive as signals. On the thread that installed the translation the
// handler throws straight out of the signal frame, which works because the
// agent is built with -fnon-call-exceptions and the handler runs with
// SA_NODEFER (so a later fault is not left blocked) on an alternate stack (so a
// fault still has a stack to run on). Every other thread gets the system's
// default action, as if nothing had been installed.

namespace Vondra {

namespace {

constexpr int translatedSignals[] = { SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP };
constexpr std::size_t alternateStackSize = 64 * 1024;
// How far below the lowest stack address the guard area reaches.
constexpr std::uintptr_t stackGuardReach = 2 * 1024 * 1024;
constexpr std::uintptr_t unknownAccess = ~std::uintptr_t(0);

struct ThreadTranslation
{
    bool active = false;
    std::uintptr_t stackLow = 0;
};

// Read from the signal handler: initial-exec TLS needs no allocation there.
thread_local ThreadTranslation threadTranslation __attribute__((tls_model("initial-exec")));

bool isHardwareFault(const siginfo_t* info)
{
    return info->si_code > 0; // kill(), raise() and sigqueue() give SI_USER, SI_TKILL... (<= 0)
}

bool isStackOverflow(const siginfo_t* info)
{
    const auto faultAddress = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const std::uintptr_t low = threadTranslation.stackLow;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    return low != 0 && faultAddress < low + page && faultAddress + stackGuardReach >= low;
}

std::uintptr_t instructionAddress(const ucontext_t* context, [[maybe_unused]] const siginfo_t* info)
{
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.pc);
#else
    (void)context;
    return reinterpret_cast<std::uintptr_t>(info->si_addr);
#endif
}

// The page-fault error code tells a read from a write from an instruction fetch.
// Other faults (a general-protection fault: a non-canonical address, a bad
// selector) leave a selector there, and count as reads.
std::uintptr_t accessKind(const ucontext_t* context)
{
#if defined(__x86_64__)
    constexpr greg_t pageFault = 14;
    if (context->uc_mcontext.gregs[REG_TRAPNO] != pageFault)
        return AccessKind::Read;
    const auto error = static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_ERR]);
    if (error & 0x10)
        return AccessKind::Execute;
    return (error & 0x2) ? AccessKind::Write : AccessKind::Read;
#else
    (void)context;
    return unknownAccess;
#endif
}

// An instruction fetch from where no code is (a call through a null or dangling
// function pointer) leaves the unwinder no frame to start from. The call's
// return address is on top of the stack: unwind from inside the call
// instruction, as the caller's frame looked when it made the call, so the
// exception reaches the caller's handlers.
void unwindFromCaller(ucontext_t* context)
{
#if defined(__x86_64__)
    greg_t* registers = context->uc_mcontext.gregs;
    const auto returnAddress = *reinterpret_cast<const greg_t*>(registers[REG_RSP]);
    registers[REG_RIP] = returnAddress - 1;
    registers[REG_RSP] += sizeof(returnAddress);
#else
    (void)context;
#endif
}

unsigned int floatingPointCode(int code)
{
    switch (code) {
    case FPE_INTDIV:
        return ExceptionCode::IntDivideByZero;
    case FPE_INTOVF:
        return ExceptionCode::IntOverflow;
    case FPE_FLTDIV:
        return ExceptionCode::FltDivideByZero;
    case FPE_FLTOVF:
        return ExceptionCode::FltOverflow;
    case FPE_FLTUND:
        return ExceptionCode::FltUnderflow;
    case FPE_FLTRES:
        return ExceptionCode::FltInexactResult;
    case FPE_FLTINV:
        return ExceptionCode::FltInvalidOperation;
    case FPE_FLTSUB:
        return ExceptionCode::ArrayBoundsExceeded;
    default:
        return 0;
    }
}

unsigned int exceptionCode(int signal, const siginfo_t* info)
{
    switch (signal) {
    case SIGSEGV:
        return isStackOverflow(info) ? ExceptionCode::StackOverflow : ExceptionCode::AccessViolation;
    case SIGBUS:
        return info->si_code == BUS_ADRALN ? ExceptionCode::DatatypeMisalignment : ExceptionCode::InPageError;
    case SIGFPE:
        return floatingPointCode(info->si_code);
    case SIGILL:
        return (info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG) ? ExceptionCode::PrivInstruction
                                                                            : ExceptionCode::IllegalInstruction;
    case SIGTRAP:
        return info->si_code == TRAP_TRACE ? ExceptionCode::SingleStep : ExceptionCode::Breakpoint;
    default:
        return 0;
    }
}

void findModule(FaultRecord& fault)
{
    Dl_info module = {};
    if (!dladdr(reinterpret_cast<void*>(fault.address), &module) || !module.dli_fbase)
        return;
    fault.moduleFound = true;
    fault.moduleBase = reinterpret_cast<std::uintptr_t>(module.dli_fbase);
    if (module.dli_fname && module.dli_fname[0] == '/') {
        fault.modulePath = module.dli_fname;
        return;
    }
    // The main program is listed under the name it was started with.
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    fault.modulePath = length > 0 ? std::string(path, std::size_t(length)) : std::string(module.dli_fname);
}

FaultRecord faultRecord(int signal, const siginfo_t* info, const ucontext_t* context)
{
    FaultRecord fault;
    fault.code = exceptionCode(signal, info);
    fault.address = instructionAddress(context, info);
    findModule(fault);
    if (fault.code == ExceptionCode::AccessViolation || fault.code == ExceptionCode::InPageError) {
        fault.parameters[0] = accessKind(context);
        fault.parameters[1] = reinterpret_cast<std::uintptr_t>(info->si_addr);
        // No NTSTATUS here; the signal's own code says what went wrong.
        fault.parameters[2] = static_cast<std::uintptr_t>(info->si_code);
    }
    return fault;
}

void writeAll(int fd, const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n <= 0)
            return;
        written += std::size_t(n);
    }
}

void restoreDefaultAction(int signal)
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

void onFault(int signal, siginfo_t* info, void* context)
{
    if (!threadTranslation.active || !isHardwareFault(info)) {
        restoreDefaultAction(signal);
        // A faulting instruction faults again on return and then meets the
        // default action; a trap or a sent signal does not repeat by itself.
        if (!isHardwareFault(info) || signal == SIGTRAP)
            raise(signal);
        return;
    }
    auto* machine = static_cast<ucontext_t*>(context);
    const FaultRecord fault = faultRecord(signal, info, machine);
    if (fault.code == ExceptionCode::StackOverflow) {
        // No stack left to unwind into: report the way an uncaught exception
        // would be reported, from the alternate stack, and end here.
        writeAll(STDOUT_FILENO, "terminateHandler: " + describeFault(fault) + "\n");
        std::abort();
    }
    if (fault.code == ExceptionCode::AccessViolation && fault.parameters[0] == AccessKind::Execute)
        unwindFromCaller(machine);
    throw std::runtime_error(describeFault(fault));
}

std::uintptr_t lowestStackAddress()
{
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0)
        return 0;
    void* address = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &address, &size) == 0;
    pthread_attr_destroy(&attributes);
    return known ? reinterpret_cast<std::uintptr_t>(address) : 0;
}

bool installAlternateStack()
{
    // Lives as long as the thread may fault, that is until the process ends.
    void* memory = mmap(nullptr, alternateStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return false;
    stack_t stack = {};
    stack.ss_sp = memory;
    stack.ss_size = alternateStackSize;
    return sigaltstack(&stack, nullptr) == 0;
}

} // namespace

void installCrashTranslation()
{
    std::set_terminate(terminateHandler);
    if (threadTranslation.active)
        return;
    installAlternateStack();
    threadTranslation.stackLow = lowestStackAddress();
    threadTranslation.active = true;

    struct sigaction action = {};
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : translatedSignals)
        sigaction(signal, &action, nullptr);
}

} // namespace Vondra
