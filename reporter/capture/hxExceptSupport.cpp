#include "hxExceptSupport.h"

#include "hxCrypt.h"
#include "hxDisAsm.h"
#include "hxStrings.h"
#include "hxTools.h"

#include <tlhelp32.h>

#include <cxxabi.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <typeinfo>
#include <utility>

namespace {

struct THandleCloser {
    void operator()(HANDLE h) const noexcept { CloseHandle(h); }
};
using THandle = std::unique_ptr<void, THandleCloser>;

struct TKeyCloser {
    void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
using TKey = std::unique_ptr<std::remove_pointer_t<HKEY>, TKeyCloser>;

struct TFindCloser {
    void operator()(HANDLE h) const noexcept { FindClose(h); }
};
using TFindHandle = std::unique_ptr<void, TFindCloser>;

struct TViewUnmapper {
    void operator()(void* view) const noexcept { UnmapViewOfFile(view); }
};
using TView = std::unique_ptr<void, TViewUnmapper>;

std::string HexId(DWORD id)
{
    return "$" + CardinalToHex(id);
}

// ---- Thread list ----

using TCreateSnapshot = HANDLE(WINAPI*)(DWORD, DWORD);
using TThreadWalk = BOOL(WINAPI*)(HANDLE, THREADENTRY32*);

bool ThreadListFromToolhelp(std::vector<DWORD>& ids)
{
    auto create = SystemProc<TCreateSnapshot>("kernel32.dll", "CreateToolhelp32Snapshot");
    auto first = SystemProc<TThreadWalk>("kernel32.dll", "Thread32First");
    auto next = SystemProc<TThreadWalk>("kernel32.dll", "Thread32Next");
    if (!create || !first || !next)
        return false;
    THandle snapshot(create(TH32CS_SNAPTHREAD, 0));
    if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) {
        (void)snapshot.release();
        return false;
    }
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = first(snapshot.get(), &entry); more; more = next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == self)
            ids.push_back(entry.th32ThreadID);
        entry.dwSize = sizeof entry;
    }
    return true;
}

// The parts of the system's process and thread records that are read here.
struct TSysThread {
    LARGE_INTEGER KernelTime, UserTime, CreateTime;
    ULONG WaitTime;
    PVOID StartAddress;
    HANDLE UniqueProcess, UniqueThread;
    LONG Priority, BasePriority;
    ULONG ContextSwitches, ThreadState, WaitReason;
};
struct TSysProcess {
    ULONG NextEntryOffset;
    ULONG NumberOfThreads;
    LARGE_INTEGER Reserved[3];
    LARGE_INTEGER CreateTime, UserTime, KernelTime;
    USHORT NameLength, NameMaximumLength;
    PWSTR NameBuffer;
    LONG BasePriority;
    HANDLE UniqueProcessId;
    HANDLE ParentProcessId;
    ULONG HandleCount, SessionId;
    ULONG_PTR PageDirectoryBase;
    SIZE_T VmCounters[11];       // VM_COUNTERS
    SIZE_T PrivatePageCount;
    LARGE_INTEGER IoCounters[6]; // IO_COUNTERS
};

using TQuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

bool ThreadListFromSystemInfo(std::vector<DWORD>& ids)
{
    auto query = SystemProc<TQuerySystemInformation>("ntdll.dll", "NtQuerySystemInformation");
    if (!query)
        return false;
    std::vector<unsigned char> buffer(256 * 1024);
    for (;;) {
        ULONG needed = 0;
        const ULONG size = static_cast<ULONG>(buffer.size());
        const LONG status = query(5 /* process information */, buffer.data(), size, &needed);
        if (status == static_cast<LONG>(0xC0000004) /* length mismatch */ && buffer.size() < (64u << 20)) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0)
            return false;
        break;
    }
    const auto self = static_cast<UINT_PTR>(GetCurrentProcessId());
    std::size_t offset = 0;
    while (offset + sizeof(TSysProcess) <= buffer.size()) {
        TSysProcess process;
        std::memcpy(&process, buffer.data() + offset, sizeof process);
        if (reinterpret_cast<UINT_PTR>(process.UniqueProcessId) == self) {
            for (ULONG i = 0; i < process.NumberOfThreads; ++i) {
                const std::size_t at = offset + sizeof(TSysProcess) + i * sizeof(TSysThread);
                if (at + sizeof(TSysThread) > buffer.size())
                    break;
                TSysThread thread;
                std::memcpy(&thread, buffer.data() + at, sizeof thread);
                ids.push_back(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(thread.UniqueThread)));
            }
            return true;
        }
        if (process.NextEntryOffset == 0)
            break;
        offset += process.NextEntryOffset;
    }
    return true;
}

// The sources do not promise an order, so the list is sorted by creation time.
void SortOldestFirst(std::vector<DWORD>& ids)
{
    struct TAged {
        ULONGLONG Created;
        std::size_t Index;
        DWORD Id;
    };
    std::vector<TAged> aged;
    aged.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ULONGLONG created = ~0ull;
        if (HANDLE thread = OpenThreadHandle(ids[i], THREAD_QUERY_LIMITED_INFORMATION)) {
            FILETIME times[4];
            if (GetThreadTimes(thread, &times[0], &times[1], &times[2], &times[3]))
                created = (ULONGLONG(times[0].dwHighDateTime) << 32) | times[0].dwLowDateTime;
            CloseHandle(thread);
        }
        aged.push_back({created, i, ids[i]});
    }
    std::stable_sort(aged.begin(), aged.end(), [](const TAged& a, const TAged& b) { return a.Created < b.Created; });
    for (std::size_t i = 0; i < aged.size(); ++i)
        ids[i] = aged[i].Id;
}

// ---- Thread table ----

// Waits for a mutex; an abandoned one is ours as well.
bool TakeMutex(HANDLE mutex, DWORD timeout)
{
    const DWORD result = WaitForSingleObject(mutex, timeout);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

class TListLock {
public:
    TListLock(HANDLE mutex, DWORD timeout) : mutex_(mutex), held_(mutex && TakeMutex(mutex, timeout)) {}
    ~TListLock()
    {
        if (held_)
            ReleaseMutex(mutex_);
    }
    TListLock(const TListLock&) = delete;
    TListLock& operator=(const TListLock&) = delete;
    bool Held() const { return held_; }

private:
    HANDLE mutex_;
    bool held_;
};

char* LocalCopy(std::string_view s)
{
    auto* copy = static_cast<char*>(LocalAlloc(LMEM_FIXED, s.size() + 1));
    if (copy) {
        std::memcpy(copy, s.data(), s.size());
        copy[s.size()] = 0;
    }
    return copy;
}

void FreeEntry(THxThreadEntry* entry)
{
    if (entry->Handle)
        CloseHandle(entry->Handle);
    if (entry->Name)
        LocalFree(entry->Name);
    if (entry->ClassName)
        LocalFree(entry->ClassName);
    LocalFree(entry);
}

// Unlinks the entry of a thread; the caller owns it afterwards.
THxThreadEntry* UnlinkEntry(THxThreadTable& table, DWORD threadId)
{
    for (THxThreadEntry** link = &table.Head; *link; link = &(*link)->Next) {
        if ((*link)->ThreadId == threadId) {
            THxThreadEntry* entry = *link;
            *link = entry->Next;
            entry->Next = nullptr;
            return entry;
        }
    }
    return nullptr;
}

void RemoveFirstEndedEntry(THxThreadTable& table)
{
    for (THxThreadEntry** link = &table.Head; *link; link = &(*link)->Next) {
        HANDLE handle = (*link)->Handle;
        if (handle && WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) {
            THxThreadEntry* entry = *link;
            *link = entry->Next;
            FreeEntry(entry);
            return;
        }
    }
}

HANDLE EntryHandle(DWORD threadId, HANDLE given)
{
    const DWORD access = SYNCHRONIZE | THREAD_QUERY_INFORMATION;
    HANDLE handle = nullptr;
    if (given && DuplicateHandle(GetCurrentProcess(), given, GetCurrentProcess(), &handle, access, FALSE, 0))
        return handle;
    return OpenThreadHandle(threadId, access);
}

void SetThreadInfoIn(THxThreadTable& table, DWORD threadId, HANDLE handle, std::string_view name,
                     DWORD creatorThreadId, const void* creatorAddress, std::string_view className) noexcept
{
    TListLock lock(table.ListMutex, INFINITE);
    if (!lock.Held())
        return;
    THxThreadEntry* old = UnlinkEntry(table, threadId);
    const bool removeOnly = !handle && name.empty() && !creatorThreadId && !creatorAddress && className.empty();
    if (old && !removeOnly) {
        if (name.empty() && old->Name)
            name = old->Name;
        if (className.empty() && old->ClassName)
            className = old->ClassName;
        if (!creatorThreadId && !creatorAddress) {
            creatorThreadId = static_cast<DWORD>(old->CreatorThreadId);
            creatorAddress = old->CreatorAddress;
        }
    }
    if (!removeOnly && (!name.empty() || creatorThreadId || creatorAddress)) {
        void* block = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, sizeof(THxThreadEntry));
        if (auto* entry = static_cast<THxThreadEntry*>(block)) {
            entry->ThreadId = threadId;
            entry->Name = LocalCopy(name);
            entry->ClassName = className.empty() ? nullptr : LocalCopy(className);
            entry->CreatorAddress = const_cast<void*>(creatorAddress);
            entry->CreatorThreadId = creatorThreadId;
            entry->Handle = EntryHandle(threadId, handle);
            entry->Next = table.Head;
            table.Head = entry;
        }
    }
    // The texts taken over from the old entry are copied by now.
    if (old)
        FreeEntry(old);
    RemoveFirstEndedEntry(table);
}

LONG WINAPI SwallowThreadNaming(EXCEPTION_POINTERS* pointers)
{
    return pointers->ExceptionRecord->ExceptionCode == 0x406D1388 ? EXCEPTION_CONTINUE_EXECUTION
                                                                   : EXCEPTION_CONTINUE_SEARCH;
}

// ---- Objects ----

template <class T>
bool ReadCell(std::uintptr_t address, T& value)
{
    return TryReadMemory(address, &value, sizeof value);
}

bool InModule(std::uintptr_t address)
{
    return ModuleOfAddress(reinterpret_cast<const void*>(address)) != nullptr;
}

// A terminated text at address, read page by page; false when it breaks off or runs too long.
bool ReadText(std::uintptr_t address, std::string& text)
{
    constexpr std::size_t kLimit = 1024, kPage = 4096;
    text.clear();
    while (text.size() < kLimit) {
        char chunk[64];
        const std::size_t length = std::min<std::size_t>(sizeof chunk, kPage - address % kPage);
        if (!TryReadMemory(address, chunk, length))
            return false;
        const std::size_t end = std::find(chunk, chunk + length, '\0') - chunk;
        text.append(chunk, end);
        if (end < length)
            return true;
        address += length;
    }
    return false;
}

// The three kinds of class type records of this module, told apart by their virtual tables.
struct TTypeTables {
    std::uintptr_t Plain, Single, Multiple;
};

struct TRoot {
    virtual ~TRoot() = default;
};
struct TSingle : TRoot {};
struct TOther {
    virtual ~TOther() = default;
};
struct TMultiple : TRoot, TOther {};

const TTypeTables& ModuleTypeTables()
{
    static const TTypeTables tables = [] {
        auto table = [](const std::type_info& type) {
            std::uintptr_t cell;
            std::memcpy(&cell, &type, sizeof cell);
            return cell;
        };
        return TTypeTables{table(typeid(TRoot)), table(typeid(TSingle)), table(typeid(TMultiple))};
    }();
    return tables;
}

// The type record of a polymorphic object and its class name with "." between scopes; nullptr
// when the memory does not hold such an object.
const std::type_info* ObjectType(const void* object, std::string& className)
{
    std::uintptr_t table = 0, type = 0, typeTable = 0, name = 0;
    std::intptr_t offsetToTop = -1;
    const auto at = reinterpret_cast<std::uintptr_t>(object);
    // The object's table lies in a module and leads to a complete object: this one.
    if (!at || !ReadCell(at, table) || !InModule(table) || !ReadCell(table - 2 * sizeof(void*), offsetToTop) ||
        offsetToTop != 0 || !ReadCell(table - sizeof(void*), type) || !InModule(type))
        return nullptr;
    if (!ReadCell(type, typeTable) || !InModule(typeTable) || !ReadCell(type + sizeof(void*), name) || !InModule(name))
        return nullptr;
    std::string mangled;
    if (!ReadText(name, mangled))
        return nullptr;
    int status = -1;
    std::unique_ptr<char, decltype(&std::free)> plain(
        abi::__cxa_demangle(mangled.c_str() + (mangled[0] == '*'), nullptr, nullptr, &status), &std::free);
    if (status != 0 || !plain)
        return nullptr;
    className = ReplaceSubStr(plain.get(), "::", ".");
    return reinterpret_cast<const std::type_info*>(type);
}

bool ClassOrAncestorNamed(const std::type_info& type, std::string_view name, int depth)
{
    std::uintptr_t typeTable;
    std::memcpy(&typeTable, &type, sizeof typeTable);
    const TTypeTables& tables = ModuleTypeTables();
    if (depth > 64 || (typeTable != tables.Plain && typeTable != tables.Single && typeTable != tables.Multiple))
        return false;
    int status = -1;
    std::unique_ptr<char, decltype(&std::free)> plain(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                      &std::free);
    if (status == 0 && plain && ReplaceSubStr(plain.get(), "::", ".") == name)
        return true;
    if (typeTable == tables.Single)
        return ClassOrAncestorNamed(*static_cast<const abi::__si_class_type_info&>(type).__base_type, name, depth + 1);
    if (typeTable == tables.Multiple) {
        const auto& multiple = static_cast<const abi::__vmi_class_type_info&>(type);
        for (unsigned i = 0; i < multiple.__base_count; ++i)
            if (ClassOrAncestorNamed(*multiple.__base_info[i].__base_type, name, depth + 1))
                return true;
    }
    return false;
}

// ---- Exception address ----

TExceptionSources gExceptionSources;

// Entry of the function that holds address: the unwind table first, then the debug symbols.
std::uintptr_t FunctionEntryOf(std::uintptr_t address)
{
#if defined(_WIN64)
    DWORD64 imageBase = 0;
    if (PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(address, &imageBase, nullptr))
        return static_cast<std::uintptr_t>(imageBase + function->BeginAddress);
#endif
    return gExceptionSources.FunctionEntryOf ? gExceptionSources.FunctionEntryOf(address) : 0;
}

// Whether an instruction of the analysed function begins at address.
bool IsInstructionStart(const TFunctionInfo& info, std::uintptr_t address)
{
    for (const TCodeArea& area : info.Areas) {
        if (address < area.Begin || address > area.End || area.CaseTable)
            continue;
        std::uintptr_t at = area.Begin;
        while (at < address) {
            TDisAsmInfo instruction{};
            const std::uintptr_t next = DecodeInstruction(at, instruction);
            if (next <= at)
                return false;
            at = next;
        }
        return at == address;
    }
    return false;
}

// ---- Placeholders ----

std::string TwoDigits(unsigned value)
{
    return IntToStrPadded(static_cast<std::int32_t>(value), 2, '0');
}

std::string DateText(const SYSTEMTIME& time)
{
    return IntToStrPadded(time.wYear, 4, '0') + "-" + TwoDigits(time.wMonth) + "-" + TwoDigits(time.wDay);
}

std::string TimeText(const SYSTEMTIME& time)
{
    return TwoDigits(time.wHour) + ":" + TwoDigits(time.wMinute) + ":" + TwoDigits(time.wSecond) + ", " +
           IntToStrFast(time.wMilliseconds) + "ms";
}

// ---- Development environment ----

struct TJumpSearch {
    std::string Prefix;
    HWND Found = nullptr;
};

BOOL CALLBACK FindJumpWindow(HWND window, LPARAM lParam)
{
    auto* search = reinterpret_cast<TJumpSearch*>(lParam);
    char className[256];
    const int length = GetClassNameA(window, className, sizeof className);
    const std::string_view name(className, static_cast<std::size_t>(length > 0 ? length : 0));
    // The id must end with the prefix: "$1a" must not pick the window of thread "$1a3".
    const std::size_t cut = search->Prefix.size();
    const bool idEnds =
        name.size() == cut || (name.size() > cut && !std::isxdigit(static_cast<unsigned char>(name[cut])));
    if (StartsWithText(name, search->Prefix) && idEnds) {
        search->Found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

// ---- Threads ----

std::vector<DWORD> GetThreadList() noexcept
{
    try {
        std::vector<DWORD> ids;
        if (!ThreadListFromToolhelp(ids) || ids.empty()) {
            ids.clear();
            ThreadListFromSystemInfo(ids);
        }
        SortOldestFirst(ids);
        return ids;
    } catch (...) {
        return {};
    }
}

HANDLE OpenThreadHandle(DWORD threadId, DWORD access) noexcept
{
    using TOpenThread = HANDLE(WINAPI*)(DWORD, BOOL, DWORD);
    if (auto open = SystemProc<TOpenThread>("kernel32.dll", "OpenThread"))
        return open(access, FALSE, threadId);

    // The system call behind it, for systems whose kernel32 lacks the export.
    struct TClientId {
        HANDLE Process;
        HANDLE Thread;
    };
    struct TObjectAttributes {
        ULONG Length;
        HANDLE RootDirectory;
        void* ObjectName;
        ULONG Attributes;
        void* SecurityDescriptor;
        void* SecurityQualityOfService;
    };
    using TNtOpenThread = LONG(WINAPI*)(HANDLE*, ACCESS_MASK, TObjectAttributes*, TClientId*);
    auto ntOpen = SystemProc<TNtOpenThread>("ntdll.dll", "NtOpenThread");
    if (!ntOpen)
        return nullptr;
    TObjectAttributes attributes{};
    attributes.Length = sizeof attributes;
    TClientId client{nullptr, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(threadId))};
    HANDLE handle = nullptr;
    return ntOpen(&handle, access, &attributes, &client) >= 0 ? handle : nullptr;
}

std::string ThreadTableName(DWORD processId)
{
    return "hxExceptThreadNameBuf" + HexId(processId);
}

THxThreadTableLink::~THxThreadTableLink()
{
    Close();
}

// Modules open the table from their start-up code, which the loader runs one module at a time,
// so creating and filling the cells needs no further guard.
TThreadTableResult THxThreadTableLink::Open(DWORD& mainThreadId) noexcept
{
    mainThreadId = 0;
    if (table_) {
        for (THxThreadEntry* entry = table_->Head; entry; entry = entry->Next)
            mainThreadId = static_cast<DWORD>(entry->ThreadId);
        return TThreadTableResult::Opened;
    }
    std::string name;
    try {
        name = ThreadTableName(GetCurrentProcessId());
    } catch (...) {
        return TThreadTableResult::NoMapping;
    }
    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    InitNullDaclAttributes(attributes, descriptor);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                        sizeof(THxThreadTable), name.c_str());
    if (!mapping)
        return TThreadTableResult::NoMapping;
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(THxThreadTable));
    auto* table = static_cast<THxThreadTable*>(view);
    if (!table) {
        CloseHandle(mapping);
        return TThreadTableResult::NoView;
    }
    if (existed) {
        // The creator's handle keeps the mapping; this module's handle is not needed.
        CloseHandle(mapping);
        TListLock lock(table->ListMutex, INFINITE);
        ++table->RefCount;
        for (THxThreadEntry* entry = table->Head; entry; entry = entry->Next)
            mainThreadId = static_cast<DWORD>(entry->ThreadId);
        table_ = table;
        return TThreadTableResult::Opened;
    }
    table->FreezeMutex = CreateMutexA(&attributes, FALSE, nullptr);
    table->ListMutex = CreateMutexA(&attributes, FALSE, nullptr);
    table->Head = nullptr;
    table->RefCount = 1;
    table->Mapping = mapping;
    table_ = table;
    const std::vector<DWORD> threads = GetThreadList();
    mainThreadId = threads.empty() ? GetCurrentThreadId() : threads.front();
    SetThreadInfoIn(*table, mainThreadId, nullptr, "main thread", 0, nullptr, {});
    return TThreadTableResult::Opened;
}

void THxThreadTableLink::Close() noexcept
{
    THxThreadTable* table = std::exchange(table_, nullptr);
    if (!table)
        return;
    bool last;
    {
        TListLock lock(table->ListMutex, INFINITE);
        last = --table->RefCount <= 0;
    }
    if (last) {
        // Nothing can reach the entries once the table is gone, so all of them go with it.
        while (THxThreadEntry* entry = table->Head) {
            table->Head = entry->Next;
            FreeEntry(entry);
        }
        CloseHandle(table->FreezeMutex);
        CloseHandle(table->ListMutex);
        HANDLE mapping = table->Mapping;
        UnmapViewOfFile(table);
        CloseHandle(mapping);
        return;
    }
    UnmapViewOfFile(table);
}

THxThreadTableLink& ModuleThreadTable() noexcept
{
    static THxThreadTableLink link;
    return link;
}

void SetThreadInfo(DWORD threadId, HANDLE handle, std::string_view name, DWORD creatorThreadId,
                   const void* creatorAddress, std::string_view className) noexcept
{
    if (THxThreadTable* table = ModuleThreadTable().Table())
        SetThreadInfoIn(*table, threadId, handle, name, creatorThreadId, creatorAddress, className);
}

void AssignThreadName(DWORD threadId, std::string_view name) noexcept
{
    SetThreadInfo(threadId, nullptr, name);
    if (!IsDebuggerPresent())
        return;
    std::string text;
    try {
        text.assign(name);
    } catch (...) {
        return;
    }
    // The debugger takes the notification first; the handler only keeps it from going further.
    PVOID handler = AddVectoredExceptionHandler(0, &SwallowThreadNaming);
    const ULONG_PTR arguments[4] = {0x1000, reinterpret_cast<ULONG_PTR>(text.c_str()), threadId, 0};
    RaiseException(0x406D1388, 0, 4, arguments);
    if (handler)
        RemoveVectoredExceptionHandler(handler);
}

std::string GetThreadName(DWORD threadId, bool allowDash, const void** creatorAddress,
                          DWORD* creatorThreadId) noexcept
{
    if (creatorAddress)
        *creatorAddress = nullptr;
    if (creatorThreadId)
        *creatorThreadId = 0;
    try {
        const std::string plain = "thread " + HexId(threadId);
        THxThreadTable* table = ModuleThreadTable().Table();
        if (!table)
            return plain;
        TListLock lock(table->ListMutex, 50);
        if (!lock.Held())
            return plain;
        const THxThreadEntry* entry = table->Head;
        while (entry && entry->ThreadId != threadId)
            entry = entry->Next;
        if (!entry)
            return plain;
        if (creatorAddress)
            *creatorAddress = entry->CreatorAddress;
        if (creatorThreadId)
            *creatorThreadId = static_cast<DWORD>(entry->CreatorThreadId);
        const std::string_view name = entry->Name ? entry->Name : "";
        if (name == "-" && !allowDash)
            return {};
        if (!name.empty() && name != "-")
            return std::string(name) + " (" + HexId(threadId) + ")";
        if (entry->ClassName)
            return plain + " (" + entry->ClassName + ")";
        return plain;
    } catch (...) {
        return {};
    }
}

bool IsThreadSuspended(DWORD threadId, HANDLE handle) noexcept
{
    if (threadId == GetCurrentThreadId() || !handle)
        return false;
    const DWORD previous = SuspendThread(handle);
    if (previous == static_cast<DWORD>(-1))
        return false;
    ResumeThread(handle);
    return previous > 0;
}

bool GetThreadState(DWORD threadId, TThreadState& state) noexcept
{
    state = TThreadState{};
    THandle thread;
    if (threadId == GetCurrentThreadId()) {
        HANDLE own = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &own, 0, FALSE,
                            DUPLICATE_SAME_ACCESS))
            thread.reset(own);
    } else {
        thread.reset(OpenThreadHandle(threadId, THREAD_QUERY_INFORMATION | THREAD_GET_CONTEXT | THREAD_SUSPEND_RESUME));
        if (!thread)
            thread.reset(OpenThreadHandle(threadId, THREAD_GET_CONTEXT));
    }
    if (!thread)
        return false;
    CONTEXT context{};
    context.ContextFlags = CONTEXT_FULL;
    // Under Wine a thread suspended a moment ago may not have stopped yet, and nothing signals
    // when it has: ask again a few times.
    bool read = false;
    for (int attempt = 0; attempt < 20 && !read; ++attempt) {
        read = GetThreadContext(thread.get(), &context) != FALSE;
        if (!read)
            Sleep(5);
    }
    if (!read)
        return false;
#if defined(_WIN64)
    state.StackPointer = context.Rsp;
    state.FramePointer = context.Rbp;
    state.InstructionPointer = context.Rip;
#else
    state.StackPointer = context.Esp;
    state.FramePointer = context.Ebp;
    state.InstructionPointer = context.Eip;
#endif
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(reinterpret_cast<const void*>(state.StackPointer), &region, sizeof region) == sizeof region)
        state.StackEnd = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
    const int priority = GetThreadPriority(thread.get());
    state.Priority = priority == THREAD_PRIORITY_ERROR_RETURN ? 0 : priority;
    state.Suspended = IsThreadSuspended(threadId, thread.get());
    return true;
}

// ---- Modules and paths ----

std::vector<THxModule> GetModuleList() noexcept
{
    std::vector<THxModule> modules;
    try {
        std::uintptr_t address = 0;
        MEMORY_BASIC_INFORMATION region{};
        while (VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) == sizeof region) {
            const auto base = reinterpret_cast<std::uintptr_t>(region.BaseAddress);
            if (region.State == MEM_COMMIT && region.AllocationBase == region.BaseAddress && region.Type == MEM_IMAGE) {
                const auto module = static_cast<HMODULE>(region.AllocationBase);
                std::string name = GetModuleFileNameStr(module);
                if (!name.empty())
                    modules.push_back({std::move(name), module});
            }
            const std::uintptr_t next = base + region.RegionSize;
            if (next <= address)
                break;
            address = next;
        }
    } catch (...) {
    }
    return modules;
}

std::string GetModuleFileNameStr(HMODULE module) noexcept
{
    char buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameA(module, buffer, MAX_PATH);
    try {
        return length > 0 && length < MAX_PATH ? std::string(buffer, length) : std::string();
    } catch (...) {
        return {};
    }
}

std::string FileNameOfPath(std::string_view path) noexcept
{
    const std::size_t at = path.find_last_of("\\:");
    try {
        return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
    } catch (...) {
        return {};
    }
}

std::string FolderOfPath(std::string_view path) noexcept
{
    const std::size_t at = path.find_last_of("\\:");
    try {
        return at == std::string_view::npos ? std::string() : std::string(path.substr(0, at + 1));
    } catch (...) {
        return {};
    }
}

std::string StripFileExtension(std::string_view path) noexcept
{
    const std::size_t dot = path.find_last_of('.');
    const std::size_t folder = path.find_last_of("\\:");
    if (dot != std::string_view::npos && (folder == std::string_view::npos || dot > folder))
        path = path.substr(0, dot);
    try {
        return std::string(path);
    } catch (...) {
        return {};
    }
}

std::string GetComputerNameStr() noexcept
{
    char buffer[MAX_PATH];
    DWORD length = MAX_PATH;
    try {
        return GetComputerNameA(buffer, &length) ? std::string(buffer, length) : std::string();
    } catch (...) {
        return {};
    }
}

std::string GetReportTempFolder() noexcept
{
    char buffer[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, buffer);
    if (length == 0 || length >= MAX_PATH)
        return {};
    try {
        std::string folder(buffer, length);
        CreateDirectoryA(folder.c_str(), nullptr);
        if (folder.back() != '\\')
            folder += '\\';
        folder += StripFileExtension(FileNameOfPath(GetModuleFileNameStr(nullptr))) + ".hxExcept";
        CreateDirectoryA(folder.c_str(), nullptr);
        return folder + "\\";
    } catch (...) {
        return {};
    }
}

void ClearReportTempFolder() noexcept
{
    const std::string folder = GetReportTempFolder();
    if (folder.empty())
        return;
    try {
        WIN32_FIND_DATAA found;
        TFindHandle search(FindFirstFileA((folder + "*.*").c_str(), &found));
        if (search.get() == INVALID_HANDLE_VALUE) {
            (void)search.release();
        } else {
            do {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    DeleteFileA((folder + found.cFileName).c_str());
            } while (FindNextFileA(search.get(), &found));
        }
    } catch (...) {
    }
    RemoveDirectoryA(folder.c_str());
}

// ---- Registry ----

std::string RegReadString(HKEY root, const std::string& key, const std::string& valueName) noexcept
{
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return {};
    TKey owner(opened);
    try {
        // The value may grow between the two calls; twice its reported size leaves room.
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExA(opened, valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return {};
        std::string data(std::size_t(size) * 2 + 1, '\0');
        DWORD got = static_cast<DWORD>(data.size() - 1);
        if (RegQueryValueExA(opened, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got) !=
            ERROR_SUCCESS)
            return {};
        data.resize(std::min<std::size_t>(got, data.size()));
        if (type == REG_SZ) {
            const std::size_t end = data.find('\0');
            if (end != std::string::npos)
                data.resize(end);
        }
        return data;
    } catch (...) {
        return {};
    }
}

bool RegWriteString(HKEY root, const std::string& key, const std::string& valueName, const std::string& text) noexcept
{
    HKEY created = nullptr;
    if (RegCreateKeyExA(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &created,
                        nullptr) != ERROR_SUCCESS)
        return false;
    TKey owner(created);
    return RegSetValueExA(created, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

bool RegRemoveValue(HKEY root, const std::string& key, const std::string& valueName) noexcept
{
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_ALL_ACCESS, &opened) != ERROR_SUCCESS)
        return false;
    TKey owner(opened);
    return RegDeleteValueA(opened, valueName.c_str()) == ERROR_SUCCESS;
}

// ---- Clock, security, loader lock ----

std::uint64_t CurrentTimeSeconds() noexcept
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((std::uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000000u;
}

void InitNullDaclAttributes(SECURITY_ATTRIBUTES& attributes, SECURITY_DESCRIPTOR& descriptor) noexcept
{
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
}

bool IsLoaderLockHeld() noexcept
{
    // Offsets of the PEB lock and the loader lock pointers inside the PEB.
#if defined(_WIN64)
    constexpr std::size_t kPebLock = 0x38, kLoaderLock = 0x110;
#else
    constexpr std::size_t kPebLock = 0x1C, kLoaderLock = 0xA0;
#endif
    // The PEB pointer of the thread block (the header's accessor trips GCC's bounds warning).
    const unsigned char* peb;
#if defined(_WIN64)
    asm("movq %%gs:0x60, %0" : "=r"(peb));
#else
    asm("movl %%fs:0x30, %0" : "=r"(peb));
#endif
    if (!peb)
        return false;
    // A lock held by another thread is no danger to this one; only the own ownership counts.
    const auto self = static_cast<UINT_PTR>(GetCurrentThreadId());
    for (std::size_t offset : {kLoaderLock, kPebLock}) {
        const CRITICAL_SECTION* lock;
        std::memcpy(&lock, peb + offset, sizeof lock);
        if (!lock)
            continue;
        CRITICAL_SECTION copy;
        if (!TryReadMemory(lock, &copy, sizeof copy))
            continue;
        if (copy.LockCount > -1 && copy.RecursionCount > 0 && reinterpret_cast<UINT_PTR>(copy.OwningThread) == self)
            return true;
    }
    return false;
}

bool IsIdentifier(std::string_view s) noexcept
{
    if (s.empty())
        return false;
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (!letter(s.front()))
        return false;
    return std::all_of(s.begin() + 1, s.end(), [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

namespace {

// Each scope is an identifier; classes of unnamed namespaces are welcome too.
bool IsPlausibleClassName(const std::string& className)
{
    if (className.empty())
        return false;
    const std::size_t count = CountFields(className, '.');
    for (std::size_t i = 1; i <= count; ++i) {
        const std::string scope = GetField(className, '.', i);
        if (!IsIdentifier(scope) && scope != "(anonymous namespace)")
            return false;
    }
    return true;
}

} // namespace

std::string ObjectClassName(const void* object) noexcept
{
    try {
        std::string className;
        if (!ObjectType(object, className) || !IsPlausibleClassName(className))
            return {};
        return className;
    } catch (...) {
        return {};
    }
}

bool IsValidObject(const void* object) noexcept
{
    return !ObjectClassName(object).empty();
}

const std::exception* ObjectAsStdException(const void* object) noexcept
{
    try {
        std::string className;
        const std::type_info* type = ObjectType(object, className);
        if (!type || !IsPlausibleClassName(className))
            return nullptr;
        // The run time's own catch matching finds the base, wherever it lies in the object.
        void* adjusted = const_cast<void*>(object);
        if (!typeid(std::exception).__do_catch(type, &adjusted, 1))
            return nullptr;
        return static_cast<const std::exception*>(adjusted);
    } catch (...) {
        return nullptr;
    }
}

bool IsClassNamed(const void* object, std::string_view name) noexcept
{
    try {
        std::string className;
        const std::type_info* type = ObjectType(object, className);
        if (!type)
            return false;
        // Ancestors are known only from type records of this module's kinds.
        return className == name || ClassOrAncestorNamed(*type, name, 0);
    } catch (...) {
        return false;
    }
}

void* ExceptionPtrObject(const std::exception_ptr& error) noexcept
{
    // The run-time library's exception pointer is exactly the address of the thrown object.
    static_assert(sizeof(std::exception_ptr) == sizeof(void*), "an exception pointer is one cell");
    void* object = nullptr;
    std::memcpy(&object, static_cast<const void*>(&error), sizeof object);
    return object;
}

// ---- Per-thread cells and reported objects ----

bool TThreadCell::Make() noexcept
{
    if (slotPlusOne_.load(std::memory_order_acquire))
        return true;
    const DWORD slot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES)
        return false;
    DWORD expected = 0;
    if (!slotPlusOne_.compare_exchange_strong(expected, slot + 1))
        TlsFree(slot);   // another thread made it first
    return true;
}

void* TThreadCell::Get() const noexcept
{
    const DWORD slot = slotPlusOne_.load(std::memory_order_acquire);
    return slot ? TlsGetValue(slot - 1) : nullptr;
}

bool TThreadCell::Set(void* value) noexcept
{
    if (!Make())
        return false;
    return TlsSetValue(slotPlusOne_.load(std::memory_order_acquire) - 1, value) != FALSE;
}

namespace {

// Few objects are marked at a time: a failure's object lives until its catch ends.
SRWLOCK gReportedLock = SRWLOCK_INIT;
std::vector<const void*>* gReportedObjects = nullptr;   // never freed: used up to the process's end
std::atomic<int> gReportedCount{0};

}  // namespace

void MarkReportedObject(const void* object) noexcept
{
    if (!object)
        return;
    AcquireSRWLockExclusive(&gReportedLock);
    try {
        if (!gReportedObjects)
            gReportedObjects = new std::vector<const void*>();
        if (std::find(gReportedObjects->begin(), gReportedObjects->end(), object) == gReportedObjects->end()) {
            gReportedObjects->push_back(object);
            gReportedCount.fetch_add(1);
        }
    } catch (...) {
    }
    ReleaseSRWLockExclusive(&gReportedLock);
}

bool IsReportedObject(const void* object) noexcept
{
    if (!object || gReportedCount.load() == 0)
        return false;
    AcquireSRWLockShared(&gReportedLock);
    const bool found = gReportedObjects &&
                       std::find(gReportedObjects->begin(), gReportedObjects->end(), object) != gReportedObjects->end();
    ReleaseSRWLockShared(&gReportedLock);
    return found;
}

void ForgetReportedObject(const void* object) noexcept
{
    if (!object || gReportedCount.load() == 0)
        return;
    AcquireSRWLockExclusive(&gReportedLock);
    if (gReportedObjects) {
        const auto found = std::find(gReportedObjects->begin(), gReportedObjects->end(), object);
        if (found != gReportedObjects->end()) {
            *found = gReportedObjects->back();
            gReportedObjects->pop_back();
            gReportedCount.fetch_sub(1);
        }
    }
    ReleaseSRWLockExclusive(&gReportedLock);
}

// ---- Exception address ----

void SetExceptionSources(const TExceptionSources& sources) noexcept
{
    gExceptionSources = sources;
}

void ClearRecordedException() noexcept
{
    if (const auto clear = gExceptionSources.ClearRecordedException)
        clear();
}

void ResolveExceptionAddress(void*& object, void*& address, CONTEXT*& context) noexcept
{
    const TExceptionSources& sources = gExceptionSources;
    if ((!object || !address) && sources.CurrentException) {
        void* currentObject = nullptr;
        void* currentAddress = nullptr;
        if (sources.CurrentException(currentObject, currentAddress)) {
            if (!object)
                object = currentObject;
            if (!address)
                address = currentAddress;
        }
    }
    if (object && sources.IsValidObject && !sources.IsValidObject(object))
        object = nullptr;
    if (sources.RecordedException) {
        void* recordedObject = nullptr;
        void* recordedAddress = nullptr;
        CONTEXT* recordedContext = nullptr;
        if (sources.RecordedException(recordedObject, recordedAddress, recordedContext) && recordedContext &&
            recordedObject == object && recordedAddress == address)
            context = recordedContext;
    }
    if (!address || (object && sources.IsAbortObject && sources.IsAbortObject(object)))
        return;
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const std::uintptr_t entry = FunctionEntryOf(at);
    if (!entry)
        return;
    try {
        TFunctionInfo info;
        if (!AnalyseFunction(entry, info) || !info.Valid)
            return;
        if (!IsInstructionStart(info, at) && IsInstructionStart(info, at + 4))
            address = reinterpret_cast<void*>(at + 4);
    } catch (...) {
    }
}

// ---- Texts ----

std::vector<std::string> SplitSettingList(const std::string& text, char separator)
{
    std::vector<std::string> items;
    if (text.empty())
        return items;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        items.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return items;
        start = end + 1;
    }
}

std::string DateTimeText(const SYSTEMTIME& time)
{
    return DateText(time) + ", " + TimeText(time);
}

std::string ExpandPlaceholders(HMODULE module, std::string_view text, std::string_view exceptMsg,
                               std::string_view bugReport) noexcept
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return ExpandPlaceholders(module, text, exceptMsg, bugReport, now);
}

std::string ExpandPlaceholders(HMODULE module, std::string_view text, std::string_view exceptMsg,
                               std::string_view bugReport, const SYSTEMTIME& localTime) noexcept
{
    try {
        const std::string date = DateText(localTime);
        const std::string time = TimeText(localTime);
        const struct {
            std::string_view Name;
            std::string Value;
        } placeholders[] = {
            {"%appname%", StripFileExtension(FileNameOfPath(GetModuleFileNameStr(nullptr)))},
            {"%modname%", StripFileExtension(FileNameOfPath(GetModuleFileNameStr(module)))},
            {"%exceptMsg%", exceptMsg.empty() ? std::string("Unknown") : std::string(exceptMsg)},
            {"%bugReport%", std::string(bugReport)},
            {"%LF%", "\r\n"},
            {"%date%", date},
            {"%time%", time},
            {"%datetime%", date + ", " + time},
        };
        // One pass over the text, so that a message or a report holding a placeholder stays as it is.
        std::string result;
        result.reserve(text.size());
        std::size_t at = 0;
        while (at < text.size()) {
            bool replaced = false;
            if (text[at] == '%') {
                for (const auto& placeholder : placeholders) {
                    if (StartsWithText(text.substr(at), placeholder.Name)) {
                        result += placeholder.Value;
                        at += placeholder.Name.size();
                        replaced = true;
                        break;
                    }
                }
            }
            if (!replaced)
                result += text[at++];
        }
        return result;
    } catch (...) {
        return {};
    }
}

bool CopyTextToClipboard(std::string_view text) noexcept
{
    if (!OpenClipboard(nullptr))
        return false;
    bool done = false;
    if (EmptyClipboard()) {
        if (HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1)) {
            if (auto* bytes = static_cast<char*>(GlobalLock(block))) {
                std::memcpy(bytes, text.data(), text.size());
                bytes[text.size()] = 0;
                GlobalUnlock(block);
                done = SetClipboardData(CF_TEXT, block) != nullptr;
            }
            // The clipboard owns the block only once it took it.
            if (!done)
                GlobalFree(block);
        }
    }
    CloseClipboard();
    return done;
}

// ---- Restart hand-over ----

std::string RestartMappingName(DWORD processId)
{
    return "hxExceptRestart" + HexId(processId);
}

bool TakeOverRestartHistory(TExceptionHistory& history) noexcept
{
    std::string name;
    try {
        name = RestartMappingName(GetCurrentProcessId());
    } catch (...) {
        return false;
    }
    THandle mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()));
    if (!mapping)
        return false;
    TView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(THxRestartBlock)));
    if (!view)
        return false;
    THxRestartBlock block;
    std::memcpy(&block, view.get(), sizeof block);
    // The writer's duplicate of the mapping handle is ours to close.
    const auto handedOver = reinterpret_cast<HANDLE>(block.Mapping);
    if (handedOver && handedOver != mapping.get())
        CloseHandle(handedOver);
    const auto oldProcessId = static_cast<DWORD>(block.ProcessId);
    if (oldProcessId && oldProcessId != GetCurrentProcessId()) {
        if (HANDLE old = OpenProcess(SYNCHRONIZE, FALSE, oldProcessId)) {
            WaitForSingleObject(old, INFINITE);
            CloseHandle(old);
        }
    }
    std::copy(std::begin(block.History), std::end(block.History), history.begin());
    return true;
}

// ---- Development environment, passwords ----

bool SendIdeJumpCommand(const std::string& text) noexcept
{
    HWND environment = FindWindowA("TAppBuilder", nullptr);
    if (!environment)
        return false;
    const DWORD thread = GetWindowThreadProcessId(environment, nullptr);
    const UINT message = RegisterWindowMessageA("hxExceptIdeJumpCommand");
    if (!thread || !message)
        return false;
    TJumpSearch search;
    try {
        search.Prefix = "hxToolsMsgHandlerWindow" + HexId(thread);
    } catch (...) {
        return false;
    }
    EnumWindows(FindJumpWindow, reinterpret_cast<LPARAM>(&search));
    if (!search.Found)
        return false;
    DWORD_PTR answer = 0;
    return SendMessageTimeoutA(search.Found, message, GetCurrentProcessId(), reinterpret_cast<LPARAM>(text.c_str()),
                               SMTO_ABORTIFHUNG, 1000, &answer) != 0;
}

std::string DecipherPassword(std::string_view stored, std::string_view passPhrase1,
                             std::string_view passPhrase2) noexcept
{
    try {
        std::string text(stored);
        BlowfishCryptStrIv(text, passPhrase1, PasswordIv1);
        BlowfishCryptStrIv(text, passPhrase2, PasswordIv2);
        return text;
    } catch (...) {
        return {};
    }
}
