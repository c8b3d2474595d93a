#include "hxListProcesses.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <atomic>
#include <memory>
#include <vector>

#include "hxExceptPlugins.h"
#include "hxStackLines.h"
#include "hxStrings.h"

namespace {

struct TProcessLine {
    std::string Id;
    std::string ParentId;
    std::string Priority;
    std::string File;
};

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

std::string HexId(DWORD id)
{
    std::string s = StackHex(id, 8);
    const size_t first = s.find_first_not_of('0');
    return first == std::string::npos ? "0" : s.substr(first);
}

std::string NameOfProcess(DWORD id, const char* exeFile, size_t capacity)
{
    if (id == 0)
        return "Idle";
    return PlainProcessPath(std::string(exeFile, strnlen(exeFile, capacity)));
}

bool SnapshotProcesses(std::vector<TProcessLine>& lines)
{
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel)
        return false;
    const auto createSnapshot =
        reinterpret_cast<TCreateSnapshot>(reinterpret_cast<void*>(GetProcAddress(kernel, "CreateToolhelp32Snapshot")));
    const auto first = reinterpret_cast<TProcessWalk>(reinterpret_cast<void*>(GetProcAddress(kernel, "Process32First")));
    const auto next = reinterpret_cast<TProcessWalk>(reinterpret_cast<void*>(GetProcAddress(kernel, "Process32Next")));
    if (!createSnapshot || !first || !next)
        return false;
    const HANDLE raw = createSnapshot(TH32CS_SNAPPROCESS, 0);
    if (raw == INVALID_HANDLE_VALUE || !raw)
        return false;
    const std::unique_ptr<void, decltype(&CloseHandle)> snapshot(raw, &CloseHandle);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = first(raw, &entry); more; more = next(raw, &entry)) {
        lines.push_back({HexId(entry.th32ProcessID), HexId(entry.th32ParentProcessID),
                         ProcessPriority(entry.th32ProcessID, entry.pcPriClassBase),
                         NameOfProcess(entry.th32ProcessID, entry.szExeFile, sizeof entry.szExeFile)});
        entry.dwSize = sizeof entry;
    }
    return true;
}

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
    if (!SnapshotProcesses(lines))
        return {};
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
    if (initCount.fetch_add(1) == 0)
        AddReportPlugin("processes", "list of running processes", &ListProcessesText, true);
}

void DoneListProcesses() noexcept
{
    int count = initCount.load();
    while (count > 0 && !initCount.compare_exchange_weak(count, count - 1)) {
    }
    if (count == 1)
        RemoveReportPlugin("processes");
}
