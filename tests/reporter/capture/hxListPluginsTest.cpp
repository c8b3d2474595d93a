#include "hxExceptPlugins.h"
#include "hxExceptSupport.h"
#include "hxListHardware.h"
#include "hxListModules.h"
#include "hxListProcesses.h"
#include "hxStackLines.h"
#include "hxStrings.h"
#include "hxTools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

}  // namespace

TEST(HxListPlugins, ModulesListTheExecutableAndNtdllInAlignedColumns)
{
    const std::string exePath = GetModuleFileNameStr(nullptr);
    const std::string exeLine = StackHex(reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr))) + " " +
                                FileNameOfPath(exePath) + " ";
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    ASSERT_NE(ntdll, nullptr);
    const std::string ntdllPath = GetModuleFileNameStr(ntdll);

    bool sawExe = false, sawNtdll = false;
    size_t pathColumn = std::string::npos;
    for (const std::string& line : Lines(ListModulesText())) {
        const std::string path = line.rfind("C:") != std::string::npos ? line.substr(line.rfind("C:"))
                                                                        : line.substr(line.find_last_of(' ') + 1);
        if (line.rfind(exeLine, 0) == 0) {
            sawExe = true;
            EXPECT_TRUE(SameTextCI(path, exePath)) << line;
        }
        if (SameTextCI(path, ntdllPath)) {
            sawNtdll = true;
            // A system library carries a version: four numbers.
            const auto version = GetFileVersionNumber(ntdllPath);
            EXPECT_NE(version, 0u);
            EXPECT_NE(line.find(" " + FileVersionText(version) + " "), std::string::npos) << line;
        }
        // Every full path starts in the same column.
        const size_t column = line.size() - path.size();
        if (pathColumn == std::string::npos)
            pathColumn = column;
        EXPECT_EQ(column, pathColumn) << line;
    }
    EXPECT_TRUE(sawExe);
    EXPECT_TRUE(sawNtdll);
}

TEST(HxListPlugins, ProcessesShowThisProcess)
{
    const std::string text = ListProcessesText();
    std::string pid = StackHex(GetCurrentProcessId(), 8);
    pid.erase(0, pid.find_first_not_of('0'));
    const std::string exe = LowerCaseCopy(FileNameOfPath(GetModuleFileNameStr(nullptr)));
    bool found = false;
    const std::vector<std::string> lines = Lines(text);
    size_t width = 0;
    for (const std::string& line : lines)
        width = std::max(width, line.find(' '));
    for (const std::string& line : lines) {
        // The id column is padded to its longest entry.
        EXPECT_EQ(line.find_first_not_of(' ', width), width + 1) << line;
        if (line.rfind(pid + " ", 0) == 0 && LowerCaseCopy(line).find(exe) != std::string::npos) {
            found = true;
            EXPECT_NE(line.find(" normal "), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(found) << text;

    // The system's own list names the same process with its full path.
    std::vector<TProcessLine> queried;
    ASSERT_TRUE(QueryProcesses(queried));
    const auto self = std::find_if(queried.begin(), queried.end(), [&pid](const TProcessLine& p) { return p.Id == pid; });
    ASSERT_NE(self, queried.end());
    EXPECT_TRUE(SameTextCI(self->File, GetModuleFileNameStr(nullptr))) << self->File;
    EXPECT_EQ(self->Priority, "normal");
    EXPECT_EQ(ProcessesText({{"4", "0", "high", "a.exe"}, {"1f0", "4", "below normal", "b.exe"}}),
              "4   0 high         a.exe\r\n1f0 4 below normal b.exe");

    EXPECT_EQ(PlainProcessPath("\\??\\C:\\apps\\tool.exe"), "C:\\apps\\tool.exe");
    char system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
    EXPECT_EQ(PlainProcessPath("\\SystemRoot\\System32\\smss.exe"), std::string(system) + "\\smss.exe");
    EXPECT_EQ(PlainProcessPath("C:\\plain.exe"), "C:\\plain.exe");
}

TEST(HxListPlugins, HardwareGroupsDevicesByClass)
{
    const std::string text = HardwareText({{"Ports", "COM1"}, {"display", "Screen (driver 1.2)"}, {"ports", "COM2"}});
    EXPECT_EQ(text, "+ display\r\n  - Screen (driver 1.2)\r\n+ Ports\r\n  - COM1\r\n  - COM2");
    EXPECT_EQ(HardwareText({}), "");

    // Whatever this system has, the skipped classes never show.
    for (const THxDevice& device : ListDevices()) {
        EXPECT_FALSE(device.ClassName.empty());
        EXPECT_FALSE(SameTextCI(device.ClassName, "Volume"));
        EXPECT_FALSE(SameTextCI(device.ClassName, "LegacyDriver"));
    }
}

TEST(HxListPlugins, UnitsRegisterOnceAndLeaveWithTheirLastEnd)
{
    InitListHardware();
    InitListProcesses();
    InitListProcesses();
    EXPECT_EQ(SelectReportPlugins("hardware|unknown").size(), 1u);
    EXPECT_EQ(SelectReportPlugins("processes").size(), 1u);
    DoneListProcesses();
    EXPECT_EQ(SelectReportPlugins("processes").size(), 1u);
    DoneListProcesses();
    DoneListProcesses();  // one end too many changes nothing
    DoneListHardware();
    EXPECT_TRUE(SelectReportPlugins("processes|hardware").empty());
    for (const THxReportPlugin& plugin : ReportPlugins())
        EXPECT_NE(plugin.Name, "processes");
}
