#include "FileSearch.h"

#include "JclSysInfo.h"
#include "Registry.h"
#include "SysUtils.h"

#include <windows.h>

#include <climits>

TStringList PathDirs;
std::string SystemDir;
std::string WindowsDir;
std::string ProgramFilesDir;
std::string CommonFilesDir;
std::string FontsDir;
std::string MediaPath;

namespace {

const char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\";
const char kInstallerFoldersKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders";

std::string ReadMediaPath() {
    try {
        TRegistry reg(KEY_ALL_ACCESS);
        reg.SetRootKey(HKEY_LOCAL_MACHINE);
        if (reg.OpenKey(kCurrentVersionKey, false))
            return reg.ReadString("MediaPath");
    } catch (const std::exception&) {
        // A value of the wrong type leaves the folder unknown.
    }
    return std::string();
}

const bool gFoldersReady = (InitEngineFolders(), true);

// The file itself, or for a path under the system folder its twin under SysWOW64,
// where 64-bit Windows keeps the 32-bit files registered under System32.
bool FileExistsInAnyView(const std::string& path) {
    if (FileExists(path))
        return true;
    if (SystemDir.empty() || WindowsDir.empty())
        return false;
    const std::string systemPrefix = SystemDir + '\\';
    if (!StartsText(systemPrefix, path))
        return false;
    return FileExists(WindowsDir + "\\SysWOW64\\" + path.substr(systemPrefix.size()));
}

// The text before the first occurrence of mark, when there is one.
bool CutBefore(std::string& s, const std::string& mark) {
    int at = Pos(mark, s);
    if (at == 0)
        return false;
    s = Copy(s, 1, at - 1);
    return true;
}

bool InstallerFolderContains(const std::string& part) {
    try {
        TRegistry reg(KEY_READ);
        reg.SetRootKey(HKEY_LOCAL_MACHINE);
        if (!reg.OpenKeyReadOnly(kInstallerFoldersKey))
            return false;
        TStringList folders;
        reg.GetValueNames(folders);
        folders.SetText(Trim(folders.Text()));
        for (int i = 0; i < folders.Count(); ++i)
            if (Pos(part, folders[i]) > 0 && DirectoryExists(folders[i]))
                return true;
    } catch (const std::exception&) {
        // An unreadable installer list proves nothing.
    }
    return false;
}

bool BareNameExists(const std::string& name) {
    // An empty folder would turn "\" + name into a probe of the drive root.
    auto in = [&name](const std::string& folder, const char* middle) {
        return !folder.empty() && FileExistsInAnyView(folder + middle + name);
    };
    if (in(SystemDir, "\\") || in(WindowsDir, "\\System32\\") || in(WindowsDir, "\\") ||
        in(WindowsDir, "\\Fonts\\") || in(MediaPath, "\\") || in(WindowsDir, "\\Inf\\") ||
        in(CommonFilesDir, "\\Borland Shared\\BDE\\") || in(WindowsDir, "\\System\\") || in(SystemDir, "\\") ||
        in(FontsDir, "\\"))
        return true;
    for (int i = 0; i < PathDirs.Count(); ++i)
        if (in(ExcludeTrailingPathDelimiter(PathDirs[i]), "\\"))
            return true;
    return false;
}

}  // namespace

void InitEngineFolders() {
    PathDirs.SetText(StringReplace(GetEnvVar("PATH"), ";", "\r\n", rfReplaceAll));
    SystemDir = GetSystemFolder();
    WindowsDir = GetWindowsFolder();
    ProgramFilesDir = GetProgramFilesFolder();
    CommonFilesDir = GetCommonFilesFolder();
    FontsDir = GetFontsFolder();
    MediaPath = ReadMediaPath();
}

std::string ExpandPathVars(const std::string& path) {
    std::string s = path;
    if (s.size() > 1) {
        if (s.back() == ';')
            s.pop_back();
        if (!s.empty() && s.front() == '"')
            s.erase(0, 1);
        if (!s.empty() && s.back() == '"')
            s.pop_back();
        if (!s.empty() && s.back() == '\\')
            s.pop_back();
    }
    s = StringReplace(s, "%systemroot%", WindowsDir, rfReplaceAll | rfIgnoreCase);
    s = StringReplace(s, "%programfiles%", ProgramFilesDir, rfReplaceAll | rfIgnoreCase);
    s = StringReplace(s, "%commonprogramfiles%", CommonFilesDir, rfReplaceAll | rfIgnoreCase);
    return s;
}

bool SmartFileExists(const std::string& path) {
    std::string s = Trim(LowerCase(path));
    if (s.empty())
        return false;
    s = ExpandPathVars(s);
    // Other variables are expanded too, or the placeholder cut below would drop them.
    if (Pos("%", s) > 0)
        s = LowerCase(ExpandEnvVars(s));
    if (FileExistsInAnyView(s))
        return true;

    // Installer command line: ".../i{product}" names a folder of the installer's list.
    if (int at = Pos("/i", s); at > 0) {
        s = Copy(s, at + 2, Pos("}", s));
        if (InstallerFolderContains(s))
            return true;
    }
    if (CutBefore(s, "/") && FileExistsInAnyView(s))
        return true;
    if (CutBefore(s, " -") && FileExistsInAnyView(s))
        return true;
    if (CutBefore(s, "%") && FileExistsInAnyView(s))
        return true;

    s = Trim(s);
    if (s.empty())
        return false;
    if (FileExistsInAnyView(s))
        return true;
    if (!ExtractFilePath(s).empty())
        return false;
    return BareNameExists(s);
}

bool FontFileExists(const std::string& file) {
    if (SmartFileExists(file))
        return true;
    return ExtractFilePath(file).empty() && !FontsDir.empty() && FileExists(FontsDir + '\\' + file);
}

bool SoundFileExists(const std::string& file) {
    return (!MediaPath.empty() && SmartFileExists(MediaPath + '\\' + file)) || SmartFileExists(file);
}

bool StartupFileExists(const std::string& command) {
    std::string s = Trim(command);
    if (!s.empty() && s.front() == '"')
        s.erase(0, 1);
    if (!s.empty() && s.back() == '"')
        s.pop_back();
    if (CutBefore(s, ","))
        s = Trim(s);
    if (CutBefore(s, "/"))
        s = Trim(s);
    if (LowerCase(Copy(s, 1, 13)) == "rundll32.exe ")
        s = Trim(Copy(s, 13, INT_MAX));
    if (LowerCase(Copy(s, 1, 9)) == "rundll32 ")
        s = Trim(Copy(s, 9, INT_MAX));
    return SmartFileExists(s);
}

bool AppPathExists(const std::string& app, const std::string& dirs) {
    TStringList folders;
    folders.SetText(StringReplace(dirs, ";", "\r\n", rfReplaceAll));
    for (int i = folders.Count() - 1; i >= 0; --i) {
        std::string folder = Trim(folders[i]);
        if (folder.empty()) {
            folders.Delete(i);
            continue;
        }
        if (folder.front() == '"')
            folder.erase(0, 1);
        if (!folder.empty() && folder.back() == '"')
            folder.pop_back();
        // A folder that was nothing but quotes stays as it was.
        if (!folder.empty())
            folders.Put(i, IncludeTrailingPathDelimiter(folder));
    }
    if (ExtractFilePath(app).empty())
        for (int i = 0; i < folders.Count(); ++i)
            if (FileExists(folders[i] + app))
                return true;
    return SmartFileExists(app);
}

bool IsLocalDrivePath(const std::string& data) {
    const size_t first = data.find(":\\");
    if (first == std::string::npos || first == 0 || data.find(":\\", first + 2) != std::string::npos)
        return false;
    const char drive = UpperCase(std::string(1, data[first - 1]))[0];
    return drive >= 'C' && drive <= 'Z';
}

int NextDrivePos(int start, const std::string& text) {
    const int length = static_cast<int>(text.size());
    for (int i = start + 1; i <= length - 2; ++i)
        if (text[i - 1] == ':' && text[i] == '\\')
            return i - 2;
    return length;
}

std::string ExtractFileFromCommand(const std::string& text, std::vector<std::string>& paths) {
    static const char* const kExtensions[] = {".exe", ".com", ".bat", ".dll", ".isu", ".scr",
                                              ".log", ".inf", ".apl", ".ocx", ".ico", ".cpl",
                                              ".dpk", ".dpr", ".pas", ".dcl", ".ax"};
    std::string t = text;
    CutBefore(t, "\"");
    CutBefore(t, "/");
    for (const char* extension : kExtensions) {
        const std::string ext = extension;
        if (int at = Pos(ext, t); at > 0)
            t = Copy(t, 1, at + static_cast<int>(ext.size()) - 1);
    }
    paths.push_back(ExpandPathVars(Trim(t)));
    return t;
}

std::vector<std::string> SplitPathList(const std::string& data) {
    std::vector<std::string> paths;
    std::string s = ExpandPathVars(LowerCase(Trim(data)));
    if (Pos(":\\", s) == 0) {
        ExtractFileFromCommand(s, paths);
        return paths;
    }
    while (int at = Pos(":\\", s)) {
        const std::string piece = Copy(s, at - 1, NextDrivePos(at, s));
        const std::string cut = ExtractFileFromCommand(piece, paths);
        std::string rest = Trim(StringReplace(s, cut, "", rfReplaceAll | rfIgnoreCase));
        // A cut that removes nothing would loop for ever: drop the text through this ":\".
        if (cut.empty() || rest == s)
            rest = Trim(Copy(s, at + 2, INT_MAX));
        s = rest;
    }
    return paths;
}

bool PathListExists(const std::string& data) {
    const std::vector<std::string> paths = SplitPathList(data);
    if (paths.empty())
        return false;
    for (const std::string& path : paths)
        if (!SmartFileExists(path) && !DirectoryExists(path))
            return false;
    return true;
}

TFileSystemRedirectionOff::TFileSystemRedirectionOff() {
#ifndef _WIN64
    using Disable = BOOL(WINAPI*)(PVOID*);
    static const auto disable = reinterpret_cast<Disable>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "Wow64DisableWow64FsRedirection")));
    disabled_ = disable && disable(&oldValue_);
#endif
}

TFileSystemRedirectionOff::~TFileSystemRedirectionOff() {
#ifndef _WIN64
    using Revert = BOOL(WINAPI*)(PVOID);
    static const auto revert = reinterpret_cast<Revert>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "Wow64RevertWow64FsRedirection")));
    if (disabled_ && revert)
        revert(oldValue_);
#endif
}
