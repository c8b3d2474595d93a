// The stack walker on this test's own call chains.

#include "hxStackTrace.h"

#include "hxExceptEntries.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile int Sink;

struct TCapture {
    std::string Text;
    uint32_t Checksum[3] = {};
    int LineA = 0, LineB = 0, LineC = 0;
    bool OwnBottom = false;   // walk from a bottom of StackC's: no unwound frames
    bool PreCollected = false;  // walk a copy taken from the registers, as the reporter does
    TTraceStackParams Params;
};

}  // namespace

// A call chain that stays a chain: no inlining, no cloning, a side effect after each call.
extern "C" __attribute__((noinline, noipa)) void StackC(TCapture& out)
{
    volatile char here = 0;
    if (out.OwnBottom)
        out.Params.StackBottom = reinterpret_cast<uintptr_t>(&here);
    out.Params.Checksum1 = &out.Checksum[0];
    out.Params.Checksum2 = &out.Checksum[1];
    out.Params.Checksum3 = &out.Checksum[2];
    TraceStack(out.Params, out.Text); out.LineC = __LINE__;
    Sink = Sink + 1;
}

extern "C" __attribute__((noinline, noipa)) void StackB(TCapture& out)
{
    StackC(out); out.LineB = __LINE__;
    Sink = Sink + 2;
}

extern "C" __attribute__((noinline, noipa)) void StackA(TCapture& out)
{
    StackB(out); out.LineA = __LINE__;
    Sink = Sink + 3;
}

extern "C" __attribute__((noinline, noipa)) void StackFromOneSite(TCapture& out)
{
    StackA(out);
    Sink = Sink + 4;
}

// A thread parked in a wait, to be walked from outside.
int ParkLine;
extern "C" __attribute__((noinline, noipa)) void StackPark(HANDLE ready, HANDLE go, uintptr_t& top)
{
    top = ThreadStackTop();
    SignalObjectAndWait(ready, go, INFINITE, FALSE); ParkLine = __LINE__;
    Sink = Sink + 6;
}

extern "C" __attribute__((noinline, noipa)) void StackRecurse(int depth, TCapture& out)
{
    if (depth == 0)
        TraceStack(out.Params, out.Text);
    else
        StackRecurse(depth - 1, out);
    Sink = Sink + depth;
}

// A deep recursion of two functions that walks its own stack at the bottom.
extern "C" __attribute__((noinline, noipa)) void StackPong(int depth, TCapture& out);

extern "C" __attribute__((noinline, noipa)) void StackPing(int depth, TCapture& out)
{
    if (depth == 0 && out.PreCollected) {
#ifdef _WIN64
        CONTEXT context;
        RtlCaptureContext(&context);
        TDAPreStackItems items;
        PreCollectStackItems(0, context.Rsp, 0, 0, true, items, &context);
        out.Params.StartAddress = context.Rip;
        out.Params.StartAddressGiven = true;
        out.Params.StartIsFault = true;
        out.Params.Context = &context;
        out.Params.PreItems = &items;
        TraceStack(out.Params, out.Text);
        out.Params.Context = nullptr;
        out.Params.PreItems = nullptr;
#endif
    } else if (depth == 0) {
        TraceStack(out.Params, out.Text);
    } else {
        StackPong(depth, out);
    }
    Sink = Sink + depth;
}

extern "C" __attribute__((noinline, noipa)) void StackPong(int depth, TCapture& out)
{
    StackPing(depth - 1, out);
    Sink = Sink + depth;
}

struct TDeepWalk {
    int Depth = 0;
    TCapture Out;
    double Seconds = 0;      // elapsed
    double CpuSeconds = 0;   // the thread's own time, whatever else runs beside it
};

static double ThreadCpuSeconds()
{
    FILETIME creation, exit, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &creation, &exit, &kernel, &user))
        return 0;
    auto seconds = [](const FILETIME& t) {
        return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// The entry of a thread with room for a deep recursion.
extern "C" __attribute__((noinline, noipa)) DWORD WINAPI StackDeepStart(void* parameter)
{
    auto& walk = *static_cast<TDeepWalk*>(parameter);
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    const double cpuBefore = ThreadCpuSeconds();
    QueryPerformanceCounter(&before);
    StackPing(walk.Depth, walk.Out);
    QueryPerformanceCounter(&after);
    walk.CpuSeconds = ThreadCpuSeconds() - cpuBefore;
    walk.Seconds = double(after.QuadPart - before.QuadPart) / double(frequency.QuadPart);
    Sink = Sink + 7;
    return 0;
}

extern "C" __attribute__((noinline, noipa)) uintptr_t StackPreCollect(TDAPreStackItems& items, uintptr_t stop)
{
    PreCollectStackItems(0, 0, 0, stop, true, items);
    Sink = Sink + 4;
    return reinterpret_cast<uintptr_t>(__builtin_return_address(0));
}

// One call site, so that both collections see the same return address.
extern "C" __attribute__((noinline, noipa)) uintptr_t StackPreCollectOnce(TDAPreStackItems& items, uintptr_t stop)
{
    const uintptr_t ret = StackPreCollect(items, stop);
    Sink = Sink + 5;
    return ret;
}

#ifdef _WIN64
// Code read out of step: the host's 10-byte move hides a call at host+7 that returns to host+12,
// and a move there swallows the host's ret, so that reading runs on into the next function.
extern "C" void StackOverlapLeaf();
extern "C" void StackOverlapHost();
extern "C" void StackOverlapOther();
extern "C" void StackOverlapCaller();
__asm__(".text\n"
        ".p2align 4\n"
        "StackOverlapLeaf:\n"
        "    ret\n"
        ".p2align 4\n"
        "StackOverlapHost:\n"
        "    call StackOverlapLeaf\n"                                  // returns to host+5
        "    .byte 0x48, 0xb8, 0xe8\n"                                 // mov rax, imm64
        "    .long StackOverlapLeaf - (StackOverlapHost + 12)\n"
        "    .byte 0xb8, 0x90, 0x90\n"
        "    ret\n"
        "    nop\n"
        "StackOverlapOther:\n"
        "    call StackOverlapHost\n"                                  // returns to other+5
        "    ret\n"
        ".p2align 4\n"
        "StackOverlapCaller:\n"
        "    call StackOverlapHost+7\n"                                // returns to caller+5
        "    ret\n"
        ".p2align 4\n"
        "StackOverlapNamedCaller:\n"
        "    call StackOverlapHost+7\n"                                // returns to named+5
        "    ret\n");
extern "C" void StackOverlapNamedCaller();

// Two chains from the outer frame to the tail's frame: directly, or through a stale return address
// of the function calling itself (self+5). Gaps are int3, so that decoding backwards from a
// return address finds only its call.
extern "C" void StackScoreLeaf();
extern "C" void StackScoreSelf();
extern "C" void StackScoreOuter();
__asm__(".text\n"
        ".p2align 4, 0xcc\n"
        "StackScoreLeaf:\n"
        "    ret\n"
        ".p2align 4, 0xcc\n"
        "StackScoreSelf:\n"
        "    call StackScoreSelf\n"                                    // returns to self+5
        "    call StackScoreLeaf\n"                                    // returns to self+10
        "    ret\n"
        ".p2align 4, 0xcc\n"
        "StackScoreOuter:\n"
        "    call StackScoreSelf\n"                                    // returns to outer+5
        "    ret\n"
        ".p2align 4, 0xcc\n");
#endif

namespace {

[[noreturn]] __attribute__((noinline)) void ThrowSymbolsError()
{
    throw std::runtime_error("symbols");
}

// Where the recorder saw ThrowSymbolsError throw.
uintptr_t SymbolsThrowSite()
{
    try {
        ThrowSymbolsError();
    } catch (...) {
        const TThrowRecord* record = CurrentThrowRecord();
        return record ? reinterpret_cast<uintptr_t>(record->Address) : 0;
    }
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t from = 0;
    while (!text.empty()) {
        const size_t at = text.find("\r\n", from);
        lines.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            break;
        from = at + 2;
    }
    return lines;
}

// The symbols written beside this executable at its link.
bool HaveSymbolFile()
{
    char path[MAX_PATH];
    const std::string exe(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    return GetFileAttributesA((exe.substr(0, exe.find_last_of('.')) + ".hx").c_str()) != INVALID_FILE_ATTRIBUTES;
}

#ifdef _WIN64
// Symbols for the chain functions of this executable: each function's bounds come from the unwind
// table; its entry is on line 10 * n, everything else in it on line 10 * n + 5.
class TChainSymbols : public TStackSymbolSource {
public:
    bool Throwing = false;
    std::set<uintptr_t> ExtraLines;   // addresses on line 100
    bool HasSymbols(uintptr_t module) const override
    {
        return module == reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
    }
    bool PublicAt(uintptr_t address, std::string& name, uintptr_t& entry) const override
    {
        if (Throwing)
            ThrowSymbolsError();
        if (OverlapPublic(address, name, entry))
            return true;
        const int n = Index(address, entry);
        if (n < 0)
            return false;
        name = Names[n];
        return true;
    }
    std::string UnitAt(uintptr_t address) const override
    {
        uintptr_t entry;
        return Index(address, entry) >= 0 ? "hxStackTraceTest.cpp" : "";
    }
    int LineAt(uintptr_t address) const override
    {
        if (ExtraLines.count(address))
            return 100;
        uintptr_t entry;
        const int n = Index(address, entry);
        return n < 0 ? 0 : 10 * (n + 1) + (address == entry ? 0 : 5);
    }
    std::string Descriptor(uintptr_t) const override { return {}; }

private:
    // The misread call has a public of its own; the first caller of it has none. The self-calling
    // function's second call has a public of its own too, so that its frame does not make the
    // whole function known.
    static bool OverlapPublic(uintptr_t address, std::string& name, uintptr_t& entry)
    {
        const auto host = reinterpret_cast<uintptr_t>(&StackOverlapHost);
        const auto other = reinterpret_cast<uintptr_t>(&StackOverlapOther);
        const auto leaf = reinterpret_cast<uintptr_t>(&StackOverlapLeaf);
        const auto named = reinterpret_cast<uintptr_t>(&StackOverlapNamedCaller);
        const auto self = reinterpret_cast<uintptr_t>(&StackScoreSelf);
        if (address >= host + 7 && address <= host + 12)
            entry = host + 7, name = "StackOverlapGhost";
        else if (address >= host && address < other)
            entry = host, name = "StackOverlapHost";
        else if (address >= other && address < other + 6)
            entry = other, name = "StackOverlapOther";
        else if (address == leaf)
            entry = leaf, name = "StackOverlapLeaf";
        else if (address >= named && address < named + 6)
            entry = named, name = "StackOverlapNamedCaller";
        else if (address >= self && address < self + 5)
            entry = self, name = "StackScoreSelf";
        else if (address >= self + 5 && address < self + 11)
            entry = self + 5, name = "StackScoreTail";
        else
            return false;
        return true;
    }
    static constexpr const char* Names[] = {"StackA",    "StackB",    "StackC",
                                            "StackRecurse", "StackPing", "StackPong", "StackDeepStart"};
    static int Index(uintptr_t address, uintptr_t& entry)
    {
        const void* functions[] = {reinterpret_cast<void*>(&StackA),         reinterpret_cast<void*>(&StackB),
                                   reinterpret_cast<void*>(&StackC),         reinterpret_cast<void*>(&StackRecurse),
                                   reinterpret_cast<void*>(&StackPing),      reinterpret_cast<void*>(&StackPong),
                                   reinterpret_cast<void*>(&StackDeepStart)};
        DWORD64 base = 0;
        PRUNTIME_FUNCTION f = RtlLookupFunctionEntry(address, &base, nullptr);
        if (!f)
            return -1;
        entry = uintptr_t(base + f->BeginAddress);
        for (int n = 0; n < int(std::size(functions)); ++n)
            if (reinterpret_cast<uintptr_t>(functions[n]) == entry)
                return n;
        return -1;
    }
};

class StackTrace : public testing::Test {
protected:
    void SetUp() override { old_ = SetStackSymbolSource(&symbols_); }
    void TearDown() override { SetStackSymbolSource(old_); }
    TChainSymbols symbols_;

private:
    const TStackSymbolSource* old_ = nullptr;
};
#else
class StackTrace : public testing::Test {
protected:
    void SetUp() override { GTEST_SKIP() << "walks are checked on x64"; }
    struct {
        bool Throwing = false;
    } symbols_;
};
#endif

}  // namespace

TEST(StackTraceBytes, LooksLikeReturnAddress)
{
    struct TCase {
        int Offset;   // distance of the pattern before the return address
        uint8_t Bytes[2];
        bool Expected;
    } cases[] = {
        {5, {0xE8, 0x00}, true},  {2, {0xFF, 0xD0}, true},  {3, {0xFF, 0x50}, true}, {6, {0xFF, 0x15}, true},
        {7, {0xFF, 0x94}, true},  {4, {0xFF, 0x54}, true},  {7, {0x9A, 0x00}, true}, {2, {0xFF, 0xE0}, false},
        {5, {0xE9, 0x00}, false}, {6, {0xFF, 0x25}, false},
    };
    for (const TCase& c : cases) {
        uint8_t code[16] = {};
        std::fill(std::begin(code), std::end(code), 0x90);
        code[8 - c.Offset] = c.Bytes[0];
        if (c.Bytes[1])
            code[8 - c.Offset + 1] = c.Bytes[1];
        EXPECT_EQ(c.Expected, LooksLikeReturnAddress(reinterpret_cast<uintptr_t>(code + 8)))
            << c.Offset << " " << int(c.Bytes[0]) << " " << int(c.Bytes[1]);
    }
    // The bytes before the first page of an allocation cannot be read.
    void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(nullptr, page);
    EXPECT_FALSE(LooksLikeReturnAddress(reinterpret_cast<uintptr_t>(page) + 4));
    VirtualFree(page, 0, MEM_RELEASE);
    EXPECT_FALSE(LooksLikeReturnAddress(4));
}

TEST(StackTraceBytes, PreCollectStopsAtTheStopValue)
{
    TDAPreStackItems all, some;
    const uintptr_t ret = StackPreCollectOnce(all, 0);
    StackPreCollectOnce(some, ret);
    ASSERT_FALSE(all.empty());
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&](const TDAPreStackItem& i) { return i.Address == ret; }));
    EXPECT_LT(some.size(), all.size());
    EXPECT_TRUE(std::none_of(some.begin(), some.end(), [&](const TDAPreStackItem& i) { return i.Address == ret; }));
    EXPECT_EQ(0u, PreCollectStackItems(0, 0, 0, 0, false, some));
    EXPECT_TRUE(some.empty());
}

TEST(StackTraceBytes, FrameChainHasNoDepthLimit)
{
    // 70,000 frames of a saved frame pointer and a return address; the last saved pointer points
    // back down, which ends the chain.
    constexpr size_t Frames = 70000;
    static const uint8_t code[12] = {0x90, 0x90, 0x90, 0xE8, 0, 0, 0, 0, 0xC3, 0x90, 0x90, 0x90};
    const auto ret = reinterpret_cast<uintptr_t>(code + 8);
    std::vector<uintptr_t> stack(2 * Frames + 2);
    for (size_t f = 0; f < Frames; ++f) {
        stack[2 * f] = reinterpret_cast<uintptr_t>(&stack[2 * f + 2]);
        stack[2 * f + 1] = ret;
    }
    stack[2 * Frames] = reinterpret_cast<uintptr_t>(&stack[0]);
    const auto bottom = reinterpret_cast<uintptr_t>(stack.data());
    TDAPreStackItems items;
    PreCollectStackItems(bottom, bottom, bottom + stack.size() * sizeof(uintptr_t), 0, true, items);
    EXPECT_EQ(Frames, size_t(std::count_if(items.begin(), items.end(),
                                           [&](const TDAPreStackItem& i) { return i.FrameSlot && i.Address == ret; })));
}

TEST_F(StackTrace, ChainWalksToItsCallers)
{
    TCapture out;
    out.Params.ShowRelLines = true;
    StackA(out);
    const std::vector<std::string> lines = Lines(out.Text);
    ASSERT_GE(lines.size(), 3u) << out.Text;
    // Newest first, each at its call: line 10n+5 and "+5" from the entry's line.
    const char* expected[] = {"hxStackTraceTest.cpp 35 +5 StackC", "hxStackTraceTest.cpp 25 +5 StackB",
                              "hxStackTraceTest.cpp 15 +5 StackA"};
    for (int n = 0; n < 3; ++n) {
        EXPECT_NE(std::string::npos, lines[n].find(expected[n])) << out.Text;
        EXPECT_EQ(' ', lines[n][size_t(StackAddressDigits)]) << lines[n];
    }
    // The same stack gives the same checksums.
    TCapture again;
    again.Params.ShowRelLines = true;
    StackA(again);
    EXPECT_NE(0u, out.Checksum[1]);
    EXPECT_EQ(out.Checksum[0], again.Checksum[0]);
    EXPECT_EQ(out.Checksum[1], again.Checksum[1]);
    EXPECT_EQ(1u, out.Checksum[2]);
}

TEST(StackTraceSymbols, ChainWithUnitsAndLines)
{
    if (!HaveSymbolFile())
        GTEST_SKIP() << "no symbol file";
    // Two threads that run the same code: equal stacks.
    TCapture walks[2];
    for (TCapture& walk : walks) {
        walk.Params.ShowRelLines = true;
        std::thread([&walk] { StackFromOneSite(walk); }).join();
    }
    const TCapture& out = walks[0];
    const std::vector<std::string> lines = Lines(out.Text);
    ASSERT_GE(lines.size(), 3u) << out.Text;
    const int expectedLines[] = {out.LineC, out.LineB, out.LineA};
    const char* names[] = {"StackC", "StackB", "StackA"};
    for (int n = 0; n < 3; ++n) {
        // Address, module, unit, line, relative line, function.
        std::istringstream fields(lines[size_t(n)]);
        std::string address, module, unit, line, relLine, function;
        fields >> address >> module >> unit >> line >> relLine >> function;
        EXPECT_EQ(size_t(StackAddressDigits), address.size());
        EXPECT_EQ("hxStackTraceTest.cpp", unit);
        EXPECT_EQ(std::to_string(expectedLines[n]), line);
        EXPECT_EQ('+', relLine[0]);
        EXPECT_EQ(names[n], function);
    }
    // The same stack twice: the same checksums.
    EXPECT_EQ(out.Checksum[0], walks[1].Checksum[0]);
    EXPECT_EQ(out.Checksum[1], walks[1].Checksum[1]) << out.Text;
}

#ifdef _WIN64
TEST(StackTraceSymbols, PausedThread)
{
    if (!HaveSymbolFile())
        GTEST_SKIP() << "no symbol file";
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    struct TPark {
        HANDLE Ready, Go;
        uintptr_t Top;
    } park{ready, go, 0};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* park = static_cast<TPark*>(p);
            StackPark(park->Ready, park->Go, park->Top);
            return 0;
        },
        &park, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 10000));
    ASSERT_NE(DWORD(-1), SuspendThread(thread));
    CONTEXT context{};
    context.ContextFlags = CONTEXT_FULL;
    const bool gotContext = GetThreadContext(thread, &context);
    std::string text;
    if (gotContext) {
        TTraceStackParams params;
        params.StartAddress = context.Rip;
        params.StartAddressGiven = true;
        params.StartIsFault = true;
        params.StackBottom = context.Rsp;
        params.StackTop = park.Top;
        params.Context = &context;
        TraceStack(params, text);
    }
    ResumeThread(thread);
    SetEvent(go);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(ready);
    CloseHandle(go);
    ASSERT_TRUE(gotContext);
    const std::vector<std::string> lines = Lines(text);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(StackHex(context.Rip), lines[0].substr(0, size_t(StackAddressDigits)));
    const auto row = std::find_if(lines.begin(), lines.end(),
                                  [](const std::string& l) { return l.find(" StackPark") != std::string::npos; });
    ASSERT_NE(lines.end(), row) << text;
    EXPECT_NE(std::string::npos, row->find(" " + std::to_string(ParkLine) + " StackPark")) << text;
}
#endif

TEST_F(StackTrace, ProofsAloneFindTheChain)
{
    TCapture out;
    out.OwnBottom = true;
    StackA(out);
    const std::vector<std::string> lines = Lines(out.Text);
    ASSERT_GE(lines.size(), 3u) << out.Text;
    EXPECT_NE(std::string::npos, lines[0].find("35 StackC")) << out.Text;
    EXPECT_NE(std::string::npos, lines[1].find("25 StackB")) << out.Text;
    EXPECT_NE(std::string::npos, lines[2].find("15 StackA")) << out.Text;
}

TEST_F(StackTrace, PreCollectedFrameSlotsStay)
{
    // Neither value follows a call; only the one from a frame-chain slot is kept.
    const TDAPreStackItems pre = {{false, reinterpret_cast<uintptr_t>(&StackA) + 1},
                                  {true, reinterpret_cast<uintptr_t>(&StackB) + 1}};
    TCapture out;
    out.Params.PreItems = &pre;
    StackA(out);
    const std::vector<std::string> lines = Lines(out.Text);
    ASSERT_EQ(2u, lines.size()) << out.Text;
    EXPECT_NE(std::string::npos, lines[0].find("35 StackC")) << out.Text;
    EXPECT_EQ(StackHex(pre[1].Address), lines[1].substr(0, size_t(StackAddressDigits))) << out.Text;
    EXPECT_NE(std::string::npos, lines[1].find("20 StackB")) << out.Text;
}

TEST_F(StackTrace, RecursionCollapses)
{
    TCapture out;
    StackRecurse(6, out);
    const std::vector<std::string> lines = Lines(out.Text);
    // The newest call and one copy of the repeated one.
    const auto count = std::count_if(lines.begin(), lines.end(),
                                     [](const std::string& l) { return l.find("StackRecurse") != std::string::npos; });
    EXPECT_EQ(2, count) << out.Text;
}

// A walk of the given depth on a thread of its own, with room for the recursion.
TDeepWalk WalkAtDepth(int depth, bool preCollected)
{
    TDeepWalk walk;
    walk.Depth = depth;
    walk.Out.PreCollected = preCollected;
    HANDLE thread =
        CreateThread(nullptr, 64 << 20, &StackDeepStart, &walk, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    return walk;
}

TEST_F(StackTrace, DeepRecursionKeepsBothEndsQuickly)
{
    // 20,000 levels of two frames each: 40,000 candidates, as deep as a stack overflow goes. The
    // thread walks its own stack, then a copy of it taken from its registers.
    for (const bool preCollected : {false, true}) {
        // Timed by the thread's own clock against a walk a tenth as deep on the same machine: the
        // deep walk grows about with its depth (a square would make it a hundred times as long),
        // however busy the machine is.
        WalkAtDepth(2000, preCollected);
        const TDeepWalk shallow = WalkAtDepth(2000, preCollected);
        const TDeepWalk walk = WalkAtDepth(20000, preCollected);
        const std::vector<std::string> lines = Lines(walk.Out.Text);
        ASSERT_GE(lines.size(), 4u) << walk.Out.Text;
        auto count = [&](const char* name) {
            return std::count_if(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return l.find(name) != std::string::npos; });
        };
        // The newest frames, one copy of the repeated area, and where the thread began.
        EXPECT_NE(std::string::npos, lines[0].find("StackPing")) << walk.Out.Text;
        EXPECT_EQ(2, count(" StackPing")) << walk.Out.Text;
        EXPECT_EQ(1, count(" StackPong")) << walk.Out.Text;
        EXPECT_EQ(1, count(" StackDeepStart")) << walk.Out.Text;
        EXPECT_EQ(1, count(" BaseThreadInitThunk")) << walk.Out.Text;
        EXPECT_LT(walk.CpuSeconds, 40 * std::max(shallow.CpuSeconds, 0.02));
        EXPECT_LT(walk.CpuSeconds, 10.0);
        std::printf("[          ] %s walk took %.3f s (%.3f s of its thread's time; %.3f s at a tenth of the "
                    "depth)\n",
                    preCollected ? "the copied" : "the own", walk.Seconds, walk.CpuSeconds, shallow.CpuSeconds);
    }
}

#ifdef _WIN64
TEST_F(StackTrace, CallerRuledOutTakesItsLinks)
{
    const auto host = reinterpret_cast<uintptr_t>(&StackOverlapHost);
    const auto other = reinterpret_cast<uintptr_t>(&StackOverlapOther);
    const auto caller = reinterpret_cast<uintptr_t>(&StackOverlapCaller);
    // Oldest first: a frame after a call of the misread code, the misread return site, a return
    // site that only the misreading ties to that frame, and a frame proving the host.
    const TDAPreStackItems pre = {{true, caller + 5}, {false, host + 12}, {false, other + 5}, {true, host + 5}};
    TCapture out;
    out.Params.PreItems = &pre;
    StackA(out);
    const std::vector<std::string> lines = Lines(out.Text);
    auto has = [&](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(has(" StackOverlapHost")) << out.Text;
    // The host proves the hidden call wrong; what only it tied to a frame goes too.
    EXPECT_FALSE(has("StackOverlapGhost")) << out.Text;
    EXPECT_FALSE(has("StackOverlapOther")) << out.Text;
}

TEST_F(StackTrace, RuledOutCalleeTakesNoLinks)
{
    const auto host = reinterpret_cast<uintptr_t>(&StackOverlapHost);
    const auto other = reinterpret_cast<uintptr_t>(&StackOverlapOther);
    const auto caller = reinterpret_cast<uintptr_t>(&StackOverlapCaller);
    // As above, but the misread return site comes oldest: the misread function is ruled out before
    // the frame that calls it is decoded, and may not tie that frame to anything afterwards.
    const TDAPreStackItems pre = {{false, host + 12}, {true, caller + 5}, {false, other + 5}, {true, host + 5}};
    TCapture out;
    out.Params.PreItems = &pre;
    StackA(out);
    const std::vector<std::string> lines = Lines(out.Text);
    auto has = [&](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(has(" StackOverlapHost")) << out.Text;
    EXPECT_FALSE(has("StackOverlapOther")) << out.Text;
}

TEST_F(StackTrace, FailedProofTakesAllTheItemsLinks)
{
    const auto host = reinterpret_cast<uintptr_t>(&StackOverlapHost);
    const auto named = reinterpret_cast<uintptr_t>(&StackOverlapNamedCaller);
    // Oldest first: the misread return site (its proof rules the misread function out), a named
    // caller of the misread code, a frame inside the host's move that only the misread function
    // reaches, and a frame proving the host. The frame inside the move fails its proof against
    // the host: the tie to the named caller goes with its other links.
    const TDAPreStackItems pre = {{false, host + 12}, {false, named + 5}, {true, host + 13}, {true, host + 5}};
    TCapture out;
    out.Params.PreItems = &pre;
    StackA(out);
    const std::vector<std::string> lines = Lines(out.Text);
    auto has = [&](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(has(" StackOverlapHost")) << out.Text;
    EXPECT_FALSE(has("StackOverlapNamedCaller")) << out.Text;
}

TEST_F(StackTrace, LineBonusesChooseTheChain)
{
    const auto self = reinterpret_cast<uintptr_t>(&StackScoreSelf);
    const auto outer = reinterpret_cast<uintptr_t>(&StackScoreOuter);
    // Oldest first: the outer frame, the self call's stale return address, the tail's frame. The
    // chain through the stale item has two links, the direct one a single link.
    const TDAPreStackItems pre = {{true, outer + 5}, {false, self + 5}, {true, self + 10}};
    auto selfRows = [&] {
        TCapture out;
        out.Params.PreItems = &pre;
        StackA(out);
        const std::vector<std::string> lines = Lines(out.Text);
        EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(),
                                   [](const std::string& l) { return l.find(" StackScoreTail") != std::string::npos; }))
            << out.Text;
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.find(" StackScoreSelf") != std::string::npos; });
    };
    // Without lines the longer chain scores higher.
    EXPECT_EQ(1, selfRows());
    // Lines before both frames: the direct link earns +3 as the item's line and +3 as the linked
    // item's line, 2^37 against 2^34 + 2^34 for the longer chain, whose links each have one line.
    symbols_.ExtraLines = {self + 9, outer + 4};
    EXPECT_EQ(0, selfRows());
}
#endif

TEST_F(StackTrace, FaultAddressIsTheNewestRow)
{
    TCapture out;
    out.Params.StartAddress = reinterpret_cast<uintptr_t>(&StackB);
    out.Params.StartAddressGiven = true;
    out.Params.StartIsFault = true;
    out.Params.ShowRelAddrs = true;
    uintptr_t first = 0;
    out.Params.FirstAddress = &first;
    StackA(out);
    const std::vector<std::string> lines = Lines(out.Text);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(StackHex(out.Params.StartAddress) + " +0", lines[0].substr(0, size_t(StackAddressDigits) + 3));
    EXPECT_NE(std::string::npos, lines[0].find("20 StackB")) << out.Text;
    EXPECT_EQ(out.Params.StartAddress, first);
}

TEST_F(StackTrace, UnreadableOrCancelledStackGivesNothing)
{
    void* reserved = VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(nullptr, reserved);
    TCapture out;
    out.Params.StackBottom = reinterpret_cast<uintptr_t>(reserved);
    out.Params.StackTop = out.Params.StackBottom + 0x2000;
    out.Params.StartAddress = reinterpret_cast<uintptr_t>(&StackC);
    out.Params.StartAddressGiven = true;
    StackA(out);
    EXPECT_EQ("", out.Text);
    VirtualFree(reserved, 0, MEM_RELEASE);

    std::atomic<bool> cancel{true};
    TCapture cancelled;
    cancelled.Params.Cancel = &cancel;
    StackA(cancelled);
    EXPECT_EQ("", cancelled.Text);
}

TEST_F(StackTrace, PhaseFailureIsReported)
{
    const uintptr_t site = SymbolsThrowSite();
    ASSERT_NE(0u, site);
    symbols_.Throwing = true;
    TCapture out;
    out.Params.StartAddress = reinterpret_cast<uintptr_t>(&StackB);
    out.Params.StartAddressGiven = true;
    out.Params.StartIsFault = true;
    StackA(out);
    // The failing phase, where its exception was thrown, then where the walk started.
    const std::string head = ">> internal error in CollectPossibleStackItems:\r\n" + StackItemText(site, false, false) +
                             "\r\n>> original exception location: \r\n";
    EXPECT_EQ(head, out.Text.substr(0, head.size())) << out.Text;
    EXPECT_NE(std::string::npos, out.Text.find(StackHex(out.Params.StartAddress))) << out.Text;
}

#ifdef _WIN64
TEST(StackTraceBytes, UnwindFindsTheReturnSlot)
{
    CONTEXT context;
    RtlCaptureContext(&context);
    const std::vector<uintptr_t> slots = UnwoundFrameSlots(context, context.Rsp, ThreadStackTop());
    ASSERT_FALSE(slots.empty());
    EXPECT_TRUE(std::is_sorted(slots.begin(), slots.end()));
    // The first slot above this frame holds this function's return address.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(__builtin_return_address(0)), *reinterpret_cast<uintptr_t*>(slots[0]));
}
#endif
