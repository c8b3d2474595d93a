#include "hxExceptSettingsStore.h"

#include "hxExceptSupport.h"
#include "hxStrings.h"

#include <atomic>
#include <cstring>

namespace {

constexpr char kCaption[] = "hxExcept";
constexpr std::intptr_t kInitialCapacity = 131;
constexpr std::intptr_t kCapacityStep = 20;

std::atomic<THxMessageBoxProc> messageBoxHook{nullptr};

// This copy of the reporter's view of the shared buffer; guarded by the named mutex.
THxSharedSettingsBuf* sharedView = nullptr;
std::intptr_t viewOpens = 0;

// Open to every user of the process: the descriptor has a null access list.
struct TNullDacl {
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
    TNullDacl() noexcept { InitNullDaclAttributes(attributes, descriptor); }
};

char* CopyToLocal(const char* data, std::size_t length) noexcept
{
    auto* copy = static_cast<char*>(LocalAlloc(LPTR, length + 1));
    if (copy && length)
        std::memcpy(copy, data, length);
    return copy;
}

class TStreamReader {
public:
    TStreamReader(const unsigned char* data, std::size_t size) noexcept : data_(data), size_(size) {}
    bool Has(std::size_t n) const noexcept { return n <= size_ - pos_; }
    const char* Chars() const noexcept { return reinterpret_cast<const char*>(data_ + pos_); }
    bool Skip(std::size_t n) noexcept
    {
        if (!Has(n))
            return false;
        pos_ += n;
        return true;
    }
    template <class T>
    bool Read(T& value) noexcept
    {
        if (!Has(sizeof value))
            return false;
        std::memcpy(&value, data_ + pos_, sizeof value);
        pos_ += sizeof value;
        return true;
    }

private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

bool MatchShortString(TStreamReader& reader, const char* text) noexcept
{
    const std::size_t length = std::strlen(text);
    std::uint8_t stored = 0;
    return reader.Read(stored) && stored == length && reader.Has(length) &&
           std::memcmp(reader.Chars(), text, length) == 0 && reader.Skip(length);
}

void ShowInvalidType(std::uint8_t type) noexcept
{
    const std::string text = "Internal error: Invalid settings resource ($" + CardinalToHex(type) + ").";
    HxMessageBox(nullptr, text.c_str(), kCaption, MB_OK | MB_ICONERROR);
}

class TLockedBuffer {
public:
    TLockedBuffer() noexcept : lock_(sharedView ? sharedView->lock : nullptr)
    {
        if (lock_)
            EnterCriticalSection(lock_);
    }
    ~TLockedBuffer()
    {
        if (lock_)
            LeaveCriticalSection(lock_);
    }
    TLockedBuffer(const TLockedBuffer&) = delete;
    TLockedBuffer& operator=(const TLockedBuffer&) = delete;
    bool Held() const noexcept { return lock_ != nullptr; }

private:
    CRITICAL_SECTION* lock_;
};

class TSettingsMutex {
public:
    TSettingsMutex() noexcept
    {
        TNullDacl dacl;
        handle_ = CreateMutexA(&dacl.attributes, FALSE, SettingsMutexName(GetCurrentProcessId()).c_str());
        if (handle_)
            WaitForSingleObject(handle_, INFINITE);
    }
    ~TSettingsMutex()
    {
        if (handle_) {
            ReleaseMutex(handle_);
            CloseHandle(handle_);
        }
    }
    TSettingsMutex(const TSettingsMutex&) = delete;
    TSettingsMutex& operator=(const TSettingsMutex&) = delete;

private:
    HANDLE handle_ = nullptr;
};

}  // namespace

THxMessageBoxProc SetHxMessageBoxHook(THxMessageBoxProc hook) noexcept
{
    return messageBoxHook.exchange(hook);
}

int HxMessageBox(HWND owner, const char* text, const char* caption, UINT type) noexcept
{
    if (THxMessageBoxProc hook = messageBoxHook.load())
        return hook(owner, text, caption, type);
    return MessageBoxA(owner, text, caption, type);
}

std::string SettingsBufferName(DWORD processId)
{
    return "hxExceptSettingsBuf$" + LowerCaseCopy(CardinalToHex(processId));
}

std::string SettingsMutexName(DWORD processId)
{
    return "hxExceptSettingsMtx$" + LowerCaseCopy(CardinalToHex(processId));
}

HRSRC FindSettingsResource(HMODULE module) noexcept
{
    return module ? FindResourceA(module, "THXEXCEPT", MAKEINTRESOURCEA(10)) : nullptr;
}

THxSettingRecord* ParseSettingsStream(const void* data, std::size_t size, std::intptr_t& capacity,
                                      std::intptr_t& count) noexcept
{
    capacity = 0;
    count = 0;
    if (!data)
        return nullptr;
    TStreamReader reader(static_cast<const unsigned char*>(data), size);
    if (!reader.Has(4) || std::memcmp(reader.Chars(), "TPF0", 4) != 0 || !reader.Skip(4) ||
        !MatchShortString(reader, "THxExcept") || !MatchShortString(reader, "hxExcept"))
        return nullptr;

    auto* table = static_cast<THxSettingRecord*>(LocalAlloc(LPTR, kInitialCapacity * sizeof(THxSettingRecord)));
    if (!table)
        return nullptr;
    capacity = kInitialCapacity;
    // A stream cut short ends the list like a name length of 0.
    for (;;) {
        std::uint8_t nameLength = 0;
        if (!reader.Read(nameLength) || nameLength == 0 || !reader.Has(nameLength))
            break;
        const char* name = reader.Chars();
        reader.Skip(nameLength);
        std::uint8_t type = 0;
        if (!reader.Read(type))
            break;
        bool ok = true;
        // Integers come in 1, 2 or 4 bytes; all are kept as integers.
        const auto readInteger = [&](auto value) {
            if (!reader.Read(value))
                return false;
            AddSettingRecord(capacity, count, table, 0, nullptr, value, false, hxKindInteger, nameLength, name);
            return true;
        };
        switch (type) {
        case 2:
            ok = readInteger(std::int8_t{});
            break;
        case 3:
            ok = readInteger(std::int16_t{});
            break;
        case 4:
            ok = readInteger(std::int32_t{});
            break;
        case 6:
        case 12: {
            std::size_t length = 0;
            if (type == 6) {
                std::uint8_t n = 0;
                ok = reader.Read(n);
                length = n;
            } else {
                std::uint32_t n = 0;
                ok = reader.Read(n);
                length = n;
            }
            ok = ok && reader.Has(length);
            if (ok) {
                AddSettingRecord(capacity, count, table, length, reader.Chars(), 0, false, hxKindString, nameLength,
                                 name);
                reader.Skip(length);
            }
            break;
        }
        case 8:
        case 9:
            AddSettingRecord(capacity, count, table, 0, nullptr, 0, type == 9, hxKindBoolean, nameLength, name);
            break;
        default:
            ShowInvalidType(type);
            return table;
        }
        if (!ok)
            break;
    }
    return table;
}

THxSettingRecord* ParseSettingsResource(HMODULE module, std::intptr_t& capacity, std::intptr_t& count) noexcept
{
    capacity = 0;
    count = 0;
    HRSRC info = FindSettingsResource(module);
    if (!info)
        return nullptr;
    HGLOBAL loaded = LoadResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data)
        return nullptr;
    THxSettingRecord* table = ParseSettingsStream(data, SizeofResource(module, info), capacity, count);
    FreeResource(loaded);
    return table;
}

std::intptr_t AddSettingRecord(std::intptr_t& capacity, std::intptr_t& count, THxSettingRecord*& table,
                               std::size_t strLength, const char* strData, std::int32_t intValue, bool boolValue,
                               std::uint8_t kind, std::size_t nameLength, const char* nameData) noexcept
{
    if (count >= capacity || !table) {
        const std::intptr_t grown = capacity + kCapacityStep;
        auto* bigger = static_cast<THxSettingRecord*>(LocalAlloc(LPTR, grown * sizeof(THxSettingRecord)));
        if (!bigger)
            return -1;
        if (table) {
            std::memcpy(bigger, table, count * sizeof(THxSettingRecord));
            LocalFree(table);
        }
        table = bigger;
        capacity = grown;
    }
    THxSettingRecord& record = table[count];
    record.name = CopyToLocal(nameData, nameLength);
    record.kind = kind;
    record.boolValue = boolValue ? 1 : 0;
    record.intValue = intValue;
    record.strValue = strData && strLength > 0 ? CopyToLocal(strData, strLength) : nullptr;
    return count++;
}

std::intptr_t FindSettingRecord(std::intptr_t count, const THxSettingRecord* table, const char* name) noexcept
{
    if (!table || !name)
        return -1;
    for (std::intptr_t i = 0; i < count; ++i) {
        const char* recordName = table[i].name;
        if (recordName && std::strcmp(recordName, name) == 0)
            return i;
    }
    return -1;
}

void FreeSettingTable(THxSettingRecord*& table, std::intptr_t& capacity, std::intptr_t& count) noexcept
{
    if (table) {
        for (std::intptr_t i = 0; i < count; ++i) {
            if (table[i].name)
                LocalFree(table[i].name);
            if (table[i].strValue)
                LocalFree(table[i].strValue);
        }
        LocalFree(table);
    }
    table = nullptr;
    capacity = 0;
    count = 0;
}

bool OpenSharedSettingsBuffer() noexcept
{
    TSettingsMutex mutex;
    if (!sharedView) {
        const std::string name = SettingsBufferName(GetCurrentProcessId());
        TNullDacl dacl;
        bool created = false;
        HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &dacl.attributes, PAGE_READWRITE, 0,
                                           sizeof(THxSharedSettingsBuf), name.c_str());
        if (mapping)
            created = GetLastError() != ERROR_ALREADY_EXISTS;
        else
            mapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str());
        void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0) : nullptr;
        auto* buffer = static_cast<THxSharedSettingsBuf*>(view);
        CRITICAL_SECTION* lock = nullptr;
        if (buffer && created) {
            lock = static_cast<CRITICAL_SECTION*>(LocalAlloc(LPTR, sizeof(CRITICAL_SECTION)));
            if (lock)
                InitializeCriticalSection(lock);
        }
        if (!buffer || (created && !lock)) {
            if (view)
                UnmapViewOfFile(view);
            if (mapping)
                CloseHandle(mapping);
            HxMessageBox(nullptr, "internal error (opening settings buffer)", kCaption, MB_OK | MB_ICONERROR);
            return false;
        }
        if (created) {
            buffer->openCount = 0;
            buffer->mapping = mapping;
            buffer->lock = lock;
            buffer->head = nullptr;
            buffer->reserved = 0;
        } else {
            CloseHandle(mapping);
        }
        sharedView = buffer;
    }
    ++sharedView->openCount;
    ++viewOpens;
    return true;
}

void CloseSharedSettingsBuffer() noexcept
{
    TSettingsMutex mutex;
    if (!sharedView || viewOpens <= 0)
        return;
    THxSharedSettingsBuf* buffer = sharedView;
    const bool last = buffer->openCount == 1;
    --buffer->openCount;
    // Everything needed after the unmap is read first.
    HANDLE mapping = buffer->mapping;
    CRITICAL_SECTION* lock = buffer->lock;
    if (last && lock) {
        DeleteCriticalSection(lock);
        LocalFree(lock);
        buffer->lock = nullptr;
    }
    // Each copy drops its own view once its own opens are closed, so that a later open maps
    // the buffer afresh instead of using a torn-down one.
    if (--viewOpens == 0) {
        UnmapViewOfFile(buffer);
        sharedView = nullptr;
    }
    if (last)
        CloseHandle(mapping);
}

THxModuleSettings* AcquireModuleSettings(HMODULE module) noexcept
{
    if (!FindSettingsResource(module) || !OpenSharedSettingsBuffer())
        return nullptr;
    THxModuleSettings* block = nullptr;
    {
        TLockedBuffer lock;
        THxModuleSettings** link = &sharedView->head;
        while (*link && (*link)->module != module)
            link = &(*link)->next;
        block = *link;
        if (!block) {
            block = static_cast<THxModuleSettings*>(LocalAlloc(LPTR, sizeof(THxModuleSettings)));
            if (block) {
                block->module = module;
                block->table = ParseSettingsResource(module, block->capacity, block->count);
                *link = block;
            }
        }
        if (block)
            ++block->useCount;
    }
    if (!block)
        CloseSharedSettingsBuffer();
    return block;
}

void ReleaseModuleSettings(THxModuleSettings* block) noexcept
{
    if (!block || !sharedView)
        return;
    {
        TLockedBuffer lock;
        if (block->useCount <= 1) {
            THxModuleSettings** link = &sharedView->head;
            while (*link && *link != block)
                link = &(*link)->next;
            if (*link)
                *link = block->next;
            FreeSettingTable(block->table, block->capacity, block->count);
            LocalFree(block);
        } else {
            --block->useCount;
        }
    }
    CloseSharedSettingsBuffer();
}

bool ReadModuleSetting(THxModuleSettings* block, const char* name, THxSettingValue& value) noexcept
{
    if (!block)
        return false;
    TLockedBuffer lock;
    const std::intptr_t index = FindSettingRecord(block->count, block->table, name);
    if (index < 0)
        return false;
    const THxSettingRecord& record = block->table[index];
    value.kind = record.kind;
    value.boolValue = record.boolValue != 0;
    value.intValue = record.intValue;
    try {
        value.strValue = record.strValue ? record.strValue : "";
    } catch (...) {
        value.strValue.clear();
    }
    return true;
}

bool WriteModuleSetting(THxModuleSettings* block, const char* name, const THxSettingValue& value,
                        bool create) noexcept
{
    if (!block || !name)
        return false;
    TLockedBuffer lock;
    std::intptr_t index = FindSettingRecord(block->count, block->table, name);
    if (index < 0 && create)
        index = AddSettingRecord(block->capacity, block->count, block->table, 0, nullptr, 0, false, value.kind,
                                 std::strlen(name), name);
    if (index < 0)
        return false;
    THxSettingRecord& record = block->table[index];
    if (record.kind != value.kind)
        return false;
    switch (value.kind) {
    case hxKindBoolean:
        record.boolValue = value.boolValue ? 1 : 0;
        break;
    case hxKindInteger:
        record.intValue = value.intValue;
        break;
    default: {
        char* copy = value.strValue.empty() ? nullptr : CopyToLocal(value.strValue.data(), value.strValue.size());
        if (!value.strValue.empty() && !copy)
            return false;
        char* old = record.strValue;
        record.strValue = copy;
        if (old)
            LocalFree(old);
        break;
    }
    }
    return true;
}
