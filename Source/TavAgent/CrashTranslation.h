#pragma once

// Turns hardware faults of the thread that installs the translation (an access
// violation, a division by zero...) into exceptions caught as std::exception,
// and reports whatever ends the program through std::terminate.
// No Qt here: the Windows side is built against the bare SDK.

#include <cstdint>
#include <string>

namespace Vondra {

// The Windows exception codes the messages name. The numbers are the SDK's, so
// the message of a fault reads the same whichever system it happened on.
namespace ExceptionCode {
inline constexpr unsigned int AccessViolation = 0xC0000005u;
inline constexpr unsigned int ArrayBoundsExceeded = 0xC000008Cu;
inline constexpr unsigned int Breakpoint = 0x80000003u;
inline constexpr unsigned int DatatypeMisalignment = 0x80000002u;
inline constexpr unsigned int FltDenormalOperand = 0xC000008Du;
inline constexpr unsigned int FltDivideByZero = 0xC000008Eu;
inline constexpr unsigned int FltInexactResult = 0xC000008Fu;
inline constexpr unsigned int FltInvalidOperation = 0xC0000090u;
inline constexpr unsigned int FltOverflow = 0xC0000091u;
inline constexpr unsigned int FltStackCheck = 0xC0000092u;
inline constexpr unsigned int FltUnderflow = 0xC0000093u;
inline constexpr unsigned int IllegalInstruction = 0xC000001Du;
inline constexpr unsigned int InPageError = 0xC0000006u;
inline constexpr unsigned int IntDivideByZero = 0xC0000094u;
inline constexpr unsigned int IntOverflow = 0xC0000095u;
inline constexpr unsigned int InvalidDisposition = 0xC0000026u;
inline constexpr unsigned int NoncontinuableException = 0xC0000025u;
inline constexpr unsigned int PrivInstruction = 0xC0000096u;
inline constexpr unsigned int SingleStep = 0x80000004u;
inline constexpr unsigned int StackOverflow = 0xC00000FDu;
} // namespace ExceptionCode

// First parameter of an access violation: what the faulting instruction tried.
namespace AccessKind {
inline constexpr std::uintptr_t Read = 0;
inline constexpr std::uintptr_t Write = 1;
inline constexpr std::uintptr_t Execute = 8;
} // namespace AccessKind

// What is known of one fault, gathered from the system's exception record or
// signal information.
struct FaultRecord
{
    unsigned int code = 0;
    std::uintptr_t address = 0; // of the faulting instruction
    bool moduleFound = false;
    std::string modulePath;
    std::uintptr_t moduleBase = 0;
    // Access kind, data address, underlying status (access violation and
    // in-page error only).
    std::uintptr_t parameters[3] = {};
};

// The name a message uses for an exception code, "UNKNOWN EXCEPTION" for codes
// outside the table.
const char* seExceptionName(unsigned int code);

// The one to three lines, each ending in "\n", that describe the fault.
std::string describeFault(const FaultRecord& fault);

// Installs the fault translation for the calling thread (other threads keep the
// system's behaviour) and the terminate handler.
void installCrashTranslation();

// Writes "terminateHandler: " and what ended the program to standard output,
// then aborts.
[[noreturn]] void terminateHandler();

} // namespace Vondra
