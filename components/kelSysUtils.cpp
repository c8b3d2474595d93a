#include "kelSysUtils.h"

#include "Classes.h"
#include "Forms.h"
#include "Handles.h"
#include "Registry.h"
#include "StringList.h"
#include "SysUtils.h"
#include "kelConsts.h"

#include <algorithm>

namespace {

constexpr const char* kPathDelimiters = "\\:/";

// The whole table of known systems: platform, minor (9x) or major/minor (NT), service text
// and the build each is tied to (0: any).
TkelWindowsVersion VersionCode(const OSVERSIONINFOA& info) {
    const std::string service = info.szCSDVersion;
    auto hasService = [&](char letter) { return Trim(service) == std::string(1, letter); };
    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        switch (info.dwMinorVersion) {
        case 0:
            return hasService('B') ? wvWin95OSR2 : wvWin95;
        case 10:
            return hasService('A') ? wvWin98SE : wvWin98;
        case 90:
            return wvWinME;
        default:
            return wvUnknown;
        }
    }
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        if (info.dwMajorVersion == 3)
            return wvWinNT3;
        if (info.dwMajorVersion == 4)
            return wvWinNT4;
        if (info.dwMajorVersion == 5)
            return info.dwMinorVersion == 0 ? wvWin2000 : wvWinXP;
    }
    return wvUnknown;
}

DWORD BuildOfCode(TkelWindowsVersion code) {
    static constexpr DWORD builds[] = {0, 0, 1111, 1998, 2222, 0, 1381, 2195, 3000, 2600};
    return builds[code];
}

TkelOSFlags gOSFlags;
bool gOSDetected = false;

std::string ExecutablePath() { return Application.ExeName(); }

}  // namespace

int MaxInt2(int a, int b) { return a > b ? a : b; }
int MinInt2(int a, int b) { return a < b ? a : b; }

TRect AlignRect(const TRect& rect, const TRect& bounds, int horizontal, int vertical) {
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    int left = bounds.left;
    if (horizontal == 1)
        left = bounds.left + (bounds.right - bounds.left - width) / 2;
    else if (horizontal == 2)
        left = bounds.right - width;
    int top = bounds.top;
    if (vertical == 1)
        top = bounds.top + (bounds.bottom - bounds.top - height) / 2;
    else if (vertical == 2)
        top = bounds.bottom - height;
    return MakeBounds(left, top, width, height);
}

TShiftState GetShiftStateNow() { return KeyboardShiftState(); }

TkelOSFlags OSFlagsOf(const OSVERSIONINFOA& info) {
    TkelOSFlags flags;
    TkelWindowsVersion code = VersionCode(info);
    const bool nt = info.dwPlatformId == VER_PLATFORM_WIN32_NT;
    const DWORD build = nt ? info.dwBuildNumber : LOWORD(info.dwBuildNumber);
    if (BuildOfCode(code) != 0 && BuildOfCode(code) != build)
        code = wvUnknown;
    flags.Version = code;
    flags.IsWin95 = code == wvWin95;
    flags.IsWin95OSR2 = code == wvWin95OSR2;
    flags.IsWin98 = code == wvWin98;
    flags.IsWin98SE = code == wvWin98SE;
    flags.IsWinNT3 = code == wvWinNT3;
    flags.IsWinNT4 = code == wvWinNT4;
    flags.IsWin2000 = code == wvWin2000;
    flags.IsWinME = code == wvWinME;
    flags.IsWinXP = code == wvWinXP;
    flags.IsWinNT = nt;
    // A system newer than the table (code 0) is still "or later".
    flags.IsWin98orLater = !nt && code != wvWin95 && code != wvWin95OSR2;
    flags.IsWin2000orLater = nt && code != wvWinNT3 && code != wvWinNT4;
    flags.IsWinXPorLater = flags.IsWin2000orLater && code != wvWin2000;
    return flags;
}

TkelWindowsVersion DetectWindowsVersion() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExA(&info))
        info = OSVERSIONINFOA{};
#pragma GCC diagnostic pop
    gOSFlags = OSFlagsOf(info);
    gOSDetected = true;
    return gOSFlags.Version;
}

const TkelOSFlags& OSFlags() {
    if (!gOSDetected)
        DetectWindowsVersion();
    return gOSFlags;
}

const std::string& LogFileName() {
    static const std::string name = [] {
        const std::string exe = ExecutablePath();
        const std::string ext = ExtractFileExt(exe);
        return exe.substr(0, exe.size() - ext.size()) + ".log";
    }();
    return name;
}

const std::string& AppFolder() {
    static const std::string folder = FolderOf(ExecutablePath());
    return folder;
}

// ---- Strings ----

int PosFrom(const std::string& sub, const std::string& text, int start) {
    if (sub.empty() || start < 1 || start > static_cast<int>(text.size()))
        return 0;
    size_t found = text.find(sub, static_cast<size_t>(start - 1));
    return found == std::string::npos ? 0 : static_cast<int>(found) + 1;
}

int LastPos(const std::string& sub, const std::string& text, int limit) {
    if (sub.empty())
        return 0;
    const int last = std::min(limit, static_cast<int>(text.size())) - static_cast<int>(sub.size()) + 1;
    if (last < 1)
        return 0;
    size_t found = text.rfind(sub, static_cast<size_t>(last - 1));
    return found == std::string::npos ? 0 : static_cast<int>(found) + 1;
}

int LastPos(const std::string& sub, const std::string& text) {
    return LastPos(sub, text, static_cast<int>(text.size()));
}

void ReplaceAt(std::string& text, int position, const std::string& oldText, const std::string& newText) {
    if (position < 1 || position > static_cast<int>(text.size()) + 1)
        return;
    text.replace(static_cast<size_t>(position - 1), oldText.size(), newText);
}

void ReplaceAll(std::string& text, const std::string& oldText, const std::string& newText) {
    if (oldText.empty())
        return;
    size_t at = text.find(oldText);
    while (at != std::string::npos) {
        text.replace(at, oldText.size(), newText);
        at = text.find(oldText, at + newText.size());
    }
}

void ReplaceChar(std::string& text, char oldChar, char newChar) { std::replace(text.begin(), text.end(), oldChar, newChar); }

std::string KeepChars(const std::string& keep, const std::string& text) {
    std::string kept;
    for (char c : text)
        if (keep.find(c) != std::string::npos)
            kept += c;
    return kept;
}

void SplitToStrings(const std::string& text, const std::string& separator, TStringList& strings) {
    std::string lines = text;
    if (separator.size() == 1)
        ReplaceChar(lines, separator[0], '\n');
    else
        ReplaceAll(lines, separator, "\n");
    strings.SetText(lines);
}

// ---- Paths ----

bool CanCreateFile(const std::string& name) {
    if (name.empty())
        return false;
    if (GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    TUniqueHandle file(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return file.Valid();
}

std::string IncludeSlash(const std::string& path) { return IncludeTrailingPathDelimiter(path); }

std::string RemoveDoubleBackslashes(const std::string& path) {
    std::string result = path;
    ReplaceAll(result, "\\\\", "\\");
    return result;
}

std::string FileNameOf(const std::string& path) {
    size_t at = path.find_last_of(kPathDelimiters);
    return at == std::string::npos ? path : path.substr(at + 1);
}

std::string FolderOf(const std::string& path) {
    size_t at = path.find_last_of(kPathDelimiters);
    return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

namespace {

// The extension with its dot, from the name part only.
std::string ExtensionOf(const std::string& path) {
    const std::string name = FileNameOf(path);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

bool HasWildcards(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

}  // namespace

std::string BaseNameOf(const std::string& path) {
    const std::string name = FileNameOf(path);
    return name.substr(0, name.size() - ExtensionOf(name).size());
}

std::string BuildTargetName(const std::string& source, const std::string& target) {
    if (Trim(target).empty())
        return source;
    std::string folder = FolderOf(target);
    if (folder.empty())
        folder = FolderOf(source);
    std::string name = BaseNameOf(target);
    if (name.empty() || HasWildcards(name))
        name = BaseNameOf(source);
    std::string extension = ExtensionOf(target);
    if (extension.empty() || HasWildcards(extension))
        extension = ExtensionOf(source);
    return folder + name + extension;
}

std::string AbsolutePath(const std::string& folder, const std::string& path) {
    // A drive is "x:" or a UNC server and share.
    const bool hasDrive = (path.size() >= 2 && path[1] == ':') || path.rfind("\\\\", 0) == 0;
    if (hasDrive)
        return path;
    return RemoveDoubleBackslashes(IncludeSlash(folder) + path);
}

std::string SystemFolder() {
    char buffer[MAX_PATH + 1] = {};
    UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
    if (length == 0 || length > MAX_PATH)
        return std::string();
    return IncludeSlash(std::string(buffer, length));
}

// ---- Registry ----

void WriteRegString(HKEY root, const std::string& key, const std::string& name, const std::string& data) {
    TRegistry registry(KEY_ALL_ACCESS | kNativeRegistryView);
    registry.SetRootKey(root);
    if (!registry.OpenKey(key, true))
        throw ERegistryException(Format(kelconsts::SUnableToOpenKey, key.c_str()));
    if (data.find('%') != std::string::npos)
        registry.WriteExpandString(name, data);
    else
        registry.WriteString(name, data);
}

namespace {

LONG AskForChange(HANDLE event, const TkelRegWatch& watch) {
    return RegNotifyChangeKeyValue(watch.Key, watch.Subtree, watch.Filter, event, TRUE);
}

}  // namespace

HANDLE BeginRegWatch(const TkelRegWatch& watch) {
    TUniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return INVALID_HANDLE_VALUE;
    LONG rc = AskForChange(event.Get(), watch);
    if (rc == ERROR_SUCCESS && WaitForSingleObject(event.Get(), 0) == WAIT_OBJECT_0)
        rc = AskForChange(event.Get(), watch);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return INVALID_HANDLE_VALUE;
    }
    return event.Release();
}

bool RenewRegWatch(HANDLE event, const TkelRegWatch& watch) {
    if (!ResetEvent(event))
        return false;
    LONG rc = AskForChange(event, watch);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return false;
    }
    return true;
}

void CloseHandleSafe(HANDLE handle) {
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

// ---- Auto-run ----

void BuildAutoRunKeyPath(TkelAutoExecKind kind, HKEY& root, std::string& keyPath) {
    static constexpr const char* names[] = {"Run", "RunOnce", "Run", "RunOnce", "RunServices", "RunServicesOnce"};
    root = kind == aekUserRun || kind == aekUserRunOnce ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    keyPath = std::string("Software\\Microsoft\\Windows\\CurrentVersion\\") + names[kind];
}

namespace {

bool RefusedOnThisSystem(TkelAutoExecKind kind) {
    return (kind == aekServiceRun || kind == aekServiceRunOnce) && OSFlags().IsWinNT;
}

}  // namespace

bool RegisterAutoRun(TkelAutoExecKind kind, const std::string& fileName) {
    if (RefusedOnThisSystem(kind))
        return false;
    try {
        HKEY root = nullptr;
        std::string keyPath;
        BuildAutoRunKeyPath(kind, root, keyPath);
        WriteRegString(root, keyPath, FileNameOf(fileName), fileName);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool UnregisterAutoRun(TkelAutoExecKind kind, const std::string& fileName) {
    if (RefusedOnThisSystem(kind))
        return false;
    HKEY root = nullptr;
    std::string keyPath;
    BuildAutoRunKeyPath(kind, root, keyPath);
    TRegistry registry(KEY_ALL_ACCESS | kNativeRegistryView);
    registry.SetRootKey(root);
    if (!registry.OpenKey(keyPath, false))
        return false;
    const std::string name = FileNameOf(fileName);
    if (registry.ValueExists(name))
        return registry.DeleteValue(name);
    return true;
}

// ---- Classes ----

void RegisterClassSafe(const TClassInfo& info) {
    if (!FindClass(info.Name))
        RegisterClass(info);
}

void RegisterClassesSafe(std::initializer_list<const TClassInfo*> infos) {
    for (const TClassInfo* info : infos)
        if (info)
            RegisterClassSafe(*info);
}
