#include "CrashTranslation.h"

// mingw-w64's <eh.h> uses std::type_info without declaring it.
#include <typeinfo>

#include <windows.h>

#include <eh.h>
#include <psapi.h>

#include <exception>
#include <stdexcept>

namespace Vondra {

static_assert(ExceptionCode::AccessViolation == EXCEPTION_ACCESS_VIOLATION);
static_assert(ExceptionCode::ArrayBoundsExceeded == EXCEPTION_ARRAY_BOUNDS_EXCEEDED);
static_assert(ExceptionCode::Breakpoint == EXCEPTION_BREAKPOINT);
static_assert(ExceptionCode::DatatypeMisalignment == EXCEPTION_DATATYPE_MISALIGNMENT);
static_assert(ExceptionCode::FltDenormalOperand == EXCEPTION_FLT_DENORMAL_OPERAND);
static_assert(ExceptionCode::FltDivideByZero == EXCEPTION_FLT_DIVIDE_BY_ZERO);
static_assert(ExceptionCode::FltInexactResult == EXCEPTION_FLT_INEXACT_RESULT);
static_assert(ExceptionCode::FltInvalidOperation == EXCEPTION_FLT_INVALID_OPERATION);
static_assert(ExceptionCode::FltOverflow == EXCEPTION_FLT_OVERFLOW);
static_assert(ExceptionCode::FltStackCheck == EXCEPTION_FLT_STACK_CHECK);
static_assert(ExceptionCode::FltUnderflow == EXCEPTION_FLT_UNDERFLOW);
static_assert(ExceptionCode::IllegalInstruction == EXCEPTION_ILLEGAL_INSTRUCTION);
static_assert(ExceptionCode::InPageError == EXCEPTION_IN_PAGE_ERROR);
static_assert(ExceptionCode::IntDivideByZero == EXCEPTION_INT_DIVIDE_BY_ZERO);
static_assert(ExceptionCode::IntOverflow == EXCEPTION_INT_OVERFLOW);
static_assert(ExceptionCode::InvalidDisposition == EXCEPTION_INVALID_DISPOSITION);
static_assert(ExceptionCode::NoncontinuableException == EXCEPTION_NONCONTINUABLE_EXCEPTION);
static_assert(ExceptionCode::PrivInstruction == EXCEPTION_PRIV_INSTRUCTION);
static_assert(ExceptionCode::SingleStep == EXCEPTION_SINGLE_STEP);
static_assert(ExceptionCode::StackOverflow == EXCEPTION_STACK_OVERFLOW);

namespace {

void findModule(FaultRecord& fault, void* address)
{
    HMODULE module = nullptr;
    // The fault only looks the module up; it must not keep it loaded.
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!GetModuleHandleExA(flags, static_cast<LPCSTR>(address), &module))
        return;
    const HANDLE process = GetCurrentProcess();
    MODULEINFO moduleInfo = {};
    char path[MAX_PATH + 1] = {};
    if (GetModuleInformation(process, module, &moduleInfo, sizeof(moduleInfo)))
        fault.moduleBase = reinterpret_cast<std::uintptr_t>(moduleInfo.lpBaseOfDll);
    GetModuleFileNameExA(process, module, path, MAX_PATH);
    fault.modulePath = path;
    fault.moduleFound = true;
}

} // namespace

void seTranslator(unsigned int code, EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    FaultRecord fault;
    fault.code = code;
    fault.address = reinterpret_cast<std::uintptr_t>(record->ExceptionAddress);
    findModule(fault, record->ExceptionAddress);
    for (DWORD i = 0; i < 3 && i < record->NumberParameters; ++i)
        fault.parameters[i] = static_cast<std::uintptr_t>(record->ExceptionInformation[i]);
    throw std::runtime_error(describeFault(fault));
}

void installCrashTranslation()
{
    _set_se_translator(seTranslator);
    std::set_terminate(terminateHandler);
}

} // namespace Vondra
