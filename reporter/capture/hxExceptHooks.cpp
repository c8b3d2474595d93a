#include "hxExceptHooks.h"

#include "hxExceptPause.h"
#include "hxExceptSettingsStore.h"
#include "hxExceptSupport.h"
#include "hxExclusive.h"
#include "hxStackTrace.h"
#include "hxTools.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>

namespace {

// ---- Import slots ----

// Serialises patching and unpatching of import slots.
SRWLOCK gImportLock = SRWLOCK_INIT;

constexpr char InvalidImportTableText[] =
    "The import table is invalid.\r\n\r\nThis way hxExcept can't install the thread hooks.";

void* LoadCell(void** cell)
{
    return InterlockedCompareExchangePointer(cell, nullptr, nullptr);
}

// Replaces the slot's value only when it still is from; the page is made writable meanwhile.
bool ExchangeSlot(void** slot, const void* from, const void* to)
{
    DWORD oldProtect;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_EXECUTE_READWRITE, &oldProtect))
        return false;
    const bool done = InterlockedCompareExchangePointer(slot, const_cast<void*>(to), const_cast<void*>(from)) == from;
    DWORD ignored;
    VirtualProtect(slot, sizeof *slot, oldProtect, &ignored);
    return done;
}

// Calls visit(slot) for each import slot of the module; false when the import table runs out of
// the image. A module without imports is valid.
template <class TVisit>
bool ForEachImportSlot(HMODULE module, TVisit visit)
{
    const TPeView view = TPeView::OfModule(module);
    if (!view.Valid())
        return false;
    const IMAGE_OPTIONAL_HEADER& optional = view.NtHeaders()->OptionalHeader;
    if (optional.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT ||
        optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress == 0)
        return true;
    const IMAGE_DATA_DIRECTORY* directory = view.DataDirectory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (!directory)
        return false;
    constexpr std::size_t MaxEntries = 1 << 20;
    std::uint32_t descriptorRva = directory->VirtualAddress;
    for (std::size_t d = 0; d < MaxEntries; ++d, descriptorRva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor =
            static_cast<const IMAGE_IMPORT_DESCRIPTOR*>(view.At(descriptorRva, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
        if (!descriptor)
            return false;
        if (descriptor->Name == 0 && descriptor->FirstThunk == 0)
            return true;
        std::uint32_t slotRva = descriptor->FirstThunk;
        for (std::size_t s = 0; s < MaxEntries; ++s, slotRva += sizeof(void*)) {
            const void* at = view.At(slotRva, sizeof(void*));
            if (!at)
                return false;
            auto* slot = static_cast<void**>(const_cast<void*>(at));
            if (!*slot)
                break;
            visit(slot);
        }
    }
    return false;
}

void ReportInvalidImportTable()
{
    HxMessageBox(nullptr, InvalidImportTableText, "hxExcept", MB_OK | MB_ICONERROR);
}

// ---- Thread creation ----

using TCreateThread = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                      LPDWORD);

void* gRealCreateThread = nullptr;
std::atomic<TThreadExitHandler> gThreadExitHandler{nullptr};

// Carries the real start to the trampoline; a heap block, freed by the new thread.
struct TThreadStart {
    LPTHREAD_START_ROUTINE Function;
    void* Parameter;
    bool ThreadObject;
};

bool IsThreadObject(const void* parameter)
{
    return IsValidObject(parameter) && IsClassNamed(parameter, "TThread");
}

// Marks the threads inside a guarded thread function. A system TLS cell, not thread_local: the
// overflow handler reads it on threads that have no stack left for a first thread_local access.
constinit TThreadCell gGuard;

// Clears the thread's mark however the function ends.
struct TGuardMark {
    TGuardMark() { gGuard.Set(reinterpret_cast<void*>(1)); }
    ~TGuardMark() { gGuard.Set(nullptr); }
    TGuardMark(const TGuardMark&) = delete;
    TGuardMark& operator=(const TGuardMark&) = delete;
};

// Not inlined: a fault's frames are unwound up to this function's own frame.
__attribute__((noinline)) DWORD RunThreadFunction(const TThreadStart& start)
{
    if (!gThreadExitHandler.load())
        return start.Function(start.Parameter);
    try {
        const TGuardMark mark;
        return start.Function(start.Parameter);
    } catch (...) {
        // A fault that was turned into a throw has been reported already.
        void* object = ExceptionPtrObject(std::current_exception());
        if (IsReportedObject(object))
            return ThreadExitCodeAfterException;
        TThreadExitHandler handler = gThreadExitHandler.load();
        if (!handler)
            throw;
        handler(object, ThreadExitCanContinue);
        return ThreadExitCodeAfterException;
    }
}

DWORD WINAPI ThreadTrampoline(void* parameter)
{
    auto* record = static_cast<TThreadStart*>(parameter);
    const TThreadStart start = *record;
    HeapFree(GetProcessHeap(), 0, record);
    // A thread object is created inside its base constructor; by now its class is the final one.
    if (start.ThreadObject) {
        const std::string className = ObjectClassName(start.Parameter);
        if (!className.empty())
            SetThreadInfo(GetCurrentThreadId(), nullptr, {}, 0, nullptr, className);
    }
    const DWORD result = RunThreadFunction(start);
    SetThreadInfo(GetCurrentThreadId());
    return result;
}

HANDLE WINAPI CreateThreadWrapper(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                  LPTHREAD_START_ROUTINE function, LPVOID parameter, DWORD flags, LPDWORD threadId)
{
    const void* creator = __builtin_return_address(0);
    const auto real = reinterpret_cast<TCreateThread>(LoadCell(&gRealCreateThread));
    if (!real) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    auto* record = function ? static_cast<TThreadStart*>(HeapAlloc(GetProcessHeap(), 0, sizeof(TThreadStart)))
                            : nullptr;
    if (!record)   // nothing to wrap, or no memory for it: the thread starts as asked
        return real(attributes, stackSize, function, parameter, flags, threadId);
    const bool threadObject = IsThreadObject(parameter);
    *record = {function, parameter, threadObject};
    DWORD id = 0;
    // Suspended until its entry exists, so that a quick thread cannot end before it is entered.
    HANDLE thread = real(attributes, stackSize, ThreadTrampoline, record, flags | CREATE_SUSPENDED, &id);
    if (!thread) {
        const DWORD error = GetLastError();
        HeapFree(GetProcessHeap(), 0, record);
        SetLastError(error);
        return nullptr;
    }
    const DWORD error = GetLastError();
    std::string className;
    if (threadObject)
        className = ObjectClassName(parameter);
    SetThreadInfo(id, thread, {}, GetCurrentThreadId(), creator, className);
    if (threadId)
        *threadId = id;
    if (!(flags & CREATE_SUSPENDED))
        ResumeThread(thread);
    SetLastError(error);
    return thread;
}

// ---- Unwinding a guarded thread after a fault ----

#if defined(__x86_64__)

extern "C" EXCEPTION_DISPOSITION __gxx_personality_seh0(PEXCEPTION_RECORD, void*, PCONTEXT, PDISPATCHER_CONTEXT);

// The faulting thread goes on at hxFaultRedirect with r10 = the faulting address + 1 and rax = the
// raising function. It pushes r10 as the return address of a call made by the faulting
// instruction, so the unwinder meets the faulting frame as a caller whose call-site lookup (the
// return address - 1) is the faulting instruction itself; the stub proper realigns the stack and
// calls the raising function. The stub pushes the return address itself: below the faulting stack
// pointer the exception dispatch keeps its records while the filter runs.
asm(R"(
    .text
    .p2align 4
    .def hxFaultRedirect; .scl 3; .type 32; .endef
hxFaultRedirect:
    pushq %r10
    .def hxFaultUnwindStub; .scl 3; .type 32; .endef
    .seh_proc hxFaultUnwindStub
hxFaultUnwindStub:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    callq *%rax
    int3
    .seh_endproc
)");
extern "C" void hxFaultRedirect();

struct TUnwindInfo {
    BYTE VersionAndFlags;
    BYTE SizeOfProlog;
    BYTE CountOfCodes;
    BYTE FrameRegisterAndOffset;
    USHORT UnwindCode[1];
};

// Reads one unsigned LEB128 number; false past the end.
bool ReadUleb(const BYTE*& at, const BYTE* end, std::uint64_t& value)
{
    value = 0;
    for (int shift = 0; at < end && shift < 64; shift += 7) {
        const BYTE byte = *at++;
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80))
            return true;
    }
    return false;
}

// The compiler's call-site table of the function covers the offset: its personality then finds
// the right landing pad (or none) instead of ending the program. Tables in other encodings than
// the compiler writes are not trusted.
bool CallSiteTableCovers(const BYTE* lsda, std::size_t size, std::uint64_t offset)
{
    const BYTE* at = lsda;
    const BYTE* end = lsda + size;
    if (end - at < 3 || at[0] != 0xFF)   // a landing-pad base of its own is not written here
        return false;
    ++at;
    std::uint64_t value = 0;
    if (*at++ != 0xFF && !ReadUleb(at, end, value))   // type table offset
        return false;
    if (at >= end || *at++ != 0x01)   // call sites in LEB128
        return false;
    std::uint64_t tableSize = 0;
    if (!ReadUleb(at, end, tableSize) || tableSize > static_cast<std::uint64_t>(end - at))
        return false;
    const BYTE* tableEnd = at + tableSize;
    while (at < tableEnd) {
        std::uint64_t start = 0, length = 0, landingPad = 0, action = 0;
        if (!ReadUleb(at, tableEnd, start) || !ReadUleb(at, tableEnd, length) ||
            !ReadUleb(at, tableEnd, landingPad) || !ReadUleb(at, tableEnd, action))
            return false;
        if (offset < start)
            return false;
        if (offset - start < length)
            return true;
    }
    return false;
}

// The faulting function's own handler will not end the program for a throw from the faulting
// instruction: it has none, or it is this compiler's with a call site there.
bool FaultingFrameTakesAThrow(DWORD64 imageBase, const RUNTIME_FUNCTION& function, DWORD64 faultAddress)
{
    const auto* info = reinterpret_cast<const TUnwindInfo*>(imageBase + function.UnwindData);
    const BYTE flags = info->VersionAndFlags >> 3;
    if (flags & UNW_FLAG_CHAININFO)
        return false;
    if (!(flags & (UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER)))
        return true;
    const auto* handler = reinterpret_cast<const ULONG*>(&info->UnwindCode[(info->CountOfCodes + 1) & ~1]);
    if (imageBase + *handler != reinterpret_cast<DWORD64>(&__gxx_personality_seh0))
        return false;
    // The call-site table lies within the function's unwind data; its size is bounded by the image.
    const auto* lsda = reinterpret_cast<const BYTE*>(handler + 1);
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(lsda, &region, sizeof region) != sizeof region)
        return false;
    const std::size_t room = reinterpret_cast<const BYTE*>(region.BaseAddress) + region.RegionSize - lsda;
    return CallSiteTableCovers(lsda, room, faultAddress - (imageBase + function.BeginAddress));
}

// One frame up; false when the frame has no unwind data.
bool UnwindFrame(CONTEXT& context, DWORD64 controlPc)
{
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(controlPc, &imageBase, nullptr);
    if (!function)
        return false;
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, controlPc, function, &context, &handlerData, &establisher,
                     nullptr);
    return true;
}

// Every frame from the fault up to the guard can be unwound by a throw.
bool CanUnwindToGuard(const CONTEXT& fault)
{
    DWORD64 imageBase = 0;
    const PRUNTIME_FUNCTION guard =
        RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(&RunThreadFunction), &imageBase, nullptr);
    if (!guard)
        return false;
    const DWORD64 guardBegin = imageBase + guard->BeginAddress;

    DWORD64 faultBase = 0;
    const PRUNTIME_FUNCTION faulting = RtlLookupFunctionEntry(fault.Rip, &faultBase, nullptr);
    if (!faulting || !FaultingFrameTakesAThrow(faultBase, *faulting, fault.Rip))
        return false;
    // The faulting frame unwinds from the address after the fault as it does from the fault itself.
    CONTEXT asFaulted = fault;
    CONTEXT asCalled = fault;
    if (!UnwindFrame(asFaulted, fault.Rip) || !UnwindFrame(asCalled, fault.Rip + 1) ||
        asFaulted.Rip != asCalled.Rip || asFaulted.Rsp != asCalled.Rsp || asFaulted.Rbp != asCalled.Rbp)
        return false;

    const DWORD64 stackBase = ThreadStackTop();
    // Each frame lies above the last one and below the stack's base, which bounds the walk.
    CONTEXT context = asFaulted;
    if (context.Rsp <= fault.Rsp)
        return false;
    while (context.Rsp < stackBase) {
        DWORD64 base = 0;
        const PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
        if (!function)
            return false;
        if (base + function->BeginAddress == guardBegin)
            return true;
        const DWORD64 lastSp = context.Rsp;
        if (!UnwindFrame(context, context.Rip) || context.Rsp <= lastSp)
            return false;
    }
    return false;
}

#endif

// ---- Program exit ----

// The run-time library the program's exit comes from.
constexpr char RuntimeLibrary[] = "msvcrt.dll";

using TExit = void(__cdecl*)(int);

void* gRealExit = nullptr;
std::atomic<TBeforeExitProc> gBeforeExit{nullptr};

void __cdecl ExitWrapper(int exitCode)
{
    if (TBeforeExitProc before = gBeforeExit.load())
        before();
    reinterpret_cast<TExit>(LoadCell(&gRealExit))(exitCode);
}

// ---- Message retrieval ----

using TGetMessage = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT);
using TPeekMessage = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT, UINT);

void* gRealGetMessageA = nullptr;
void* gRealPeekMessageA = nullptr;
void* gRealGetMessageW = nullptr;
void* gRealPeekMessageW = nullptr;
std::atomic<bool> gMessageRetrievalHooked{false};

BOOL WINAPI GetMessageAWrapper(LPMSG msg, HWND window, UINT first, UINT last)
{
    WaitIfPaused();
    return reinterpret_cast<TGetMessage>(LoadCell(&gRealGetMessageA))(msg, window, first, last);
}

BOOL WINAPI PeekMessageAWrapper(LPMSG msg, HWND window, UINT first, UINT last, UINT remove)
{
    WaitIfPaused();
    return reinterpret_cast<TPeekMessage>(LoadCell(&gRealPeekMessageA))(msg, window, first, last, remove);
}

BOOL WINAPI GetMessageWWrapper(LPMSG msg, HWND window, UINT first, UINT last)
{
    WaitIfPaused();
    return reinterpret_cast<TGetMessage>(LoadCell(&gRealGetMessageW))(msg, window, first, last);
}

BOOL WINAPI PeekMessageWWrapper(LPMSG msg, HWND window, UINT first, UINT last, UINT remove)
{
    WaitIfPaused();
    return reinterpret_cast<TPeekMessage>(LoadCell(&gRealPeekMessageW))(msg, window, first, last, remove);
}

struct TMessageHook {
    const char* Function;
    const void* Wrapper;
    void** Real;
};

const TMessageHook MessageHooks[] = {
    {"GetMessageA", reinterpret_cast<const void*>(&GetMessageAWrapper), &gRealGetMessageA},
    {"PeekMessageA", reinterpret_cast<const void*>(&PeekMessageAWrapper), &gRealPeekMessageA},
    {"GetMessageW", reinterpret_cast<const void*>(&GetMessageWWrapper), &gRealGetMessageW},
    {"PeekMessageW", reinterpret_cast<const void*>(&PeekMessageWWrapper), &gRealPeekMessageW},
};

} // namespace

// ---- Import slots ----

int PatchModuleImports(HMODULE module, const void* real, const void* replacement, bool& valid) noexcept
{
    int count = 0;
    valid = ForEachImportSlot(module, [&](void** slot) {
        if (*slot == real && ExchangeSlot(slot, real, replacement))
            ++count;
    });
    return count;
}

int UnpatchModuleImports(HMODULE module, const void* replacement, const void* real) noexcept
{
    int count = 0;
    ForEachImportSlot(module, [&](void** slot) {
        if (*slot == replacement && ExchangeSlot(slot, replacement, real))
            ++count;
    });
    return count;
}

int PatchImportsByName(const char* library, const char* function, const void* real, const void* replacement,
                       void** savedCell, TModuleFilter filter) noexcept
{
    if (!real && library && function)
        if (HMODULE exporter = GetModuleHandleA(library))
            real = reinterpret_cast<const void*>(GetProcAddress(exporter, function));
    if (!real || !replacement || !savedCell || real == replacement)
        return 0;
    int count = 0;
    bool allValid = true;
    {
        TExclusive lock(gImportLock);
        // The wrappers call through the cell, so it is filled before any slot leads to them.
        InterlockedCompareExchangePointer(savedCell, const_cast<void*>(real), nullptr);
        real = LoadCell(savedCell);   // undo writes back what the cell holds
        for (const THxModule& module : GetModuleList()) {
            if (filter && !filter(module.Handle))
                continue;
            bool valid = true;
            count += PatchModuleImports(module.Handle, real, replacement, valid);
            allValid = allValid && valid;
        }
    }
    // One message for the call, shown without holding the lock.
    if (!allValid)
        ReportInvalidImportTable();
    return count;
}

int UnpatchImportsByName(const char*, const char*, const void* replacement, void** savedCell) noexcept
{
    if (!replacement || !savedCell)
        return 0;
    const void* real = LoadCell(savedCell);
    if (!real)
        return 0;
    TExclusive lock(gImportLock);
    int count = 0;
    for (const THxModule& module : GetModuleList())
        count += UnpatchModuleImports(module.Handle, replacement, real);
    return count;
}

// ---- Thread creation ----

bool CarriesReporterResources(HMODULE module) noexcept
{
    return module && (FindResourceA(module, "EXCEPT", "HX") != nullptr || FindSettingsResource(module) != nullptr);
}

int HookThreadCreation() noexcept
{
    // Made now: the overflow handler reads the cell with almost no stack left.
    gGuard.Make();
    return PatchImportsByName("kernel32.dll", "CreateThread", nullptr,
                              reinterpret_cast<const void*>(&CreateThreadWrapper), &gRealCreateThread,
                              &CarriesReporterResources);
}

void UnhookThreadCreation() noexcept
{
    UnpatchImportsByName("kernel32.dll", "CreateThread", reinterpret_cast<const void*>(&CreateThreadWrapper),
                         &gRealCreateThread);
}

void SetThreadExitHandler(TThreadExitHandler handler) noexcept
{
    gThreadExitHandler = handler;
}

bool InGuardedThreadFunction() noexcept
{
    return gGuard.Get() && gThreadExitHandler.load();
}

void EndGuardedThread() noexcept
{
    gGuard.Set(nullptr);
    SetThreadInfo(GetCurrentThreadId());
    ExitThread(ThreadExitCodeAfterException);
}

bool RedirectFaultToThrow(CONTEXT& context, void (*raise)()) noexcept
{
#if defined(__x86_64__)
    if (!raise || !gGuard.Get() || !CanUnwindToGuard(context))
        return false;
    context.R10 = context.Rip + 1;
    context.Rax = reinterpret_cast<DWORD64>(raise);
    context.Rip = reinterpret_cast<DWORD64>(&hxFaultRedirect);
    return true;
#else
    // The i686 build's exception tables are not read here: its threads end in place.
    (void)context;
    (void)raise;
    return false;
#endif
}

// ---- Program exit ----

int HookProgramExit(TBeforeExitProc beforeExit) noexcept
{
    gBeforeExit = beforeExit;
    return PatchImportsByName(RuntimeLibrary, "exit", nullptr, reinterpret_cast<const void*>(&ExitWrapper), &gRealExit,
                              &CarriesReporterResources);
}

void UnhookProgramExit() noexcept
{
    UnpatchImportsByName(RuntimeLibrary, "exit", reinterpret_cast<const void*>(&ExitWrapper), &gRealExit);
    gBeforeExit = nullptr;
}

// ---- Message retrieval ----

void HookMessageRetrieval() noexcept
{
    // Slots that lead to the wrappers already are left alone: a further call takes only the
    // modules loaded since.
    gMessageRetrievalHooked = true;
    for (const TMessageHook& hook : MessageHooks)
        PatchImportsByName("user32.dll", hook.Function, nullptr, hook.Wrapper, hook.Real);
}

void UnhookMessageRetrieval() noexcept
{
    if (!gMessageRetrievalHooked.exchange(false))
        return;
    for (const TMessageHook& hook : MessageHooks)
        UnpatchImportsByName("user32.dll", hook.Function, hook.Wrapper, hook.Real);
}

bool MessageRetrievalHooked() noexcept
{
    return gMessageRetrievalHooked.load();
}
