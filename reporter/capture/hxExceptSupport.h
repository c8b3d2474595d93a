#pragma once

// Support routines shared by the reporter's handling, report and delivery units: the thread list
// and the process-wide thread table, thread names and states, module and path helpers, the
// temporary folder, registry helpers, the history clock, the open security descriptor, the
// loader-lock test, the exception-address correction, placeholder expansion, the clipboard, the
// restart hand-over, the development-environment jump and password deciphering.

#include "hxTools.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

// ---- Threads ----

// Thread ids of the current process, the oldest thread first; empty when no source answers.
std::vector<DWORD> GetThreadList() noexcept;
// A handle of another thread of any process; nullptr when it cannot be opened.
HANDLE OpenThreadHandle(DWORD threadId, DWORD access) noexcept;

// One entry of the thread table. Entries and their texts are LocalAlloc blocks, so that every
// module of the process may free what another one allocated; the layout is shared by them.
struct THxThreadEntry {
    UINT_PTR ThreadId;
    char* Name;                  // "-" marks the reporter's own threads
    THxThreadEntry* Next;
    char* ClassName;             // class of the thread object, or nullptr
    void* CreatorAddress;
    UINT_PTR CreatorThreadId;
    HANDLE Handle;               // SYNCHRONIZE | THREAD_QUERY_INFORMATION, tells when the thread ended
};
static_assert(sizeof(THxThreadEntry) == 7 * sizeof(void*), "thread entries hold pointer-sized cells");

// The view of the per-process mapping "hxExceptThreadNameBuf$<pid>".
struct THxThreadTable {
    HANDLE FreezeMutex;          // taken for good by the first freeze watch
    HANDLE ListMutex;            // guards the entry list
    THxThreadEntry* Head;        // newest first
    INT_PTR RefCount;            // one per module that opened the table
    HANDLE Mapping;
};
static_assert(sizeof(THxThreadTable) == 5 * sizeof(void*), "the thread table holds pointer-sized cells");

std::string ThreadTableName(DWORD processId);

enum class TThreadTableResult { Opened, NoMapping, NoView };

// One module's hold on the process's thread table. The module's own link is ModuleThreadTable();
// a second link stands for another module of the process.
class THxThreadTableLink {
public:
    THxThreadTableLink() = default;
    THxThreadTableLink(const THxThreadTableLink&) = delete;
    THxThreadTableLink& operator=(const THxThreadTableLink&) = delete;
    ~THxThreadTableLink();

    // Creates the table (registering the process's first thread as "main thread") or opens the
    // existing one and counts this module in. MainThreadId: that first thread, or the oldest
    // entry of an existing table (0 when it has none).
    TThreadTableResult Open(DWORD& mainThreadId) noexcept;
    // Counts this module out; the last one removes the calling thread's entry and closes the table.
    void Close() noexcept;
    THxThreadTable* Table() const noexcept { return table_; }

private:
    THxThreadTable* table_ = nullptr;
};

THxThreadTableLink& ModuleThreadTable() noexcept;

// Without an open table these do nothing (names then fall back to the id).
void SetThreadInfo(DWORD threadId, HANDLE handle = nullptr, std::string_view name = {},
                   DWORD creatorThreadId = 0, const void* creatorAddress = nullptr,
                   std::string_view className = {}) noexcept;
void AssignThreadName(DWORD threadId, std::string_view name) noexcept;
// "name ($id)", or "thread $id" plus " (class)"; empty for a "-" thread unless allowDash.
std::string GetThreadName(DWORD threadId, bool allowDash, const void** creatorAddress = nullptr,
                          DWORD* creatorThreadId = nullptr) noexcept;

// Never true for the calling thread.
bool IsThreadSuspended(DWORD threadId, HANDLE handle) noexcept;

struct TThreadState {
    std::uintptr_t StackPointer = 0;
    std::uintptr_t StackEnd = 0;         // end of the stack pointer's memory region
    std::uintptr_t FramePointer = 0;
    std::uintptr_t InstructionPointer = 0;
    int Priority = 0;
    bool Suspended = false;
};
bool GetThreadState(DWORD threadId, TThreadState& state) noexcept;

// ---- Modules and paths ----

// An export of a library the process has loaded already; nullptr when it has not or the export
// is missing.
template <class Proc>
Proc SystemProc(const char* module, const char* name) noexcept
{
    return LibraryProc<Proc>(GetModuleHandleA(module), name);
}

struct THxModule {
    std::string Name;
    HMODULE Handle;
};
std::vector<THxModule> GetModuleList() noexcept;

std::string GetModuleFileNameStr(HMODULE module) noexcept;
std::string FileNameOfPath(std::string_view path) noexcept;
// Up to and including the last "\" (or ":"); empty when there is none.
std::string FolderOfPath(std::string_view path) noexcept;
// The extension of the file name part, its dot included, goes.
std::string StripFileExtension(std::string_view path) noexcept;
std::string GetComputerNameStr() noexcept;

// "<temp>\<exe name>.hxExcept\", created; empty when there is no temporary folder.
std::string GetReportTempFolder() noexcept;
void ClearReportTempFolder() noexcept;

// ---- Registry (empty or false on any failure) ----

std::string RegReadString(HKEY root, const std::string& key, const std::string& valueName) noexcept;
bool RegWriteString(HKEY root, const std::string& key, const std::string& valueName,
                    const std::string& text) noexcept;
bool RegRemoveValue(HKEY root, const std::string& key, const std::string& valueName) noexcept;

// ---- Clock, security, loader lock ----

// Seconds since 1601 (UTC): the clock of the exception history.
std::uint64_t CurrentTimeSeconds() noexcept;

constexpr std::size_t ExceptionHistoryLength = 10;
// Exception times, newest first, 0 = empty.
using TExceptionHistory = std::array<std::uint64_t, ExceptionHistoryLength>;

// Not inheritable; the descriptor has a null DACL and must live as long as the attributes are used.
void InitNullDaclAttributes(SECURITY_ATTRIBUTES& attributes, SECURITY_DESCRIPTOR& descriptor) noexcept;

// True while the calling thread owns the loader lock or the PEB lock: then the reporter loads no
// library, starts no thread and does not wait.
bool IsLoaderLockHeld() noexcept;

bool IsIdentifier(std::string_view s) noexcept;

// A polymorphic C++ object is plausible when its virtual table and its type record lie in loaded
// modules, the table belongs to the complete object and the class name is made of identifiers.
bool IsValidObject(const void* object) noexcept;
// The class name of a plausible object ("::" written "."); empty otherwise.
std::string ObjectClassName(const void* object) noexcept;
// The object's std::exception base, or nullptr when it has none or is implausible.
const std::exception* ObjectAsStdException(const void* object) noexcept;
// The object's class or an ancestor has that name ("::" written "."); implausible objects have none.
bool IsClassNamed(const void* object, std::string_view name) noexcept;

// The thrown object an exception pointer holds; nullptr for an empty one.
void* ExceptionPtrObject(const std::exception_ptr& error) noexcept;

// ---- Per-thread cells and reported objects ----

// A pointer-sized cell per thread in a system TLS slot, usable before any dynamic initialiser has
// run (constant-initialised) and with little stack left (no thread_local first-use work). The slot
// is made on the first Set, or by Make at start-up; until then every thread's cell reads nullptr.
class TThreadCell {
public:
    constexpr TThreadCell() noexcept = default;
    TThreadCell(const TThreadCell&) = delete;
    TThreadCell& operator=(const TThreadCell&) = delete;
    bool Make() noexcept;
    void* Get() const noexcept;
    bool Set(void* value) noexcept;

private:
    std::atomic<DWORD> slotPlusOne_{0};
};

// Thrown objects the handling flow has reported: not reported again when a catch ends them. A mark
// goes when the run-time library frees the object.
void MarkReportedObject(const void* object) noexcept;
bool IsReportedObject(const void* object) noexcept;
void ForgetReportedObject(const void* object) noexcept;

// ---- Exception address ----

// What the interception side knows; each hook may be missing until that side exists.
struct TExceptionSources {
    // The run-time library's current exception; false when there is none.
    bool (*CurrentException)(void*& object, void*& address) = nullptr;
    // What the calling thread recorded for its last exception; false when nothing.
    bool (*RecordedException)(void*& object, void*& address, CONTEXT*& context) = nullptr;
    // Forgets what the calling thread recorded.
    void (*ClearRecordedException)() = nullptr;
    bool (*IsValidObject)(const void* object) = nullptr;
    // The object's class or an ancestor is "EAbort".
    bool (*IsAbortObject)(const void* object) = nullptr;
    // Entry of the function that holds an address, from the debug symbols; 0 when unknown.
    std::uintptr_t (*FunctionEntryOf)(std::uintptr_t address) = nullptr;
};
void SetExceptionSources(const TExceptionSources& sources) noexcept;

// Fills a missing object or address, drops an implausible object, takes the recorded context and
// moves an address that lies inside an instruction on by 4 when that gives an instruction start.
void ResolveExceptionAddress(void*& object, void*& address, CONTEXT*& context) noexcept;
void ClearRecordedException() noexcept;

// ---- Texts ----

// The pieces of a setting's list between separators ("a|b|" gives a, b and an empty last one);
// none for an empty text.
std::vector<std::string> SplitSettingList(const std::string& text, char separator);

// "2024-03-07, 09:05:04, 7ms": the %datetime% text and the report header's date/time.
std::string DateTimeText(const SYSTEMTIME& time);

// %appname%, %modname%, %exceptMsg%, %bugReport%, %LF%, %date%, %time% and %datetime%, in any
// case. Inserted texts are not expanded again.
std::string ExpandPlaceholders(HMODULE module, std::string_view text, std::string_view exceptMsg,
                               std::string_view bugReport) noexcept;
std::string ExpandPlaceholders(HMODULE module, std::string_view text, std::string_view exceptMsg,
                               std::string_view bugReport, const SYSTEMTIME& localTime) noexcept;

bool CopyTextToClipboard(std::string_view text) noexcept;

// ---- Restart hand-over ----

// The view of "hxExceptRestart$<new pid>", written by the restarting process.
struct THxRestartBlock {
    UINT_PTR ProcessId;          // the old process
    UINT_PTR Mapping;            // the mapping's handle, duplicated into the new process
    std::uint64_t History[ExceptionHistoryLength];
};
static_assert(offsetof(THxRestartBlock, History) == 2 * sizeof(void*), "pointer-sized cells, then the history");
static_assert(sizeof(THxRestartBlock) == 2 * sizeof(void*) + 80, "the hand-over block has no padding");

std::string RestartMappingName(DWORD processId);
// When a predecessor handed over: waits until it has ended, copies its history and returns true.
bool TakeOverRestartHistory(TExceptionHistory& history) noexcept;

// ---- Development environment, passwords ----

// Sends "hxExceptIdeJumpCommand" to the environment's reporter window; true when one answered.
bool SendIdeJumpCommand(const std::string& text) noexcept;

// Counter values of the two passes; the pass phrases come from the settings (server, account).
inline constexpr std::uint64_t PasswordIv1 = 0x5d3f1b7a90c4e268ull;
inline constexpr std::uint64_t PasswordIv2 = 0xa1e47c0932b6f58dull;
std::string DecipherPassword(std::string_view stored, std::string_view passPhrase1,
                             std::string_view passPhrase2) noexcept;
