#include "hxStrings.h"

#include "hxTools.h"

#include <windows.h>

#include <atomic>
#include <memory>

namespace {

// Runs an allocating body; a failure gives an empty result instead of an exception.
template <class TResult, class TBody>
TResult Guarded(TBody&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return TResult();
    }
}

unsigned char Up(char c) noexcept
{
    return kUpCaseTable[static_cast<unsigned char>(c)];
}

bool IsBlankOrControl(char c) noexcept
{
    return static_cast<unsigned char>(c) <= ' ';
}

constexpr std::array<unsigned char, 256> MakeDigitTable()
{
    std::array<unsigned char, 256> table{};
    for (int c = '0'; c <= '9'; ++c)
        table[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) {
        table[c] = static_cast<unsigned char>(c - 'A' + 10);
        table[c - 'A' + 'a'] = static_cast<unsigned char>(c - 'A' + 10);
    }
    return table;
}
constexpr std::array<unsigned char, 256> kDigitValue = MakeDigitTable();

bool IsHexDigit(char c) noexcept
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string Replace(std::string_view s, std::string_view pattern, std::string_view replacement,
                    bool ignoreCase)
{
    if (pattern.empty())
        return std::string(s);
    std::string out;
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::ptrdiff_t hit = s.size() - pos < pattern.size()
            ? -1
            : FindSubStrCore(pattern.data(), pattern.size(), s.data() + pos, s.size() - pos, 0,
                             static_cast<std::ptrdiff_t>(s.size() - pos), ignoreCase);
        if (hit < 0)
            break;
        out.append(s.substr(pos, hit));
        out.append(replacement);
        pos += hit + pattern.size();
    }
    out.append(s.substr(pos));
    return out;
}

// Shared by FindSubStr and FindSubText: 1-based From/To clipped to the string.
std::size_t FindIn(std::string_view pattern, std::string_view s, std::ptrdiff_t from, std::ptrdiff_t to,
                   bool ignoreCase) noexcept
{
    if (pattern.empty() || s.empty())
        return 0;
    const std::ptrdiff_t length = static_cast<std::ptrdiff_t>(s.size());
    if (to == -1)
        to = length;
    from = from < 1 ? 1 : (from > length ? length : from);
    to = to < 1 ? 1 : (to > length ? length : to);
    std::ptrdiff_t hit = FindSubStrCore(pattern.data(), pattern.size(), s.data(), s.size(), from - 1,
                                        to - 1, ignoreCase);
    return hit < 0 ? 0 : static_cast<std::size_t>(hit + 1);
}

std::string HexDigits(std::uint64_t value)
{
    static const char digits[] = "0123456789abcdef";
    char buffer[16];
    int n = 0;
    do {
        buffer[15 - n++] = digits[value & 15];
        value >>= 4;
    } while (value != 0);
    return std::string(buffer + 16 - n, n);
}

std::string UnsignedToStr(std::uint64_t value)
{
    char buffer[20];
    int n = 0;
    do {
        buffer[19 - n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return std::string(buffer + 20 - n, n);
}

std::string HexPadded(std::uint64_t value, int width, char fill)
{
    std::string digits = HexDigits(value);
    const long long wanted = width < 0 ? -static_cast<long long>(width) : width;
    std::string padding(digits.size() < static_cast<std::size_t>(wanted) ? wanted - digits.size() : 0, fill);
    if (width < 0)
        return "$" + digits + padding;
    if (IsHexDigit(fill))
        return "$" + padding + digits;
    return padding + "$" + digits;
}

bool ListContains(std::string_view list, char separator, std::string_view item, bool ignoreCase) noexcept
{
    if (list.empty())
        return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = list.find(separator, start);
        std::string_view field = list.substr(start, end == std::string_view::npos ? end : end - start);
        if (ignoreCase ? SameTextCI(field, item) : field == item)
            return true;
        if (end == std::string_view::npos)
            return false;
        start = end + 1;
    }
}

struct TLocalFree {
    void operator()(void* p) const noexcept { LocalFree(p); }
};

constexpr ScrambledLiteral kNtdllName("ntdll.dll");
constexpr ScrambledLiteral kStatusToErrorName("RtlNtStatusToDosError");
constexpr ScrambledLiteral kNetMessageModule("netmsg.dll");
constexpr ScrambledLiteral kUnknownErrorLabel("Error");

DWORD StatusToErrorCode(DWORD code) noexcept
{
    using TConvert = ULONG(WINAPI*)(LONG);
    const auto convert =
        LibraryProc<TConvert>(GetModuleHandleA(kNtdllName.Plain().c_str()), kStatusToErrorName.Plain().c_str());
    return convert ? convert(static_cast<LONG>(code)) : code;
}

} // namespace

TCharSet MakeCharSet(std::string_view chars) noexcept
{
    TCharSet set;
    for (char c : chars)
        set.set(static_cast<unsigned char>(c));
    return set;
}

std::string EscapeCharSet(std::string_view text, const TCharSet& set, char escapeChar) noexcept
{
    return Guarded<std::string>([&] {
        static const char digits[] = "0123456789ABCDEF";
        std::string result;
        result.reserve(text.size());
        for (char c : text) {
            const auto byte = static_cast<unsigned char>(c);
            if (set[byte]) {
                result += escapeChar;
                result += digits[byte >> 4];
                result += digits[byte & 15];
            } else {
                result += c;
            }
        }
        return result;
    });
}

void TrimText(std::string& s) noexcept
{
    std::size_t end = s.find_last_not_of(' ');
    if (end == std::string::npos) {
        s.clear();
        return;
    }
    s.erase(end + 1);
    s.erase(0, s.find_first_not_of(' '));
}

std::string TrimCharSet(std::string_view s, const TCharSet& set) noexcept
{
    std::size_t first = 0, last = s.size();
    while (first < last && set.test(static_cast<unsigned char>(s[first])))
        ++first;
    while (last > first && set.test(static_cast<unsigned char>(s[last - 1])))
        --last;
    return Guarded<std::string>([&] { return std::string(s.substr(first, last - first)); });
}

void DeleteCharSet(std::string& s, const TCharSet& set) noexcept
{
    std::size_t kept = 0;
    for (char c : s)
        if (!set.test(static_cast<unsigned char>(c)))
            s[kept++] = c;
    s.resize(kept);
}

std::string ReplaceSubStr(std::string_view s, std::string_view pattern, std::string_view replacement) noexcept
{
    return Guarded<std::string>([&] { return Replace(s, pattern, replacement, false); });
}

std::string ReplaceSubText(std::string_view s, std::string_view pattern, std::string_view replacement) noexcept
{
    return Guarded<std::string>([&] { return Replace(s, pattern, replacement, true); });
}

std::string CopyWithoutRange(std::string_view s, std::ptrdiff_t index, std::ptrdiff_t count) noexcept
{
    return Guarded<std::string>([&] {
        std::string out(s);
        if (index >= 1 && count > 0 && static_cast<std::size_t>(index) <= s.size())
            out.erase(index - 1, count);
        return out;
    });
}

void KeepRange(std::string& s, std::ptrdiff_t index, std::ptrdiff_t count) noexcept
{
    if (index < 1)
        index = 1;
    if (count <= 0 || static_cast<std::size_t>(index) > s.size()) {
        s.clear();
        return;
    }
    s.erase(0, index - 1);
    if (static_cast<std::size_t>(count) < s.size())
        s.resize(count);
}

std::string RightPart(std::string_view s, std::size_t n) noexcept
{
    return Guarded<std::string>([&] { return std::string(n >= s.size() ? s : s.substr(s.size() - n)); });
}

char UpCaseChar(char c) noexcept
{
    return static_cast<char>(Up(c));
}

std::string UpperCaseCopy(std::string_view s) noexcept
{
    return Guarded<std::string>([&] {
        std::string out(s);
        for (char& c : out)
            c = static_cast<char>(kUpCaseTable[static_cast<unsigned char>(c)]);
        return out;
    });
}

std::string LowerCaseCopy(std::string_view s) noexcept
{
    return Guarded<std::string>([&] {
        std::string out(s);
        for (char& c : out)
            c = static_cast<char>(kLowCaseTable[static_cast<unsigned char>(c)]);
        return out;
    });
}

bool SameTextCI(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Up(a[i]) != Up(b[i]))
            return false;
    return true;
}

int CompareTextCI(std::string_view a, std::string_view b) noexcept
{
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i)
        if (Up(a[i]) != Up(b[i]))
            return static_cast<int>(Up(a[i])) - static_cast<int>(Up(b[i]));
    return static_cast<int>(static_cast<std::ptrdiff_t>(a.size()) - static_cast<std::ptrdiff_t>(b.size()));
}

char SignChar(bool positive) noexcept
{
    return positive ? '+' : '-';
}

std::size_t PCharLength(const char* p) noexcept
{
    std::size_t n = 0;
    if (p)
        while (p[n])
            ++n;
    return n;
}

std::ptrdiff_t FindSubStrCore(const char* pattern, std::size_t patternLength, const char* buffer,
                              std::size_t bufferLength, std::ptrdiff_t from, std::ptrdiff_t to,
                              bool ignoreCase) noexcept
{
    if (!pattern || !buffer)
        return -1;
    if (patternLength == 0)
        patternLength = PCharLength(pattern);
    if (bufferLength == 0)
        bufferLength = PCharLength(buffer);
    if (patternLength == 0 || patternLength > bufferLength)
        return -1;
    const std::ptrdiff_t last = static_cast<std::ptrdiff_t>(bufferLength - patternLength);
    const std::ptrdiff_t step = from > to ? -1 : 1;
    std::ptrdiff_t low = step > 0 ? from : to, high = step > 0 ? to : from;
    if (low < 0)
        low = 0;
    if (high > last)
        high = last;
    if (low > high)
        return -1;
    for (std::ptrdiff_t pos = step > 0 ? low : high; pos >= low && pos <= high; pos += step) {
        std::size_t i = 0;
        if (ignoreCase)
            while (i < patternLength && Up(buffer[pos + i]) == Up(pattern[i]))
                ++i;
        else
            while (i < patternLength && buffer[pos + i] == pattern[i])
                ++i;
        if (i == patternLength)
            return pos;
    }
    return -1;
}

std::size_t FindSubStr(std::string_view pattern, std::string_view s, std::ptrdiff_t from, std::ptrdiff_t to) noexcept
{
    return FindIn(pattern, s, from, to, false);
}

std::size_t FindSubText(std::string_view pattern, std::string_view s, std::ptrdiff_t from, std::ptrdiff_t to) noexcept
{
    return FindIn(pattern, s, from, to, true);
}

bool StartsWithStr(std::string_view s, std::string_view prefix) noexcept
{
    return prefix.size() <= s.size() && s.substr(0, prefix.size()) == prefix;
}

bool StartsWithText(std::string_view s, std::string_view prefix) noexcept
{
    return prefix.size() <= s.size() && SameTextCI(s.substr(0, prefix.size()), prefix);
}

std::size_t FindCharOfSet(const TCharSet& set, std::string_view s, std::ptrdiff_t from, std::ptrdiff_t to) noexcept
{
    if (s.empty())
        return 0;
    const std::ptrdiff_t length = static_cast<std::ptrdiff_t>(s.size());
    if (to == -1)
        to = length;
    from = from < 1 ? 1 : (from > length ? length : from);
    to = to < 1 ? 1 : (to > length ? length : to);
    const std::ptrdiff_t step = from > to ? -1 : 1;
    for (std::ptrdiff_t pos = from;; pos += step) {
        if (set.test(static_cast<unsigned char>(s[pos - 1])))
            return static_cast<std::size_t>(pos);
        if (pos == to)
            return 0;
    }
}

std::string PadToWidth(std::string_view s, int width, char fill) noexcept
{
    return Guarded<std::string>([&] {
        const long long wanted = width < 0 ? -static_cast<long long>(width) : width;
        if (static_cast<long long>(s.size()) >= wanted)
            return std::string(s);
        std::string padding(static_cast<std::size_t>(wanted - s.size()), fill);
        if (width < 0)
            return std::string(s) + padding;
        if (fill >= '0' && fill <= '9' && !s.empty() && s[0] == '-')
            return "-" + padding + std::string(s.substr(1));
        return padding + std::string(s);
    });
}

std::string IntToStrFast(std::int32_t value) noexcept
{
    return Int64ToStrFast(value);
}

std::string Int64ToStrFast(std::int64_t value) noexcept
{
    return Guarded<std::string>([&] {
        if (value < 0)
            return "-" + UnsignedToStr(0 - static_cast<std::uint64_t>(value));
        return UnsignedToStr(static_cast<std::uint64_t>(value));
    });
}

std::string IntToStrPadded(std::int32_t value, int width, char fill) noexcept
{
    return PadToWidth(Int64ToStrFast(value), width, fill);
}

std::string Int64ToStrPadded(std::int64_t value, int width, char fill) noexcept
{
    return PadToWidth(Int64ToStrFast(value), width, fill);
}

std::string CardinalToStrPadded(std::uint32_t value, int width, char fill) noexcept
{
    return PadToWidth(Int64ToStrFast(value), width, fill);
}

std::string CardinalToHex(std::uint32_t value) noexcept
{
    return Guarded<std::string>([&] { return HexDigits(value); });
}

// A zero high part prints the low part alone, not "0" and eight padded digits.
std::string Int64ToHex(std::uint64_t value) noexcept
{
    return Guarded<std::string>([&] { return HexDigits(value); });
}

std::string IntToHexPadded(std::int32_t value, int width, char fill) noexcept
{
    return Guarded<std::string>([&] { return HexPadded(static_cast<std::uint32_t>(value), width, fill); });
}

std::string CardinalToHexPadded(std::uint32_t value, int width, char fill) noexcept
{
    return Guarded<std::string>([&] { return HexPadded(value, width, fill); });
}

std::string Int64ToHexPadded(std::int64_t value, int width, char fill) noexcept
{
    return Guarded<std::string>([&] { return HexPadded(static_cast<std::uint64_t>(value), width, fill); });
}

std::int32_t DigitsToInt(const char* digits, std::size_t count, bool hex) noexcept
{
    if (!digits || count == 0)
        return 0;
    bool negative = digits[0] == '-';
    std::uint32_t value = 0;
    for (std::size_t i = negative ? 1 : 0; i < count; ++i)
        value = value * (hex ? 16u : 10u) + kDigitValue[static_cast<unsigned char>(digits[i])];
    return static_cast<std::int32_t>(negative ? 0u - value : value);
}

std::string TidySeparatedList(std::string_view list, char separator) noexcept
{
    return Guarded<std::string>([&] {
        std::string out;
        bool hasItem = false;
        std::size_t i = 0;
        while (i < list.size()) {
            char c = list[i];
            if (c == separator) {
                while (!out.empty() && IsBlankOrControl(out.back()))
                    out.pop_back();
                if (out.empty() || out.back() != separator)
                    out += separator;
                ++i;
                while (i < list.size() && IsBlankOrControl(list[i]) && list[i] != separator)
                    ++i;
                continue;
            }
            if (!(out.empty() && IsBlankOrControl(c))) {
                out += c;
                hasItem = hasItem || !IsBlankOrControl(c);
            }
            ++i;
        }
        while (!out.empty() && IsBlankOrControl(out.back()))
            out.pop_back();
        if (!hasItem)
            out.clear();
        return out;
    });
}

std::size_t CountFields(std::string_view s, char separator) noexcept
{
    if (s.empty())
        return 0;
    std::size_t n = 1;
    for (char c : s)
        if (c == separator)
            ++n;
    return n;
}

std::string GetField(std::string_view s, char separator, std::size_t index) noexcept
{
    if (index == 0)
        return {};
    std::size_t start = 0;
    for (std::size_t field = 1; field < index; ++field) {
        std::size_t next = s.find(separator, start);
        if (next == std::string_view::npos)
            return {};
        start = next + 1;
    }
    std::size_t end = s.find(separator, start);
    return Guarded<std::string>(
        [&] { return std::string(s.substr(start, end == std::string_view::npos ? end : end - start)); });
}

bool ListContainsStr(std::string_view list, char separator, std::string_view item) noexcept
{
    return ListContains(list, separator, item, false);
}

bool ListContainsText(std::string_view list, char separator, std::string_view item) noexcept
{
    return ListContains(list, separator, item, true);
}

char DecimalSeparatorChar() noexcept
{
    static std::atomic<char> cached{0};
    char c = cached.load();
    if (c == 0) {
        char buffer[8] = {};
        c = GetLocaleInfoA(GetThreadLocale(), LOCALE_SDECIMAL, buffer, sizeof buffer) > 1 && buffer[0]
            ? buffer[0]
            : ',';
        cached.store(c);
    }
    return c;
}

std::string FormatByteSize(std::int64_t count) noexcept
{
    return Guarded<std::string>([&] {
        const bool negative = count < 0;
        const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(count) : count;
        const std::string sign = negative ? "-" : "";
        if (magnitude < 1024)
            return sign + UnsignedToStr(magnitude) + " Bytes";
        std::uint64_t hundredths;
        const char* unit;
        if (magnitude < 1024 * 1024) {
            hundredths = magnitude * 100 / 1024;
            unit = " KB";
        } else if (magnitude < 1024 * 1024 * 1024) {
            hundredths = magnitude / 1024 * 100 / 1024;
            unit = " MB";
        } else {
            hundredths = magnitude / 1024 / 1024 * 100 / 1024;
            unit = " GB";
        }
        std::string digits = UnsignedToStr(hundredths);
        digits.insert(digits.size() - 2, 1, DecimalSeparatorChar());
        return sign + digits + unit;
    });
}

std::string ErrorCodeText(std::uint32_t code) noexcept
{
    return Guarded<std::string>([&] {
        DWORD error = (code & 0xc0000000u) ? StatusToErrorCode(code) : code;
        DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
        TLibraryOwner netMessages;
        if (error >= 2100 && error <= 2999) {
            netMessages.reset(LoadLibraryExA(kNetMessageModule.Plain().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
            flags |= FORMAT_MESSAGE_FROM_HMODULE;
        } else {
            flags |= FORMAT_MESSAGE_FROM_SYSTEM;
        }
        char* buffer = nullptr;
        DWORD length = 0;
        if (!(flags & FORMAT_MESSAGE_FROM_HMODULE) || netMessages)
            length = FormatMessageA(flags, netMessages.get(), error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                    reinterpret_cast<char*>(&buffer), 0, nullptr);
        std::unique_ptr<char, TLocalFree> owner(buffer);
        if (length == 0 || !buffer)
            return kUnknownErrorLabel.Plain() + " " + UnsignedToStr(code);
        std::string text;
        for (DWORD i = 0; i < length; ++i) {
            if (buffer[i] == '\r')
                text += ' ';
            else if (buffer[i] != '\n')
                text += buffer[i];
        }
        return text;
    });
}

std::string DescrambleStr(std::string_view s) noexcept
{
    return Guarded<std::string>([&] {
        std::string out(s);
        for (char& c : out)
            c = static_cast<char>(static_cast<unsigned char>(c) ^ kScrambleKey);
        return out;
    });
}

std::wstring AnsiToWideStr(std::string_view s, bool terminate) noexcept
{
    return Guarded<std::wstring>([&] {
        std::wstring out;
        out.reserve(s.size() + 1);
        for (char c : s)
            out += static_cast<wchar_t>(static_cast<unsigned char>(c));
        if (terminate)
            out += L'\0';
        return out;
    });
}
