#include "hxStrings.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <limits>

namespace {

TEST(HxStrings, CaseTablesFoldLettersAndUmlautsOnly)
{
    EXPECT_EQ(UpperCaseCopy("abc xyz \xe4\xf6\xfc \xe9 1{"), "ABC XYZ \xc4\xd6\xdc \xe9 1{");
    EXPECT_EQ(LowerCaseCopy("ABC XYZ \xc4\xd6\xdc \xc9 1["), "abc xyz \xe4\xf6\xfc \xc9 1[");
    EXPECT_TRUE(SameTextCI("Gr\xfc\xdf", "GR\xdc\xdf"));
    EXPECT_FALSE(SameTextCI("abc", "abcd"));
    EXPECT_EQ(CompareTextCI("abc", "ABD"), 'C' - 'D');
    EXPECT_EQ(CompareTextCI("abc", "AB"), 1);
    EXPECT_EQ(CompareTextCI("", "xyz"), -3);
    EXPECT_EQ(CompareTextCI("x\xe4", "X\xc4"), 0);
}

TEST(HxStrings, TrimmingAndRanges)
{
    std::string s = "  a b  ";
    TrimText(s);
    EXPECT_EQ(s, "a b");
    s = "   ";
    TrimText(s);
    EXPECT_EQ(s, "");

    const TCharSet digits = MakeCharSet("0123456789");
    EXPECT_EQ(TrimCharSet("12ab3c45", digits), "ab3c");
    EXPECT_EQ(TrimCharSet("1234", digits), "");
    s = "a1b2c3";
    DeleteCharSet(s, digits);
    EXPECT_EQ(s, "abc");

    EXPECT_EQ(CopyWithoutRange("abcdef", 2, 3), "aef");
    EXPECT_EQ(CopyWithoutRange("abcdef", 5, 10), "abcd");
    EXPECT_EQ(CopyWithoutRange("abcdef", 0, 2), "abcdef");
    EXPECT_EQ(CopyWithoutRange("abcdef", 7, 2), "abcdef");
    s = "abcdef";
    KeepRange(s, 2, 3);
    EXPECT_EQ(s, "bcd");
    s = "abcdef";
    KeepRange(s, 5, 10);
    EXPECT_EQ(s, "ef");
    s = "abc";
    KeepRange(s, 4, 1);
    EXPECT_EQ(s, "");
}

TEST(HxStrings, Replacing)
{
    EXPECT_EQ(ReplaceSubStr("aaa", "a", "aa"), "aaaaaa");
    EXPECT_EQ(ReplaceSubStr("abAB", "ab", "-"), "-AB");
    EXPECT_EQ(ReplaceSubText("abAB", "ab", "-"), "--");
    EXPECT_EQ(ReplaceSubStr("a::b::c", "::", "."), "a.b.c");
    EXPECT_EQ(ReplaceSubStr("abc", "", "x"), "abc");
    EXPECT_EQ(ReplaceSubStr("aaaa", "aa", ""), "");
}

TEST(HxStrings, SearchingForwardsAndBackwards)
{
    const char text[] = "abcabcABC";
    EXPECT_EQ(FindSubStrCore("bc", 0, text, 0, 0, 8, false), 1);
    EXPECT_EQ(FindSubStrCore("bc", 2, text, 9, 2, 8, false), 4);
    EXPECT_EQ(FindSubStrCore("bc", 2, text, 9, 8, 0, false), 4);
    EXPECT_EQ(FindSubStrCore("bc", 2, text, 9, 8, 0, true), 7);
    EXPECT_EQ(FindSubStrCore("bc", 2, text, 9, 5, 8, false), -1);
    EXPECT_EQ(FindSubStrCore("abcabcABCx", 0, text, 0, 0, 100, false), -1);
    EXPECT_EQ(FindSubStrCore("x", 0, nullptr, 0, 0, 8, false), -1);

    EXPECT_EQ(FindSubStr("bc", "abcabc"), 2u);
    EXPECT_EQ(FindSubStr("bc", "abcabc", 3), 5u);
    EXPECT_EQ(FindSubStr("bc", "abcabc", 6, 1), 5u);
    EXPECT_EQ(FindSubStr("bc", "abcabc", 4, 1), 2u);
    EXPECT_EQ(FindSubStr("bc", "abcabc", -5, 100), 2u);
    EXPECT_EQ(FindSubStr("BC", "abcabc"), 0u);
    EXPECT_EQ(FindSubText("BC", "abcabc"), 2u);
    EXPECT_EQ(FindSubStr("", "abc"), 0u);

    EXPECT_TRUE(StartsWithStr("abc", ""));
    EXPECT_TRUE(StartsWithStr("abc", "ab"));
    EXPECT_FALSE(StartsWithStr("abc", "abcd"));
    EXPECT_FALSE(StartsWithStr("abc", "AB"));
    EXPECT_TRUE(StartsWithText("abc", "AB"));

    const TCharSet separators = MakeCharSet("\\/");
    EXPECT_EQ(FindCharOfSet(separators, "c:\\dir/file"), 3u);
    EXPECT_EQ(FindCharOfSet(separators, "c:\\dir/file", 11, 1), 7u);
    EXPECT_EQ(FindCharOfSet(separators, "c:\\dir/file", 6, 4), 0u);
    EXPECT_EQ(FindCharOfSet(separators, ""), 0u);
}

TEST(HxStrings, PaddingAndDecimal)
{
    EXPECT_EQ(PadToWidth("-5", 4, '0'), "-005");
    EXPECT_EQ(PadToWidth("-5", -4, ' '), "-5  ");
    EXPECT_EQ(PadToWidth("-5", 4, ' '), "  -5");
    EXPECT_EQ(PadToWidth("12345", 3, '0'), "12345");
    EXPECT_EQ(IntToStrFast(std::numeric_limits<std::int32_t>::min()), "-2147483648");
    EXPECT_EQ(Int64ToStrFast(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(IntToStrPadded(-7, 3, '0'), "-07");
    EXPECT_EQ(Int64ToStrPadded(42, -4, '.'), "42..");
    EXPECT_EQ(CardinalToStrPadded(4294967295u, 12), "  4294967295");
}

TEST(HxStrings, Hexadecimal)
{
    EXPECT_EQ(CardinalToHex(0), "0");
    EXPECT_EQ(CardinalToHex(0xdeadbeef), "deadbeef");
    // A zero high part prints plain hex, not "0" followed by eight padded digits.
    EXPECT_EQ(Int64ToHex(0), "0");
    EXPECT_EQ(Int64ToHex(0xff), "ff");
    EXPECT_EQ(Int64ToHex(0x100000000ull), "100000000");
    EXPECT_EQ(Int64ToHex(0x1234000000abull), "1234000000ab");
    EXPECT_EQ(Int64ToHex(~0ull), "ffffffffffffffff");

    EXPECT_EQ(IntToHexPadded(255, 4), "$00ff");
    EXPECT_EQ(IntToHexPadded(255, 4, ' '), "  $ff");
    EXPECT_EQ(IntToHexPadded(255, -4, ' '), "$ff  ");
    EXPECT_EQ(IntToHexPadded(255, 4, 'a'), "$aaff");
    EXPECT_EQ(IntToHexPadded(-1, 2), "$ffffffff");
    EXPECT_EQ(Int64ToHexPadded(-2, 0), "$fffffffffffffffe");

    EXPECT_EQ(DigitsToInt("1234", 4, false), 1234);
    EXPECT_EQ(DigitsToInt("-1234", 5, false), -1234);
    EXPECT_EQ(DigitsToInt("1234", 2, false), 12);
    EXPECT_EQ(DigitsToInt("fF", 2, true), 255);
    EXPECT_EQ(DigitsToInt("-10", 3, true), -16);
    EXPECT_EQ(DigitsToInt("ffffffff", 8, true), -1);
}

TEST(HxStrings, SeparatedLists)
{
    EXPECT_EQ(CountFields("a;b;;c", ';'), 4u);
    EXPECT_EQ(GetField("a;b;;c", ';', 3), "");
    EXPECT_EQ(GetField("a;b;;c", ';', 4), "c");
    EXPECT_EQ(GetField("a;b;;c", ';', 0), "");
    EXPECT_EQ(GetField("a;b;;c", ';', 5), "");
    EXPECT_EQ(CountFields("", ';'), 0u);
    EXPECT_EQ(CountFields(";", ';'), 2u);

    EXPECT_EQ(TidySeparatedList("  a ; b\t;; ;c  ", ';'), "a;b;c");
    EXPECT_EQ(TidySeparatedList(" ; ;\r\n", ';'), "");
    EXPECT_EQ(TidySeparatedList("", ';'), "");
    EXPECT_EQ(TidySeparatedList("x y , z", ','), "x y,z");

    EXPECT_TRUE(ListContainsStr("one;two;three", ';', "two"));
    EXPECT_FALSE(ListContainsStr("one;two;three", ';', "TWO"));
    EXPECT_TRUE(ListContainsText("one;two;three", ';', "TWO"));
    EXPECT_FALSE(ListContainsStr("one;two;three", ';', "tw"));
    EXPECT_TRUE(ListContainsStr("one;;three", ';', ""));
    EXPECT_FALSE(ListContainsStr("", ';', ""));
}

TEST(HxStrings, ByteSizes)
{
    const std::string sep(1, DecimalSeparatorChar());
    EXPECT_EQ(FormatByteSize(0), "0 Bytes");
    EXPECT_EQ(FormatByteSize(1023), "1023 Bytes");
    EXPECT_EQ(FormatByteSize(1536), "1" + sep + "50 KB");
    EXPECT_EQ(FormatByteSize(1024), "1" + sep + "00 KB");
    EXPECT_EQ(FormatByteSize(1024 * 1024 - 1), "1023" + sep + "99 KB");
    EXPECT_EQ(FormatByteSize(5 * 1024 * 1024 + 512 * 1024), "5" + sep + "50 MB");
    EXPECT_EQ(FormatByteSize(3ll * 1024 * 1024 * 1024), "3" + sep + "00 GB");
    EXPECT_EQ(FormatByteSize(-1536), "-1" + sep + "50 KB");
    EXPECT_EQ(FormatByteSize(-5), "-5 Bytes");
    EXPECT_FALSE(FormatByteSize(std::numeric_limits<std::int64_t>::min()).empty());

    char expected[8] = {};
    ASSERT_GT(GetLocaleInfoA(GetThreadLocale(), LOCALE_SDECIMAL, expected, sizeof expected), 0);
    EXPECT_EQ(DecimalSeparatorChar(), expected[0]);
}

TEST(HxStrings, ErrorTexts)
{
    char system[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), system, sizeof system, nullptr);
    ASSERT_NE(system[0], '\0');
    const std::string text = ErrorCodeText(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(0, 5), std::string(system, 5));
    // Status codes go through the system's conversion first.
    EXPECT_EQ(ErrorCodeText(0xc0000005), ErrorCodeText(ERROR_NOACCESS));
    // No text: a label, a blank and the decimal code.
    const std::string unknown = ErrorCodeText(0x3fffff00);
    EXPECT_EQ(unknown.substr(unknown.size() - 11), " 1073741568");
    EXPECT_FALSE(ErrorCodeText(2102).empty());
}

TEST(HxStrings, ScramblingAndWideStrings)
{
    static constexpr ScrambledLiteral kHidden("kernel32.dll");
    EXPECT_NE(std::memcmp(kHidden.bytes, "kernel32.dll", 12), 0);
    EXPECT_EQ(kHidden.Plain(), "kernel32.dll");
    EXPECT_EQ(DescrambleStr(DescrambleStr("abc")), "abc");

    EXPECT_EQ(AnsiToWideStr("a\xe4"), std::wstring({L'a', wchar_t(0xe4)}));
    const std::wstring terminated = AnsiToWideStr("ab", true);
    ASSERT_EQ(terminated.size(), 3u);
    EXPECT_EQ(terminated[2], L'\0');
}

} // namespace
