#include "hxExcept.h"

#include "hxExceptEntries.h"
#include "hxExceptHandling.h"
#include "hxExceptHeader.h"
#include "hxExceptHooks.h"
#include "hxExceptObject.h"
#include "hxExceptPatch.h"
#include "hxExceptPause.h"
#include "hxExceptPlugins.h"
#include "hxExceptSettings.h"
#include "hxExceptSettingsStore.h"
#include "hxExceptSupport.h"
#include "hxLinkDisAsm.h"
#include "hxListHardware.h"
#include "hxListModules.h"
#include "hxListProcesses.h"
#include "hxMapFile.h"
#include "hxStackLines.h"
#include "hxTools.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

std::mutex gStartLock;
int gStartCount = 0;
bool gActive = false;          // the hooks were installed
bool gTableOpened = false;
bool gPartsStarted = false;
TSettingsPtr gOwnSettings;

HMODULE OwnModule() noexcept
{
    return ModuleOfAddress(reinterpret_cast<const void*>(&InitExceptionHooks));
}

#ifndef _WIN64
// The fixed location in the data that calibration values refer to (the code's is InitExceptionHooks).
const volatile std::uint32_t gCalibrationDataMark = 0x48584341;
#endif

// The start of the function that holds an address, as the debug symbols tell it.
std::uintptr_t FunctionEntryFromSymbols(std::uintptr_t address)
{
    std::string name;
    std::uintptr_t entry = 0;
    return StackSymbols().PublicAt(address, name, entry) ? entry : 0;
}

void ReportFreeze(const TFreezeInfo& freeze)
{
    TExceptionParams params;
    params.Kind = TFreezeInfo::Kind;
    params.Source = TFreezeInfo::Source;
    params.CanContinue = TFreezeInfo::Continuable;
    params.ThreadId = freeze.ThreadId;
    params.Context = freeze.ContextValid ? &freeze.Context : nullptr;
    params.HeldStack = &freeze.StackItems;
    EnterExceptionHandling(params);
}

// The program begins to end: the freeze watch stops and handling under way is finished while the
// program's static objects, the reporter's own among them, still exist. The reporter's threads,
// and a handler that ends the program while the handling waits for it, cannot wait for that.
void FinishReportingBeforeExit()
{
    if (HandlingWaitsForCurrentThread() || GetCurrentThreadId() == FreezeWatchThreadId())
        return;
    StopFreezeWatch();
    WaitForHandlingToEnd();
}

// The framework's application exception paths go to the interception entries.
void RedirectFrameworkRoutines(HMODULE module)
{
    if (void* handle = FindRoutineByName(module, "TApplication.HandleException"))
        PatchJump(handle, reinterpret_cast<const void*>(&AppHandleExceptionEntry));
    if (void* show = FindRoutineByName(module, "TApplication.ShowException"))
        PatchJump(show, reinterpret_cast<const void*>(&AppShowExceptionEntry));
}

[[noreturn]] void FailOpeningTable(const char* text)
{
    HxMessageBox(nullptr, text, "hxExcept", MB_OK | MB_ICONERROR);
    // The program cannot run without its table; it does not end as a success.
    TerminateProcess(GetCurrentProcess(), 1);
    ExitProcess(1);
}

void StartEverything(HMODULE module)
{
    StartHandlerThread();
    StartHandlerWindow();
    HookThreadCreation();
    SetHookMessageRetrieval(&HookMessageRetrieval);
    // Our compiler loads an import slot once before a loop: a message loop already running at the
    // first pause would never reach a wrapper put in then. The first pause still wraps the slots
    // of modules loaded since.
    HookMessageRetrieval();
    SetFreezeHandler(&ReportFreeze);
    InstallInterceptionEntries(&FunctionEntryFromSymbols);
    RedirectFrameworkRoutines(module);
    if (gOwnSettings->GetCheckFreeze())
        StartFreezeWatch(FreezeTimeoutMs(gOwnSettings->GetFreezeTimeout()));
    HookProgramExit(&FinishReportingBeforeExit);
    ReserveEmergencyMemory();
}

void StopEverything()
{
    // First: a catch while the rest stops finds no handler to hand its exception to.
    ClearRegisteredHandlers();
    UndoPatches();
    UnhookProgramExit();
    // A freeze report under way waits for the handling, which may wait for this thread.
    StopFreezeWatch(!HandlingWaitsForCurrentThread());
    UnhookMessageRetrieval();
    UnhookThreadCreation();
    StopHandlerWindow();
    StopHandlerThread();
    RemoveInterceptionEntries();
    SetFreezeHandler(nullptr);
    SetHookMessageRetrieval(nullptr);
    ReleaseEmergencyMemory();
}

// The report's own parts: plug-ins, disassembly and the trace export serve a complete report even
// when interception is switched off or the settings are missing.
void StartReportParts()
{
    SetTraceReportBuilder(&ProcessTraceReport);
    LinkDisAsm();
    InitListModules();
    InitListProcesses();
    InitListHardware();
}

void StopReportParts()
{
    SetTraceReportBuilder(nullptr);
    DoneListHardware();
    DoneListProcesses();
    DoneListModules();
    UnlinkDisAsm();
}

}  // namespace

void* FindRoutineByName(HMODULE module, const char* name) noexcept
{
    try {
        const TMapFilePtr map = GetModuleMapFile(reinterpret_cast<uintptr_t>(module));
        if (!map)
            return nullptr;
        for (const TMfPublic& routine : map->Publics())
            if (routine.Kind == MfKindCode && routine.Name == name)
                return reinterpret_cast<void*>(routine.Address);
    } catch (...) {
    }
    return nullptr;
}

bool ApplyCalibration(HMODULE module, const void* data, std::size_t size) noexcept
{
    if (!module || !data || size != 5 * sizeof(std::uint32_t))
        return false;
    std::uint32_t c[5];
    std::memcpy(c, data, sizeof c);
    auto* headers = const_cast<IMAGE_NT_HEADERS*>(PeNtHeaders(module));
    if (!headers)
        return false;
    IMAGE_OPTIONAL_HEADER& optional = headers->OptionalHeader;
    DWORD oldProtection = 0;
    if (!VirtualProtect(&optional, 224, PAGE_EXECUTE_READWRITE, &oldProtection))
        return false;
    const auto base = reinterpret_cast<std::uintptr_t>(module);
    const auto codeMark = reinterpret_cast<std::uintptr_t>(&InitExceptionHooks);
    optional.BaseOfCode = static_cast<DWORD>(codeMark - c[0] - base);
#ifndef _WIN64
    // The 64-bit header has no data base: the data range comes from the section headers there.
    const auto dataMark = reinterpret_cast<std::uintptr_t>(&gCalibrationDataMark);
    optional.BaseOfData = static_cast<DWORD>(dataMark - c[1] - base);
#endif
    optional.SizeOfCode = c[2];
    optional.SizeOfInitializedData = c[3];
    optional.SizeOfUninitializedData = c[4];
    VirtualProtect(&optional, 224, oldProtection, &oldProtection);
    return true;
}

bool ApplyCalibration(HMODULE module) noexcept
{
    HRSRC resource = FindResourceA(module, "CALIBRATE", "HX");
    if (!resource)
        return false;
    HGLOBAL loaded = LoadResource(module, resource);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    return data && ApplyCalibration(module, data, SizeofResource(module, resource));
}

bool InitExceptionHooks() noexcept
{
    std::lock_guard<std::mutex> lock(gStartLock);
    if (gStartCount++ > 0)
        return gActive;
    try {
        TExceptionHistory history{};
        if (TakeOverRestartHistory(history))
            SetExceptionHistory(history);
        ClearReportTempFolder();
        RecordProgramStartTime();
        StartReportParts();
        gPartsStarted = true;
        const HMODULE module = OwnModule();
        gOwnSettings = GetModuleSettings(module);
        if (!gOwnSettings)
            gOwnSettings = NewSettings(module);
        if (!gOwnSettings)
            return false;
        SetMainModuleSettings(gOwnSettings);
        ApplyCalibration(module);
        if (!gOwnSettings->HasSettings())
            return false;
        DWORD mainThreadId = 0;
        switch (ModuleThreadTable().Open(mainThreadId)) {
        case TThreadTableResult::NoMapping:
            FailOpeningTable("internal error (opening global buffer)");
        case TThreadTableResult::NoView:
            FailOpeningTable("internal error (mapping global buffer)\r\n\r\n"
                             "Please notify the support about this problem.");
        case TThreadTableResult::Opened:
            gTableOpened = true;
            SetTableMainThreadId(mainThreadId);
            break;
        }
        if (!gOwnSettings->GetEnabled())
            return false;
        StartEverything(module);
        gActive = true;
    } catch (...) {
    }
    return gActive;
}

void DoneExceptionHooks() noexcept
{
    std::lock_guard<std::mutex> lock(gStartLock);
    if (gStartCount == 0 || --gStartCount > 0)
        return;
    if (gActive)
        StopEverything();
    gActive = false;
    if (gPartsStarted)
        StopReportParts();
    gPartsStarted = false;
    if (gTableOpened)
        ModuleThreadTable().Close();
    SetTableMainThreadId(0);
    gTableOpened = false;
    FinalizePause();
    SetMainModuleSettings(nullptr);
    gOwnSettings.Reset();
}
