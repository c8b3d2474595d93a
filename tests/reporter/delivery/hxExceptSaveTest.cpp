#include "hxExceptSave.h"

#include "hxExceptSupport.h"
#include "hxStrings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// The header as the report layout writes it: names padded to the longest name + 1.
std::string MakeReport(const std::string& crc, const std::string& className, const std::string& stamp,
                       std::size_t size = 0)
{
    std::vector<std::pair<std::string, std::string>> lines = {
        {"date/time", stamp}, {"executable", "hivesweep.exe"}, {"current module", "hivesweep.exe"},
        {"exec. date/time", "2026-12-01 10:00"}, {"version", "1.2"}};
    if (!className.empty())
        lines.emplace_back("exception class", className);
    lines.emplace_back("callstack crc", crc);
    std::string report;
    for (const auto& [name, value] : lines)
        report += (report.empty() ? "" : "\r\n") + PadToWidth(name, -16) + ": " + value;
    report += "\r\n\r\nmain thread:\r\nstack line";
    if (report.size() < size)
        report.append(size - report.size(), 'x');
    return report;
}

const std::string kCrc = "$12345678, $9abcdef0, $0fedcba9";

std::string StampLine(const std::string& stamp)
{
    return PadToWidth("date/time", -16) + ": " + stamp + "\r\n";
}

std::string ReadFileText(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t Occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
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
    EXPECT_NE(report.find("version        : 1.2\r\ncount          : 2\r\nexec."), std::string::npos);
    InsertReportLine(report, "count", "missing", "3");
    EXPECT_EQ(Occurrences(report, "count"), 1u);
    EXPECT_TRUE(SameReportLine(report, "a\r\nversion : 1.2", "version"));
    EXPECT_FALSE(SameReportLine(report, "a\r\nversion : 1.2b", "version"));
}

TEST_F(HxExceptSave, WithoutAppendingTheFileHoldsOneReport)
{
    ASSERT_TRUE(exception_->SetAppendBugReps(false));
    ASSERT_TRUE(Save(MakeReport(kCrc, "EFirst", "1", 3000)));
    const std::string report = MakeReport(kCrc, "ESecond", "2");
    ASSERT_TRUE(Save(report));
    EXPECT_EQ(ReadFileText(file_), report + "\r\n\r\n");
}

TEST_F(HxExceptSave, RepeatedFailuresAreCounted)
{
    // Three saves of one failure, another one in between: the count goes to the newest copy.
    ASSERT_TRUE(Save(MakeReport(kCrc, "EFail", "1")));
    ASSERT_TRUE(Save(MakeReport("$11111111, $9abcdef0, $0fedcba9", "EFail", "2")));
    ASSERT_TRUE(Save(MakeReport(kCrc, "EFail", "3")));
    ASSERT_TRUE(Save(MakeReport(kCrc, "EFail", "4")));
    std::string text = ReadFileText(file_);
    EXPECT_EQ(Occurrences(text, "\r\ndate/time") + 1, 2u);
    std::string last = MakeReport(kCrc, "EFail", "4");
    InsertReportLine(last, "count", "callstack crc", "3");
    EXPECT_TRUE(text.ends_with("\r\n\r\n" + last + "\r\n\r\n"));
    EXPECT_TRUE(text.starts_with(StampLine("2")));

    // Another class, a checksum of another length, or the definition of the whole value.
    DeleteFileA(file_.c_str());
    const std::string other = "$12345678, $00000000, $00000000";
    ASSERT_TRUE(Save(MakeReport(kCrc, "EFail", "1")));
    ASSERT_TRUE(Save(MakeReport(kCrc, "EOther", "2")));
    ASSERT_TRUE(Save(MakeReport(kCrc + " ", "EFail", "3")));
    ASSERT_TRUE(Save(MakeReport(other, "EFail", "4")));
    EXPECT_EQ(Occurrences(ReadFileText(file_), "count"), 0u);

    // Definition 0 compares the first value only.
    ASSERT_TRUE(exception_->SetDupExceptDef(0));
    ASSERT_TRUE(Save(MakeReport(other, "EFail", "5")));
    text = ReadFileText(file_);
    EXPECT_EQ(Occurrences(text, "count"), 1u);
    EXPECT_EQ(Occurrences(text, "\r\ndate/time") + 1, 4u);
    EXPECT_EQ(text.find(StampLine("4")), std::string::npos);

    // Freezes (no class line) are no duplicates of exceptions and follow their own switch.
    ASSERT_TRUE(Save(MakeReport(kCrc, "", "6")));
    EXPECT_EQ(Occurrences(ReadFileText(file_), "count"), 1u);
    ASSERT_TRUE(Save(MakeReport(kCrc, "", "7")));
    EXPECT_EQ(Occurrences(ReadFileText(file_), "count"), 2u);
    ASSERT_TRUE(exception_->SetNoDupFreezes(false));
    ASSERT_TRUE(Save(MakeReport(kCrc, "", "8")));
    text = ReadFileText(file_);
    EXPECT_NE(text.find(StampLine("7")), std::string::npos);
}

TEST_F(HxExceptSave, TheFileIsTrimmedToItsLimit)
{
    ASSERT_TRUE(exception_->SetBugRepFileSize(50000));
    ASSERT_TRUE(exception_->SetNoDupExcepts(false));
    std::string text;
    for (int i = 0; i < 6; ++i)
        text += MakeReport(kCrc, "EFail", IntToStrFast(i), 9996) + "\r\n\r\n";
    ASSERT_EQ(text.size(), 60000u);
    ForceFileFolder(file_);
    std::ofstream(file_, std::ios::binary) << text;
    const std::string report = MakeReport(kCrc, "EFail", "new");
    ASSERT_TRUE(Save(report));
    EXPECT_EQ(ReadFileText(file_), text.substr(30000) + report + "\r\n\r\n");

    // A file cut short still gets its empty line before the next report.
    ASSERT_TRUE(exception_->SetBugRepFileSize(0));
    std::ofstream(file_, std::ios::binary) << "date/time : 0\r\nx";
    ASSERT_TRUE(Save(report));
    EXPECT_EQ(ReadFileText(file_), "date/time : 0\r\nx\r\n\r\n" + report + "\r\n\r\n");
}

TEST_F(HxExceptSave, FileNamesAndTheSaveDialog)
{
    // A relative name without dialog lands in the executable's folder; the report counts as saved.
    ASSERT_TRUE(exception_->SetBugRepFile("hxSave-%APPNAME%.txt"));
    const std::string exe = GetModuleFileNameStr(nullptr);
    const std::string expected = FolderOfPath(exe) + "hxSave-" + StripFileExtension(FileNameOfPath(exe)) + ".txt";
    EXPECT_EQ(BugReportFileName(exception_.Get()), "hxSave-" + StripFileExtension(FileNameOfPath(exe)) + ".txt");
    Microsoft::WRL::ComPtr<IVQExceptionEx> ex;
    ASSERT_TRUE(SUCCEEDED(exception_.As(&ex)));
    EXPECT_FALSE(ex->GetSecondFlag());
    ASSERT_TRUE(SaveBugReport("", MakeReport(kCrc, "EFail", "1"), nullptr, true, exception_.Get()));
    EXPECT_TRUE(ex->GetSecondFlag());
    EXPECT_NE(GetFileAttributesA(expected.c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileA(expected.c_str());

    // With the dialog: cancelled, then answered with our file.
    static std::string answer, title, initialFolder;
    static DWORD flags;
    TSaveDialogProc old = SetSaveDialogHook([](OPENFILENAMEA* params) -> BOOL {
        title = params->lpstrTitle;
        initialFolder = params->lpstrInitialDir;
        flags = params->Flags;
        if (answer.empty())
            return FALSE;
        lstrcpynA(params->lpstrFile, answer.c_str(), static_cast<int>(params->nMaxFile));
        return TRUE;
    });
    ASSERT_TRUE(exception_->SetSaveBtnTxt("keep it"));
    EXPECT_FALSE(SaveBugReport("", "report", nullptr, false, exception_.Get()));
    EXPECT_EQ(title, "keep it");
    EXPECT_EQ(initialFolder, FolderOfPath(exe));
    EXPECT_EQ(flags, static_cast<DWORD>(OFN_NOREADONLYRETURN | OFN_HIDEREADONLY));
    answer = file_;
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

struct TPrintLog {
    HDC Dc = nullptr;
    HBITMAP Page = nullptr;
    int Docs = 0, Pages = 0, Open = 0;
    std::string DocName;
} gPrint;

TEST_F(HxExceptSave, PrintingBreaksPages)
{
    // A memory DC compatible with the screen stands for the printer: its margins come from the
    // screen's metrics.
    HDC screen = GetDC(nullptr);
    const int width = GetDeviceCaps(screen, HORZRES), height = GetDeviceCaps(screen, VERTRES);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP page = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(page, nullptr);
    const int top = MulDiv(height, 10, GetDeviceCaps(screen, VERTSIZE)) - GetDeviceCaps(screen, PHYSICALOFFSETY);
    const int left = 2 * MulDiv(width, 10, GetDeviceCaps(screen, HORZSIZE)) - GetDeviceCaps(screen, PHYSICALOFFSETX);
    HFONT font = CreateFontA(-MulDiv(GetDeviceCaps(screen, LOGPIXELSY), 8, 72), 0, 0, 0, FW_NORMAL, 0, 0, 0,
                             DEFAULT_CHARSET, 0, 0, 0, FIXED_PITCH | FF_MODERN, "Courier New");
    HGDIOBJ oldFont = SelectObject(screen, font);
    RECT line{0, 0, width, height};
    DrawTextA(screen, "X", 1, &line, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(screen, oldFont);
    DeleteObject(font);
    ReleaseDC(nullptr, screen);
    const int lineHeight = line.bottom;
    const int perPage = (height - 2 * top - top) / lineHeight;
    ASSERT_GT(perPage, 2);

    gPrint = {};
    TPrintDialogProc oldDialog = SetPrintDialogHook([](PRINTDLGA* params) -> BOOL {
        EXPECT_EQ(params->Flags & (PD_RETURNDC | PD_NOPAGENUMS), static_cast<DWORD>(PD_RETURNDC | PD_NOPAGENUMS));
        HDC screen = GetDC(nullptr);
        params->hDC = gPrint.Dc = CreateCompatibleDC(screen);
        ReleaseDC(nullptr, screen);
        if (gPrint.Page)
            SelectObject(gPrint.Dc, gPrint.Page);
        return TRUE;
    });
    THxPrintJobProcs oldJob = SetPrintJobHook(
        {[](HDC dc, const DOCINFOA* doc) { gPrint.DocName = doc->lpszDocName; return ++gPrint.Docs + (dc == gPrint.Dc ? 0 : -99); },
         [](HDC) { ++gPrint.Open; return ++gPrint.Pages; },
         [](HDC) { return gPrint.Open--; },
         [](HDC) { return 1; }});
    ASSERT_TRUE(exception_->SetPrintBtnTxt("the report"));

    std::string report = "1";
    for (int i = 2; i <= 2 * perPage + 1; ++i)
        report += "\r\n" + IntToStrFast(i);
    PrintBugReport(report, nullptr, exception_.Get());
    EXPECT_EQ(gPrint.Docs, 1);
    EXPECT_EQ(gPrint.Pages, 3);
    EXPECT_EQ(gPrint.Open, 0);
    EXPECT_EQ(gPrint.DocName, "the report");

    // An empty line prints as a blank line: the third line starts two lines down, at the margin.
    const auto* pixels = static_cast<DWORD*>(bits);
    std::fill_n(static_cast<DWORD*>(bits), width * height, 0xffffffu);
    gPrint.Page = page;
    PrintBugReport("AAAA\r\n\r\nBBBB", nullptr, exception_.Get());
    EXPECT_EQ(gPrint.Pages, 4);
    auto ink = [&](int y0, int y1, int x0, int x1) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if ((pixels[y * width + x] & 0xffffff) != 0xffffff)
                    return true;
        return false;
    };
    EXPECT_FALSE(ink(0, top, 0, width));
    EXPECT_TRUE(ink(top, top + lineHeight, left, width));
    EXPECT_FALSE(ink(top + lineHeight, top + 2 * lineHeight, 0, width));
    EXPECT_TRUE(ink(top + 2 * lineHeight, top + 3 * lineHeight, left, width));
    EXPECT_FALSE(ink(0, height, 0, left));
    DeleteObject(page);
    SetPrintJobHook(oldJob);
    SetPrintDialogHook(oldDialog);
}

// ---- Restart and close ----

struct TProcessEnded {
    UINT Code;
};
HANDLE gSuccessor = nullptr;
std::string gStartedLine;

TEST_F(HxExceptSave, RestartAndCloseEndTheProcess)
{
    TProcessEndProc oldEnd = SetProcessEndHook([](UINT code) { throw TProcessEnded{code}; });
    try {
        CloseApplication();
    } catch (const TProcessEnded& ended) {
        EXPECT_EQ(ended.Code, 1u);
    }

    // The hand-over child stands for the restarted program.
    static const TExceptionHistory history = {13400000009ull, 13400000005ull, 13400000001ull};
    SetRestartHistoryProc([] { return history; });
    TRestartStartProc oldStart = SetRestartStartHook(
        [](LPCSTR, LPSTR line, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL inherit, DWORD flags, LPVOID,
           LPCSTR, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) -> BOOL {
            gStartedLine = line;
            std::string child = "\"" + FolderOfPath(GetModuleFileNameStr(nullptr)) + "hxRestartChild.exe\" take";
            if (!CreateProcessA(nullptr, child.data(), nullptr, nullptr, inherit, flags, nullptr, nullptr, startup, info))
                return FALSE;
            DuplicateHandle(GetCurrentProcess(), info->hProcess, GetCurrentProcess(), &gSuccessor, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
            return TRUE;
        });
    UINT code = 0;
    try {
        RestartApplication();
    } catch (const TProcessEnded& ended) {
        code = ended.Code;
    }
    EXPECT_EQ(code, 2u);
    EXPECT_EQ(gStartedLine, GetCommandLineA());
    ASSERT_NE(gSuccessor, nullptr);
    // The child is running and waits for this process; the hand-over is there for it.
    EXPECT_EQ(WaitForSingleObject(gSuccessor, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, RestartMappingName(GetProcessId(gSuccessor)).c_str());
    ASSERT_NE(mapping, nullptr);
    const auto* block = static_cast<const THxRestartBlock*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->ProcessId, GetCurrentProcessId());
    EXPECT_TRUE(std::equal(history.begin(), history.end(), block->History));
    UnmapViewOfFile(block);
    CloseHandle(mapping);
    TerminateProcess(gSuccessor, 0);
    CloseHandle(gSuccessor);

    // Without a new process the program ends all the same.
    SetRestartStartHook([](LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCSTR,
                           LPSTARTUPINFOA, LPPROCESS_INFORMATION) -> BOOL { return FALSE; });
    code = 0;
    try {
        RestartApplication();
    } catch (const TProcessEnded& ended) {
        code = ended.Code;
    }
    EXPECT_EQ(code, 2u);
    SetRestartStartHook(oldStart);
    SetRestartHistoryProc(nullptr);
    SetProcessEndHook(oldEnd);
}

}  // namespace
