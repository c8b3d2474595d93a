#pragma once

// Version data of the system and the shell's allocator, read once when the program starts.
//
// The program's entry holds one TKvShellInfo for the run (after TKvShellCom); the free
// functions read what it found. ComCtlVersion() is the file version of comctl32.dll packed
// as the version resource packs it: major << 48 | minor << 32 | release << 16 | build.

#include <objidl.h>
#include <windows.h>

#include <cstdint>
#include <string>

constexpr uint64_t MakeFileVersion(WORD major, WORD minor, WORD release = 0, WORD build = 0) {
    return static_cast<uint64_t>(major) << 48 | static_cast<uint64_t>(minor) << 32 |
           static_cast<uint64_t>(release) << 16 | build;
}

// The packed file version of file; false unless its version resource and the fixed
// information in it could be read.
bool GetFileVersion(const std::string& file, uint64_t& version);

class TKvShellInfo {
public:
    // Reads the system's version record, takes the shell's allocator and reads comctl32's
    // file version (0 when the file has none).
    TKvShellInfo();
    // Releases the allocator.
    ~TKvShellInfo();
    TKvShellInfo(const TKvShellInfo&) = delete;
    TKvShellInfo& operator=(const TKvShellInfo&) = delete;
};

// The system's version record; all zero before a TKvShellInfo was made.
const OSVERSIONINFOA& OsVersionInfo();
// The shell's allocator while a TKvShellInfo lives, else null.
IMalloc* ShellMalloc();
// comctl32.dll's file version; read on first use when no TKvShellInfo has read it.
uint64_t ComCtlVersion();
// For tests of code that depends on it; 0 reads the file again on next use.
void SetComCtlVersion(uint64_t version);
