#include "hxExceptSections.h"
#include "hxLinkDisAsm.h"

#include "hxExceptEntries.h"
#include "hxExceptSupport.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
        lines.push_back(text.substr(from, at - from));
    lines.push_back(text.substr(from));
    return lines;
}

[[noreturn]] __attribute__((noinline)) void ThrowSectionError()
{
    throw std::runtime_error("section");
}

// Where the recorder saw ThrowSectionError throw.
uintptr_t SectionThrowSite()
{
    try {
        ThrowSectionError();
    } catch (...) {
        const TThrowRecord* record = CurrentThrowRecord();
        return record ? reinterpret_cast<uintptr_t>(record->Address) : 0;
    }
}

std::string Hex(DWORD id)
{
    std::ostringstream s;
    s << "$" << std::hex << id;
    return s.str();
}

// A thread that waits on an event until the test lets it go.
struct TParkedWorker {
    // Suspending a thread that is still starting may catch it inside the loader's or the heap's
    // lock: the worker says when it waits, and only then may a test hold it.
    HANDLE Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE Waiting = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD Id = 0;
    HANDLE Handle = CreateThread(nullptr, 0, &Park, this, 0, &Id);
    TParkedWorker()
    {
        const HANDLE either[] = {Waiting, Handle};
        WaitForMultipleObjects(2, either, FALSE, INFINITE);
    }
    ~TParkedWorker()
    {
        // A failed check must not leave the thread paused.
        for (DWORD count = ResumeThread(Handle); count > 1 && count != DWORD(-1); count = ResumeThread(Handle)) {
        }
        SetEvent(Release);
        WaitForSingleObject(Handle, INFINITE);
        CloseHandle(Handle);
        CloseHandle(Waiting);
        CloseHandle(Release);
    }
    static DWORD WINAPI Park(void* parameter)
    {
        auto* self = static_cast<TParkedWorker*>(parameter);
        return SignalObjectAndWait(self->Waiting, self->Release, INFINITE, FALSE);
    }
};

} // namespace

TEST(HxExceptSections, StackDumpStopsAtTheRegionsEnd)
{
    std::vector<uint8_t> memory(256);
    for (size_t i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<uint8_t>(i);
    const uintptr_t base = 0x10000;
    TBufferSource source(memory.data(), memory.size(), base);
    const uintptr_t end = base + memory.size();
    const uintptr_t start = end - 100;

    const std::vector<std::string> lines = Lines(StackDumpText(start, end, source));
    ASSERT_EQ(lines.size(), 7u);
    const size_t hexWidth = StackAddressDigits + 2 + 16 * 3 + 2;
    // A full line: address, both halves, one blank, 16 characters.
    EXPECT_EQ(lines[0].substr(0, StackAddressDigits + 2), StackHex(start) + "  ");
    EXPECT_EQ(lines[0].size(), hexWidth + 1 + 16);
    EXPECT_EQ(lines[0].substr(StackAddressDigits + 2 + 8 * 3, 2), "- ");
    EXPECT_EQ(lines[1].substr(StackAddressDigits + 2, 5), "ac ad");
    // 0x20 is not printable here, 0x21 is.
    const std::string low = Lines(StackDumpText(base + 0x1c, end, source))[0];
    EXPECT_EQ(low.substr(StackAddressDigits + 2, 15), "1c 1d 1e 1f 20 ");
    EXPECT_EQ(low.substr(hexWidth + 1), ".....!\"#$%&'()*+");
    // The last line: 4 bytes, blanks in place of the rest, no "- ", 4 characters.
    EXPECT_EQ(lines[6].substr(0, StackAddressDigits), StackHex(end - 4));
    EXPECT_EQ(lines[6].substr(StackAddressDigits + 2), "fc fd fe ff" + std::string(12 * 3 + 2 + 1 + 1, ' ') + "....");

    // Without an end: at most 20 lines, and unreadable memory ends the dump like an end.
    std::vector<uint8_t> big(1024, 'A');
    TBufferSource bigSource(big.data(), big.size(), base);
    EXPECT_EQ(Lines(StackDumpText(base, 0, bigSource)).size(), 20u);
    EXPECT_EQ(Lines(StackDumpText(base + 1024 - 40, 0, bigSource)).size(), 3u);
    EXPECT_EQ(StackDumpText(base + 4096, 0, bigSource), "");

    // A context's dump ends with the stack pointer's memory region.
    const DWORD pageSize = 4096;
    auto* page = static_cast<uint8_t*>(VirtualAlloc(nullptr, pageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(page, nullptr);
    CONTEXT context{};
#ifdef _WIN64
    context.Rsp = reinterpret_cast<uintptr_t>(page) + pageSize - 100;
#else
    context.Esp = reinterpret_cast<uintptr_t>(page) + pageSize - 100;
#endif
    const std::vector<std::string> region = Lines(StackDumpText(context));
    VirtualFree(page, 0, MEM_RELEASE);
    ASSERT_EQ(region.size(), 7u);
    EXPECT_EQ(region[6].size(), hexWidth + 1 + 4);
}

TEST(HxExceptSections, RegistersInPointerWidth)
{
    CONTEXT context{};
#ifdef _WIN64
    context.Rax = 0x1122334455667788ull;
    context.Rip = 0x7fff00001234ull;
    const std::vector<std::string> names = {"rax", "rbx", "rcx", "rdx", "rsi", "rdi", "r8 ", "r9 ", "r10",
                                            "r11", "r12", "r13", "r14", "r15", "rip", "rsp", "rbp"};
    const uint64_t first = context.Rax;
    const size_t ip = 14;
#else
    context.Eax = 0x11223344;
    context.Eip = 0x401234;
    const std::vector<std::string> names = {"eax", "ebx", "ecx", "edx", "esi", "edi", "eip", "esp", "ebp"};
    const uint64_t first = context.Eax;
    const size_t ip = 6;
#endif
    const std::vector<std::string> lines = Lines(CpuRegistersText(context));
    ASSERT_EQ(lines.size(), names.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].substr(0, 6), names[i] + " = ");
        EXPECT_EQ(lines[i].size(), 6u + StackAddressDigits);
    }
    EXPECT_EQ(lines[0].substr(6), StackHex(first));
    EXPECT_EQ(lines[ip].substr(6), StackHex(ContextInstructionPointer(context)));
}

TEST(HxExceptSections, ThreadOrderTitlesAndTexts)
{
    TThreadOrderInput input;
    input.FailingThreadId = 30;
    input.MainThreadId = 10;
    input.Threads = {10, 20, 30, 40, 50};
    input.Excluded = {40};
    auto ids = [](const std::vector<TReportedThread>& threads) {
        std::vector<DWORD> result;
        for (const TReportedThread& t : threads)
            result.push_back(t.ThreadId);
        return result;
    };
    std::vector<TReportedThread> threads = ReportedThreads(input);
    EXPECT_EQ(ids(threads), (std::vector<DWORD>{30, 10, 20, 50}));
    EXPECT_TRUE(threads[0].Failing);
    EXPECT_FALSE(threads[1].Failing);
    input.ListThreads = false;
    EXPECT_EQ(ids(ReportedThreads(input)), (std::vector<DWORD>{30, 10}));
    // A freeze: the main thread first, none failing.
    input.Freeze = true;
    input.ListThreads = true;
    threads = ReportedThreads(input);
    EXPECT_EQ(ids(threads), (std::vector<DWORD>{10, 20, 30, 50}));
    EXPECT_FALSE(threads[2].Failing);

    EXPECT_EQ(ThreadSectionTitle("scan ($1c)", true, 0), "scan ($1c): <suspended>");
    EXPECT_EQ(ThreadSectionTitle("thread $1c", false, -2), "thread $1c: <priority:-2>");
    const TStackLineOptions options;
    EXPECT_EQ(ThreadNotAccessibleText(true, 0x1234, options),
              ">> stack not accessible, exception location: \r\n" + StackItemText(0x1234, false, false));
    EXPECT_EQ(InsertCreatorBlock("a\r\nb\r\n", "main thread ($a)", "c"), "a\r\nb\r\n>> created by main thread ($a) at:\r\nc");
    EXPECT_EQ(InsertCreatorBlock(">> stack not accessible", "x", "c"), ">> stack not accessible");
    EXPECT_EQ(FoldThreadChecksum(7, 0x01020304), StackCrc32(7, "\x04\x03\x02\x01", 4));
    const TThreadReport failing{"", true, 1, 2, 0, {"a.exe|x"}};
    const TThreadReport other{"", true, 0, 0x01020304, 0, {"a.exe|x", "b.dll|y"}};
    TReportChecksums sums;
    sums.TakeFailing(failing);
    sums.AddThread(other, false);
    EXPECT_EQ(sums.Value[2], 2u);
    sums.AddThread(other, true);
    EXPECT_EQ(sums.Value[2], FoldThreadChecksum(2, 0x01020304));
    EXPECT_EQ(sums.UnitEntries, (std::vector<std::string>{"a.exe|x", "b.dll|y"}));
}

TEST(HxExceptSections, FailedSectionNamesTheThrowSite)
{
    const TStackLineOptions options;
    const uintptr_t site = SectionThrowSite();
    ASSERT_NE(site, 0u);
    EXPECT_EQ(GuardedSectionText("GetStackDump", [] () -> std::string { ThrowSectionError(); }, options),
              InternalErrorText("GetStackDump", false, false, site));
    // Another throw, caught while the failing one unwinds, holds the record: no address then.
    const std::string text = GuardedSectionText(
        "GetStackDump",
        [] () -> std::string {
            struct TCatchesOwn {
                ~TCatchesOwn()
                {
                    try {
                        throw 1;
                    } catch (int) {
                    }
                }
            } guard;
            ThrowSectionError();
        },
        options);
    EXPECT_EQ(text, InternalErrorText("GetStackDump", false, false));
}

TEST(HxExceptSections, PausedWorkerThread)
{
    DWORD mainThread = 0;
    ASSERT_EQ(ModuleThreadTable().Open(mainThread), TThreadTableResult::Opened);
    TParkedWorker worker;
    ASSERT_NE(worker.Handle, nullptr);
    AssignThreadName(worker.Id, "sweeper");
    ASSERT_NE(SuspendThread(worker.Handle), DWORD(-1));
    CONTEXT context{};
    context.ContextFlags = CONTEXT_FULL;
    ASSERT_TRUE(GetThreadContext(worker.Handle, &context));

    // The worker as the failing thread, its context as the exception's.
    const TStackLineOptions options;
    TExceptionSite site;
    site.Address = ContextInstructionPointer(context);
    site.Context = &context;
    TThreadRecord record;
    std::string name, text;
    ASSERT_TRUE(SetUpThreadSection(worker.Id, true, site, options, record, name, text));
    EXPECT_EQ(name, "sweeper (" + Hex(worker.Id) + "): <suspended>");
    EXPECT_EQ(text, StackItemText(site.Address, false, false) + "\r\n" + ThreadStackPendingText);
    EXPECT_EQ(record.StackPointer, ContextStackPointer(context));
    EXPECT_GT(record.StackTop, record.StackPointer);

    CopyThreadStack(record);
    EXPECT_TRUE(record.StackCopied);
    const TThreadReport report = ThreadReport(record, options);
    EXPECT_NE(report.Text[0], '>') << report.Text;
    EXPECT_TRUE(report.HasChecksums);
    // A stack that cannot be read says so and gets no creator block.
    TThreadRecord lost = record;
    lost.StackCopied = false;
    lost.StackBottom = lost.StackTop = 0x1000;
    lost.CreatorThreadId = mainThread;
    EXPECT_EQ(ThreadReport(lost, options).Text, StackNotAccessibleText);

    const std::vector<std::string> dump = Lines(StackDumpText(context));
    EXPECT_GE(dump.size(), 2u);
    EXPECT_EQ(dump[0].substr(0, StackAddressDigits), StackHex(ContextStackPointer(context)));
    ResumeThread(worker.Handle);

    // The failing thread first, then the main thread by its name; the reporter's own threads
    // get no section.
    TThreadOrderInput input;
    input.FailingThreadId = worker.Id;
    input.MainThreadId = mainThread;
    input.ListThreads = false;
    std::vector<TThreadSection> sections = SetUpThreadSections(input, site, options);
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_TRUE(sections[0].Record.Failing);
    EXPECT_EQ(sections[0].Name, "sweeper (" + Hex(worker.Id) + "):");
    EXPECT_EQ(sections[1].Name.rfind("main thread (" + Hex(mainThread) + "):", 0), 0u);
    AssignThreadName(worker.Id, "-");
    EXPECT_FALSE(SetUpThreadSection(worker.Id, false, site, options, record, name, text));
    sections = SetUpThreadSections(input, site, options);
    ASSERT_EQ(sections.size(), 1u);
    EXPECT_EQ(sections[0].Record.ThreadId, mainThread);
    ModuleThreadTable().Close();
}

TEST(HxExceptSections, DisassemblyAroundOwnCode)
{
    const auto address = reinterpret_cast<uintptr_t>(&ReportedThreads) + 4;
    EXPECT_EQ(DisAsmSectionText(nullptr, address, 5), "");
    LinkDisAsm();
    const std::string text = DisAsmSectionText(DisAsmHook(), address, 5);
    UnlinkDisAsm();
    EXPECT_NE(text.find('>'), std::string::npos) << text;
}
