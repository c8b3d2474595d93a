// Stack lines, internal-error texts, the aligned table and its checksums.

#include "hxStackLines.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t from = 0;
    while (true) {
        const size_t at = text.find("\r\n", from);
        lines.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            return lines;
        from = at + 2;
    }
}

TStackRow Row(uintptr_t address, const std::string& function, int line = 0, int relLine = 0)
{
    TStackRow row;
    row.Address = address;
    row.ModuleName = "hivesweep.exe";
    row.UnitName = "scan.cpp";
    row.FunctionName = function;
    row.Line = line;
    row.RelLine = relLine;
    return row;
}

// Symbols of this test executable: one public, "Unit.cpp" lines 40 at its entry and 47 elsewhere.
class TOnePublic : public TStackSymbolSource {
public:
    uintptr_t Module = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
    uintptr_t Entry = 0;
    int EntryLine = 40;
    bool HasSymbols(uintptr_t module) const override { return module == Module; }
    bool PublicAt(uintptr_t address, std::string& name, uintptr_t& entry) const override
    {
        if (address < Entry || address >= Entry + 0x100)
            return false;
        name = "Scanner.Run";
        entry = Entry;
        return true;
    }
    std::string UnitAt(uintptr_t) const override { return "Unit.cpp"; }
    int LineAt(uintptr_t address) const override
    {
        return address == Entry ? EntryLine : address > Entry && address < Entry + 0x100 ? 47 : 0;
    }
    std::string Descriptor(uintptr_t) const override { return {}; }
};

struct TSymbolsScope {
    explicit TSymbolsScope(const TStackSymbolSource* s) : old(SetStackSymbolSource(s)) {}
    ~TSymbolsScope() { SetStackSymbolSource(old); }
    const TStackSymbolSource* old;
};

}  // namespace

TEST(StackLines, SingleLineFormats)
{
    TOnePublic symbols;
    symbols.Entry = reinterpret_cast<uintptr_t>(&Lines);
    TSymbolsScope scope(&symbols);
    char path[MAX_PATH];
    std::string module(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    module.erase(0, module.find_last_of('\\') + 1);

    const uintptr_t at = symbols.Entry + 0x1c;
    const std::string hex = StackHex(at);
    EXPECT_EQ(size_t(StackAddressDigits), hex.size());
    EXPECT_EQ(hex + " " + module + " Unit.cpp 47 Scanner.Run", StackItemText(at, false, false));
    EXPECT_EQ(hex + " +1c " + module + " Unit.cpp 47 +7 Scanner.Run", StackItemText(at, true, true));

    // No line at the entry point: no relative line rather than "+47".
    symbols.EntryLine = 0;
    EXPECT_EQ(hex + " " + module + " Unit.cpp 47 Scanner.Run", StackItemText(at, false, true));

    // Outside every module, or a module without symbols.
    EXPECT_EQ(StackHex(0x10) + " +0 ???", StackItemText(0x10, true, false));
    const uintptr_t foreign = reinterpret_cast<uintptr_t>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "Sleep"));
    EXPECT_EQ(StackHex(foreign) + " ???", StackItemText(foreign, false, true));

    EXPECT_EQ(">> internal error in InDeepChecks", InternalErrorText("InDeepChecks", false, false));
    EXPECT_EQ(">> internal error in ComposeResult:\r\n" + hex + " " + module + " Unit.cpp 47 Scanner.Run",
              InternalErrorText("ComposeResult", false, false, at));
}

TEST(StackLines, TableColumnsAlign)
{
    std::vector<TStackRow> rows = {Row(0x401000, "Main", 12, 3), Row(0x402345, "Scanner.RunChecks", 0, 0),
                                   Row(0x40abcd, "Check", 1234, 10)};
    rows[0].EntryPoint = 0x400ff0;
    rows[0].UnitName = "main.cpp";
    rows[2].EntryPoint = 0x40a000;
    TStackTableOptions options;
    options.ShowRelAddrs = true;
    options.ShowRelLines = true;
    const std::vector<std::string> lines = Lines(ComposeStackTable(rows, options));
    ASSERT_EQ(3u, lines.size());

    // Newest first; the offset column is as wide as the widest offset ("$bcd" + 1).
    EXPECT_EQ(StackHex(0x40abcd) + " +bcd hivesweep.exe scan.cpp 1234 +10 Check", lines[0]);
    EXPECT_EQ(StackHex(0x402345) + " +000 hivesweep.exe scan.cpp          Scanner.RunChecks", lines[1]);
    EXPECT_EQ(StackHex(0x401000) + " +010 hivesweep.exe main.cpp   12  +3 Main", lines[2]);
    for (const std::string& line : lines)
        EXPECT_EQ(lines[0].find("Check"), line.rfind(' ') + 1) << line;

    // Without relative addresses no "+" follows the address; without relative lines the line
    // stands in the relative column.
    options.ShowRelAddrs = false;
    options.ShowRelLines = false;
    rows[0].Line = 0;
    rows[0].RelLine = 12;
    const std::string text = ComposeStackTable(rows, options);
    EXPECT_EQ(StackHex(0x401000) + " hivesweep.exe main.cpp      12 Main", Lines(text)[2]);
    EXPECT_EQ(std::string::npos, text.find(" +"));
    EXPECT_NE("\r\n", text.substr(0, 2));
    EXPECT_NE("\r\n", text.substr(text.size() - 2));
}

TEST(StackLines, TableWithoutLinesKeepsLineColumns)
{
    // No row has a line: the line and relative-line columns stay as one blank each.
    std::vector<TStackRow> rows = {Row(0x401000, "Main"), Row(0x402345, "Scanner.RunChecks")};
    rows[0].UnitName = "main.cpp";
    TStackTableOptions options;
    options.ShowRelLines = true;
    const std::vector<std::string> lines = Lines(ComposeStackTable(rows, options));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(StackHex(0x402345) + " hivesweep.exe scan.cpp   Scanner.RunChecks", lines[0]);
    EXPECT_EQ(StackHex(0x401000) + " hivesweep.exe main.cpp   Main", lines[1]);
}

TEST(StackLines, TableChoosesRows)
{
    std::vector<TStackRow> rows = {Row(0x1000, ""), Row(0x2000, "Named"), Row(0x2000, "Named"),
                                   Row(0x3000, "Removed"), Row(0x4000, "")};
    rows[3].Removed = true;
    rows[4].Sure = true;
    TStackTableOptions options;
    std::vector<std::string> lines = Lines(ComposeStackTable(rows, options));
    // Nameless rows print only when sure; a repeated address prints once.
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(0u, lines[0].find(StackHex(0x4000)));
    EXPECT_EQ(0u, lines[1].find(StackHex(0x2000)));

    // Ugly rows (no relative line) are hidden; the extra first frame always prints.
    options.HideUglyItems = true;
    rows[0].ExtraFirst = true;
    rows[1].RelLine = 2;
    lines = Lines(ComposeStackTable(rows, options));
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(0u, lines[2].find(StackHex(0x1000)));

    // A cancelled table stays empty.
    std::atomic<bool> cancel{true};
    options.Cancel = &cancel;
    EXPECT_EQ("", ComposeStackTable(rows, options));
}

TEST(StackLines, Checksums)
{
    // The table is the standard reflected CRC-32 without the inversions.
    const char check[] = "123456789";
    EXPECT_EQ(0xCBF43926u, ~StackCrc32(0xFFFFFFFFu, check, 9));

    std::vector<TStackRow> rows = {Row(0x7100, "Caller", 5, 2), Row(0x7234, "")};
    rows[0].EntryPoint = 0x7000;
    rows[1].Sure = true;
    rows[1].ModuleBase = 0x7000;
    TStackTableResult result;
    ComposeStackTable(rows, TStackTableOptions{}, &result);
    ASSERT_TRUE(result.HasChecksums);
    // An unnamed row counts by its module offset, so a moved module gives the same value.
    EXPECT_EQ(0x234u, result.Checksum1);
    uint32_t named = 0x100;
    named = StackCrc32(named, "HIVESWEEP.EXE", 13);
    named = StackCrc32(named, "SCAN.CPP", 8);
    named = StackCrc32(named, "CALLER", 6);
    const unsigned char bytes[4] = {uint8_t(named), uint8_t(named >> 8), uint8_t(named >> 16), uint8_t(named >> 24)};
    EXPECT_EQ(StackCrc32(0x234u, bytes, 4), result.Checksum2);
    EXPECT_EQ(1u, result.Checksum3);
    EXPECT_EQ(0x7234u, result.FirstAddress);
    EXPECT_EQ(0x7000u, result.FirstEntryPoint);
    EXPECT_EQ(0x7100u, result.FirstEntryAddress);

    const uint32_t before = result.Checksum2;
    for (TStackRow& row : rows) {
        row.Address += 0x10000;
        row.EntryPoint += row.EntryPoint ? 0x10000 : 0;
        row.ModuleBase += row.ModuleBase ? 0x10000 : 0;
    }
    ComposeStackTable(rows, TStackTableOptions{}, &result);
    EXPECT_EQ(before, result.Checksum2);
}
