#include "hxExceptHeader.h"

#include "hxExceptPlugins.h"
#include "hxExceptSupport.h"
#include "hxTypes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <utility>
#include <vector>

// The program's own exception root lives at global scope; this definition is token for token the
// same, so the two may meet in one executable.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }

    std::string Message;
};

namespace {

struct TMixin {
    virtual ~TMixin() = default;
    int Padding[5] = {};
};
// The exception base lies behind another one.
struct EMixed : TMixin, Exception {
    using Exception::Exception;
};
struct TPlainObject {
    virtual ~TPlainObject() = default;
};

std::vector<std::pair<std::string, std::string>> Entries(const TFieldsPtr& fields)
{
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < fields->GetCount(); ++i)
        entries.emplace_back(fields->GetName(i), fields->GetValue(fields->GetName(i)));
    return entries;
}

TFieldsPtr FilledHeader(const THeaderInput& input)
{
    TFieldsPtr header = NewFields(nullptr, true);
    FillBugReportHeader(*header.Get(), input);
    return header;
}

std::string ProcessIdText()
{
    char text[16];
    std::snprintf(text, sizeof text, "$%lx", static_cast<unsigned long>(GetCurrentProcessId()));
    return text;
}

std::string PluginText() { return "plug-in  text"; }

} // namespace

TEST(HxExceptHeader, ReportTextLaysOutHeaderAndSections)
{
    TFieldsPtr header = NewFields(nullptr, true);
    header->Add("date/time", "now");
    header->Add("wts client name", "one\r\ntwo  three\rfour\n\nfive");
    TFieldsPtr sections = NewFields(nullptr, true);
    sections->Add("main thread ($1c):", "line 1   \r\n     \n  indented\r\rlast");
    sections->Add("cpu registers", "eax = 1");
    EXPECT_EQ(BugReportText(*header.Get(), *sections.Get()),
              "date/time       : now\r\n"
              "wts client name : one two three four five\r\n\r\n"
              "main thread ($1c):\r\nline 1\r\n.\r\n  indented\r\n.\r\nlast\r\n\r\n"
              "cpu registers:\r\neax = 1");

    // A header alone ends without a line end too.
    TFieldsPtr none = NewFields(nullptr, true);
    header->Add("exception message", "x");
    EXPECT_EQ(BugReportText(*header.Get(), *none.Get()).substr(0, 20), "date/time         : ");
    EXPECT_NE(BugReportText(*header.Get(), *none.Get()).back(), '\n');
}

TEST(HxExceptHeader, UpTimeTextHasTwoUnitParts)
{
    EXPECT_EQ(UpTimeText(86400 + 3600 + 60 + 1), "1 day 1 hour ");
    EXPECT_EQ(UpTimeText(59), "59 seconds ");
    EXPECT_EQ(UpTimeText(3600), "1 hour ");
    EXPECT_EQ(UpTimeText(86400), "1 day ");
    EXPECT_EQ(UpTimeText(2 * 86400 + 3 * 3600 + 59), "2 days 3 hours ");
    EXPECT_EQ(UpTimeText(3600 + 120 + 5), "1 hour 2 minutes ");
    EXPECT_EQ(UpTimeText(61), "1 minute 1 second ");
    EXPECT_EQ(UpTimeText(0), "");
    EXPECT_EQ(UpTimeText(-10), "");
}

TEST(HxExceptHeader, ClassNamesAndMessages)
{
    const Exception plain("\r\n Disk full!!\t");
    EXPECT_EQ(ExceptionClassName(&plain), "Exception");
    EXPECT_EQ(ExceptionMessageText(&plain), " Disk full.");

    const EMixed mixed("Wrong turn.");
    EXPECT_EQ(ExceptionClassName(&mixed), "(anonymous namespace).EMixed");
    EXPECT_EQ(ExceptionMessageText(&mixed), "Wrong turn.");

    const HxException own("");
    EXPECT_EQ(ExceptionClassName(&own), "HxException");
    EXPECT_EQ(ExceptionMessageText(&own), "Unknown.");

    // Other objects give their class name; no object, or a non-object, gives "Unknown".
    const TPlainObject other;
    EXPECT_EQ(ExceptionMessageText(&other), "(anonymous namespace).TPlainObject.");
    const std::uintptr_t notAnObject[2] = {12345, 0};
    EXPECT_EQ(ExceptionClassName(notAnObject), "Unknown");
    EXPECT_EQ(ExceptionClassName(nullptr), "Unknown");
    EXPECT_EQ(ExceptionMessageText(nullptr), "Unknown.");
}

TEST(HxExceptHeader, HeaderFieldsOfAnException)
{
    AddReportPlugin("HeaderTestField", "", PluginText, false);
    AddReportPlugin("HeaderTestSection", "", PluginText, true);
    RecordProgramStartTime();
    const Exception error("Disk full!!");
    THeaderInput input;
    input.ExceptionObject = &error;
    input.VersionText = "1.2.3";
    input.Plugins = "headertestsection|Missing|headertestfield";
    TFieldsPtr header = FilledHeader(input);
    RemoveReportPlugin("HeaderTestField");
    RemoveReportPlugin("HeaderTestSection");

    const std::vector<std::string> order = {
        "date/time", "computer name", "wts client name", "user name", "operating system", "system language",
        "system up time", "program up time", "processor", "processors", "physical memory", "free disk space",
        "display mode", "process id", "allocated memory", "command line", "executable", "current module",
        "exec. date/time", "module date/time", "version", "bde version", "hxExcept version", "HeaderTestField",
        "exception class", "exception message"};
    std::size_t next = 0;
    for (const auto& [name, value] : Entries(header)) {
        const auto at = std::find(order.begin() + next, order.end(), name);
        ASSERT_NE(at, order.end()) << name << " is unknown or out of order";
        next = at - order.begin() + 1;
    }

    EXPECT_TRUE(std::regex_match(header->GetValue("date/time"),
                                 std::regex(R"(\d{4}-\d\d-\d\d, \d\d:\d\d:\d\d, \d{1,3}ms)")));
    EXPECT_TRUE(std::regex_match(header->GetValue("exec. date/time"), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d)")));
    EXPECT_TRUE(std::regex_match(header->GetValue("display mode"), std::regex(R"(\d+x\d+, \d+ bit)")));
    EXPECT_TRUE(std::regex_match(header->GetValue("physical memory"), std::regex(R"(\d+/\d+ MB \(free/total\))")));
    EXPECT_NE(header->GetValue("program up time"), "");
    EXPECT_EQ(header->GetValue("computer name"), GetComputerNameStr());
    EXPECT_EQ(header->GetValue("process id"), ProcessIdText());
    EXPECT_EQ(header->GetValue("executable"), FileNameOfPath(GetModuleFileNameStr(nullptr)));
    EXPECT_EQ(header->IndexOf("current module"), -1);
    EXPECT_EQ(header->GetValue("version"), "1.2.3");
    EXPECT_EQ(header->GetValue("hxExcept version"), "3.0");
    EXPECT_EQ(header->GetValue("HeaderTestField"), "plug-in  text");
    EXPECT_EQ(header->IndexOf("HeaderTestSection"), -1);
    EXPECT_EQ(header->GetValue("exception class"), "Exception");
    EXPECT_EQ(header->GetValue("exception message"), "Disk full.");
    std::string commandLine = GetCommandLineA();
    while (!commandLine.empty() && commandLine.back() == ' ')
        commandLine.pop_back();
    EXPECT_EQ(header->GetValue("command line"), __argc > 1 ? commandLine : "");
}

TEST(HxExceptHeader, FreezesAndPlainObjects)
{
    THeaderInput freeze;
    freeze.Kind = 1;
    freeze.FrozenMsg = "The program does not answer.";
    TFieldsPtr header = FilledHeader(freeze);
    EXPECT_EQ(header->GetValue("exception message"), "The program does not answer.");
    EXPECT_EQ(header->IndexOf("exception class"), -1);

    // A message that is only the class name is not repeated.
    const TPlainObject other;
    THeaderInput plain;
    plain.ExceptionObject = &other;
    header = FilledHeader(plain);
    EXPECT_EQ(header->GetValue("exception class"), "(anonymous namespace).TPlainObject");
    EXPECT_EQ(header->IndexOf("exception message"), -1);
    header = FilledHeader(THeaderInput{});
    EXPECT_EQ(header->GetValue("exception class"), "Unknown");
    EXPECT_EQ(header->IndexOf("exception message"), -1);
}

TEST(HxExceptHeader, ReportOfALibraryNamesTheModule)
{
    const HMODULE library = LoadLibraryA(HX_SETTINGS_TEST_DLL);
    ASSERT_NE(library, nullptr);
    THeaderInput input;
    input.Module = library;
    TFieldsPtr header = FilledHeader(input);
    EXPECT_EQ(header->GetValue("current module"), HX_SETTINGS_TEST_DLL);
    EXPECT_EQ(header->IndexOf("exec. date/time"), -1);
    EXPECT_TRUE(std::regex_match(header->GetValue("module date/time"), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d)")));
    FreeLibrary(library);
}

TEST(HxExceptHeader, CompletionFields)
{
    const std::uint32_t crcs[3] = {0x1a2b, 0xffffffff, 0};
    EXPECT_EQ(CallstackCrcText(crcs), "$00001a2b, $ffffffff, $00000000");
    TFieldsPtr header = NewFields(nullptr, true);
    header->Add("date/time", "now");
    AddReportCompletionFields(*header.Get(), crcs, {"hivesweep.exe|units of a", "no bar", "|no module", "tools.dll|a|b"});
    EXPECT_EQ(Entries(header), (std::vector<std::pair<std::string, std::string>>{
                                   {"date/time", "now"},
                                   {"callstack crc", "$00001a2b, $ffffffff, $00000000"},
                                   {"hivesweep.hx", "units of a"},
                                   {"tools.hx", "a|b"}}));
}
