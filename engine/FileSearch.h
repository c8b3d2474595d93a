#pragma once

// Does the file a registry entry names exist? Registry data names files quoted, with
// switches, with environment variables, as bare names found through the system folders
// and the search path, or as installer command lines.

#include "StringList.h"

#include <string>
#include <vector>

// Folders filled once when the program starts; read-only afterwards (the scan thread
// reads them without locks). No trailing backslashes; empty when unavailable.
extern TStringList PathDirs;  // the PATH variable, one folder per line
extern std::string SystemDir;
extern std::string WindowsDir;
extern std::string ProgramFilesDir;
extern std::string CommonFilesDir;
extern std::string FontsDir;
extern std::string MediaPath;

// Recomputes the folders above from the system; done once at start-up.
void InitEngineFolders();

// The core test: strips quotes and switches, expands variables and searches bare
// names through the system folders and PATH. Empty input is false.
bool SmartFileExists(const std::string& path);
bool FontFileExists(const std::string& file);
bool SoundFileExists(const std::string& file);
// Cleans a command line of the startup list (quotes, arguments, rundll32) first.
bool StartupFileExists(const std::string& command);
// An application of the App Paths list; dirs is its ";"-separated "Path" value.
bool AppPathExists(const std::string& app, const std::string& dirs);

// Exactly one ":\" with a drive letter from C to Z before it.
bool IsLocalDrivePath(const std::string& data);
// Every path named in data exists as a file or folder.
bool PathListExists(const std::string& data);
// The paths PathListExists tests, in order.
std::vector<std::string> SplitPathList(const std::string& data);
// Strips one trailing ";", surrounding quotes and a trailing "\", and replaces the
// system-root, program-files and common-files variables.
std::string ExpandPathVars(const std::string& path);
// Cuts a command line down to its file; adds the cleaned path to paths.
std::string ExtractFileFromCommand(const std::string& text, std::vector<std::string>& paths);
// 1-based count of characters before the drive letter of the next ":\" after start.
int NextDrivePos(int start, const std::string& text);

// While alive, a 32-bit build on 64-bit Windows sees the real system folder.
class TFileSystemRedirectionOff {
public:
    TFileSystemRedirectionOff();
    ~TFileSystemRedirectionOff();
    TFileSystemRedirectionOff(const TFileSystemRedirectionOff&) = delete;
    TFileSystemRedirectionOff& operator=(const TFileSystemRedirectionOff&) = delete;

private:
    void* oldValue_ = nullptr;
    bool disabled_ = false;
};
