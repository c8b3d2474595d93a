#include "hxExceptEntries.h"

#include "hxDisAsm.h"
#include "hxExceptHandling.h"
#include "hxExceptHooks.h"
#include "hxExceptObject.h"
#include "hxExceptSettings.h"

#include <cxxabi.h>
#include <unwind.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#ifndef EXCEPTION_UNWINDING
#define EXCEPTION_UNWINDING 0x2
#endif

namespace {

// ---- Throw recording ----

thread_local TThrowRecord gThrow;

#if defined(__x86_64__)
// From the recorder's own registers to those of its caller.
void UnwindToCaller(CONTEXT& context) noexcept
{
    DWORD64 imageBase = 0;
    if (PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr)) {
        void* handlerData = nullptr;
        DWORD64 establisher = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData, &establisher,
                         nullptr);
    } else {
        context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
        context.Rsp += 8;
    }
}
#endif

__attribute__((always_inline)) inline std::uintptr_t StackPointerHere() noexcept
{
    std::uintptr_t sp;
#if defined(__x86_64__)
    asm volatile("mov %%rsp, %0" : "=r"(sp));
#else
    asm volatile("mov %%esp, %0" : "=r"(sp));
#endif
    return sp;
}

bool CurrentExceptionSource(void*& object, void*& address)
{
    object = ExceptionPtrObject(std::current_exception());
    if (!object)
        return false;
    const TThrowRecord* record = CurrentThrowRecord();
    address = record && record->Object == object ? record->Address : nullptr;
    return true;
}

bool RecordedExceptionSource(void*& object, void*& address, CONTEXT*& context)
{
    if (!gThrow.Object)
        return false;
    object = gThrow.Object;
    address = gThrow.Address;
    context = &gThrow.Context;
    return true;
}

void ClearRecordedSource()
{
    gThrow.Object = nullptr;
    gThrow.Type = nullptr;
    gThrow.Address = nullptr;
}

bool IsAbortSource(const void* object)
{
    return IsClassNamed(object, "EAbort");
}

// ---- System exceptions ----

std::string HexAddress(std::uintptr_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                  static_cast<unsigned long long>(value));
    return text;
}

std::string ModuleNameOf(const void* address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &module) ||
        !module)
        return {};
    return FileNameOfPath(GetModuleFileNameStr(module));
}

std::string AccessViolationText(const EXCEPTION_RECORD& record)
{
    std::string text = "Access violation at address " +
                       HexAddress(reinterpret_cast<std::uintptr_t>(record.ExceptionAddress));
    const std::string module = ModuleNameOf(record.ExceptionAddress);
    if (!module.empty())
        text += " in module '" + module + "'";
    text += ".";
    if (record.NumberParameters >= 2) {
        const ULONG_PTR operation = record.ExceptionInformation[0];
        text += operation == 1 ? " Write" : operation == 8 ? " Execution" : " Read";
        text += " of address " + HexAddress(record.ExceptionInformation[1]);
    }
    return text;
}

// Calls make with the exception class for the record's code (as a type tag) and the message.
template <class TMake>
auto ForSystemException(const EXCEPTION_RECORD& record, TMake make)
{
    switch (record.ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION:
        return make(std::type_identity<EAccessViolation>{}, AccessViolationText(record));
    case EXCEPTION_STACK_OVERFLOW:
        return make(std::type_identity<EStackOverflow>{}, "Stack overflow");
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
        return make(std::type_identity<EIntDivByZero>{}, "Division by zero");
    case EXCEPTION_INT_OVERFLOW:
        return make(std::type_identity<EIntOverflow>{}, "Integer overflow");
    case EXCEPTION_PRIV_INSTRUCTION:
        return make(std::type_identity<EPrivilege>{}, "Privileged instruction");
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_STACK_CHECK:
    case STATUS_FLOAT_MULTIPLE_FAULTS:
    case STATUS_FLOAT_MULTIPLE_TRAPS:
        return make(std::type_identity<EInvalidOp>{}, "Invalid floating point operation");
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        return make(std::type_identity<EZeroDivide>{}, "Floating point division by zero");
    case EXCEPTION_FLT_OVERFLOW:
        return make(std::type_identity<EOverflow>{}, "Floating point overflow");
    case EXCEPTION_FLT_UNDERFLOW:
        return make(std::type_identity<EUnderflow>{}, "Floating point underflow");
    default: {
        char text[40];
        std::snprintf(text, sizeof text, "External exception %08lX", static_cast<unsigned long>(record.ExceptionCode));
        return make(std::type_identity<EExternalException>{}, text);
    }
    }
}

// Reads a thread name the program handed over; the pointer may be anything.
std::string ReadForeignName(std::uintptr_t address)
{
    std::string name;
    for (std::size_t i = 0; address && i < 256; ++i) {
        char c = 0;
        if (!TryReadMemory(address + i, &c, 1) || !c)
            break;
        name += c;
    }
    return name;
}

// ---- Handling ----

thread_local bool gInFilter = false;
// Marks the thread whose stack overflow is handled: the same overflow, met again on its way to
// the filter, is not handled twice. A TLS cell made at installation: that thread has no stack left.
constinit TThreadCell gOverflowHandled;
using TCreateThreadProc = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                         LPDWORD);
std::atomic<TCreateThreadProc> gRealCreateThread{nullptr};

bool IsCppThrow(const EXCEPTION_RECORD& record)
{
    return record.ExceptionCode == CppThrowCode || record.ExceptionCode == CppUnwindCode;
}

// How a system exception is handed over: as a failure of the program, or, in a guarded thread
// function, as the end of that thread.
struct TFaultRoute {
    int Source;
    bool CanContinue;
};

constexpr TFaultRoute ProgramFault{hsSystemException, false};
constexpr TFaultRoute ThreadFault{hsThreadExit, ThreadExitCanContinue};

// Hands a system exception (or a C++ throw that reached the filter) to the handling. ThreadId 0:
// the calling thread.
void HandleSystemException(const EXCEPTION_POINTERS& pointers, DWORD threadId, TFaultRoute route) noexcept
{
    try {
        const EXCEPTION_RECORD& record = *pointers.ExceptionRecord;
        CONTEXT context = *pointers.ContextRecord;
        TExceptionParams params;
        params.Kind = ekException;
        params.Source = route.Source;
        params.CanContinue = route.CanContinue;
        params.ThreadId = threadId;
        std::unique_ptr<HxException> mapped;
        if (IsCppThrow(record)) {
            if (const TThrowRecord* thrown = CurrentThrowRecord()) {
                params.ExceptObject = thrown->Object;
                params.ExceptAddress = thrown->Address;
                params.Context = &thrown->Context;
            }
        } else {
            mapped = MapSystemException(record);
            params.ExceptObject = mapped.get();
            params.ExceptAddress = record.ExceptionAddress;
            params.Context = &context;
        }
        EnterExceptionHandling(params);
    } catch (...) {
    }
}

struct TOverflowJob {
    EXCEPTION_POINTERS* Pointers;
    DWORD ThreadId;
    TFaultRoute Route;
};

DWORD WINAPI OverflowThread(void* parameter)
{
    const auto& job = *static_cast<const TOverflowJob*>(parameter);
    AssignThreadName(GetCurrentThreadId(), "-");
    HandleSystemException(*job.Pointers, job.ThreadId, job.Route);
    // The program cannot go on, yet the handling did not end it.
    if (!job.Route.CanContinue)
        TerminateProcess(GetCurrentProcess(), EXCEPTION_STACK_OVERFLOW);
    SetThreadInfo(job.ThreadId);   // the guarded thread ends with the overflow
    return 0;
}

// The faulting thread has almost no stack left: a fresh thread does the work while it waits.
LONG HandleStackOverflow(EXCEPTION_POINTERS* pointers) noexcept
{
    const DWORD self = GetCurrentThreadId();
    // A new thread cannot start while this one holds the loader lock.
    if (self == HandlerThreadId() || IsReportCalculationThread() || IsLoaderLockHeld() || gOverflowHandled.Get())
        return EXCEPTION_CONTINUE_SEARCH;
    gOverflowHandled.Set(reinterpret_cast<void*>(1));
    // Past any wrapped import slot: the wrapper would walk this thread's frames.
    const TCreateThreadProc create = gRealCreateThread.load();
    const bool guarded = InGuardedThreadFunction();
    TOverflowJob job{pointers, self, guarded ? ThreadFault : ProgramFault};
    HANDLE thread = create ? create(nullptr, 0, OverflowThread, &job, 0, nullptr) : nullptr;
    if (!thread)
        return EXCEPTION_CONTINUE_SEARCH;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    // A guarded thread has no stack left to end itself with; passed on, the overflow ends it.
    return EXCEPTION_CONTINUE_SEARCH;
}

// The fault a guarded thread unwinds from, kept for the throw that turns it into an exception.
thread_local EXCEPTION_RECORD tFaultToRaise;
// The next throw on this thread carries a failure that has been reported.
thread_local bool tNextThrowReported = false;

[[noreturn]] void RaiseReportedFault()
{
    ForSystemException(tFaultToRaise, []<class TError>(std::type_identity<TError>, const std::string& message) -> int {
        tNextThrowReported = true;
        throw TError(message);
    });
    std::abort();   // not reached: every branch throws
}

[[noreturn]] void EndProcess(UINT exitCode) noexcept
{
    TerminateProcess(GetCurrentProcess(), exitCode);
    std::_Exit(static_cast<int>(exitCode));
}

// ---- Installed state ----

bool gInstalled = false;
LPTOP_LEVEL_EXCEPTION_FILTER gPreviousFilter = nullptr;
void* gVectoredHandle = nullptr;
std::terminate_handler gPreviousTerminate = nullptr;
void (*gPreviousAbort)(int) = SIG_DFL;

// The C run-time's exit code after abort().
constexpr UINT AbortExitCode = 3;

[[noreturn]] void TerminateEntry()
{
    static thread_local bool entered = false;
    if (!entered) {
        entered = true;
        try {
            TExceptionParams params;
            params.Kind = ekException;
            params.ExceptObject = ExceptionPtrObject(std::current_exception());
            params.Source = hsSystemException;
            params.CanContinue = false;
            EnterExceptionHandling(params);
        } catch (...) {
        }
    }
    EndProcess(AbortExitCode);
}

void AbortEntry(int)
{
    static thread_local bool entered = false;
    if (!entered) {
        entered = true;
        try {
            HxException error("Abnormal program termination");
            TExceptionParams params;
            params.Kind = ekException;
            params.ExceptObject = &error;
            params.ExceptAddress = __builtin_return_address(0);
            params.Source = hsRuntimeError;
            params.CanContinue = false;
            EnterExceptionHandling(params);
        } catch (...) {
        }
    }
    EndProcess(AbortExitCode);
}

}  // namespace

// ---- Throw recording ----

extern "C" [[noreturn]] void __real___cxa_throw(void* object, std::type_info* type, void (*destructor)(void*));

// The destructor's calling convention differs on i686; its value is only passed on.
extern "C" __attribute__((noinline)) void __wrap___cxa_throw(void* object, std::type_info* type,
                                                               void (*destructor)(void*))
{
    if (tNextThrowReported) {
        tNextThrowReported = false;
        MarkReportedObject(object);
    }
    TThrowRecord& record = gThrow;
    record.Object = object;
    record.Type = type;
    record.Address = __builtin_return_address(0);
#if defined(__x86_64__)
    RtlCaptureContext(&record.Context);
    UnwindToCaller(record.Context);
#else
    // The thrower's control registers from this frame.
    const auto* frame = static_cast<const DWORD*>(__builtin_frame_address(0));
    std::memset(&record.Context, 0, sizeof record.Context);
    record.Context.ContextFlags = CONTEXT_CONTROL;
    record.Context.Ebp = frame[0];
    record.Context.Eip = frame[1];
    record.Context.Esp = reinterpret_cast<DWORD>(frame + 2);
#endif
    __real___cxa_throw(object, type, destructor);
}

// ---- Catch ends ----

extern "C" void __real___cxa_end_catch();

namespace {

// A thrown object's header as the run-time library lays it out before the object (a dependent
// exception's header, made by a rethrow of an exception pointer, has the primary object in its first
// cell), the reference count before that, and the per-thread list of caught exceptions.
struct TCaughtHeader {
    void* ExceptionType;   // a dependent exception's primary object
    void* ExceptionDestructor;
    void* UnexpectedHandler;
    void* TerminateHandler;
    TCaughtHeader* NextException;
    int HandlerCount;   // negative once rethrown
    int HandlerSwitchValue;
    const unsigned char* ActionRecord;
    const unsigned char* LanguageSpecificData;
    _Unwind_Ptr CatchTemp;
    void* AdjustedPtr;
    _Unwind_Exception UnwindHeader;
};

struct TRefCountedHeader {
    int ReferenceCount;
    TCaughtHeader Header;
};

struct TCatchGlobals {
    TCaughtHeader* CaughtExceptions;
    unsigned int UncaughtExceptions;
};

constexpr std::uint64_t PrimaryExceptionClass = 0x474e5543432b2b00;     // "GNUCC++\0"
constexpr std::uint64_t DependentExceptionClass = 0x474e5543432b2b01;   // "GNUCC++\1"

// The object that the ending catch frees: its last handler ends, it was not rethrown and no
// exception pointer keeps it. Nullptr otherwise, and for a foreign exception.
void* ObjectFreedByCatchEnd(const TCaughtHeader* caught)
{
    if (!caught || caught->HandlerCount != 1)
        return nullptr;
    void* object = nullptr;
    if (caught->UnwindHeader.exception_class == PrimaryExceptionClass)
        object = const_cast<TCaughtHeader*>(caught + 1);
    else if (caught->UnwindHeader.exception_class == DependentExceptionClass)
        object = caught->ExceptionType;
    if (!object)
        return nullptr;
    const auto* counted = reinterpret_cast<const TRefCountedHeader*>(static_cast<const char*>(object) -
                                                                       sizeof(TRefCountedHeader));
    return __atomic_load_n(&counted->ReferenceCount, __ATOMIC_ACQUIRE) == 1 ? object : nullptr;
}

// The program's reporter settings switch it on.
bool ReporterEnabled()
{
    TSettingsPtr settings = MainModuleSettings();
    if (!settings)
        settings = GetModuleSettings(GetModuleHandleA(nullptr));
    return settings && settings->GetEnabled();
}

// Handling a handled exception may throw and catch on this thread itself.
thread_local bool tInCatchEnd = false;

// The innermost caught exception leaves its last catch: a handled exception of the program, unless
// the object lives on, was reported by the handling already or the reporter itself caught it.
void NoteCatchEnd() noexcept
{
    if (tInCatchEnd || GetCurrentThreadId() == HandlerThreadId() || InExceptionHandlingHere())
        return;
    tInCatchEnd = true;
    try {
        const auto* globals = reinterpret_cast<const TCatchGlobals*>(abi::__cxa_get_globals());
        void* object = globals ? ObjectFreedByCatchEnd(globals->CaughtExceptions) : nullptr;
        if (object && ReporterEnabled() && !IsReportedObject(object) && IsValidObject(object)) {
            const TThrowRecord* record = CurrentThrowRecord();
            HandledExceptionEntry(object, record && record->Object == object ? record->Address : nullptr);
        }
    } catch (...) {
    }
    tInCatchEnd = false;
}

}  // namespace

extern "C" __attribute__((noinline)) void __wrap___cxa_end_catch()
{
    if (HandledExceptionHandlersRegistered())
        NoteCatchEnd();
    __real___cxa_end_catch();
}

extern "C" void __real___cxa_free_exception(void* object);

extern "C" __attribute__((noinline)) void __wrap___cxa_free_exception(void* object)
{
    ForgetReportedObject(object);
    __real___cxa_free_exception(object);
}

void HandledExceptionEntry(void* exceptionObject, void* exceptionAddress)
{
    try {
        TExceptionParams params;
        params.Kind = ekHandledException;
        params.ExceptObject = exceptionObject;
        params.ExceptAddress = exceptionAddress;
        params.Source = hsHandledException;
        params.CanContinue = true;
        params.StackPointer = StackPointerHere();
        params.FramePointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        EnterExceptionHandling(params);
    } catch (...) {
    }
}

const TThrowRecord* CurrentThrowRecord() noexcept
{
    const TThrowRecord& record = gThrow;
    return record.Object ? &record : nullptr;
}

std::uintptr_t HandledExceptionAddress() noexcept
{
    void* object = nullptr;
    void* address = nullptr;
    return CurrentExceptionSource(object, address) ? reinterpret_cast<std::uintptr_t>(address) : 0;
}

TExceptionSources InterceptionSources(std::uintptr_t (*functionEntryOf)(std::uintptr_t)) noexcept
{
    TExceptionSources sources;
    sources.CurrentException = CurrentExceptionSource;
    sources.RecordedException = RecordedExceptionSource;
    sources.ClearRecordedException = ClearRecordedSource;
    sources.IsValidObject = IsValidObject;
    sources.IsAbortObject = IsAbortSource;
    sources.FunctionEntryOf = functionEntryOf;
    return sources;
}

// ---- System exceptions ----

std::unique_ptr<HxException> MapSystemException(const EXCEPTION_RECORD& record)
{
    return ForSystemException(record, []<class TError>(std::type_identity<TError>, const std::string& message) {
        return std::unique_ptr<HxException>(std::make_unique<TError>(message));
    });
}

bool HandleThreadNaming(const EXCEPTION_RECORD& record) noexcept
{
    if (record.ExceptionCode != ThreadNamingCode || record.NumberParameters < 3)
        return false;
    // Type, name, thread id and flags; on x64 the usual packed block makes three cells, with the
    // flags in the upper half of the third.
    const ULONG_PTR* info = record.ExceptionInformation;
    DWORD flags = 0;
    if (record.NumberParameters >= 4)
        flags = static_cast<DWORD>(info[3]);
    else if (sizeof(ULONG_PTR) == 8)
        flags = static_cast<DWORD>(static_cast<std::uint64_t>(info[2]) >> 32);
    else
        return false;
    if (static_cast<DWORD>(info[0]) != 0x1000 || flags != 0)
        return false;
    DWORD threadId = static_cast<DWORD>(info[2]);
    if (threadId == 0xFFFFFFFF)
        threadId = GetCurrentThreadId();
    try {
        // Only stored: telling a debugger again would raise this notification once more.
        const std::string name = ReadForeignName(info[1]);
        if (!name.empty())
            SetThreadInfo(threadId, nullptr, name);
    } catch (...) {
    }
    return true;
}

// ---- Entries ----

void HX_MEMBER_CALL AppHandleExceptionEntry(void*, void* sender)
{
    try {
        if (HWND capture = GetCapture())
            SendMessageA(capture, WM_CANCELMODE, 0, 0);
        TExceptionParams params;
        params.Kind = ekException;
        params.Source = hsAppHandleException;
        params.Extra1 = reinterpret_cast<std::uintptr_t>(sender);
        params.CanContinue = true;
        params.StackPointer = StackPointerHere();
        params.FramePointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        EnterExceptionHandling(params);
    } catch (...) {
    }
}

void HX_MEMBER_CALL AppShowExceptionEntry(void*, std::exception_ptr* error)
{
    try {
        TExceptionParams params;
        params.Kind = ekException;
        params.ExceptObject = error ? ExceptionPtrObject(*error) : nullptr;
        // A thrown object: should it be caught again later, it was reported here.
        MarkReportedObject(params.ExceptObject);
        params.Source = hsAppShowException;
        params.CanContinue = true;
        params.StackPointer = StackPointerHere();
        params.FramePointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        EnterExceptionHandling(params);
    } catch (...) {
    }
}

LONG WINAPI SystemExceptionFilter(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    if (record.ExceptionFlags & EXCEPTION_UNWINDING)
        return gPreviousFilter ? gPreviousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
    // A failure of the handling itself ends the program.
    if (gInFilter)
        return EXCEPTION_EXECUTE_HANDLER;
    gInFilter = true;
    if (record.ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
        HandleStackOverflow(pointers);
    } else if (!IsCppThrow(record) && InGuardedThreadFunction() && !IsLoaderLockHeld()) {
        // The guard's catch never sees a system exception: it ends only its thread, unwinding its
        // frames where they can be. A thread that holds the loader lock cannot end without
        // blocking every other: that fault ends the program.
        HandleSystemException(*pointers, 0, ThreadFault);
        gInFilter = false;
        tFaultToRaise = record;
        if (RedirectFaultToThrow(*pointers->ContextRecord, &RaiseReportedFault))
            return EXCEPTION_CONTINUE_EXECUTION;
        EndGuardedThread();
    } else {
        HandleSystemException(*pointers, 0, ProgramFault);
    }
    gInFilter = false;
    return EXCEPTION_EXECUTE_HANDLER;
}

LONG WINAPI VectoredEntry(EXCEPTION_POINTERS* pointers)
{
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (code == ThreadNamingCode)
        return HandleThreadNaming(*pointers->ExceptionRecord) ? EXCEPTION_CONTINUE_EXECUTION
                                                              : EXCEPTION_CONTINUE_SEARCH;
    // The filter never sees a stack overflow.
    if (code == EXCEPTION_STACK_OVERFLOW)
        return HandleStackOverflow(pointers);
    return EXCEPTION_CONTINUE_SEARCH;
}

void ThreadExitEntry(void* exceptionObject, bool canContinue)
{
    try {
        TExceptionParams params;
        params.Kind = ekException;
        params.ExceptObject = exceptionObject;
        params.Source = hsThreadExit;
        params.CanContinue = canContinue;
        EnterExceptionHandling(params);
    } catch (...) {
    }
}

// ---- Installation ----

void InstallInterceptionEntries(std::uintptr_t (*functionEntryOf)(std::uintptr_t)) noexcept
{
    if (gInstalled)
        return;
    gInstalled = true;
    SetExceptionSources(InterceptionSources(functionEntryOf));
    gRealCreateThread = SystemProc<TCreateThreadProc>("kernel32.dll", "CreateThread");
    gOverflowHandled.Make();
    gPreviousFilter = SetUnhandledExceptionFilter(SystemExceptionFilter);
    gVectoredHandle = AddVectoredExceptionHandler(1, VectoredEntry);
    gPreviousTerminate = std::set_terminate(TerminateEntry);
    gPreviousAbort = std::signal(SIGABRT, AbortEntry);
    if (gPreviousAbort == SIG_ERR)
        gPreviousAbort = SIG_DFL;
    SetThreadExitHandler(ThreadExitEntry);
}

void RemoveInterceptionEntries() noexcept
{
    if (!gInstalled)
        return;
    gInstalled = false;
    SetThreadExitHandler(nullptr);
    // Whatever replaced an entry since stays in place.
    const auto abortHandler = std::signal(SIGABRT, gPreviousAbort);
    if (abortHandler != AbortEntry && abortHandler != SIG_ERR)
        std::signal(SIGABRT, abortHandler);
    const std::terminate_handler current = std::set_terminate(gPreviousTerminate);
    if (current != TerminateEntry)
        std::set_terminate(current);
    if (gVectoredHandle)
        RemoveVectoredExceptionHandler(gVectoredHandle);
    gVectoredHandle = nullptr;
    const LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(gPreviousFilter);
    if (filter != SystemExceptionFilter)
        SetUnhandledExceptionFilter(filter);
    gPreviousFilter = nullptr;
    gPreviousTerminate = nullptr;
    gPreviousAbort = SIG_DFL;
    SetExceptionSources({});
}

bool InterceptionEntriesInstalled() noexcept
{
    return gInstalled;
}
