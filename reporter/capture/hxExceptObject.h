#pragma once

// The exception object: one per handled exception, freeze or trace. It carries its own copy of
// the failing module's settings (changes stay with this exception), the exception data, the
// report's header and section lists, the cached report text, the screenshot, the report
// callbacks and the background calculation of the report's sections.

#include "hxExceptSettings.h"
#include "hxNVBitmap.h"
#include "hxStackTrace.h"

#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>

class IVQException;

// Told when the report changed; Complete says that every section is calculated.
using TReportCallbackProc = void (*)(IVQException* exception, bool complete);
using TReportCallbackMethod = void (*)(void* object, IVQException* exception, bool complete);

// What a report is about.
enum TExceptionKind : int { ekException = 0, ekFreeze = 1, ekHandledException = 2 };

class IVQException : public virtual IVQModuleSettings {
public:
    // 1 to 4; setting stage 3 gives 4 when the report is already complete.
    virtual int GetStage() = 0;
    virtual bool GetCanContinue() = 0;
    virtual void ClearCanContinue() = 0;
    virtual int GetKind() = 0;
    virtual void* GetExceptObject() = 0;
    virtual std::string GetExceptClass() = 0;
    virtual std::string GetExceptMessage() = 0;
    virtual void* GetExceptAddress() = 0;
    virtual DWORD GetExceptThreadId() = 0;
    // Index 0 to 2; 0 for any other index.
    virtual std::uint32_t GetCallstackCrc(int index) = 0;
    // The registers at the exception; null when the report has none.
    virtual const CONTEXT* GetContext() = 0;
    virtual int GetSource() = 0;
    virtual std::uintptr_t GetExtra1() = 0;
    virtual std::uintptr_t GetExtra2() = 0;
    // The header fields, filled on the first call.
    virtual TFieldsPtr GetBugReportHeader() = 0;
    // The section list; the first call sets up the sections and starts their calculation.
    virtual TFieldsPtr CalculateBugReport() = 0;
    // The complete report, waiting for every section.
    virtual std::string GetBugReport() = 0;
    // Replaces the report text; later section results do not change it.
    virtual void SetBugReport(const std::string& text) = 0;
    // The report text: cached when it may be, else header and sections (with Wait after every
    // section is calculated, showing the please-wait box when the settings ask for it).
    virtual std::string WaitForReportText(bool wait) = 0;
    virtual TNVBitmapPtr GetScreenShot() = 0;
    virtual void SetScreenShot(const TNVBitmapPtr& screenShot) = 0;
    // While users exist a change of the report is applied when the last one ends.
    virtual void BeginReportUse() = 0;
    virtual void EndReportUse() = 0;
    virtual void AddReportCallback(TReportCallbackProc proc, bool wantsComplete) = 0;
    virtual void AddReportCallback(void* object, TReportCallbackMethod method, bool wantsComplete) = 0;
    virtual void RemoveReportCallback(TReportCallbackProc proc) = 0;
    virtual void RemoveReportCallback(void* object, TReportCallbackMethod method) = 0;
    virtual bool GetCreateBugReport() = 0;
    virtual void SetCreateBugReport(bool value) = 0;
    virtual bool GetCreateScreenShot() = 0;
    virtual void SetCreateScreenShot(bool value) = 0;
    virtual bool GetHandlersEnabled() = 0;
    virtual void SetHandlersEnabled(bool value) = 0;
    virtual bool GetAttachScreenShot() = 0;
    virtual void SetAttachScreenShot(bool value) = 0;
    // 0 to 4 (4 shows nothing).
    virtual int GetShowSetting() = 0;
    virtual void SetShowSetting(int value) = 0;
    virtual std::string GetAssistantName() = 0;
    virtual void SetAssistantName(const std::string& value) = 0;
    // Shows the exception box; the box's result (0 without a box).
    virtual int Show() = 0;
};
__CRT_UUID_DECL(IVQException, 0x5b0e2c47, 0x91d3, 0x4a8e, 0xb6, 0x1f, 0x3c, 0x72, 0x0a, 0xe9, 0x54, 0xd8)

class IVQExceptionEx : public IUnknown {
public:
    // A registered report callback wants the complete report.
    virtual bool CallbacksNeedReport() = 0;
    virtual DWORD CalculationThreadId() = 0;
    virtual void SetStage(int stage) = 0;
    virtual bool GetSent() = 0;
    virtual void SetSent(bool value) = 0;
    virtual bool GetSecondFlag() = 0;
    virtual void SetSecondFlag(bool value) = 0;
    // True for the first caller only.
    virtual bool TakeAutoActionsOnce() = 0;
    virtual bool TakeAutoSaveOnce() = 0;
};
__CRT_UUID_DECL(IVQExceptionEx, 0xc4a9e1f0, 0x6d28, 0x4b57, 0x83, 0xee, 0x19, 0x0b, 0x7d, 0x42, 0xa6, 0x3c)

using TExceptionPtr = Microsoft::WRL::ComPtr<IVQException>;

struct TExceptionParams {
    int Kind = ekException;
    void* ExceptObject = nullptr;          // the thrown C++ object
    void* ExceptAddress = nullptr;
    std::uintptr_t Reserved = 0;
    std::uintptr_t Extra2 = 0;
    std::uintptr_t Extra1 = 0;
    int Source = 0;
    TSettingsPtr Settings;                 // null: the settings of the calling module
    const CONTEXT* Context = nullptr;      // copied
    std::uintptr_t FramePointer = 0;       // 0: the creating thread's own
    std::uintptr_t StackPointer = 0;
    DWORD ThreadId = 0;                    // 0: the creating thread
    bool CanContinue = true;
    // A frozen thread's stack candidates, read with Context while the thread was held; its
    // section is walked from them rather than from the stack as it is later.
    const TDAPreStackItems* HeldStack = nullptr;
};

TExceptionPtr NewExceptionObject(const TExceptionParams& params);

// A complete report of the process without an exception (kind freeze or trace, no please-wait
// box), under the main module's settings: the trace export's report.
std::string ProcessTraceReport();

// Shows the exception box for an exception object; the handling flow sets it.
using TShowExceptionBoxProc = int (*)(IVQException* exception);
void SetShowExceptionBox(TShowExceptionBoxProc proc) noexcept;

// The calling thread is calculating a report.
bool IsReportCalculationThread() noexcept;

// Threads the report leaves out besides the reporter's own: the handler thread (0 while none runs).
void SetHandlerThreadId(DWORD threadId) noexcept;
DWORD HandlerThreadId() noexcept;
