#include "hxExceptPlugins.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "hxExceptSettings.h"
#include "hxExceptSupport.h"
#include "hxStrings.h"
#include "hxTools.h"

namespace {

std::mutex& TableLock()
{
    static std::mutex lock;
    return lock;
}

std::vector<THxReportPlugin>& Table()
{
    static std::vector<THxReportPlugin> table;
    return table;
}

std::atomic<THxDisAsmHook> disAsmHook{nullptr};
std::atomic<THxTraceReportBuilder> traceBuilder{nullptr};

constexpr std::string_view DefaultPlugins = "modules|processes|hardware";

// A section line that begins like a report's first line or its checksum line would be taken for
// one in the bug-report file (a report start, a duplicate key); such lines are moved in by a blank.
bool ReadsAsReportLine(std::string_view line)
{
    return line.starts_with("date/time") || line.starts_with("callstack crc");
}

// The mapping the calling program created; nullptr when there is none.
HANDLE OpenTraceMapping() noexcept
{
    if (!GetOsInfo().Is9x)
        if (HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, GlobalTraceMappingName))
            return mapping;
    return OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, TraceMappingName);
}

// Keeps the calling thread out of the report's thread names while it builds the report.
class TTraceThreadName {
public:
    TTraceThreadName() noexcept { AssignThreadName(GetCurrentThreadId(), "-"); }
    ~TTraceThreadName() { SetThreadInfo(GetCurrentThreadId()); }
    TTraceThreadName(const TTraceThreadName&) = delete;
    TTraceThreadName& operator=(const TTraceThreadName&) = delete;
};

}  // namespace

void AddReportPlugin(const std::string& name, const std::string& description, THxPluginProc callback,
                     bool background) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(TableLock());
        Table().push_back({name, description, callback, background});
    } catch (...) {
    }
}

void RemoveReportPlugin(std::string_view name) noexcept
{
    std::lock_guard<std::mutex> guard(TableLock());
    auto& table = Table();
    const auto found = std::find_if(table.begin(), table.end(),
                                    [name](const THxReportPlugin& p) { return p.Name == name; });
    if (found != table.end())
        table.erase(found);
}

void AcquireReportPlugin(std::atomic<int>& count, const std::string& name, const std::string& description,
                         THxPluginProc callback, bool background) noexcept
{
    if (count.fetch_add(1) == 0)
        AddReportPlugin(name, description, callback, background);
}

void ReleaseReportPlugin(std::atomic<int>& count, std::string_view name) noexcept
{
    int current = count.load();
    while (current > 0 && !count.compare_exchange_weak(current, current - 1)) {
    }
    if (current == 1)
        RemoveReportPlugin(name);
}

std::vector<THxReportPlugin> ReportPlugins()
{
    std::lock_guard<std::mutex> guard(TableLock());
    return Table();
}

std::vector<THxReportPlugin> SelectReportPlugins(std::string_view pluginsSetting)
{
    const std::vector<THxReportPlugin> table = ReportPlugins();
    std::vector<THxReportPlugin> selected;
    for (const std::string& name : SplitSettingList(std::string(pluginsSetting), '|')) {
        const auto found = std::find_if(table.begin(), table.end(),
                                        [&name](const THxReportPlugin& p) { return SameTextCI(p.Name, name); });
        if (!name.empty() && found != table.end())
            selected.push_back(*found);
    }
    return selected;
}

std::string CallReportPlugin(const THxReportPlugin& plugin) noexcept
{
    try {
        return plugin.Callback ? plugin.Callback() : std::string();
    } catch (...) {
        try {
            return ">> internal error in " + plugin.Name;
        } catch (...) {
            return {};
        }
    }
}

THxDisAsmHook DisAsmHook() noexcept
{
    return disAsmHook.load();
}

void SetDisAsmHook(THxDisAsmHook hook) noexcept
{
    disAsmHook.store(hook);
}

void AppendTraceSection(std::string& report, std::string_view name, std::string_view value)
{
    report += "\r\n\r\n";
    report += name;
    if (name.find(':') == std::string_view::npos)
        report += ':';
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            end = value.size();
        std::string_view line = value.substr(start, end - start);
        while (!line.empty() && line.back() == ' ')
            line.remove_suffix(1);
        report += "\r\n";
        if (line.empty())
            report += '.';
        else if (ReadsAsReportLine(line))
            report.append(" ").append(line);
        else
            report += line;
        if (end < value.size() && value[end] == '\r' && end + 1 < value.size() && value[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
}

THxTraceReportBuilder SetTraceReportBuilder(THxTraceReportBuilder builder) noexcept
{
    return traceBuilder.exchange(builder);
}

std::string DefaultTraceReport()
{
    std::string plugins(DefaultPlugins);
    if (const TSettingsPtr settings = MainModuleSettings()) {
        Microsoft::WRL::ComPtr<IVQSettingValues> values;
        if (SUCCEEDED(settings.As(&values)))
            plugins = values->ReadString("Plugins");
    }
    std::string report;
    for (const THxReportPlugin& plugin : SelectReportPlugins(plugins))
        if (plugin.Background)
            AppendTraceSection(report, plugin.Name, CallReportPlugin(plugin));
    // The sections follow a header; without one the report starts with the first section's name.
    return report.size() >= 4 ? report.substr(4) : report;
}

size_t CopyTraceText(std::string_view text, int limit, void* view) noexcept
{
    if (limit < 1 || !view)
        return 0;
    MEMORY_BASIC_INFORMATION region{};
    if (!VirtualQuery(view, &region, sizeof region) || region.State != MEM_COMMIT)
        return 0;
    const size_t viewSize =
        static_cast<size_t>(static_cast<char*>(region.BaseAddress) + region.RegionSize - static_cast<char*>(view));
    if (viewSize == 0)
        return 0;
    size_t length = std::min(text.size(), static_cast<size_t>(limit) - 1);
    length = std::min(length, viewSize - 1);
    std::memcpy(view, text.data(), length);
    static_cast<char*>(view)[length] = '\0';
    return length;
}

#if !defined(_WIN64)
// The 32-bit export keeps its plain name beside the decorated one.
__asm__(".section .drectve\n\t.ascii \" -export:hxTraceProcess=hxTraceProcess@4\"\n\t.text");
#endif

extern "C" int __stdcall hxTraceProcess(int limit)
{
    try {
        TTraceThreadName name;
        const THxTraceReportBuilder builder = traceBuilder.load();
        const std::string report = builder ? builder() : DefaultTraceReport();
        if (limit >= 1) {
            const std::unique_ptr<void, decltype(&CloseHandle)> mapping(OpenTraceMapping(), &CloseHandle);
            if (mapping) {
                const std::unique_ptr<void, decltype(&UnmapViewOfFile)> view(
                    MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0), &UnmapViewOfFile);
                CopyTraceText(report, limit, view.get());
            }
        } else {
            CopyTextToClipboard(report);
        }
    } catch (...) {
    }
    return 0;
}
