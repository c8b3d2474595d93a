// The decoder on real code, the safe read and function analysis.

#include "hxDisAsm.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern "C" __attribute__((noinline, used)) int DisAsmListingAnchor(int a, int b)
{
    int s = 0;
    for (int i = a; i < b; ++i)
        s += (i & 1) ? i * 3 : i / 2;
    return s;
}

namespace {

// ---------------------------------------------------------------------------------------------
// Real code against the toolchain's own listing

#ifdef HX_DISASM_LISTING

struct TListed {
    uintptr_t Address;
    size_t Length;
    uintptr_t Target;   // direct branch target, 0 when none
    std::string Text;
};

// Parses "  140001000:\t55 48 89 e5 \tpush   %rbp" lines.
std::vector<TListed> ReadListing(const char* path, uintptr_t& anchor)
{
    std::vector<TListed> result;
    std::ifstream in(path);
    std::string line;
    anchor = 0;
    bool pointerTable = false;   // the constructor and destructor tables lie in .text too
    while (std::getline(in, line)) {
        if (line.find("<DisAsmListingAnchor>:") != std::string::npos) {
            anchor = uintptr_t(std::stoull(line.substr(0, line.find(' ')), nullptr, 16));
            continue;
        }
        if (line.size() > 2 && line.compare(line.size() - 2, 2, ">:") == 0) {
            pointerTable = line.find("<.ctors") != std::string::npos || line.find("<.dtors") != std::string::npos ||
                           line.find("<__CTOR_LIST__>") != std::string::npos ||
                           line.find("<__DTOR_LIST__>") != std::string::npos;
            continue;
        }
        if (pointerTable)
            continue;
        const size_t colon = line.find(":\t");
        if (colon == std::string::npos)
            continue;
        const size_t tab = line.find('\t', colon + 2);
        if (tab == std::string::npos)
            continue;   // no mnemonic: not an instruction line
        TListed item{};
        item.Address = uintptr_t(std::stoull(line.substr(0, colon), nullptr, 16));
        std::istringstream bytes(line.substr(colon + 2, tab - colon - 2));
        std::string b;
        while (bytes >> b)
            ++item.Length;
        item.Text = line.substr(tab + 1);
        const std::string& t = item.Text;
        const bool branch = t.rfind("j", 0) == 0 || t.rfind("call", 0) == 0 || t.rfind("loop", 0) == 0;
        const size_t space = t.find_first_of(" ");
        if (branch && space != std::string::npos) {
            const size_t op = t.find_first_not_of(' ', space);
            if (op != std::string::npos && t[op] != '*' && std::isxdigit(static_cast<unsigned char>(t[op])) &&
                t.find(" <", op) != std::string::npos)
                item.Target = uintptr_t(std::stoull(t.substr(op), nullptr, 16));
        }
        result.push_back(item);
    }
    return result;
}

TEST(DisAsmRealCode, LengthsAndBranchTargetsAgreeWithTheToolchainListing)
{
    uintptr_t anchor = 0;
    const std::vector<TListed> listed = ReadListing(HX_DISASM_LISTING, anchor);
    ASSERT_GT(listed.size(), 10000u) << HX_DISASM_LISTING;
    ASSERT_NE(0u, anchor);
    // The image may have been moved.
    const uintptr_t delta = reinterpret_cast<uintptr_t>(&DisAsmListingAnchor) - anchor;
    const TProcessMemory memory;
    size_t compared = 0, branches = 0, failures = 0;
    for (const TListed& item : listed) {
        // Bytes the listing shows as data, not as an instruction
        if (item.Text.find("(bad)") != std::string::npos || item.Text.rfind(".byte", 0) == 0)
            continue;
        TDisAsmInfo info;
        const uintptr_t at = item.Address + delta;
        const uintptr_t next = DecodeInstruction(TCpuMode::X64, memory, at, nullptr, false, info);
        ++compared;
        bool ok = info.Valid && next - at == item.Length;
        if (ok && item.Target) {
            ++branches;
            const bool toNext = item.Target == item.Address + item.Length;
            ok = toNext ? !(info.Call || info.Jump) : (info.Target == item.Target + delta && info.RelTarget);
        }
        if (!ok && ++failures <= 20) {
            TDisAsmInfo again;
            ADD_FAILURE() << std::hex << item.Address << ": " << item.Text << " (length " << item.Length
                          << ") decoded: " << InstructionText(TCpuMode::X64, memory, at, again, itNoNames);
        }
    }
    EXPECT_EQ(0u, failures) << "of " << compared;
    EXPECT_GT(branches, 1000u);
}

#endif

// ---------------------------------------------------------------------------------------------
// Safe read

class TVirtualMemory {
public:
    TVirtualMemory(size_t size, DWORD protect)
        : p_(static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, protect)))
    {
    }
    ~TVirtualMemory() { Free(); }
    TVirtualMemory(const TVirtualMemory&) = delete;
    TVirtualMemory& operator=(const TVirtualMemory&) = delete;
    uint8_t* Get() const { return p_; }
    void Free()
    {
        if (p_)
            VirtualFree(p_, 0, MEM_RELEASE);
        p_ = nullptr;
    }

private:
    uint8_t* p_;
};

TEST(SafeRead, ReadableMemoryIsCopied)
{
    const char text[] = "safe read";
    char out[sizeof(text)] = {};
    EXPECT_TRUE(TryReadMemory(text, out, sizeof(text)));
    EXPECT_STREQ(text, out);
    // Code of the own module
    uint8_t code[16];
    EXPECT_TRUE(TryReadMemory(reinterpret_cast<const void*>(&DisAsmListingAnchor), code, sizeof(code)));
}

TEST(SafeRead, UnreadableMemoryFailsWithoutFault)
{
    uint8_t buffer[64];
    EXPECT_FALSE(TryReadMemory(nullptr, buffer, 4));
    EXPECT_FALSE(TryReadMemory(uintptr_t(16), buffer, 4));

    TVirtualMemory noAccess(4096, PAGE_NOACCESS);
    ASSERT_TRUE(noAccess.Get());
    EXPECT_FALSE(TryReadMemory(noAccess.Get(), buffer, 4));

    TVirtualMemory guard(4096, PAGE_READWRITE | PAGE_GUARD);
    ASSERT_TRUE(guard.Get());
    EXPECT_FALSE(TryReadMemory(guard.Get(), buffer, 4));
    // The guard stays armed: the page is still reported as a guard page.
    MEMORY_BASIC_INFORMATION mbi;
    ASSERT_EQ(sizeof(mbi), VirtualQuery(guard.Get(), &mbi, sizeof(mbi)));
    EXPECT_TRUE(mbi.Protect & PAGE_GUARD);

    TVirtualMemory freed(4096, PAGE_READWRITE);
    uint8_t* const gone = freed.Get();
    ASSERT_TRUE(gone);
    gone[0] = 1;
    EXPECT_TRUE(TryReadMemory(gone, buffer, 4));
    freed.Free();
    EXPECT_FALSE(TryReadMemory(gone, buffer, 4));

    // A read that runs from a readable page into an unreadable one
    TVirtualMemory two(8192, PAGE_READWRITE);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(two.Get() + 4096, 4096, PAGE_NOACCESS, &old));
    EXPECT_TRUE(TryReadMemory(two.Get() + 4096 - 8, buffer, 8));
    EXPECT_FALSE(TryReadMemory(two.Get() + 4096 - 8, buffer, 16));
    const TProcessMemory memory;
    EXPECT_EQ(8u, memory.Read(reinterpret_cast<uintptr_t>(two.Get() + 4096 - 8), buffer, 15));
}

TEST(SafeRead, RangeListDecidesReadability)
{
    TVirtualMemory rw(4096, PAGE_READWRITE);
    TVirtualMemory na(4096, PAGE_NOACCESS);
    const TDATryRead ranges = BuildReadableRanges();
    ASSERT_FALSE(ranges.empty());
    for (size_t i = 1; i < ranges.size(); ++i) {
        EXPECT_EQ(ranges[i - 1].End, ranges[i].Start);
        EXPECT_NE(ranges[i - 1].Readable, ranges[i].Readable);
    }
    uint8_t buffer[8];
    EXPECT_TRUE(TryReadMemory(rw.Get(), buffer, 8, &ranges));
    EXPECT_FALSE(TryReadMemory(na.Get(), buffer, 8, &ranges));
    EXPECT_FALSE(TryReadMemory(nullptr, buffer, 8, &ranges));
    // A stale list: memory freed after the list was built still fails, through the guard.
    uint8_t* const gone = rw.Get();
    rw.Free();
    EXPECT_FALSE(TryReadMemory(gone, buffer, 8, &ranges));
}

DWORD WINAPI ReaderThread(void* param)
{
    auto* args = static_cast<std::pair<uint8_t*, std::atomic<int>*>*>(param);
    uint8_t buffer[16];
    const uint8_t local[16] = {1, 2, 3};
    for (int i = 0; i < 20000; ++i) {
        if (TryReadMemory(args->first, buffer, sizeof(buffer)))
            ++*args->second;   // must never happen
        if (!TryReadMemory(local, buffer, sizeof(buffer)) || buffer[1] != 2)
            ++*args->second;
    }
    return 0;
}

TEST(SafeRead, ThreadsFaultIndependently)
{
    TVirtualMemory na(4096, PAGE_NOACCESS);
    TVirtualMemory rw(8192, PAGE_READWRITE);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(rw.Get() + 4096, 4096, PAGE_NOACCESS, &old));
    std::atomic<int> errors{0};
    // Half the threads read a no-access page, half a read that faults in its middle.
    std::pair<uint8_t*, std::atomic<int>*> a{na.Get(), &errors}, b{rw.Get() + 4090, &errors};
    std::vector<HANDLE> threads;
    for (int i = 0; i < 6; ++i)
        threads.push_back(CreateThread(nullptr, 0, ReaderThread, i % 2 ? &a : &b, 0, nullptr));
    for (HANDLE h : threads) {
        ASSERT_TRUE(h);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 60000));
        CloseHandle(h);
    }
    EXPECT_EQ(0, errors.load());
}

// ---------------------------------------------------------------------------------------------
// Function analysis

TCodeSpace BufferSpace(TCpuMode mode, const TBufferSource& source)
{
    TCodeSpace s;
    s.Mode = mode;
    s.Source = &source;
    s.Begin = source.Base();
    s.End = source.Base() + source.Size();
    return s;
}

TEST(DisAsmAnalysis, PathsCallsAndAreas)
{
    // 00: push ebp; mov ebp, esp; test eax, eax; jz 0e; call +0 (to next); call 20; pop ebp; ret
    // 0e: xor eax, eax; pop ebp; ret
    std::vector<uint8_t> code = {
        0x55, 0x8B, 0xEC, 0x85, 0xC0, 0x74, 0x0D,       // 00..06
        0xE8, 0x00, 0x00, 0x00, 0x00,                   // 07: call next
        0xE8, 0x0F, 0x00, 0x00, 0x00,                   // 0c: call 20
        0x5D, 0xC3,                                     // 11, 12
        0x90,                                           // 13: not reached
        0x33, 0xC0, 0x5D, 0xC3,                         // 14
    };
    code[6] = 0x0D;   // jz 14
    code.resize(0x30, 0xCC);
    const TBufferSource source(code.data(), code.size(), 0x401000);
    TFunctionInfo info;
    ASSERT_TRUE(WalkFunctionCode(BufferSpace(TCpuMode::X86, source), 0x401000, info)) << info.ErrorText;
    ASSERT_EQ(2u, info.Areas.size());
    EXPECT_EQ(0x401000u, info.Areas[0].Begin);
    EXPECT_EQ(0x401012u, info.Areas[0].End);
    EXPECT_EQ(0x401014u, info.Areas[1].Begin);
    EXPECT_EQ(0x401017u, info.Areas[1].End);
    EXPECT_EQ(0x401005u, info.Areas[1].ReachedFrom);
    EXPECT_EQ(0x401000u, info.CodeBegin);
    EXPECT_EQ(0x18, info.CodeLength);
    ASSERT_EQ(1u, info.Calls.size());   // the call to the next instruction does not count
    EXPECT_EQ(0x40100Cu, info.Calls[0].CallAddress);
    EXPECT_EQ(0x401011u, info.Calls[0].ReturnAddress);
    EXPECT_EQ(0x401020u, info.Calls[0].Target);
    EXPECT_TRUE(info.Interceptable);

    std::string text;
    ParseFunction(BufferSpace(TCpuMode::X86, source), 0x401000, text, 0x401003, info, 0);
    EXPECT_NE(std::string::npos, text.find("00401000 sub_401000:  ; function entry point\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("00401003>  test    eax, eax")) << text;
    EXPECT_NE(std::string::npos, text.find("[...]\r\n00401014 ; -----")) << text;
    EXPECT_NE(std::string::npos, text.find("00401014 loc_401014:")) << text;
    EXPECT_NE("\r\n", text.substr(text.size() - 2));
}

TEST(DisAsmAnalysis, InvalidCodeAndSplitAreas)
{
    // jmp over two bytes into a loop back into the middle of the first area, then bad bytes
    const std::vector<uint8_t> code = {
        0x40,                     // 00 inc eax
        0x41,                     // 01 inc ecx
        0x49,                     // 02 dec ecx
        0x75, 0xFC,               // 03 jnz 01: splits area at 01
        0x8D, 0xC0,               // 05 lea eax, eax: invalid
    };
    const TBufferSource source(code.data(), code.size(), 0x401000);
    TFunctionInfo info;
    EXPECT_FALSE(WalkFunctionCode(BufferSpace(TCpuMode::X86, source), 0x401000, info));
    EXPECT_EQ(ErrorInvalidCode, info.ErrorNumber);
    EXPECT_EQ("Invalid code!", info.ErrorText);
    EXPECT_EQ(0x401005u, info.ErrorAddress);
    std::string text = "x";
    ParseFunction(BufferSpace(TCpuMode::X86, source), 0x401000, text, 0, info, 0);
    EXPECT_TRUE(text.empty());

    const std::vector<uint8_t> loop = {0x40, 0x41, 0x49, 0x75, 0xFC, 0xC3};
    const TBufferSource loopSource(loop.data(), loop.size(), 0x401000);
    ASSERT_TRUE(WalkFunctionCode(BufferSpace(TCpuMode::X86, loopSource), 0x401000, info));
    ASSERT_EQ(2u, info.Areas.size());
    EXPECT_EQ(0x401000u, info.Areas[0].End);
    EXPECT_EQ(0x401001u, info.Areas[1].Begin);
    EXPECT_EQ(0x401005u, info.Areas[1].End);
    EXPECT_FALSE(info.Interceptable);   // a jump target inside the first 6 bytes
}

TEST(DisAsmAnalysis, CaseTables)
{
    std::vector<uint8_t> code(0x60, 0xCC);
    const uint8_t head[] = {
        0x83, 0xF8, 0x02,                          // 00 cmp eax, 2
        0x77, 0x16,                                // 03 ja 1b
        0xFF, 0x24, 0x85, 0x0C, 0x10, 0x40, 0x00,  // 05 jmp [eax*4+40100c]
        // 0c: table of 3 entries
        0x18, 0x10, 0x40, 0x00, 0x1A, 0x10, 0x40, 0x00, 0x00, 0x00, 0x00, 0x70,
    };
    std::copy(std::begin(head), std::end(head), code.begin());
    code[0x1B] = 0xC3;   // ja target
    code[0x18] = 0x90;   // case 0
    code[0x19] = 0xC3;
    code[0x1A] = 0xC3;   // case 1
    const TBufferSource source(code.data(), code.size(), 0x401000);
    TFunctionInfo info;
    ASSERT_TRUE(WalkFunctionCode(BufferSpace(TCpuMode::X86, source), 0x401000, info)) << info.ErrorText;
    // The third entry leaves the code: the table ends before it.
    const TCodeArea* table = nullptr;
    for (const auto& a : info.Areas)
        if (a.CaseTable)
            table = &a;
    ASSERT_TRUE(table);
    EXPECT_EQ(0x40100Cu, table->Begin);
    EXPECT_EQ(0x401013u, table->End);
    std::map<uintptr_t, bool> begins;
    for (const auto& a : info.Areas)
        begins[a.Begin] = true;
    EXPECT_TRUE(begins[0x401018]);
    EXPECT_TRUE(begins[0x40101A]);
    std::string text;
    ParseFunction(BufferSpace(TCpuMode::X86, source), 0x401000, text, 0, info, 0);
    EXPECT_NE(std::string::npos, text.find("0040100c   dd loc_401018  ; case jump table\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("00401010   dd loc_40101a")) << text;
}

TEST(DisAsmAnalysis, RunsIntoUnreadableMemoryAndEndsCleanly)
{
    TVirtualMemory mem(8192, PAGE_READWRITE);
    ASSERT_TRUE(mem.Get());
    uint8_t* const p = mem.Get() + 4096 - 4;
    p[0] = 0x90;   // nop, nop, nop, then a call whose bytes run into the next page
    p[1] = 0x90;
    p[2] = 0x90;
    p[3] = 0xE8;
    DWORD old;
    ASSERT_TRUE(VirtualProtect(mem.Get() + 4096, 4096, PAGE_NOACCESS, &old));
    const TProcessMemory memory;
    TCodeSpace space;
    space.Mode = NativeCpuMode;
    space.Source = &memory;
    space.Begin = reinterpret_cast<uintptr_t>(mem.Get());
    space.End = space.Begin + 8192;
    TFunctionInfo info;
    EXPECT_FALSE(WalkFunctionCode(space, reinterpret_cast<uintptr_t>(p), info));
    EXPECT_EQ(ErrorInvalidCode, info.ErrorNumber);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p + 3), info.ErrorAddress);

    // The own-process entry: memory that is not committed
    TFunctionInfo none;
    EXPECT_FALSE(AnalyseFunction(0, none));
    EXPECT_EQ(87u, none.ErrorNumber);
    EXPECT_FALSE(none.ErrorText.empty());
}

TEST(DisAsmAnalysis, DataTakenForCodeIsCapped)
{
    // Endless plain code: inc eax over and over (4 MB).
    std::vector<uint8_t> code(4 << 20, 0x40);
    const TBufferSource source(code.data(), code.size(), 0x10000000);
    TFunctionInfo info;
    EXPECT_FALSE(WalkFunctionCode(BufferSpace(TCpuMode::X86, source), 0x10000000, info));
    EXPECT_EQ(ErrorCodeLimit, info.ErrorNumber);
}

TEST(DisAsmAnalysis, ListingKeepsAWindowAroundTheException)
{
    std::vector<uint8_t> code(200, 0x90);
    code[199] = 0xC3;
    const TBufferSource source(code.data(), code.size(), 0x401000);
    TFunctionInfo info;
    std::string text;
    ParseFunction(BufferSpace(TCpuMode::X86, source), 0x401000, text, 0x401000 + 100, info, 5);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(0u, text.find("[...]\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("00401064>  nop")) << text;
    size_t lines = 1;
    for (char c : text)
        lines += c == '\n';
    EXPECT_GE(lines, 6u);
    EXPECT_LE(lines, 14u);

    // An exception address inside an instruction is no line to centre on: the whole function stays.
    std::vector<uint8_t> moves;
    for (int i = 0; i < 40; ++i)
        moves.insert(moves.end(), {0xB8, uint8_t(i), 0, 0, 0});   // mov eax, i
    moves.push_back(0xC3);
    const TBufferSource moveSource(moves.data(), moves.size(), 0x401000);
    ParseFunction(BufferSpace(TCpuMode::X86, moveSource), 0x401000, text, 0x401000 + 5 * 20 + 2, info, 5);
    EXPECT_EQ(std::string::npos, text.find("[...]")) << text;
    EXPECT_EQ(std::string::npos, text.find('>')) << text;
    lines = 1;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(42u, lines) << text;   // label, 40 moves and the return
    EXPECT_NE(std::string::npos, text.find("004010c8   ret")) << text;
}

TEST(DisAsmAnalysis, OwnFunctionFromTheUnwindTable)
{
    const auto entry = reinterpret_cast<uintptr_t>(&DisAsmListingAnchor);
    TFunctionInfo info;
    ASSERT_TRUE(AnalyseFunction(entry, info)) << info.ErrorText;
    EXPECT_EQ(entry, info.CodeBegin);
    EXPECT_GT(info.CodeLength, 8);
#ifdef _WIN64
    DWORD64 base = 0;
    PRUNTIME_FUNCTION f = RtlLookupFunctionEntry(entry, &base, nullptr);
    ASSERT_TRUE(f);
    EXPECT_EQ(intptr_t(f->EndAddress - f->BeginAddress), info.CodeLength);
#endif
    // An address inside the function lists the whole function with the marker.
    TDisAsmInfo first;
    const uintptr_t second = DecodeInstruction(entry, first);
    std::string text;
    ParseFunction(second, text, second, info, 0);
    EXPECT_NE(std::string::npos, text.find(":  ; function entry point")) << text;
    EXPECT_NE(std::string::npos, text.find('>')) << text;
    EXPECT_NE(std::string::npos, text.find("ret")) << text;

    // A system function is named by its module's exports.
    const auto tick = reinterpret_cast<uintptr_t>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount"));
    ParseFunction(tick, text, 0, info, 0);
    EXPECT_NE(std::string::npos, text.find(" public GetTickCount:  ; function entry point")) << text;
}

std::string AnchorName(uintptr_t address)
{
    return address == reinterpret_cast<uintptr_t>(&DisAsmListingAnchor) ? "Test.Anchor" : std::string();
}

void AnchorLines(uintptr_t address, int& line, uintptr_t& rangeStart, uintptr_t& rangeEnd)
{
    const auto entry = reinterpret_cast<uintptr_t>(&DisAsmListingAnchor);
    line = address >= entry && address < entry + 0x1000 ? 95 + int((address - entry) / 8) : 0;
    rangeStart = address;
    rangeEnd = address + 1;
}

TEST(DisAsmAnalysis, NameAndLineHooks)
{
    const auto entry = reinterpret_cast<uintptr_t>(&DisAsmListingAnchor);
    SetDisAsmNameHook(AnchorName);
    SetDisAsmLineHook(AnchorLines);
    TFunctionInfo info;
    std::string text;
    ParseFunction(entry, text, entry, info, 0);
    SetDisAsmNameHook(nullptr);
    SetDisAsmLineHook(nullptr);
    const std::string address = [&] {
        char buf[32];
        snprintf(buf, sizeof(buf), "%0*llx", AddressDigits(NativeCpuMode), static_cast<unsigned long long>(entry));
        return std::string(buf);
    }();
    // Label, then the first instruction with its zero-padded line and the marker.
    EXPECT_EQ(0u, text.find(address + "     public Test.Anchor:  ; function entry point\r\n" + address + ">095   "))
        << text;
    EXPECT_NE(std::string::npos, text.find(" 096   ")) << text;

    // A call to the named function carries the name as a comment.
    const uint8_t* self = nullptr;
    (void)self;
    TDisAsmInfo d;
    uint8_t call[5] = {0xE8};
    const TProcessMemory memory;
    SetDisAsmNameHook(AnchorName);
    const uintptr_t at = reinterpret_cast<uintptr_t>(call);
    const int32_t rel = int32_t(entry - (at + 5));
    std::memcpy(call + 1, &rel, 4);
    const std::string line = InstructionText(NativeCpuMode, memory, at, d);
    SetDisAsmNameHook(nullptr);
    if (intptr_t(entry - (at + 5)) == rel) {
        EXPECT_NE(std::string::npos, line.find("  ; Test.Anchor")) << line;
        EXPECT_EQ(42u, line.find("; Test.Anchor")) << line;
    }
}

std::string KernelName(uintptr_t address)
{
    const auto tick = reinterpret_cast<uintptr_t>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount"));
    return address == tick ? "Kernel.Tick" : std::string();
}

// Code bytes inside this executable's image, so that 64-bit code reaches its data relatively.
alignas(8) uint8_t ImageCode[16];

// "op [address]" with a ModRM memory operand: absolute (32-bit) or relative to the next instruction.
uintptr_t ComposeMemoryOperand(uint8_t opcode, uint8_t modrm, uintptr_t address)
{
    const auto at = reinterpret_cast<uintptr_t>(ImageCode);
    ImageCode[0] = opcode;
    ImageCode[1] = modrm;
    const uint32_t operand = uint32_t(sizeof(uintptr_t) == 8 ? address - (at + 6) : address);
    std::memcpy(ImageCode + 2, &operand, 4);
    return at;
}

}  // namespace

extern "C" __attribute__((used)) const char DisAsmQuotedText[] = "Registry keys scanned";

namespace {

TEST(DisAsmAnalysis, CommentsNameTargetsAndTexts)
{
    const TProcessMemory memory;
    TDisAsmInfo d;

    // A name from the symbol data for a target in another module carries that module:
    // call [cell], the cell right behind the instruction.
    const auto tick = reinterpret_cast<uintptr_t>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount"));
    const auto cell = reinterpret_cast<uintptr_t>(ImageCode + 8);
    std::memcpy(ImageCode + 8, &tick, sizeof(tick));
    uintptr_t at = ComposeMemoryOperand(0xFF, 0x15, cell);
    SetDisAsmNameHook(KernelName);
    const std::string named = InstructionText(NativeCpuMode, memory, at, d);
    SetDisAsmNameHook(nullptr);
    EXPECT_TRUE(d.Call) << named;
    const std::string suffix = "  ; Kernel.Tick (kernel32.dll)";
    ASSERT_GE(named.size(), suffix.size()) << named;
    EXPECT_EQ(suffix, named.substr(named.size() - suffix.size())) << named;

    // A text the instruction reads (mov eax, [text]) is quoted at its start only.
    at = ComposeMemoryOperand(0x8B, 0x05, reinterpret_cast<uintptr_t>(DisAsmQuotedText));
    const std::string quoted = InstructionText(NativeCpuMode, memory, at, d);
    const std::string comment = "  ; 'Registry keys scanned";
    ASSERT_GE(quoted.size(), comment.size()) << quoted;
    EXPECT_EQ(comment, quoted.substr(quoted.size() - comment.size())) << quoted;
}

TEST(DisAsmAnalysis, NoObfuscatorOnNt)
{
    EXPECT_EQ(0u, ObfuscatorValue());
    EXPECT_FALSE(IdentifiersObfuscated());
}

}  // namespace
