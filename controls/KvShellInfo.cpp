#include "KvShellInfo.h"

#include <shlobj.h>

#include <vector>

namespace {

// The record size the system's version call expects.
static_assert(sizeof(OSVERSIONINFOA) == 148);

OSVERSIONINFOA gOsVersion{};
IMalloc* gShellMalloc = nullptr;
int gShellInfoCount = 0;  // the allocator is held while any TKvShellInfo lives
uint64_t gComCtlVersion = 0;
bool gComCtlVersionRead = false;

void ReadComCtlVersion() {
    uint64_t version = 0;
    if (!GetFileVersion("comctl32.dll", version))
        version = 0;
    gComCtlVersion = version;
    gComCtlVersionRead = true;
}

}  // namespace

bool GetFileVersion(const std::string& file, uint64_t& version) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &handle);
    if (size == 0)
        return false;
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(file.c_str(), 0, size, block.data()))
        return false;
    void* data = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", &data, &length) || !data || length < sizeof(VS_FIXEDFILEINFO))
        return false;
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(data);
    version = static_cast<uint64_t>(fixed->dwFileVersionMS) << 32 | fixed->dwFileVersionLS;
    return true;
}

TKvShellInfo::TKvShellInfo() {
    gOsVersion = OSVERSIONINFOA{};
    gOsVersion.dwOSVersionInfoSize = sizeof(gOsVersion);
    GetVersionExA(&gOsVersion);
    if (gShellInfoCount++ == 0 && FAILED(SHGetMalloc(&gShellMalloc)))
        gShellMalloc = nullptr;
    ReadComCtlVersion();
}

TKvShellInfo::~TKvShellInfo() {
    if (--gShellInfoCount == 0 && gShellMalloc) {
        gShellMalloc->Release();
        gShellMalloc = nullptr;
    }
}

const OSVERSIONINFOA& OsVersionInfo() { return gOsVersion; }

IMalloc* ShellMalloc() { return gShellMalloc; }

uint64_t ComCtlVersion() {
    if (!gComCtlVersionRead)
        ReadComCtlVersion();
    return gComCtlVersion;
}

void SetComCtlVersion(uint64_t version) {
    gComCtlVersion = version;
    gComCtlVersionRead = version != 0;
}
