#pragma once

// The reporter's byte-string routines: no locale-aware runtime calls, nothing throws
// (a failed allocation gives an empty result).
// Positions are 1-based unless a routine says otherwise.

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using TCharSet = std::bitset<256>;

// Builds a set from the characters of a string.
TCharSet MakeCharSet(std::string_view chars) noexcept;
// Every byte of the set becomes escapeChar and two upper-case hexadecimal digits.
std::string EscapeCharSet(std::string_view text, const TCharSet& set, char escapeChar) noexcept;

// Case folding: "a"-"z" and the umlauts 228, 246, 252 to upper case; the lower table mirrors it.
constexpr std::array<unsigned char, 256> MakeCaseTable(bool upper)
{
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = static_cast<unsigned char>(c);
    const unsigned char lower[] = {228, 246, 252};
    const unsigned char upperUmlauts[] = {196, 214, 220};
    for (int c = 'a'; c <= 'z'; ++c) {
        if (upper)
            table[c] = static_cast<unsigned char>(c - 'a' + 'A');
        else
            table[c - 'a' + 'A'] = static_cast<unsigned char>(c);
    }
    for (int i = 0; i < 3; ++i) {
        if (upper)
            table[lower[i]] = upperUmlauts[i];
        else
            table[upperUmlauts[i]] = lower[i];
    }
    return table;
}
inline constexpr std::array<unsigned char, 256> kUpCaseTable = MakeCaseTable(true);
inline constexpr std::array<unsigned char, 256> kLowCaseTable = MakeCaseTable(false);

void TrimText(std::string& s) noexcept;
std::string TrimCharSet(std::string_view s, const TCharSet& set) noexcept;
void DeleteCharSet(std::string& s, const TCharSet& set) noexcept;
// Every occurrence, left to right; an empty pattern replaces nothing.
std::string ReplaceSubStr(std::string_view s, std::string_view pattern, std::string_view replacement) noexcept;
std::string ReplaceSubText(std::string_view s, std::string_view pattern, std::string_view replacement) noexcept;
std::string CopyWithoutRange(std::string_view s, std::ptrdiff_t index, std::ptrdiff_t count) noexcept;
void KeepRange(std::string& s, std::ptrdiff_t index, std::ptrdiff_t count) noexcept;
std::string RightPart(std::string_view s, std::size_t n) noexcept;

char UpCaseChar(char c) noexcept;
std::string UpperCaseCopy(std::string_view s) noexcept;
std::string LowerCaseCopy(std::string_view s) noexcept;
bool SameTextCI(std::string_view a, std::string_view b) noexcept;
int CompareTextCI(std::string_view a, std::string_view b) noexcept;
char SignChar(bool positive) noexcept;
std::size_t PCharLength(const char* p) noexcept;

// Searches pattern in buffer for a match starting between the 0-based positions From and
// To (both included; backwards when From > To). A length of 0 means up to the terminating
// zero. Returns the 0-based position or -1.
std::ptrdiff_t FindSubStrCore(const char* pattern, std::size_t patternLength, const char* buffer,
                              std::size_t bufferLength, std::ptrdiff_t from, std::ptrdiff_t to,
                              bool ignoreCase) noexcept;
// 1-based; 0 = not found. From and To are clipped to the string; To = -1 means the end.
std::size_t FindSubStr(std::string_view pattern, std::string_view s, std::ptrdiff_t from = 1,
                       std::ptrdiff_t to = -1) noexcept;
std::size_t FindSubText(std::string_view pattern, std::string_view s, std::ptrdiff_t from = 1,
                        std::ptrdiff_t to = -1) noexcept;
bool StartsWithStr(std::string_view s, std::string_view prefix) noexcept;
bool StartsWithText(std::string_view s, std::string_view prefix) noexcept;
// Backwards when From > To; To = -1 means the end; 0 when none.
std::size_t FindCharOfSet(const TCharSet& set, std::string_view s, std::ptrdiff_t from = 1,
                          std::ptrdiff_t to = -1) noexcept;

// Width > 0 pads on the left, < 0 on the right; with a digit as fill a leading "-" stays in front.
std::string PadToWidth(std::string_view s, int width, char fill = ' ') noexcept;
std::string IntToStrFast(std::int32_t value) noexcept;
std::string Int64ToStrFast(std::int64_t value) noexcept;
std::string IntToStrPadded(std::int32_t value, int width, char fill = ' ') noexcept;
std::string Int64ToStrPadded(std::int64_t value, int width, char fill = ' ') noexcept;
std::string CardinalToStrPadded(std::uint32_t value, int width, char fill = ' ') noexcept;
// Lower-case hexadecimal without prefix, "0" for zero.
std::string CardinalToHex(std::uint32_t value) noexcept;
std::string Int64ToHex(std::uint64_t value) noexcept;
// "$" + hexadecimal padded to |width| digits; a non-hex fill with width > 0 goes before the "$".
std::string IntToHexPadded(std::int32_t value, int width, char fill = '0') noexcept;
std::string CardinalToHexPadded(std::uint32_t value, int width, char fill = '0') noexcept;
std::string Int64ToHexPadded(std::int64_t value, int width, char fill = '0') noexcept;
// Digits are not validated; a leading "-" negates.
std::int32_t DigitsToInt(const char* digits, std::size_t count, bool hex) noexcept;

std::string TidySeparatedList(std::string_view list, char separator) noexcept;
std::size_t CountFields(std::string_view s, char separator) noexcept;
std::string GetField(std::string_view s, char separator, std::size_t index) noexcept;
bool ListContainsStr(std::string_view list, char separator, std::string_view item) noexcept;
bool ListContainsText(std::string_view list, char separator, std::string_view item) noexcept;

char DecimalSeparatorChar() noexcept;
std::string FormatByteSize(std::int64_t count) noexcept;
std::string ErrorCodeText(std::uint32_t code) noexcept;

// Strings kept XORed with one key byte in the program; ScrambledLiteral does it at compile time.
inline constexpr unsigned char kScrambleKey = 0x5a;
std::string DescrambleStr(std::string_view s) noexcept;

template <std::size_t N>
struct ScrambledLiteral {
    char bytes[N - 1];
    consteval ScrambledLiteral(const char (&text)[N])
        : bytes{}
    {
        for (std::size_t i = 0; i + 1 < N; ++i)
            bytes[i] = static_cast<char>(static_cast<unsigned char>(text[i]) ^ kScrambleKey);
    }
    std::string Plain() const noexcept { return DescrambleStr(std::string_view(bytes, N - 1)); }
};

// Each byte becomes one 16-bit unit of the same value.
std::wstring AnsiToWideStr(std::string_view s, bool terminate = false) noexcept;
