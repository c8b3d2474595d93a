#include "JclFileUtils.h"
#include "JclRegistry.h"
#include "JclSysInfo.h"

#include "SysUtils.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>

#include <string>

namespace {

const char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

struct TRootPrefix {
    const char* prefix;
    HKEY root;
};

const TRootPrefix kRootPrefixes[] = {
    {"HKEY_CLASSES_ROOT\\", HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE},
    {"HKEY_USERS\\", HKEY_USERS},
    {"HKEY_PERFORMANCE_DATA\\", HKEY_PERFORMANCE_DATA},
    {"HKEY_CURRENT_CONFIG\\", HKEY_CURRENT_CONFIG},
    {"HKEY_DYN_DATA\\", HKEY_DYN_DATA},
    {"HKCR\\", HKEY_CLASSES_ROOT},
    {"HKCU\\", HKEY_CURRENT_USER},
    {"HKLM\\", HKEY_LOCAL_MACHINE},
    {"HKUS\\", HKEY_USERS},
    {"HKPD\\", HKEY_PERFORMANCE_DATA},
    {"HKCC\\", HKEY_CURRENT_CONFIG},
    {"HKDD\\", HKEY_DYN_DATA},
};

// The message of the EJclRegistryError that call raises.
template <class Call>
std::string RegistryErrorOf(Call call) {
    try {
        call();
    } catch (const EJclRegistryError& error) {
        return error.Message;
    }
    return "(nothing raised)";
}

// The raw string data of a value, read straight from the system; empty when missing.
std::string SystemString(HKEY root, const char* key, const char* name) {
    char data[4096] = {};
    DWORD size = sizeof data - 1;
    if (RegGetValueA(root, key, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, data, &size) !=
        ERROR_SUCCESS)
        return std::string();
    return data;
}

TEST(JclRegistry, RelativeKeyDropsTheRootPrefixOfTheGivenRoot) {
    for (const TRootPrefix& entry : kRootPrefixes) {
        const std::string prefix = entry.prefix;
        SCOPED_TRACE(prefix);
        EXPECT_EQ(RelativeRegistryKey(entry.root, prefix + "SOFTWARE\\x"), "SOFTWARE\\x");
        EXPECT_EQ(RelativeRegistryKey(entry.root, "\\" + prefix + "SOFTWARE\\x"), "SOFTWARE\\x");
        EXPECT_EQ(RelativeRegistryKey(entry.root, prefix), "");
        const HKEY other = entry.root == HKEY_USERS ? HKEY_CURRENT_USER : HKEY_USERS;
        EXPECT_THROW(RelativeRegistryKey(other, prefix + "SOFTWARE\\x"), EJclRegistryError);
    }
}

TEST(JclRegistry, RelativeKeyWithoutAPrefix) {
    EXPECT_EQ(RelativeRegistryKey(HKEY_LOCAL_MACHINE, ""), "");
    EXPECT_EQ(RelativeRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\x"), "SOFTWARE\\x");
    EXPECT_EQ(RelativeRegistryKey(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\x"), "SOFTWARE\\x");
    EXPECT_EQ(RelativeRegistryKey(HKEY_LOCAL_MACHINE, "\\\\SOFTWARE"), "\\SOFTWARE");
    // The prefix must stand at the start, end in a backslash and match case.
    EXPECT_EQ(RelativeRegistryKey(HKEY_CURRENT_USER, "SOFTWARE\\HKLM\\x"), "SOFTWARE\\HKLM\\x");
    EXPECT_EQ(RelativeRegistryKey(HKEY_CURRENT_USER, "HKLM"), "HKLM");
    EXPECT_EQ(RelativeRegistryKey(HKEY_CURRENT_USER, "HKLMX\\x"), "HKLMX\\x");
    EXPECT_EQ(RelativeRegistryKey(HKEY_CURRENT_USER, "hklm\\x"), "hklm\\x");
}

TEST(JclRegistry, RootMismatchNamesTheKey) {
    EXPECT_EQ(RegistryErrorOf([] { RelativeRegistryKey(HKEY_CURRENT_USER, "HKLM\\SOFTWARE\\x"); }),
              "\"HKLM\\SOFTWARE\\x\" does not match RootKey");
    // The error belongs to the library's family of errors.
    EXPECT_THROW(RelativeRegistryKey(HKEY_CURRENT_USER, "HKLM\\SOFTWARE\\x"), EJclError);
}

TEST(JclRegistry, ReadsStringExpandableAndBinaryValues) {
    TScratchKey key;
    key.SetString("", "sz", "hello world");
    key.SetValue("", "expand", REG_EXPAND_SZ, "%TEMP%\\x", 9);
    key.SetValue("", "binary", REG_BINARY, "bin", 3);
    key.SetString("", "empty", "");
    key.SetString("", "long", std::string(5000, 'q'));
    key.SetString("", "", "unnamed");
    key.SetString("sub", "sz", "below");

    const HKEY root = key.Root();
    EXPECT_EQ(ReadRegistryString(root, key.Path(), "sz"), "hello world");
    EXPECT_EQ(ReadRegistryString(root, key.Path(), "expand"), "%TEMP%\\x");  // not expanded
    EXPECT_EQ(ReadRegistryString(root, key.Path(), "binary"), "bin");
    EXPECT_EQ(ReadRegistryString(root, key.Path(), "empty"), "");
    EXPECT_EQ(ReadRegistryString(root, key.Path(), "long"), std::string(5000, 'q'));
    EXPECT_EQ(ReadRegistryString(root, key.Path(), ""), "unnamed");
    EXPECT_EQ(ReadRegistryString(root, key.Path() + "\\sub", "sz"), "below");
    EXPECT_EQ(ReadRegistryString(root, "\\" + key.Path(), "sz"), "hello world");
    EXPECT_EQ(ReadRegistryString(root, "HKCU\\" + key.Path(), "sz"), "hello world");
    EXPECT_EQ(ReadRegistryString(root, "HKEY_CURRENT_USER\\" + key.Path(), "sz"), "hello world");
}

TEST(JclRegistry, DataEndsAtTheFirstZeroOrAtItsSize) {
    TScratchKey key;
    key.SetValue("", "sz", REG_SZ, "abc", 3);
    key.SetValue("", "binary", REG_BINARY, "abc", 3);
    key.SetValue("", "szZero", REG_SZ, "ab\0cd", 6);
    key.SetValue("", "binaryZero", REG_BINARY, "ab\0cd", 5);
    key.SetValue("", "leadingZero", REG_BINARY, "\0ab", 3);
    EXPECT_EQ(ReadRegistryString(key.Root(), key.Path(), "sz"), "abc");
    EXPECT_EQ(ReadRegistryString(key.Root(), key.Path(), "binary"), "abc");
    EXPECT_EQ(ReadRegistryString(key.Root(), key.Path(), "szZero"), "ab");
    EXPECT_EQ(ReadRegistryString(key.Root(), key.Path(), "binaryZero"), "ab");
    EXPECT_EQ(ReadRegistryString(key.Root(), key.Path(), "leadingZero"), "");
}

TEST(JclRegistry, ReadErrorsNameTheKeyAndValue) {
    TScratchKey key;
    key.SetDword("", "dword", 7);
    const HKEY root = key.Root();
    const std::string path = key.Path();

    EXPECT_EQ(RegistryErrorOf([&] { ReadRegistryString(root, path + "\\missing", "v"); }),
              "Unable to open key \"" + path + "\\missing\" for read");
    EXPECT_EQ(RegistryErrorOf([&] { ReadRegistryString(root, path, "missing"); }),
              "Unable to open key \"" + path + "\" and access value \"missing\"");
    EXPECT_EQ(RegistryErrorOf([&] { ReadRegistryString(root, path, "dword"); }),
              "\"" + path + "\\dword\" is of wrong kind or size");
    EXPECT_EQ(RegistryErrorOf([&] { ReadRegistryString(HKEY_LOCAL_MACHINE, "HKCU\\" + path, "dword"); }),
              "\"HKCU\\" + path + "\" does not match RootKey");

    const unsigned char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    key.SetValue("", "none", REG_NONE, eight, 2);
    key.SetValue("", "multi", REG_MULTI_SZ, "a\0b\0\0", 5);
    key.SetValue("", "qword", REG_QWORD, eight, 8);
    key.SetValue("", "bigEndian", REG_DWORD_BIG_ENDIAN, eight, 4);
    for (const char* name : {"none", "multi", "qword", "bigEndian"}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(ReadRegistryString(root, path, name), EJclRegistryError);
    }
}

TEST(JclRegistry, ReadStringDefGivesTheDefaultOnAnyError) {
    TScratchKey key;
    key.SetString("", "sz", "value");
    key.SetDword("", "dword", 7);
    const HKEY root = key.Root();
    const std::string path = key.Path();
    EXPECT_EQ(ReadRegistryStringDef(root, path, "sz", "default"), "value");
    EXPECT_EQ(ReadRegistryStringDef(root, path, "missing", "default"), "default");
    EXPECT_EQ(ReadRegistryStringDef(root, path + "\\missing", "sz", "default"), "default");
    EXPECT_EQ(ReadRegistryStringDef(root, path, "dword", "default"), "default");
    EXPECT_EQ(ReadRegistryStringDef(HKEY_LOCAL_MACHINE, "HKCU\\" + path, "sz", "default"), "default");
    EXPECT_EQ(ReadRegistryStringDef(root, path, "missing", ""), "");
}

TEST(JclSysInfo, WindowsAndSystemFoldersAreTheSystemsAnswers) {
    char buffer[MAX_PATH + 1] = {};
    ASSERT_NE(GetWindowsDirectoryA(buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetWindowsFolder(), buffer);
    ASSERT_NE(GetSystemDirectoryA(buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetSystemFolder(), buffer);
    for (const std::string& folder : {GetWindowsFolder(), GetSystemFolder()}) {
        SCOPED_TRACE(folder);
        ASSERT_FALSE(folder.empty());
        EXPECT_NE(folder.back(), '\\');
        EXPECT_TRUE(DirectoryExists(folder));
    }
}

TEST(JclSysInfo, TempFolderHasNoTrailingBackslash) {
    TTempDir dir;
    {
        TScopedEnvVar tmp("TMP", dir.Path() + "\\");
        EXPECT_TRUE(SameText(GetTempFolder(), dir.Path()));
    }
    char buffer[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathA(MAX_PATH, buffer), 0u);
    EXPECT_EQ(GetTempFolder() + "\\", buffer);
}

TEST(JclSysInfo, ShellFolders) {
    const std::string fonts = GetFontsFolder();
    EXPECT_TRUE(SameText(fonts, GetWindowsFolder() + "\\Fonts")) << fonts;
    EXPECT_EQ(GetSpecialFolderPath(CSIDL_FONTS), fonts);
    EXPECT_TRUE(SameText(GetSpecialFolderPath(CSIDL_WINDOWS), GetWindowsFolder()));
    EXPECT_EQ(GetSpecialFolderPath(0xFE), "");  // no such folder
}

TEST(JclSysInfo, ProgramAndCommonFilesFoldersComeFromTheRegistry) {
    EXPECT_EQ(GetProgramFilesFolder(), SystemString(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "ProgramFilesDir"));
    EXPECT_EQ(GetCommonFilesFolder(), SystemString(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "CommonFilesDir"));
    EXPECT_FALSE(GetProgramFilesFolder().empty());
}

TEST(JclFileUtils, PathRemoveSeparatorRemovesOneBackslash) {
    EXPECT_EQ(PathRemoveSeparator(""), "");
    EXPECT_EQ(PathRemoveSeparator("\\"), "");
    EXPECT_EQ(PathRemoveSeparator("c:\\x\\"), "c:\\x");
    EXPECT_EQ(PathRemoveSeparator("c:\\x\\\\"), "c:\\x\\");
    EXPECT_EQ(PathRemoveSeparator("c:\\x"), "c:\\x");
    EXPECT_EQ(PathRemoveSeparator("c:/x/"), "c:/x/");
}

}  // namespace
