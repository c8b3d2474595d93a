#pragma once

// The run-time routines the program uses: exceptions, 8-bit string helpers with
// 1-based positions, number conversion and file-system tests.

#include <windows.h>

#include <cstdint>
#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }

    std::string Message;
};

class EConvertError : public Exception {
    using Exception::Exception;
};

class EListError : public Exception {
    using Exception::Exception;
};

// An object is not of the class a conversion asked for.
class EInvalidCast : public Exception {
    using Exception::Exception;
};

// The system refused a resource the program needs (a timer, a hook).
class EOutOfResources : public Exception {
    using Exception::Exception;
};
inline constexpr char SNoTimers[] = "Not enough timers available";

class EOSError : public Exception {
public:
    EOSError(std::string message, DWORD code) : Exception(std::move(message)), ErrorCode(code) {}
    DWORD ErrorCode;
};

// Raises EOSError for the calling thread's last Win32 error.
[[noreturn]] void RaiseLastOSError();
[[noreturn]] void RaiseLastOSError(DWORD code);
std::string SysErrorMessage(DWORD code);

// printf-style formatting into a string.
std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// Every character up to and including the blank counts as white space.
std::string Trim(const std::string& s);
std::string TrimLeft(const std::string& s);
std::string TrimRight(const std::string& s);

// ASCII case mapping.
std::string UpperCase(std::string s);
std::string LowerCase(std::string s);
bool SameText(const std::string& a, const std::string& b);
int CompareText(const std::string& a, const std::string& b);
bool StartsText(const std::string& prefix, const std::string& s);

// 1-based position of sub in s; 0 when absent or when sub is empty.
int Pos(const std::string& sub, const std::string& s);
// count characters from the 1-based index; out-of-range parts are clipped.
std::string Copy(const std::string& s, int index, int count);

enum TReplaceFlag : unsigned { rfReplaceAll = 1, rfIgnoreCase = 2 };
std::string StringReplace(const std::string& s, const std::string& oldPattern,
                          const std::string& newPattern, unsigned flags);

std::string IntToStr(int64_t value);
std::string IntToHex(uint64_t value, int digits);
// The value of one hexadecimal digit of either case; -1 for any other character.
int HexDigitValue(char c);
// Decimal, or hexadecimal after "$" or "0x"; raises EConvertError.
int StrToInt(const std::string& s);
int StrToIntDef(const std::string& s, int fallback);
bool TryStrToInt(const std::string& s, int& value);

// Everything up to and including the last "\" or ":" (so a drive stays).
std::string ExtractFilePath(const std::string& fileName);
std::string ExtractFileName(const std::string& fileName);
std::string ExtractFileExt(const std::string& fileName);
std::string IncludeTrailingPathDelimiter(const std::string& path);
std::string ExcludeTrailingPathDelimiter(const std::string& path);

// False for folders.
bool FileExists(const std::string& fileName);
bool DirectoryExists(const std::string& path);
// Creates the folder and every missing parent; true when it exists afterwards.
bool ForceDirectories(const std::string& path);

std::string GetEnvVar(const std::string& name);
std::string ExpandEnvVars(const std::string& text);
