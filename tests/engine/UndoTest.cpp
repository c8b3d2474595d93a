#include "KvStatus.h"
#include "RegistryWork.h"
#include "TestSupport.h"
#include "UndoReader.h"
#include "Undos.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace std::string_literals;

namespace {

using TBytes = std::vector<unsigned char>;

TBytes Bytes(const std::string& s) { return TBytes(s.begin(), s.end()); }

std::string Pattern(size_t size) {
    std::string data;
    for (size_t i = 0; i < size; ++i)
        data += static_cast<char>((i * 37 + 11) & 0xFF);
    return data;
}

std::string Dword(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

std::string Narrow(const std::wstring& text) {
    std::string out(text.size() * 4 + 1, '\0');
    out.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                   static_cast<int>(out.size()), nullptr, nullptr));
    return out;
}

// Every key below a path with every value's name, type and stored bytes, read through the
// wide API so that no code-page conversion hides a difference.
struct TValueShot {
    DWORD type;
    TBytes data;
    bool operator==(const TValueShot&) const = default;
};
using TTreeShot = std::map<std::wstring, std::map<std::wstring, TValueShot>>;

void ShootKey(HKEY key, const std::wstring& path, TTreeShot& shot) {
    auto& values = shot[path];
    DWORD subKeys = 0, maxSubKey = 0, maxName = 0, maxData = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr, nullptr, &maxName, &maxData,
                     nullptr, nullptr);
    for (DWORD i = 0;; ++i) {
        std::wstring name(maxName + 1, L'\0');
        TBytes data(maxData + 1);
        DWORD nameLength = maxName + 1, dataSize = maxData + 1, type = 0;
        if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize) != ERROR_SUCCESS)
            break;
        data.resize(dataSize);
        values[name.substr(0, nameLength)] = {type, data};
    }
    for (DWORD i = 0; i < subKeys; ++i) {
        std::wstring name(maxSubKey + 1, L'\0');
        DWORD length = maxSubKey + 1;
        if (RegEnumKeyExW(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        name.resize(length);
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &child) == ERROR_SUCCESS) {
            ShootKey(child, path + L"\\" + name, shot);
            RegCloseKey(child);
        }
    }
}

TTreeShot Snapshot(HKEY root, const std::string& path) {
    TTreeShot shot;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        ShootKey(key, L"", shot);
        RegCloseKey(key);
    }
    return shot;
}

// One line per key or value that differs; empty when the trees are equal.
std::string Diff(const TTreeShot& want, const TTreeShot& got) {
    std::string out;
    for (const auto& [key, values] : want) {
        auto found = got.find(key);
        if (found == got.end()) {
            out += "missing key [" + Narrow(key) + "]\n";
            continue;
        }
        for (const auto& [name, value] : values) {
            auto other = found->second.find(name);
            if (other == found->second.end())
                out += "[" + Narrow(key) + "] missing value \"" + Narrow(name) + "\"\n";
            else if (!(other->second == value))
                out += Format("[%s] \"%s\": type %lu, %u bytes became type %lu, %u bytes\n", Narrow(key).c_str(),
                              Narrow(name).c_str(), value.type, static_cast<unsigned>(value.data.size()),
                              other->second.type, static_cast<unsigned>(other->second.data.size()));
        }
        for (const auto& [name, value] : found->second)
            if (!values.count(name))
                out += "[" + Narrow(key) + "] extra value \"" + Narrow(name) + "\"\n";
    }
    for (const auto& [key, values] : got)
        if (!want.count(key))
            out += "extra key [" + Narrow(key) + "]\n";
    return out;
}

// The journal's file as it is on disk, read through its own (exclusive) handle.
std::string FileText(TRegUndoFile& undo) {
    std::string text(static_cast<size_t>(undo.Stream->Size()), '\0');
    undo.Stream->Seek(0, soBeginning);
    undo.Stream->ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
    return text;
}

std::vector<std::string> LinesFrom(const TStringList& lines, int first) {
    std::vector<std::string> out;
    for (int i = first; i < lines.Count(); ++i)
        out.push_back(lines[i]);
    return out;
}

std::string HexList(const std::string& data, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; ++i)
        out += (i > from ? "," : "") + IntToHex(static_cast<unsigned char>(data[i]), 2);
    return out;
}

// Local times as whole seconds and back.
uint64_t SecondsOf(const SYSTEMTIME& time) {
    FILETIME file;
    SystemTimeToFileTime(&time, &file);
    return (uint64_t(file.dwHighDateTime) << 32 | file.dwLowDateTime) / 10000000;
}

SYSTEMTIME AtSecond(uint64_t seconds) {
    const uint64_t ticks = seconds * 10000000;
    const FILETIME file{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME time;
    FileTimeToSystemTime(&file, &time);
    return time;
}

uint64_t NowSeconds() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return SecondsOf(now);
}

std::string StampName(const SYSTEMTIME& t) {
    return Format("%d%.2d%.2d%.2d%.2d%.2d.reg", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

// The test's run of the global journal, with everything it held before given back afterwards.
class TSwappedUndoFile {
public:
    explicit TSwappedUndoFile(const std::string& folder) {
        lines_.Assign(UndoFile.Lines);
        UndoFile.Lines.Clear();
        stream_ = std::move(UndoFile.Stream);
        fileName_ = std::exchange(UndoFile.FileName, std::string());
        folder_ = std::exchange(UndoFile.Folder, folder);
    }
    ~TSwappedUndoFile() {
        UndoFile.Lines.Assign(lines_);
        UndoFile.Stream = std::move(stream_);
        UndoFile.FileName = fileName_;
        UndoFile.Folder = folder_;
    }
    TSwappedUndoFile(const TSwappedUndoFile&) = delete;
    TSwappedUndoFile& operator=(const TSwappedUndoFile&) = delete;

private:
    TStringList lines_;
    std::unique_ptr<TFileStream> stream_;
    std::string fileName_, folder_;
};

// Writes half of what it is given, as a full disk would.
class THalfWriteStream : public TFileStream {
public:
    using TFileStream::TFileStream;
    int64_t Write(const void* buffer, int64_t count) override { return TFileStream::Write(buffer, count / 2); }
};

std::string Header(const TScratchKey& key, const std::string& sub = "") {
    return "[HKEY_CURRENT_USER\\" + key.Path() + (sub.empty() ? "" : "\\" + sub) + "]";
}

TEST(UndoJournal, FirstEntryCreatesFileWithHeaderAndLaterEntriesAppend) {
    TTempDir dir;
    TScratchKey key;
    key.SetString("", "s", "one");
    key.SetDword("", "d", 2);
    TRegUndoFile undo;
    undo.Folder = dir.Path() + "\\missing\\parents\\restore";

    const uint64_t before = NowSeconds();
    ASSERT_TRUE(undo.AddEntry(key.Root(), key.Path(), "s"));
    const uint64_t after = NowSeconds();

    // File name and date line tell one of the seconds the call spanned.
    std::vector<std::string> names, stamps;
    for (uint64_t s = before; s <= after; ++s) {
        const SYSTEMTIME time = AtSecond(s);
        char date[128] = {}, clock[128] = {};
        GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, date, sizeof date);
        GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &time, nullptr, clock, sizeof clock);
        names.push_back(undo.Folder + "\\" + StampName(time));
        stamps.push_back(";   on "s + date + " " + clock);
    }
    EXPECT_NE(std::find(names.begin(), names.end(), undo.FileName), names.end()) << undo.FileName;
    ASSERT_GE(undo.Lines.Count(), 7);
    EXPECT_NE(std::find(stamps.begin(), stamps.end(), undo.Lines[6]), stamps.end()) << undo.Lines[6];
    // The test program has no version resource.
    EXPECT_FALSE(TKvVersionInfo(nullptr).HasVersionInfo());
    EXPECT_EQ(LinesFrom(undo.Lines, 0),
              (std::vector<std::string>{"REGEDIT4", "", ";   Double click on this file in Explorer",
                                        ";   to repair removed or changed registry values", "",
                                        ";   Generated by Value Not Available", undo.Lines[6], "", Header(key),
                                        "\"s\"=\"one\""}));
    EXPECT_EQ(FileText(undo), undo.Lines.Text());

    const std::string firstFile = undo.FileName;
    ASSERT_TRUE(undo.AddEntry(key.Root(), key.Path(), "d"));
    EXPECT_EQ(undo.FileName, firstFile);
    EXPECT_EQ(LinesFrom(undo.Lines, 10), (std::vector<std::string>{"", Header(key), "\"d\"=dword:00000002"}));
    EXPECT_EQ(FileText(undo), undo.Lines.Text());

    // A missing value or key adds nothing, to the lines or to the file.
    const std::string text = undo.Lines.Text();
    EXPECT_FALSE(undo.AddEntry(key.Root(), key.Path(), "absent"));
    EXPECT_FALSE(undo.AddEntry(key.Root(), key.Path() + "\\absent", ""));
    EXPECT_FALSE(undo.AddEntry(key.Root(), key.Path() + "\\absent", "s"));
    EXPECT_EQ(undo.Lines.Text(), text);
    EXPECT_EQ(FileText(undo), text);
}

TEST(UndoJournal, ExistingFileOfTheSameSecondIsContinued) {
    TTempDir dir;
    TScratchKey key;
    key.SetString("", "s", "x");
    // Whatever second the entry lands in, a file of that name is already there.
    const std::string old = "REGEDIT4\r\n\r\n; earlier run\r\n";
    const uint64_t now = NowSeconds();
    for (uint64_t s = now - 1; s <= now + 60; ++s)
        dir.AddFile("restore\\" + StampName(AtSecond(s)), old);
    TRegUndoFile undo;
    undo.Folder = dir.Path() + "\\restore";
    ASSERT_TRUE(undo.AddEntry(key.Root(), key.Path(), "s"));
    EXPECT_EQ(undo.Lines.Text(), old + "\r\n" + Header(key) + "\r\n\"s\"=\"x\"\r\n");
    EXPECT_EQ(FileText(undo), undo.Lines.Text());
}

TEST(UndoJournal, WholeKeyGivesOneSectionPerKeyParentFirst) {
    TTempDir dir;
    TScratchKey key;
    // Names in creation order are also in alphabetical order.
    key.SetString("K", "", "default");
    key.SetString("K", "a_string", "text");
    key.SetDword("K", "b_dword", 255);
    key.SetValue("K", "c_binary", REG_BINARY, "\x01\xE9", 2);
    key.SetString("K\\child", "c", "x");
    TRegUndoFile undo;
    undo.Folder = dir.Path();
    // One leading and any trailing backslashes are dropped.
    ASSERT_TRUE(undo.AddEntry(key.Root(), "\\" + key.Path() + "\\K\\\\", ""));
    EXPECT_EQ(LinesFrom(undo.Lines, 7),
              (std::vector<std::string>{"", Header(key, "K"), "@=\"default\"", "\"a_string\"=\"text\"",
                                        "\"b_dword\"=dword:000000FF", "\"c_binary\"=hex:01,E9", "",
                                        Header(key, "K\\child"), "\"c\"=\"x\""}));
    EXPECT_EQ(FileText(undo), undo.Lines.Text());
}

TEST(UndoJournal, EachValueFormAndItsWrapping) {
    const std::string bytes40 = Pattern(40), bytes26 = Pattern(26), bytes25 = Pattern(25);
    const std::string qword = "\x01\x02\x03\x04\x05\x06\x07\xF8"s;
    const struct {
        std::string name;
        DWORD type;
        std::string data;
        std::vector<std::string> lines;
    } kCases[] = {
        {"a\\b\"c", REG_SZ, "C:\\x \"y\"\0"s, {"\"a\\\\b\\\"c\"=\"C:\\\\x \\\"y\\\"\""}},
        {"@", REG_SZ, "at\0"s, {"\"@\"=\"at\""}},
        {"e", REG_SZ, "\0"s, {"\"e\"=\"\""}},
        {"crlf", REG_SZ, "a\r\nb\0"s, {"\"crlf\"=hex(1):61,0D,0A,62,00"}},
        {"x", REG_EXPAND_SZ, "%a%\0"s, {"\"x\"=hex(2):25,61,25,00"}},
        {"m", REG_MULTI_SZ, "a\0\0"s, {"\"m\"=hex(7):61,00,00"}},
        {"q", REG_QWORD, qword, {"\"q\"=hex(b):01,02,03,04,05,06,07,F8"}},
        {"n", REG_NONE, "", {"\"n\"=hex(0):"}},
        {"t", 0xab, "\x7F", {"\"t\"=hex(ab):7F"}},
        {"dw", REG_DWORD, Dword(0xDEADBEEF), {"\"dw\"=dword:DEADBEEF"}},
        {"d3", REG_DWORD, "\x01\x02\x03", {"\"d3\"=hex(4):01,02,03"}},
        {"b0", REG_BINARY, "", {"\"b0\"=hex:"}},
        // 8 + 24 * 3 + 2 characters: no break, as no byte follows.
        {"a", REG_BINARY, bytes25, {"\"a\"=hex:" + HexList(bytes25, 0, 25)}},
        {"a", REG_BINARY, bytes26, {"\"a\"=hex:" + HexList(bytes26, 0, 25) + ",\\", "  " + HexList(bytes26, 25, 26)}},
        {"a", REG_BINARY, bytes40, {"\"a\"=hex:" + HexList(bytes40, 0, 25) + ",\\", "  " + HexList(bytes40, 25, 40)}},
    };
    TTempDir dir;
    TScratchKey key;
    TRegUndoFile undo;
    undo.Folder = dir.Path();
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        key.SetValue("", c.name, c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        const int before = undo.Lines.Count() == 0 ? 7 : undo.Lines.Count();
        ASSERT_TRUE(undo.AddEntry(key.Root(), key.Path(), c.name));
        std::vector<std::string> want{"", Header(key)};
        want.insert(want.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(LinesFrom(undo.Lines, before), want);
    }
    EXPECT_EQ(FileText(undo), undo.Lines.Text());

    // Continuation lines hold 27 bytes each: two blanks and 27 * 3 characters pass 80.
    TStringList lines;
    const std::string bytes300 = Pattern(300);
    AppendHexLines(lines, "@=", REG_BINARY, reinterpret_cast<const unsigned char*>(bytes300.data()), 300);
    ASSERT_EQ(lines.Count(), 12);
    EXPECT_EQ(lines[0], "@=hex:" + HexList(bytes300, 0, 25) + ",\\");
    for (int i = 1; i < 11; ++i)
        EXPECT_EQ(lines[i], "  " + HexList(bytes300, 25 + 27 * (i - 1), 25 + 27 * i) + ",\\");
    EXPECT_EQ(lines[11], "  " + HexList(bytes300, 295, 300));
}

TEST(UndoJournal, FailedWriteLeavesNeitherLinesNorBytes) {
    TTempDir dir;
    TScratchKey key;
    key.SetString("", "kept", "1");
    key.SetValue("", "lost", REG_BINARY, Pattern(100).data(), 100);
    TRegUndoFile undo;
    // A file stands where the folder should be: no journal, and the next entry tries again.
    undo.Folder = dir.AddFile("taken");
    EXPECT_THROW(undo.AddEntry(key.Root(), key.Path(), "kept"), EFCreateError);
    ASSERT_TRUE(undo.FileName.empty());
    undo.Folder = dir.Path();
    ASSERT_TRUE(undo.AddEntry(key.Root(), key.Path(), "kept"));
    const std::string text = undo.Lines.Text();

    for (unsigned mode : {unsigned(fmOpenReadWrite), unsigned(fmOpenRead)}) {
        SCOPED_TRACE(mode);
        undo.Stream.reset();
        if (mode == fmOpenRead)
            undo.Stream = std::make_unique<TFileStream>(undo.FileName, fmOpenRead | fmShareDenyNone);
        else
            undo.Stream = std::make_unique<THalfWriteStream>(undo.FileName, fmOpenReadWrite | fmShareDenyNone);
        EXPECT_FALSE(undo.AddEntry(key.Root(), key.Path(), "lost"));
        EXPECT_FALSE(undo.AddEntry(key.Root(), key.Path(), ""));
        EXPECT_EQ(undo.Lines.Text(), text);
        EXPECT_EQ(FileText(undo), text);
    }

    // A stream that works again continues right after the last good entry.
    undo.Stream.reset();
    undo.Stream = std::make_unique<TFileStream>(undo.FileName, fmOpenReadWrite | fmShareExclusive);
    ASSERT_TRUE(undo.AddEntry(key.Root(), key.Path(), "lost"));
    EXPECT_EQ(FileText(undo), undo.Lines.Text());
    EXPECT_EQ(undo.Lines.Text().substr(0, text.size()), text);
}

TEST(UndoJournal, SecondCleanupOfARunAppendsToTheSameFile) {
    TTempDir dir;
    TScratchKey key;
    key.SetString("", "first", "1");
    key.SetString("", "second", "2");
    TSwappedUndoFile run(dir.Path() + "\\restore");

    TRegistryCheckThread cleanup;
    cleanup.AddInvalidEntry(key.Root(), key.Path(), "planted", "1", "first");
    cleanup.LastError()->Checked = true;
    cleanup.AddInvalidEntry(key.Root(), key.Path(), "planted", "gone", "gone");
    cleanup.LastError()->Checked = true;
    ASSERT_TRUE(cleanup.CreateUndoFile());
    EXPECT_TRUE(static_cast<TRegistryError*>(cleanup.Errors.Objects(0))->Journaled);
    EXPECT_FALSE(static_cast<TRegistryError*>(cleanup.Errors.Objects(1))->Journaled);
    const std::string file = UndoFile.FileName;
    ASSERT_FALSE(file.empty());

    TRegistryCheckThread later;
    later.AddInvalidEntry(key.Root(), key.Path(), "planted", "2", "second");
    later.LastError()->Checked = true;
    ASSERT_TRUE(later.CreateUndoFile());
    EXPECT_TRUE(later.LastError()->Journaled);
    EXPECT_EQ(UndoFile.FileName, file);
    EXPECT_EQ(LinesFrom(UndoFile.Lines, 7),
              (std::vector<std::string>{"", Header(key), "\"first\"=\"1\"", "", Header(key), "\"second\"=\"2\""}));
    EXPECT_EQ(FileText(UndoFile), UndoFile.Lines.Text());
}

// A name with a line break would split its line, and the split line restores nothing: such an
// entry is refused, and a refused entry is never deleted.
TEST(UndoJournal, NamesWithLineBreaksAreRefusedAndTheirFindingsKept) {
    TTempDir dir;
    TScratchKey key;
    key.SetString("", "plain", "1");
    key.SetString("", "two\r\nlines", "2");
    key.SetString("", "cr\ronly", "3");
    key.SetString("Values", "ok", "4");
    key.SetString("Values", "lf\nonly", "5");
    key.SetString("Line\r\nKey", "v", "6");
    key.SetString("Outer\\Inner\nKey", "v", "7");
    TSwappedUndoFile run(dir.Path() + "\\restore");
    ASSERT_TRUE(UndoFile.AddEntry(key.Root(), key.Path(), "plain"));
    EXPECT_FALSE(UndoFile.LineBreakRefused);
    const std::string text = UndoFile.Lines.Text();

    const std::pair<std::string, std::string> kRefused[] = {
        {"", "two\r\nlines"},        // a value name
        {"", "cr\ronly"},            // a lone CR splits the line as well
        {"\\Values", ""},            // a whole key holding such a value
        {"\\Line\r\nKey", "v"},      // a key name
        {"\\Line\r\nKey", ""},
        {"\\Outer", ""},             // a whole key holding such a key
    };
    for (const auto& [sub, name] : kRefused) {
        EXPECT_FALSE(UndoFile.AddEntry(key.Root(), key.Path() + sub, name)) << sub << " " << name;
        EXPECT_TRUE(UndoFile.LineBreakRefused) << sub << " " << name;
        EXPECT_EQ(UndoFile.Lines.Text(), text);
        EXPECT_EQ(FileText(UndoFile), text);
    }
    // What is missing is no refusal.
    EXPECT_FALSE(UndoFile.AddEntry(key.Root(), key.Path(), "absent\r\n"));
    EXPECT_FALSE(UndoFile.LineBreakRefused);

    TRegistryCheckThread cleanup;
    const auto find = [&](const std::string& sub, const std::string& name) {
        cleanup.AddInvalidEntry(key.Root(), key.Path() + sub, "planted", "", name);
        cleanup.LastError()->Checked = true;
        return cleanup.LastError();
    };
    TRegistryError* kept[] = {find("", "two\r\nlines"), find("\\Values", ""), find("\\Line\r\nKey", "v"),
                              find("\\Outer", "")};
    TRegistryError* gone = find("", "plain");
    ASSERT_TRUE(cleanup.CreateUndoFile());
    for (TRegistryError* error : kept) {
        EXPECT_TRUE(error->KeptForLineBreak) << error->Key << " " << error->ValueName;
        EXPECT_FALSE(error->Journaled);
    }
    EXPECT_FALSE(gone->KeptForLineBreak);
    EXPECT_TRUE(gone->Journaled);
    const TTreeShot before = Snapshot(key.Root(), key.Path());
    std::vector<TRegistryError*> fixed;
    cleanup.OnErrorFixed = [&](TObject*) { fixed.push_back(cleanup.CurrentError); };
    cleanup.FixErrors();
    EXPECT_EQ(fixed, std::vector<TRegistryError*>{gone});
    TTreeShot after = before;
    after[L""].erase(L"plain");
    EXPECT_EQ(Diff(after, Snapshot(key.Root(), key.Path())), "");
}

TEST(UndoReader, ParsesNamesDataAndShownText) {
    TStringList lines;
    lines.SetText(
        "REGEDIT4\r\n"
        "\r\n"
        ";   Generated by x\r\n"
        "[HKEY_CURRENT_USER\\Software\\Bare]\r\n"
        "[HKEY_CURRENT_USER\\Software\\A]\r\n"
        "@=\"def\"\r\n"
        "\"@\"=\"at\"\r\n"
        "\"a\\\\b\\\"c\"=\"C:\\\\x \\\"y\\\"\"\r\n"
        "\"C:\\x.dll\"=dword:000000ff\r\n"
        "\"say \"hi\"\"=\"x\"\r\n"
        "\"bin\"=hex:01,02,\\\r\n"
        "  03,,04\r\n"
        "\"t\"=hex(2):41,00\r\n"
        "\"bad\"=hex:01,zz\r\n"
        "\"baddword\"=dword:xyz\r\n"
        "[HKEY_LOCAL_MACHINE\\B]\r\n"
        "\"q\"=hex(b):01,02,03,04,05,06,07,F8\r\n"
        "[HKEY_USERS\\Bare]\r\n");
    const std::string a = "HKEY_CURRENT_USER\\Software\\A";
    const struct {
        std::string key, name;
        DWORD type;
        std::string data, text;
        bool malformed, ignored;
    } kWant[] = {
        // A key without values stands for itself.
        {"HKEY_CURRENT_USER\\Software\\Bare", "", REG_SZ, "", "", false, false},
        {a, "", REG_SZ, "def\0"s, "@=\"def\"", false, false},
        {a, "@", REG_SZ, "at\0"s, "\"@\"=\"at\"", false, false},
        {a, "a\\b\"c", REG_SZ, "C:\\x \"y\"\0"s, "\"a\\b\"c\"=\"C:\\x \"y\"\"", false, false},
        // Older files did not escape names.
        {a, "C:\\x.dll", REG_DWORD, Dword(255), "\"C:\\x.dll\"=dword:000000ff", false, false},
        {a, "say \"hi\"", REG_SZ, "x\0"s, "\"say \"hi\"\"=\"x\"", false, false},
        {a, "bin", REG_BINARY, "\x01\x02\x03\x04", "\"bin\"=hex:01,02,03,,04", false, false},
        {a, "t", REG_EXPAND_SZ, "A\0"s, "\"t\"=hex(2):41,00", false, false},
        {a, "bad", REG_BINARY, "\x01", "\"bad\"=hex:01,zz", true, false},
        {a, "baddword", REG_DWORD, "", "\"baddword\"=dword:xyz", false, true},
        {"HKEY_LOCAL_MACHINE\\B", "q", REG_QWORD, "\x01\x02\x03\x04\x05\x06\x07\xF8",
         "\"q\"=hex(b):01,02,03,04,05,06,07,F8", false, false},
        {"HKEY_USERS\\Bare", "", REG_SZ, "", "", false, false},
    };
    const std::vector<TUndoEntry> entries = ParseUndoLines(lines);
    ASSERT_EQ(entries.size(), std::size(kWant));
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(kWant[i].text);
        EXPECT_EQ(entries[i].Key, kWant[i].key);
        EXPECT_EQ(entries[i].Name, kWant[i].name);
        EXPECT_EQ(entries[i].Type, kWant[i].type);
        EXPECT_EQ(entries[i].Data, Bytes(kWant[i].data));
        EXPECT_EQ(entries[i].Text, kWant[i].text);
        EXPECT_EQ(entries[i].Malformed, kWant[i].malformed);
        EXPECT_EQ(entries[i].Ignored, kWant[i].ignored);
    }
}

TEST(UndoReader, RestoresIntoMissingKeysAndRejectsBadBytes) {
    TScratchKey key;
    const std::string gone = "HKEY_CURRENT_USER\\" + key.Path() + "\\gone\\deeper";
    TStringList lines;
    lines.SetText("[" + gone +
                  "]\r\n\"ok\"=\"1\"\r\n\"d\"=dword:10\r\n\"baddword\"=dword:nope\r\n\"bad\"=hex:01,zz\r\n");
    const std::vector<TUndoEntry> entries = ParseUndoLines(lines);
    ASSERT_EQ(entries.size(), 4u);
    TRegistry reg;
    EXPECT_TRUE(RestoreUndoEntry(reg, entries[0]));
    EXPECT_TRUE(RestoreUndoEntry(reg, entries[1]));
    EXPECT_TRUE(RestoreUndoEntry(reg, entries[2]));
    EXPECT_THROW(RestoreUndoEntry(reg, entries[3]), EConvertError);
    TTreeShot want;
    want[L""];
    want[L"\\gone"];
    // Strings are stored as UTF-16.
    want[L"\\gone\\deeper"] = {{L"ok", {REG_SZ, Bytes("1\0\0\0"s)}}, {L"d", {REG_DWORD, Bytes(Dword(16))}}};
    EXPECT_EQ(Diff(want, Snapshot(key.Root(), key.Path())), "");

    TUndoEntry elsewhere = entries[0];
    elsewhere.Key = "HKEY_CURRENT_CONFIG\\" + key.Path();
    EXPECT_FALSE(RestoreUndoEntry(reg, elsewhere));

    const struct {
        const char* name;
        HKEY root;
    } kRoots[] = {{"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                  {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                  {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                  {"HKEY_USERS", HKEY_USERS}};
    for (const auto& r : kRoots) {
        HKEY root = nullptr;
        std::string rest;
        ASSERT_TRUE(SplitRootKey(r.name + "\\Software\\X"s, root, rest)) << r.name;
        EXPECT_EQ(root, r.root) << r.name;
        EXPECT_EQ(rest, "\\Software\\X");
    }
    HKEY root = nullptr;
    std::string rest;
    EXPECT_FALSE(SplitRootKey("HKEY_CURRENT_CONFIG\\Software", root, rest));
}

struct TPlant {
    std::string name;
    DWORD type;
    std::string data;
};

// Every form the journal knows, with the characters its format has to escape.
std::vector<TPlant> EveryForm() {
    return {
        {"", REG_SZ, "default \"data\" \\\0"s},
        {"@", REG_SZ, "at sign\0"s},
        {"empty", REG_SZ, "\0"s},
        {"back\\slash \"q\" a=b @", REG_SZ, "C:\\dir\\ \"x\" = @ \\\\srv\\\0"s},
        {"x\\\"=\"y\"", REG_SZ, "\\\"=\0"s},
        {"trail\\", REG_EXPAND_SZ, "\\\0"s},
        {"caf\xE9", REG_SZ, "na\xEFve \xE9\0"s},
        {"crlf", REG_SZ, "line1\r\nline2\r\0"s},
        {"C:\\x.dll", REG_DWORD, Dword(255)},
        {"dword", REG_DWORD, Dword(0x80000001)},
        {"short dword", REG_DWORD, "\x01\x02\x03"s},
        {"expand", REG_EXPAND_SZ, "%SystemRoot%\\\xE9 \"q\"\0"s},
        {"multi", REG_MULTI_SZ, "a\0b\\\"c=@\0\xE9\0\0"s},
        {"qword", REG_QWORD, "\x01\x02\x03\x04\x05\x06\x07\xF8"s},
        {"bin0", REG_BINARY, ""},
        {"bin1", REG_BINARY, "\xE9"},
        {"bin25", REG_BINARY, Pattern(25)},
        {"bin26", REG_BINARY, Pattern(26)},
        {"bin300", REG_BINARY, Pattern(300)},
        {"none", REG_NONE, "\x01\x00\xFF"s},
        {"none0", REG_NONE, ""},
        {"odd type", 0xab, "\x7F\x80"s},
    };
}

DWORD RunRegedit(const std::string& file) {
    char windows[MAX_PATH + 1] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::string command = "\""s + windows + "\\regedit.exe\" /s \"" + file + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << command << ": " << SysErrorMessage(GetLastError());
        return DWORD(-1);
    }
    CloseHandle(process.hThread);
    DWORD code = DWORD(-1);
    if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        ADD_FAILURE() << command << " did not end";
    CloseHandle(process.hProcess);
    return code;
}

void RestoreAll(const std::vector<TUndoEntry>& entries) {
    TRegistry reg;
    for (const TUndoEntry& entry : entries)
        EXPECT_TRUE(RestoreUndoEntry(reg, entry)) << entry.Key << " " << entry.Text;
}

TEST(UndoRoundTrip, JournaledKeysAndValuesComeBackExactly) {
    TTempDir dir;
    TScratchKey key;
    const std::string tree = key.Path() + "\\Tree", single = key.Path() + "\\Single";
    const std::string sub = "Sub = \"@\" [x]";
    for (const TPlant& p : EveryForm()) {
        key.SetValue("Tree", p.name, p.type, p.data.data(), static_cast<DWORD>(p.data.size()));
        key.SetValue("Tree\\" + sub + "\\Deeper", p.name, p.type, p.data.data(), static_cast<DWORD>(p.data.size()));
        if (!p.name.empty())
            key.SetValue("Single", p.name, p.type, p.data.data(), static_cast<DWORD>(p.data.size()));
    }
    key.SetString("Tree\\" + sub, "", "sub default");
    key.SetString("Tree\\Only\\Child", "v", "w");
    HKEY empty = nullptr;
    ASSERT_EQ(RegCreateKeyExA(key.Root(), (tree + "\\Empty").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &empty,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(empty);
    const TTreeShot before = Snapshot(key.Root(), key.Path());
    ASSERT_EQ(before.size(), 8u);  // the scratch key, Tree and its five keys, Single

    TRegUndoFile undo;
    undo.Folder = dir.Path();
    ASSERT_TRUE(undo.AddEntry(key.Root(), tree, ""));
    for (const TPlant& p : EveryForm()) {
        if (!p.name.empty()) {
            ASSERT_TRUE(undo.AddEntry(key.Root(), single, p.name)) << p.name;
        }
    }
    const std::vector<TUndoEntry> fromLines = ParseUndoLines(undo.Lines);
    for (const TUndoEntry& entry : fromLines) {
        EXPECT_FALSE(entry.Malformed) << entry.Text;
        EXPECT_FALSE(entry.Ignored) << entry.Text;
    }
    const auto removeAll = [&] {
        RegDeleteTreeA(key.Root(), tree.c_str());
        RegDeleteTreeA(key.Root(), single.c_str());
        ASSERT_EQ(Snapshot(key.Root(), key.Path()).size(), 1u);
    };

    removeAll();
    RestoreAll(fromLines);
    EXPECT_EQ(Diff(before, Snapshot(key.Root(), key.Path())), "");

    // The file holds the same text, and reads back the same.
    EXPECT_EQ(FileText(undo), undo.Lines.Text());
    undo.Stream.reset();
    TStringList disk;
    disk.LoadFromFile(undo.FileName);
    removeAll();
    RestoreAll(ParseUndoLines(disk));
    EXPECT_EQ(Diff(before, Snapshot(key.Root(), key.Path())), "");

    // The system's registry editor imports the same file.
    removeAll();
    EXPECT_EQ(RunRegedit(undo.FileName), 0u);
    EXPECT_EQ(Diff(before, Snapshot(key.Root(), key.Path())), "");
}

}  // namespace
