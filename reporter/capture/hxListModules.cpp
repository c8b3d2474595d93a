#include "hxListModules.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "hxExceptPlugins.h"
#include "hxExceptSupport.h"
#include "hxStackLines.h"
#include "hxStrings.h"
#include "hxTools.h"

namespace {

struct TModuleLine {
    uintptr_t Handle;
    std::string Name;
    std::string Path;
    std::string Version;
};

std::atomic<int> initCount{0};

}  // namespace

std::string ListModulesText()
{
    std::vector<TModuleLine> modules;
    for (const THxModule& module : GetModuleList()) {
        const std::uint64_t version = GetFileVersionNumber(module.Name);
        modules.push_back({reinterpret_cast<uintptr_t>(module.Handle), FileNameOfPath(module.Name), module.Name,
                           version ? FileVersionText(version) : std::string()});
    }
    size_t nameWidth = 0;
    size_t versionWidth = 0;
    for (const TModuleLine& m : modules) {
        nameWidth = std::max(nameWidth, m.Name.size());
        versionWidth = std::max(versionWidth, m.Version.size());
    }
    std::string text;
    for (const TModuleLine& m : modules) {
        if (!text.empty())
            text += "\r\n";
        text += StackHex(m.Handle) + ' ' + PadToWidth(m.Name, -static_cast<int>(nameWidth + 1)) +
                PadToWidth(m.Version, -static_cast<int>(versionWidth + 1)) + m.Path;
    }
    return text;
}

void InitListModules() noexcept
{
    AcquireReportPlugin(initCount, "modules", "list of loaded modules", &ListModulesText, true);
}

void DoneListModules() noexcept
{
    ReleaseReportPlugin(initCount, "modules");
}
