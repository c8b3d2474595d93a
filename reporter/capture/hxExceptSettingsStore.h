#pragma once

// The reporter's settings resource "THXEXCEPT", the table of named values parsed from it and
// the process-wide store that lets every copy of the reporter in a process share one table
// per module.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

enum : std::uint8_t { hxKindString = 0, hxKindInteger = 1, hxKindBoolean = 2 };

// One named value. Tables are shared between separately built modules, so the record is
// packed; names and strings are LocalAlloc blocks owned by the table.
#pragma pack(push, 1)
struct THxSettingRecord {
    char* name;
    std::uint8_t kind;
    std::uint8_t boolValue;
    std::int32_t intValue;
    char* strValue;  // nullptr for the empty string
};
#pragma pack(pop)
static_assert(sizeof(THxSettingRecord) == 2 * sizeof(void*) + 6);

// One per module with a settings resource; pointer-sized cells.
struct THxModuleSettings {
    std::intptr_t useCount;
    HMODULE module;
    std::intptr_t capacity;
    std::intptr_t count;
    THxSettingRecord* table;
    THxModuleSettings* next;
};
static_assert(sizeof(THxModuleSettings) == 6 * sizeof(void*));

// The shared buffer, one page-file mapping per process. The critical section lives in the
// process heap: each copy of the reporter maps its own view at its own address, and a
// section must be entered at one address by all its users.
struct THxSharedSettingsBuf {
    std::intptr_t openCount;
    HANDLE mapping;
    CRITICAL_SECTION* lock;
    THxModuleSettings* head;
    std::intptr_t reserved;
};
static_assert(sizeof(THxSharedSettingsBuf) == 5 * sizeof(void*));

// A copied value of a record, safe to keep after the table changes.
struct THxSettingValue {
    std::uint8_t kind = hxKindString;
    bool boolValue = false;
    std::int32_t intValue = 0;
    std::string strValue;
};

// Message boxes of the reporter go through this function; tests replace it.
using THxMessageBoxProc = int(WINAPI*)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
THxMessageBoxProc SetHxMessageBoxHook(THxMessageBoxProc hook) noexcept;  // returns the previous one
int HxMessageBox(HWND owner, const char* text, const char* caption, UINT type) noexcept;

// Mapping and mutex names carry "$" and the process id in lower-case hexadecimal.
std::string SettingsBufferName(DWORD processId);
std::string SettingsMutexName(DWORD processId);

HRSRC FindSettingsResource(HMODULE module) noexcept;
// The table of a form stream; reads stay inside [data, data + size).
THxSettingRecord* ParseSettingsStream(const void* data, std::size_t size, std::intptr_t& capacity,
                                      std::intptr_t& count) noexcept;
THxSettingRecord* ParseSettingsResource(HMODULE module, std::intptr_t& capacity, std::intptr_t& count) noexcept;
std::intptr_t AddSettingRecord(std::intptr_t& capacity, std::intptr_t& count, THxSettingRecord*& table,
                               std::size_t strLength, const char* strData, std::int32_t intValue, bool boolValue,
                               std::uint8_t kind, std::size_t nameLength, const char* nameData) noexcept;
std::intptr_t FindSettingRecord(std::intptr_t count, const THxSettingRecord* table, const char* name) noexcept;
void FreeSettingTable(THxSettingRecord*& table, std::intptr_t& capacity, std::intptr_t& count) noexcept;

bool OpenSharedSettingsBuffer() noexcept;
void CloseSharedSettingsBuffer() noexcept;
THxModuleSettings* AcquireModuleSettings(HMODULE module) noexcept;
void ReleaseModuleSettings(THxModuleSettings* block) noexcept;

// Value access under the buffer's lock, so that a table growing or a string being replaced
// in another thread is never read half-way. The block must be acquired.
bool ReadModuleSetting(THxModuleSettings* block, const char* name, THxSettingValue& value) noexcept;
// Appends a zero record of the given kind when the name is missing and create is set.
// Succeeds only when the record's kind equals value.kind; then stores the value.
bool WriteModuleSetting(THxModuleSettings* block, const char* name, const THxSettingValue& value,
                        bool create) noexcept;
