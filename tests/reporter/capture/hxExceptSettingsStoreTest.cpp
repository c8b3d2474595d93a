#include "hxExceptSettingsStore.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// A form stream of the settings object, property by property.
class TStream {
public:
    explicit TStream(const char* className = "THxExcept")
    {
        bytes_ = "TPF0";
        Short(className);
        Short("hxExcept");
    }
    TStream& Int8(const std::string& name, std::int8_t v) { return Prop(name, 2, &v, 1); }
    TStream& Int16(const std::string& name, std::int16_t v) { return Prop(name, 3, &v, 2); }
    TStream& Int32(const std::string& name, std::int32_t v) { return Prop(name, 4, &v, 4); }
    TStream& Bool(const std::string& name, bool v) { return Prop(name, v ? 9 : 8, nullptr, 0); }
    TStream& Str(const std::string& name, const std::string& v)
    {
        Short(name);
        bytes_ += '\x06';
        Short(v);
        return *this;
    }
    TStream& LongStr(const std::string& name, const std::string& v, std::uint32_t claimed)
    {
        Prop(name, 12, &claimed, 4);
        bytes_ += v;
        return *this;
    }
    TStream& Type(const std::string& name, std::uint8_t type) { return Prop(name, type, nullptr, 0); }
    std::string End() const { return bytes_ + std::string(2, '\0'); }
    const std::string& Open() const { return bytes_; }

private:
    void Short(const std::string& s)
    {
        bytes_ += static_cast<char>(s.size());
        bytes_ += s;
    }
    TStream& Prop(const std::string& name, std::uint8_t type, const void* value, std::size_t size)
    {
        Short(name);
        bytes_ += static_cast<char>(type);
        bytes_.append(static_cast<const char*>(value), size);
        return *this;
    }
    std::string bytes_;
};

struct TParsed {
    THxSettingRecord* table = nullptr;
    std::intptr_t capacity = 0;
    std::intptr_t count = 0;
    explicit TParsed(const std::string& stream)
    {
        table = ParseSettingsStream(stream.data(), stream.size(), capacity, count);
    }
    ~TParsed() { FreeSettingTable(table, capacity, count); }
    const THxSettingRecord* Find(const char* name) const
    {
        const std::intptr_t i = FindSettingRecord(count, table, name);
        return i < 0 ? nullptr : &table[i];
    }
};

std::vector<std::string> shownMessages;
int WINAPI RecordMessage(HWND, LPCSTR text, LPCSTR caption, UINT)
{
    shownMessages.push_back(std::string(caption) + ": " + text);
    return IDOK;
}

class SettingsStoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        shownMessages.clear();
        previous_ = SetHxMessageBoxHook(RecordMessage);
    }
    void TearDown() override { SetHxMessageBoxHook(previous_); }
    THxMessageBoxProc previous_ = nullptr;
};

TEST_F(SettingsStoreTest, EveryTypeByteReadsBackByExactName)
{
    TParsed parsed(TStream()
                       .Int8("Small", -5)
                       .Int16("Medium", -3000)
                       .Int32("Large", 60000)
                       .Str("Text", "bug report")
                       .LongStr("Long", "abc", 3)
                       .Str("Empty", "")
                       .Bool("Off", false)
                       .Bool("On", true)
                       .Str("Text", "second")
                       .End());
    ASSERT_EQ(parsed.count, 9);
    EXPECT_EQ(parsed.capacity, 131);
    EXPECT_EQ(parsed.Find("Small")->intValue, -5);
    EXPECT_EQ(parsed.Find("Small")->kind, hxKindInteger);
    EXPECT_EQ(parsed.Find("Medium")->intValue, -3000);
    EXPECT_EQ(parsed.Find("Large")->intValue, 60000);
    EXPECT_STREQ(parsed.Find("Text")->strValue, "bug report");  // the first of two
    EXPECT_EQ(parsed.Find("Text")->kind, hxKindString);
    EXPECT_STREQ(parsed.Find("Long")->strValue, "abc");
    EXPECT_EQ(parsed.Find("Empty")->strValue, nullptr);
    EXPECT_EQ(parsed.Find("Off")->kind, hxKindBoolean);
    EXPECT_EQ(parsed.Find("Off")->boolValue, 0);
    EXPECT_EQ(parsed.Find("On")->boolValue, 1);
    EXPECT_EQ(parsed.Find("text"), nullptr);
    EXPECT_EQ(parsed.Find("Tex"), nullptr);
    EXPECT_TRUE(shownMessages.empty());
}

TEST_F(SettingsStoreTest, WrongHeaderGivesAnEmptyTableWithoutMessage)
{
    for (const std::string& stream :
         {TStream("THxExcepT").Bool("On", true).End(), std::string("TPF"), std::string("TPF1\x09THxExcept"),
          TStream().End().substr(0, 12)}) {
        TParsed parsed(stream);
        EXPECT_EQ(parsed.table, nullptr);
        EXPECT_EQ(parsed.count, 0);
        EXPECT_EQ(parsed.capacity, 0);
    }
    EXPECT_TRUE(shownMessages.empty());
}

TEST_F(SettingsStoreTest, InvalidTypeByteShowsItsNumberAndKeepsEarlierRecords)
{
    for (std::uint8_t type : {0, 1, 5, 7, 10, 11, 13, 255}) {
        shownMessages.clear();
        TParsed parsed(TStream().Bool("Before", true).Type("Ident", type).Bool("After", true).End());
        ASSERT_EQ(shownMessages.size(), 1u);
        char hex[8];
        std::snprintf(hex, sizeof hex, "%x", type);
        EXPECT_EQ(shownMessages[0], "hxExcept: Internal error: Invalid settings resource ($" + std::string(hex) + ").");
        EXPECT_EQ(parsed.count, 1);
        EXPECT_NE(parsed.Find("Before"), nullptr);
        EXPECT_EQ(parsed.Find("After"), nullptr);
    }
}

TEST_F(SettingsStoreTest, ReadsStopAtTheEndOfTheStream)
{
    // Cut inside a value, a name, and a string whose length runs past the end.
    std::string stream = TStream().Bool("On", true).Int32("Cut", 1).Open();
    stream.resize(stream.size() - 2);
    TParsed cutValue(stream);
    EXPECT_EQ(cutValue.count, 1);

    TParsed cutString(TStream().Bool("On", true).LongStr("Long", "abc", 1000000).Open());
    EXPECT_EQ(cutString.count, 1);
    EXPECT_EQ(cutString.Find("Long"), nullptr);

    std::string cutName = TStream().Bool("On", true).Open() + "\x20" + "Na";
    TParsed parsedName(cutName);
    EXPECT_EQ(parsedName.count, 1);
    EXPECT_TRUE(shownMessages.empty());
}

TEST_F(SettingsStoreTest, TableGrowsByTwentyAfterItsFirst131Records)
{
    TStream full;
    for (int i = 0; i < 131; ++i)
        full.Int16("N" + std::to_string(i), static_cast<std::int16_t>(i));
    TParsed exact(full.End());
    EXPECT_EQ(exact.count, 131);
    EXPECT_EQ(exact.capacity, 131);

    full.Int16("N131", 131);
    TParsed grown(full.End());
    EXPECT_EQ(grown.count, 132);
    EXPECT_EQ(grown.capacity, 151);
    for (int i = 0; i < 132; ++i)
        EXPECT_EQ(grown.Find(("N" + std::to_string(i)).c_str())->intValue, i);
}

TEST_F(SettingsStoreTest, SharedBufferIsNamedAfterTheProcessAndFreedByTheLastClose)
{
    EXPECT_EQ(SettingsBufferName(0x1a4), "hxExceptSettingsBuf$1a4");
    EXPECT_EQ(SettingsMutexName(0xABC0), "hxExceptSettingsMtx$abc0");
    const std::string name = SettingsBufferName(GetCurrentProcessId());

    ASSERT_TRUE(OpenSharedSettingsBuffer());
    ASSERT_TRUE(OpenSharedSettingsBuffer());
    HANDLE probe = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    ASSERT_NE(probe, nullptr);
    auto* buffer = static_cast<const THxSharedSettingsBuf*>(MapViewOfFile(probe, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->openCount, 2);
    EXPECT_NE(buffer->lock, nullptr);
    CloseSharedSettingsBuffer();
    EXPECT_EQ(buffer->openCount, 1);
    CloseSharedSettingsBuffer();
    EXPECT_EQ(buffer->openCount, 0);
    UnmapViewOfFile(buffer);
    CloseHandle(probe);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()), nullptr);

    // Reopening after the last close starts afresh.
    ASSERT_TRUE(OpenSharedSettingsBuffer());
    CloseSharedSettingsBuffer();
    EXPECT_TRUE(shownMessages.empty());
}

TEST_F(SettingsStoreTest, ModuleBlockIsParsedOnceAndFreedByTheLastRelease)
{
    HMODULE exe = GetModuleHandleA(nullptr);
    EXPECT_EQ(AcquireModuleSettings(GetModuleHandleA("kernel32.dll")), nullptr);
    ASSERT_NE(FindSettingsResource(exe), nullptr);

    THxModuleSettings* first = AcquireModuleSettings(exe);
    ASSERT_NE(first, nullptr);
    const THxSettingRecord* table = first->table;
    THxSettingValue value;
    value.kind = hxKindInteger;
    value.intValue = 77;
    ASSERT_TRUE(WriteModuleSetting(first, "FreezeTimeout", value, false));

    THxModuleSettings* second = AcquireModuleSettings(exe);
    EXPECT_EQ(second, first);
    EXPECT_EQ(second->useCount, 2);
    EXPECT_EQ(second->table, table);
    ASSERT_TRUE(ReadModuleSetting(second, "FreezeTimeout", value));
    EXPECT_EQ(value.intValue, 77);  // not parsed again
    ReleaseModuleSettings(second);
    EXPECT_EQ(first->useCount, 1);
    ReleaseModuleSettings(first);

    THxModuleSettings* fresh = AcquireModuleSettings(exe);
    ASSERT_NE(fresh, nullptr);
    ASSERT_TRUE(ReadModuleSetting(fresh, "FreezeTimeout", value));
    EXPECT_EQ(value.intValue, 60000);
    ReleaseModuleSettings(fresh);
}

TEST_F(SettingsStoreTest, WritesCheckTheKindAndCreateOnlyWhenAsked)
{
    THxModuleSettings* block = AcquireModuleSettings(GetModuleHandleA(nullptr));
    ASSERT_NE(block, nullptr);
    THxSettingValue number;
    number.kind = hxKindInteger;
    EXPECT_FALSE(WriteModuleSetting(block, "MailSubj", number, true));
    EXPECT_FALSE(WriteModuleSetting(block, "StoreTestNew", number, false));
    number.intValue = 5;
    EXPECT_TRUE(WriteModuleSetting(block, "StoreTestNew", number, true));
    THxSettingValue read;
    ASSERT_TRUE(ReadModuleSetting(block, "StoreTestNew", read));
    EXPECT_EQ(read.kind, hxKindInteger);
    EXPECT_EQ(read.intValue, 5);
    ReleaseModuleSettings(block);
}

TEST_F(SettingsStoreTest, StringsReadWhileAnotherThreadReplacesThemAreWhole)
{
    THxModuleSettings* block = AcquireModuleSettings(GetModuleHandleA(nullptr));
    ASSERT_NE(block, nullptr);
    const std::string a(300, 'a');
    const std::string b(40, 'b');
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        THxSettingValue value;
        value.kind = hxKindString;
        for (int i = 0; !stop; ++i) {
            value.strValue = i % 3 == 2 ? std::string() : i % 3 ? a : b;
            WriteModuleSetting(block, "StoreTestText", value, true);
        }
    });
    int torn = 0;
    for (int i = 0; i < 20000; ++i) {
        THxSettingValue value;
        if (ReadModuleSetting(block, "StoreTestText", value) && !value.strValue.empty() && value.strValue != a &&
            value.strValue != b)
            ++torn;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0);
    ReleaseModuleSettings(block);
}

}  // namespace
