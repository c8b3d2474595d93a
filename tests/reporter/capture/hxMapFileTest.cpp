#include "hxMapFile.h"

#include "hxCrypt.h"
#include "hxDisAsm.h"
#include "hxTools.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

// A function with a known name and a call at a known line, for the symbols of this program.
namespace mapfiletest {

volatile uintptr_t Sink = 0;

__attribute__((noinline)) uintptr_t ReturnAddress()
{
    return reinterpret_cast<uintptr_t>(__builtin_return_address(0));
}

__attribute__((noinline)) uintptr_t CallAtKnownLine(int& line)
{
    line = __LINE__ + 1;
    const uintptr_t address = ReturnAddress();
    Sink = Sink + 1;
    return address;
}

struct TKey {
    int Value;
};

__attribute__((noinline)) bool operator<(TKey a, TKey b)
{
    return a.Value < b.Value;
}

template <class T>
__attribute__((noinline)) T Twice(T value)
{
    return value + value;
}

} // namespace mapfiletest

namespace {

std::string ModuleFile()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

std::string BaseOf(const std::string& file)
{
    return file.substr(0, file.rfind('.'));
}

// A folder of its own for made-up symbol files; removed with its files.
class TempFolder {
public:
    TempFolder()
    {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        path_ = std::string(temp) + "hxmapfile" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(path_.c_str(), nullptr);
    }
    ~TempFolder()
    {
        for (const std::string& f : files_)
            DeleteFileA(f.c_str());
        RemoveDirectoryA(path_.c_str());
    }
    std::string Write(const std::string& name, const std::string& data)
    {
        const std::string file = path_ + "\\" + name;
        std::ofstream(file, std::ios::binary) << data;
        files_.push_back(file);
        return file;
    }
    std::string Path(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
    std::vector<std::string> files_;
};

struct TBytes {
    std::string Data;
    TBytes& U16(unsigned v) { return Raw(std::string{char(v), char(v >> 8)}); }
    TBytes& U32(std::uint32_t v) { return Raw(std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}); }
    TBytes& Raw(std::string_view bytes) { Data.append(bytes); return *this; }
    TBytes& Number(std::uint32_t v)
    {
        do {
            Data += char((v & 0x7F) | (v > 0x7F ? 0x80 : 0));
            v >>= 7;
        } while (v);
        return *this;
    }
    TBytes& PlainName(std::string_view name)
    {
        Data += '\x01';
        for (char c : name)
            Data += char(c ^ 0xAA);
        Data += '\0';
        return *this;
    }
    TBytes& CodedName(std::string_view name, bool at)
    {
        static const std::string digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_";
        Data += at ? '\x02' : '\x00';
        std::vector<unsigned> codes;
        for (char c : name)
            codes.push_back(unsigned(digits.find(c)) + 1);
        codes.push_back(0);
        while (codes.size() % 4)
            codes.push_back(0);
        for (std::size_t i = 0; i < codes.size(); i += 4) {
            const std::uint32_t group = codes[i] | codes[i + 1] << 6 | codes[i + 2] << 12 | codes[i + 3] << 18;
            Raw(std::string{char(group), char(group >> 8), char(group >> 16)});
        }
        return *this;
    }
};

template <class F>
double MillisecondsOf(F&& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::string ReadFile(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// ---- Packed map data of this program ----

TEST(HxMapFile, OwnSymbolsNameTheFunctionUnitAndLine)
{
    int line = 0;
    const uintptr_t returnAddress = mapfiletest::CallAtKnownLine(line);
    const uintptr_t entry = reinterpret_cast<uintptr_t>(&mapfiletest::CallAtKnownLine);

    TAddressInfo info;
    ASSERT_TRUE(LookupAddressInfo(returnAddress - 1, info));
    EXPECT_EQ(info.ModuleName, ModuleFile());
    EXPECT_EQ(info.UnitName, "hxMapFileTest.cpp");
    EXPECT_EQ(info.PublicName, "mapfiletest.CallAtKnownLine");
    EXPECT_EQ(info.EntryPoint, entry);
    EXPECT_EQ(info.Line, line);
    EXPECT_FALSE(LookupAddressInfo(0, info));

    const TMapFilePtr map = GetModuleMapFile(entry);
    ASSERT_TRUE(map->Valid());
    EXPECT_EQ(map, GetModuleMapFile(0)) << "one cached map per module";
    EXPECT_EQ(map->EntryPoint(), reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)) +
                                     PeNtHeaders(GetModuleHandleA(nullptr))->OptionalHeader.AddressOfEntryPoint);
    // A unit given without its extension is found with ".cpp".
    EXPECT_EQ(FindPublicInUnit(*map, MfKindCode, "hxMapFileTest", true, "mapfiletest.CallAtKnownLine"), entry);
    EXPECT_EQ(FindPublicInUnit(*map, MfKindCode, "hxMapFileTest", true, "MAPFILETEST.CALLATKNOWNLINE"), 0u);
    EXPECT_EQ(FindPublicInUnit(*map, MfKindCode, "hxMapFileTest", false, "MAPFILETEST.CALLATKNOWNLINE"), entry);
    EXPECT_EQ(FindPublicInUnit(*map, MfKindCode, "hxStrings", true, "mapfiletest.CallAtKnownLine"), 0u);
}

TEST(HxMapFile, PublicNamesLoseSignaturesButKeepTemplateArguments)
{
    const TMapFilePtr map = GetModuleMapFile(0);
    const auto less = reinterpret_cast<uintptr_t>(
        static_cast<bool (*)(mapfiletest::TKey, mapfiletest::TKey)>(&mapfiletest::operator<));
    const auto twice = reinterpret_cast<uintptr_t>(&mapfiletest::Twice<unsigned long long>);
    EXPECT_EQ(FindPublicByAddress(*map, less).Name, "mapfiletest.operator<");
    EXPECT_EQ(FindPublicByAddress(*map, twice).Name, "mapfiletest.Twice<unsigned long long>");
    EXPECT_EQ(FindPublicByAddress(*map, twice + 1).Address, twice);
    EXPECT_TRUE(mapfiletest::operator<({1}, {2}));
    EXPECT_EQ(mapfiletest::Twice<unsigned long long>(4), 8u);
}

TEST(HxMapFile, HooksNamePublicsAndKeepLineRanges)
{
    InitializeMapFileUnit();
    int line = 0;
    const uintptr_t returnAddress = mapfiletest::CallAtKnownLine(line);
    const uintptr_t entry = reinterpret_cast<uintptr_t>(&mapfiletest::CallAtKnownLine);
    EXPECT_EQ(MapFilePublicNameHook(entry), "hxMapFileTest.cpp.mapfiletest.CallAtKnownLine");
    EXPECT_EQ(MapFilePublicNameHook(entry + 1), "");

    int found = 0;
    uintptr_t start = 0, end = 0;
    MapFileLineHook(returnAddress - 1, found, start, end);
    EXPECT_EQ(found, line);
    EXPECT_EQ(start, returnAddress - 1);
    EXPECT_GT(end, start);
    // Inside the range nothing is looked up again.
    found = 12345;
    MapFileLineHook(start, found, start, end);
    EXPECT_EQ(found, 12345);

    // The disassembly listing of the function now names it.
    TFunctionInfo function;
    std::string text;
    ParseFunction(entry, text, 0, function, 0);
    EXPECT_NE(text.find("CallAtKnownLine"), std::string::npos) << text;
    FinalizeMapFileUnit();
}

TEST(HxMapFile, ChangedModuleFileRebuildsWhileHoldersKeepTheirMap)
{
    const TMapFilePtr before = GetModuleMapFile(0);
    ASSERT_TRUE(before->Valid());
    const std::string file = ModuleFile();
    HANDLE h = CreateFileA(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME written{}, changed{};
    ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &written));
    ULARGE_INTEGER t{{written.dwLowDateTime, written.dwHighDateTime}};
    t.QuadPart -= 10ull * 1000 * 1000 * 3600;  // an hour earlier
    changed.dwLowDateTime = t.LowPart;
    changed.dwHighDateTime = t.HighPart;
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &changed));
    const TMapFilePtr after = GetModuleMapFile(0);
    SetFileTime(h, nullptr, nullptr, &written);
    CloseHandle(h);
    EXPECT_NE(before, after);
    EXPECT_TRUE(after->Valid());
    EXPECT_EQ(before->Publics().size(), after->Publics().size());
}

TEST(HxMapFile, ModulesWithoutSymbolsGetFreshEmptyMaps)
{
    const auto address = reinterpret_cast<uintptr_t>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount"));
    ASSERT_NE(address, 0u);
    const TMapFilePtr map = GetModuleMapFile(address);
    EXPECT_FALSE(map->Valid());
    EXPECT_NE(map, GetModuleMapFile(address)) << "invalid maps stay out of the cache";
    TAddressInfo info;
    EXPECT_FALSE(LookupAddressInfo(address, info));
    EXPECT_FALSE(FindPublicByAddress(*map, address).InUse);
    EXPECT_EQ(MapFilePublicNameHook(address), "");
    EXPECT_FALSE(GetModuleMapFile(0x10)->Valid()) << "unmapped memory";
}

TEST(HxMapFile, DamagedPackedDataIsRefused)
{
    const std::string packed = ReadFile(BaseOf(ModuleFile()) + ".hx");
    ASSERT_GT(packed.size(), 34u);
    // The build stores the same data in the program.
    const HRSRC resource = FindResourceA(nullptr, "EXCEPT", "HX");
    ASSERT_NE(resource, nullptr);
    ASSERT_EQ(SizeofResource(nullptr, resource), packed.size());
    EXPECT_EQ(std::memcmp(LockResource(LoadResource(nullptr, resource)), packed.data(), packed.size()), 0);
    {
        TMapFile map;
        EXPECT_TRUE(map.ReadPackedData(packed.data(), packed.size()));
        EXPECT_FALSE(map.Publics().empty());
    }
    std::string bad = packed;
    bad[18] = 4;  // version
    TMapFile map;
    EXPECT_FALSE(map.ReadPackedData(bad.data(), bad.size()));
    bad = packed;
    bad[0] = 'X';  // tag
    EXPECT_FALSE(map.ReadPackedData(bad.data(), bad.size()));
    EXPECT_FALSE(map.ReadPackedData(packed.data(), 22));
    EXPECT_FALSE(map.ReadPackedData(packed.data(), packed.size() - 1)) << "payload runs past the end";
    bad = packed;
    bad[40] ^= 0x55;  // enciphered payload
    EXPECT_FALSE(map.ReadPackedData(bad.data(), bad.size()));
    EXPECT_TRUE(map.Segments().empty() && map.Publics().empty() && map.Lines().empty());
}

// Packed map data around a stream of the test's own, enciphered as the generator does it.
std::string Pack(const std::string& stream, char flags, std::uint32_t id1, std::uint32_t id2)
{
    uLongf size = compressBound(static_cast<uLong>(stream.size()));
    std::string payload(size, '\0');
    compress(reinterpret_cast<Bytef*>(payload.data()), &size, reinterpret_cast<const Bytef*>(stream.data()),
             static_cast<uLong>(stream.size()));
    payload.resize(size);
    char text[32];
    std::snprintf(text, sizeof text, "%u:%08x", unsigned(size), unsigned(size));
    std::string key = "quarry" + std::string(text);
    BlowfishEncryptStr(key, "quarry");
    BlowfishEncryptStr(payload, key);
    TBytes header;
    header.Raw("HIVESWEEP-MAP1").U32(std::uint32_t(size)).U32(3).U32(id1).U32(id2).Raw(std::string{flags, 0, 0, 0});
    return header.Data + payload;
}

std::string MinDescriptor;
std::string ReadMinDescriptor(HMODULE)
{
    return MinDescriptor;
}

TEST(HxMapFile, MinimalDataGoesByItsDescriptor)
{
    // Nameless: one unit with line numbers, two publics, one line, the entry point.
    TBytes stream;
    stream.U32(1).U32(0x10).U32(0x20).Raw(std::string(1, '\x01'));
    stream.U32(2).U32(0x10).Raw(std::string(1, '\x08'));
    stream.U32(1).U32(5).U32(0x14).U32(0x10);
    const std::string packed = Pack(stream.Data, 1, 0xC0DE, 0xBEEF);
    char descriptor[40];
    std::snprintf(descriptor, sizeof descriptor, "$%08X, $%08X, $%08X", unsigned(packed.size()), 0xC0DEu, 0xBEEFu);
    MinDescriptor = descriptor;
    SetMinDebugInfoReader(ReadMinDescriptor);
    TempFolder folder;
    folder.Write("min.hx", packed);
    TMapFile map;
    const bool read = map.Build(nullptr, folder.Path("min.exe"));
    SetMinDebugInfoReader(nullptr);
    ASSERT_TRUE(read);
    EXPECT_EQ(map.Descriptor(), descriptor);
    ASSERT_EQ(map.Segments().size(), 1u);
    EXPECT_EQ(map.Segments()[0].UnitName, "segment%0");
    ASSERT_EQ(map.Publics().size(), 2u);
    EXPECT_EQ(map.Publics()[1].Name, "public%1");
    EXPECT_EQ(map.Publics()[1].Address, 0x18u);
    EXPECT_EQ(map.EntryPoint(), 0x10u);
    uintptr_t next;
    EXPECT_EQ(FindLineByAddress(map, 0x15, next), 5);
    EXPECT_EQ(FindLineByAddress(map, 0x12, next), -1) << "a unit with line numbers but no line here";
    EXPECT_EQ(FindLineByAddress(map, 0x40, next), 0);

    // Data whose build values differ from the descriptor is refused.
    folder.Write("min2.hx", Pack(stream.Data, 1, 0xC0DF, 0xBEEF));
    SetMinDebugInfoReader(ReadMinDescriptor);
    TMapFile refused;
    EXPECT_FALSE(refused.Build(nullptr, folder.Path("min2.exe")));
    EXPECT_TRUE(refused.Segments().empty());
    SetMinDebugInfoReader(nullptr);
}

// ---- The mini stream ----

TEST(HxMapFile, MiniStreamReads)
{
    const unsigned char bytes[] = {0x05, 0x80, 0x78, 0x56, 0x34, 0x12, 0xFE, 0x03, 'a', 'b', 'c', 0x09, 'x'};
    TMiniStream s(bytes, sizeof bytes);
    EXPECT_EQ(s.Capacity(), 8192);
    std::int32_t v = 0;
    ASSERT_TRUE(s.ReadPackedInt(v));
    EXPECT_EQ(v, 5);
    ASSERT_TRUE(s.ReadPackedInt(v));
    EXPECT_EQ(v, 0x12345678);
    ASSERT_TRUE(s.ReadPackedInt(v));
    EXPECT_EQ(v, -2);
    std::string text;
    ASSERT_TRUE(s.ReadShortText(text));
    EXPECT_EQ(text, "abc");
    EXPECT_FALSE(s.ReadShortText(text)) << "9 characters announced, 1 left";
    EXPECT_EQ(s.Remaining(), 2);
    char c;
    EXPECT_EQ(s.Read(&c, -1), 0);
    s.SetSize(8193);
    EXPECT_EQ(s.Capacity(), 16384);
    s.SetSize(3);
    EXPECT_EQ(s.Position(), 3);
    s.SetSize(0);
    EXPECT_EQ(s.Capacity(), 0);
    EXPECT_EQ(s.Memory(), nullptr);
}

// ---- Text map ----

const char kTextMap[] =
    "\r\n"
    " Start         Length     Name                   Class\r\n"
    " 0001:00001000 00002000H .text                   CODE\r\n"
    " 0002:00004000 00000800H .data                   DATA\r\n"
    "\r\n"
    "\r\n"
    "Detailed map of segments\r\n"
    "\r\n"
    " 0001:00000000 00000800 C=CODE     S=.text    G=(none)   M=System   ACBP=A9\r\n"
    " 0001:00000800 00000400 C=CODE     S=.text    G=(none)   M=Main.pas ACBP=A9\r\n"
    " 0001:00000C00 00000200 C=CODE     S=.text    G=(none)   M=Other    ACBP=A9\r\n"
    " 0002:00000000 00000100 C=DATA     S=.data    G=DGROUP   M=System   ACBP=A9\r\n"
    "\r\n"
    "  Address         Publics by Value\r\n"
    "\r\n"
    " 0001:00000010       System.Move\r\n"
    " 0001:00000100       GetMem\r\n"
    " 0001:00000800       Main\r\n"
    " 0001:00000840       Main.Run(Integer)\r\n"
    " 0001:00000C00       OtherProc\r\n"
    " 0002:00000010       DataVar\r\n"
    "\r\n"
    "Line numbers for Main(Main.pas) segment .text\r\n"
    "\r\n"
    "    10 0001:00000800    11 0001:00000810    12 0001:00000840\r\n"
    "    13 0001:00000830    14 0001:00000850\r\n"
    "\r\n"
    "Program entry point at 0001:00000840\r\n";

TEST(HxMapFile, TextMapSectionsAndLookups)
{
    TempFolder folder;
    folder.Write("made.map", kTextMap);
    TMapFile map;
    ASSERT_TRUE(map.Build(nullptr, folder.Path("made.exe")));
    ASSERT_EQ(map.Segments().size(), 3u) << "data units are not kept";
    EXPECT_EQ(map.Segments()[1].UnitName, "Main") << "the .pas ending goes";
    EXPECT_EQ(map.Segments()[2].UnitName, "Other");
    EXPECT_EQ(map.EntryPoint(), 0x840u);
    ASSERT_EQ(map.Publics().size(), 5u);
    EXPECT_EQ(map.Publics()[0].Name, "Move") << "the unit's own qualification goes";
    EXPECT_EQ(map.Publics()[2].Name, "initialization") << "a public named like its unit";
    EXPECT_EQ(map.Publics()[3].Name, "Run");

    EXPECT_EQ(FindSegmentByAddress(map, MfKindCode, 0x9FF).UnitName, "Main");
    EXPECT_FALSE(FindSegmentByAddress(map, MfKindCode, 0xE00).InUse);
    EXPECT_FALSE(FindSegmentByAddress(map, MfKindData, 0x900).InUse);
    EXPECT_EQ(FindPublicByAddress(map, 0x845).Name, "Run");
    EXPECT_FALSE(FindPublicByAddress(map, 0x5).InUse);
    EXPECT_EQ(FindPublicInUnit(map, MfKindCode, "main", false, "RUN"), 0x840u);

    // The entry at 0x830 of the second line is not above the last one and is dropped.
    ASSERT_EQ(map.Lines().size(), 4u);
    uintptr_t next = 0;
    EXPECT_EQ(FindLineByAddress(map, 0x845, next), 12);
    EXPECT_EQ(next, 0x850u);
    EXPECT_EQ(FindLineByAddress(map, 0x900, next), 14);
    EXPECT_EQ(next, 0x901u);
    // The last entry lies in Main; an address in Other gets no line from it.
    EXPECT_EQ(FindLineByAddress(map, 0xC10, next), 0);
}

TEST(HxMapFile, LastPublicEndsAtTheCodeEnd)
{
    TempFolder folder;
    const std::string file = folder.Write("end.map", kTextMap);
    TMapFile map;
    map.SetBases(0x10000, 0x10E00, 0x20000, 0x20100);
    ASSERT_TRUE(map.ReadTextMap(file));
    map.Finish();
    EXPECT_EQ(FindPublicByAddress(map, 0x10DFF).Name, "OtherProc");
    EXPECT_FALSE(FindPublicByAddress(map, 0x10E00).InUse);
    uintptr_t next;
    EXPECT_EQ(FindLineByAddress(map, 0x10810, next), 11);
}

TEST(HxMapFile, OnlyTheFirstDetailedSegmentMapCounts)
{
    // 8000 detailed maps, each followed by publics: every one of them would sort the segments.
    std::string text;
    char line[128];
    for (unsigned i = 0; i < 8000; ++i) {
        std::snprintf(line, sizeof line,
                      "Detailed map of segments\r\n\r\n"
                      " 0001:%08X 00000010 C=CODE     S=.text    G=(none)   M=U%07u  ACBP=A9\r\n\r\n",
                      i * 16, i);
        text += line;
        std::snprintf(line, sizeof line, "Publics by Value\r\n\r\n 0001:%08X       P%u\r\n\r\n", i * 16 + 4, i);
        text += line;
    }
    TempFolder folder;
    const std::string file = folder.Write("many.map", text);
    TMapFile map;
    bool read = false;
    EXPECT_LT(MillisecondsOf([&] { read = map.ReadTextMap(file); }), 100.0);
    EXPECT_TRUE(read);
    ASSERT_EQ(map.Segments().size(), 1u);
    EXPECT_EQ(map.Segments()[0].UnitName, "U0000000");
    EXPECT_EQ(map.Publics().size(), 8000u);
}

TEST(HxMapFile, TextWithoutKnownSectionsIsNoMap)
{
    TempFolder folder;
    folder.Write("plain.map", "just some text\r\n\r\nand more\r\n");
    TMapFile map;
    EXPECT_FALSE(map.Build(nullptr, folder.Path("plain.exe")));
    EXPECT_FALSE(map.Valid());
    EXPECT_FALSE(map.Build(nullptr, folder.Path("missing.exe")));
}

// ---- JDBG and TD32 files ----


TEST(HxMapFile, JdbgUnitsProceduresAndLines)
{
    TBytes b;
    b.Raw("JDBG").Number(1);
    b.Number(2).Number(0x100).CodedName("Alpha", false).Number(0x200).PlainName("C:\\src\\Beta.cpp").Number(0x100);
    b.Number(3).Number(0x100).PlainName("Alpha.Start").Number(0x80).CodedName("Helper", false).Number(0x180).CodedName(
        "Beta_Run2", true);
    b.Number(3).Number(0x100).Number(10).Number(0x10).Number(2).Number(0x1F0).Number(std::uint32_t(-7));
    TempFolder folder;
    folder.Write("jd.jdbg", b.Data);
    TMapFile map;
    ASSERT_TRUE(map.Build(nullptr, folder.Path("jd.exe")));
    ASSERT_EQ(map.Segments().size(), 2u);
    EXPECT_EQ(map.Segments()[1].UnitName, "Beta.cpp") << "the folder goes";
    EXPECT_EQ(map.Segments()[1].Start + map.Segments()[1].Length, 0x400u);
    ASSERT_EQ(map.Publics().size(), 3u);
    EXPECT_EQ(map.Publics()[0].Name, "Start");
    EXPECT_EQ(map.Publics()[1].Name, "Helper");
    EXPECT_EQ(map.Publics()[2].Name, "@Beta_Run2");
    uintptr_t next;
    EXPECT_EQ(FindLineByAddress(map, 0x305, next), 5);
    EXPECT_EQ(FindLineByAddress(map, 0x2FF, next), 12);

    // A cut file and a number marked invalid are no map.
    TMapFile cut;
    folder.Write("cut.jdbg", b.Data.substr(0, b.Data.size() - 1));
    EXPECT_FALSE(cut.Build(nullptr, folder.Path("cut.exe")));
    TBytes bad;
    bad.Raw("JDBG").Number(1).Number(0x7FFFFFFF);
    folder.Write("bad.jdbg", bad.Data);
    EXPECT_FALSE(cut.Build(nullptr, folder.Path("bad.exe")));
}

// TD32 data of the given subsections (type, bytes) in order after their directory: the last one
// ends with the data.
std::string Td32Of(const std::vector<std::pair<unsigned, std::string>>& parts)
{
    TBytes out;
    out.Raw("FB09").U32(8);
    out.U16(16).U16(12).U32(std::uint32_t(parts.size())).U32(0).U32(0);
    std::uint32_t offset = std::uint32_t(out.Data.size() + parts.size() * 12);
    for (const auto& part : parts) {
        out.U16(part.first).U16(1).U32(offset).U32(std::uint32_t(part.second.size()));
        offset += std::uint32_t(part.second.size());
    }
    for (const auto& part : parts)
        out.Raw(part.second);
    return out.Data;
}

std::string MakeTd32()
{
    TBytes names, module, source, symbols;
    names.U32(4);
    for (const char* n : {"Gamma", "Proc1", "Var1", "Pub1"})
        names.Raw(std::string(1, char(std::strlen(n)))).Raw(n).Raw(std::string(1, '\0'));
    module.U16(0).U16(0).U16(2).U16(0).U16(1).U16(0).U32(0x1000).U32(0x200).U16(2).U16(0).U32(0).U32(0x40).U32(1);
    // A pad after the header, the one file at 12, its one block at 32.
    source.U16(1).U16(0).U32(12).U32(0).U16(1).U16(0).U32(32).U32(0).U32(0).U32(0);
    source.U16(1).U16(2).U32(0x1000).U32(0x1010).U16(7).U16(9);
    symbols.Raw(std::string(16, '\0'));
    const auto record = [&](unsigned type, unsigned segment, std::uint32_t offset, std::uint32_t name) {
        const bool proc = type == 0x205;
        symbols.U16(proc ? 42 : 18).U16(type);
        if (proc)
            symbols.Raw(std::string(24, '\0'));
        symbols.U32(offset).U16(segment).U16(0).U32(0).U32(name);
    };
    record(0x205, 1, 0x1000, 2);
    record(0x202, 2, 0x10, 3);
    record(0x20, 1, 0x1100, 4);
    record(0x20, 3, 0x1180, 4);  // a segment past the data segment
    return Td32Of({{0x130, names.Data}, {0x120, module.Data}, {0x127, source.Data}, {0x129, symbols.Data}});
}

TEST(HxMapFile, Td32FileBesideTheModule)
{
    TempFolder folder;
    const std::string tds = folder.Write("td.tds", MakeTd32());
    TMapFile map;
    ASSERT_TRUE(map.Build(nullptr, folder.Path("td.exe")));
    ASSERT_EQ(map.Segments().size(), 1u);
    EXPECT_EQ(map.Segments()[0].UnitName, "Gamma");
    EXPECT_EQ(FindSegmentByAddress(map, MfKindCode, 0x11FF).UnitName, "Gamma");
    ASSERT_EQ(map.Publics().size(), 2u);
    EXPECT_EQ(map.Publics()[0].Name, "Proc1");
    EXPECT_EQ(map.Publics()[1].Name, "Pub1");
    uintptr_t next;
    EXPECT_EQ(FindLineByAddress(map, 0x100F, next), 7);
    EXPECT_EQ(next, 0x1010u);

    // Days older than a map file beside it: the map file wins (here: no map at all).
    folder.Write("td.map", "no sections\r\n");
    HANDLE h = CreateFileA(tds.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME t;
    GetFileTime(h, nullptr, nullptr, &t);
    ULARGE_INTEGER v{{t.dwLowDateTime, t.dwHighDateTime}};
    v.QuadPart -= 2 * 864000000000ull;
    t = {v.LowPart, v.HighPart};
    SetFileTime(h, nullptr, nullptr, &t);
    CloseHandle(h);
    TMapFile stale;
    EXPECT_FALSE(stale.Build(nullptr, folder.Path("td.exe")));
    std::string broken = MakeTd32();
    broken[7] = 0x7F;  // directory outside the data
    EXPECT_FALSE(stale.ReadTd32Data(broken.data(), broken.size()));
}

// ---- TD32 data whose counts and offsets point anywhere ----

// A source-module subsection: one file of `blocks` blocks, each `pairs` line pairs in `segment`.
// Shared: every block offset names the first block, which alone is stored.
std::string SourceModule(unsigned blocks, unsigned pairs, unsigned segment, bool shared)
{
    TBytes s;
    s.U16(1).U16(0).U32(8);
    s.U16(blocks).U16(0);
    const std::uint32_t first = 8 + 8 + 12 * blocks, blockSize = 4 + 6 * pairs;
    for (unsigned b = 0; b < blocks; ++b)
        s.U32(first + (shared ? 0 : b * blockSize));
    for (unsigned b = 0; b < blocks; ++b)
        s.U32(0).U32(0);
    s.U32(0);
    for (unsigned b = 0; b < (shared ? 1 : blocks); ++b) {
        s.U16(segment).U16(pairs);
        for (unsigned p = 0; p < pairs; ++p)
            s.U32(0x1000 + b * pairs + p);
        for (unsigned p = 0; p < pairs; ++p)
            s.U16(p + 1);
    }
    return s.Data;
}

// A made-up image file whose debug directory has one entry per element of `entries`, each
// naming that blob. Its headers span the whole file, so addresses are file offsets.
std::string ImageWithDebugEntries(const std::vector<std::string>& blobs, const std::vector<std::size_t>& entries)
{
    const std::size_t directory = 0x200;
    std::string file(directory + entries.size() * sizeof(IMAGE_DEBUG_DIRECTORY), '\0');
    std::vector<std::size_t> blobAt;
    for (const std::string& blob : blobs) {
        blobAt.push_back(file.size());
        file += blob;
    }
    IMAGE_DOS_HEADER dos{};
    dos.e_magic = IMAGE_DOS_SIGNATURE;
    dos.e_lfanew = 0x40;
    std::memcpy(file.data(), &dos, sizeof dos);
    IMAGE_NT_HEADERS nt{};
    nt.Signature = IMAGE_NT_SIGNATURE;
    nt.FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER);
    nt.OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR_MAGIC;
    nt.OptionalHeader.SizeOfHeaders = DWORD(file.size());
    nt.OptionalHeader.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
    nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG] = {
        DWORD(directory), DWORD(entries.size() * sizeof(IMAGE_DEBUG_DIRECTORY))};
    std::memcpy(file.data() + dos.e_lfanew, &nt, sizeof nt);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        IMAGE_DEBUG_DIRECTORY d{};
        d.Type = IMAGE_DEBUG_TYPE_BORLAND;
        d.SizeOfData = DWORD(blobs[entries[i]].size());
        d.PointerToRawData = DWORD(blobAt[entries[i]]);
        std::memcpy(file.data() + directory + i * sizeof d, &d, sizeof d);
    }
    return file;
}

TEST(HxMapFile, Td32SourceModulesAreBoundByTheirBytes)
{
    // 65535 files in a 40-byte subsection; and a range count of 9000 that the zero offsets past
    // the data would read as the pair count of every block; and 20000 blocks naming one block.
    TBytes manyFiles, manyRanges;
    manyFiles.U16(0xFFFF).U16(0).Raw(std::string(36, '\0'));
    manyRanges.U16(0xFFFF).U16(9000).Raw(std::string(9000 * 6, '\0'));
    // A file offset past its subsection, into the zeros of the next one.
    std::string outside = SourceModule(1, 2, 1, false);
    const std::uint32_t past = std::uint32_t(outside.size()) + 4;
    std::memcpy(outside.data() + 4, &past, 4);
    const std::pair<const char*, std::string> refused[] = {
        {"many files", Td32Of({{0x127, manyFiles.Data}})},
        {"many ranges", Td32Of({{0x127, manyRanges.Data}})},
        {"shared blocks", Td32Of({{0x127, SourceModule(20000, 9000, 0xFF, true)}})},
        {"offset outside", Td32Of({{0x127, outside}, {0x131, std::string(64, '\0')}})},
    };
    for (const auto& [name, data] : refused) {
        TMapFile map;
        bool read = true;
        EXPECT_LT(MillisecondsOf([&] { read = map.ReadTd32Data(data.data(), data.size()); }), 100.0) << name;
        EXPECT_FALSE(read) << name;
        EXPECT_TRUE(map.Lines().empty()) << name;
    }

    // As many lines in blocks with bytes of their own are all read.
    const std::string sound = Td32Of({{0x127, SourceModule(2000, 10, 1, false)}});
    TMapFile map;
    bool read = false;
    EXPECT_LT(MillisecondsOf([&] { read = map.ReadTd32Data(sound.data(), sound.size()); }), 100.0);
    EXPECT_TRUE(read);
    EXPECT_EQ(map.Lines().size(), 20000u);
}

TEST(HxMapFile, Td32SubsectionsMayNotShareTheirBytes)
{
    // One subsection of 60000 pairs, listed 5000 times in the directory.
    const std::string source = SourceModule(1, 60000, 0xFF, false);
    TBytes data;
    data.Raw("FB09").U32(std::uint32_t(8 + source.size())).Raw(source);
    data.U16(16).U16(12).U32(5000).U32(0).U32(0);
    for (int i = 0; i < 5000; ++i)
        data.U16(0x127).U16(1).U32(8).U32(std::uint32_t(source.size()));
    TMapFile map;
    bool read = true;
    EXPECT_LT(MillisecondsOf([&] { read = map.ReadTd32Data(data.Data.data(), data.Data.size()); }), 100.0);
    EXPECT_FALSE(read);
}

TEST(HxMapFile, Td32DirectoryCountsCannotWrap)
{
    // 24 bytes of header, then 19 entries of 12 bytes fill 252 of 256 bytes; 20 do not fit.
    EXPECT_TRUE(Td32DirectoryFits(256, 8, 16, 12, 19));
    EXPECT_FALSE(Td32DirectoryFits(256, 8, 16, 12, 20));
    EXPECT_TRUE(Td32DirectoryFits(24, 8, 16, 12, 0));
    EXPECT_FALSE(Td32DirectoryFits(23, 8, 16, 12, 0));
    // Entry totals of 2^32 and 2^32 + 8 bytes: in 32 bits they would be 0 and 8.
    EXPECT_FALSE(Td32DirectoryFits(256, 8, 16, 16, 0x10000000));
    EXPECT_FALSE(Td32DirectoryFits(256, 8, 16, 12, 0x15555556));
    // A directory whose end lies past 2^32.
    EXPECT_FALSE(Td32DirectoryFits(256, 0xFFFFFFF8, 16, 12, 0));

    // Data that lists 2^28 entries of 16 bytes is refused before its first entry is read.
    TBytes data;
    data.Raw("FB09").U32(8).U16(16).U16(16).U32(0x10000000).U32(0).U32(0).Raw(std::string(64, '\0'));
    TMapFile map;
    bool read = true;
    EXPECT_LT(MillisecondsOf([&] { read = map.ReadTd32Data(data.Data.data(), data.Data.size()); }), 100.0);
    EXPECT_FALSE(read);
}

TEST(HxMapFile, Td32InTheImageIsFoundThroughItsDebugDirectory)
{
    TempFolder folder;
    // Another kind of debug data first, then the TD32 data.
    folder.Write("img.exe", ImageWithDebugEntries({"RSDS" + std::string(20, '\x11'), MakeTd32()}, {0, 1}));
    TMapFile map;
    ASSERT_TRUE(map.ReadTd32(folder.Path("img.exe")));
    ASSERT_EQ(map.Publics().size(), 2u);
    EXPECT_EQ(map.Publics()[0].Name, "Proc1");

    // 20000 entries naming the same costly data that fails at its end: it is read once.
    TBytes broken;
    broken.Raw(std::string(16, '\0')).U16(0).U16(0x20);
    const std::string costly = Td32Of({{0x127, SourceModule(1, 60000, 0xFF, false)}, {0x129, broken.Data}});
    folder.Write("many.exe", ImageWithDebugEntries({costly}, std::vector<std::size_t>(20000, 0)));
    TMapFile many;
    bool read = true;
    EXPECT_LT(MillisecondsOf([&] { read = many.ReadTd32(folder.Path("many.exe")); }), 100.0);
    EXPECT_FALSE(read);
}

} // namespace
