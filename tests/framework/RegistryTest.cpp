#include "Registry.h"
#include "StringList.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <climits>

namespace {

std::string Abs(const TScratchKey& scratch, const std::string& sub = "") {
    return "\\" + scratch.Path() + (sub.empty() ? "" : "\\" + sub);
}

// The size the system reports for a value of the open key.
DWORD StoredSize(const TRegistry& reg, const std::string& name) {
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(reg.CurrentKey(), name.c_str(), nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    return size;
}

// Gives a key a protected DACL while the object lives. The owner keeps WRITE_DAC, so the
// open DACL is put back afterwards and the scratch key can be deleted.
class TRestrictedKey {
public:
    TRestrictedKey(const TScratchKey& scratch, const std::string& sub, const char* dacl)
        : path_(scratch.Path() + "\\" + sub) {
        scratch.SetDword(sub, "v", 5);
        Apply(dacl);
    }
    ~TRestrictedKey() { Apply("D:(A;;KA;;;WD)"); }

private:
    void Apply(const char* dacl) const {
        PSECURITY_DESCRIPTOR sd = nullptr;
        HKEY key = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(dacl, SDDL_REVISION_1, &sd, nullptr));
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, WRITE_DAC, &key), ERROR_SUCCESS);
        EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
        RegCloseKey(key);
        LocalFree(sd);
    }

    std::string path_;
};

TEST(Registry, RelativeAndAbsoluteKeyPaths) {
    TScratchKey scratch;
    scratch.SetString("x", "", "");
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(scratch.Path(), false));  // no key open: relative to the root
    ASSERT_TRUE(reg.OpenKey("sub", true));
    EXPECT_EQ(reg.CurrentPath(), scratch.Path() + "\\sub");
    EXPECT_TRUE(scratch.Exists("sub"));
    EXPECT_FALSE(reg.OpenKey("x", false));
    ASSERT_TRUE(reg.OpenKey(Abs(scratch, "x"), false));
    EXPECT_EQ(reg.CurrentPath(), scratch.Path() + "\\x");
    ASSERT_TRUE(reg.OpenKey(Abs(scratch, "y"), true));
    EXPECT_TRUE(scratch.Exists("y"));
    EXPECT_FALSE(scratch.Exists("x\\y"));
}

TEST(Registry, OnlyASuccessfulOpenOrANewRootReplacesTheKey) {
    TScratchKey scratch;
    scratch.SetString("", "name", "value");
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(Abs(scratch), false));
    const HKEY first = reg.CurrentKey();
    EXPECT_FALSE(reg.OpenKey("missing", false));
    EXPECT_FALSE(reg.OpenKey(Abs(scratch, "missing"), false));
    reg.SetRootKey(HKEY_CURRENT_USER);
    EXPECT_EQ(reg.CurrentKey(), first);
    EXPECT_EQ(reg.CurrentPath(), scratch.Path());
    EXPECT_EQ(reg.ReadString("name"), "value");

    ASSERT_TRUE(reg.OpenKey("sub", true));
    EXPECT_NE(reg.CurrentKey(), first);
    EXPECT_EQ(RegQueryInfoKeyA(first, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(reg.CurrentKey(), nullptr);
    EXPECT_EQ(reg.CurrentPath(), "");
}

// Wine checks a key's DACL when the key is opened, so the weaker masks can be forced.
TEST(Registry, OpenKeyReadOnlyFallsBackToWeakerMasks) {
    TScratchKey scratch;
    TRestrictedKey enumerable(scratch, "enum", "D:P(A;;0x20009;;;WD)");
    TRestrictedKey queryOnly(scratch, "query", "D:P(A;;0x1;;;WD)");
    TRestrictedKey closed(scratch, "closed", "D:P");

    TRegistry reg(KEY_ALL_ACCESS | KEY_WOW64_64KEY);
    ASSERT_TRUE(reg.OpenKeyReadOnly(Abs(scratch)));
    EXPECT_EQ(reg.Access(), static_cast<REGSAM>(KEY_READ | KEY_WOW64_64KEY));
    EXPECT_THROW(reg.WriteString("n", "v"), ERegistryException);
    ASSERT_TRUE(reg.OpenKeyReadOnly("enum"));
    EXPECT_EQ(reg.Access(), static_cast<REGSAM>(0x20009 | KEY_WOW64_64KEY));
    reg.SetAccess(KEY_ALL_ACCESS);
    ASSERT_TRUE(reg.OpenKeyReadOnly(Abs(scratch, "query")));
    EXPECT_EQ(reg.Access(), static_cast<REGSAM>(KEY_QUERY_VALUE));
    EXPECT_EQ(reg.ReadInteger("v"), 5);
    EXPECT_FALSE(reg.OpenKeyReadOnly(Abs(scratch, "closed")));
    EXPECT_EQ(reg.CurrentPath(), scratch.Path() + "\\query");

    // KeyExists asks for 0x20009 whatever the accessor's own mask.
    reg.SetAccess(KEY_ALL_ACCESS);
    EXPECT_TRUE(reg.KeyExists(Abs(scratch, "enum")));
    EXPECT_FALSE(reg.KeyExists(Abs(scratch, "query")));
}

TEST(Registry, KeyExistsLeavesAccessAndKeyAlone) {
    TScratchKey scratch;
    scratch.SetString("a\\b", "", "");
    TRegistry reg(KEY_WRITE);
    ASSERT_TRUE(reg.OpenKey(Abs(scratch, "a"), false));
    const HKEY open = reg.CurrentKey();
    EXPECT_TRUE(reg.KeyExists("b"));
    EXPECT_FALSE(reg.KeyExists("a"));
    EXPECT_TRUE(reg.KeyExists(Abs(scratch, "a\\b")));
    EXPECT_EQ(reg.Access(), static_cast<REGSAM>(KEY_WRITE));
    EXPECT_EQ(reg.CurrentKey(), open);
    EXPECT_EQ(reg.CurrentPath(), scratch.Path() + "\\a");
}

TEST(Registry, DeleteKeyRemovesTheWholeTree) {
    TScratchKey scratch;
    for (const char* key : {"doomed\\a\\a1\\deep", "doomed\\a\\a2", "doomed\\b", "keep", "abs\\sub"})
        scratch.SetString(key, "v", "x");
    for (int i = 0; i < 30; ++i)
        scratch.SetDword("doomed\\many\\k" + std::to_string(i), "v", i);

    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(Abs(scratch), false));
    const HKEY open = reg.CurrentKey();
    EXPECT_TRUE(reg.DeleteKey("doomed"));
    EXPECT_FALSE(scratch.Exists("doomed"));
    EXPECT_TRUE(scratch.Exists("keep"));
    EXPECT_FALSE(reg.DeleteKey("doomed"));
    EXPECT_EQ(reg.CurrentKey(), open);

    ASSERT_TRUE(reg.OpenKey("keep", false));
    EXPECT_TRUE(reg.DeleteKey(Abs(scratch, "abs")));
    EXPECT_FALSE(scratch.Exists("abs"));
    EXPECT_EQ(reg.ReadString("v"), "x");
}

TEST(Registry, ReadStringTakesTheTextUpToTheFirstZero) {
    TScratchKey scratch;
    scratch.SetValue("", "expand", REG_EXPAND_SZ, "%PATH%\\x", 10);
    scratch.SetValue("", "inner", REG_SZ, "ab\0cd", 6);
    // Unterminated: the system adds the zero itself when the byte after the data is one.
    scratch.SetValue("", "short", REG_SZ, "abcX", 3);
    const std::string fits(256, 'f'), longer(300, 'l');
    scratch.SetValue("", "fits", REG_SZ, (fits + "X").c_str(), 256);
    scratch.SetValue("", "longer", REG_SZ, (longer + "X").c_str(), 300);
    scratch.SetDword("", "dword", 1);

    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(Abs(scratch), false));
    EXPECT_EQ(reg.ReadString("missing"), "");
    EXPECT_EQ(reg.ReadString("expand"), "%PATH%\\x");
    EXPECT_EQ(reg.ReadString("inner"), "ab");
    EXPECT_EQ(reg.ReadString("short"), "abc");
    EXPECT_EQ(reg.ReadString("fits"), fits);
    EXPECT_EQ(reg.ReadString("longer"), longer);
    EXPECT_THROW(reg.ReadString("dword"), ERegistryException);
}

TEST(Registry, WrittenValuesReadBack) {
    TScratchKey scratch;
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(Abs(scratch), false));
    for (int value : {0, -1, INT_MIN, INT_MAX}) {
        reg.WriteInteger("i", value);
        EXPECT_EQ(reg.ReadInteger("i"), value);
    }
    reg.WriteString("s", "1");
    reg.WriteString("e", "");
    reg.WriteExpandString("x", "%TEMP%");
    EXPECT_EQ(StoredSize(reg, "s"), 2u);
    // The system adds a missing zero when the byte after the data is one; "" shows it was sent.
    EXPECT_EQ(StoredSize(reg, "e"), 1u);
    EXPECT_EQ(StoredSize(reg, "x"), 7u);
    EXPECT_EQ(reg.GetDataType("x"), rdExpandString);
    EXPECT_EQ(reg.ReadString("e"), "");
    EXPECT_THROW(reg.ReadInteger("s"), ERegistryException);
    EXPECT_THROW(reg.ReadInteger("x"), ERegistryException);
    EXPECT_THROW(reg.ReadInteger("missing"), ERegistryException);
}

TEST(Registry, NamesOfKeysAndValues) {
    TScratchKey scratch;
    const std::string longName(350, 'n');
    for (const char* key : {"k1", "K2", "k3\\nested"})
        scratch.SetString(key, "", "");
    for (const std::string& value : {std::string(), std::string("a"), longName})
        scratch.SetDword("", value, 1);

    TRegistry reg;
    TStringList names;
    ASSERT_TRUE(reg.OpenKey(Abs(scratch), false));
    reg.GetKeyNames(names);
    EXPECT_EQ(names.Text(), "k1\r\nK2\r\nk3\r\n");
    names.Add("stale");
    reg.GetValueNames(names);
    EXPECT_EQ(names.Count(), 3);
    EXPECT_NE(names.IndexOf(""), -1);
    EXPECT_NE(names.IndexOf("a"), -1);
    EXPECT_NE(names.IndexOf(longName), -1);
}

TEST(Registry, DataInfoAndRawData) {
    TScratchKey scratch;
    const char multi[] = "a\0bc\0";  // and the list's final zero
    const std::string blob = std::string(999, '\xA5') + '\0';
    scratch.SetValue("", "multi", REG_MULTI_SZ, multi, sizeof multi);
    scratch.SetValue("", "blob", REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    scratch.SetString("", "s", "abc");
    scratch.SetDword("", "d", 1);

    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(Abs(scratch), false));
    TRegDataInfo info;
    ASSERT_TRUE(reg.GetDataInfo("multi", info));
    EXPECT_EQ(info.RegData, rdUnknown);
    EXPECT_EQ(info.Type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(info.DataSize, 6);
    EXPECT_FALSE(reg.GetDataInfo("missing", info));
    EXPECT_EQ(reg.GetDataType("s"), rdString);
    EXPECT_EQ(reg.GetDataType("d"), rdInteger);
    EXPECT_EQ(reg.GetDataType("blob"), rdBinary);
    EXPECT_EQ(reg.GetDataType("missing"), rdUnknown);
    EXPECT_EQ(reg.GetDataSize("s"), 4);
    EXPECT_EQ(reg.GetDataSize("missing"), -1);

    DWORD type = 0;
    EXPECT_EQ(reg.ReadRawData("multi", type), std::vector<unsigned char>(multi, multi + sizeof multi));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(reg.ReadRawData("blob", type), std::vector<unsigned char>(blob.begin(), blob.end()));
    EXPECT_THROW(reg.ReadRawData("missing", type), ERegistryException);
}

TEST(Registry, CreateKeyKeepsTheOpenKeyAndReportsFailure) {
    TScratchKey scratch;
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(Abs(scratch), false));
    const HKEY open = reg.CurrentKey();
    reg.CreateKey("rel\\deeper");
    reg.CreateKey(Abs(scratch, "abs"));
    EXPECT_TRUE(scratch.Exists("rel\\deeper"));
    EXPECT_TRUE(scratch.Exists("abs"));
    EXPECT_EQ(reg.CurrentKey(), open);

    // A lasting key cannot live below a volatile one. (Wine lets a read-only parent create.)
    HKEY volatileKey = nullptr;
    ASSERT_EQ(RegCreateKeyExA(open, "volatile", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &volatileKey, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(volatileKey);
    EXPECT_THROW(reg.CreateKey("volatile\\child"), ERegistryException);
}

}  // namespace
