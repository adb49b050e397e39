#include "CrashTranslation.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>

namespace Vondra {

namespace {

struct NamedCode
{
    unsigned int code;
    const char* name;
};

constexpr NamedCode exceptionNames[] = {
    { ExceptionCode::AccessViolation, "EXCEPTION_ACCESS_VIOLATION" },
    { ExceptionCode::ArrayBoundsExceeded, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED" },
    { ExceptionCode::Breakpoint, "EXCEPTION_BREAKPOINT" },
    { ExceptionCode::DatatypeMisalignment, "EXCEPTION_DATATYPE_MISALIGNMENT" },
    { ExceptionCode::FltDenormalOperand, "EXCEPTION_FLT_DENORMAL_OPERAND" },
    { ExceptionCode::FltDivideByZero, "EXCEPTION_FLT_DIVIDE_BY_ZERO" },
    { ExceptionCode::FltInexactResult, "EXCEPTION_FLT_INEXACT_RESULT" },
    { ExceptionCode::FltInvalidOperation, "EXCEPTION_FLT_INVALID_OPERATION" },
    { ExceptionCode::FltOverflow, "EXCEPTION_FLT_OVERFLOW" },
    { ExceptionCode::FltStackCheck, "EXCEPTION_FLT_STACK_CHECK" },
    { ExceptionCode::FltUnderflow, "EXCEPTION_FLT_UNDERFLOW" },
    { ExceptionCode::IllegalInstruction, "EXCEPTION_ILLEGAL_INSTRUCTION" },
    { ExceptionCode::InPageError, "EXCEPTION_IN_PAGE_ERROR" },
    { ExceptionCode::IntDivideByZero, "EXCEPTION_INT_DIVIDE_BY_ZERO" },
    { ExceptionCode::IntOverflow, "EXCEPTION_INT_OVERFLOW" },
    { ExceptionCode::InvalidDisposition, "EXCEPTION_INVALID_DISPOSITION" },
    { ExceptionCode::NoncontinuableException, "EXCEPTION_NONCONTINUABLE_EXCEPTION" },
    { ExceptionCode::PrivInstruction, "EXCEPTION_PRIV_INSTRUCTION" },
    { ExceptionCode::SingleStep, "EXCEPTION_SINGLE_STEP" },
    { ExceptionCode::StackOverflow, "EXCEPTION_STACK_OVERFLOW" },
};

// Instruction and module addresses: upper case, at least eight digits, all of
// them where the address is wider.
std::string paddedHex(std::uintptr_t value)
{
    char text[2 * sizeof(value) + 1];
    std::snprintf(text, sizeof(text), "%08llX", static_cast<unsigned long long>(value));
    return text;
}

std::string plainHex(std::uintptr_t value)
{
    char text[2 * sizeof(value) + 1];
    std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
    return text;
}

const char* accessKindName(std::uintptr_t kind)
{
    switch (kind) {
    case AccessKind::Read:
        return "read";
    case AccessKind::Write:
        return "write";
    case AccessKind::Execute:
        return "user-mode data execution prevention (DEP) violation";
    default:
        return "unknown";
    }
}

} // namespace

const char* seExceptionName(unsigned int code)
{
    for (const NamedCode& entry : exceptionNames) {
        if (entry.code == code)
            return entry.name;
    }
    return "UNKNOWN EXCEPTION";
}

std::string describeFault(const FaultRecord& fault)
{
    const std::string modulePath = fault.moduleFound ? fault.modulePath : std::string("<unknown module>");
    const std::uintptr_t moduleBase = fault.moduleFound ? fault.moduleBase : 0;
    std::string text = "SE " + std::string(seExceptionName(fault.code)) + " at address 0x" + paddedHex(fault.address)
        + " inside " + modulePath + " loaded at base address 0x" + paddedHex(moduleBase) + "\n";
    if (fault.code == ExceptionCode::AccessViolation || fault.code == ExceptionCode::InPageError) {
        text += "Invalid operation: " + std::string(accessKindName(fault.parameters[0])) + " at address 0x"
            + plainHex(fault.parameters[1]) + "\n";
    }
    if (fault.code == ExceptionCode::InPageError) {
        text += "Underlying NTSTATUS code that resulted in the exception " + std::to_string(fault.parameters[2]) + "\n";
    }
    return text;
}

void terminateHandler()
{
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            std::cout << "terminateHandler: " << e.what() << std::endl;
        } catch (...) {
            std::cout << "terminateHandler: Unknown exception!" << std::endl;
        }
    } else {
        std::cout << "terminateHandler: called without an exception." << std::endl;
    }
    std::abort();
}

} // namespace Vondra
