#pragma once

// Plain routines of the utility components: strings and paths with 1-based positions, the
// system's version, registry helpers and the auto-run values.

#include "Controls.h"
#include "TypInfo.h"

#include <windows.h>

#include <string>

class TStringList;

int MaxInt2(int a, int b);
int MinInt2(int a, int b);

// A rectangle of rect's size placed in bounds: horizontal 0 left, 1 centred, 2 right;
// vertical 0 top, 1 centred, 2 bottom.
TRect AlignRect(const TRect& rect, const TRect& bounds, int horizontal, int vertical);
// Shift, Alt and Ctrl as GetKeyState reports them now.
TShiftState GetShiftStateNow();

// ---- The system's version -------------------------------------------------------------

enum TkelWindowsVersion {
    wvUnknown,
    wvWin95,
    wvWin95OSR2,
    wvWin98,
    wvWin98SE,
    wvWinNT3,
    wvWinNT4,
    wvWin2000,
    wvWinME,
    wvWinXP,
};

struct TkelOSFlags {
    TkelWindowsVersion Version = wvUnknown;
    bool IsWin95 = false;
    bool IsWin95OSR2 = false;
    bool IsWin98 = false;
    bool IsWin98SE = false;
    bool IsWinNT3 = false;
    bool IsWinNT4 = false;
    bool IsWin2000 = false;
    bool IsWinME = false;
    bool IsWinXP = false;
    bool IsWin98orLater = false;
    bool IsWin2000orLater = false;
    bool IsWinXPorLater = false;
    bool IsWinNT = false;  // the platform, whatever the code
};

// The flags a version report gives; a system the table does not know is wvUnknown.
TkelOSFlags OSFlagsOf(const OSVERSIONINFOA& info);
// Asks the system, stores the flags for OSFlags() and returns the code.
TkelWindowsVersion DetectWindowsVersion();
// The stored flags; detected on first use.
const TkelOSFlags& OSFlags();

// The running program's path with ".log" for its extension, and its folder (with the last
// '\', ':' or '/').
const std::string& LogFileName();
const std::string& AppFolder();

// ---- Strings (positions are 1-based, 0 means none) -------------------------------------

int PosFrom(const std::string& sub, const std::string& text, int start);
// The last occurrence that starts at or before min(limit, length) - length(sub) + 1.
int LastPos(const std::string& sub, const std::string& text, int limit);
int LastPos(const std::string& sub, const std::string& text);
void ReplaceAt(std::string& text, int position, const std::string& oldText, const std::string& newText);
// Searches on after each inserted text, so a replacement containing oldText ends.
void ReplaceAll(std::string& text, const std::string& oldText, const std::string& newText);
void ReplaceChar(std::string& text, char oldChar, char newChar);
// Removes every character not in keep.
std::string KeepChars(const std::string& keep, const std::string& text);
// The separator becomes a line break and strings receives the lines.
void SplitToStrings(const std::string& text, const std::string& separator, TStringList& strings);

// ---- Paths ----------------------------------------------------------------------------

// False for an empty name; true when it exists or a file of that name can be made (it is
// made and deleted again).
bool CanCreateFile(const std::string& name);
std::string IncludeSlash(const std::string& path);
std::string RemoveDoubleBackslashes(const std::string& path);
// After / up to and including the last '\', ':' or '/'.
std::string FileNameOf(const std::string& path);
std::string FolderOf(const std::string& path);
std::string BaseNameOf(const std::string& path);
// The target a copy command makes of source: wildcards in target's name or extension keep
// the source's.
std::string BuildTargetName(const std::string& source, const std::string& target);
// A path without a drive goes below folder.
std::string AbsolutePath(const std::string& folder, const std::string& path);
// With a trailing backslash.
std::string SystemFolder();

// ---- Registry -------------------------------------------------------------------------

// Opens or creates the key (ERegistryException when it cannot); data with '%' is written
// as REG_EXPAND_SZ, other data as REG_SZ.
void WriteRegString(HKEY root, const std::string& key, const std::string& name, const std::string& data);

// What a change watch asks the system for.
struct TkelRegWatch {
    HKEY Key = nullptr;
    bool Subtree = false;
    DWORD Filter = 0;
};
// A manual-reset event set on the next change; INVALID_HANDLE_VALUE with the last error
// set when the system refuses. The caller closes the event.
HANDLE BeginRegWatch(const TkelRegWatch& watch);
// Clears the event and asks for the next change; false with the last error set on failure.
bool RenewRegWatch(HANDLE event, const TkelRegWatch& watch);
void CloseHandleSafe(HANDLE handle);

// ---- Auto-run values ------------------------------------------------------------------

enum TkelAutoExecKind {
    aekMachineRun,
    aekMachineRunOnce,
    aekUserRun,
    aekUserRunOnce,
    aekServiceRun,
    aekServiceRunOnce,
};

template <>
struct TEnumTraits<TkelAutoExecKind> {
    static constexpr const char* Names[] = {"aekMachineRun",  "aekMachineRunOnce", "aekUserRun",
                                            "aekUserRunOnce", "aekServiceRun",     "aekServiceRunOnce"};
};

void BuildAutoRunKeyPath(TkelAutoExecKind kind, HKEY& root, std::string& keyPath);
// The value is named after the file name's last part. Failures report false, never raise.
bool RegisterAutoRun(TkelAutoExecKind kind, const std::string& fileName);
// True when the value is gone (or was never there); false when the key does not open.
bool UnregisterAutoRun(TkelAutoExecKind kind, const std::string& fileName);

// ---- Classes --------------------------------------------------------------------------

void RegisterClassSafe(const TClassInfo& info);
void RegisterClassesSafe(std::initializer_list<const TClassInfo*> infos);
