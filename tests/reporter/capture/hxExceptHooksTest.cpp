#include "hxExceptHooks.h"

#include "hxExceptPause.h"
#include "hxExceptSettingsStore.h"
#include "hxExceptSupport.h"
#include "hxTools.h"

#include "SteppedWorker.h"

#include "Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// Thread objects and exceptions with names of their own for the table and the exit handler.
class THooksProbeThread : public TThread {
public:
    HANDLE Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE Running = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~THooksProbeThread() override
    {
        SetEvent(Release);
        StopAndWait();
        CloseHandle(Release);
        CloseHandle(Running);
    }

protected:
    void Execute() override
    {
        SetEvent(Running);
        WaitForSingleObject(Release, INFINITE);
    }
};

class THooksProbeError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

namespace {

// The import address tables of every loaded module, copied byte for byte.
std::map<HMODULE, std::vector<unsigned char>> ImportTables()
{
    std::map<HMODULE, std::vector<unsigned char>> tables;
    for (const THxModule& module : GetModuleList()) {
        const TPeView view = TPeView::OfModule(module.Handle);
        const IMAGE_DATA_DIRECTORY* iat = view.DataDirectory(IMAGE_DIRECTORY_ENTRY_IAT);
        if (!iat || iat->Size == 0)
            continue;
        const auto* bytes = static_cast<const unsigned char*>(view.At(iat->VirtualAddress, iat->Size));
        if (bytes)
            tables[module.Handle].assign(bytes, bytes + iat->Size);
    }
    return tables;
}

// Tables of modules loaded at both times must be equal.
void ExpectSameImportTables(const std::map<HMODULE, std::vector<unsigned char>>& before)
{
    for (const auto& [module, bytes] : ImportTables()) {
        auto it = before.find(module);
        if (it != before.end()) {
            EXPECT_TRUE(it->second == bytes) << GetModuleFileNameStr(module);
        }
    }
}

// The own executable's import slot that holds value.
void** OwnSlotHolding(const void* value)
{
    const TPeView view = TPeView::OfModule(GetModuleHandleA(nullptr));
    const IMAGE_DATA_DIRECTORY* iat = view.DataDirectory(IMAGE_DIRECTORY_ENTRY_IAT);
    if (!iat)
        return nullptr;
    auto* slots = static_cast<void**>(const_cast<void*>(view.At(iat->VirtualAddress, iat->Size)));
    for (std::size_t i = 0; slots && i < iat->Size / sizeof(void*); ++i)
        if (slots[i] == value)
            return &slots[i];
    return nullptr;
}

void WriteSlot(void** slot, void* value)
{
    DWORD old;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old, &old);
}

std::atomic<int> gMessageBoxes{0};
int WINAPI CountMessageBox(HWND, LPCSTR, LPCSTR, UINT)
{
    ++gMessageBoxes;
    return IDOK;
}

UINT WINAPI FakeOemCodePage()
{
    return 4242;
}

// The compiler may keep an import's address across calls; this reads the slot on every call.
__attribute__((noinline, noipa)) UINT OemCodePage()
{
    return GetOEMCP();
}

UINT WINAPI OtherOemCodePage()
{
    return 99;
}

std::atomic<bool> gGuardedInside{false};

DWORD WINAPI EndingGuardedWorker(void*)
{
    gGuardedInside = InGuardedThreadFunction();
    EndGuardedThread();
}

DWORD WINAPI ThrowingWorker(void*)
{
    throw THooksProbeError("worker failed");
}

struct TTableEntry {
    bool Found = false;
    DWORD CreatorThreadId = 0;
    const void* CreatorAddress = nullptr;
    std::string ClassName;
};

TTableEntry FindEntry(DWORD threadId)
{
    TTableEntry result;
    THxThreadTable* table = ModuleThreadTable().Table();
    if (!table || WaitForSingleObject(table->ListMutex, 5000) != WAIT_OBJECT_0)
        return result;
    for (const THxThreadEntry* entry = table->Head; entry; entry = entry->Next)
        if (entry->ThreadId == threadId) {
            result.Found = true;
            result.CreatorThreadId = static_cast<DWORD>(entry->CreatorThreadId);
            result.CreatorAddress = entry->CreatorAddress;
            result.ClassName = entry->ClassName ? entry->ClassName : "";
            break;
        }
    ReleaseMutex(table->ListMutex);
    return result;
}

// Opens the thread table and counts message boxes for the test's time.
class HxExceptHooks : public ::testing::Test {
protected:
    void SetUp() override
    {
        DWORD mainThread = 0;
        ASSERT_EQ(ModuleThreadTable().Open(mainThread), TThreadTableResult::Opened);
        gMessageBoxes = 0;
        previousBox_ = SetHxMessageBoxHook(CountMessageBox);
    }
    void TearDown() override
    {
        UnhookThreadCreation();
        UnhookMessageRetrieval();
        SetThreadExitHandler(nullptr);
        SetHxMessageBoxHook(previousBox_);
        ModuleThreadTable().Close();
        EXPECT_EQ(gMessageBoxes.load(), 0);
    }
    THxMessageBoxProc previousBox_ = nullptr;
};

// A worker's round that retrieves messages first.
void PeekOnce()
{
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

constexpr DWORD kWorkerExitCode = 17;

DWORD WINAPI StopWatchThread(void*)
{
    StopFreezeWatch();
    return 0;
}

} // namespace

TEST_F(HxExceptHooks, ImportSlotsAreRedirectedAndRestored)
{
    const auto before = ImportTables();
    ASSERT_TRUE(before.count(GetModuleHandleA(nullptr)));
    const void* real = reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetOEMCP"));
    const UINT codePage = OemCodePage();

    void* saved = nullptr;
    EXPECT_GE(PatchImportsByName("kernel32.dll", "GetOEMCP", nullptr, reinterpret_cast<const void*>(&FakeOemCodePage),
                                 &saved),
              1);
    EXPECT_EQ(saved, real);
    EXPECT_EQ(OemCodePage(), 4242u);
    EXPECT_GE(UnpatchImportsByName("kernel32.dll", "GetOEMCP", reinterpret_cast<const void*>(&FakeOemCodePage), &saved),
              1);
    EXPECT_EQ(OemCodePage(), codePage);
    ExpectSameImportTables(before);

    // A slot that someone else changed meanwhile keeps his value.
    PatchImportsByName("kernel32.dll", "GetOEMCP", nullptr, reinterpret_cast<const void*>(&FakeOemCodePage), &saved);
    void** slot = OwnSlotHolding(reinterpret_cast<const void*>(&FakeOemCodePage));
    ASSERT_NE(slot, nullptr);
    WriteSlot(slot, reinterpret_cast<void*>(&OtherOemCodePage));
    UnpatchImportsByName("kernel32.dll", "GetOEMCP", reinterpret_cast<const void*>(&FakeOemCodePage), &saved);
    EXPECT_EQ(*slot, reinterpret_cast<void*>(&OtherOemCodePage));
    WriteSlot(slot, const_cast<void*>(real));
    ExpectSameImportTables(before);
}

TEST_F(HxExceptHooks, BrokenImportTableIsInvalid)
{
    // A made-up image whose import directory leads out of it, then one with a slot to redirect.
    unsigned char* image = static_cast<unsigned char*>(VirtualAlloc(nullptr, 0x2000, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(image, nullptr);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(image);
    dos->e_magic = IMAGE_DOS_SIGNATURE;
    dos->e_lfanew = 0x40;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(image + 0x40);
    nt->Signature = IMAGE_NT_SIGNATURE;
    nt->FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER);
    nt->OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR_MAGIC;
    nt->OptionalHeader.SizeOfImage = 0x2000;
    nt->OptionalHeader.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
    IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const HMODULE module = reinterpret_cast<HMODULE>(image);
    const void* real = reinterpret_cast<const void*>(&GetOEMCP);
    const void* replacement = reinterpret_cast<const void*>(&FakeOemCodePage);

    bool valid = true;
    imports = {0x1FF0, 2 * sizeof(IMAGE_IMPORT_DESCRIPTOR)};
    EXPECT_EQ(PatchModuleImports(module, real, replacement, valid), 0);
    EXPECT_FALSE(valid);

    imports = {0x1000, 2 * sizeof(IMAGE_IMPORT_DESCRIPTOR)};
    auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(image + 0x1000);
    descriptor->Name = 0x1200;
    descriptor->FirstThunk = 0x2000 - sizeof(void*) / 2;   // the first slot runs out of the image
    valid = true;
    PatchModuleImports(module, real, replacement, valid);
    EXPECT_FALSE(valid);

    descriptor->FirstThunk = 0x1100;
    auto* slots = reinterpret_cast<const void**>(image + 0x1100);
    const void* other = reinterpret_cast<const void*>(&OtherOemCodePage);
    slots[0] = other;
    slots[1] = real;
    valid = false;
    EXPECT_EQ(PatchModuleImports(module, real, replacement, valid), 1);
    EXPECT_TRUE(valid);
    EXPECT_EQ(slots[0], other);
    EXPECT_EQ(slots[1], replacement);
    EXPECT_EQ(UnpatchModuleImports(module, replacement, real), 1);
    EXPECT_EQ(slots[0], other);
    EXPECT_EQ(slots[1], real);
    VirtualFree(image, 0, MEM_RELEASE);
}

TEST_F(HxExceptHooks, WrappedThreadsAreListedWithTheirCreatorWhileTheyRun)
{
    const auto before = ImportTables();
    ASSERT_TRUE(CarriesReporterResources(GetModuleHandleA(nullptr)));
    ASSERT_GE(HookThreadCreation(), 1);
    EXPECT_EQ(HookThreadCreation(), 0);   // the slots lead to the wrapper already

    DWORD id = 0;
    HANDLE thread = nullptr;
    {
        TSteppedWorker worker({}, kWorkerExitCode);
        id = worker.Id;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), worker.Thread, GetCurrentProcess(), &thread, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS));
        EXPECT_EQ(GetThreadId(thread), id);
        ASSERT_TRUE(worker.PassesWithin(5000));
        const TTableEntry entry = FindEntry(id);
        EXPECT_TRUE(entry.Found);
        EXPECT_EQ(entry.CreatorThreadId, GetCurrentThreadId());
        EXPECT_EQ(ModuleOfAddress(entry.CreatorAddress), GetModuleHandleA(nullptr));
        EXPECT_TRUE(IsReporterThread(id));
        EXPECT_TRUE(entry.ClassName.empty());
    }
    DWORD exitCode = 0;
    GetExitCodeThread(thread, &exitCode);
    EXPECT_EQ(exitCode, kWorkerExitCode);   // the function's own result
    CloseHandle(thread);
    EXPECT_FALSE(FindEntry(id).Found);

    // A thread object is listed under its final class, though it was created in the base constructor.
    {
        THooksProbeThread probe;
        probe.Start();
        ASSERT_EQ(WaitForSingleObject(probe.Running, 5000), WAIT_OBJECT_0);
        EXPECT_EQ(FindEntry(probe.ThreadID()).ClassName, "THooksProbeThread");
        EXPECT_EQ(FindEntry(probe.ThreadID()).CreatorThreadId, GetCurrentThreadId());
    }

    UnhookThreadCreation();
    ExpectSameImportTables(before);
}

TEST_F(HxExceptHooks, EscapingExceptionReachesTheExitHandler)
{
    static std::atomic<int> calls{0};
    static std::string message, className;
    static bool canContinue = false;
    calls = 0;
    SetThreadExitHandler([](void* object, bool mayContinue) {
        ++calls;
        className = ObjectClassName(object);
        message = static_cast<THooksProbeError*>(object)->what();
        canContinue = mayContinue;
    });
    ASSERT_GE(HookThreadCreation(), 1);

    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &ThrowingWorker, nullptr, 0, &id);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeThread(thread, &exitCode);
    CloseHandle(thread);
    EXPECT_EQ(exitCode, ThreadExitCodeAfterException);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(className, "THooksProbeError");
    EXPECT_EQ(message, "worker failed");
    EXPECT_TRUE(canContinue);
    EXPECT_FALSE(FindEntry(id).Found);
}

// What a fault filter does in a wrapped thread: it asks whether the guard holds, then ends the thread.
TEST_F(HxExceptHooks, GuardedThreadEndsLikeAfterAnEscapingException)
{
    SetThreadExitHandler([](void*, bool) {});
    ASSERT_GE(HookThreadCreation(), 1);
    EXPECT_FALSE(InGuardedThreadFunction());

    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &EndingGuardedWorker, nullptr, 0, &id);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeThread(thread, &exitCode);
    CloseHandle(thread);
    EXPECT_TRUE(gGuardedInside.load());
    EXPECT_EQ(exitCode, ThreadExitCodeAfterException);
    EXPECT_FALSE(FindEntry(id).Found);
}

TEST_F(HxExceptHooks, PausedThreadWaitsInMessageRetrieval)
{
    const auto before = ImportTables();
    ASSERT_GE(HookThreadCreation(), 1);
    HookMessageRetrieval();
    EXPECT_TRUE(MessageRetrievalHooked());
    const void* peek = reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "PeekMessageA"));
    EXPECT_EQ(OwnSlotHolding(peek), nullptr);

    {
        TSteppedWorker retriever(PeekOnce), runner;
        ASSERT_TRUE(IsReporterThread(retriever.Id));
        ASSERT_TRUE(IsReporterThread(runner.Id));
        EXPECT_TRUE(retriever.PassesWithin(2000));

        PauseOtherThreads(true, 0);
        EXPECT_FALSE(retriever.PassesWithin(300));
        EXPECT_TRUE(runner.PassesWithin(2000));   // never retrieves messages: runs on
        PauseOtherThreads(false, 0);
        EXPECT_EQ(WaitForSingleObject(retriever.Passed, 2000), WAIT_OBJECT_0);
    }

    UnhookMessageRetrieval();
    EXPECT_FALSE(MessageRetrievalHooked());
    UnhookThreadCreation();
    ExpectSameImportTables(before);
}

TEST_F(HxExceptHooks, FreezeWatchHasNoCreatorAndStopsWhileThreadsArePaused)
{
    const auto before = ImportTables();
    ASSERT_GE(HookThreadCreation(), 1);
    HookMessageRetrieval();
    constexpr int timeout = 1000;   // pings every 100 ms
    ASSERT_TRUE(StartFreezeWatch(timeout));
    const DWORD watch = FreezeWatchThreadId();
    const TTableEntry entry = FindEntry(watch);
    EXPECT_TRUE(entry.Found);   // listed by its name
    EXPECT_EQ(entry.CreatorThreadId, 0u);
    EXPECT_EQ(entry.CreatorAddress, nullptr);
    EXPECT_FALSE(IsReporterThread(watch));

    // A paused watch would wait in its next PeekMessage, a few pings from now, and never end.
    PauseOtherThreads(true, 0);
    Sleep(3 * timeout / 10);
    HANDLE stopper = CreateThread(nullptr, 0, StopWatchThread, nullptr, 0, nullptr);
    ASSERT_NE(stopper, nullptr);
    const bool stopped = WaitForSingleObject(stopper, 5000) == WAIT_OBJECT_0;
    PauseOtherThreads(false, 0);
    WaitForSingleObject(stopper, INFINITE);
    CloseHandle(stopper);
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(FreezeWatchRunning());
    EXPECT_FALSE(FindEntry(watch).Found);

    UnhookMessageRetrieval();
    UnhookThreadCreation();
    ExpectSameImportTables(before);
}

TEST_F(HxExceptHooks, ProgramExitLeadsToTheWrapperUntilUnhooked)
{
    const auto before = ImportTables();
    const void* exitRoutine = reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "exit"));
    ASSERT_NE(OwnSlotHolding(exitRoutine), nullptr);
    EXPECT_GE(HookProgramExit([] {}), 1);
    EXPECT_EQ(OwnSlotHolding(exitRoutine), nullptr);
    UnhookProgramExit();
    ExpectSameImportTables(before);
}
