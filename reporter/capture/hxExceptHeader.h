#pragma once

// The bug report's header fields (machine, program and exception) and the report's text layout.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hxExceptFields.h"

// What the header needs of the exception.
struct THeaderInput {
    HMODULE Module = nullptr;          // module whose reporter/settings govern (exe or a DLL)
    int Kind = 0;                      // 0 exception, 1 freeze or trace, 2 handled exception
    const void* ExceptionObject = nullptr;   // the thrown C++ object (may be null)
    std::string FrozenMsg;             // the FrozenMsg setting
    std::string VersionText;           // the settings' VersionText()
    std::string Plugins;               // the Plugins setting ("|"-separated)
};

// Adds every header field in the report's order, each computed under its own guard (a failing
// or empty-by-rule field is left out).
void FillBugReportHeader(IVQFields& header, const THeaderInput& input);

// The report text: header lines (names padded to the longest name + 1, ": ", value with line
// breaks and runs of blanks folded to one blank), joined by CR LF, then each section as CR LF CR LF
// "name:" (colon only when the name has none) and its lines; no line end at the very end.
std::string BugReportText(IVQFields& header, IVQFields& sections);

// "1 day 1 hour " style text of two unit parts; empty for less than a second.
std::string UpTimeText(std::int64_t seconds);
// Class name of a thrown object ("::" written "."), "Unknown" without a plausible object.
std::string ExceptionClassName(const void* object);
// Exception/HxException descendants give their message, others their class name; control
// characters at both ends go; "Unknown" when empty; trailing "." and "!" become one ".".
std::string ExceptionMessageText(const void* object);
// "$xxxxxxxx, $xxxxxxxx, $xxxxxxxx"
std::string CallstackCrcText(const std::uint32_t (&values)[3]);
// At report completion: the "callstack crc" field and one "<module without extension>.hx" field
// per "module|text" entry.
void AddReportCompletionFields(IVQFields& header, const std::uint32_t (&values)[3],
                               const std::vector<std::string>& unitEntries);

// Program start in milliseconds of the performance counter; 0 = unknown, then "program up time"
// is left out.
void RecordProgramStartTime() noexcept;
std::uint64_t ProgramStartTime() noexcept;
