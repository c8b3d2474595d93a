#pragma once

// The bug report's sections: one per reported thread with its call stack, "cpu registers",
// "stack dump" and "disassembling". Each text is built from plain inputs (a context, memory read
// through a byte source, a walk's result, thread names) so the exception object only passes
// what it has.

#include "hxDisAsm.h"
#include "hxExceptPlugins.h"
#include "hxStackTrace.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

inline constexpr const char* CpuRegistersSectionName = "cpu registers";
inline constexpr const char* StackDumpSectionName = "stack dump";
inline constexpr const char* DisAsmSectionName = "disassembling";

// Placeholder of a section that is not calculated yet.
inline constexpr const char* SectionPendingText = ">> will be calculated soon";
// Placeholder of a thread whose stack is not walked yet.
inline constexpr const char* ThreadStackPendingText = ">> stack will be calculated soon";
inline constexpr const char* StackNotAccessibleText = ">> stack not accessible";

// Lines of 16 bytes a stack dump shows at most.
constexpr int StackDumpMaxLines = 20;

struct TStackLineOptions {
    bool HideUglyItems = false;
    bool ShowRelAddrs = false;
    bool ShowRelLines = false;
};

// ---- Which threads are reported ----

struct TReportedThread {
    DWORD ThreadId = 0;
    bool Failing = false;
};

struct TThreadOrderInput {
    bool Freeze = false;                 // a freeze marks no thread as the failing one
    DWORD FailingThreadId = 0;
    DWORD MainThreadId = 0;
    bool ListThreads = true;             // all other threads as well
    std::vector<DWORD> Threads;          // the process's threads in list order
    std::vector<DWORD> Excluded;         // the freeze watch and the handler thread
};

// Freeze: the main thread. Otherwise the failing thread, then the main thread. With ListThreads
// every other thread follows in list order. No thread appears twice.
std::vector<TReportedThread> ReportedThreads(const TThreadOrderInput& input);

// ---- Thread sections ----

// What the report keeps of one reported thread.
struct TThreadRecord {
    DWORD ThreadId = 0;
    bool Failing = false;
    uintptr_t StackPointer = 0;
    uintptr_t FramePointer = 0;
    uintptr_t Location = 0;              // the exception address or the current instruction
    uintptr_t StackTop = 0;              // end of the stack's memory region
    uintptr_t StackBottom = 0;           // lowest address read: the stack pointer
    const void* CreatorAddress = nullptr;
    DWORD CreatorThreadId = 0;
    bool HasContext = false;
    CONTEXT Context{};                   // the thread's registers (the exception's for the failing one)
    bool StackCopied = false;
    TDAPreStackItems StackCopy;          // the candidates, copied once before the walk
};

// Name + ":" (the name is "name ($id)" or "thread $id"), then " <suspended>" and " <priority:n>"
// when the priority is not normal.
std::string ThreadSectionTitle(const std::string& threadName, bool suspended, int priority);

// The stack line of Location, then the pending stack placeholder.
std::string ThreadPendingText(uintptr_t location, const TStackLineOptions& options);

// The text of a thread whose state cannot be read; the failing thread adds its exception location.
std::string ThreadNotAccessibleText(bool failing, uintptr_t exceptionAddress, const TStackLineOptions& options);

// What the failing thread's section takes from the exception.
struct TExceptionSite {
    uintptr_t Address = 0;
    const CONTEXT* Context = nullptr;    // may be missing
    uintptr_t StackPointer = 0;          // used without a context
    uintptr_t FramePointer = 0;
};

// Sets up one thread's section: false for a thread without a name (the reporter's own threads),
// which gets no section. Otherwise Record, Name and the placeholder Text are filled.
bool SetUpThreadSection(DWORD threadId, bool failing, const TExceptionSite& site,
                        const TStackLineOptions& options, TThreadRecord& record, std::string& name,
                        std::string& text);

struct TThreadSection {
    std::string Name;
    std::string Text;
    TThreadRecord Record;
};

// The sections of the reported threads in report order; threads without a name are left out.
std::vector<TThreadSection> SetUpThreadSections(const TThreadOrderInput& input, const TExceptionSite& site,
                                                const TStackLineOptions& options);

// Copies the candidates of the recorded stack once, through guarded reads. The thread is not
// paused here: the copy allocates, and a thread paused inside the heap would hold its lock.
void CopyThreadStack(TThreadRecord& record);

// Inserts the creator block after the text's last line break: CR LF ">> created by " + the
// creator's name + " at:" and the creator's stack. Texts starting with ">" stay as they are.
std::string InsertCreatorBlock(const std::string& text, const std::string& creatorName,
                               const std::string& creatorStack);

struct TThreadReport {
    std::string Text;
    bool HasChecksums = false;
    uint32_t Checksum1 = 0;
    uint32_t Checksum2 = 0;
    uint32_t Checksum3 = 0;
    std::vector<std::string> UnitEntries;    // "module|descriptor" of the walked modules
};

// Walks the recorded stack; a stack that cannot be read gives ">> stack not accessible".
// A recorded creator adds its block (its stack is CreatorStack, or
// the creating code's stack line when none was recorded).
TThreadReport ThreadReport(const TThreadRecord& record, const TStackLineOptions& options,
                           const std::string& creatorStack = {});

// The third checksum extended by another thread's second checksum.
uint32_t FoldThreadChecksum(uint32_t checksum3, uint32_t threadChecksum2);

// The report's three checksums and the debug-data modules its walks met.
struct TReportChecksums {
    uint32_t Value[3] = {0, 0, 0};
    std::vector<std::string> UnitEntries;    // "module|descriptor", once each

    // The failing thread's walk gives the first two; the third starts as the second.
    void TakeFailing(const TThreadReport& report);
    // Another thread: its modules are noted; with Fold its second checksum extends the third.
    void AddThread(const TThreadReport& report, bool fold);
};

// ---- Registers, stack dump, disassembly ----

// One "name = value" line per register in pointer width, joined by CR LF: x64 rax..r15, rip,
// rsp, rbp; i686 eax, ebx, ecx, edx, esi, edi, eip, esp, ebp.
std::string CpuRegistersText(const CONTEXT& context);
uintptr_t ContextStackPointer(const CONTEXT& context);
uintptr_t ContextFramePointer(const CONTEXT& context);
uintptr_t ContextInstructionPointer(const CONTEXT& context);

// Up to 20 lines of 16 bytes from Start: address, the bytes in hexadecimal ("- " between the two
// halves) and the printable ones. End is the first address after the stack's region; 0 = none.
// A byte the source cannot read ends the dump like End does.
std::string StackDumpText(uintptr_t start, uintptr_t end, const TByteSource& source);
// The dump of the own process at the context's stack pointer, up to the end of its region.
std::string StackDumpText(const CONTEXT& context);

// The disassembler hook's listing of the own process's function around ExceptionAddress, limited
// to about Limit lines (0 = the whole function); empty without a hook or a known function start.
std::string DisAsmSectionText(THxDisAsmHook hook, uintptr_t exceptionAddress, int limit);

// Runs Compose; any failure gives ">> internal error in " + RoutineName, followed by the stack line
// of the exception's throw site when the recorder saw that throw.
std::string GuardedSectionText(const char* routineName, const std::function<std::string()>& compose,
                               const TStackLineOptions& options);
