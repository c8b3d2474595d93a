#include "hxExceptSections.h"

#include "hxExceptEntries.h"
#include "hxExceptSupport.h"

#include <algorithm>
#include <utility>

namespace {

bool Contains(const std::vector<DWORD>& ids, DWORD id)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

void AddThread(std::vector<TReportedThread>& threads, DWORD id, bool failing)
{
    if (id == 0)
        return;
    for (const TReportedThread& t : threads)
        if (t.ThreadId == id)
            return;
    threads.push_back({id, failing});
}

bool ReadContext(DWORD threadId, CONTEXT& context)
{
    if (threadId == GetCurrentThreadId())
        return false;
    HANDLE handle = OpenThreadHandle(threadId, THREAD_GET_CONTEXT | THREAD_SUSPEND_RESUME | THREAD_QUERY_INFORMATION);
    if (!handle)
        return false;
    bool ok = false;
    const DWORD previous = SuspendThread(handle);
    if (previous != DWORD(-1)) {
        context = CONTEXT{};
        context.ContextFlags = CONTEXT_FULL;
        ok = GetThreadContext(handle, &context) != FALSE;
        ResumeThread(handle);
    }
    CloseHandle(handle);
    return ok;
}

} // namespace

std::vector<TReportedThread> ReportedThreads(const TThreadOrderInput& input)
{
    std::vector<TReportedThread> threads;
    if (input.Freeze) {
        AddThread(threads, input.MainThreadId, false);
    } else {
        AddThread(threads, input.FailingThreadId, true);
        AddThread(threads, input.MainThreadId, false);
    }
    if (input.ListThreads)
        for (DWORD id : input.Threads)
            if (!Contains(input.Excluded, id))
                AddThread(threads, id, false);
    return threads;
}

std::string ThreadSectionTitle(const std::string& threadName, bool suspended, int priority)
{
    std::string title = threadName + ":";
    if (suspended)
        title += " <suspended>";
    if (priority != THREAD_PRIORITY_NORMAL)
        title += " <priority:" + std::to_string(priority) + ">";
    return title;
}

std::string ThreadPendingText(uintptr_t location, const TStackLineOptions& options)
{
    return StackItemText(location, options.ShowRelAddrs, options.ShowRelLines) + "\r\n" + ThreadStackPendingText;
}

std::string ThreadNotAccessibleText(bool failing, uintptr_t exceptionAddress, const TStackLineOptions& options)
{
    std::string text = StackNotAccessibleText;
    if (failing)
        text += ", exception location: \r\n" + StackItemText(exceptionAddress, options.ShowRelAddrs, options.ShowRelLines);
    return text;
}

bool SetUpThreadSection(DWORD threadId, bool failing, const TExceptionSite& site,
                        const TStackLineOptions& options, TThreadRecord& record, std::string& name,
                        std::string& text)
{
    const void* creatorAddress = nullptr;
    DWORD creatorThreadId = 0;
    const std::string threadName = GetThreadName(threadId, false, &creatorAddress, &creatorThreadId);
    if (threadName.empty())
        return false;
    record = TThreadRecord{};
    record.ThreadId = threadId;
    record.Failing = failing;
    TThreadState state;
    if (!GetThreadState(threadId, state)) {
        name = threadName + ":";
        text = ThreadNotAccessibleText(failing, site.Address, options);
        return true;
    }
    name = ThreadSectionTitle(threadName, state.Suspended, state.Priority);
    record.StackTop = state.StackEnd;
    record.CreatorAddress = creatorAddress;
    record.CreatorThreadId = creatorThreadId;
    if (failing) {
        record.Location = site.Address;
        if (site.Context) {
            record.Context = *site.Context;
            record.HasContext = true;
            record.StackPointer = ContextStackPointer(*site.Context);
            record.FramePointer = ContextFramePointer(*site.Context);
        } else {
            record.StackPointer = site.StackPointer;
            record.FramePointer = site.FramePointer;
        }
    } else {
        record.Location = state.InstructionPointer;
        record.StackPointer = state.StackPointer;
        record.FramePointer = state.FramePointer;
        record.HasContext = ReadContext(threadId, record.Context);
    }
    if (record.StackPointer == 0)
        record.StackPointer = state.StackPointer;
    record.StackBottom = record.StackPointer;
    text = ThreadPendingText(record.Location, options);
    return true;
}

std::vector<TThreadSection> SetUpThreadSections(const TThreadOrderInput& input, const TExceptionSite& site,
                                                const TStackLineOptions& options)
{
    std::vector<TThreadSection> sections;
    for (const TReportedThread& thread : ReportedThreads(input)) {
        TThreadSection section;
        if (SetUpThreadSection(thread.ThreadId, thread.Failing, site, options, section.Record, section.Name,
                               section.Text))
            sections.push_back(std::move(section));
    }
    return sections;
}

void CopyThreadStack(TThreadRecord& record)
{
    if (record.StackCopied || record.StackTop == 0 || record.StackBottom == 0)
        return;
    record.StackCopied = true;
    PreCollectStackItems(record.FramePointer, record.StackBottom, record.StackTop, 0, true, record.StackCopy,
                         record.HasContext ? &record.Context : nullptr);
}

std::string InsertCreatorBlock(const std::string& text, const std::string& creatorName,
                               const std::string& creatorStack)
{
    if (!text.empty() && text[0] == '>')
        return text;
    // The block follows the walked lines; a trailing line break is not doubled.
    std::string result = text;
    while (!result.empty() && (result.back() == '\r' || result.back() == '\n'))
        result.pop_back();
    result += "\r\n>> created by " + creatorName + " at:";
    if (!creatorStack.empty())
        result += "\r\n" + creatorStack;
    return result;
}

TThreadReport ThreadReport(const TThreadRecord& record, const TStackLineOptions& options,
                           const std::string& creatorStack)
{
    TThreadReport report;
    TTraceStackParams params;
    params.HideUglyItems = options.HideUglyItems;
    params.ShowRelAddrs = options.ShowRelAddrs;
    params.ShowRelLines = options.ShowRelLines;
    params.StartAddress = record.Location;
    // The record is another thread's: the walk never falls back to the caller's own position.
    params.StartAddressGiven = true;
    params.StartIsFault = true;
    params.StackBottom = record.StackBottom;
    params.StackTop = record.StackTop;
    params.FramePointer = record.FramePointer;
    params.Context = record.HasContext ? &record.Context : nullptr;
    if (record.StackCopied)
        params.PreItems = &record.StackCopy;
    params.UnitEntries = &report.UnitEntries;
    uintptr_t firstAddress = 0;
    params.FirstAddress = &firstAddress;
    params.Checksum1 = &report.Checksum1;
    params.Checksum2 = &report.Checksum2;
    params.Checksum3 = &report.Checksum3;
    TraceStack(params, report.Text);
    report.HasChecksums = !report.Text.empty();
    if (report.Text.empty())
        report.Text = StackNotAccessibleText;
    if (record.CreatorAddress || record.CreatorThreadId) {
        const std::string creatorName = GetThreadName(record.CreatorThreadId, true);
        std::string stack = creatorStack;
        if (stack.empty() && record.CreatorAddress)
            stack = StackItemText(reinterpret_cast<uintptr_t>(record.CreatorAddress), options.ShowRelAddrs,
                                  options.ShowRelLines);
        report.Text = InsertCreatorBlock(report.Text, creatorName, stack);
    }
    return report;
}

uint32_t FoldThreadChecksum(uint32_t checksum3, uint32_t threadChecksum2)
{
    return StackCrc32(checksum3, &threadChecksum2, sizeof(threadChecksum2));
}

namespace {

void NoteUnits(std::vector<std::string>& entries, const std::vector<std::string>& more)
{
    for (const std::string& entry : more)
        if (std::find(entries.begin(), entries.end(), entry) == entries.end())
            entries.push_back(entry);
}

} // namespace

void TReportChecksums::TakeFailing(const TThreadReport& report)
{
    if (report.HasChecksums) {
        Value[0] = report.Checksum1;
        Value[1] = report.Checksum2;
        Value[2] = report.Checksum2;
    }
    NoteUnits(UnitEntries, report.UnitEntries);
}

void TReportChecksums::AddThread(const TThreadReport& report, bool fold)
{
    if (fold && report.HasChecksums)
        Value[2] = FoldThreadChecksum(Value[2], report.Checksum2);
    NoteUnits(UnitEntries, report.UnitEntries);
}

// ---- Registers ----

#ifdef _WIN64
uintptr_t ContextStackPointer(const CONTEXT& context) { return context.Rsp; }
uintptr_t ContextFramePointer(const CONTEXT& context) { return context.Rbp; }
uintptr_t ContextInstructionPointer(const CONTEXT& context) { return context.Rip; }

std::string CpuRegistersText(const CONTEXT& c)
{
    const std::pair<const char*, DWORD64> registers[] = {
        {"rax", c.Rax}, {"rbx", c.Rbx}, {"rcx", c.Rcx}, {"rdx", c.Rdx}, {"rsi", c.Rsi}, {"rdi", c.Rdi},
        {"r8", c.R8},   {"r9", c.R9},   {"r10", c.R10}, {"r11", c.R11}, {"r12", c.R12}, {"r13", c.R13},
        {"r14", c.R14}, {"r15", c.R15}, {"rip", c.Rip}, {"rsp", c.Rsp}, {"rbp", c.Rbp},
    };
#else
uintptr_t ContextStackPointer(const CONTEXT& context) { return context.Esp; }
uintptr_t ContextFramePointer(const CONTEXT& context) { return context.Ebp; }
uintptr_t ContextInstructionPointer(const CONTEXT& context) { return context.Eip; }

std::string CpuRegistersText(const CONTEXT& c)
{
    const std::pair<const char*, DWORD> registers[] = {
        {"eax", c.Eax}, {"ebx", c.Ebx}, {"ecx", c.Ecx}, {"edx", c.Edx}, {"esi", c.Esi},
        {"edi", c.Edi}, {"eip", c.Eip}, {"esp", c.Esp}, {"ebp", c.Ebp},
    };
#endif
    std::string text;
    for (const auto& [name, value] : registers) {
        if (!text.empty())
            text += "\r\n";
        std::string label = name;
        // Names line up: "r8  = " beside "r10 = ".
        label.resize(3, ' ');
        text += label + " = " + StackHex(value);
    }
    return text;
}

// ---- Stack dump ----

std::string StackDumpText(uintptr_t start, uintptr_t end, const TByteSource& source)
{
    constexpr uintptr_t LineBytes = 16;
    static const char Digits[] = "0123456789abcdef";
    std::string text;
    uintptr_t line = start;
    for (int n = 0; n < StackDumpMaxLines; ++n) {
        uint8_t bytes[LineBytes];
        size_t count = LineBytes;
        if (end != 0)
            count = end > line ? static_cast<size_t>(std::min<uintptr_t>(end - line, LineBytes)) : 0;
        // A line that would run past the top of the address space is cut there.
        if (line + count < line)
            count = static_cast<size_t>(~line + 1);
        count = source.Read(line, bytes, count);
        if (count == 0)
            break;
        if (n > 0)
            text += "\r\n";
        text += StackHex(line) + "  ";
        for (size_t column = 0; column < LineBytes; ++column) {
            const bool present = column < count;
            if (column == 8)
                text += present ? "- " : "  ";
            if (present) {
                text += Digits[bytes[column] >> 4];
                text += Digits[bytes[column] & 15];
                text += ' ';
            } else {
                text += "   ";
            }
        }
        text += ' ';
        for (size_t column = 0; column < count; ++column)
            text += bytes[column] >= 0x21 && bytes[column] <= 0x7e ? static_cast<char>(bytes[column]) : '.';
        if (count < LineBytes || line + LineBytes < line)
            break;
        line += LineBytes;
        if (end != 0 && line >= end)
            break;
    }
    return text;
}

std::string StackDumpText(const CONTEXT& context)
{
    const uintptr_t start = ContextStackPointer(context);
    uintptr_t end = 0;
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(reinterpret_cast<const void*>(start), &info, sizeof(info)) == sizeof(info))
        end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    TProcessMemory memory;
    return StackDumpText(start, end, memory);
}

// ---- Disassembly ----

std::string DisAsmSectionText(THxDisAsmHook hook, uintptr_t exceptionAddress, int limit)
{
    if (!hook || exceptionAddress == 0)
        return {};
    uintptr_t entry = 0;
    std::string name;
    if (!StackSymbols().PublicAt(exceptionAddress, name, entry))
        entry = 0;
#ifdef _WIN64
    if (entry == 0) {
        DWORD64 imageBase = 0;
        if (const RUNTIME_FUNCTION* function = RtlLookupFunctionEntry(exceptionAddress, &imageBase, nullptr))
            entry = static_cast<uintptr_t>(imageBase + function->BeginAddress);
    }
#endif
    if (entry == 0 || entry > exceptionAddress)
        return {};
    std::string text;
    TFunctionInfo info;
    hook(entry, text, exceptionAddress, info, limit);
    return text;
}

std::string GuardedSectionText(const char* routineName, const std::function<std::string()>& compose,
                               const TStackLineOptions& options)
{
    try {
        return compose();
    } catch (...) {
        return InternalErrorText(routineName, options.ShowRelAddrs, options.ShowRelLines, HandledExceptionAddress());
    }
}
