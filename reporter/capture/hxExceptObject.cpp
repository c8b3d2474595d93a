#include "hxExceptObject.h"

#include "hxExceptHeader.h"
#include "hxExceptPause.h"
#include "hxExceptPlugins.h"
#include "hxExceptSections.h"
#include "hxExceptSupport.h"
#include "hxNVPrgrAlert.h"
#include "hxStrings.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

std::atomic<TShowExceptionBoxProc> gShowExceptionBox{nullptr};
std::atomic<DWORD> gHandlerThreadId{0};

// A system TLS slot, set on a calculation thread while it calculates. Not thread_local: its first
// read on a thread allocates, and a thread whose stack overflowed asks too. The first
// calculation takes the slot and keeps it for the life of the process: a calculation can still
// run while the program's static objects are destroyed, and a failure in it must still be known
// as its own (handling it would wait for the handler, which waits for the calculation).
std::atomic<DWORD> gCalculatingSlot{TLS_OUT_OF_INDEXES};

DWORD CalculatingSlot() noexcept
{
    DWORD slot = gCalculatingSlot.load();
    if (slot != TLS_OUT_OF_INDEXES)
        return slot;
    const DWORD fresh = TlsAlloc();
    if (fresh == TLS_OUT_OF_INDEXES || gCalculatingSlot.compare_exchange_strong(slot, fresh))
        return fresh;
    TlsFree(fresh);
    return slot;
}

class TCalculatingMark {
public:
    TCalculatingMark() noexcept : slot_(CalculatingSlot())
    {
        if (slot_ != TLS_OUT_OF_INDEXES)
            TlsSetValue(slot_, this);
    }
    ~TCalculatingMark()
    {
        if (slot_ != TLS_OUT_OF_INDEXES)
            TlsSetValue(slot_, nullptr);
    }
    TCalculatingMark(const TCalculatingMark&) = delete;
    TCalculatingMark& operator=(const TCalculatingMark&) = delete;

private:
    DWORD slot_;
};

// A setting name with its class-group prefix ("F1", "F2" or "Gn").
std::string GroupSetting(const char* group, const char* name)
{
    return std::string(group) + name;
}

struct TReportCallback {
    TReportCallbackProc Proc = nullptr;
    void* Object = nullptr;
    TReportCallbackMethod Method = nullptr;
    bool WantsComplete = false;
};

class TIVQException final : public TIVQSettings,
                            public IVQException,
                            public IVQExceptionEx,
                            private IHxFieldsOwner {
public:
    TIVQException(HMODULE module, const TExceptionParams& params);
    ~TIVQException() override;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return TIVQSettings::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override;

    // IVQException
    int GetStage() override { return stage_; }
    bool GetCanContinue() override { return canContinue_; }
    void ClearCanContinue() override { canContinue_ = false; }
    int GetKind() override { return kind_; }
    void* GetExceptObject() override { return object_; }
    std::string GetExceptClass() override { return ExceptionClassName(object_); }
    std::string GetExceptMessage() override;
    void* GetExceptAddress() override { return address_; }
    DWORD GetExceptThreadId() override { return threadId_; }
    std::uint32_t GetCallstackCrc(int index) override;
    const CONTEXT* GetContext() override { return hasContext_ ? &context_ : nullptr; }
    int GetSource() override { return source_; }
    std::uintptr_t GetExtra1() override { return extra1_; }
    std::uintptr_t GetExtra2() override { return extra2_; }
    TFieldsPtr GetBugReportHeader() override;
    TFieldsPtr CalculateBugReport() override;
    std::string GetBugReport() override { return ReportText(true); }
    void SetBugReport(const std::string& text) override;
    std::string WaitForReportText(bool wait) override { return ReportText(wait); }
    TNVBitmapPtr GetScreenShot() override;
    void SetScreenShot(const TNVBitmapPtr& screenShot) override;
    void BeginReportUse() override { ++users_; }
    void EndReportUse() override;
    void AddReportCallback(TReportCallbackProc proc, bool wantsComplete) override;
    void AddReportCallback(void* object, TReportCallbackMethod method, bool wantsComplete) override;
    void RemoveReportCallback(TReportCallbackProc proc) override;
    void RemoveReportCallback(void* object, TReportCallbackMethod method) override;
    bool GetCreateBugReport() override { return createBugReport_; }
    void SetCreateBugReport(bool value) override { createBugReport_ = value; }
    bool GetCreateScreenShot() override { return createScreenShot_; }
    void SetCreateScreenShot(bool value) override { createScreenShot_ = value; }
    bool GetHandlersEnabled() override { return handlersEnabled_; }
    void SetHandlersEnabled(bool value) override { handlersEnabled_ = value; }
    bool GetAttachScreenShot() override { return attachScreenShot_; }
    void SetAttachScreenShot(bool value) override { attachScreenShot_ = value; }
    int GetShowSetting() override { return showSetting_; }
    void SetShowSetting(int value) override { showSetting_ = value; }
    std::string GetAssistantName() override;
    void SetAssistantName(const std::string& value) override;
    int Show() override;

    // IVQExceptionEx
    bool CallbacksNeedReport() override;
    DWORD CalculationThreadId() override { return calculationThreadId_; }
    void SetStage(int stage) override;
    bool GetSent() override { return sent_; }
    void SetSent(bool value) override { sent_ = value; }
    bool GetSecondFlag() override { return secondFlag_; }
    void SetSecondFlag(bool value) override { secondFlag_ = value; }
    bool TakeAutoActionsOnce() override { return ++autoActionsOnce_ == 0; }
    bool TakeAutoSaveOnce() override { return ++autoSaveOnce_ == 0; }

protected:
    bool FindSetting(const char* name, bool useDefaults, std::uint8_t kind, bool create,
                     THxSettingValue& value) override;
    bool Write(const char* name, const THxSettingValue& value) override;
    bool ScreenshotWanted() override { return createScreenShot_; }
    IUnknown* AssistantException() override { return static_cast<IVQException*>(this); }

private:
    // IHxFieldsOwner: the lists lock the object first.
    void LockOwner() override { lock_.lock(); }
    void UnlockOwner() override { lock_.unlock(); }
    void FieldsChanged() override { ReportChanged(); }

    void ApplyClassGroups();
    bool InClassList(const std::string& list) const;
    TStackLineOptions LineOptions();
    std::string ReportText(bool wait);
    void WaitForCalculation();
    void SetUpSections();
    void UseHeldStack();
    void StartCalculation();
    static DWORD WINAPI CalculationThread(void* parameter);
    void Calculate();
    void ThreadSectionFinished(const TThreadSection& section, const TThreadReport& report);
    void SectionFinished(const std::string& name, const std::string& text);
    void ReportChanged();
    void ApplyChange();

    // Guards the own setting values, the cache, the change counter and the thread records.
    std::recursive_mutex lock_;
    std::map<std::string, THxSettingValue> ownValues_;

    std::atomic<int> stage_{1};
    std::atomic<bool> canContinue_{true};
    int kind_ = ekException;
    void* object_ = nullptr;
    void* address_ = nullptr;
    DWORD threadId_ = 0;
    std::uintptr_t stackPointer_ = 0;
    std::uintptr_t framePointer_ = 0;
    bool hasContext_ = false;
    CONTEXT context_{};
    TDAPreStackItems heldStack_;
    int source_ = 0;
    std::uintptr_t extra1_ = 0;
    std::uintptr_t extra2_ = 0;

    std::uint32_t checksums_[3] = {0, 0, 0};
    std::vector<std::string> unitEntries_;
    TFieldsPtr header_;
    bool headerFilled_ = false;
    bool completionPending_ = false;     // complete before the header was filled
    TFieldsPtr sections_;
    bool sectionsSetUp_ = false;
    std::vector<TThreadSection> threads_;
    std::vector<THxReportPlugin> backgroundPlugins_;
    bool registersSection_ = false;
    bool stackDumpSection_ = false;
    bool disAsmSection_ = false;
    std::atomic<int> pending_{0};

    std::string cache_;
    std::atomic<bool> complete_{false};
    bool textGiven_ = false;
    std::uint64_t changeCounter_ = 0;
    std::atomic<bool> changePending_{false};
    std::atomic<int> users_{0};

    std::mutex screenShotLock_;
    TNVBitmapPtr screenShot_;
    bool screenShotTaken_ = false;

    std::mutex callbackLock_;
    std::vector<TReportCallback> callbacks_;

    std::atomic<bool> createBugReport_{true};
    std::atomic<bool> createScreenShot_{false};
    std::atomic<bool> handlersEnabled_{true};
    std::atomic<bool> attachScreenShot_{false};
    std::atomic<int> showSetting_{0};
    std::string assistantName_;

    HANDLE calculationThread_ = nullptr;
    DWORD calculationThreadId_ = 0;
    std::atomic<bool> abandoned_{false};
    std::atomic<bool> dying_{false};
    bool deleteWhenCalculated_ = false;

    TProgressAlertPtr pleaseWait_;
    std::atomic<bool> sent_{false};
    std::atomic<bool> secondFlag_{false};
    std::atomic<int> autoActionsOnce_{-1};
    std::atomic<int> autoSaveOnce_{-1};
};

TIVQException::TIVQException(HMODULE module, const TExceptionParams& params)
    : TIVQSettings(module, true)
{
    void* object = params.ExceptObject;
    void* address = params.ExceptAddress;
    CONTEXT* context = const_cast<CONTEXT*>(params.Context);
    ResolveExceptionAddress(object, address, context);
    // Without an address the registers tell where the thread was; a freeze has no failure
    // address, only the frozen thread's registers.
    if (!address && context && params.Kind != ekFreeze)
        address = reinterpret_cast<void*>(ContextInstructionPointer(*context));
    kind_ = params.Kind;
    object_ = object;
    address_ = address;
    threadId_ = params.ThreadId ? params.ThreadId : GetCurrentThreadId();
    stackPointer_ = params.StackPointer;
    framePointer_ = params.FramePointer;
    if (context) {
        context_ = *context;
        hasContext_ = true;
        if (params.HeldStack)
            heldStack_ = *params.HeldStack;
    }
    source_ = params.Source;
    extra1_ = params.Extra1;
    extra2_ = params.Extra2;
    canContinue_ = params.CanContinue;
    try {
        pleaseWait_ = CreateProgressAlert(GetPlWaitTitle(), Module(), "VQIPLWAIT");
        if (pleaseWait_)
            pleaseWait_->AddArea(GetPlWaitText(), 1000);
    } catch (...) {
        pleaseWait_ = nullptr;
    }
    ApplyClassGroups();
    attachScreenShot_ = createScreenShot_.load();
}

TIVQException::~TIVQException()
{
    abandoned_ = true;
    if (calculationThread_ && GetCurrentThreadId() != calculationThreadId_) {
        // Under the loader lock the calculation could never end: it is stopped instead.
        if (IsLoaderLockHeld())
            TerminateThread(calculationThread_, 1);
        else
            WaitForSingleObject(calculationThread_, INFINITE);
    }
    if (calculationThread_)
        CloseHandle(calculationThread_);
    for (IVQFields* list : {header_.Get(), sections_.Get()}) {
        ComPtr<IVQFieldsEx> ex;
        if (list && SUCCEEDED(list->QueryInterface(IID_PPV_ARGS(&ex))))
            ex->ForgetException();
    }
}

HRESULT STDMETHODCALLTYPE TIVQException::QueryInterface(REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    if (iid == __uuidof(IVQException))
        *object = static_cast<IVQException*>(this);
    else if (iid == __uuidof(IVQExceptionEx))
        *object = static_cast<IVQExceptionEx*>(this);
    else
        return TIVQSettings::QueryInterface(iid, object);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE TIVQException::Release()
{
    // The settings object counts the references; its own Release would delete at once.
    const ULONG left = TIVQSettings::ReleaseReference();
    if (left != 0 || dying_.exchange(true))
        return left;
    if (calculationThread_ && GetCurrentThreadId() == calculationThreadId_) {
        // The last reference went inside a callback of the calculation: it ends first.
        abandoned_ = true;
        deleteWhenCalculated_ = true;
        return 0;
    }
    delete this;
    return 0;
}

// ---- Settings: the own values first ----

bool TIVQException::FindSetting(const char* name, bool useDefaults, std::uint8_t kind, bool create,
                                THxSettingValue& value)
{
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        const auto own = ownValues_.find(name);
        if (own != ownValues_.end()) {
            value = own->second;
            return true;
        }
    }
    // Writes go to the own values, so nothing is ever appended to the module's table.
    (void)create;
    return TIVQSettings::FindSetting(name, useDefaults, kind, false, value);
}

bool TIVQException::Write(const char* name, const THxSettingValue& value)
{
    // A name the settings do not know is refused, like a value of another kind.
    THxSettingValue known;
    if (!FindSetting(name, true, value.kind, false, known) || known.kind != value.kind)
        return false;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    ownValues_[name] = value;
    return true;
}

// ---- Class groups ----

bool TIVQException::InClassList(const std::string& list) const
{
    if (!object_)
        return false;
    for (std::string name : SplitSettingList(list, ',')) {
        TrimText(name);
        if (!name.empty() && IsClassNamed(object_, name))
            return true;
    }
    return false;
}

void TIVQException::ApplyClassGroups()
{
    const char* group = InClassList(GetF1Classes()) ? "F1" : InClassList(GetF2Classes()) ? "F2" : "Gn";
    createBugReport_ = !ReadBool(GroupSetting(group, "NoBugRep").c_str());
    createScreenShot_ = !ReadBool(GroupSetting(group, "NoScrShot").c_str()) && GetScrShotDepth() > 0;
    if (ReadBool(GroupSetting(group, "NoSuspend").c_str()))
        SetPauseThreads(false);
    handlersEnabled_ = !ReadBool(GroupSetting(group, "NoHandlers").c_str());
    showSetting_ = ReadInteger(GroupSetting(group, "ShowCfg").c_str());
    assistantName_ = ReadString(GroupSetting(group, "Assis").c_str());
}

std::string TIVQException::GetAssistantName()
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return assistantName_;
}

void TIVQException::SetAssistantName(const std::string& value)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    assistantName_ = value;
}

// ---- Exception data ----

std::string TIVQException::GetExceptMessage()
{
    return kind_ == ekFreeze ? GetFrozenMsg() : ExceptionMessageText(object_);
}

std::uint32_t TIVQException::GetCallstackCrc(int index)
{
    if (index < 0 || index > 2)
        return 0;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return checksums_[index];
}

void TIVQException::SetStage(int stage)
{
    stage_ = stage == 3 && complete_ ? 4 : stage;
}

int TIVQException::Show()
{
    const TShowExceptionBoxProc show = gShowExceptionBox.load();
    return show ? show(this) : 0;
}

// ---- Screenshot ----

TNVBitmapPtr TIVQException::GetScreenShot()
{
    std::lock_guard<std::mutex> guard(screenShotLock_);
    if (!screenShot_ && !screenShotTaken_ && createScreenShot_) {
        screenShotTaken_ = true;
        screenShot_ = CaptureDesktop(GetScrShotAppOnly());
        if (!screenShot_)
            createScreenShot_ = false;
    }
    return screenShot_;
}

void TIVQException::SetScreenShot(const TNVBitmapPtr& screenShot)
{
    std::lock_guard<std::mutex> guard(screenShotLock_);
    screenShot_ = screenShot;
    screenShotTaken_ = true;
}

// ---- Callbacks and changes ----

void TIVQException::AddReportCallback(TReportCallbackProc proc, bool wantsComplete)
{
    std::lock_guard<std::mutex> guard(callbackLock_);
    callbacks_.push_back({proc, nullptr, nullptr, wantsComplete});
}

void TIVQException::AddReportCallback(void* object, TReportCallbackMethod method, bool wantsComplete)
{
    std::lock_guard<std::mutex> guard(callbackLock_);
    callbacks_.push_back({nullptr, object, method, wantsComplete});
}

void TIVQException::RemoveReportCallback(TReportCallbackProc proc)
{
    std::lock_guard<std::mutex> guard(callbackLock_);
    std::erase_if(callbacks_, [&](const TReportCallback& c) { return c.Proc == proc && !c.Method; });
}

void TIVQException::RemoveReportCallback(void* object, TReportCallbackMethod method)
{
    std::lock_guard<std::mutex> guard(callbackLock_);
    std::erase_if(callbacks_, [&](const TReportCallback& c) { return c.Object == object && c.Method == method; });
}

bool TIVQException::CallbacksNeedReport()
{
    std::lock_guard<std::mutex> guard(callbackLock_);
    return std::any_of(callbacks_.begin(), callbacks_.end(), [](const TReportCallback& c) { return c.WantsComplete; });
}

void TIVQException::ReportChanged()
{
    changePending_ = true;
    if (users_ == 0 && changePending_.exchange(false))
        ApplyChange();
}

void TIVQException::EndReportUse()
{
    if (--users_ == 0 && changePending_.exchange(false))
        ApplyChange();
}

void TIVQException::ApplyChange()
{
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        ++changeCounter_;
        if (!textGiven_)
            cache_.clear();
    }
    if (abandoned_)
        return;
    std::vector<TReportCallback> callbacks;
    {
        std::lock_guard<std::mutex> guard(callbackLock_);
        callbacks = callbacks_;
    }
    const bool complete = complete_;
    for (const TReportCallback& c : callbacks) {
        if (c.WantsComplete && !complete)
            continue;
        if (c.Method)
            c.Method(c.Object, this, complete);
        else if (c.Proc)
            c.Proc(this, complete);
    }
}

void TIVQException::SetBugReport(const std::string& text)
{
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        cache_ = text;
        textGiven_ = true;
    }
    ReportChanged();
}

// ---- Header and sections ----

TStackLineOptions TIVQException::LineOptions()
{
    TStackLineOptions options;
    options.HideUglyItems = GetHideUglyItems();
    options.ShowRelAddrs = GetShowRelAddrs();
    options.ShowRelLines = GetShowRelLines();
    return options;
}

TFieldsPtr TIVQException::GetBugReportHeader()
{
    // Callbacks run after the lock is left: one of them may wait for the calculation.
    BeginReportUse();
    TFieldsPtr header;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (!header_)
            header_ = NewFields(this, true);
        if (!headerFilled_) {
            headerFilled_ = true;
            THeaderInput input;
            input.Module = Module();
            input.Kind = kind_;
            input.ExceptionObject = object_;
            input.FrozenMsg = GetFrozenMsg();
            input.VersionText = VersionText();
            input.Plugins = ReadString("Plugins");
            try {
                FillBugReportHeader(*header_.Get(), input);
                if (completionPending_)
                    AddReportCompletionFields(*header_.Get(), checksums_, unitEntries_);
            } catch (...) {
            }
            completionPending_ = false;
        }
        header = header_;
    }
    EndReportUse();
    return header;
}

TFieldsPtr TIVQException::CalculateBugReport()
{
    BeginReportUse();
    TFieldsPtr sections;
    {
        // The thread starts under the lock, so whoever gets the list next also sees the thread.
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (!sections_)
            sections_ = NewFields(this, true);
        if (createBugReport_ && !sectionsSetUp_) {
            sectionsSetUp_ = true;
            try {
                SetUpSections();
            } catch (...) {
            }
            StartCalculation();
        }
        sections = sections_;
    }
    EndReportUse();
    return sections;
}

void TIVQException::SetUpSections()
{
    TThreadOrderInput order;
    order.Freeze = kind_ == ekFreeze;
    order.FailingThreadId = threadId_;
    order.MainThreadId = PauseMainThreadId();
    order.ListThreads = GetListThreads();
    order.Threads = GetThreadList();
    for (DWORD excluded : {FreezeWatchThreadId(), gHandlerThreadId.load()})
        if (excluded)
            order.Excluded.push_back(excluded);
    TExceptionSite site;
    site.Address = reinterpret_cast<std::uintptr_t>(address_);
    site.Context = hasContext_ ? &context_ : nullptr;
    site.StackPointer = stackPointer_;
    site.FramePointer = framePointer_;
    threads_ = SetUpThreadSections(order, site, LineOptions());
    UseHeldStack();
    for (const TThreadSection& thread : threads_)
        sections_->Add(thread.Name, thread.Text);
    for (const THxReportPlugin& plugin : SelectReportPlugins(ReadString("Plugins")))
        if (plugin.Background) {
            backgroundPlugins_.push_back(plugin);
            sections_->Add(plugin.Name, SectionPendingText);
        }
    registersSection_ = GetCpuRegs() && hasContext_;
    stackDumpSection_ = GetStackDump() && hasContext_;
    disAsmSection_ = GetShowDisAsm() && DisAsmHook() != nullptr;
    if (registersSection_)
        sections_->Add(CpuRegistersSectionName, SectionPendingText);
    if (stackDumpSection_)
        sections_->Add(StackDumpSectionName, SectionPendingText);
    if (disAsmSection_)
        sections_->Add(DisAsmSectionName, SectionPendingText);
    pending_ = static_cast<int>(threads_.size() + backgroundPlugins_.size()) + registersSection_ +
               stackDumpSection_ + disAsmSection_;
}

// A held thread is reported as it was when it was held: its registers and stack candidates.
void TIVQException::UseHeldStack()
{
    if (heldStack_.empty() || !hasContext_)
        return;
    for (TThreadSection& thread : threads_) {
        TThreadRecord& record = thread.Record;
        if (record.ThreadId != threadId_ || record.StackTop == 0)
            continue;
        record.Context = context_;
        record.HasContext = true;
        record.Location = ContextInstructionPointer(context_);
        record.StackPointer = record.StackBottom = ContextStackPointer(context_);
        record.FramePointer = ContextFramePointer(context_);
        record.StackCopy = std::move(heldStack_);
        record.StackCopied = true;
        thread.Text = ThreadPendingText(record.Location, LineOptions());
        break;
    }
    heldStack_.clear();
}

void TIVQException::StartCalculation()
{
    // Under the loader lock no thread starts: the sections keep their placeholders.
    if (calculationThread_ || IsLoaderLockHeld())
        return;
    if (pending_ == 0) {
        SectionFinished({}, {});
        return;
    }
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &CalculationThread, this, CREATE_SUSPENDED, &id);
    if (!thread)
        return;
    calculationThread_ = thread;
    calculationThreadId_ = id;
    AssignThreadName(id, "-");
    ResumeThread(thread);
}

DWORD WINAPI TIVQException::CalculationThread(void* parameter)
{
    auto* self = static_cast<TIVQException*>(parameter);
    {
        TCalculatingMark mark;
        self->Calculate();
    }
    SetThreadInfo(GetCurrentThreadId());
    if (self->deleteWhenCalculated_)
        delete self;
    return 0;
}

void TIVQException::Calculate()
{
    const TStackLineOptions options = LineOptions();
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        for (TThreadSection& thread : threads_)
            CopyThreadStack(thread.Record);
    }
    // The failing thread leads; a freeze has none, so its main thread (reported first) does.
    auto lead = std::find_if(threads_.begin(), threads_.end(), [](const TThreadSection& t) { return t.Record.Failing; });
    if (lead == threads_.end() && kind_ == ekFreeze && !threads_.empty())
        lead = threads_.begin();
    auto threadReport = [&](const TThreadSection& thread) {
        TThreadReport report;
        // A thread whose state could not be read keeps its text.
        if (thread.Record.StackTop == 0) {
            report.Text = thread.Text;
            return report;
        }
        report.Text = GuardedSectionText("GetThreadReport", [&] {
            report = ThreadReport(thread.Record, options);
            return report.Text;
        }, options);
        return report;
    };
    TReportChecksums checksums;
    bool foldOthers = false;
    if (lead != threads_.end() && !abandoned_) {
        const TThreadReport report = threadReport(*lead);
        checksums.TakeFailing(report);
        foldOthers = report.HasChecksums && report.Checksum3 != 0;
        {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            std::copy(std::begin(checksums.Value), std::end(checksums.Value), checksums_);
            unitEntries_ = checksums.UnitEntries;
        }
        SectionFinished(lead->Name, report.Text);
    }
    if (registersSection_ && !abandoned_)
        SectionFinished(CpuRegistersSectionName,
                        GuardedSectionText("GetCpuRegisters", [&] { return CpuRegistersText(context_); }, options));
    if (stackDumpSection_ && !abandoned_)
        SectionFinished(StackDumpSectionName,
                        GuardedSectionText("GetStackDump", [&] { return StackDumpText(context_); }, options));
    if (disAsmSection_ && !abandoned_)
        SectionFinished(DisAsmSectionName, GuardedSectionText("GetCleartextDisAsm", [&] {
                            return DisAsmSectionText(DisAsmHook(), reinterpret_cast<std::uintptr_t>(address_),
                                                     GetLimitDisAsm());
                        }, options));
    for (const THxReportPlugin& plugin : backgroundPlugins_) {
        if (abandoned_)
            return;
        SectionFinished(plugin.Name, CallReportPlugin(plugin));
    }
    for (auto thread = threads_.begin(); thread != threads_.end(); ++thread) {
        if (abandoned_)
            return;
        if (thread == lead)
            continue;
        const TThreadReport report = threadReport(*thread);
        checksums.AddThread(report, foldOthers);
        {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            checksums_[2] = checksums.Value[2];
            unitEntries_ = checksums.UnitEntries;
        }
        SectionFinished(thread->Name, report.Text);
    }
}

void TIVQException::SectionFinished(const std::string& name, const std::string& text)
{
    if (abandoned_)
        return;
    BeginReportUse();
    if (!name.empty())
        sections_->SetValue(name, text);
    if (--pending_ <= 0) {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (headerFilled_ && header_)
            AddReportCompletionFields(*header_.Get(), checksums_, unitEntries_);
        else
            completionPending_ = true;
        complete_ = true;
        if (stage_ == 3)
            stage_ = 4;
        changePending_ = true;
    }
    EndReportUse();
}

// ---- Report text ----

void TIVQException::WaitForCalculation()
{
    if (!calculationThread_ || GetCurrentThreadId() == calculationThreadId_ || IsLoaderLockHeld())
        return;
    if (WaitForSingleObject(calculationThread_, 0) == WAIT_OBJECT_0)
        return;
    if (GetPlWaitBox() && pleaseWait_ && pleaseWait_->Show(nullptr, true)) {
        SetThreadPriority(calculationThread_, THREAD_PRIORITY_HIGHEST);
        while (WaitForSingleObject(calculationThread_, 50) == WAIT_TIMEOUT)
            pleaseWait_->ProcessMessages();
        pleaseWait_->Close();
        return;
    }
    WaitForSingleObject(calculationThread_, INFINITE);
}

std::string TIVQException::ReportText(bool wait)
{
    std::uint64_t counter;
    std::string cached;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        counter = changeCounter_;
        cached = cache_;
        if (textGiven_)
            return cached;
    }
    if (createBugReport_ && !cached.empty() && (!wait || complete_))
        return cached;
    TFieldsPtr header = GetBugReportHeader();
    TFieldsPtr sections = CalculateBugReport();
    if (wait)
        WaitForCalculation();
    // What changed until now is in the lists; a change from here on keeps the text out of the cache.
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        counter = changeCounter_;
    }
    std::string text = BugReportText(*header.Get(), *sections.Get());
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (changeCounter_ == counter)
        cache_ = text;
    return text;
}

}  // namespace

__attribute__((noinline)) TExceptionPtr NewExceptionObject(const TExceptionParams& params)
{
    TSettingsPtr settings = params.Settings;
    if (!settings)
        settings = GetModuleSettingsOfAddress(__builtin_return_address(0));
    TExceptionParams own = params;
    if (!own.StackPointer)
        own.StackPointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (!own.FramePointer)
        own.FramePointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    try {
        return TExceptionPtr(new TIVQException(settings ? settings->Module() : nullptr, own));
    } catch (...) {
        return nullptr;
    }
}

std::string ProcessTraceReport()
{
    TExceptionParams params;
    params.Kind = ekFreeze;
    params.Settings = MainModuleSettings();
    if (!params.Settings)
        params.Settings = GetModuleSettingsOfAddress(reinterpret_cast<const void*>(&ProcessTraceReport));
    TExceptionPtr exception = NewExceptionObject(params);
    if (!exception)
        return {};
    exception->SetPlWaitBox(false);
    return exception->GetBugReport();
}

void SetShowExceptionBox(TShowExceptionBoxProc proc) noexcept
{
    gShowExceptionBox = proc;
}

bool IsReportCalculationThread() noexcept
{
    const DWORD slot = gCalculatingSlot.load();
    if (slot == TLS_OUT_OF_INDEXES)
        return false;
    // The read clears the thread's last error; the handling that asks keeps it.
    const DWORD lastError = GetLastError();
    const bool marked = TlsGetValue(slot) != nullptr;
    SetLastError(lastError);
    return marked;
}

void SetHandlerThreadId(DWORD threadId) noexcept
{
    gHandlerThreadId = threadId;
}

DWORD HandlerThreadId() noexcept
{
    return gHandlerThreadId;
}
