#include "hxExceptPlugins.h"

#include "hxExceptSupport.h"
#include "hxListModules.h"
#include "hxStrings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string FirstText() { return "first"; }
std::string SecondText() { return "second"; }
std::string ThrowingText() { throw std::runtime_error("broken"); }

std::vector<std::string> Names(const std::vector<THxReportPlugin>& plugins)
{
    std::vector<std::string> names;
    for (const THxReportPlugin& p : plugins)
        names.push_back(p.Name);
    return names;
}

// A mapping as the calling program creates it; closed at the end of the test.
struct TTraceMapping {
    explicit TTraceMapping(DWORD size)
        : Handle(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, TraceMappingName)),
          View(Handle ? MapViewOfFile(Handle, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr)
    {
        if (View)
            std::memset(View, 'x', size);
    }
    ~TTraceMapping()
    {
        if (View)
            UnmapViewOfFile(View);
        if (Handle)
            CloseHandle(Handle);
    }
    const char* Text() const { return static_cast<const char*>(View); }
    HANDLE Handle;
    void* View;
};

std::string longReport;
std::string LongReport() { return longReport; }

std::string nameWhileTracing = "unset";
std::string NamedReport()
{
    nameWhileTracing = GetThreadName(GetCurrentThreadId(), false);
    return "traced";
}

using TTraceProc = int(__stdcall*)(int);

int TraceThroughExport(int limit)
{
    const auto trace = reinterpret_cast<TTraceProc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), "hxTraceProcess")));
    return trace ? trace(limit) : -1;
}

struct TBuilderScope {
    explicit TBuilderScope(THxTraceReportBuilder builder) : Old(SetTraceReportBuilder(builder)) {}
    ~TBuilderScope() { SetTraceReportBuilder(Old); }
    THxTraceReportBuilder Old;
};

}  // namespace

TEST(HxExceptPlugins, TableAddsRemovesAndSelects)
{
    AddReportPlugin("alpha", "first plug-in", &FirstText, true);
    AddReportPlugin("Beta", "second plug-in", &SecondText, false);
    AddReportPlugin("ALPHA", "a duplicate in other case", &SecondText, true);

    // The first record of a name wins; unknown and empty names are skipped.
    const auto selected = SelectReportPlugins("beta|nothing||alpha");
    ASSERT_EQ(Names(selected), (std::vector<std::string>{"Beta", "alpha"}));
    EXPECT_EQ(CallReportPlugin(selected[1]), "first");
    EXPECT_EQ(Names(SelectReportPlugins("alpha")), std::vector<std::string>{"alpha"});

    RemoveReportPlugin("BETA");
    EXPECT_EQ(SelectReportPlugins("beta").size(), 1u);
    RemoveReportPlugin("alpha");
    const auto left = SelectReportPlugins("alpha");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].Name, "ALPHA");
    RemoveReportPlugin("Beta");
    RemoveReportPlugin("ALPHA");
    RemoveReportPlugin("unknown");
    EXPECT_TRUE(SelectReportPlugins("alpha|beta").empty());

    const THxReportPlugin broken{"broken", "", &ThrowingText, true};
    EXPECT_EQ(CallReportPlugin(broken), ">> internal error in broken");
}

TEST(HxExceptPlugins, SectionLayout)
{
    std::string report = "head";
    AppendTraceSection(report, "modules", "one  \r\n\r\n  two\rthree\n   ");
    AppendTraceSection(report, "named: already", "x");
    EXPECT_EQ(report, "head\r\n\r\nmodules:\r\none\r\n.\r\n  two\r\nthree\r\n.\r\n\r\nnamed: already\r\nx");
}

TEST(HxExceptPlugins, TraceWritesIntoTheCallersMapping)
{
    ASSERT_NE(GetProcAddress(GetModuleHandleA(nullptr), "hxTraceProcess"), nullptr);
    longReport = std::string(10000, 'r');
    TBuilderScope scope(&LongReport);

    // No mapping: nothing to write, still 0.
    EXPECT_EQ(TraceThroughExport(10), 0);
    {
        TTraceMapping mapping(4096);
        ASSERT_NE(mapping.View, nullptr);
        EXPECT_EQ(TraceThroughExport(10), 0);
        EXPECT_EQ(std::string(mapping.Text(), 10), std::string(9, 'r') + '\0');
        EXPECT_EQ(mapping.Text()[10], 'x');

        // A limit beyond the view is cut at the view's end.
        EXPECT_EQ(TraceThroughExport(1 << 20), 0);
        EXPECT_EQ(std::string(mapping.Text(), 4096), std::string(4095, 'r') + '\0');
    }
    char small[16];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(CopyTraceText("short", 100, small), 5u);
    EXPECT_STREQ(small, "short");
    EXPECT_EQ(CopyTraceText("short", 0, small), 0u);
}

TEST(HxExceptPlugins, TraceWithoutLimitUsesTheClipboardAndHidesTheThread)
{
    DWORD mainThread = 0;
    ASSERT_EQ(ModuleThreadTable().Open(mainThread), TThreadTableResult::Opened);
    TBuilderScope scope(&NamedReport);
    std::string nameAfter;
    std::thread tracer([&nameAfter] {
        AssignThreadName(GetCurrentThreadId(), "tracer");
        EXPECT_EQ(TraceThroughExport(0), 0);
        nameAfter = GetThreadName(GetCurrentThreadId(), true);
    });
    tracer.join();
    ModuleThreadTable().Close();
    EXPECT_EQ(nameWhileTracing, "");
    EXPECT_EQ(nameAfter.rfind("thread $", 0), 0u) << nameAfter;

    ASSERT_TRUE(OpenClipboard(nullptr));
    const HANDLE data = GetClipboardData(CF_TEXT);
    ASSERT_NE(data, nullptr);
    EXPECT_STREQ(static_cast<const char*>(GlobalLock(data)), "traced");
    GlobalUnlock(data);
    CloseClipboard();
}

TEST(HxExceptPlugins, DefaultTraceReportListsTheModules)
{
    InitListModules();
    InitListModules();
    DoneListModules();
    TTraceMapping mapping(1 << 20);
    ASSERT_NE(mapping.View, nullptr);
    EXPECT_EQ(TraceThroughExport(1 << 20), 0);
    DoneListModules();
    EXPECT_TRUE(SelectReportPlugins("modules").empty());

    const std::string report = mapping.Text();
    ASSERT_EQ(report.rfind("modules:\r\n", 0), 0u) << report.substr(0, 200);
    const std::string exe = LowerCaseCopy(FileNameOfPath(GetModuleFileNameStr(nullptr)));
    EXPECT_NE(LowerCaseCopy(report).find(" " + exe + " "), std::string::npos);
    EXPECT_NE(LowerCaseCopy(report).find(" ntdll.dll "), std::string::npos);
}
