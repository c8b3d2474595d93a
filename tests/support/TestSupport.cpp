#include "TestSupport.h"

#include "SysUtils.h"

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace {

void DeleteTree(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string child = path + '\\' + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                DeleteTree(child);
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}

void Check(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error(what + " failed: " + SysErrorMessage(GetLastError()));
}

}  // namespace

std::string UniqueName(const std::string& prefix) {
    static std::atomic<int> counter{0};
    // Wine hands out the same process ids again in every session; the start time tells
    // this process from an earlier one whose leftovers a crash kept.
    static const DWORD started = [] {
        FILETIME creation{}, unused{};
        GetProcessTimes(GetCurrentProcess(), &creation, &unused, &unused, &unused);
        return static_cast<DWORD>((uint64_t(creation.dwHighDateTime) << 32 | creation.dwLowDateTime) / 10000);
    }();
    return Format("%s-%lu-%lx-%d", prefix.c_str(), GetCurrentProcessId(), started, ++counter);
}

TTempDir::TTempDir() {
    char temp[MAX_PATH + 1] = {};
    Check(GetTempPathA(MAX_PATH, temp) != 0, "GetTempPath");
    path_ = ExcludeTrailingPathDelimiter(temp) + '\\' + UniqueName("hivesweep-test");
    Check(CreateDirectoryA(path_.c_str(), nullptr), "CreateDirectory " + path_);
}

TTempDir::~TTempDir() { DeleteTree(path_); }

std::string TTempDir::AddFolder(const std::string& relative) const {
    const std::string path = path_ + '\\' + relative;
    Check(ForceDirectories(path), "ForceDirectories " + path);
    return path;
}

std::string TTempDir::AddFile(const std::string& relative, const std::string& content) const {
    const std::string path = path_ + '\\' + relative;
    const std::string folder = ExtractFilePath(path);
    Check(ForceDirectories(folder), "ForceDirectories " + folder);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    Check(file != INVALID_HANDLE_VALUE, "CreateFile " + path);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    return path;
}

TScratchKey::TScratchKey(HKEY root) : root_(root), path_("Software\\HivesweepTests\\" + UniqueName("key")) {
    HKEY key = nullptr;
    Check(RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
              ERROR_SUCCESS,
          "RegCreateKeyEx " + path_);
    RegCloseKey(key);
}

TScratchKey::~TScratchKey() { RegDeleteTreeA(root_, path_.c_str()); }

void TScratchKey::SetValue(const std::string& subKey, const std::string& name, DWORD type, const void* data,
                           DWORD size) const {
    const std::string path = subKey.empty() ? path_ : path_ + '\\' + subKey;
    HKEY key = nullptr;
    Check(RegCreateKeyExA(root_, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
              ERROR_SUCCESS,
          "RegCreateKeyEx " + path);
    LONG rc = RegSetValueExA(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    Check(rc == ERROR_SUCCESS, "RegSetValueEx " + name);
}

void TScratchKey::SetString(const std::string& subKey, const std::string& name, const std::string& value) const {
    SetValue(subKey, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

void TScratchKey::SetDword(const std::string& subKey, const std::string& name, DWORD value) const {
    SetValue(subKey, name, REG_DWORD, &value, sizeof value);
}

bool TScratchKey::Exists(const std::string& subKey) const {
    const std::string path = subKey.empty() ? path_ : path_ + '\\' + subKey;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root_, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

TScopedEnvVar::TScopedEnvVar(const std::string& name, const std::string& value) : name_(name) {
    hadOld_ = GetEnvironmentVariableA(name.c_str(), nullptr, 0) != 0;
    old_ = GetEnvVar(name);
    SetEnvironmentVariableA(name.c_str(), value.c_str());
}

TScopedEnvVar::~TScopedEnvVar() { SetEnvironmentVariableA(name_.c_str(), hadOld_ ? old_.c_str() : nullptr); }
