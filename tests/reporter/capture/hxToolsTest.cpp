#include "hxTools.h"

#include "hxStrings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- Operating system, versions, ticks ----

TEST(HxTools, OsInfoFollowsTheVersionCall)
{
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExW(&version));
    const TOsInfo info = GetOsInfo();
    EXPECT_EQ(info.Major, version.dwMajorVersion);
    EXPECT_EQ(info.Minor, version.dwMinorVersion);
    EXPECT_EQ(info.Build, version.dwBuildNumber);
    EXPECT_TRUE(info.IsNT);
    EXPECT_FALSE(info.Is9x);
    EXPECT_EQ(info.Kind, info.KindNT);
    EXPECT_EQ(info.Kind9x, okNone);
    EXPECT_TRUE(StartsWithStr(info.Name, "Windows"));
    EXPECT_EQ(GetFreeResources(0), 0);
}

TEST(HxTools, OsKindRules)
{
    const struct {
        DWORD Platform, Major, Minor, Build;
        int Kind;
    } cases[] = {
        {1, 4, 0, 950, okWin95},      {1, 4, 0, 0x040003b6, okWin95}, {1, 4, 0, 0x04000457, okWin95Osr2},
        {1, 4, 10, 1998, okWin98},    {1, 4, 10, 2222, okWin98Se},    {1, 4, 10, 2701, okWinMe},
        {1, 4, 90, 3000, okWinMe},    {1, 4, 91, 1, okWin9xNew},      {1, 5, 0, 1, okWin9xNew},
        {2, 3, 51, 1057, okWinNt3},   {2, 4, 0, 1381, okWinNt4},      {2, 5, 0, 2195, okWin2000},
        {2, 5, 1, 2600, okWinXp},     {2, 5, 2, 3790, okWin2003},     {2, 5, 3, 1, okWinNtNew},
        {2, 6, 1, 7601, okWinNtNew},  {0, 3, 10, 1, okNone},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MakeOsInfo(c.Platform, c.Major, c.Minor, c.Build, "").Kind, c.Kind)
            << c.Platform << " " << c.Major << "." << c.Minor << "." << c.Build;

    const TOsInfo nt = MakeOsInfo(2, 5, 1, 2600, "Service Pack 3");
    EXPECT_EQ(nt.ServicePackNumber, 3);
    EXPECT_EQ(nt.Name, "Windows XP Service Pack 3");
    EXPECT_EQ(MakeOsInfo(2, 6, 1, 1, "").Name, "Windows NT New");
    const TOsInfo me = MakeOsInfo(1, 4, 90, 0x045a0bb8, " A ");
    EXPECT_EQ(me.Build, 0x0bb8u);
    EXPECT_EQ(me.Name, "Windows ME");
    EXPECT_EQ(me.ServicePackNumber, 0);
}

TEST(HxTools, FileVersions)
{
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(GetModuleHandleA("kernel32.dll"), path, MAX_PATH), 0u);
    const std::uint64_t version = GetFileVersionNumber(path);
    EXPECT_NE(version, 0u);
    // The same numbers as the fixed information inside the module's version resource.
    const std::string resource = ResourceToString(GetModuleHandleA("kernel32.dll"), RT_VERSION, MAKEINTRESOURCEA(1));
    const DWORD signature = 0xfeef04bd;
    const std::size_t at = resource.find(std::string(reinterpret_cast<const char*>(&signature), 4));
    ASSERT_NE(at, std::string::npos);
    VS_FIXEDFILEINFO fixed;
    ASSERT_LE(at + sizeof fixed, resource.size());
    std::memcpy(&fixed, resource.data() + at, sizeof fixed);
    EXPECT_EQ(version, (std::uint64_t(fixed.dwFileVersionMS) << 32) | fixed.dwFileVersionLS);

    EXPECT_EQ(GetFileVersionNumber("c:\\no such folder\\none.dll"), 0u);
    EXPECT_EQ(FileVersionText(0x0001000200030004ull), "1.2.3.4");
    EXPECT_EQ(FileVersionText(0xffff00000000ffffull), "65535.0.0.65535");
}

TEST(HxTools, TicksSinceIgnoresTheWrap)
{
    EXPECT_EQ(TicksSince(0xfffffff0u, 0x10u), TicksSince(0x100u, 0x120u));
    EXPECT_EQ(TicksSince(0xfffffff0u, 0x10u), 0x20u);
    const DWORD start = GetTickCount() - 50;
    EXPECT_GE(TicksSince(start), 50u);
    EXPECT_LT(TicksSince(start), 60000u);
}

// ---- Hidden message windows ----

const UINT kTestMessage = RegisterWindowMessageA("hxToolsTestMessage");

struct TWindowThread {
    LRESULT Answer = 0;
    DWORD CalledOn = 0;
    HWND Window = nullptr;
    DWORD Id = 0;
    HANDLE Ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE Thread = nullptr;

    static void Handler(void* object, HWND, UINT, LRESULT& result, LPARAM lParam, WPARAM wParam)
    {
        auto* self = static_cast<TWindowThread*>(object);
        self->CalledOn = GetCurrentThreadId();
        result = self->Answer + lParam + static_cast<LRESULT>(wParam) * 1000;
    }

    // Creates its window through the registry and pumps until the window is gone.
    static DWORD WINAPI Main(void* parameter)
    {
        auto* self = static_cast<TWindowThread*>(parameter);
        self->Window = AddMsgHandler(kTestMessage, self, &Handler);
        SetEvent(self->Ready);
        MSG msg;
        while (self->Window && IsWindow(self->Window) && GetMessageA(&msg, nullptr, 0, 0) > 0)
            DispatchMessageA(&msg);
        return 0;
    }

    explicit TWindowThread(LRESULT answer) : Answer(answer)
    {
        Thread = CreateThread(nullptr, 0, &Main, this, 0, &Id);
        WaitForSingleObject(Ready, 10000);
    }
    ~TWindowThread()
    {
        if (Thread) {
            RemoveMsgHandler(kTestMessage, this, &Handler, Id);
            WaitForSingleObject(Thread, 10000);
            CloseHandle(Thread);
        }
        CloseHandle(Ready);
    }
    TWindowThread(const TWindowThread&) = delete;
    TWindowThread& operator=(const TWindowThread&) = delete;
};

std::vector<std::string> gCalls;

void FirstProc(HWND, UINT, WPARAM, LRESULT& result, LPARAM)
{
    gCalls.push_back("first");
    result = 1;
}

void SecondMethod(void* object, HWND, UINT, LRESULT& result, LPARAM, WPARAM)
{
    gCalls.push_back(static_cast<const char*>(object) + std::to_string(result));
    result = 2;
}

TEST(HxTools, MessageWindowsDispatchPerThread)
{
    TWindowThread one(100), two(200);
    ASSERT_NE(one.Window, nullptr);
    ASSERT_NE(two.Window, nullptr);
    EXPECT_NE(one.Window, two.Window);
    EXPECT_EQ(GetMsgHandlerWindow(one.Id), one.Window);
    EXPECT_EQ(GetMsgHandlerWindow(two.Id), two.Window);

    // Hidden, untitled, zero-size top-level tool windows named after their thread.
    char className[256];
    ASSERT_GT(GetClassNameA(one.Window, className, sizeof className), 0);
    EXPECT_TRUE(StartsWithStr(className, "hxToolsMsgHandlerWindow$" + CardinalToHex(one.Id) + "$"));
    EXPECT_EQ(FindWindowA(className, nullptr), one.Window);
    EXPECT_FALSE(IsWindowVisible(one.Window));
    EXPECT_EQ(GetWindowTextLengthA(one.Window), 0);
    EXPECT_EQ(GetWindowLongA(one.Window, GWL_STYLE) & (WS_POPUP | WS_CHILD | WS_CAPTION), WS_POPUP);
    EXPECT_TRUE(GetWindowLongA(one.Window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    RECT bounds{};
    GetWindowRect(one.Window, &bounds);
    EXPECT_TRUE(IsRectEmpty(&bounds));

    EXPECT_EQ(SendMessageA(one.Window, kTestMessage, 1, 5), 1105);
    EXPECT_EQ(one.CalledOn, one.Id);
    EXPECT_EQ(SendMessageA(two.Window, kTestMessage, 0, 7), 207);
    EXPECT_EQ(two.CalledOn, two.Id);
    // Messages outside the dispatched ranges reach no handler.
    one.CalledOn = 0;
    SendMessageA(one.Window, WM_TIMER, 0, 0);
    EXPECT_EQ(one.CalledOn, 0u);

    // A foreign thread's window cannot be created from here.
    const DWORD windowlessThread = 0xfffffffc;
    EXPECT_EQ(AddMsgHandler(kTestMessage, &FirstProc, windowlessThread), nullptr);
    EXPECT_EQ(GetMsgHandlerWindow(windowlessThread), nullptr);
}

// Broadcast system messages reach the handlers.
WPARAM gSettingChanged = 0;

void SettingChangeHandler(HWND, UINT, WPARAM wParam, LRESULT&, LPARAM)
{
    gSettingChanged = wParam;
}

TEST(HxTools, BroadcastsReachTheMessageHandlers)
{
    ASSERT_NE(AddMsgHandler(WM_SETTINGCHANGE, &SettingChangeHandler), nullptr);
    gSettingChanged = 0;
    // A setting number nobody else knows, so that other programs' windows ignore it.
    constexpr WPARAM unknownSetting = 0x4858;
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, unknownSetting, 0, SMTO_ABORTIFHUNG, 5000, &answer);
    EXPECT_EQ(gSettingChanged, unknownSetting);
    EXPECT_TRUE(RemoveMsgHandler(WM_SETTINGCHANGE, &SettingChangeHandler));
}

TEST(HxTools, MessageHandlersRunInOrderAndTheLastRemovalDestroys)
{
    char tag[] = "second saw ";
    HWND window = AddMsgHandler(kTestMessage, &FirstProc);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(AddMsgHandler(kTestMessage, tag, &SecondMethod), window);
    EXPECT_EQ(GetMsgHandlerWindow(), window);
    gCalls.clear();
    EXPECT_EQ(SendMessageA(window, kTestMessage, 0, 0), 2);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"first", "second saw 1"}));

    EXPECT_FALSE(RemoveMsgHandler(kTestMessage + 1, &FirstProc));
    EXPECT_TRUE(RemoveMsgHandler(kTestMessage, &FirstProc));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(RemoveMsgHandler(kTestMessage, tag, &SecondMethod));
    EXPECT_FALSE(IsWindow(window));

    // The window of another thread gets closed on that thread, which then ends its loop.
    TWindowThread other(0);
    const DWORD id = other.Id;
    EXPECT_TRUE(RemoveMsgHandler(kTestMessage, &other, &TWindowThread::Handler, id));
    EXPECT_EQ(WaitForSingleObject(other.Thread, 10000), WAIT_OBJECT_0);
    EXPECT_FALSE(IsWindow(other.Window));
    EXPECT_EQ(GetMsgHandlerWindow(id), nullptr);
}

// ---- PE images ----

struct TExport {
    std::string Name;
    WORD Ordinal;
};

// The export names of a loaded system module, read directly (the loader trusts these).
std::vector<TExport> ExportsOf(HMODULE module)
{
    auto base = reinterpret_cast<const unsigned char*>(module);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto dir = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    auto names = reinterpret_cast<const DWORD*>(base + dir->AddressOfNames);
    auto ordinals = reinterpret_cast<const WORD*>(base + dir->AddressOfNameOrdinals);
    std::vector<TExport> result;
    for (DWORD i = 0; i < dir->NumberOfNames; ++i)
        result.push_back({reinterpret_cast<const char*>(base + names[i]), static_cast<WORD>(dir->Base + ordinals[i])});
    return result;
}

bool IsForwarded(HMODULE module, const char* name, std::string* target = nullptr)
{
    std::string forwarder;
    const bool forwarded = TPeView::OfModule(module).ExportRva(name, &forwarder) == 0 && !forwarder.empty();
    if (target)
        *target = forwarder.substr(0, forwarder.rfind('.'));
    return forwarded;
}

TEST(HxTools, ExportsAgreeWithGetProcAddress)
{
    for (const char* moduleName : {"kernel32.dll", "ntdll.dll"}) {
        HMODULE module = GetModuleHandleA(moduleName);
        ASSERT_NE(module, nullptr);
        ASSERT_NE(PeNtHeaders(module), nullptr);
        const std::vector<TExport> exports = ExportsOf(module);
        ASSERT_GT(exports.size(), 500u);
        int forwarded = 0, checked = 0;
        std::string targets;
        for (const TExport& e : exports) {
            FARPROC expected = GetProcAddress(module, e.Name.c_str());
            if (!expected)
                continue; // not resolvable by the loader either
            ++checked;
            EXPECT_EQ(PeExportAddress(module, e.Name.c_str()), expected) << moduleName << " " << e.Name;
            EXPECT_EQ(PeExportAddress(module, e.Ordinal), expected) << moduleName << " #" << e.Ordinal;
            std::string target;
            if (IsForwarded(module, e.Name.c_str(), &target)) {
                ++forwarded;
                if (!ListContainsText(targets, ',', target))
                    targets += (targets.empty() ? "" : ",") + target;
            } else {
                EXPECT_EQ(PeExportName(module, reinterpret_cast<const void*>(expected)).empty(), false);
            }
        }
        EXPECT_GT(checked, 500) << moduleName;
        if (std::string(moduleName) == "kernel32.dll") {
            EXPECT_GT(forwarded, 0) << "kernel32 forwards to kernelbase and ntdll";
        }
        std::printf("%s: %d exports checked, %d forwarded to %s\n", moduleName, checked, forwarded, targets.c_str());
        EXPECT_EQ(PeExportAddress(module, "NoSuchExportAnywhere"), nullptr);
        EXPECT_EQ(PeExportAddress(module, WORD(0xfff0)), nullptr);
    }
}

TEST(HxTools, FileExportsAndNames)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    int compared = 0;
    for (const TExport& e : ExportsOf(kernel32)) {
        FARPROC expected = GetProcAddress(kernel32, e.Name.c_str());
        if (!expected || IsForwarded(kernel32, e.Name.c_str()))
            continue;
        EXPECT_EQ(PeFileExportAddress(kernel32, e.Name.c_str()), expected) << e.Name;
        // Aliases share an address: the name found must lead back to it.
        const std::string name = PeExportName(kernel32, reinterpret_cast<const void*>(expected));
        EXPECT_EQ(GetProcAddress(kernel32, name.c_str()), expected) << e.Name << " -> " << name;
        ++compared;
    }
    EXPECT_GT(compared, 100);
    EXPECT_EQ(PeExportName(kernel32, kernel32), "");
}

TEST(HxTools, ResourcesAndModules)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    HRSRC found = FindResourceA(kernel32, MAKEINTRESOURCEA(1), RT_VERSION);
    ASSERT_NE(found, nullptr);
    const void* data = LockResource(LoadResource(kernel32, found));
    const std::string expected(static_cast<const char*>(data), SizeofResource(kernel32, found));
    EXPECT_EQ(ResourceToString(kernel32, RT_VERSION, MAKEINTRESOURCEA(1)), expected);
    EXPECT_EQ(ResourceToString(kernel32, "#16", "#1"), expected);
    EXPECT_EQ(ResourceToString(kernel32, RT_VERSION, MAKEINTRESOURCEA(999)), "");
    EXPECT_EQ(ResourceToString(kernel32, "NOSUCHTYPE", "X"), "");

    std::string file;
    EXPECT_EQ(ModuleOfAddress(reinterpret_cast<const void*>(&ExportsOf), &file), GetModuleHandleA(nullptr));
    char own[MAX_PATH];
    GetModuleFileNameA(nullptr, own, MAX_PATH);
    EXPECT_EQ(file, own);
    std::vector<char> heap(64);
    EXPECT_EQ(ModuleOfAddress(heap.data(), &file), nullptr);
    EXPECT_EQ(file, "");

    const IMAGE_DATA_DIRECTORY* exports = PeDataDirectory(kernel32, IMAGE_DIRECTORY_ENTRY_EXPORT);
    ASSERT_NE(exports, nullptr);
    EXPECT_GT(exports->Size, 0u);
    EXPECT_EQ(PeDataDirectory(kernel32, 16), nullptr);
}

// A copy of a loaded image in private memory: the bytes beyond the copy are reserved, not committed.
class TImageCopy {
public:
    TImageCopy(HMODULE module, std::size_t committed)
    {
        const IMAGE_NT_HEADERS* nt = PeNtHeaders(module);
        size_ = nt->OptionalHeader.SizeOfImage;
        base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, size_ + 0x10000, MEM_RESERVE, PAGE_NOACCESS));
        committed_ = committed ? committed : size_;
        VirtualAlloc(base_, committed_, MEM_COMMIT, PAGE_READWRITE);
        // Copy page by page: some pages of the image may not be readable.
        for (std::size_t offset = 0; offset < committed_; offset += 0x1000) {
            MEMORY_BASIC_INFORMATION info;
            VirtualQuery(reinterpret_cast<const unsigned char*>(module) + offset, &info, sizeof info);
            if (info.State == MEM_COMMIT && !(info.Protect & (PAGE_NOACCESS | PAGE_GUARD)))
                std::memcpy(base_ + offset, reinterpret_cast<const unsigned char*>(module) + offset,
                            std::min<std::size_t>(0x1000, committed_ - offset));
        }
    }
    ~TImageCopy() { VirtualFree(base_, 0, MEM_RELEASE); }
    TImageCopy(const TImageCopy&) = delete;
    TImageCopy& operator=(const TImageCopy&) = delete;

    unsigned char* Base() const { return base_; }
    IMAGE_DOS_HEADER& Dos() const { return *reinterpret_cast<IMAGE_DOS_HEADER*>(base_); }
    IMAGE_NT_HEADERS& Nt() const { return *reinterpret_cast<IMAGE_NT_HEADERS*>(base_ + Dos().e_lfanew); }

private:
    unsigned char* base_ = nullptr;
    std::size_t size_ = 0, committed_ = 0;
};

// A non-forwarded kernel32 export and its RVA.
std::pair<std::string, std::uintptr_t> PlainExport(HMODULE kernel32)
{
    for (const TExport& e : ExportsOf(kernel32)) {
        FARPROC address = GetProcAddress(kernel32, e.Name.c_str());
        if (address && !IsForwarded(kernel32, e.Name.c_str()))
            return {e.Name, reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(kernel32)};
    }
    return {};
}

TEST(HxTools, DamagedImagesAreRefusedWithoutFaults)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    const auto [name, rva] = PlainExport(kernel32);
    ASSERT_FALSE(name.empty());
    auto exportOffset = [&](const TImageCopy& copy) {
        FARPROC p = PeExportAddress(copy.Base(), name.c_str());
        return p ? reinterpret_cast<std::uintptr_t>(p) - reinterpret_cast<std::uintptr_t>(copy.Base()) : 0;
    };
    {
        TImageCopy intact(kernel32, 0);
        EXPECT_EQ(exportOffset(intact), rva);
    }
    for (LONG lfanew : {LONG(0x7ffffff0), LONG(-64), LONG(0x41), LONG(0), LONG(0x100000)}) {
        TImageCopy copy(kernel32, 0);
        copy.Dos().e_lfanew = lfanew;
        EXPECT_EQ(PeNtHeaders(copy.Base()), nullptr) << lfanew;
        EXPECT_EQ(exportOffset(copy), 0u) << lfanew;
        EXPECT_EQ(ResourceToString(copy.Base(), RT_VERSION, MAKEINTRESOURCEA(1)), "");
    }
    {
        // Only the header page is there: headers parse, the export table lies beyond the copy.
        TImageCopy headersOnly(kernel32, 0x1000);
        EXPECT_NE(PeNtHeaders(headersOnly.Base()), nullptr);
        EXPECT_EQ(exportOffset(headersOnly), 0u);
        EXPECT_EQ(PeDataDirectory(headersOnly.Base(), IMAGE_DIRECTORY_ENTRY_EXPORT), nullptr);
    }
    {
        TImageCopy copy(kernel32, 0);
        copy.Nt().FileHeader.NumberOfSections = 0xffff;
        EXPECT_EQ(PeNtHeaders(copy.Base()), nullptr);
    }
    {
        TImageCopy copy(kernel32, 0);
        copy.Nt().OptionalHeader.NumberOfRvaAndSizes = 0xffffffff;
        copy.Nt().FileHeader.SizeOfOptionalHeader = 8;
        EXPECT_EQ(PeNtHeaders(copy.Base()), nullptr);
    }
    {
        TImageCopy copy(kernel32, 0);
        copy.Nt().OptionalHeader.SizeOfImage = 0x200;
        EXPECT_EQ(PeNtHeaders(copy.Base()), nullptr);
    }
    {
        // Export tables pointing out of the image or claiming too many entries.
        TImageCopy copy(kernel32, 0);
        const DWORD dirRva = copy.Nt().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress;
        auto* dir = reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(copy.Base() + dirRva);
        const IMAGE_EXPORT_DIRECTORY saved = *dir;
        dir->AddressOfNames = 0xfffffff0;
        EXPECT_EQ(exportOffset(copy), 0u);
        *dir = saved;
        dir->NumberOfFunctions = 0x7fffffff;
        EXPECT_EQ(exportOffset(copy), 0u);
        *dir = saved;
        copy.Nt().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].Size = 0x7fffffff;
        EXPECT_EQ(exportOffset(copy), 0u);
    }

    // Memory that holds no image at all.
    std::vector<unsigned char> garbage(4096, 0x4d);
    EXPECT_EQ(PeNtHeaders(garbage.data()), nullptr);
    EXPECT_EQ(PeNtHeaders(reinterpret_cast<const void*>(0x10)), nullptr);
    EXPECT_EQ(PeNtHeaders(nullptr), nullptr);
    void* freed = VirtualAlloc(nullptr, 0x1000, MEM_COMMIT, PAGE_READWRITE);
    std::memcpy(freed, kernel32, 0x1000);
    VirtualFree(freed, 0, MEM_RELEASE);
    EXPECT_EQ(PeNtHeaders(freed), nullptr);
    EXPECT_EQ(PeExportAddress(freed, name.c_str()), nullptr);
}

TEST(HxTools, TruncatedFileSectionsAreRefused)
{
    char path[MAX_PATH];
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    ASSERT_GT(GetModuleFileNameA(kernel32, path, MAX_PATH), 0u);
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::vector<unsigned char> bytes(GetFileSize(file, nullptr));
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    ASSERT_EQ(read, bytes.size());

    const auto [name, rva] = PlainExport(kernel32);
    const TPeView whole(bytes.data(), bytes.size(), TPeView::TLayout::File);
    ASSERT_TRUE(whole.Valid());
    EXPECT_EQ(whole.ExportRva(name.c_str(), nullptr), rva);
    // Cut inside the export data: the same lookup fails cleanly.
    const IMAGE_DATA_DIRECTORY* dir = whole.DataDirectory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    ASSERT_NE(dir, nullptr);
    const auto* start = static_cast<const unsigned char*>(whole.At(dir->VirtualAddress, 1));
    const std::size_t cut = static_cast<std::size_t>(start - bytes.data()) + 16;
    const TPeView truncated(bytes.data(), cut, TPeView::TLayout::File);
    ASSERT_TRUE(truncated.Valid());
    EXPECT_EQ(truncated.ExportRva(name.c_str(), nullptr), 0u);
    EXPECT_EQ(truncated.At(dir->VirtualAddress, 32), nullptr);
    EXPECT_FALSE(TPeView(bytes.data(), 0x3f, TPeView::TLayout::File).Valid());
}

// ---- Names ----

TEST(HxTools, UndecoratingOurNames)
{
    const struct {
        const char* Decorated;
        const char* Plain;
        bool Result;
    } cases[] = {
        {"_ZN2hx6Widget5PaintEv", "hx.Widget.Paint", true},
        {"__ZN2hx6Widget5PaintEv", "hx.Widget.Paint", true},
        {"_ZNK3Foo3getEi", "Foo.get", true},
        {"_ZN3FooC2Ev", "Foo.Foo", true},
        {"_ZN3FooD1Ev", "Foo.~Foo", true},
        {"_Z3maxIiET_S0_S0_", "max<int>", true},
        {"_ZN3FooclEi", "Foo.operator()", true},
        {"_ZN3FoolsEi", "Foo.operator<<", true},
        {"_ZN12_GLOBAL__N_13fooEv", "(anonymous namespace).foo", true},
        {"_ZNSt6vectorIiSaIiEE9push_backERKi", "std.vector<int, std.allocator<int> >.push_back", true},
        {"CreateFileA", "CreateFileA", false},
        {"a::b", "a.b", false},
        {"_Znot a name", "_Znot a name", false},
    };
    for (const auto& c : cases) {
        std::string name = c.Decorated, unit = "stale";
        EXPECT_EQ(UndecorateName(name, unit), c.Result) << c.Decorated;
        EXPECT_EQ(name, c.Plain);
        EXPECT_EQ(unit, "");
    }
}

} // namespace
