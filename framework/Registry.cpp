#include "Registry.h"

#include "Handles.h"
#include "StringList.h"

#include <cstring>

namespace {

constexpr REGSAM kKeyExistsAccess = STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
constexpr REGSAM kViewFlags = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

bool IsRelative(const std::string& key) { return key.empty() || key[0] != '\\'; }

TRegDataType DataTypeOf(DWORD type) {
    switch (type) {
    case REG_SZ: return rdString;
    case REG_EXPAND_SZ: return rdExpandString;
    case REG_DWORD: return rdInteger;
    case REG_BINARY: return rdBinary;
    default: return rdUnknown;
    }
}

[[noreturn]] void ReadError(const std::string& name) {
    throw ERegistryException(Format("Invalid data type for '%s'", name.c_str()));
}

[[noreturn]] void GetDataError(const std::string& name) {
    throw ERegistryException(Format("Failed to get data for '%s'", name.c_str()));
}

// Enumerates the count names the key's info announced with RegEnumKeyExA or
// RegEnumValueA, growing the buffer when a name is longer than the info promised
// (keys may change while we walk them).
template <class Enum>
void EnumNames(DWORD count, DWORD initialSize, TStringList& names, Enum enumerate) {
    std::vector<char> buffer(initialSize + 1 < 256 ? 256 : initialSize + 1);
    for (DWORD index = 0; index < count;) {
        DWORD length = static_cast<DWORD>(buffer.size());
        LONG rc = enumerate(index, buffer.data(), &length);
        if (rc == ERROR_MORE_DATA && buffer.size() < 65536) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != ERROR_SUCCESS)
            break;
        names.Add(std::string(buffer.data(), length));
        ++index;
    }
}

}  // namespace

std::string WithoutLeadingBackslash(const std::string& key) {
    return IsRelative(key) ? key : key.substr(1);
}

void TRegistry::SetRootKey(HKEY root) {
    if (root == rootKey_)
        return;
    rootKey_ = root;
    CloseKey();
}

void TRegistry::CloseKey() {
    if (!currentKey_)
        return;
    if (!lazyWrite_)
        RegFlushKey(currentKey_);
    RegCloseKey(currentKey_);
    currentKey_ = nullptr;
    currentPath_.clear();
}

HKEY TRegistry::BaseKey(bool relative) const {
    return (currentKey_ && relative) ? currentKey_ : rootKey_;
}

void TRegistry::ChangeKey(HKEY key, const std::string& path) {
    CloseKey();
    currentKey_ = key;
    currentPath_ = path;
}

HKEY TRegistry::OpenSubKey(const std::string& key) const {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(BaseKey(IsRelative(key)), WithoutLeadingBackslash(key).c_str(), 0, access_, &opened) !=
        ERROR_SUCCESS)
        return nullptr;
    return opened;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    const bool relative = IsRelative(key);
    std::string path = WithoutLeadingBackslash(key);
    HKEY opened = nullptr;
    LONG rc;
    if (!canCreate || path.empty()) {
        rc = RegOpenKeyExA(BaseKey(relative), path.c_str(), 0, access_, &opened);
    } else {
        DWORD disposition = 0;
        rc = RegCreateKeyExA(BaseKey(relative), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access_,
                             nullptr, &opened, &disposition);
    }
    if (rc != ERROR_SUCCESS)
        return false;
    if (currentKey_ && relative)
        path = currentPath_ + '\\' + path;
    ChangeKey(opened, path);
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
    const REGSAM view = access_ & kViewFlags;
    for (REGSAM mask : {static_cast<REGSAM>(KEY_READ), kKeyExistsAccess, static_cast<REGSAM>(KEY_QUERY_VALUE)}) {
        access_ = mask | view;
        if (OpenKey(key, false))
            return true;
    }
    return false;
}

void TRegistry::CreateKey(const std::string& key) {
    HKEY created = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(BaseKey(IsRelative(key)), WithoutLeadingBackslash(key).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, access_, nullptr, &created, &disposition) != ERROR_SUCCESS)
        throw ERegistryException(Format("Failed to create key %s", key.c_str()));
    RegCloseKey(created);
}

bool TRegistry::DeleteKey(const std::string& key) {
    const bool relative = IsRelative(key);
    TUniqueKey doomed(OpenSubKey(key));
    if (doomed) {
        // Sub-key names are relative to the doomed key while we delete them.
        HKEY savedKey = std::exchange(currentKey_, doomed.Get());
        try {
            TRegKeyInfo info;
            if (GetKeyInfo(info)) {
                std::vector<char> name(info.MaxSubKeyLen + 1 < 256 ? 256 : info.MaxSubKeyLen + 1);
                for (DWORD i = info.NumSubKeys; i-- > 0;) {
                    DWORD length = static_cast<DWORD>(name.size());
                    if (RegEnumKeyExA(doomed.Get(), i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) ==
                        ERROR_SUCCESS)
                        DeleteKey(std::string(name.data(), length));
                }
            }
        } catch (...) {
            currentKey_ = savedKey;
            throw;
        }
        currentKey_ = savedKey;
    }
    const std::string path = WithoutLeadingBackslash(key);
    const REGSAM view = access_ & kViewFlags;
    LONG rc = view ? RegDeleteKeyExA(BaseKey(relative), path.c_str(), view, 0)
                   : RegDeleteKeyA(BaseKey(relative), path.c_str());
    return rc == ERROR_SUCCESS;
}

bool TRegistry::KeyExists(const std::string& key) {
    const REGSAM saved = access_;
    access_ = kKeyExistsAccess | (saved & kViewFlags);
    TUniqueKey probe(OpenSubKey(key));
    access_ = saved;
    return probe.Valid();
}

bool TRegistry::GetKeyInfo(TRegKeyInfo& info) const {
    info = TRegKeyInfo{};
    return RegQueryInfoKeyA(currentKey_, nullptr, nullptr, nullptr, &info.NumSubKeys, &info.MaxSubKeyLen, nullptr,
                            &info.NumValues, &info.MaxValueLen, &info.MaxDataLen, nullptr,
                            &info.FileTime) == ERROR_SUCCESS;
}

bool TRegistry::HasSubKeys() const {
    TRegKeyInfo info;
    return GetKeyInfo(info) && info.NumSubKeys > 0;
}

void TRegistry::GetKeyNames(TStringList& names) const {
    names.Clear();
    TRegKeyInfo info;
    if (GetKeyInfo(info))
        GetKeyNames(names, info);
}

void TRegistry::GetKeyNames(TStringList& names, const TRegKeyInfo& info) const {
    names.Clear();
    EnumNames(info.NumSubKeys, info.MaxSubKeyLen, names, [this](DWORD index, char* name, DWORD* length) {
        return RegEnumKeyExA(currentKey_, index, name, length, nullptr, nullptr, nullptr, nullptr);
    });
}

void TRegistry::GetValueNames(TStringList& names) const {
    names.Clear();
    TRegKeyInfo info;
    if (!GetKeyInfo(info))
        return;
    EnumNames(info.NumValues, info.MaxValueLen, names, [this](DWORD index, char* name, DWORD* length) {
        return RegEnumValueA(currentKey_, index, name, length, nullptr, nullptr, nullptr, nullptr);
    });
}

bool TRegistry::GetDataInfo(const std::string& name, TRegDataInfo& info) const {
    info = TRegDataInfo{};
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExA(currentKey_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    info.RegData = DataTypeOf(type);
    info.DataSize = static_cast<int>(size);
    info.Type = type;
    return true;
}

bool TRegistry::ValueExists(const std::string& name) const {
    TRegDataInfo info;
    return GetDataInfo(name, info);
}

TRegDataType TRegistry::GetDataType(const std::string& name) const {
    TRegDataInfo info;
    return GetDataInfo(name, info) ? info.RegData : rdUnknown;
}

int TRegistry::GetDataSize(const std::string& name) const {
    TRegDataInfo info;
    return GetDataInfo(name, info) ? info.DataSize : -1;
}

bool TRegistry::DeleteValue(const std::string& name) {
    return RegDeleteValueA(currentKey_, name.c_str()) == ERROR_SUCCESS;
}

LONG TRegistry::QueryValue(const std::string& name, DWORD& type, std::vector<unsigned char>& data) const {
    // One query in the common case; again only when the value is larger than the buffer.
    data.resize(256);
    for (;;) {
        DWORD size = static_cast<DWORD>(data.size());
        LONG rc = RegQueryValueExA(currentKey_, name.c_str(), nullptr, &type, data.data(), &size);
        if (rc == ERROR_MORE_DATA) {
            data.resize(size > data.size() ? size : data.size() * 2);
            continue;
        }
        data.resize(rc == ERROR_SUCCESS ? size : 0);
        return rc;
    }
}

std::vector<unsigned char> TRegistry::ReadRawData(const std::string& name, DWORD& type) const {
    std::vector<unsigned char> data;
    if (QueryValue(name, type, data) != ERROR_SUCCESS)
        GetDataError(name);
    return data;
}

std::string TRegistry::ReadString(const std::string& name) const {
    DWORD type = REG_NONE;
    std::vector<unsigned char> data;
    if (QueryValue(name, type, data) != ERROR_SUCCESS || data.empty())
        return std::string();
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        ReadError(name);
    // Stored strings need not be terminated: cut at the first zero inside the data.
    const char* text = reinterpret_cast<const char*>(data.data());
    return std::string(text, strnlen(text, data.size()));
}

int TRegistry::ReadInteger(const std::string& name) const {
    DWORD type = REG_NONE, value = 0, size = sizeof value;
    if (RegQueryValueExA(currentKey_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS)
        GetDataError(name);
    if (type != REG_DWORD || size != sizeof value)
        ReadError(name);
    return static_cast<int>(value);
}

int TRegistry::ReadBinaryData(const std::string& name, void* buffer, int size) const {
    TRegDataInfo info;
    if (!GetDataInfo(name, info))
        return 0;
    if ((info.RegData != rdBinary && info.RegData != rdUnknown) || info.DataSize > size)
        ReadError(name);
    DWORD type = REG_NONE, length = static_cast<DWORD>(info.DataSize);
    if (RegQueryValueExA(currentKey_, name.c_str(), nullptr, &type, static_cast<BYTE*>(buffer), &length) !=
        ERROR_SUCCESS)
        GetDataError(name);
    return static_cast<int>(length);
}

void TRegistry::WriteRawData(const std::string& name, DWORD type, const void* buffer, int size) {
    if (RegSetValueExA(currentKey_, name.c_str(), 0, type, static_cast<const BYTE*>(buffer),
                       static_cast<DWORD>(size)) != ERROR_SUCCESS)
        throw ERegistryException(Format("Failed to set data for '%s'", name.c_str()));
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    WriteRawData(name, REG_SZ, value.c_str(), static_cast<int>(value.size() + 1));
}

void TRegistry::WriteExpandString(const std::string& name, const std::string& value) {
    WriteRawData(name, REG_EXPAND_SZ, value.c_str(), static_cast<int>(value.size() + 1));
}

void TRegistry::WriteInteger(const std::string& name, int value) {
    WriteRawData(name, REG_DWORD, &value, sizeof value);
}

void TRegistry::WriteBinaryData(const std::string& name, const void* buffer, int size) {
    WriteRawData(name, REG_BINARY, buffer, size);
}
