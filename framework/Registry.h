#pragma once

// The registry accessor: one open key at a time under a chosen root.
// A key path is relative to the open key unless it starts with a backslash;
// that backslash is removed before the system call.

#include "Object.h"
#include "SysUtils.h"

#include <windows.h>

#include <string>
#include <vector>

class TStringList;

class ERegistryException : public Exception {
    using Exception::Exception;
};

// The registry view a 64-bit build sees natively; a 32-bit build asks for it explicitly,
// so that both builds read and write the same keys.
constexpr REGSAM kNativeRegistryView = sizeof(void*) == 4 ? KEY_WOW64_64KEY : 0;

// A key path as the system takes it: without its leading backslash.
std::string WithoutLeadingBackslash(const std::string& key);

enum TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

struct TRegDataInfo {
    TRegDataType RegData = rdUnknown;
    int DataSize = 0;
    DWORD Type = REG_NONE;  // the system's type code, for types without an rd* name
};

struct TRegKeyInfo {
    DWORD NumSubKeys = 0;
    DWORD MaxSubKeyLen = 0;
    DWORD NumValues = 0;
    DWORD MaxValueLen = 0;
    DWORD MaxDataLen = 0;
    FILETIME FileTime{};
};

class TRegistry : public TObject {
public:
    TRegistry() : TRegistry(KEY_ALL_ACCESS) {}
    explicit TRegistry(REGSAM access) : access_(access) {}
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;
    ~TRegistry() override { CloseKey(); }

    HKEY RootKey() const { return rootKey_; }
    // Changing the root closes the open key.
    void SetRootKey(HKEY root);
    REGSAM Access() const { return access_; }
    void SetAccess(REGSAM access) { access_ = access; }
    HKEY CurrentKey() const { return currentKey_; }
    const std::string& CurrentPath() const { return currentPath_; }
    // Off: every close flushes the key first.
    bool LazyWrite() const { return lazyWrite_; }
    void SetLazyWrite(bool lazy) { lazyWrite_ = lazy; }

    void CloseKey();
    // A successful open replaces the open key.
    bool OpenKey(const std::string& key, bool canCreate);
    // Tries KEY_READ, then 0x20009, then KEY_QUERY_VALUE and keeps the mask that worked.
    bool OpenKeyReadOnly(const std::string& key);
    // Raises ERegistryException when the key cannot be created.
    void CreateKey(const std::string& key);
    // Deletes the sub-keys first, depth first from the highest index down.
    bool DeleteKey(const std::string& key);
    // Opens with 0x20009 and closes at once.
    bool KeyExists(const std::string& key);

    bool GetKeyInfo(TRegKeyInfo& info) const;
    bool HasSubKeys() const;
    void GetKeyNames(TStringList& names) const;
    // The same for a key whose info was just asked for.
    void GetKeyNames(TStringList& names, const TRegKeyInfo& info) const;
    void GetValueNames(TStringList& names) const;

    bool ValueExists(const std::string& name) const;
    bool DeleteValue(const std::string& name);
    bool GetDataInfo(const std::string& name, TRegDataInfo& info) const;
    TRegDataType GetDataType(const std::string& name) const;
    // -1 when the value does not exist.
    int GetDataSize(const std::string& name) const;

    // REG_SZ or REG_EXPAND_SZ, not expanded, cut at the first zero; empty when the value
    // is missing or empty, ERegistryException for other types.
    std::string ReadString(const std::string& name) const;
    int ReadInteger(const std::string& name) const;
    int ReadBinaryData(const std::string& name, void* buffer, int size) const;
    // The value's bytes and type code, whatever the type.
    std::vector<unsigned char> ReadRawData(const std::string& name, DWORD& type) const;

    // Strings are written with their terminating zero.
    void WriteString(const std::string& name, const std::string& value);
    void WriteExpandString(const std::string& name, const std::string& value);
    void WriteInteger(const std::string& name, int value);
    void WriteBinaryData(const std::string& name, const void* buffer, int size);
    void WriteRawData(const std::string& name, DWORD type, const void* buffer, int size);

private:
    HKEY BaseKey(bool relative) const;
    HKEY OpenSubKey(const std::string& key) const;
    void ChangeKey(HKEY key, const std::string& path);
    LONG QueryValue(const std::string& name, DWORD& type, std::vector<unsigned char>& data) const;

    HKEY rootKey_ = HKEY_CURRENT_USER;
    REGSAM access_;
    HKEY currentKey_ = nullptr;
    std::string currentPath_;
    bool lazyWrite_ = true;
};
