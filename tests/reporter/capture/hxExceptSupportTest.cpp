#include "hxExceptSupport.h"

#include "hxCrypt.h"
#include "hxDisAsm.h"
#include "hxStrings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" __attribute__((noinline)) int SupportCallee(int value)
{
    asm volatile("" ::: "memory");
    return value * 3;
}

extern "C" __attribute__((noinline)) int SupportCaller(int value)
{
    return SupportCallee(value) + SupportCallee(value + 1);
}

namespace supporttest {
struct EAbort : std::exception {};
struct ESilent : EAbort {};
struct TMixin {
    virtual ~TMixin() = default;
};
struct EMixed : TMixin, ESilent {};
} // namespace supporttest

namespace {

std::string Hex(DWORD id)
{
    return "$" + CardinalToHex(id);
}

// A thread that waits until the test lets it go.
struct TParkedThread {
    HANDLE Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD Id = 0;
    HANDLE Handle = CreateThread(nullptr, 0, &Park, Release, 0, &Id);

    ~TParkedThread()
    {
        Finish();
        CloseHandle(Release);
    }
    void Finish()
    {
        SetEvent(Release);
        if (!Handle)
            return;
        const bool ended = WaitForSingleObject(Handle, 10000) == WAIT_OBJECT_0;
        EXPECT_TRUE(ended) << "the parked thread did not end";
        CloseHandle(Handle);
        Handle = nullptr;
    }
    static DWORD WINAPI Park(void* event) { return WaitForSingleObject(event, INFINITE); }
};

// ---- Threads ----

TEST(HxExceptSupport, ThreadListStartsWithTheOldestThread)
{
    TParkedThread worker;
    const std::vector<DWORD> ids = GetThreadList();
    ASSERT_GE(ids.size(), 2u);
    // GoogleTest runs the tests on the process's first thread.
    EXPECT_EQ(ids.front(), GetCurrentThreadId());
    EXPECT_EQ(ids.back(), worker.Id);
}

bool TableHolds(DWORD threadId)
{
    for (const THxThreadEntry* entry = ModuleThreadTable().Table()->Head; entry; entry = entry->Next)
        if (entry->ThreadId == threadId)
            return true;
    return false;
}

TEST(HxExceptSupport, ThreadTableNamesThreads)
{
    DWORD mainThread = 0;
    ASSERT_EQ(ModuleThreadTable().Open(mainThread), TThreadTableResult::Opened);
    EXPECT_EQ(mainThread, GetCurrentThreadId());
    EXPECT_EQ(GetThreadName(mainThread, false), "main thread (" + Hex(mainThread) + ")");

    TParkedThread worker, helper;
    const DWORD id = worker.Id;
    EXPECT_EQ(GetThreadName(id, false), "thread " + Hex(id));
    SetThreadInfo(id, worker.Handle, "scan", mainThread, reinterpret_cast<const void*>(&SupportCaller), "TScanThread");
    const void* creator = nullptr;
    DWORD creatorThread = 0;
    EXPECT_EQ(GetThreadName(id, false, &creator, &creatorThread), "scan (" + Hex(id) + ")");
    EXPECT_EQ(creator, reinterpret_cast<const void*>(&SupportCaller));
    EXPECT_EQ(creatorThread, mainThread);

    // Empty new values keep the old ones; a thread with a creator but no name shows its class.
    SetThreadInfo(id, nullptr, "", 0, nullptr, "TOtherThread");
    EXPECT_EQ(GetThreadName(id, false, &creator), "scan (" + Hex(id) + ")");
    EXPECT_EQ(creator, reinterpret_cast<const void*>(&SupportCaller));
    SetThreadInfo(id);
    SetThreadInfo(id, nullptr, "", mainThread, nullptr, "TOtherThread");
    EXPECT_EQ(GetThreadName(id, false), "thread " + Hex(id) + " (TOtherThread)");
    SetThreadInfo(id);
    EXPECT_EQ(GetThreadName(id, false), "thread " + Hex(id));
    EXPECT_FALSE(TableHolds(id));

    // The reporter's own threads never show by name.
    AssignThreadName(helper.Id, "-");
    EXPECT_EQ(GetThreadName(helper.Id, false), "");
    EXPECT_EQ(GetThreadName(helper.Id, true), "thread " + Hex(helper.Id));

    // An ended thread's entry goes at the next change.
    AssignThreadName(id, "short-lived");
    worker.Finish();
    EXPECT_TRUE(TableHolds(id));
    AssignThreadName(helper.Id, "-");
    EXPECT_FALSE(TableHolds(id));
    EXPECT_TRUE(TableHolds(helper.Id));

    // Another module of the process shares the table; the last one closes it.
    THxThreadTableLink other;
    DWORD otherMain = 0;
    ASSERT_EQ(other.Open(otherMain), TThreadTableResult::Opened);
    EXPECT_EQ(otherMain, mainThread);
    EXPECT_EQ(ModuleThreadTable().Table()->RefCount, 2);
    other.Close();
    EXPECT_EQ(ModuleThreadTable().Table()->RefCount, 1);
    ModuleThreadTable().Close();
    EXPECT_EQ(GetThreadName(mainThread, false), "thread " + Hex(mainThread));
    HANDLE gone = OpenFileMappingA(FILE_MAP_READ, FALSE, ThreadTableName(GetCurrentProcessId()).c_str());
    EXPECT_EQ(gone, nullptr);
    if (gone)
        CloseHandle(gone);
}

TEST(HxExceptSupport, ThreadStateAndSuspension)
{
    TParkedThread worker;
    ASSERT_TRUE(SetThreadPriority(worker.Handle, THREAD_PRIORITY_ABOVE_NORMAL));
    EXPECT_FALSE(IsThreadSuspended(worker.Id, worker.Handle));
    TThreadState state;
    {
        // Resumed on every way out, so that a failed check cannot leave the worker unable to end.
        struct TSuspension {
            HANDLE Thread;
            bool Held = SuspendThread(Thread) != DWORD(-1);
            ~TSuspension() { if (Held) ResumeThread(Thread); }
        } suspension{worker.Handle};
        ASSERT_TRUE(suspension.Held);
        EXPECT_TRUE(IsThreadSuspended(worker.Id, worker.Handle));
        ASSERT_TRUE(GetThreadState(worker.Id, state));
        EXPECT_TRUE(state.Suspended);
        EXPECT_EQ(state.Priority, THREAD_PRIORITY_ABOVE_NORMAL);
        EXPECT_LT(state.StackPointer, state.StackEnd);
        EXPECT_NE(state.InstructionPointer, 0u);
    }
    EXPECT_FALSE(IsThreadSuspended(worker.Id, worker.Handle));

    // The calling thread: never suspended, its stack holds this function's locals.
    EXPECT_FALSE(IsThreadSuspended(GetCurrentThreadId(), GetCurrentThread()));
    ASSERT_TRUE(GetThreadState(GetCurrentThreadId(), state));
    const auto local = reinterpret_cast<std::uintptr_t>(&state);
    EXPECT_FALSE(state.Suspended);
    EXPECT_LT(local, state.StackEnd);
    EXPECT_FALSE(GetThreadState(0xfffffff0u, state));
}

// ---- Modules, paths, temporary folder ----

TEST(HxExceptSupport, ModulesAndPaths)
{
    const std::vector<THxModule> modules = GetModuleList();
    for (const char* name : {static_cast<const char*>(nullptr), "kernel32.dll", "ntdll.dll"}) {
        const HMODULE module = GetModuleHandleA(name);
        auto found =
            std::find_if(modules.begin(), modules.end(), [&](const THxModule& m) { return m.Handle == module; });
        ASSERT_NE(found, modules.end());
        EXPECT_EQ(found->Name, GetModuleFileNameStr(module));
    }
    EXPECT_EQ(FileNameOfPath("c:\\app\\App.exe"), "App.exe");
    EXPECT_EQ(FileNameOfPath("d:App.exe"), "App.exe");
    EXPECT_EQ(FolderOfPath("c:\\app\\App.exe"), "c:\\app\\");
    EXPECT_EQ(FolderOfPath("App.exe"), "");
    EXPECT_EQ(StripFileExtension("c:\\app\\App.tar.gz"), "c:\\app\\App.tar");
    EXPECT_EQ(StripFileExtension("c:\\app.d\\App"), "c:\\app.d\\App");
    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = sizeof computer;
    ASSERT_TRUE(GetComputerNameA(computer, &length));
    EXPECT_EQ(GetComputerNameStr(), computer);
}

TEST(HxExceptSupport, ReportTempFolderIsNamedAfterTheExecutable)
{
    char temp[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, temp);
    ASSERT_GT(length, 0u);
    std::string expected(temp, length);
    if (expected.back() != '\\')
        expected += '\\';
    const std::string folder = GetReportTempFolder();
    EXPECT_EQ(folder, expected + "ReporterCaptureTests.hxExcept\\");
    const std::string file = folder + "screenshot.png";
    HANDLE created = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    ClearReportTempFolder();
    EXPECT_EQ(GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA(folder.c_str()), INVALID_FILE_ATTRIBUTES);
}

// ---- Registry, clock, security, loader lock ----

TEST(HxExceptSupport, RegistryStrings)
{
    const std::string key = "Software\\HivesweepTest-" + std::to_string(GetCurrentProcessId());
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, key, "Missing"), "");
    ASSERT_TRUE(RegWriteString(HKEY_CURRENT_USER, key, "Text", "hello"));
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, key, "Text"), "hello");

    HKEY opened = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_ALL_ACCESS, &opened), ERROR_SUCCESS);
    const DWORD number = 0x64636261;
    RegSetValueExA(opened, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    RegSetValueExA(opened, "Open", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3);
    RegCloseKey(opened);
    // Other types come as their raw bytes; a text without its terminating zero ends with its data.
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, key, "Number"), "abcd");
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, key, "Open"), "abc");

    EXPECT_TRUE(RegRemoveValue(HKEY_CURRENT_USER, key, "Text"));
    EXPECT_FALSE(RegRemoveValue(HKEY_CURRENT_USER, key, "Text"));
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, key, "Text"), "");
    EXPECT_FALSE(RegRemoveValue(HKEY_CURRENT_USER, key + "\\Missing", "Text"));
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str()), ERROR_SUCCESS);
}

TEST(HxExceptSupport, ClockAndOpenDescriptor)
{
    auto seconds = [] {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return ((std::uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000000u;
    };
    const std::uint64_t before = seconds();
    const std::uint64_t clock = CurrentTimeSeconds();
    EXPECT_LE(before, clock);
    EXPECT_LE(clock, seconds());

    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    InitNullDaclAttributes(attributes, descriptor);
    EXPECT_FALSE(attributes.bInheritHandle);
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = reinterpret_cast<PACL>(1);
    ASSERT_TRUE(GetSecurityDescriptorDacl(attributes.lpSecurityDescriptor, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, nullptr);
}

using TLockLoader = LONG(WINAPI*)(ULONG, ULONG*, ULONG_PTR*);
using TUnlockLoader = LONG(WINAPI*)(ULONG, ULONG_PTR);
using TPebLock = void(WINAPI*)();

template <class Proc>
Proc NtdllProc(const char* name)
{
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name)));
}

TEST(HxExceptSupport, LoaderLockCountsOnlyForItsOwner)
{
    auto lock = NtdllProc<TLockLoader>("LdrLockLoaderLock");
    auto unlock = NtdllProc<TUnlockLoader>("LdrUnlockLoaderLock");
    auto acquirePeb = NtdllProc<TPebLock>("RtlAcquirePebLock");
    auto releasePeb = NtdllProc<TPebLock>("RtlReleasePebLock");
    ASSERT_TRUE(lock && unlock && acquirePeb && releasePeb);

    // The observer starts before the lock is taken: a new thread would wait for the loader lock.
    struct TObserver {
        HANDLE Ask = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        HANDLE Answered = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        bool Quit = false;
        bool Held = true;
    } observer;
    struct TObserve {
        static DWORD WINAPI Run(void* p)
        {
            auto* o = static_cast<TObserver*>(p);
            while (WaitForSingleObject(o->Ask, INFINITE) == WAIT_OBJECT_0 && !o->Quit) {
                o->Held = IsLoaderLockHeld();
                SetEvent(o->Answered);
            }
            return 0;
        }
    };
    HANDLE thread = CreateThread(nullptr, 0, &TObserve::Run, &observer, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    auto observed = [&] {
        SetEvent(observer.Ask);
        WaitForSingleObject(observer.Answered, INFINITE);
        return observer.Held;
    };

    // Its first answer also tells that its start-up, which takes the loader lock, is over.
    EXPECT_FALSE(observed());
    EXPECT_FALSE(IsLoaderLockHeld());
    ULONG_PTR cookie = 0;
    ASSERT_GE(lock(0, nullptr, &cookie), 0);
    EXPECT_TRUE(IsLoaderLockHeld());
    EXPECT_FALSE(observed());
    unlock(0, cookie);
    EXPECT_FALSE(IsLoaderLockHeld());

    acquirePeb();
    EXPECT_TRUE(IsLoaderLockHeld());
    EXPECT_FALSE(observed());
    releasePeb();
    EXPECT_FALSE(IsLoaderLockHeld());

    observer.Quit = true;
    SetEvent(observer.Ask);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(observer.Ask);
    CloseHandle(observer.Answered);
}

TEST(HxExceptSupport, Identifiers)
{
    EXPECT_TRUE(IsIdentifier("EAbort"));
    EXPECT_TRUE(IsIdentifier("_x9"));
    EXPECT_FALSE(IsIdentifier(""));
    EXPECT_FALSE(IsIdentifier("9x"));
    EXPECT_FALSE(IsIdentifier("a.b"));
}

TEST(HxExceptSupport, ObjectsAndTheirClasses)
{
    const supporttest::ESilent silent;
    const supporttest::EMixed mixed;
    const std::runtime_error other("other");
    const int plain = 7;
    EXPECT_TRUE(IsValidObject(&silent));
    EXPECT_TRUE(IsValidObject(&mixed));
    EXPECT_TRUE(IsValidObject(&other));
    EXPECT_FALSE(IsValidObject(&plain));
    EXPECT_FALSE(IsValidObject(nullptr));
    // A base part behind the first one is not a complete object.
    EXPECT_FALSE(IsValidObject(static_cast<const supporttest::ESilent*>(&mixed)));

    EXPECT_TRUE(IsClassNamed(&silent, "supporttest.ESilent"));
    EXPECT_TRUE(IsClassNamed(&silent, "supporttest.EAbort"));
    EXPECT_TRUE(IsClassNamed(&silent, "std.exception"));
    EXPECT_TRUE(IsClassNamed(&mixed, "supporttest.EAbort"));
    EXPECT_TRUE(IsClassNamed(&mixed, "supporttest.TMixin"));
    EXPECT_FALSE(IsClassNamed(&mixed, "EAbort"));
    EXPECT_FALSE(IsClassNamed(&other, "supporttest.EAbort"));
    EXPECT_FALSE(IsClassNamed(&plain, "int"));

    // The bytes of an object in released memory are no object.
    void* memory = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(memory, nullptr);
    std::memcpy(memory, static_cast<const void*>(&silent), sizeof silent);
    EXPECT_TRUE(IsClassNamed(memory, "supporttest.EAbort"));
    VirtualFree(memory, 0, MEM_RELEASE);
    EXPECT_FALSE(IsValidObject(memory));
}

// ---- Exception address ----

int gObjectA, gObjectB;
CONTEXT gRecordedContext;

TEST(HxExceptSupport, ResolveExceptionAddress)
{
    // An instruction of five bytes or more in real code: its last four bytes lie inside it.
    const auto entry = reinterpret_cast<std::uintptr_t>(&SupportCaller);
    std::uintptr_t inside = 0, next = 0;
    for (std::uintptr_t at = entry; at < entry + 64 && !inside; at = next) {
        TDisAsmInfo info{};
        next = DecodeInstruction(at, info);
        ASSERT_GT(next, at);
        if (next - at >= 5)
            inside = next - 4;
    }
    ASSERT_NE(inside, 0u);

    TExceptionSources sources;
    sources.CurrentException = [](void*& object, void*& address) {
        object = &gObjectA;
        address = reinterpret_cast<void*>(&SupportCallee);
        return true;
    };
    sources.RecordedException = [](void*& object, void*& address, CONTEXT*& context) {
        object = &gObjectA;
        address = reinterpret_cast<void*>(&SupportCallee);
        context = &gRecordedContext;
        return true;
    };
    sources.IsValidObject = [](const void* object) { return object != &gObjectB; };
    sources.IsAbortObject = [](const void*) { return false; };
    SetExceptionSources(sources);

    // Missing values come from the current exception; the recorded context belongs to them.
    void* object = nullptr;
    void* address = nullptr;
    CONTEXT* context = nullptr;
    ResolveExceptionAddress(object, address, context);
    EXPECT_EQ(object, &gObjectA);
    EXPECT_EQ(address, reinterpret_cast<void*>(&SupportCallee));
    EXPECT_EQ(context, &gRecordedContext);

    // An implausible object goes; an address inside an instruction moves to the next one.
    object = &gObjectB;
    address = reinterpret_cast<void*>(inside);
    context = nullptr;
    ResolveExceptionAddress(object, address, context);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(address, reinterpret_cast<void*>(next));
    EXPECT_EQ(context, nullptr);

    // An instruction start stays, and so does any address of an abort.
    address = reinterpret_cast<void*>(next);
    ResolveExceptionAddress(object, address, context);
    EXPECT_EQ(address, reinterpret_cast<void*>(next));
    sources.IsAbortObject = [](const void* o) { return o == &gObjectA; };
    SetExceptionSources(sources);
    object = &gObjectA;
    address = reinterpret_cast<void*>(inside);
    ResolveExceptionAddress(object, address, context);
    EXPECT_EQ(address, reinterpret_cast<void*>(inside));
    SetExceptionSources(TExceptionSources{});
}

// ---- Texts, clipboard ----

TEST(HxExceptSupport, PlaceholdersExpand)
{
    SYSTEMTIME at{2024, 3, 4, 7, 9, 5, 4, 7};
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const std::string kernelName = StripFileExtension(FileNameOfPath(GetModuleFileNameStr(kernel)));
    EXPECT_EQ(ExpandPlaceholders(kernel, "%APPNAME% in %modname%: %ExceptMsg%", "", "", at),
              "ReporterCaptureTests in " + kernelName + ": Unknown");
    EXPECT_EQ(ExpandPlaceholders(nullptr, "a%LF%b%lf%%Lf%", "", "", at), "a\r\nb\r\n\r\n");
    EXPECT_EQ(ExpandPlaceholders(nullptr, "%date%|%time%|%DATETIME%", "", "", at),
              "2024-03-07|09:05:04, 7ms|2024-03-07, 09:05:04, 7ms");
    at.wMilliseconds = 123;
    EXPECT_EQ(ExpandPlaceholders(nullptr, "%time%", "", "", at), "09:05:04, 123ms");
    EXPECT_EQ(DateTimeText(at), "2024-03-07, 09:05:04, 123ms");
    // Inserted texts keep their own percent signs.
    EXPECT_EQ(ExpandPlaceholders(nullptr, "%exceptmsg% / %bugreport% / 100% %x%", "disk %LF% full", "%date%", at),
              "disk %LF% full / %date% / 100% %x%");

    // Without a given time the call's own local time counts.
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    const std::string date = ExpandPlaceholders(nullptr, "%date%", "", "");
    GetLocalTime(&after);
    EXPECT_TRUE(date == ExpandPlaceholders(nullptr, "%date%", "", "", before) ||
                date == ExpandPlaceholders(nullptr, "%date%", "", "", after));
}

TEST(HxExceptSupport, ClipboardTakesTheText)
{
    ASSERT_TRUE(CopyTextToClipboard("line one\r\nline two"));
    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE data = GetClipboardData(CF_TEXT);
    ASSERT_NE(data, nullptr);
    const char* text = static_cast<const char*>(GlobalLock(data));
    EXPECT_STREQ(text, "line one\r\nline two");
    GlobalUnlock(data);
    CloseClipboard();
}

// ---- Restart hand-over ----

std::string ChildPath()
{
    return FolderOfPath(GetModuleFileNameStr(nullptr)) + "hxRestartChild.exe";
}

struct TChild {
    PROCESS_INFORMATION Info{};
    HANDLE Output = nullptr;     // read end of its standard output
    HANDLE Input = nullptr;      // write end of its standard input
};

TChild StartChild(const char* mode, DWORD flags)
{
    TChild child;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, inRead, inWrite;
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    CreatePipe(&inRead, &inWrite, &inherit, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::string command = "\"" + ChildPath() + "\" " + mode;
    CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &child.Info);
    CloseHandle(outWrite);
    CloseHandle(inRead);
    child.Output = outRead;
    child.Input = inWrite;
    return child;
}

// Waits for the child's end and gives its output.
std::string Finish(TChild& child)
{
    CloseHandle(child.Input);
    EXPECT_EQ(WaitForSingleObject(child.Info.hProcess, 20000), WAIT_OBJECT_0);
    std::string output;
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(child.Output, buffer, sizeof buffer, &got, nullptr) && got > 0)
        output.append(buffer, got);
    CloseHandle(child.Output);
    CloseHandle(child.Info.hThread);
    CloseHandle(child.Info.hProcess);
    return output;
}

TEST(HxExceptSupport, RestartHandOverPassesTheHistory)
{
    TChild old = StartChild("wait", 0);
    TChild next = StartChild("take", CREATE_SUSPENDED);
    ASSERT_NE(old.Info.hProcess, nullptr);
    ASSERT_NE(next.Info.hProcess, nullptr);

    // What the restarting process writes, under the new process's id.
    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    InitNullDaclAttributes(attributes, descriptor);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, sizeof(THxRestartBlock),
                                        RestartMappingName(next.Info.dwProcessId).c_str());
    ASSERT_NE(mapping, nullptr);
    auto* block = static_cast<THxRestartBlock*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(THxRestartBlock)));
    ASSERT_NE(block, nullptr);
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), mapping, next.Info.hProcess, &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    block->ProcessId = old.Info.dwProcessId;
    block->Mapping = reinterpret_cast<UINT_PTR>(duplicate);
    std::string expected;
    for (std::size_t i = 0; i < ExceptionHistoryLength; ++i) {
        block->History[i] = 13400000000ull - i * 3;
        expected += Int64ToHex(block->History[i]) + " ";
    }
    UnmapViewOfFile(block);
    // The new process's duplicate alone keeps the mapping from here on.
    CloseHandle(mapping);
    ResumeThread(next.Info.hThread);

    // The new process waits for the old one to end.
    EXPECT_EQ(WaitForSingleObject(next.Info.hProcess, 300), static_cast<DWORD>(WAIT_TIMEOUT));
    Finish(old);
    EXPECT_EQ(Finish(next), expected);

    // Without a predecessor nothing is taken over.
    TChild alone = StartChild("take", 0);
    EXPECT_EQ(Finish(alone), "none");
}

// ---- Development environment, passwords ----

struct TJumpLog {
    int Calls = 0;
    WPARAM ProcessId = 0;
    std::string Text;
};
TJumpLog gJumps, gDecoyJumps;

template <TJumpLog* Log>
LRESULT CALLBACK JumpTarget(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == RegisterWindowMessageA("hxExceptIdeJumpCommand")) {
        ++Log->Calls;
        Log->ProcessId = wParam;
        Log->Text = reinterpret_cast<const char*>(lParam);
        return 1;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeTopWindow(const std::string& className, WNDPROC proc)
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = proc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = className.c_str();
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, className.c_str(), "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

void JumpHandler(HWND, UINT, WPARAM wParam, LRESULT& result, LPARAM lParam)
{
    ++gJumps.Calls;
    gJumps.ProcessId = wParam;
    gJumps.Text = reinterpret_cast<const char*>(lParam);
    result = 1;
}

// The receiver is the message-handler window the library makes for the environment's thread.
TEST(HxExceptSupport, IdeJumpReachesTheEnvironmentsWindow)
{
    gJumps = gDecoyJumps = TJumpLog{};
    EXPECT_FALSE(SendIdeJumpCommand("unit.cpp (12)"));
    const std::string prefix = "hxToolsMsgHandlerWindow$" + UpperCaseCopy(CardinalToHex(GetCurrentThreadId()));
    HWND decoy = MakeTopWindow(prefix + "0", &JumpTarget<&gDecoyJumps>);
    const UINT jump = RegisterWindowMessageA("hxExceptIdeJumpCommand");
    HWND target = AddMsgHandler(jump, &JumpHandler);
    EXPECT_FALSE(SendIdeJumpCommand("unit.cpp (12)"));
    HWND environment = MakeTopWindow("TAppBuilder", &DefWindowProcA);
    ASSERT_TRUE(environment && target && decoy);

    EXPECT_TRUE(SendIdeJumpCommand("unit.cpp (12)"));
    EXPECT_EQ(gJumps.Calls, 1);
    EXPECT_EQ(gJumps.ProcessId, GetCurrentProcessId());
    EXPECT_EQ(gJumps.Text, "unit.cpp (12)");
    EXPECT_EQ(gDecoyJumps.Calls, 0);
    DestroyWindow(environment);
    DestroyWindow(decoy);
    EXPECT_TRUE(RemoveMsgHandler(jump, &JumpHandler));
}

TEST(HxExceptSupport, PasswordsDecipherInTwoPasses)
{
    // Counter mode is its own inverse; each pass removes the padding its writer added.
    auto pad = [](std::string s) {
        const std::size_t count = 8 - s.size() % 8;
        return s + std::string(count, static_cast<char>(count));
    };
    auto pass = [](std::string s, std::string_view phrase, std::uint64_t iv) {
        BlowfishTransform(reinterpret_cast<unsigned char*>(s.data()), s.size(), true, true, iv, phrase);
        return s;
    };
    const std::string stored = pass(pad(pass(pad("s3cret!"), "jdoe", PasswordIv2)), "smtp.example.test", PasswordIv1);
    EXPECT_EQ(DecipherPassword(stored, "smtp.example.test", "jdoe"), "s3cret!");
    EXPECT_NE(DecipherPassword(stored, "jdoe", "smtp.example.test"), "s3cret!");
    EXPECT_EQ(DecipherPassword("", "smtp.example.test", "jdoe"), "");
}

} // namespace
