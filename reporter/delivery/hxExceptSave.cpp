#include "hxExceptSave.h"

#include "hxExceptSend.h"

#include "hxGdiHandles.h"
#include "hxStrings.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kReportEnd = "\r\n\r\n";
constexpr std::string_view kReportStart = "\r\ndate/time";
constexpr std::string_view kDateTime = "date/time";
// "$xxxxxxxx, $xxxxxxxx, $xxxxxxxx"
constexpr std::size_t kCrcTextLength = 31;

std::atomic<THistoryProc> gHistoryProc{nullptr};
std::atomic<TSaveDialogProc> gSaveDialog{nullptr};
std::atomic<TPrintDialogProc> gPrintDialog{nullptr};
std::atomic<TRestartStartProc> gRestartStart{nullptr};
std::atomic<TProcessEndProc> gProcessEnd{nullptr};
THxPrintJobProcs gPrintJob;
SRWLOCK gPrintJobLock = SRWLOCK_INIT;

struct THandleCloser {
    void operator()(HANDLE h) const
    {
        if (h && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};
using THandleOwner = std::unique_ptr<void, THandleCloser>;

struct TViewCloser {
    void operator()(void* view) const { UnmapViewOfFile(view); }
};
using TViewOwner = std::unique_ptr<void, TViewCloser>;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Where a header line "name<blanks>: value" lies.
struct TReportLine {
    std::size_t LineStart = 0;   // first character of the name
    std::size_t Colon = 0;
    std::size_t ValueStart = 0;
    std::size_t LineEnd = 0;     // the CR LF after the value, or the header's end
};

std::size_t HeaderLength(std::string_view report)
{
    const std::size_t end = report.find(kReportEnd);
    return end == std::string_view::npos ? report.size() : end;
}

bool LocateReportLine(std::string_view report, std::string_view name, TReportLine& line)
{
    if (name.empty())
        return false;
    const std::string_view header = report.substr(0, HeaderLength(report));
    const std::string pattern = std::string(kLineEnd) + std::string(name);
    for (std::size_t hit = header.find(pattern); hit != std::string_view::npos; hit = header.find(pattern, hit + 1)) {
        std::size_t i = hit + pattern.size();
        while (i < header.size() && IsBlank(header[i]))
            ++i;
        if (i >= header.size() || header[i] != ':')
            continue;  // a longer name that starts the same, or no value column
        line.LineStart = hit + kLineEnd.size();
        line.Colon = i;
        ++i;
        if (i < header.size() && header[i] == ' ')
            ++i;
        line.ValueStart = i;
        const std::size_t end = header.find(kLineEnd, i);
        line.LineEnd = end == std::string_view::npos ? header.size() : end;
        return true;
    }
    return false;
}

bool HasReportLine(std::string_view report, std::string_view name)
{
    TReportLine line;
    return LocateReportLine(report, name, line);
}

// A positive decimal count; 1 for none or anything else.
int ParseCount(const std::string& text)
{
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), isDigit))
        return 1;
    const int value = DigitsToInt(text.data(), text.size(), false);
    return value > 0 ? value : 1;
}

std::string ExecutableFolder()
{
    return FolderOfPath(GetModuleFileNameStr(nullptr));
}

TSettingsPtr OwnModuleSettings()
{
    return GetCallerModuleSettings(0);
}

// The old reports are the duplicates the new one replaces: same executable, module, class and
// version (and, without a version, the same file dates).
bool IsDuplicateReport(std::string_view old, std::string_view report)
{
    for (const char* name : {"executable", "current module", "exception class", "version"})
        if (!SameReportLine(old, report, name))
            return false;
    if (FindReportLine(old, "version").empty())
        for (const char* name : {"exec. date/time", "module date/time"})
            if (!SameReportLine(old, report, name))
                return false;
    return true;
}

// The duplicate key of the new report against a non-empty file; empty when none applies.
std::string DuplicateKey(const std::string& report, IVQSettings* settings)
{
    const std::string crc = FindReportLine(report, "callstack crc");
    if (crc.size() != kCrcTextLength)
        return {};
    const bool isException = HasReportLine(report, "exception class");
    const bool noDuplicates = isException ? settings->GetNoDupExcepts() : settings->GetNoDupFreezes();
    if (!noDuplicates)
        return {};
    const int definition = isException ? settings->GetDupExceptDef() : settings->GetDupFreezeDef();
    return crc.substr(0, definition <= 0 ? 9 : definition == 1 ? 20 : kCrcTextLength);
}

// Finds the latest earlier report with the key, takes over its count into report and removes
// it from data; returns the new size of data.
std::size_t RemoveDuplicate(char* data, std::size_t size, const std::string& key, std::string& report)
{
    const std::string_view file(data, size);
    const std::string pattern = ": " + key;
    std::size_t hit = file.rfind(pattern);
    while (hit != std::string_view::npos) {
        // A hit never overlaps a report start (": " is not in it), so every hit between two starts
        // names the same old report: each report is looked at once, and a damaged file with a hit
        // on every line is still searched in one pass.
        const std::size_t before = file.rfind(kReportStart, hit);
        std::size_t start = 0;
        if (before != std::string_view::npos)
            start = before + kLineEnd.size();
        else if (!file.starts_with(kDateTime))
            break;  // text before the first report belongs to none
        const std::size_t next = file.find(kReportStart, hit);
        const std::size_t end = next == std::string_view::npos ? size : next + kLineEnd.size();
        const std::string_view old = file.substr(start, end - start);
        // Only the old report's own checksum line counts, not a matching text in its sections.
        if (FindReportLine(old, "callstack crc").starts_with(key) && IsDuplicateReport(old, report)) {
            const int count = ParseCount(FindReportLine(old, "count")) + 1;
            InsertReportLine(report, "count", "callstack crc", IntToStrFast(count));
            std::memmove(data + start, data + end, size - end);
            return size - (end - start);
        }
        if (before == std::string_view::npos)
            break;
        hit = file.rfind(pattern, before);
    }
    return size;
}

// Drops the oldest reports until the rest is shorter than limit - limit / 4; the new size.
std::size_t TrimReports(char* data, std::size_t size, std::int32_t limit)
{
    const std::size_t keep = static_cast<std::size_t>(limit) - static_cast<std::size_t>(limit) / 4;
    const std::string_view file(data, size);
    for (std::size_t hit = file.find(kReportStart); hit != std::string_view::npos;
         hit = file.find(kReportStart, hit + 1)) {
        const std::size_t start = hit + kLineEnd.size();
        if (size - start < keep) {
            std::memmove(data, data + start, size - start);
            return size - start;
        }
    }
    return size;
}

bool WriteAll(HANDLE file, std::string_view text)
{
    while (!text.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
        if (!WriteFile(file, text.data(), chunk, &written, nullptr) || written == 0)
            return false;
        text.remove_prefix(written);
    }
    return true;
}

// What separates the kept content, ending in tail, from the new report: every report ends in an
// empty line, also when an earlier write was cut short.
std::string_view Separator(std::string_view tail)
{
    if (tail.empty() || tail.ends_with(kReportEnd))
        return {};
    if (tail.ends_with(kLineEnd))
        return kLineEnd;
    return kReportEnd;
}

std::string LastBytes(HANDLE file, std::uint64_t size)
{
    const std::uint64_t count = std::min<std::uint64_t>(size, kReportEnd.size());
    char buffer[kReportEnd.size()];
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(size - count);
    DWORD got = 0;
    if (count == 0 || !SetFilePointerEx(file, position, nullptr, FILE_BEGIN) ||
        !ReadFile(file, buffer, static_cast<DWORD>(count), &got, nullptr))
        return {};
    return std::string(buffer, got);
}

std::string AskFileName(const std::string& name, HWND ownerWindow, IVQSettings* settings)
{
    char buffer[MAX_PATH] = {};
    name.copy(buffer, MAX_PATH - 1);
    const std::string folder = ExecutableFolder();
    const std::string title = settings->GetSaveBtnTxt();
    static const char filter[] = "*.txt\0*.txt\0";
    OPENFILENAMEA params{};
    params.lStructSize = sizeof params;
    params.hwndOwner = ownerWindow;
    params.lpstrFilter = filter;
    params.nFilterIndex = 1;
    params.lpstrFile = buffer;
    params.nMaxFile = MAX_PATH;
    params.lpstrInitialDir = folder.c_str();
    params.lpstrTitle = title.c_str();
    params.Flags = OFN_NOREADONLYRETURN | OFN_HIDEREADONLY;
    const TSaveDialogProc dialog = gSaveDialog.load();
    if (!(dialog ? dialog : GetSaveFileNameA)(&params))
        return {};
    buffer[MAX_PATH - 1] = '\0';
    return buffer;
}

[[noreturn]] void EndProcess(UINT exitCode)
{
    if (const TProcessEndProc end = gProcessEnd.load())
        end(exitCode);
    TerminateProcess(GetCurrentProcess(), exitCode);
    ExitProcess(exitCode);
}

// Starts the program again, suspended, and hands it the history; false when it could not start.
bool StartSuccessor()
{
    std::string commandLine = GetCommandLineA();
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const TRestartStartProc start = gRestartStart.load();
    if (!(start ? start : CreateProcessA)(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                           nullptr, nullptr, &startup, &info))
        return false;
    const THandleOwner process(info.hProcess), thread(info.hThread);

    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    InitNullDaclAttributes(attributes, descriptor);
    const THandleOwner mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                                  sizeof(THxRestartBlock),
                                                  RestartMappingName(info.dwProcessId).c_str()));
    if (mapping) {
        const TViewOwner view(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, sizeof(THxRestartBlock)));
        HANDLE duplicate = nullptr;
        if (view && DuplicateHandle(GetCurrentProcess(), mapping.get(), info.hProcess, &duplicate, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS)) {
            auto* block = static_cast<THxRestartBlock*>(view.get());
            block->ProcessId = GetCurrentProcessId();
            block->Mapping = reinterpret_cast<UINT_PTR>(duplicate);
            const THistoryProc history = gHistoryProc.load();
            const TExceptionHistory values = history ? history() : TExceptionHistory{};
            std::copy(values.begin(), values.end(), block->History);
        }
    }
    ResumeThread(info.hThread);
    return true;
}

}  // namespace

// ---- Replaceable functions ----

THistoryProc SetRestartHistoryProc(THistoryProc proc) noexcept
{
    return gHistoryProc.exchange(proc);
}

TSaveDialogProc SetSaveDialogHook(TSaveDialogProc proc) noexcept
{
    return gSaveDialog.exchange(proc);
}

TPrintDialogProc SetPrintDialogHook(TPrintDialogProc proc) noexcept
{
    return gPrintDialog.exchange(proc);
}

THxPrintJobProcs SetPrintJobHook(const THxPrintJobProcs& procs) noexcept
{
    AcquireSRWLockExclusive(&gPrintJobLock);
    const THxPrintJobProcs old = gPrintJob;
    gPrintJob = procs;
    ReleaseSRWLockExclusive(&gPrintJobLock);
    return old;
}

TRestartStartProc SetRestartStartHook(TRestartStartProc proc) noexcept
{
    return gRestartStart.exchange(proc);
}

TProcessEndProc SetProcessEndHook(TProcessEndProc proc) noexcept
{
    return gProcessEnd.exchange(proc);
}

// ---- Report lines and names ----

std::string BugReportFileName(IVQSettings* settings)
{
    TSettingsPtr own;
    if (!settings) {
        own = OwnModuleSettings();
        settings = own.Get();
    }
    if (!settings)
        return {};
    std::string name = settings->GetBugRepFile();
    name = ReplaceSubText(name, "%appname%", StripFileExtension(FileNameOfPath(GetModuleFileNameStr(nullptr))));
    name = ReplaceSubText(name, "%modname%",
                          StripFileExtension(FileNameOfPath(GetModuleFileNameStr(settings->Module()))));
    return name;
}

std::string BugReportPath(IVQSettings* settings)
{
    std::string name = BugReportFileName(settings);
    if (!name.empty() && !IsAbsoluteFileName(name))
        name = ExecutableFolder() + name;
    return name;
}

bool IsAbsoluteFileName(const std::string& name)
{
    return name.size() > 2 && (name[0] == '\\' || name[1] == ':');
}

bool ForceFileFolder(const std::string& path)
{
    const std::size_t slash = path.rfind('\\');
    if (slash == std::string::npos || slash == 0)
        return false;
    const std::string folder = path.substr(0, slash);
    // A drive ("C:") or a share root ("\\server\share") exists or cannot be made.
    if (folder.size() == 2 && folder[1] == ':')
        return true;
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!folder.starts_with("\\\\"))
        ForceFileFolder(folder);  // the parents; a root of its own needs none
    return CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::string FindReportLine(std::string_view report, std::string_view name)
{
    TReportLine line;
    if (!LocateReportLine(report, name, line))
        return {};
    return std::string(report.substr(line.ValueStart, line.LineEnd - line.ValueStart));
}

void InsertReportLine(std::string& report, std::string_view name, std::string_view afterName, std::string_view value)
{
    TReportLine line;
    if (!LocateReportLine(report, afterName, line))
        return;
    const int column = static_cast<int>(line.Colon - line.LineStart);
    std::string text(kLineEnd);
    text += PadToWidth(name, -column);
    text += ": ";
    text += value;
    report.insert(line.LineEnd, text);
}

bool SameReportLine(std::string_view a, std::string_view b, std::string_view name)
{
    return FindReportLine(a, name) == FindReportLine(b, name);
}

// ---- Saving ----

bool SaveBugReport(const std::string& fileName, const std::string& report, HWND ownerWindow, bool noDialog,
                   IVQException* exception)
{
    TSettingsPtr own;
    IVQSettings* settings = exception;
    if (!settings) {
        own = OwnModuleSettings();
        settings = own.Get();
    }
    if (!settings)
        return false;

    std::string name = fileName;
    if (name.empty()) {
        name = noDialog ? BugReportPath(settings) : BugReportFileName(settings);
        if (name.empty())
            return false;
        if (!noDialog && !IsAbsoluteFileName(name)) {
            if (IsLoaderLockHeld()) {
                MessageBeep(0);
                return false;
            }
            name = AskFileName(name, ownerWindow, settings);
            if (name.empty())
                return false;
        }
    }

    ForceFileFolder(name);
    const THandleOwner file(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || file.get() == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER fileSize{};
    if (!GetFileSizeEx(file.get(), &fileSize))
        return false;
    const std::uint64_t size = static_cast<std::uint64_t>(fileSize.QuadPart);

    std::string text = report;
    std::uint64_t writeAt = 0;
    std::string tail;
    if (settings->GetAppendBugReps()) {
        const std::string key = size > 0 ? DuplicateKey(report, settings) : std::string();
        const std::int32_t limit = settings->GetBugRepFileSize();
        const bool trimming = limit > 0 && static_cast<std::uint64_t>(limit) < size;
        writeAt = size;
        tail = LastBytes(file.get(), size);
        if ((!key.empty() || trimming) && static_cast<std::size_t>(size) == size) {
            const THandleOwner mapping(CreateFileMappingA(file.get(), nullptr, PAGE_READWRITE, 0, 0, nullptr));
            const TViewOwner view(mapping ? MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 0) : nullptr);
            if (view) {
                char* data = static_cast<char*>(view.get());
                std::size_t kept = static_cast<std::size_t>(size);
                if (!key.empty())
                    kept = RemoveDuplicate(data, kept, key, text);
                if (trimming)
                    kept = TrimReports(data, kept, limit);
                writeAt = kept;
                tail.assign(data + kept - std::min<std::size_t>(kept, kReportEnd.size()), data + kept);
            }
        }
    }

    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(writeAt);
    if (!SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN))
        return false;
    const std::string separator(Separator(writeAt > 0 ? tail : std::string()));
    if (!WriteAll(file.get(), separator + text + std::string(kReportEnd)) || !SetEndOfFile(file.get()))
        return false;

    if (fileName.empty() && exception) {
        Microsoft::WRL::ComPtr<IVQExceptionEx> ex;
        // The second flag of the exception object is its report-saved flag.
        if (SUCCEEDED(exception->QueryInterface(__uuidof(IVQExceptionEx), &ex)) && ex)
            ex->SetSecondFlag(true);
    }
    return true;
}

// ---- Printing ----

namespace {

int RoundedMulDiv(int a, int b, int c, int fallback)
{
    const int value = c > 0 ? MulDiv(a, b, c) : -1;
    return value >= 0 ? value : fallback;
}

}  // namespace

void PrintBugReport(const std::string& report, HWND ownerWindow, IVQSettings* settings)
{
    if (IsLoaderLockHeld()) {
        MessageBeep(0);
        return;
    }
    TSettingsPtr own;
    if (!settings) {
        own = OwnModuleSettings();
        settings = own.Get();
    }
    PRINTDLGA params{};
    params.lStructSize = sizeof params;
    params.hwndOwner = ownerWindow;
    params.Flags = PD_NOSELECTION | PD_NOPAGENUMS | PD_NOWARNING | PD_RETURNDC | PD_USEDEVMODECOPIESANDCOLLATE |
                   PD_HIDEPRINTTOFILE | PD_NONETWORKBUTTON;
    const TPrintDialogProc dialog = gPrintDialog.load();
    const BOOL chosen = (dialog ? dialog : PrintDlgA)(&params);
    if (params.hDevMode)
        GlobalFree(params.hDevMode);
    if (params.hDevNames)
        GlobalFree(params.hDevNames);
    if (!chosen || !params.hDC)
        return;
    const TMemoryDc dc(params.hDC);

    AcquireSRWLockShared(&gPrintJobLock);
    const THxPrintJobProcs job = gPrintJob;
    ReleaseSRWLockShared(&gPrintJobLock);
    auto startDoc = job.StartDoc ? job.StartDoc : StartDocA;
    auto startPage = job.StartPage ? job.StartPage : StartPage;
    auto endPage = job.EndPage ? job.EndPage : EndPage;
    auto endDoc = job.EndDoc ? job.EndDoc : EndDoc;
    auto drawText = job.DrawText ? job.DrawText : DrawTextA;

    SetMapMode(dc.get(), MM_TEXT);
    const int vertRes = GetDeviceCaps(dc.get(), VERTRES);
    const int horzRes = GetDeviceCaps(dc.get(), HORZRES);
    const int logPixelsX = GetDeviceCaps(dc.get(), LOGPIXELSX);
    const int logPixelsY = GetDeviceCaps(dc.get(), LOGPIXELSY);
    // A device without a physical size measures centimetres by its logical resolution.
    const int cmY = RoundedMulDiv(vertRes, 10, GetDeviceCaps(dc.get(), VERTSIZE), MulDiv(logPixelsY, 10, 254));
    const int cmX = RoundedMulDiv(horzRes, 10, GetDeviceCaps(dc.get(), HORZSIZE), MulDiv(logPixelsX, 10, 254));
    const int offsetX = GetDeviceCaps(dc.get(), PHYSICALOFFSETX);
    const int top = cmY - GetDeviceCaps(dc.get(), PHYSICALOFFSETY);
    const int left = 2 * cmX - offsetX;
    const int width = std::max(1, horzRes - left - (cmX - offsetX));
    const int bottom = vertRes - 2 * top;

    const TGdiPtr<HFONT> font(CreateFontA(-MulDiv(logPixelsY, 8, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                          DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                          FIXED_PITCH | FF_MODERN, "Courier New"));
    const HGDIOBJ oldFont = SelectObject(dc.get(), font.get());
    const std::string docName = settings ? settings->GetPrintBtnTxt() : std::string();
    DOCINFOA info{};
    info.cbSize = sizeof info;
    info.lpszDocName = docName.c_str();
    if (startDoc(dc.get(), &info) > 0) {
        startPage(dc.get());
        int y = top;
        std::size_t from = 0;
        for (;;) {
            const std::size_t end = report.find(kLineEnd, from);
            std::string line = report.substr(from, end == std::string::npos ? std::string::npos : end - from);
            if (line.empty())
                line = " ";
            RECT rect{0, 0, width, std::max(1, bottom)};
            drawText(dc.get(), line.c_str(), static_cast<int>(line.size()), &rect,
                     DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
            const int height = rect.bottom - rect.top;
            // A line taller than a page starts no empty page of its own.
            if (y + height > bottom && y > top) {
                y = top;
                endPage(dc.get());
                startPage(dc.get());
            }
            rect = {left, y, left + width, y + height};
            drawText(dc.get(), line.c_str(), static_cast<int>(line.size()), &rect, DT_WORDBREAK | DT_NOPREFIX);
            y = rect.bottom;
            if (end == std::string::npos)
                break;
            from = end + kLineEnd.size();
        }
        endPage(dc.get());
        endDoc(dc.get());
    }
    SelectObject(dc.get(), oldFont);
}

// ---- Restart and close ----

void RestartApplication()
{
    // A report still being sent gets its chance to arrive first.
    WaitForBackgroundSends(BackgroundSendWaitMs);
    StartSuccessor();
    EndProcess(2);
}

void CloseApplication()
{
    WaitForBackgroundSends(BackgroundSendWaitMs);
    EndProcess(1);
}
