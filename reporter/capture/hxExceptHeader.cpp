#include "hxExceptHeader.h"

#include "hxDisAsm.h"
#include "hxExceptPlugins.h"
#include "hxExceptSupport.h"
#include "hxStrings.h"
#include "hxTools.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <type_traits>
#include <utility>

namespace {

// ---- Small owners ----

class TScreenDC {
public:
    TScreenDC() noexcept : dc_(GetDC(nullptr)) {}
    TScreenDC(const TScreenDC&) = delete;
    TScreenDC& operator=(const TScreenDC&) = delete;
    ~TScreenDC()
    {
        if (dc_)
            ReleaseDC(nullptr, dc_);
    }
    HDC Get() const noexcept { return dc_; }

private:
    HDC dc_;
};

// A system library found loaded or, when the loader lock allows, loaded for the call.
class TLibrary {
public:
    explicit TLibrary(const char* name) noexcept : module_(GetModuleHandleA(name))
    {
        if (!module_ && !IsLoaderLockHeld()) {
            owned_.reset(LoadLibraryA(name));
            module_ = owned_.get();
        }
    }
    template <class F>
    F Proc(const char* name) const noexcept
    {
        return LibraryProc<F>(module_, name);
    }

private:
    HMODULE module_;
    TLibraryOwner owned_;
};

class TListLock {
public:
    explicit TListLock(IVQFields& list) : list_(list) { list_.Lock(); }
    TListLock(const TListLock&) = delete;
    TListLock& operator=(const TListLock&) = delete;
    ~TListLock() { list_.Unlock(); }

private:
    IVQFields& list_;
};

// ---- Guarded fields ----

// Compose returns the value; a variant taking the name may rename the field. Any failure or an
// empty value leaves the field out.
template <class F>
void AddField(IVQFields& header, const char* name, F compose) noexcept
{
    try {
        std::string fieldName = name;
        std::string value;
        if constexpr (std::is_invocable_v<F, std::string&>)
            value = compose(fieldName);
        else
            value = compose();
        if (!value.empty() && !fieldName.empty())
            header.Add(fieldName, value);
    } catch (...) {
    }
}

std::string Digits(int value, int width)
{
    return IntToStrPadded(value, width, '0');
}

std::uint64_t CounterMilliseconds() noexcept
{
    LARGE_INTEGER frequency{}, counter{};
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart < 1000 || !QueryPerformanceCounter(&counter) ||
        counter.QuadPart < 0)
        return 0;
    return static_cast<std::uint64_t>(counter.QuadPart) / static_cast<std::uint64_t>(frequency.QuadPart / 1000);
}

std::atomic<std::uint64_t> gProgramStart{0};

std::string LocalDateTimeText()
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return DateTimeText(now);
}

std::string WtsClientName()
{
    if (!GetOsInfo().IsNT || GetSystemMetrics(SM_REMOTESESSION) == 0)
        return {};
    using TQuery = BOOL(WINAPI*)(HANDLE, DWORD, int, LPSTR*, DWORD*);
    using TFree = void(WINAPI*)(void*);
    TLibrary wts("wtsapi32.dll");
    const auto query = wts.Proc<TQuery>("WTSQuerySessionInformationA");
    const auto release = wts.Proc<TFree>("WTSFreeMemory");
    if (!query || !release)
        return {};
    constexpr DWORD kCurrentSession = static_cast<DWORD>(-1);
    constexpr int kClientName = 10;
    LPSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!query(nullptr, kCurrentSession, kClientName, &buffer, &bytes) || !buffer)
        return {};
    std::string name;
    if (bytes >= 2)
        name.assign(buffer, strnlen(buffer, bytes));
    release(buffer);
    return name;
}

bool IsUserAdmin() noexcept
{
    using TCheck = BOOL(WINAPI*)(HANDLE, PSID, PBOOL);
    TLibrary advapi("advapi32.dll");
    const auto check = advapi.Proc<TCheck>("CheckTokenMembership");
    if (!check)
        return false;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                  0, 0, 0, &administrators))
        return false;
    BOOL member = FALSE;
    const bool admin = check(nullptr, administrators, &member) && member;
    FreeSid(administrators);
    return admin;
}

std::string UserNameText()
{
    std::string name(257, '\0');
    DWORD size = static_cast<DWORD>(name.size());
    if (!GetUserNameA(name.data(), &size)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= name.size())
            return {};
        name.assign(size, '\0');
        if (!GetUserNameA(name.data(), &size))
            return {};
    }
    name.resize(strnlen(name.data(), name.size()));
    if (!name.empty() && IsUserAdmin())
        name += "  <admin>";
    return name;
}

std::string SystemLanguage()
{
    char text[256] = {};
    constexpr LCID kSystemDefault = 0x800;
    if (GetLocaleInfoA(kSystemDefault, LOCALE_SENGLANGUAGE, text, sizeof text) <= 0)
        return {};
    return std::string(text, strnlen(text, sizeof text));
}

std::string SystemUpTime()
{
    LARGE_INTEGER frequency{}, counter{};
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&counter))
        return {};
    return UpTimeText(counter.QuadPart / frequency.QuadPart);
}

std::string ProgramUpTime()
{
    const std::uint64_t start = ProgramStartTime();
    const std::uint64_t now = CounterMilliseconds();
    if (start == 0 || now == 0)
        return {};
    // A start recorded on a counter that ran backwards counts as just now.
    const std::int64_t elapsed = now > start ? static_cast<std::int64_t>(now - start) : 0;
    std::string text = UpTimeText(elapsed / 1000);
    if (text.empty())
        text = Int64ToStrFast(elapsed) + " milliseconds";
    return text;
}

std::string ProcessorNameOfKey(int index)
{
    std::string name = RegReadString(HKEY_LOCAL_MACHINE,
                                     "hardware\\description\\system\\centralProcessor\\" + IntToStrFast(index),
                                     "ProcessorNameString");
    TrimText(name);
    return name;
}

std::string ProcessorText(std::string& fieldName)
{
    const std::string name = ProcessorNameOfKey(0);
    if (name.empty())
        return {};
    int count = 1;
    while (count < 16 && !ProcessorNameOfKey(count).empty())
        ++count;
    if (count == 1)
        return name;
    fieldName = "processors";
    return IntToStrFast(count) + "x " + name;
}

std::string PhysicalMemory()
{
    // The extended query: the plain one stops at 4 GB in a 32-bit process.
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status))
        return {};
    auto megabytes = [](DWORDLONG bytes) { return Int64ToStrFast(static_cast<std::int64_t>((bytes + 524288) / 1048576)); };
    return megabytes(status.ullAvailPhys) + "/" + megabytes(status.ullTotalPhys) + " MB (free/total)";
}

bool IsDriveLetter(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// "(C:) <free>"; empty when the path has no drive letter or the drive does not answer.
std::string DriveFreeSpace(const std::string& path)
{
    if (path.size() < 2 || !IsDriveLetter(path[0]) || path[1] != ':')
        return {};
    const char letter = UpCaseChar(path[0]);
    const std::string root = std::string(1, letter) + ":\\";
    std::int64_t freeBytes = -1;
    using TFreeEx = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
    TLibrary kernel("kernel32.dll");
    if (const auto freeEx = kernel.Proc<TFreeEx>("GetDiskFreeSpaceExA")) {
        ULARGE_INTEGER available{}, total{}, totalFree{};
        if (freeEx(root.c_str(), &available, &total, &totalFree))
            freeBytes = static_cast<std::int64_t>(totalFree.QuadPart);
    }
    if (freeBytes < 0) {
        DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
        if (!GetDiskFreeSpaceA(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
            return {};
        freeBytes = static_cast<std::int64_t>(sectorsPerCluster) * bytesPerSector * freeClusters;
    }
    return "(" + std::string(1, letter) + ":) " + FormatByteSize(freeBytes);
}

std::string FreeDiskSpace()
{
    char windows[MAX_PATH + 1] = {};
    const UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string windowsPath = length > 0 && length < MAX_PATH ? std::string(windows, length) : std::string();
    const std::string exePath = GetModuleFileNameStr(nullptr);
    std::string text = DriveFreeSpace(windowsPath);
    const bool sameDrive = !windowsPath.empty() && !exePath.empty() && UpCaseChar(windowsPath[0]) == UpCaseChar(exePath[0]);
    if (!sameDrive) {
        const std::string exeDrive = DriveFreeSpace(exePath);
        if (!exeDrive.empty())
            text += (text.empty() ? "" : " ") + exeDrive;
    }
    return text;
}

std::string DisplayMode()
{
    TScreenDC screen;
    if (!screen.Get())
        return {};
    const int depth = GetDeviceCaps(screen.Get(), BITSPIXEL) * GetDeviceCaps(screen.Get(), PLANES);
    return IntToStrFast(GetSystemMetrics(SM_CXSCREEN)) + "x" + IntToStrFast(GetSystemMetrics(SM_CYSCREEN)) + ", " +
           IntToStrFast(depth) + " bit";
}

// Committed memory outside the loaded modules.
std::string AllocatedMemory()
{
    std::uint64_t total = 0;
    std::uintptr_t address = 0;
    void* lastBase = nullptr;
    bool lastIsModule = false;
    MEMORY_BASIC_INFORMATION region{};
    while (VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) == sizeof region) {
        if (region.State == MEM_COMMIT) {
            if (region.AllocationBase != lastBase) {
                char name[MAX_PATH];
                lastBase = region.AllocationBase;
                lastIsModule = lastBase && GetModuleFileNameA(static_cast<HMODULE>(lastBase), name, sizeof name) > 0;
            }
            if (!lastIsModule)
                total += region.RegionSize;
        }
        const std::uintptr_t next = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (next <= address)
            break;
        address = next;
    }
    return FormatByteSize(static_cast<std::int64_t>(total));
}

// The command line when something follows the program's name.
std::string CommandLineWithArguments()
{
    const char* line = GetCommandLineA();
    if (!line)
        return {};
    const std::string text = line;
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    if (i < text.size() && text[i] == '"') {
        const std::size_t close = text.find('"', i + 1);
        i = close == std::string::npos ? text.size() : close + 1;
    }
    while (i < text.size() && text[i] != ' ' && text[i] != '\t')
        ++i;
    return text.find_first_not_of(" \t", i) == std::string::npos ? std::string() : text;
}

HMODULE ExeModule() noexcept
{
    return GetModuleHandleA(nullptr);
}

HMODULE ReporterModule(const THeaderInput& input) noexcept
{
    return input.Module ? input.Module : ExeModule();
}

std::string CurrentModule(const THeaderInput& input)
{
    if (ReporterModule(input) == ExeModule())
        return {};
    return FileNameOfPath(GetModuleFileNameStr(input.Module));
}

std::string ModuleDateTime(const THeaderInput& input, std::string& fieldName)
{
    // This program has no run-time packages: the reporter's own module decides.
    const HMODULE module = ReporterModule(input);
    fieldName = module == ExeModule() ? "exec. date/time" : "module date/time";
    WIN32_FILE_ATTRIBUTE_DATA data{};
    const std::string file = GetModuleFileNameStr(module);
    if (file.empty() || !GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data))
        return {};
    SYSTEMTIME utc{}, local{};
    if (!FileTimeToSystemTime(&data.ftLastWriteTime, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return {};
    return Digits(local.wYear, 4) + "-" + Digits(local.wMonth, 2) + "-" + Digits(local.wDay, 2) + " " +
           Digits(local.wHour, 2) + ":" + Digits(local.wMinute, 2);
}

std::string FileVersionOf(HMODULE module)
{
    const std::uint64_t version = GetFileVersionNumber(GetModuleFileNameStr(module));
    return version ? FileVersionText(version) : std::string();
}

std::string VersionField(const THeaderInput& input)
{
    if (!input.VersionText.empty())
        return input.VersionText;
    return FileVersionOf(ReporterModule(input));
}

std::string BdeVersion()
{
    const HMODULE module = GetModuleHandleA("idapi32.dll");
    return module ? FileVersionOf(module) : std::string();
}

std::string WithoutFinalStops(std::string s)
{
    while (!s.empty() && (s.back() == '.' || s.back() == '!'))
        s.pop_back();
    return s;
}

// The message of an exception object's std::exception base, read through a guarded copy.
std::string ObjectMessage(const void* object)
{
    const std::exception* base = ObjectAsStdException(object);
    if (!base)
        return {};
    const char* text = base->what();
    std::string message;
    constexpr std::size_t kLimit = 64 * 1024, kPage = 4096;
    auto at = reinterpret_cast<std::uintptr_t>(text);
    while (text && message.size() < kLimit) {
        char chunk[64];
        const std::size_t length = std::min<std::size_t>(sizeof chunk, kPage - at % kPage);
        if (!TryReadMemory(at, chunk, length))
            break;
        const std::size_t end = std::find(chunk, chunk + length, '\0') - chunk;
        message.append(chunk, end);
        if (end < length)
            break;
        at += length;
    }
    return message;
}

// CR LF, CR and LF become blanks, then runs of blanks become one.
std::string FoldedValue(const std::string& value)
{
    const std::string spaced = ReplaceSubStr(ReplaceSubStr(ReplaceSubStr(value, "\r\n", " "), "\r", " "), "\n", " ");
    std::string folded;
    folded.reserve(spaced.size());
    for (char c : spaced)
        if (c != ' ' || folded.empty() || folded.back() != ' ')
            folded += c;
    return folded;
}

std::vector<std::pair<std::string, std::string>> ListEntries(IVQFields& list)
{
    std::vector<std::pair<std::string, std::string>> entries;
    TListLock lock(list);
    const int count = list.GetCount();
    for (int i = 0; i < count; ++i) {
        std::string name = list.GetName(i);
        std::string value = list.GetValue(name);
        entries.emplace_back(std::move(name), std::move(value));
    }
    return entries;
}

} // namespace

void FillBugReportHeader(IVQFields& header, const THeaderInput& input)
{
    AddField(header, "date/time", LocalDateTimeText);
    AddField(header, "computer name", GetComputerNameStr);
    AddField(header, "wts client name", WtsClientName);
    AddField(header, "user name", UserNameText);
    AddField(header, "operating system", [] {
        const TOsInfo os = GetOsInfo();
        return os.Name + " build " + Int64ToStrFast(os.Build);
    });
    AddField(header, "system language", SystemLanguage);
    AddField(header, "system up time", SystemUpTime);
    AddField(header, "program up time", ProgramUpTime);
    AddField(header, "processor", ProcessorText);
    AddField(header, "physical memory", PhysicalMemory);
    // "system resources" exists only on the 9x line, which this program does not run on.
    AddField(header, "free disk space", FreeDiskSpace);
    AddField(header, "display mode", DisplayMode);
    AddField(header, "process id", [] { return "$" + CardinalToHex(GetCurrentProcessId()); });
    AddField(header, "allocated memory", AllocatedMemory);
    AddField(header, "command line", CommandLineWithArguments);
    AddField(header, "executable", [] { return FileNameOfPath(GetModuleFileNameStr(nullptr)); });
    AddField(header, "current module", [&] { return CurrentModule(input); });
    AddField(header, "exec. date/time", [&](std::string& name) { return ModuleDateTime(input, name); });
    AddField(header, "version", [&] { return VersionField(input); });
    AddField(header, "bde version", BdeVersion);
    AddField(header, "hxExcept version", [] { return std::string("3.0"); });
    try {
        for (const THxReportPlugin& plugin : SelectReportPlugins(input.Plugins))
            if (!plugin.Background)
                AddField(header, plugin.Name.c_str(), [&] { return CallReportPlugin(plugin); });
    } catch (...) {
    }
    if (input.Kind == 1) {
        AddField(header, "exception message", [&] { return input.FrozenMsg; });
        return;
    }
    std::string className = "Unknown";
    AddField(header, "exception class", [&] {
        className = ExceptionClassName(input.ExceptionObject);
        return className;
    });
    AddField(header, "exception message", [&] {
        const std::string message = ExceptionMessageText(input.ExceptionObject);
        // The rule's added full stop does not make a message of a class name a different one.
        return WithoutFinalStops(message) == WithoutFinalStops(className) ? std::string() : message;
    });
}

std::string BugReportText(IVQFields& header, IVQFields& sections)
{
    const auto fields = ListEntries(header);
    std::size_t longest = 0;
    for (const auto& field : fields)
        longest = std::max(longest, field.first.size());
    std::string report;
    for (const auto& [name, value] : fields) {
        if (!report.empty())
            report += "\r\n";
        report += PadToWidth(name, -static_cast<int>(longest + 1));
        report += ": ";
        report += FoldedValue(value);
    }
    for (const auto& [name, value] : ListEntries(sections))
        AppendTraceSection(report, name, value);
    return report;
}

std::string UpTimeText(std::int64_t seconds)
{
    const std::int64_t s = std::max<std::int64_t>(seconds, 0);
    const std::int64_t days = s / 86400, hours = s / 3600 % 24, minutes = s / 60 % 60, secs = s % 60;
    auto part = [](std::int64_t value, const char* unit) -> std::string {
        if (value == 0)
            return {};
        return Int64ToStrFast(value) + " " + unit + (value > 1 ? "s " : " ");
    };
    if (days > 0)
        return part(days, "day") + part(hours, "hour");
    if (hours > 0)
        return part(hours, "hour") + part(minutes, "minute");
    return part(minutes, "minute") + part(secs, "second");
}

std::string ExceptionClassName(const void* object)
{
    std::string name = object ? ObjectClassName(object) : std::string();
    return name.empty() ? "Unknown" : name;
}

std::string ExceptionMessageText(const void* object)
{
    std::string message;
    if (object) {
        if (IsClassNamed(object, "Exception") || IsClassNamed(object, "HxException")) {
            try {
                message = ObjectMessage(object);
            } catch (...) {
                message.clear();
            }
        } else {
            message = ObjectClassName(object);
        }
    }
    TCharSet controls;
    for (int c = 0; c < 32; ++c)
        controls.set(static_cast<std::size_t>(c));
    message = TrimCharSet(message, controls);
    if (message.empty())
        message = "Unknown";
    return WithoutFinalStops(message) + ".";
}

std::string CallstackCrcText(const std::uint32_t (&values)[3])
{
    std::string text;
    for (std::uint32_t value : values) {
        if (!text.empty())
            text += ", ";
        text += CardinalToHexPadded(value, 8);
    }
    return text;
}

void AddReportCompletionFields(IVQFields& header, const std::uint32_t (&values)[3],
                               const std::vector<std::string>& unitEntries)
{
    AddField(header, "callstack crc", [&] { return CallstackCrcText(values); });
    for (const std::string& entry : unitEntries) {
        const std::size_t bar = entry.find('|');
        if (bar == std::string::npos || bar == 0)
            continue;
        const std::string name = StripFileExtension(entry.substr(0, bar)) + ".hx";
        AddField(header, name.c_str(), [&] { return entry.substr(bar + 1); });
    }
}

void RecordProgramStartTime() noexcept
{
    gProgramStart.store(CounterMilliseconds());
}

std::uint64_t ProgramStartTime() noexcept
{
    return gProgramStart.load();
}
