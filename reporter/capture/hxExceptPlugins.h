#pragma once

// The report plug-in table, the disassembler hook and the trace export. A plug-in adds a named
// part to the bug report: a section calculated in the background, or a header field.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hxDisAsm.h"

using THxPluginProc = std::string (*)();

struct THxReportPlugin {
    std::string Name;
    std::string Description;
    THxPluginProc Callback = nullptr;
    bool Background = false;      // true: a section of the calculation thread; false: a header field
};

// Appends a record; duplicates are kept.
void AddReportPlugin(const std::string& name, const std::string& description, THxPluginProc callback,
                     bool background) noexcept;
// Removes the first record of exactly that name; other letter case removes nothing.
void RemoveReportPlugin(std::string_view name) noexcept;
// Counted registration of a plug-in unit: the first acquire adds the record, the release that
// takes the count back to 0 removes it; a release at 0 does nothing.
void AcquireReportPlugin(std::atomic<int>& count, const std::string& name, const std::string& description,
                         THxPluginProc callback, bool background) noexcept;
void ReleaseReportPlugin(std::atomic<int>& count, std::string_view name) noexcept;
// A copy of the table, in registration order.
std::vector<THxReportPlugin> ReportPlugins();
// For each "|"-separated name of the Plugins setting, the first record of that name in any case;
// unknown names are skipped.
std::vector<THxReportPlugin> SelectReportPlugins(std::string_view pluginsSetting);
// The plug-in's text; a callback that throws gives ">> internal error in " and the plug-in's name.
std::string CallReportPlugin(const THxReportPlugin& plugin) noexcept;

// The disassembler: empty until the disassembly composer is linked in.
using THxDisAsmHook = void (*)(uintptr_t functionAddress, std::string& text, uintptr_t exceptionAddress,
                               TFunctionInfo& info, int limit);
THxDisAsmHook DisAsmHook() noexcept;
void SetDisAsmHook(THxDisAsmHook hook) noexcept;

// A report section as the report text writes it: blank line, "name:", then the value's lines
// without trailing blanks, an empty line written "."; a line that begins with "date/time" or
// "callstack crc" gets one leading blank, so that it never reads as a report's own line.
void AppendTraceSection(std::string& report, std::string_view name, std::string_view value);

// What the trace export reports. The default writes the background sections of the main
// module's Plugins setting; the exception object's complete report replaces it.
using THxTraceReportBuilder = std::string (*)();
THxTraceReportBuilder SetTraceReportBuilder(THxTraceReportBuilder builder) noexcept;
std::string DefaultTraceReport();

inline constexpr const char* TraceMappingName = "hxTraceProcessMap";
inline constexpr const char* GlobalTraceMappingName = "Global\\hxTraceProcessMap";

// Copies the text and its terminating zero to the view, cut to limit - 1 characters and to the
// view's own size; returns the number of characters written.
size_t CopyTraceText(std::string_view text, int limit, void* view) noexcept;

// Another program creates the mapping, calls this in our process and reads the report.
extern "C" __attribute__((dllexport)) int __stdcall hxTraceProcess(int limit);
