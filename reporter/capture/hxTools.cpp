#include "hxTools.h"

#include "hxStrings.h"

#include <atomic>
#include <cstring>
#include <cxxabi.h>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

// ---- Operating system ----

const char* const kOsKindNames[] = {
    "None", "Windows 95", "Windows 95 OSR-2", "Windows 98", "Windows 98 SE", "Windows ME",
    "Windows 9x New", "Windows NT 3", "Windows NT 4", "Windows 2000", "Windows XP", "Windows 2003",
    "Windows NT New"};

int Kind9x(DWORD major, DWORD minor, DWORD build)
{
    if (major != 4)
        return okWin9xNew;
    if (minor < 10)
        return build <= 1000 ? okWin95 : okWin95Osr2;
    if (minor == 10)
        return build <= 2000 ? okWin98 : (build <= 2700 ? okWin98Se : okWinMe);
    if (minor <= 90)
        return okWinMe;
    return okWin9xNew;
}

int KindNT(DWORD major, DWORD minor)
{
    if (major < 4)
        return okWinNt3;
    if (major == 4)
        return okWinNt4;
    if (major == 5 && minor <= 2)
        return okWin2000 + static_cast<int>(minor);
    return okWinNtNew;
}

// ---- Handles ----

struct THandleCloser {
    void operator()(HANDLE h) const noexcept { CloseHandle(h); }
};
using THandle = std::unique_ptr<void, THandleCloser>;

struct TViewUnmapper {
    void operator()(const void* p) const noexcept { UnmapViewOfFile(p); }
};
using TMappedView = std::unique_ptr<const void, TViewUnmapper>;

// ---- Hidden message windows ----

struct THandlerEntry {
    UINT Message;
    TMsgHandlerProc Proc;
    void* Object;
    TMsgHandlerMethod Method;

    bool Same(const THandlerEntry& other) const noexcept
    {
        return Message == other.Message && Proc == other.Proc && Object == other.Object && Method == other.Method;
    }
};

struct TWindowEntry {
    DWORD ThreadId;
    HWND Window;
    std::vector<THandlerEntry> Handlers;
};

// Never destroyed: the reporter's finalisation may still look at it after static destructors ran.
std::vector<TWindowEntry>& WindowRegistry()
{
    alignas(std::vector<TWindowEntry>) static unsigned char storage[sizeof(std::vector<TWindowEntry>)];
    static std::vector<TWindowEntry>* registry = new (storage) std::vector<TWindowEntry>();
    return *registry;
}

std::atomic<HANDLE> gRegistryMutex{nullptr};

std::string NameSuffix(DWORD threadId)
{
    return "$" + CardinalToHex(threadId) + "$" +
           Int64ToHex(reinterpret_cast<std::uintptr_t>(&NameSuffix));
}

HANDLE RegistryMutex() noexcept
{
    HANDLE mutex = gRegistryMutex.load();
    if (mutex)
        return mutex;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE))
        return nullptr;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    std::string name;
    try {
        name = "hxToolsMsgHandlerMutex" + NameSuffix(GetCurrentThreadId());
    } catch (...) {
        return nullptr;
    }
    HANDLE created = CreateMutexA(&attributes, FALSE, name.c_str());
    if (!created)
        return nullptr;
    HANDLE expected = nullptr;
    if (!gRegistryMutex.compare_exchange_strong(expected, created)) {
        CloseHandle(created);
        return expected;
    }
    return created;
}

// Holds the registry mutex; Locked() is false when it could not be had.
class TRegistryLock {
public:
    TRegistryLock() noexcept : mutex_(RegistryMutex())
    {
        if (mutex_) {
            DWORD wait = WaitForSingleObject(mutex_, INFINITE);
            if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
                mutex_ = nullptr;
        }
    }
    ~TRegistryLock()
    {
        if (mutex_)
            ReleaseMutex(mutex_);
    }
    TRegistryLock(const TRegistryLock&) = delete;
    TRegistryLock& operator=(const TRegistryLock&) = delete;
    bool Locked() const noexcept { return mutex_ != nullptr; }

private:
    HANDLE mutex_;
};

TWindowEntry* FindThreadEntry(DWORD threadId) noexcept
{
    for (TWindowEntry& entry : WindowRegistry())
        if (entry.ThreadId == threadId)
            return &entry;
    return nullptr;
}

// Messages 16-127 that reach the handlers; every message from 536 (WM_POWERBROADCAST) on does too.
constexpr UINT kDispatchedLowMessages[] = {
    WM_QUERYENDSESSION, WM_ENDSESSION, WM_SYSCOLORCHANGE, WM_SETTINGCHANGE, WM_DEVMODECHANGE,
    WM_ACTIVATEAPP, WM_FONTCHANGE, WM_TIMECHANGE, WM_SPOOLERSTATUS, WM_COMPACTING, WM_POWER,
    WM_COPYDATA, WM_USERCHANGED, WM_DISPLAYCHANGE};

bool IsDispatched(UINT message) noexcept
{
    if (message >= 536)
        return true;
    for (UINT m : kDispatchedLowMessages)
        if (m == message)
            return true;
    return false;
}

LRESULT CALLBACK MsgHandlerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = DefWindowProcA(window, message, wParam, lParam);
    try {
        if (message == WM_NCDESTROY) {
            TRegistryLock lock;
            if (lock.Locked()) {
                auto& registry = WindowRegistry();
                for (auto it = registry.begin(); it != registry.end(); ++it)
                    if (it->Window == window) {
                        registry.erase(it);
                        break;
                    }
            }
            return result;
        }
        if (!IsDispatched(message))
            return result;
        std::vector<THandlerEntry> handlers;
        {
            TRegistryLock lock;
            if (!lock.Locked())
                return result;
            for (const TWindowEntry& entry : WindowRegistry())
                if (entry.Window == window) {
                    for (const THandlerEntry& handler : entry.Handlers)
                        if (handler.Message == message)
                            handlers.push_back(handler);
                    break;
                }
        }
        for (const THandlerEntry& handler : handlers) {
            if (handler.Proc)
                handler.Proc(window, message, wParam, result, lParam);
            else
                handler.Method(handler.Object, window, message, result, lParam, wParam);
        }
    } catch (...) {
        // Nothing may unwind through user32.
    }
    return result;
}

HINSTANCE OwnInstance() noexcept
{
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

HWND AddHandler(const THandlerEntry& handler, DWORD threadId) noexcept
{
    HWND window = GetMsgHandlerWindow(threadId);
    if (!window)
        return nullptr;
    try {
        TRegistryLock lock;
        if (!lock.Locked())
            return nullptr;
        TWindowEntry* entry = FindThreadEntry(threadId ? threadId : GetCurrentThreadId());
        if (!entry || entry->Window != window)
            return nullptr;
        entry->Handlers.push_back(handler);
        return window;
    } catch (...) {
        return nullptr;
    }
}

bool RemoveHandler(const THandlerEntry& handler, DWORD threadId) noexcept
{
    const DWORD current = GetCurrentThreadId();
    if (threadId == 0)
        threadId = current;
    HWND emptied = nullptr;
    {
        TRegistryLock lock;
        if (!lock.Locked())
            return false;
        TWindowEntry* entry = FindThreadEntry(threadId);
        if (!entry)
            return false;
        auto& handlers = entry->Handlers;
        auto it = handlers.begin();
        while (it != handlers.end() && !it->Same(handler))
            ++it;
        if (it == handlers.end())
            return false;
        handlers.erase(it);
        if (handlers.empty()) {
            emptied = entry->Window;
            WindowRegistry().erase(WindowRegistry().begin() + (entry - WindowRegistry().data()));
        }
    }
    if (emptied) {
        if (threadId == current) {
            DestroyWindow(emptied);
            try {
                UnregisterClassA(("hxToolsMsgHandlerWindow" + NameSuffix(threadId)).c_str(), OwnInstance());
            } catch (...) {
            }
        } else {
            PostMessageA(emptied, WM_CLOSE, 0, 0);
        }
    }
    return true;
}

// ---- PE images ----

bool IsReadable(DWORD protect) noexcept
{
    if (protect & (PAGE_GUARD | PAGE_NOACCESS))
        return false;
    return (protect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                       PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

// Bytes readable from address on, within the same allocation.
std::size_t ReadableExtent(const void* address) noexcept
{
    MEMORY_BASIC_INFORMATION info;
    if (!VirtualQuery(address, &info, sizeof info) || info.State != MEM_COMMIT || !IsReadable(info.Protect))
        return 0;
    const void* allocation = info.AllocationBase;
    const auto start = reinterpret_cast<std::uintptr_t>(address);
    std::uintptr_t end = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    while (VirtualQuery(reinterpret_cast<const void*>(end), &info, sizeof info) && info.AllocationBase == allocation &&
           info.State == MEM_COMMIT && IsReadable(info.Protect) && info.RegionSize != 0)
        end += info.RegionSize;
    return end - start;
}

template <class T>
bool ReadAt(const TPeView& view, std::uint32_t rva, T& out) noexcept
{
    const void* p = view.At(rva, sizeof(T));
    if (!p)
        return false;
    std::memcpy(&out, p, sizeof(T));
    return true;
}

bool ParseOrdinal(const char* text, WORD& ordinal) noexcept
{
    if (!text || text[0] != '#' || !text[1])
        return false;
    unsigned long value = 0;
    for (const char* p = text + 1; *p; ++p) {
        if (*p < '0' || *p > '9' || value > 0xffff)
            return false;
        value = value * 10 + (*p - '0');
    }
    if (value > 0xffff)
        return false;
    ordinal = static_cast<WORD>(value);
    return true;
}

constexpr int kMaxForwardDepth = 8;

FARPROC ExportAddress(const void* module, const char* name, WORD ordinal, int depth) noexcept;
FARPROC FileExportAddress(const void* module, const char* name, WORD ordinal, int depth) noexcept;

// "module.function" or "module.#ordinal", resolved in a module that is already loaded.
FARPROC FollowForwarder(const std::string& forwarder, int depth) noexcept
{
    if (depth >= kMaxForwardDepth)
        return nullptr;
    std::size_t dot = forwarder.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == forwarder.size())
        return nullptr;
    try {
        std::string moduleName = forwarder.substr(0, dot);
        std::string function = forwarder.substr(dot + 1);
        HMODULE target = GetModuleHandleA(moduleName.c_str());
        if (!target)
            return nullptr;
        WORD ordinal = 0;
        if (ParseOrdinal(function.c_str(), ordinal))
            return ExportAddress(target, nullptr, ordinal, depth + 1);
        return ExportAddress(target, function.c_str(), 0, depth + 1);
    } catch (...) {
        return nullptr;
    }
}

FARPROC ToProc(const void* module, std::uint32_t rva) noexcept
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<std::uintptr_t>(module) + rva);
}

FARPROC ExportAddress(const void* module, const char* name, WORD ordinal, int depth) noexcept
{
    const TPeView view = TPeView::OfModule(module);
    if (view.Valid()) {
        std::string forwarder;
        std::uint32_t rva = name ? view.ExportRva(name, &forwarder) : view.ExportRva(ordinal, &forwarder);
        if (rva)
            return ToProc(module, rva);
        if (!forwarder.empty())
            return FollowForwarder(forwarder, depth);
    }
    return FileExportAddress(module, name, ordinal, depth);
}

FARPROC FileExportAddress(const void* module, const char* name, WORD ordinal, int depth) noexcept
{
    char path[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(static_cast<HMODULE>(const_cast<void*>(module)), path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    THandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        return nullptr;
    }
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(file.get(), &fileSize) || fileSize.QuadPart <= 0 ||
        static_cast<unsigned long long>(fileSize.QuadPart) > SIZE_MAX)
        return nullptr;
    THandle mapping(CreateFileMappingA(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping)
        return nullptr;
    TMappedView bytes(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!bytes)
        return nullptr;
    const TPeView view(bytes.get(), static_cast<std::size_t>(fileSize.QuadPart), TPeView::TLayout::File);
    if (!view.Valid())
        return nullptr;
    std::string forwarder;
    std::uint32_t rva = name ? view.ExportRva(name, &forwarder) : view.ExportRva(ordinal, &forwarder);
    if (rva && rva < view.NtHeaders()->OptionalHeader.SizeOfImage)
        return ToProc(module, rva);
    if (!forwarder.empty())
        return FollowForwarder(forwarder, depth);
    return nullptr;
}

// Resource keys: an integer id (MAKEINTRESOURCE or "#id") or a name.
struct TResourceKey {
    bool IsId = false;
    WORD Id = 0;
    const char* Name = nullptr;
};

TResourceKey MakeResourceKey(const char* key) noexcept
{
    TResourceKey result;
    if (IS_INTRESOURCE(key)) {
        result.IsId = true;
        result.Id = static_cast<WORD>(reinterpret_cast<std::uintptr_t>(key));
    } else if (ParseOrdinal(key, result.Id)) {
        result.IsId = true;
    } else {
        result.Name = key;
    }
    return result;
}

// ---- Names ----

bool StartsAt(const std::string& s, std::size_t i, const char* word) noexcept
{
    return s.compare(i, std::strlen(word), word) == 0;
}

bool IsIdentifierChar(char c) noexcept
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// "ret ns::name<args>(params) const" -> "ns::name<args>"; names without a parameter list stay.
std::string DropSignature(const std::string& s)
{
    static const char anonymous[] = "(anonymous namespace)";
    static const char operatorChars[] = "<>=!+-*/%&|^~[],";
    std::size_t nameStart = 0, i = 0;
    int depth = 0;
    bool operatorSeen = false;
    while (i < s.size()) {
        if (depth == 0 && StartsAt(s, i, anonymous)) {
            i += sizeof anonymous - 1;
            continue;
        }
        if (depth == 0 && StartsAt(s, i, "operator") && (i == 0 || !IsIdentifierChar(s[i - 1])) &&
            (i + 8 == s.size() || !IsIdentifierChar(s[i + 8]))) {
            operatorSeen = true;
            i += 8;
            if (StartsAt(s, i, "()"))
                i += 2;
            else
                while (i < s.size() && std::strchr(operatorChars, s[i]))
                    ++i;
            continue;
        }
        char c = s[i];
        if (c == '(' && depth == 0)
            return s.substr(nameStart, i - nameStart);
        if (c == '<' || c == '(' || c == '[' || c == '{')
            ++depth;
        else if ((c == '>' || c == ')' || c == ']' || c == '}') && depth > 0)
            --depth;
        else if (c == ' ' && depth == 0 && !operatorSeen)
            nameStart = i + 1;
        ++i;
    }
    return s;
}

struct TFreeDemangled {
    void operator()(char* p) const noexcept { std::free(p); }
};

} // namespace

// ---- Operating system ----

TOsInfo MakeOsInfo(DWORD platform, DWORD major, DWORD minor, DWORD build, std::string_view servicePack) noexcept
{
    TOsInfo info;
    try {
        info.Major = major;
        info.Minor = minor;
        info.Is9x = platform == VER_PLATFORM_WIN32_WINDOWS;
        info.IsNT = platform == VER_PLATFORM_WIN32_NT;
        info.Build = info.Is9x ? (build & 0xffff) : build;
        info.ServicePack = std::string(servicePack.substr(0, 128));
        if (info.Is9x)
            info.Kind = info.Kind9x = Kind9x(major, minor, info.Build);
        else if (info.IsNT)
            info.Kind = info.KindNT = KindNT(major, minor);
        if (info.IsNT && info.ServicePack.size() >= 14) {
            for (std::size_t i = 13; i < info.ServicePack.size(); ++i) {
                char c = info.ServicePack[i];
                if (c < '0' || c > '9' || info.ServicePackNumber > 100000)
                    break;
                info.ServicePackNumber = info.ServicePackNumber * 10 + (c - '0');
            }
        }
        info.Name = kOsKindNames[info.Kind];
        if (info.IsNT && !info.ServicePack.empty())
            info.Name += " " + info.ServicePack;
    } catch (...) {
    }
    return info;
}

TOsInfo GetOsInfo() noexcept
{
    static const TOsInfo info = [] {
        OSVERSIONINFOW version{};
        version.dwOSVersionInfoSize = sizeof version;
        if (!GetVersionExW(&version))
            return TOsInfo();
        std::string servicePack;
        for (int i = 0; i < 128 && version.szCSDVersion[i]; ++i)
            servicePack += static_cast<char>(version.szCSDVersion[i] < 256 ? version.szCSDVersion[i] : '?');
        return MakeOsInfo(version.dwPlatformId, version.dwMajorVersion, version.dwMinorVersion,
                          version.dwBuildNumber, servicePack);
    }();
    try {
        return info;
    } catch (...) {
        return TOsInfo();
    }
}

int GetFreeResources(int) noexcept
{
    // Only the 9x line reports free system resources, through its 16-bit user module;
    // on NT, and in this build on 9x as well, the neutral answer is 0.
    return 0;
}

std::uint64_t GetFileVersionNumber(const std::string& file) noexcept
{
    try {
        DWORD handle = 0;
        DWORD size = GetFileVersionInfoSizeA(file.c_str(), &handle);
        if (size == 0)
            return 0;
        std::vector<unsigned char> data(size);
        if (!GetFileVersionInfoA(file.c_str(), 0, size, data.data()))
            return 0;
        void* fixed = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(data.data(), "\\", &fixed, &length) || !fixed || length < sizeof(VS_FIXEDFILEINFO))
            return 0;
        VS_FIXEDFILEINFO info;
        std::memcpy(&info, fixed, sizeof info);
        if (info.dwSignature != 0xfeef04bd)
            return 0;
        return (std::uint64_t(info.dwFileVersionMS) << 32) | info.dwFileVersionLS;
    } catch (...) {
        return 0;
    }
}

std::string FileVersionText(std::uint64_t version) noexcept
{
    try {
        return IntToStrFast(static_cast<std::int32_t>(version >> 48)) + "." +
               IntToStrFast(static_cast<std::int32_t>((version >> 32) & 0xffff)) + "." +
               IntToStrFast(static_cast<std::int32_t>((version >> 16) & 0xffff)) + "." +
               IntToStrFast(static_cast<std::int32_t>(version & 0xffff));
    } catch (...) {
        return {};
    }
}

// ---- Hidden message windows ----

HWND GetMsgHandlerWindow(DWORD threadId) noexcept
{
    const DWORD current = GetCurrentThreadId();
    if (threadId == 0)
        threadId = current;
    try {
        TRegistryLock lock;
        if (!lock.Locked())
            return nullptr;
        if (TWindowEntry* entry = FindThreadEntry(threadId))
            return entry->Window;
        if (threadId != current)
            return nullptr;
        const std::string className = "hxToolsMsgHandlerWindow" + NameSuffix(threadId);
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = MsgHandlerWindowProc;
        windowClass.hInstance = OwnInstance();
        windowClass.lpszClassName = className.c_str();
        if (!RegisterClassA(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
            return nullptr;
        WindowRegistry().reserve(WindowRegistry().size() + 1);
        // A hidden, untitled, zero-size top-level tool window: broadcasts reach it, a search among
        // the top-level windows finds it, and it never shows in the task bar.
        HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, className.c_str(), "", WS_POPUP, 0, 0, 0, 0, nullptr,
                                      nullptr, OwnInstance(), nullptr);
        if (!window)
            return nullptr;
        WindowRegistry().push_back(TWindowEntry{threadId, window, {}});
        return window;
    } catch (...) {
        return nullptr;
    }
}

HWND AddMsgHandler(UINT message, TMsgHandlerProc proc, DWORD threadId) noexcept
{
    return proc ? AddHandler(THandlerEntry{message, proc, nullptr, nullptr}, threadId) : nullptr;
}

HWND AddMsgHandler(UINT message, void* object, TMsgHandlerMethod method, DWORD threadId) noexcept
{
    return method ? AddHandler(THandlerEntry{message, nullptr, object, method}, threadId) : nullptr;
}

bool RemoveMsgHandler(UINT message, TMsgHandlerProc proc, DWORD threadId) noexcept
{
    return proc && RemoveHandler(THandlerEntry{message, proc, nullptr, nullptr}, threadId);
}

bool RemoveMsgHandler(UINT message, void* object, TMsgHandlerMethod method, DWORD threadId) noexcept
{
    return method && RemoveHandler(THandlerEntry{message, nullptr, object, method}, threadId);
}

void CloseMsgHandlerMutex() noexcept
{
    if (HANDLE mutex = gRegistryMutex.exchange(nullptr))
        CloseHandle(mutex);
}

void WaitAnsweringSentMessages(HANDLE handle) noexcept
{
    // The system's own retrieval: a hooked one would block here while the threads are paused.
    using TPeekMessage = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT, UINT);
    const auto peek = LibraryProc<TPeekMessage>(GetModuleHandleA("user32.dll"), "PeekMessageA");
    if (!peek) {
        WaitForSingleObject(handle, INFINITE);
        return;
    }
    while (MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        // Delivers the sent messages; nothing is taken from the queue.
        MSG message;
        peek(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

// ---- PE images ----

HMODULE ModuleOfAddress(const void* address, std::string* fileName) noexcept
{
    if (fileName)
        fileName->clear();
    MEMORY_BASIC_INFORMATION info;
    if (!VirtualQuery(address, &info, sizeof info) || info.State != MEM_COMMIT || info.Type != MEM_IMAGE ||
        !info.AllocationBase)
        return nullptr;
    HMODULE module = static_cast<HMODULE>(info.AllocationBase);
    if (fileName) {
        char path[MAX_PATH + 1];
        DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
        try {
            if (length > 0 && length < MAX_PATH)
                fileName->assign(path, length);
        } catch (...) {
        }
    }
    return module;
}

struct TPeView::TExportTable {
    std::uint32_t DirectoryRva = 0;
    std::uint32_t DirectorySize = 0;
    IMAGE_EXPORT_DIRECTORY Directory{};
    const unsigned char* Functions = nullptr;
    const unsigned char* Names = nullptr;
    const unsigned char* NameOrdinals = nullptr;

    std::uint32_t Function(std::uint32_t i) const noexcept { return Dword(Functions, i); }
    std::uint32_t Name(std::uint32_t i) const noexcept { return Dword(Names, i); }
    std::uint32_t NameOrdinal(std::uint32_t i) const noexcept
    {
        WORD value;
        std::memcpy(&value, NameOrdinals + 2 * i, 2);
        return value;
    }

private:
    static std::uint32_t Dword(const unsigned char* table, std::uint32_t i) noexcept
    {
        std::uint32_t value;
        std::memcpy(&value, table + 4 * i, 4);
        return value;
    }
};

TPeView::TPeView(const void* base, std::size_t size, TLayout layout) noexcept
    : base_(static_cast<const unsigned char*>(base)), size_(size), layout_(layout)
{
    IMAGE_DOS_HEADER dos;
    if (!base_ || size_ < sizeof dos)
        return;
    std::memcpy(&dos, base_, sizeof dos);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE)
        return;
    // e_lfanew is untrusted: non-negative, aligned, and the whole NT header inside the view.
    const long long ntOffset = dos.e_lfanew;
    if (ntOffset < static_cast<long long>(sizeof(DWORD)) || ntOffset % 4 != 0 ||
        static_cast<unsigned long long>(ntOffset) + sizeof(IMAGE_NT_HEADERS) > size_)
        return;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base_ + ntOffset);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC)
        return;
    const std::size_t optionalSize = nt->FileHeader.SizeOfOptionalHeader;
    if (optionalSize < offsetof(IMAGE_OPTIONAL_HEADER, DataDirectory))
        return;
    const unsigned long long sectionOffset =
        static_cast<unsigned long long>(ntOffset) + offsetof(IMAGE_NT_HEADERS, OptionalHeader) + optionalSize;
    const unsigned sectionCount = nt->FileHeader.NumberOfSections;
    const unsigned long long headersEnd = sectionOffset + sectionCount * sizeof(IMAGE_SECTION_HEADER);
    if (headersEnd > size_)
        return;
    if (layout_ == TLayout::Image) {
        const std::size_t imageSize = nt->OptionalHeader.SizeOfImage;
        if (imageSize < headersEnd)
            return;
        if (imageSize < size_)
            size_ = imageSize;
    }
    sections_ = reinterpret_cast<const IMAGE_SECTION_HEADER*>(base_ + sectionOffset);
    sectionCount_ = sectionCount;
    nt_ = nt;
}

TPeView TPeView::OfModule(const void* module) noexcept
{
    return TPeView(module, module ? ReadableExtent(module) : 0, TLayout::Image);
}

const IMAGE_DATA_DIRECTORY* TPeView::DataDirectory(unsigned index) const noexcept
{
    if (!nt_ || index >= IMAGE_NUMBEROF_DIRECTORY_ENTRIES || index >= nt_->OptionalHeader.NumberOfRvaAndSizes ||
        offsetof(IMAGE_OPTIONAL_HEADER, DataDirectory) + (index + 1) * sizeof(IMAGE_DATA_DIRECTORY) >
            nt_->FileHeader.SizeOfOptionalHeader)
        return nullptr;
    const IMAGE_DATA_DIRECTORY* entry = &nt_->OptionalHeader.DataDirectory[index];
    if (entry->VirtualAddress == 0 || entry->Size == 0 || !At(entry->VirtualAddress, entry->Size))
        return nullptr;
    return entry;
}

const void* TPeView::At(std::uint32_t rva, std::size_t length) const noexcept
{
    if (!nt_)
        return nullptr;
    const unsigned long long end = static_cast<unsigned long long>(rva) + length;
    if (layout_ == TLayout::Image)
        return end <= size_ ? base_ + rva : nullptr;
    const unsigned long long headers = nt_->OptionalHeader.SizeOfHeaders;
    if (end <= headers && end <= size_)
        return base_ + rva;
    for (unsigned i = 0; i < sectionCount_; ++i) {
        IMAGE_SECTION_HEADER section;
        std::memcpy(&section, sections_ + i, sizeof section);
        if (rva < section.VirtualAddress || end > static_cast<unsigned long long>(section.VirtualAddress) +
                                                     section.SizeOfRawData)
            continue;
        const unsigned long long offset = section.PointerToRawData + (rva - section.VirtualAddress);
        return offset + length <= size_ ? base_ + offset : nullptr;
    }
    return nullptr;
}

bool TPeView::StringAt(std::uint32_t rva, std::string& out, std::size_t maxLength) const noexcept
{
    out.clear();
    try {
        for (std::size_t i = 0; i <= maxLength; ++i) {
            const unsigned long long at = static_cast<unsigned long long>(rva) + i;
            const char* p = at > 0xffffffffull ? nullptr : static_cast<const char*>(At(static_cast<std::uint32_t>(at), 1));
            if (!p)
                break;
            if (*p == 0)
                return true;
            out += *p;
        }
    } catch (...) {
    }
    out.clear();
    return false;
}

bool TPeView::LoadExports(TExportTable& table) const noexcept
{
    const IMAGE_DATA_DIRECTORY* entry = DataDirectory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (!entry || entry->Size < sizeof(IMAGE_EXPORT_DIRECTORY) ||
        !ReadAt(*this, entry->VirtualAddress, table.Directory))
        return false;
    table.DirectoryRva = entry->VirtualAddress;
    table.DirectorySize = entry->Size;
    const IMAGE_EXPORT_DIRECTORY& dir = table.Directory;
    // Ordinals are 16-bit, so no table holds more than 65536 entries.
    if (dir.NumberOfFunctions > 0x10000 || dir.NumberOfNames > 0x10000)
        return false;
    table.Functions = static_cast<const unsigned char*>(At(dir.AddressOfFunctions, dir.NumberOfFunctions * 4ull));
    table.Names = static_cast<const unsigned char*>(At(dir.AddressOfNames, dir.NumberOfNames * 4ull));
    table.NameOrdinals = static_cast<const unsigned char*>(At(dir.AddressOfNameOrdinals, dir.NumberOfNames * 2ull));
    if (dir.NumberOfFunctions && !table.Functions)
        return false;
    if (dir.NumberOfNames && (!table.Names || !table.NameOrdinals))
        return false;
    return true;
}

std::uint32_t TPeView::FunctionRva(const TExportTable& table, std::uint32_t index, std::string* forwarder) const noexcept
{
    if (index >= table.Directory.NumberOfFunctions)
        return 0;
    const std::uint32_t rva = table.Function(index);
    if (rva == 0)
        return 0;
    if (rva >= table.DirectoryRva && rva - table.DirectoryRva < table.DirectorySize) {
        std::string text;
        if (forwarder && StringAt(rva, text, 512))
            forwarder->swap(text);
        return 0;
    }
    return rva < nt_->OptionalHeader.SizeOfImage ? rva : 0;
}

std::uint32_t TPeView::ExportRva(const char* name, std::string* forwarder) const noexcept
{
    if (forwarder)
        forwarder->clear();
    TExportTable table;
    if (!name || !LoadExports(table))
        return 0;
    const std::size_t length = std::strlen(name);
    for (std::uint32_t i = 0; i < table.Directory.NumberOfNames; ++i) {
        const char* candidate = static_cast<const char*>(At(table.Name(i), length + 1));
        if (candidate && std::memcmp(candidate, name, length + 1) == 0)
            return FunctionRva(table, table.NameOrdinal(i), forwarder);
    }
    return 0;
}

std::uint32_t TPeView::ExportRva(WORD ordinal, std::string* forwarder) const noexcept
{
    if (forwarder)
        forwarder->clear();
    TExportTable table;
    if (!LoadExports(table) || ordinal < table.Directory.Base)
        return 0;
    return FunctionRva(table, ordinal - table.Directory.Base, forwarder);
}

std::string TPeView::ExportNameOf(std::uint32_t rva) const noexcept
{
    TExportTable table;
    if (rva == 0 || !LoadExports(table))
        return {};
    for (std::uint32_t i = 0; i < table.Directory.NumberOfNames; ++i) {
        const std::uint32_t index = table.NameOrdinal(i);
        if (index < table.Directory.NumberOfFunctions && table.Function(index) == rva) {
            std::string name;
            if (StringAt(table.Name(i), name))
                return name;
        }
    }
    return {};
}

bool TPeView::FindResourceData(const char* type, const char* name, std::uint32_t& rva,
                               std::uint32_t& size) const noexcept
{
    const IMAGE_DATA_DIRECTORY* entry = DataDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
    if (!entry)
        return false;
    const std::uint32_t root = entry->VirtualAddress, rootSize = entry->Size;
    // Offsets inside the resource directory are bounded by its size as well as by the view.
    auto readIn = [&](std::uint32_t offset, void* out, std::size_t length) {
        if (offset > rootSize || length > rootSize - offset)
            return false;
        const void* p = At(root + offset, length);
        if (!p)
            return false;
        std::memcpy(out, p, length);
        return true;
    };
    auto matches = [&](const IMAGE_RESOURCE_DIRECTORY_ENTRY& e, const TResourceKey& key) {
        if (key.IsId)
            return !e.NameIsString && e.Id == key.Id;
        if (!e.NameIsString)
            return false;
        WORD length;
        if (!readIn(e.NameOffset, &length, 2) || length != std::strlen(key.Name))
            return false;
        for (WORD i = 0; i < length; ++i) {
            WORD unit;
            if (!readIn(e.NameOffset + 2 + 2u * i, &unit, 2) || unit > 255 ||
                kUpCaseTable[unit] != kUpCaseTable[static_cast<unsigned char>(key.Name[i])])
                return false;
        }
        return true;
    };
    // The entry of a directory that matches key (any entry when key is null).
    auto find = [&](std::uint32_t directory, const TResourceKey* key, IMAGE_RESOURCE_DIRECTORY_ENTRY& found) {
        IMAGE_RESOURCE_DIRECTORY header;
        if (!readIn(directory, &header, sizeof header))
            return false;
        const unsigned count = header.NumberOfNamedEntries + header.NumberOfIdEntries;
        for (unsigned i = 0; i < count; ++i) {
            if (!readIn(directory + sizeof header + i * sizeof found, &found, sizeof found))
                return false;
            if (!key || matches(found, *key))
                return true;
        }
        return false;
    };
    IMAGE_RESOURCE_DIRECTORY_ENTRY e;
    const TResourceKey typeKey = MakeResourceKey(type), nameKey = MakeResourceKey(name);
    if (!find(0, &typeKey, e) || !e.DataIsDirectory || !find(e.OffsetToDirectory, &nameKey, e) || !e.DataIsDirectory)
        return false;
    // Languages as the loader prefers them: neutral, the user's, its default, US English, then the first.
    const std::uint32_t languages = e.OffsetToDirectory;
    const LANGID user = GetUserDefaultUILanguage();
    const WORD preferred[] = {MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), user,
                              MAKELANGID(PRIMARYLANGID(user), SUBLANG_DEFAULT),
                              MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)};
    bool found = false;
    for (WORD language : preferred) {
        TResourceKey key;
        key.IsId = true;
        key.Id = language;
        if ((found = find(languages, &key, e)))
            break;
    }
    if ((!found && !find(languages, nullptr, e)) || e.DataIsDirectory)
        return false;
    const std::uint32_t directory = e.OffsetToData;
    IMAGE_RESOURCE_DATA_ENTRY data;
    if (!readIn(directory, &data, sizeof data) || !At(data.OffsetToData, data.Size))
        return false;
    rva = data.OffsetToData;
    size = data.Size;
    return true;
}

const IMAGE_NT_HEADERS* PeNtHeaders(const void* module) noexcept
{
    return TPeView::OfModule(module).NtHeaders();
}

const IMAGE_DATA_DIRECTORY* PeDataDirectory(const void* module, unsigned index) noexcept
{
    return TPeView::OfModule(module).DataDirectory(index);
}

FARPROC PeExportAddress(const void* module, const char* name) noexcept
{
    return name ? ExportAddress(module, name, 0, 0) : nullptr;
}

FARPROC PeExportAddress(const void* module, WORD ordinal) noexcept
{
    return ExportAddress(module, nullptr, ordinal, 0);
}

FARPROC PeFileExportAddress(const void* module, const char* name) noexcept
{
    return name ? FileExportAddress(module, name, 0, 0) : nullptr;
}

FARPROC PeFileExportAddress(const void* module, WORD ordinal) noexcept
{
    return FileExportAddress(module, nullptr, ordinal, 0);
}

std::string PeExportName(const void* module, const void* address) noexcept
{
    const TPeView view = TPeView::OfModule(module);
    const auto base = reinterpret_cast<std::uintptr_t>(module), target = reinterpret_cast<std::uintptr_t>(address);
    if (!view.Valid() || target <= base || target - base >= view.Size())
        return {};
    std::string name = view.ExportNameOf(static_cast<std::uint32_t>(target - base));
    std::string unitName;
    UndecorateName(name, unitName);
    return name;
}

std::string ResourceToString(const void* module, const char* type, const char* name) noexcept
{
    const TPeView view = TPeView::OfModule(module);
    std::uint32_t rva = 0, size = 0;
    if (!view.FindResourceData(type, name, rva, size))
        return {};
    try {
        return std::string(static_cast<const char*>(view.At(rva, size)), size);
    } catch (...) {
        return {};
    }
}

// ---- Names and ticks ----

bool UndecorateName(std::string& name, std::string& unitName) noexcept
{
    unitName.clear();
    try {
        // i686 symbol tables add one more leading underscore.
        const char* mangled = name.c_str();
        if (name.compare(0, 3, "__Z") == 0)
            ++mangled;
        bool decorated = false;
        if (std::strncmp(mangled, "_Z", 2) == 0) {
            int status = -1;
            std::unique_ptr<char, TFreeDemangled> plain(abi::__cxa_demangle(mangled, nullptr, nullptr, &status));
            if (status == 0 && plain) {
                name = DropSignature(plain.get());
                decorated = true;
            }
        }
        name = ReplaceSubStr(name, "::", ".");
        return decorated;
    } catch (...) {
        return false;
    }
}

DWORD TicksSince(DWORD start) noexcept
{
    return TicksSince(start, GetTickCount());
}

DWORD TicksSince(DWORD start, DWORD now) noexcept
{
    return now - start;
}
