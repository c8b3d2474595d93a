#pragma once

// The test program's own reporter settings as the handling tests want them, put back afterwards:
// every report is saved without asking; nothing is paused, written to the console or put on the
// clipboard; no please-wait box; the slow plug-ins stay out.

#include "hxExceptHandling.h"
#include "hxExceptSettings.h"
#include "hxExceptSupport.h"

#include <windows.h>

class THandlingSettingsScope {
public:
    THandlingSettingsScope()
        : autoSave_(module_->GetAutoSave()), autoSaveIfNotSent_(module_->GetAutoSaveIfNotSent()),
          autoClip_(module_->GetAutoClip()), plWaitBox_(module_->GetPlWaitBox()),
          showBtnVis_(module_->GetShowBtnVis()), pauseThreads_(module_->GetPauseThreads()),
          autoRestart_(module_->GetAutoRestart()), autoClose_(module_->GetAutoClose())
    {
        module_->SetAutoSave(true);
        module_->SetAutoSaveIfNotSent(false);
        module_->SetAutoClip(false);
        module_->SetPlWaitBox(false);
        // A console program writes the message, and with this the whole report, to its output.
        module_->SetShowBtnVis(false);
        // Pausing has tests of its own (the first pause happens once per process).
        module_->SetPauseThreads(false);
        module_->SetPluginEnabled("hardware", false);
        module_->SetPluginEnabled("processes", false);
    }
    ~THandlingSettingsScope()
    {
        module_->SetAutoSave(autoSave_);
        module_->SetAutoSaveIfNotSent(autoSaveIfNotSent_);
        module_->SetAutoClip(autoClip_);
        module_->SetPlWaitBox(plWaitBox_);
        module_->SetShowBtnVis(showBtnVis_);
        module_->SetPauseThreads(pauseThreads_);
        module_->SetAutoRestart(autoRestart_);
        module_->SetAutoClose(autoClose_);
        module_->SetPluginEnabled("hardware", true);
        module_->SetPluginEnabled("processes", true);
    }
    THandlingSettingsScope(const THandlingSettingsScope&) = delete;
    THandlingSettingsScope& operator=(const THandlingSettingsScope&) = delete;

    IVQModuleSettings* operator->() const { return module_.Get(); }

private:
    TSettingsPtr module_ = NewSettings(GetModuleHandleA(nullptr));
    bool autoSave_, autoSaveIfNotSent_, autoClip_, plWaitBox_, showBtnVis_, pauseThreads_;
    int autoRestart_, autoClose_;
};

// The real handler thread with the given services and exception sources, under the handling
// settings above; stopped and put back on every way out.
class THandlerThreadScope {
public:
    explicit THandlerThreadScope(const THandlingServices& services, const TExceptionSources& sources = {})
    {
        SetHandlingServices(services);
        SetExceptionSources(sources);
        started_ = StartHandlerThread();
        SetExceptionHistory({});
    }
    ~THandlerThreadScope()
    {
        StopHandlerThread();
        SetExceptionSources({});
        SetHandlingServices({});
    }
    THandlerThreadScope(const THandlerThreadScope&) = delete;
    THandlerThreadScope& operator=(const THandlerThreadScope&) = delete;

    bool Started() const { return started_; }

    THandlingSettingsScope Settings;

private:
    bool started_ = false;
};
