#include "SysUtils.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

void RaiseLastOSError() { RaiseLastOSError(GetLastError()); }

void RaiseLastOSError(DWORD code) {
    throw EOSError(Format("System Error.  Code: %lu.\r\n%s", static_cast<unsigned long>(code),
                          SysErrorMessage(code).c_str()),
                   code);
}

std::string SysErrorMessage(DWORD code) {
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result(text ? text : "", length);
    if (text)
        LocalFree(text);
    return TrimRight(result);
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string result;
    if (length > 0) {
        result.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(result.data(), result.size(), format, args);
        result.resize(static_cast<size_t>(length));
    }
    va_end(args);
    return result;
}

static bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string TrimLeft(const std::string& s) {
    size_t first = 0;
    while (first < s.size() && IsBlank(s[first]))
        ++first;
    return s.substr(first);
}

std::string TrimRight(const std::string& s) {
    size_t end = s.size();
    while (end > 0 && IsBlank(s[end - 1]))
        --end;
    return s.substr(0, end);
}

std::string Trim(const std::string& s) { return TrimLeft(TrimRight(s)); }

static char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
static char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string UpperCase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), UpperChar);
    return s;
}

std::string LowerCase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), LowerChar);
    return s;
}

int CompareText(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int d = static_cast<unsigned char>(UpperChar(a[i])) - static_cast<unsigned char>(UpperChar(b[i]));
        if (d != 0)
            return d;
    }
    return static_cast<int>(a.size()) - static_cast<int>(b.size());
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CompareText(a, b) == 0;
}

bool StartsText(const std::string& prefix, const std::string& s) {
    return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

int Pos(const std::string& sub, const std::string& s) {
    if (sub.empty())
        return 0;
    size_t at = s.find(sub);
    return at == std::string::npos ? 0 : static_cast<int>(at) + 1;
}

std::string Copy(const std::string& s, int index, int count) {
    if (index < 1)
        index = 1;
    if (count <= 0 || static_cast<size_t>(index) > s.size())
        return std::string();
    return s.substr(static_cast<size_t>(index) - 1, static_cast<size_t>(count));
}

std::string StringReplace(const std::string& s, const std::string& oldPattern,
                          const std::string& newPattern, unsigned flags) {
    if (oldPattern.empty())
        return s;
    const bool ignoreCase = flags & rfIgnoreCase;
    const std::string haystack = ignoreCase ? UpperCase(s) : s;
    const std::string needle = ignoreCase ? UpperCase(oldPattern) : oldPattern;
    std::string result;
    size_t from = 0;
    while (from <= s.size()) {
        size_t at = haystack.find(needle, from);
        if (at == std::string::npos)
            break;
        result.append(s, from, at - from);
        result += newPattern;
        from = at + needle.size();
        if (!(flags & rfReplaceAll))
            break;
    }
    result.append(s, std::min(from, s.size()), std::string::npos);
    return result;
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

std::string IntToHex(uint64_t value, int digits) {
    std::string result;
    do {
        result.insert(result.begin(), "0123456789ABCDEF"[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    if (static_cast<int>(result.size()) < digits)
        result.insert(0, static_cast<size_t>(digits) - result.size(), '0');
    return result;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool TryStrToInt(const std::string& text, int& value) {
    std::string s = Trim(text);
    bool negative = false;
    size_t i = 0;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        negative = s[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < s.size() && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size())
        return false;
    uint64_t magnitude = 0;
    for (; i < s.size(); ++i) {
        char c = UpperChar(s[i]);
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        magnitude = magnitude * base + digit;
        if (magnitude > 0xFFFFFFFFull)
            return false;
    }
    // Hexadecimal text may spell any 32-bit pattern; decimal must fit the signed range.
    if (base == 10 && magnitude > (negative ? 0x80000000ull : 0x7FFFFFFFull))
        return false;
    uint32_t bits = static_cast<uint32_t>(magnitude);
    if (negative)
        bits = 0u - bits;
    value = static_cast<int>(bits);
    return true;
}

int StrToInt(const std::string& s) {
    int value;
    if (!TryStrToInt(s, value))
        throw EConvertError(Format("'%s' is not a valid integer value", s.c_str()));
    return value;
}

int StrToIntDef(const std::string& s, int fallback) {
    int value;
    return TryStrToInt(s, value) ? value : fallback;
}

std::string ExtractFilePath(const std::string& fileName) {
    size_t at = fileName.find_last_of("\\:");
    return at == std::string::npos ? std::string() : fileName.substr(0, at + 1);
}

std::string ExtractFileName(const std::string& fileName) {
    size_t at = fileName.find_last_of("\\:");
    return at == std::string::npos ? fileName : fileName.substr(at + 1);
}

std::string ExtractFileExt(const std::string& fileName) {
    size_t at = fileName.find_last_of(".\\:");
    if (at == std::string::npos || fileName[at] != '.')
        return std::string();
    return fileName.substr(at);
}

std::string IncludeTrailingPathDelimiter(const std::string& path) {
    return (!path.empty() && path.back() == '\\') ? path : path + '\\';
}

std::string ExcludeTrailingPathDelimiter(const std::string& path) {
    return (!path.empty() && path.back() == '\\') ? path.substr(0, path.size() - 1) : path;
}

bool FileExists(const std::string& fileName) {
    if (fileName.empty())
        return false;
    DWORD attributes = GetFileAttributesA(fileName.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
    if (path.empty())
        return false;
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ForceDirectories(const std::string& path) {
    std::string dir = ExcludeTrailingPathDelimiter(path);
    if (dir.empty())
        return false;
    if (DirectoryExists(dir))
        return true;
    std::string parent = ExtractFilePath(dir);
    if (!parent.empty() && parent.size() < dir.size() && !DirectoryExists(parent) &&
        !ForceDirectories(parent))
        return false;
    return CreateDirectoryA(dir.c_str(), nullptr) || DirectoryExists(dir);
}

std::string GetEnvVar(const std::string& name) {
    std::vector<char> buffer(256);
    for (;;) {
        DWORD length = GetEnvironmentVariableA(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return std::string();
        if (length < buffer.size())
            return std::string(buffer.data(), length);
        buffer.resize(length);
    }
}

std::string ExpandEnvVars(const std::string& text) {
    std::vector<char> buffer(text.size() + 256);
    for (;;) {
        DWORD length = ExpandEnvironmentStringsA(text.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return text;
        if (length <= buffer.size())
            return std::string(buffer.data());
        buffer.resize(length);
    }
}
