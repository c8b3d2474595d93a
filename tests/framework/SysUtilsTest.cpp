#include "SysUtils.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(SysUtils, TrimRemovesControlCharactersButNotHighBytes) {
    const std::string tail("\0\x1f ", 3);
    const std::string padded = "\x01\t\r\n a b" + tail;
    EXPECT_EQ(Trim(padded), "a b");
    EXPECT_EQ(TrimLeft(padded), "a b" + tail);
    EXPECT_EQ(TrimRight(padded), "\x01\t\r\n a b");
    EXPECT_EQ(Trim("\xA0x\x80\xFF"), "\xA0x\x80\xFF");
    EXPECT_EQ(Trim(" \t "), "");
}

TEST(SysUtils, PosAndCopyAreOneBased) {
    EXPECT_EQ(Pos("ca", "abca"), 3);
    EXPECT_EQ(Pos("x", "abc"), 0);
    EXPECT_EQ(Pos("", "abc"), 0);
    EXPECT_EQ(Pos("abcd", "abc"), 0);
    EXPECT_EQ(Copy("abcdef", 2, 3), "bcd");
    EXPECT_EQ(Copy("abcdef", 0, 2), "ab");
    EXPECT_EQ(Copy("abcdef", -5, 2), "ab");
    EXPECT_EQ(Copy("abcdef", 5, 0x7FFFFFFF), "ef");
    EXPECT_EQ(Copy("abcdef", 7, 1), "");
    EXPECT_EQ(Copy("abcdef", 2, -1), "");
}

TEST(SysUtils, StringReplaceFlags) {
    EXPECT_EQ(StringReplace("aXbxcx", "x", "-", 0), "aXb-cx");
    EXPECT_EQ(StringReplace("aXbxcx", "x", "-", rfReplaceAll), "aXb-c-");
    EXPECT_EQ(StringReplace("aXbxcx", "x", "-", rfIgnoreCase), "a-bxcx");
    EXPECT_EQ(StringReplace("aXbxcx", "x", "", rfReplaceAll | rfIgnoreCase), "abc");
    // Replaced text is not searched again.
    EXPECT_EQ(StringReplace("abab", "ab", "abab", rfReplaceAll), "abababab");
    EXPECT_EQ(StringReplace("aaa", "aa", "b", rfReplaceAll), "ba");
    EXPECT_EQ(StringReplace("Text", "", "z", rfReplaceAll), "Text");
}

TEST(SysUtils, FileNameParts) {
    EXPECT_EQ(ExtractFilePath("c:x.exe"), "c:");
    EXPECT_EQ(ExtractFilePath("c:\\a\\b.txt"), "c:\\a\\");
    EXPECT_EQ(ExtractFilePath("b.txt"), "");
    EXPECT_EQ(ExtractFileName("c:x.exe"), "x.exe");
    EXPECT_EQ(ExtractFileName("c:\\a\\b.txt"), "b.txt");
    EXPECT_EQ(ExtractFileExt("c:\\a\\b.tar.gz"), ".gz");
    EXPECT_EQ(ExtractFileExt("c:\\dir.d\\file"), "");
}

TEST(SysUtils, FilesAndFolders) {
    TTempDir dir;
    const std::string file = dir.AddFile("f.txt");
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(FileExists(dir.Path()));
    EXPECT_FALSE(FileExists(dir.Path() + "\\missing"));
    EXPECT_TRUE(DirectoryExists(dir.Path()));
    EXPECT_FALSE(DirectoryExists(file));

    const std::string deep = dir.Path() + "\\a\\b\\c";
    EXPECT_TRUE(ForceDirectories(deep + "\\"));
    EXPECT_TRUE(DirectoryExists(deep));
    EXPECT_TRUE(ForceDirectories(deep));
    // A file in the way cannot become a folder.
    EXPECT_FALSE(ForceDirectories(file + "\\x"));
}

TEST(SysUtils, StrToIntDecimalAndHex) {
    EXPECT_EQ(StrToInt("-45"), -45);
    EXPECT_EQ(StrToInt("$ff"), 255);
    EXPECT_EQ(StrToInt("0X1f"), 31);
    EXPECT_EQ(StrToInt("0"), 0);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
    for (const char* junk : {"", " ", "12a", "$", "0x", "$g", "1.5", "--1", "2147483648", "-2147483649",
                             "99999999999", "$100000000"})
        EXPECT_THROW(StrToInt(junk), EConvertError) << '"' << junk << '"';
}

TEST(SysUtils, IntToHexPadsWithUpperCaseDigits) {
    EXPECT_EQ(IntToHex(0xab, 4), "00AB");
    EXPECT_EQ(IntToHex(0xABCDEF, 2), "ABCDEF");
    EXPECT_EQ(IntToHex(0, 0), "0");
    EXPECT_EQ(IntToHex(0xFFFFFFFFFFFFFFFFull, 16), "FFFFFFFFFFFFFFFF");
}

TEST(SysUtils, ExpandEnvVarsUsesTheProcessEnvironment) {
    const std::string name = UniqueName("HSVAR");
    const std::string value(1000, 'v');  // longer than the first buffer
    TScopedEnvVar var(name, value);
    EXPECT_EQ(ExpandEnvVars("<%" + name + "%>\\x"), "<" + value + ">\\x");
    const std::string unknown = "%" + UniqueName("HSUNSET") + "%";
    EXPECT_EQ(ExpandEnvVars(unknown), unknown);
}

}  // namespace
