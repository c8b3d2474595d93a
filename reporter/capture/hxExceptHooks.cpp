#include "hxExceptHooks.h"

#include "hxExceptPause.h"
#include "hxExceptSettingsStore.h"
#include "hxExceptSupport.h"
#include "hxExclusive.h"
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

// Marks the threads inside a guarded thread function. A system TLS slot, not thread_local: the
// overflow handler reads it on threads that have no stack left for a first thread_local access.
const DWORD gGuardSlot = TlsAlloc();

void SetGuarded(bool guarded)
{
    if (gGuardSlot != TLS_OUT_OF_INDEXES)
        TlsSetValue(gGuardSlot, guarded ? reinterpret_cast<void*>(1) : nullptr);
}

// Clears the thread's mark however the function ends.
struct TGuardMark {
    TGuardMark() { SetGuarded(true); }
    ~TGuardMark() { SetGuarded(false); }
    TGuardMark(const TGuardMark&) = delete;
    TGuardMark& operator=(const TGuardMark&) = delete;
};

DWORD RunThreadFunction(const TThreadStart& start)
{
    if (!gThreadExitHandler.load())
        return start.Function(start.Parameter);
    try {
        const TGuardMark mark;
        return start.Function(start.Parameter);
    } catch (...) {
        TThreadExitHandler handler = gThreadExitHandler.load();
        if (!handler)
            throw;
        handler(ExceptionPtrObject(std::current_exception()), ThreadExitCanContinue);
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
    return gGuardSlot != TLS_OUT_OF_INDEXES && TlsGetValue(gGuardSlot) && gThreadExitHandler.load();
}

void EndGuardedThread() noexcept
{
    SetGuarded(false);
    SetThreadInfo(GetCurrentThreadId());
    ExitThread(ThreadExitCodeAfterException);
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
