#include "hxListProcesses.h"

#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <atomic>
#include <memory>
#include <vector>

#include "hxExceptPlugins.h"
#include "hxExceptSupport.h"
#include "hxStrings.h"

namespace {

std::atomic<int> initCount{0};

using TCreateSnapshot = HANDLE(WINAPI*)(DWORD, DWORD);
using TProcessWalk = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);

std::string PriorityClassName(LONG basePriority)
{
    if (basePriority <= 4)
        return "idle";
    if (basePriority <= 6)
        return "below normal";
    if (basePriority <= 8)
        return "normal";
    if (basePriority <= 10)
        return "above normal";
    if (basePriority <= 15)
        return "high";
    return "realtime";
}

// The priority class the process reports; the snapshot's base priority when it cannot be opened.
std::string ProcessPriority(DWORD id, LONG basePriority)
{
    if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id)) {
        const DWORD priorityClass = GetPriorityClass(process);
        CloseHandle(process);
        switch (priorityClass) {
        case IDLE_PRIORITY_CLASS: return "idle";
        case BELOW_NORMAL_PRIORITY_CLASS: return "below normal";
        case NORMAL_PRIORITY_CLASS: return "normal";
        case ABOVE_NORMAL_PRIORITY_CLASS: return "above normal";
        case HIGH_PRIORITY_CLASS: return "high";
        case REALTIME_PRIORITY_CLASS: return "realtime";
        default: break;
        }
    }
    return basePriority > 0 ? PriorityClassName(basePriority) : "normal";
}

std::string NameOfProcess(DWORD id, const char* exeFile, size_t capacity)
{
    if (id == 0)
        return "Idle";
    return PlainProcessPath(std::string(exeFile, strnlen(exeFile, capacity)));
}

bool SnapshotProcesses(std::vector<TProcessLine>& lines)
{
    const auto createSnapshot = SystemProc<TCreateSnapshot>("kernel32.dll", "CreateToolhelp32Snapshot");
    const auto first = SystemProc<TProcessWalk>("kernel32.dll", "Process32First");
    const auto next = SystemProc<TProcessWalk>("kernel32.dll", "Process32Next");
    if (!createSnapshot || !first || !next)
        return false;
    const HANDLE raw = createSnapshot(TH32CS_SNAPPROCESS, 0);
    if (raw == INVALID_HANDLE_VALUE || !raw)
        return false;
    const std::unique_ptr<void, decltype(&CloseHandle)> snapshot(raw, &CloseHandle);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = first(raw, &entry); more; more = next(raw, &entry)) {
        lines.push_back({CardinalToHex(entry.th32ProcessID), CardinalToHex(entry.th32ParentProcessID),
                         ProcessPriority(entry.th32ProcessID, entry.pcPriClassBase),
                         NameOfProcess(entry.th32ProcessID, entry.szExeFile, sizeof entry.szExeFile)});
        entry.dwSize = sizeof entry;
    }
    return true;
}

using TQuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
using TGetModuleFileNameEx = DWORD(WINAPI*)(HANDLE, HMODULE, char*, DWORD);

constexpr ULONG SystemProcessInformationClass = 5;
constexpr LONG StatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

std::string AnsiOf(const UNICODE_STRING& name)
{
    const int chars = static_cast<int>(name.Length / sizeof(wchar_t));
    if (!name.Buffer || chars <= 0)
        return {};
    const int size = WideCharToMultiByte(CP_ACP, 0, name.Buffer, chars, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, name.Buffer, chars, text.data(), size, nullptr, nullptr);
    return text;
}

std::string FullProcessFileName(TGetModuleFileNameEx getFileName, DWORD id)
{
    if (!getFileName)
        return {};
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
    if (!process)
        return {};
    std::array<char, MAX_PATH> path{};
    const DWORD length = getFileName(process, nullptr, path.data(), static_cast<DWORD>(path.size()));
    CloseHandle(process);
    return length > 0 && length < path.size() ? std::string(path.data(), length) : std::string();
}

}  // namespace

bool QueryProcesses(std::vector<TProcessLine>& lines)
{
    const auto query = SystemProc<TQuerySystemInformation>("ntdll.dll", "NtQuerySystemInformation");
    if (!query)
        return false;
    // The list grows while we ask; the size the call names is only a hint.
    std::vector<std::uint64_t> buffer(0x10000 / sizeof(std::uint64_t));
    ULONG needed = 0;
    LONG status = StatusInfoLengthMismatch;
    for (int attempt = 0; attempt < 8 && status == StatusInfoLengthMismatch; ++attempt) {
        const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t));
        status = query(SystemProcessInformationClass, buffer.data(), size, &needed);
        if (status == StatusInfoLengthMismatch) {
            const size_t next = std::max<size_t>(size * 2, needed + 0x4000);
            if (next > 0x4000000)
                return false;
            buffer.resize(next / sizeof(std::uint64_t) + 1);
        }
    }
    if (status < 0)
        return false;
    const TLibraryOwner psapi(LoadLibraryA("psapi.dll"));
    const auto getFileName = LibraryProc<TGetModuleFileNameEx>(psapi.get(), "GetModuleFileNameExA");
    const auto* start = reinterpret_cast<const BYTE*>(buffer.data());
    const size_t total = buffer.size() * sizeof(std::uint64_t);
    size_t offset = 0;
    while (offset + sizeof(SYSTEM_PROCESS_INFORMATION) <= total) {
        const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(start + offset);
        const auto id = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(entry->UniqueProcessId));
        const auto parentId = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(entry->InheritedFromUniqueProcessId));
        std::string file = id == 0 ? std::string("Idle") : FullProcessFileName(getFileName, id);
        if (file.empty())
            file = AnsiOf(entry->ImageName);
        lines.push_back({CardinalToHex(id), CardinalToHex(parentId), ProcessPriority(id, entry->BasePriority),
                         PlainProcessPath(file)});
        if (entry->NextEntryOffset == 0)
            break;
        offset += entry->NextEntryOffset;
    }
    return true;
}

namespace {

void PadColumn(std::vector<TProcessLine>& lines, std::string TProcessLine::*column)
{
    size_t width = 0;
    for (const TProcessLine& line : lines)
        width = std::max(width, (line.*column).size());
    for (TProcessLine& line : lines)
        (line.*column).append(width - (line.*column).size(), ' ');
}

}  // namespace

std::string PlainProcessPath(const std::string& path)
{
    static constexpr std::string_view systemRoot = "\\SystemRoot\\System32\\";
    static constexpr std::string_view dosDevices = "\\??\\";
    if (path.size() >= systemRoot.size() && SameTextCI(std::string_view(path).substr(0, systemRoot.size()), systemRoot)) {
        std::array<char, MAX_PATH> folder{};
        const UINT length = GetSystemDirectoryA(folder.data(), static_cast<UINT>(folder.size()));
        if (length > 0 && length < folder.size())
            return std::string(folder.data(), length) + "\\" + path.substr(systemRoot.size());
        return path;
    }
    if (path.compare(0, dosDevices.size(), dosDevices) == 0)
        return path.substr(dosDevices.size());
    return path;
}

std::string ListProcessesText()
{
    std::vector<TProcessLine> lines;
    if (!SnapshotProcesses(lines) && !QueryProcesses(lines))
        return {};
    return ProcessesText(lines);
}

std::string ProcessesText(std::vector<TProcessLine> lines)
{
    PadColumn(lines, &TProcessLine::Id);
    PadColumn(lines, &TProcessLine::ParentId);
    PadColumn(lines, &TProcessLine::Priority);
    std::string text;
    for (const TProcessLine& line : lines) {
        if (!text.empty())
            text += "\r\n";
        text += line.Id + ' ' + line.ParentId + ' ' + line.Priority + ' ' + line.File;
    }
    return text;
}

void InitListProcesses() noexcept
{
    AcquireReportPlugin(initCount, "processes", "list of running processes", &ListProcessesText, true);
}

void DoneListProcesses() noexcept
{
    ReleaseReportPlugin(initCount, "processes");
}
