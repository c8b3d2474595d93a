#pragma once

// Operating-system services of the exception reporter: OS information, file versions,
// per-thread hidden message windows with handlers, bounded readers of PE images, symbol-name
// undecoration and tick arithmetic.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

// ---- Operating system ----

enum : int {
    okNone, okWin95, okWin95Osr2, okWin98, okWin98Se, okWinMe, okWin9xNew,
    okWinNt3, okWinNt4, okWin2000, okWinXp, okWin2003, okWinNtNew
};

struct TOsInfo {
    DWORD Major = 0;
    DWORD Minor = 0;
    DWORD Build = 0;
    std::string ServicePack;
    bool Is9x = false;
    bool IsNT = false;
    int Kind = okNone;
    int Kind9x = okNone;
    int KindNT = okNone;
    int ServicePackNumber = 0;
    std::string Name;
};

// Computed once per process.
TOsInfo GetOsInfo() noexcept;
// The record for given version data (platform 1 = 9x line, 2 = NT line).
TOsInfo MakeOsInfo(DWORD platform, DWORD major, DWORD minor, DWORD build, std::string_view servicePack) noexcept;
// Free system resources in percent; only the 9x line had them, so always 0 here.
int GetFreeResources(int kind) noexcept;

// Most significant and least significant words of the fixed version information; 0 when none.
std::uint64_t GetFileVersionNumber(const std::string& file) noexcept;
std::string FileVersionText(std::uint64_t version) noexcept;

// ---- Hidden message windows ----

// Plain handler and object handler; both may change the result (preset by DefWindowProc).
using TMsgHandlerProc = void (*)(HWND window, UINT message, WPARAM wParam, LRESULT& result, LPARAM lParam);
using TMsgHandlerMethod = void (*)(void* object, HWND window, UINT message, LRESULT& result, LPARAM lParam,
                                   WPARAM wParam);

// The thread's hidden message-handler window, an untitled zero-size popup tool window (0 = calling
// thread); created on first use only from that thread.
HWND GetMsgHandlerWindow(DWORD threadId = 0) noexcept;
// Register a handler for a message of a thread's window; returns the window, or nullptr.
HWND AddMsgHandler(UINT message, TMsgHandlerProc proc, DWORD threadId = 0) noexcept;
HWND AddMsgHandler(UINT message, void* object, TMsgHandlerMethod method, DWORD threadId = 0) noexcept;
// The last removal destroys the window (a foreign thread's window gets WM_CLOSE posted).
bool RemoveMsgHandler(UINT message, TMsgHandlerProc proc, DWORD threadId = 0) noexcept;
bool RemoveMsgHandler(UINT message, void* object, TMsgHandlerMethod method, DWORD threadId = 0) noexcept;
void CloseMsgHandlerMutex() noexcept;

// Waits for the handle without time limit. Messages that other threads send to the calling
// thread's windows are answered meanwhile, so that a thread that needs one of them cannot block
// the wait; posted messages stay queued, and a pause does not hold the wait.
void WaitAnsweringSentMessages(HANDLE handle) noexcept;

// ---- Libraries ----

// An export of a module by name; nullptr when the module or the export is missing.
template <class Proc>
Proc LibraryProc(HMODULE module, const char* name) noexcept
{
    return module ? reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

struct TLibraryFree {
    void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
};
// A library loaded for a while, freed with its owner.
using TLibraryOwner = std::unique_ptr<std::remove_pointer_t<HMODULE>, TLibraryFree>;

// ---- PE images ----

// Module handle and file name of the committed image memory that holds address; nullptr when none.
HMODULE ModuleOfAddress(const void* address, std::string* fileName = nullptr) noexcept;

// A bounded view of a PE image of the native machine. Image layout: sections at their RVAs
// (a loaded module or a copy of one); File layout: sections at their raw file offsets.
// Every field is checked before use; nothing is read outside [base, base + size).
class TPeView {
public:
    enum class TLayout { Image, File };

    TPeView(const void* base, std::size_t size, TLayout layout) noexcept;
    // The readable extent of the memory at module, limited to its SizeOfImage.
    static TPeView OfModule(const void* module) noexcept;

    bool Valid() const noexcept { return nt_ != nullptr; }
    const unsigned char* Base() const noexcept { return base_; }
    std::size_t Size() const noexcept { return size_; }
    const IMAGE_NT_HEADERS* NtHeaders() const noexcept { return nt_; }
    // The directory entry when it exists and its whole range lies inside the view, else nullptr.
    const IMAGE_DATA_DIRECTORY* DataDirectory(unsigned index) const noexcept;
    // A pointer to length bytes at rva, or nullptr when they are not all inside the view.
    const void* At(std::uint32_t rva, std::size_t length) const noexcept;
    // A terminated string at rva (at most maxLength characters); false when it runs out of the view.
    bool StringAt(std::uint32_t rva, std::string& out, std::size_t maxLength = 1024) const noexcept;

    // An export's RVA by name or ordinal; a forwarder yields its text instead. 0 when missing.
    std::uint32_t ExportRva(const char* name, std::string* forwarder) const noexcept;
    std::uint32_t ExportRva(WORD ordinal, std::string* forwarder) const noexcept;
    // Name of the export whose RVA is rva; empty when none.
    std::string ExportNameOf(std::uint32_t rva) const noexcept;
    // Type and name are integer ids (MAKEINTRESOURCE), "#id" or names; languages in the loader's order.
    bool FindResourceData(const char* type, const char* name, std::uint32_t& rva, std::uint32_t& size) const noexcept;

private:
    struct TExportTable;
    bool LoadExports(TExportTable& table) const noexcept;
    std::uint32_t FunctionRva(const TExportTable& table, std::uint32_t index, std::string* forwarder) const noexcept;

    const unsigned char* base_ = nullptr;
    std::size_t size_ = 0;
    TLayout layout_ = TLayout::Image;
    const IMAGE_NT_HEADERS* nt_ = nullptr;
    const IMAGE_SECTION_HEADER* sections_ = nullptr;
    unsigned sectionCount_ = 0;
};

// The NT headers of a loaded image, or nullptr when the memory there holds none.
const IMAGE_NT_HEADERS* PeNtHeaders(const void* module) noexcept;
const IMAGE_DATA_DIRECTORY* PeDataDirectory(const void* module, unsigned index) noexcept;
// Forwarders are followed to modules already loaded; the file is read when the image gives nothing.
FARPROC PeExportAddress(const void* module, const char* name) noexcept;
FARPROC PeExportAddress(const void* module, WORD ordinal) noexcept;
// The export table of the module's file on disk, mapped read-only.
FARPROC PeFileExportAddress(const void* module, const char* name) noexcept;
FARPROC PeFileExportAddress(const void* module, WORD ordinal) noexcept;
// Undecorated name of the export at address; empty when none.
std::string PeExportName(const void* module, const void* address) noexcept;
std::string ResourceToString(const void* module, const char* type, const char* name) noexcept;

// ---- Names and ticks ----

// C++ names are demangled without parameter lists; "::" becomes "." in every name.
// False (and only the "::" change) for names that are not decorated. unitName is cleared.
bool UndecorateName(std::string& name, std::string& unitName) noexcept;

// Milliseconds from start to now, modulo 2^32, so that the counter's wrap is harmless.
DWORD TicksSince(DWORD start) noexcept;
DWORD TicksSince(DWORD start, DWORD now) noexcept;
