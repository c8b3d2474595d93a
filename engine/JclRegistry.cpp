#include "JclRegistry.h"

#include "Handles.h"

#include <cstring>
#include <vector>

namespace {

struct TRootPrefix {
    const char* prefix;
    HKEY root;
};

const TRootPrefix kRootPrefixes[] = {
    {"HKEY_CLASSES_ROOT\\", HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE},
    {"HKEY_USERS\\", HKEY_USERS},
    {"HKEY_PERFORMANCE_DATA\\", HKEY_PERFORMANCE_DATA},
    {"HKEY_CURRENT_CONFIG\\", HKEY_CURRENT_CONFIG},
    {"HKEY_DYN_DATA\\", HKEY_DYN_DATA},
    {"HKCR\\", HKEY_CLASSES_ROOT},
    {"HKCU\\", HKEY_CURRENT_USER},
    {"HKLM\\", HKEY_LOCAL_MACHINE},
    {"HKUS\\", HKEY_USERS},
    {"HKPD\\", HKEY_PERFORMANCE_DATA},
    {"HKCC\\", HKEY_CURRENT_CONFIG},
    {"HKDD\\", HKEY_DYN_DATA},
};

[[noreturn]] void KeyAndValueError(const std::string& key, const std::string& name) {
    throw EJclRegistryError(Format("Unable to open key \"%s\" and access value \"%s\"", key.c_str(), name.c_str()));
}

}  // namespace

std::string RelativeRegistryKey(HKEY root, const std::string& key) {
    std::string rest = (!key.empty() && key[0] == '\\') ? key.substr(1) : key;
    for (const TRootPrefix& entry : kRootPrefixes) {
        const size_t length = std::strlen(entry.prefix);
        if (rest.compare(0, length, entry.prefix) != 0)
            continue;
        if (entry.root != root)
            throw EJclRegistryError(Format("\"%s\" does not match RootKey", key.c_str()));
        return rest.substr(length);
    }
    return rest;
}

std::string ReadRegistryString(HKEY root, const std::string& key, const std::string& name) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, RelativeRegistryKey(root, key).c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        throw EJclRegistryError(Format("Unable to open key \"%s\" for read", key.c_str()));
    TUniqueKey owner(opened);

    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExA(opened, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        KeyAndValueError(key, name);
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_BINARY)
        throw EJclRegistryError(Format("\"%s\\%s\" is of wrong kind or size", key.c_str(), name.c_str()));

    std::vector<char> data(static_cast<size_t>(size) + 1, '\0');
    DWORD read = size + 1;
    if (RegQueryValueExA(opened, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &read) !=
        ERROR_SUCCESS)
        KeyAndValueError(key, name);
    // Stored data need not end in a zero: keep what precedes the first one.
    return std::string(data.data(), strnlen(data.data(), std::min<size_t>(read, data.size())));
}

std::string ReadRegistryStringDef(HKEY root, const std::string& key, const std::string& name,
                                  const std::string& fallback) {
    try {
        return ReadRegistryString(root, key, name);
    } catch (const std::exception&) {
        return fallback;
    }
}
