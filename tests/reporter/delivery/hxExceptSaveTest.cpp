#include "hxExceptSave.h"

#include "hxExceptFields.h"
#include "hxExceptHeader.h"
#include "hxStrings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

const std::string kCrc = "$12345678, $9abcdef0, $0fedcba9";

std::string Line(const std::string& name, const std::string& value)
{
    return PadToWidth(name, -16) + ": " + value;
}

// A report as the layout writes it, the header names padded to the longest name + 1.
std::string MakeReport(const std::string& crc, const std::string& className, const std::string& stamp,
                       std::size_t size = 0)
{
    std::string report = Line("date/time", stamp) + "\r\n" + Line("executable", "hivesweep.exe") + "\r\n" +
                         Line("current module", "hivesweep.exe") + "\r\n" + Line("version", "1.2") + "\r\n";
    if (!className.empty())
        report += Line("exception class", className) + "\r\n";
    report += Line("callstack crc", crc) + "\r\n\r\nmain thread:\r\nstack line";
    return report.size() < size ? report.append(size - report.size(), 'x') : report;
}

std::string ReadFileText(const std::string& name)
{
    std::stringstream text;
    text << std::ifstream(name, std::ios::binary).rdbuf();
    return text.str();
}

class HxExceptSave : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "hxSaveTest" + IntToStrFast(static_cast<int>(GetCurrentProcessId())) + "\\";
        file_ = folder_ + "sub\\reports.txt";
        TExceptionParams params;
        params.Settings = NewSettings(GetModuleHandleA(nullptr));
        exception_ = NewExceptionObject(params);
        ASSERT_TRUE(exception_);
        exception_->SetPlWaitBox(false);
    }
    void TearDown() override
    {
        DeleteFileA(file_.c_str());
        RemoveDirectoryA((folder_ + "sub").c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    bool Save(const std::string& report) { return SaveBugReport(file_, report, nullptr, true, exception_.Get()); }
    std::size_t Reports()
    {
        const std::string text = ReadFileText(file_), start = "\r\ndate/time";
        std::size_t count = 1;
        for (std::size_t at = text.find(start); at != std::string::npos; at = text.find(start, at + 1))
            ++count;
        return count;
    }

    std::string folder_, file_;
    TExceptionPtr exception_;
};

TEST_F(HxExceptSave, ReportLinesAreFoundInTheHeaderOnly)
{
    std::string report = "date/time      : now\r\nversionx       : 9\r\nversion        : 1.2\r\n"
                         "exec.          : x\r\nexec. date/time: then\r\nbroken line\r\n\r\nsection:\r\nsize : 5";
    EXPECT_EQ(FindReportLine(report, "version"), "1.2");
    EXPECT_EQ(FindReportLine(report, "exec."), "x");
    EXPECT_EQ(FindReportLine(report, "exec. date/time"), "then");
    EXPECT_EQ(FindReportLine(report, "date/time"), "");  // the first line
    EXPECT_EQ(FindReportLine(report, "broken"), "");
    EXPECT_EQ(FindReportLine(report, "size"), "");       // a section line
    InsertReportLine(report, "count", "version", "2");
    InsertReportLine(report, "count", "missing", "3");
    EXPECT_NE(report.find("version        : 1.2\r\ncount          : 2\r\nexec."), std::string::npos);
    EXPECT_EQ(report.find("count"), report.rfind("count"));
    EXPECT_TRUE(SameReportLine(report, "a\r\nversion : 1.2", "version"));
    EXPECT_FALSE(SameReportLine(report, "a\r\nversion : 1.2b", "version"));
}

TEST_F(HxExceptSave, AppendingCountingAndTrimming)
{
    // Without appending the file holds the last report only.
    ASSERT_TRUE(exception_->SetAppendBugReps(false));
    ASSERT_TRUE(Save(MakeReport(kCrc, "EFirst", "1", 3000)));
    ASSERT_TRUE(Save(MakeReport(kCrc, "ESecond", "2")));
    EXPECT_EQ(ReadFileText(file_), MakeReport(kCrc, "ESecond", "2") + "\r\n\r\n");

    // Three saves of one failure, another one in between: the count goes to the newest copy.
    DeleteFileA(file_.c_str());
    ASSERT_TRUE(exception_->SetAppendBugReps(true));
    const std::string between = MakeReport("$11111111, $9abcdef0, $0fedcba9", "EFail", "2");
    for (const char* stamp : {"1", "2", "3", "4"})
        ASSERT_TRUE(Save(*stamp == '2' ? between : MakeReport(kCrc, "EFail", stamp)));
    std::string last = MakeReport(kCrc, "EFail", "4");
    InsertReportLine(last, "count", "callstack crc", "3");
    EXPECT_EQ(ReadFileText(file_), between + "\r\n\r\n" + last + "\r\n\r\n");

    // Another class, a checksum of another length, or another second value (also when a section
    // holds it): no duplicates.
    DeleteFileA(file_.c_str());
    const std::string other = "$12345678, $00000000, $00000000";
    ASSERT_TRUE(Save(MakeReport(kCrc, "EFail", "1")));
    ASSERT_TRUE(Save(MakeReport(kCrc, "EOther", "2")));
    ASSERT_TRUE(Save(MakeReport(kCrc + " ", "EFail", "3") + "\r\nsum: " + other));
    ASSERT_TRUE(Save(MakeReport(other, "EFail", "4")));
    EXPECT_EQ(ReadFileText(file_).find("count"), std::string::npos);
    // Definition 0 compares the first value only; the latest copy is the one replaced.
    ASSERT_TRUE(exception_->SetDupExceptDef(0));
    ASSERT_TRUE(Save(MakeReport(other, "EFail", "5")));
    EXPECT_EQ(ReadFileText(file_).find(Line("date/time", "4")), std::string::npos);
    EXPECT_EQ(Reports(), 4u);
    // Freezes (no class line) are no duplicates of exceptions and follow their own switch.
    ASSERT_TRUE(exception_->SetNoDupFreezes(false));
    ASSERT_TRUE(Save(MakeReport(kCrc, "", "6")));
    ASSERT_TRUE(Save(MakeReport(kCrc, "", "7")));
    EXPECT_EQ(Reports(), 6u);

    // Limit 50000: of six 10000-byte reports three are dropped before the new one is added.
    ASSERT_TRUE(exception_->SetBugRepFileSize(50000));
    std::string text;
    for (int i = 0; i < 6; ++i)
        text += MakeReport(kCrc, "EFail", IntToStrFast(i), 9996) + "\r\n\r\n";
    std::ofstream(file_, std::ios::binary) << text;
    const std::string report = MakeReport(kCrc, "ENew", "new");
    ASSERT_TRUE(Save(report));
    EXPECT_EQ(ReadFileText(file_), text.substr(30000) + report + "\r\n\r\n");
    // A file cut short still gets its empty line before the next report.
    std::ofstream(file_, std::ios::binary) << "date/time : 0\r\nx";
    ASSERT_TRUE(Save(report));
    EXPECT_EQ(ReadFileText(file_), "date/time : 0\r\nx\r\n\r\n" + report + "\r\n\r\n");
}

// Lines that hold the checksum values of kCrc as a value, as a damaged file may, up to size bytes.
std::string ChecksumLines(std::string text, std::size_t size)
{
    while (text.size() < size)
        text += "x: $12345678, $9abcdef0\r\n";
    return text;
}

TEST_F(HxExceptSave, AFileFullOfChecksumLinesIsSearchedInOnePass)
{
    const std::string report = MakeReport(kCrc, "EFail", "new");
    const std::string crcLine = Line("callstack crc", kCrc) + "\r\n";
    std::string counted = report;
    counted.replace(counted.find(crcLine), crcLine.size(), crcLine + Line("count", "2") + "\r\n");
    ASSERT_TRUE(ForceFileFolder(file_));
    const auto timedSave = [&](const std::string& old) {
        std::ofstream(file_, std::ios::binary) << old;
        const ULONGLONG start = GetTickCount64();
        EXPECT_TRUE(Save(report));
        return GetTickCount64() - start;
    };
    // The small files show the result, the megabyte files the time; the default limit of 100000
    // bytes finds no report to cut off in them.
    for (const std::size_t size : {std::size_t(2000), std::size_t(1) << 20}) {
        // Lines outside any report: nothing to count, the report is added.
        const std::string loose = ChecksumLines("", size);
        EXPECT_LT(timedSave(loose), 500u) << size;
        EXPECT_TRUE(ReadFileText(file_) == loose + "\r\n" + report + "\r\n\r\n") << size;

        // A report that lost its checksum line and holds the lines, after an older copy of the
        // failure: the older copy is found, counted and moved to the end.
        const std::string damaged =
            ChecksumLines(Line("date/time", "0") + "\r\n" + Line("executable", "x.exe") + "\r\n", size);
        EXPECT_LT(timedSave(MakeReport(kCrc, "EFail", "old") + "\r\n\r\n" + damaged), 500u) << size;
        EXPECT_TRUE(ReadFileText(file_) == damaged + "\r\n" + counted + "\r\n\r\n") << size;
    }
}

// A report as the layout makes it from its field lists, with what the user typed as its last
// section; a size fills its stack section up to that many bytes.
std::string LaidOutReport(const std::string& crc, const std::string& stamp, const std::string& details,
                          std::size_t size = 0)
{
    TFieldsPtr header = NewFields(nullptr, true);
    for (const auto& [name, value] : {std::pair<const char*, std::string>{"date/time", stamp},
                                      {"executable", "hivesweep.exe"}, {"current module", "hivesweep.exe"},
                                      {"version", "1.2"}, {"exception class", "EFail"}, {"callstack crc", crc}})
        header->Add(name, value);
    const auto layout = [&](const std::string& stack) {
        TFieldsPtr sections = NewFields(nullptr, true);
        sections->Add("main thread ($1c):", stack);
        sections->Add("Error Details", details);
        return BugReportText(*header.Get(), *sections.Get());
    };
    const std::string report = layout("stack line");
    return report.size() + 3 > size ? report : layout("stack line\r\n" + std::string(size - report.size() - 2, 'x'));
}

TEST_F(HxExceptSave, TypedDetailsAreNoReportsOfTheirOwn)
{
    // The user pastes an earlier report's header into the details, and types a line of the kind
    // the file's reports start with.
    const std::string pasted = "It fails again:\r\n" + Line("date/time", "yesterday") + "\r\n" +
                               Line("executable", "hivesweep.exe") + "\r\n" + Line("current module", "hivesweep.exe") +
                               "\r\n" + Line("version", "1.2") + "\r\n" + Line("exception class", "EFail") + "\r\n" +
                               Line("callstack crc", kCrc) + "\r\n" + Line("count", "7");
    const std::string pastedReport = LaidOutReport(kCrc, "1", pasted);
    // Only the lines that would read as the file's own are moved in, by one blank.
    EXPECT_NE(pastedReport.find("Error Details:\r\nIt fails again:\r\n " + Line("date/time", "yesterday") + "\r\n" +
                                Line("executable", "hivesweep.exe")),
              std::string::npos)
        << pastedReport;
    EXPECT_NE(pastedReport.find("\r\n " + Line("callstack crc", kCrc) + "\r\n" + Line("count", "7")),
              std::string::npos);
    const std::string typed = "It broke.\r\ndate/time of the crash: just after the start";
    const std::string other = LaidOutReport("$22222222, $9abcdef0, $0fedcba9", "2", typed);
    ASSERT_TRUE(exception_->SetAppendBugReps(true));
    ASSERT_TRUE(Save(pastedReport));
    ASSERT_TRUE(Save(other));
    EXPECT_EQ(Reports(), 2u);

    // The same failure again: the whole earlier report goes, and its own count is taken over.
    const std::string again = LaidOutReport(kCrc, "3", "");
    ASSERT_TRUE(Save(again));
    std::string counted = again;
    InsertReportLine(counted, "count", "callstack crc", "2");
    EXPECT_EQ(ReadFileText(file_), other + "\r\n\r\n" + counted + "\r\n\r\n");

    // Trimming to 28000 bytes keeps less than 21000: of three 10000-byte reports the oldest goes
    // whole, although its details end in a line that starts like a report, 50 bytes before the next.
    DeleteFileA(file_.c_str());
    std::string kept;
    for (const char* stamp : {"4", "5", "6"}) {
        const std::string report = LaidOutReport("$3333333" + std::string(stamp) + ", $9abcdef0, $0fedcba9", stamp,
                                                 typed, 9996);
        ASSERT_TRUE(Save(report));
        kept += *stamp == '4' ? std::string() : report + "\r\n\r\n";
    }
    ASSERT_EQ(ReadFileText(file_).size(), 30000u);
    ASSERT_TRUE(exception_->SetBugRepFileSize(28000));
    const std::string last = LaidOutReport("$44444444, $9abcdef0, $0fedcba9", "7", typed);
    ASSERT_TRUE(Save(last));
    const std::string trimmed = ReadFileText(file_);
    EXPECT_TRUE(trimmed == kept + last + "\r\n\r\n") << trimmed.substr(0, 200);
    EXPECT_EQ(Reports(), 3u);
}

std::string gAnswer, gTitle;

BOOL WINAPI AnswerSaveDialog(OPENFILENAMEA* params)
{
    gTitle = params->lpstrTitle + std::string(" in ") + params->lpstrInitialDir;
    lstrcpynA(params->lpstrFile, gAnswer.c_str(), static_cast<int>(params->nMaxFile));
    return !gAnswer.empty();
}

TEST_F(HxExceptSave, FileNamesAndTheSaveDialog)
{
    // A relative name without dialog lands in the executable's folder; the report counts as saved.
    ASSERT_TRUE(exception_->SetBugRepFile("hxSave-%APPNAME%.txt"));
    const std::string exe = GetModuleFileNameStr(nullptr);
    const std::string name = "hxSave-" + StripFileExtension(FileNameOfPath(exe)) + ".txt";
    EXPECT_EQ(BugReportFileName(exception_.Get()), name);
    Microsoft::WRL::ComPtr<IVQExceptionEx> ex;
    ASSERT_TRUE(SUCCEEDED(exception_.As(&ex)));
    EXPECT_FALSE(ex->GetSecondFlag());
    ASSERT_TRUE(SaveBugReport("", "report", nullptr, true, exception_.Get()));
    EXPECT_TRUE(ex->GetSecondFlag());
    EXPECT_EQ(ReadFileText(FolderOfPath(exe) + name), "report\r\n\r\n");
    DeleteFileA((FolderOfPath(exe) + name).c_str());

    // With the dialog: cancelled, then answered with our file.
    const TSaveDialogProc old = SetSaveDialogHook(AnswerSaveDialog);
    ASSERT_TRUE(exception_->SetSaveBtnTxt("keep it"));
    EXPECT_FALSE(SaveBugReport("", "report", nullptr, false, exception_.Get()));
    EXPECT_EQ(gTitle, "keep it in " + FolderOfPath(exe));
    gAnswer = file_;
    EXPECT_TRUE(SaveBugReport("", "report", nullptr, false, exception_.Get()));
    EXPECT_EQ(ReadFileText(file_), "report\r\n\r\n");
    SetSaveDialogHook(old);

    // A file that cannot be opened is not saved.
    EXPECT_FALSE(ForceFileFolder("nofolder.txt"));
    const HANDLE busy = CreateFileA(file_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(Save("report"));
    CloseHandle(busy);
}

// ---- Printing ----

int gPages = 0, gOpen = 0;
std::string gDocName;

BOOL WINAPI PrintToMemory(PRINTDLGA* params)
{
    EXPECT_EQ(params->Flags & (PD_RETURNDC | PD_NOPAGENUMS), static_cast<DWORD>(PD_RETURNDC | PD_NOPAGENUMS));
    params->hDC = CreateCompatibleDC(nullptr);
    return TRUE;
}
int WINAPI LogStartDoc(HDC, const DOCINFOA* doc) { gDocName = doc->lpszDocName; return 1; }
int WINAPI LogStartPage(HDC) { return ++gPages + gOpen++; }
int WINAPI LogEndPage(HDC) { return gOpen--; }
int WINAPI LogEndDoc(HDC) { return 1; }

TEST_F(HxExceptSave, PrintingBreaksPages)
{
    // A memory DC compatible with the screen stands for the printer: page and margins come from
    // the screen's metrics.
    HDC screen = GetDC(nullptr);
    const int height = GetDeviceCaps(screen, VERTRES);
    const int top = MulDiv(height, 10, GetDeviceCaps(screen, VERTSIZE)) - GetDeviceCaps(screen, PHYSICALOFFSETY);
    HFONT font = CreateFontA(-MulDiv(GetDeviceCaps(screen, LOGPIXELSY), 8, 72), 0, 0, 0, FW_NORMAL, 0, 0, 0,
                             DEFAULT_CHARSET, 0, 0, 0, FIXED_PITCH | FF_MODERN, "Courier New");
    HGDIOBJ oldFont = SelectObject(screen, font);
    RECT line{0, 0, 100, height};
    DrawTextA(screen, "X", 1, &line, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    DeleteObject(SelectObject(screen, oldFont));
    ReleaseDC(nullptr, screen);
    const int perPage = (height - 3 * top) / line.bottom;
    ASSERT_GT(perPage, 2);

    const TPrintDialogProc oldDialog = SetPrintDialogHook(PrintToMemory);
    const THxPrintJobProcs oldJob = SetPrintJobHook({LogStartDoc, LogStartPage, LogEndPage, LogEndDoc});
    ASSERT_TRUE(exception_->SetPrintBtnTxt("the report"));
    // Empty lines take a line each: two pages and one line more give three pages.
    std::string report = "1";
    for (int i = 2; i <= 2 * perPage + 1; ++i)
        report += i % 2 ? "\r\n" + IntToStrFast(i) : "\r\n";
    PrintBugReport(report, nullptr, exception_.Get());
    EXPECT_EQ(gPages, 3);
    EXPECT_EQ(gOpen, 0);
    EXPECT_EQ(gDocName, "the report");
    SetPrintJobHook(oldJob);
    SetPrintDialogHook(oldDialog);
}

// ---- Restart and close ----

struct TProcessEnded {
    UINT Code;
};
void ThrowEnd(UINT code)
{
    throw TProcessEnded{code};
}
UINT EndCode(void (*action)())
{
    try {
        action();
    } catch (const TProcessEnded& ended) {
        return ended.Code;
    }
    return 0;
}

HANDLE gSuccessor = nullptr;
std::string gStartedLine;
const TExceptionHistory kHistory = {13400000009ull, 13400000005ull, 13400000001ull};

// The capture tests' hand-over child stands for the restarted program; the second time nothing starts.
BOOL WINAPI StartChild(LPCSTR, LPSTR line, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL inherit, DWORD flags,
                       LPVOID, LPCSTR, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info)
{
    if (gSuccessor)
        return FALSE;
    gStartedLine = line;
    std::string child = "\"" + FolderOfPath(GetModuleFileNameStr(nullptr)) + "hxRestartChild.exe\" take";
    return CreateProcessA(nullptr, child.data(), nullptr, nullptr, inherit, flags, nullptr, nullptr, startup, info) &&
           DuplicateHandle(GetCurrentProcess(), info->hProcess, GetCurrentProcess(), &gSuccessor, 0, FALSE,
                           DUPLICATE_SAME_ACCESS);
}

TEST_F(HxExceptSave, RestartAndCloseEndTheProcess)
{
    const TProcessEndProc oldEnd = SetProcessEndHook(ThrowEnd);
    EXPECT_EQ(EndCode(CloseApplication), 1u);

    SetRestartHistoryProc([] { return kHistory; });
    const TRestartStartProc oldStart = SetRestartStartHook(StartChild);
    EXPECT_EQ(EndCode(RestartApplication), 2u);
    EXPECT_EQ(gStartedLine, GetCommandLineA());
    ASSERT_NE(gSuccessor, nullptr);
    // The child waits for this process to end; the hand-over is there for it.
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, RestartMappingName(GetProcessId(gSuccessor)).c_str());
    ASSERT_NE(mapping, nullptr);
    const auto* block = static_cast<const THxRestartBlock*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->ProcessId, GetCurrentProcessId());
    EXPECT_TRUE(std::equal(kHistory.begin(), kHistory.end(), block->History));
    UnmapViewOfFile(block);
    CloseHandle(mapping);
    TerminateProcess(gSuccessor, 0);
    CloseHandle(gSuccessor);
    // Without a new process the program ends all the same.
    EXPECT_EQ(EndCode(RestartApplication), 2u);
    SetRestartStartHook(oldStart);
    SetRestartHistoryProc(nullptr);
    SetProcessEndHook(oldEnd);
}

}  // namespace
