#include "JclSysInfo.h"

#include "JclFileUtils.h"
#include "JclRegistry.h"

#include <windows.h>

#include <shlobj.h>

#include <cstring>
#include <vector>

namespace {

const char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// Asks for the length, then fills; keeps what precedes the first zero.
template <class Query>
std::string QueryFolder(Query query) {
    UINT length = query(nullptr, 0);
    if (length == 0)
        return std::string();
    std::vector<char> buffer(length + 1, '\0');
    query(buffer.data(), length + 1);
    return std::string(buffer.data());
}

}  // namespace

std::string GetWindowsFolder() {
    return QueryFolder([](char* buffer, UINT size) { return GetWindowsDirectoryA(buffer, size); });
}

std::string GetSystemFolder() {
    return QueryFolder([](char* buffer, UINT size) { return GetSystemDirectoryA(buffer, size); });
}

std::string GetTempFolder() {
    return PathRemoveSeparator(
        QueryFolder([](char* buffer, UINT size) { return static_cast<UINT>(GetTempPathA(size, buffer)); }));
}

std::string GetFontsFolder() { return GetSpecialFolderPath(CSIDL_FONTS); }

std::string GetSpecialFolderPath(int folder) {
    LPITEMIDLIST ids = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, folder, &ids)) || !ids)
        return std::string();
    char path[MAX_PATH + 1] = {};
    std::string result;
    if (SHGetPathFromIDListA(ids, path))
        result.assign(path, strnlen(path, MAX_PATH));
    IMalloc* allocator = nullptr;
    if (SUCCEEDED(SHGetMalloc(&allocator)) && allocator) {
        allocator->Free(ids);
        allocator->Release();
    }
    return result;
}

std::string GetProgramFilesFolder() {
    return ReadRegistryStringDef(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "ProgramFilesDir", "");
}

std::string GetCommonFilesFolder() {
    return ReadRegistryStringDef(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "CommonFilesDir", "");
}
