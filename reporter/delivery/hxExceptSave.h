#pragma once

// Saving a bug report into the bug-report file (appending, trimming to a size limit and counting
// repeated identical failures), printing it, restarting the program and closing it.

#include "hxExceptObject.h"
#include "hxExceptSettings.h"
#include "hxExceptSupport.h"

#include <windows.h>
#include <commdlg.h>

#include <string>
#include <string_view>

// "BugRepFile" with "%appname%" and "%modname%" replaced (case-insensitive) by the file names,
// without folder and extension, of the executable and of the settings' module.
std::string BugReportFileName(IVQSettings* settings);
// Where saving without the dialog puts the report: BugReportFileName, in the executable's folder
// when it is relative.
std::string BugReportPath(IVQSettings* settings);

// The name starts with "\" or has a drive ("C:").
bool IsAbsoluteFileName(const std::string& name);

// Creates the folder part of path (up to the last "\") and its missing parents; false for a path
// without folder or when a folder cannot be made.
bool ForceFileFolder(const std::string& path);

// The value of a header line "name<blanks>: value". Only the header (the text before the first
// empty line) is searched, and the first line of a report is never found. A line that merely
// starts with the name ("versionx" for "version") does not count; empty when there is none.
std::string FindReportLine(std::string_view report, std::string_view name);
// Inserts the line "name<blanks>: value" after the line of afterName, its colon in the same column.
// Nothing happens when afterName has no line.
void InsertReportLine(std::string& report, std::string_view name, std::string_view afterName,
                      std::string_view value);
// The two reports have the same value (case-sensitive) for name.
bool SameReportLine(std::string_view a, std::string_view b, std::string_view name);

// Saves report into fileName, or, when that is empty, into the settings' bug-report file (asking
// for the name with the save dialog when it is relative and noDialog is not set; with noDialog it
// goes to the executable's folder). The settings are the exception's, else those of this module.
// False when the dialog is cancelled or the file cannot be written.
bool SaveBugReport(const std::string& fileName, const std::string& report, HWND ownerWindow, bool noDialog,
                   IVQException* exception);

// Prints the report on the printer the print dialog returns, in 8-point "Courier New".
void PrintBugReport(const std::string& report, HWND ownerWindow, IVQSettings* settings);

// Starts the program again with its own command line, hands it the exception history and ends
// this process with exit code 2, also when the new process cannot be started. Both wait, for a
// limited time, for a report still being sent on a worker thread.
[[noreturn]] void RestartApplication();
// Ends this process with exit code 1.
[[noreturn]] void CloseApplication();

// ---- Replaceable functions ----

// The exception-time history handed to the restarted process; set by the handling flow.
using THistoryProc = TExceptionHistory (*)();
THistoryProc SetRestartHistoryProc(THistoryProc proc) noexcept;

// The save dialog (GetSaveFileNameA); null restores it. Each setter returns the old function.
using TSaveDialogProc = BOOL(WINAPI*)(OPENFILENAMEA* params);
TSaveDialogProc SetSaveDialogHook(TSaveDialogProc proc) noexcept;

// The print dialog (PrintDlgA): a replacement returns TRUE with a device context of its own in
// params->hDC, which the printing deletes.
using TPrintDialogProc = BOOL(WINAPI*)(PRINTDLGA* params);
TPrintDialogProc SetPrintDialogHook(TPrintDialogProc proc) noexcept;

// The document and page calls of the printing; a null member keeps the real call.
struct THxPrintJobProcs {
    int(WINAPI* StartDoc)(HDC dc, const DOCINFOA* info) = nullptr;
    int(WINAPI* StartPage)(HDC dc) = nullptr;
    int(WINAPI* EndPage)(HDC dc) = nullptr;
    int(WINAPI* EndDoc)(HDC dc) = nullptr;
    // Measures (DT_CALCRECT) and prints the report's lines.
    int(WINAPI* DrawText)(HDC dc, LPCSTR text, int length, LPRECT rect, UINT format) = nullptr;
};
THxPrintJobProcs SetPrintJobHook(const THxPrintJobProcs& procs) noexcept;

// The start of the new process (CreateProcessA's parameters); null restores it.
using TRestartStartProc = BOOL(WINAPI*)(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES process,
                                        LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                                        LPCSTR folder, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info);
TRestartStartProc SetRestartStartHook(TRestartStartProc proc) noexcept;

// The end of this process. A replacement must not return (a test's throws); when it does, the
// process ends all the same.
using TProcessEndProc = void (*)(UINT exitCode);
TProcessEndProc SetProcessEndHook(TProcessEndProc proc) noexcept;
