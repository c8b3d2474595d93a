#pragma once

// The reporter's settings object: typed, named values found in the module's own table, then in
// the built-in defaults or the settings of the governing module, plus the choice of the settings
// object for a module or a code address.

#include "hxExceptFields.h"
#include "hxExceptSettingList.h"
#include "hxExceptSettingsStore.h"

#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// ---- The setting list as data ----

enum class THxSettingType { Boolean, Integer, String };

struct THxSettingInfo {
    const char* name;
    THxSettingType type;
};

inline constexpr THxSettingInfo kHxSettingInfos[] = {
#define HX_INFO_B(Name, Default) {#Name, THxSettingType::Boolean},
#define HX_INFO_I(Name, Default) {#Name, THxSettingType::Integer},
#define HX_INFO_S(Name, Default) {#Name, THxSettingType::String},
    HX_SETTING_LIST(HX_INFO_B, HX_INFO_I, HX_INFO_I, HX_INFO_S)
#undef HX_INFO_B
#undef HX_INFO_I
#undef HX_INFO_S
};

// A name missing from the list does not compile where a type is needed.
consteval THxSettingType HxSettingType(std::string_view name)
{
    for (const THxSettingInfo& info : kHxSettingInfos)
        if (name == info.name)
            return info.type;
    throw "unknown setting";
}

template <THxSettingType Type>
struct THxSettingTraits;
template <>
struct THxSettingTraits<THxSettingType::Boolean> {
    using Value = bool;
    using Param = bool;
};
template <>
struct THxSettingTraits<THxSettingType::Integer> {
    using Value = std::int32_t;
    using Param = std::int32_t;
};
template <>
struct THxSettingTraits<THxSettingType::String> {
    using Value = std::string;
    using Param = const std::string&;
};

#define HX_SETTING_VALUE(Name) THxSettingTraits<HxSettingType(#Name)>::Value
#define HX_SETTING_PARAM(Name) THxSettingTraits<HxSettingType(#Name)>::Param

// The built-in defaults, in the record layout of the store.
const THxSettingRecord* HxDefaultSettings(std::intptr_t& count) noexcept;

// ---- Interfaces ----

// Getter and setter runs of the settings interfaces in slot order; G declares a getter, S a
// setter, GS both.
#define HX_SETTINGS_SLOTS_A(G, S, GS)                                                              \
    GS(AutoSave) GS(AutoSaveIfNotSent) GS(AutoSend) GS(AutoSendBox) GS(AutoClip) GS(PauseThreads)  \
    GS(PlWaitBox) GS(AutoContinue) GS(AutoRestart) GS(AutoClose) GS(AutoDelay)                     \
    G(SendBtnVis) G(SaveBtnVis) G(PrintBtnVis) G(ShowBtnVis) G(ContinueBtnVis) G(RestartBtnVis)    \
    G(CloseBtnVis) S(SendBtnVis) S(SaveBtnVis) S(PrintBtnVis) S(ShowBtnVis) S(ContinueBtnVis)      \
    S(RestartBtnVis) S(CloseBtnVis)                                                                \
    GS(FocusedBtn) GS(SendAssis) GS(SaveAssis) GS(PrintAssis) GS(AutoShowBugRep) GS(UglyBtns)      \
    GS(MailAddr) GS(SendInBackgr) GS(MailAsSmtpServer) GS(MailAsSmtpClient) GS(UploadViaHttp)     \
    GS(MailViaMapi) GS(MailViaMailto) GS(SmtpServer) GS(SmtpPort) GS(SmtpAccount) GS(SmtpPassword) \
    GS(HttpServer) GS(HttpPort) GS(HttpAccount) GS(HttpPassword) GS(MailFrom)
#define HX_SETTINGS_SLOTS_B(G, S, GS)                                                              \
    GS(AttachBugRep) GS(AttachBugRepFile) GS(DelBugRepFile) GS(BugRepSendAs) GS(BugRepZip)         \
    GS(ScrShotDepth) GS(ScrShotAppOnly) GS(ScrShotSendAs) GS(ScrShotZip)
#define HX_SETTINGS_SLOTS_C(G, S, GS)                                                              \
    GS(BugRepFile) GS(AppendBugReps) GS(BugRepFileSize) GS(NoDupExcepts) GS(NoDupFreezes)          \
    GS(DupExceptDef) GS(DupFreezeDef) GS(ListThreads) GS(CpuRegs) GS(StackDump) GS(ShowDisAsm)     \
    GS(HideUglyItems) GS(ShowRelAddrs) GS(ShowRelLines) GS(FormatDisAsm) GS(LimitDisAsm)
#define HX_SETTINGS_SLOTS_D(G, S, GS)                                                              \
    GS(TitleBar) GS(ExceptMsg) GS(FrozenMsg)                                                       \
    G(SendBtnTxt) G(SaveBtnTxt) G(PrintBtnTxt) G(ShowBtnTxt) G(ContinueBtnTxt) G(RestartBtnTxt)    \
    G(CloseBtnTxt) S(SendBtnTxt) S(SaveBtnTxt) S(PrintBtnTxt) S(ShowBtnTxt) S(ContinueBtnTxt)      \
    S(RestartBtnTxt) S(CloseBtnTxt)                                                                \
    G(OkBtnTxt) G(DetailsBtnTxt) S(OkBtnTxt) S(DetailsBtnTxt)                                      \
    G(PlWaitTitle) G(PlWaitText) S(PlWaitTitle) S(PlWaitText)                                      \
    GS(MailSubj) GS(MailBody) GS(SendBoxTitle) GS(PrepAttMsg) GS(MxLookMsg) GS(ConnMsg)            \
    GS(AuthMsg) GS(SendMailMsg) GS(FieldMsg) GS(SendAttMsg) GS(SendFinalMsg) GS(SendFailMsg)
#define HX_MODULE_SLOTS_B(G, S, GS)                                                                \
    G(NoSettings) G(CheckFreeze) G(FreezeTimeout)                                                  \
    G(F1Classes) G(F2Classes) S(F1Classes) S(F2Classes)                                            \
    G(F1NoBugRep) G(F2NoBugRep) G(GnNoBugRep) S(F1NoBugRep) S(F2NoBugRep) S(GnNoBugRep)            \
    G(F1NoScrShot) G(F2NoScrShot) G(GnNoScrShot) S(F1NoScrShot) S(F2NoScrShot) S(GnNoScrShot)      \
    G(F1NoSuspend) G(F2NoSuspend) G(GnNoSuspend) S(F1NoSuspend) S(F2NoSuspend) S(GnNoSuspend)      \
    G(F1NoHandlers) G(F2NoHandlers) G(GnNoHandlers) S(F1NoHandlers) S(F2NoHandlers) S(GnNoHandlers) \
    G(F1ShowCfg) G(F2ShowCfg) G(GnShowCfg) S(F1ShowCfg) S(F2ShowCfg) S(GnShowCfg)                  \
    G(F1Assis) G(F2Assis) G(GnAssis) S(F1Assis) S(F2Assis) S(GnAssis)

#define HX_DECLARE_GET(Name) virtual HX_SETTING_VALUE(Name) Get##Name() = 0;
#define HX_DECLARE_SET(Name) virtual bool Set##Name(HX_SETTING_PARAM(Name) value) = 0;
#define HX_DECLARE_GETSET(Name) HX_DECLARE_GET(Name) HX_DECLARE_SET(Name)

class IVQSettingValues : public IUnknown {
public:
    virtual bool ReadBool(const char* name) = 0;
    virtual std::int32_t ReadInteger(const char* name) = 0;
    // Placeholders expanded.
    virtual std::string ReadString(const char* name) = 0;
    virtual std::int32_t ReadIntegerValue(const char* name) = 0;  // same as ReadInteger
    virtual void StoreAssistantValues(IUnknown* assistant) = 0;
    virtual void RestoreAssistantValues(IUnknown* assistant) = 0;
    virtual void Reserved() = 0;
};
__CRT_UUID_DECL(IVQSettingValues, 0x8c612485, 0xcd17, 0x4c66, 0x8c, 0x62, 0xd6, 0xd9, 0x4d, 0x54, 0xea, 0x50)

class IVQSettings : public IUnknown {
public:
    virtual HMODULE Module() = 0;
    HX_SETTINGS_SLOTS_A(HX_DECLARE_GET, HX_DECLARE_SET, HX_DECLARE_GETSET)
    virtual TFieldsPtr AdditionalFields() = 0;
    HX_SETTINGS_SLOTS_B(HX_DECLARE_GET, HX_DECLARE_SET, HX_DECLARE_GETSET)
    virtual TAttachmentsPtr AdditionalAttachments() = 0;
    HX_SETTINGS_SLOTS_C(HX_DECLARE_GET, HX_DECLARE_SET, HX_DECLARE_GETSET)
    virtual bool GetPluginEnabled(const std::string& name) = 0;
    virtual bool SetPluginEnabled(const std::string& name, bool enabled) = 0;
    virtual std::string VersionText() = 0;
    // The assistant of that name, built with its remembered entries; null when none.
    virtual Microsoft::WRL::ComPtr<IUnknown> GetAssistant(const std::string& name) = 0;
    HX_SETTINGS_SLOTS_D(HX_DECLARE_GET, HX_DECLARE_SET, HX_DECLARE_GETSET)
};
__CRT_UUID_DECL(IVQSettings, 0x27dbc590, 0x890f, 0x463e, 0x8d, 0x05, 0x32, 0xe3, 0x35, 0x84, 0x11, 0x9f)

class IVQModuleSettings : public IVQSettings {
public:
    virtual bool HasSettings() = 0;
    HX_DECLARE_GET(Enabled)
    virtual bool GetMinDebugInfo() = 0;  // the string setting is not empty
    HX_MODULE_SLOTS_B(HX_DECLARE_GET, HX_DECLARE_SET, HX_DECLARE_GETSET)
};
__CRT_UUID_DECL(IVQModuleSettings, 0xe2196b25, 0xd73a, 0x4f69, 0xb7, 0x9b, 0xd6, 0x55, 0x39, 0x76, 0x3b, 0x31)

using TSettingsPtr = Microsoft::WRL::ComPtr<IVQModuleSettings>;

// ---- Assistants, built by the assistant unit ----

// One edit or check-box item of an assistant form.
struct THxAssistantItem {
    std::string name;
    bool isCheckBox = false;
    std::string text;
    bool checked = false;
};
struct THxAssistantServices {
    // Builds an assistant from its title and form names; null when it cannot.
    Microsoft::WRL::ComPtr<IUnknown> (*build)(HMODULE module, const std::string& title,
                                              const std::vector<std::string>& forms, IUnknown* exception) = nullptr;
    // Visits the edit and check-box items (of completed forms only when asked); changes the
    // visitor makes to text or checked go back to the item.
    void (*forEachItem)(IUnknown* assistant, bool completedFormsOnly,
                        const std::function<void(THxAssistantItem& item)>& visit) = nullptr;
};

void SetHxAssistantServices(const THxAssistantServices& services) noexcept;

// ---- The settings object ----

#define HX_IMPLEMENT_GET(Name)                                                                     \
    HX_SETTING_VALUE(Name) Get##Name() override                                                    \
    {                                                                                              \
        return ReadTyped<HxSettingType(#Name)>(#Name);                                             \
    }
#define HX_IMPLEMENT_SET(Name)                                                                     \
    bool Set##Name(HX_SETTING_PARAM(Name) value) override                                          \
    {                                                                                              \
        return WriteTyped<HxSettingType(#Name)>(#Name, value);                                     \
    }
#define HX_IMPLEMENT_GETSET(Name) HX_IMPLEMENT_GET(Name) HX_IMPLEMENT_SET(Name)

// The interfaces the exception object adds share this object's settings interface, hence the
// virtual base.
class TIVQSettings : public virtual IVQModuleSettings, public IVQSettingValues, protected IHxSettingsWriter {
public:
    TIVQSettings(HMODULE module, bool loadSettings);
    virtual ~TIVQSettings();
    TIVQSettings(const TIVQSettings&) = delete;
    TIVQSettings& operator=(const TIVQSettings&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IVQSettingValues
    bool ReadBool(const char* name) override;
    std::int32_t ReadInteger(const char* name) override;
    std::string ReadString(const char* name) override;
    std::int32_t ReadIntegerValue(const char* name) override { return ReadInteger(name); }
    void StoreAssistantValues(IUnknown* assistant) override;
    void RestoreAssistantValues(IUnknown* assistant) override;
    void Reserved() override {}

    // Typed writes; false without a settings resource or when the stored kind differs.
    bool WriteBool(const char* name, bool value);
    bool WriteInteger(const char* name, std::int32_t value);
    bool WriteString(const char* name, const std::string& value);

    // IVQSettings
    HMODULE Module() override { return module_; }
    HX_SETTINGS_SLOTS_A(HX_IMPLEMENT_GET, HX_IMPLEMENT_SET, HX_IMPLEMENT_GETSET)
    TFieldsPtr AdditionalFields() override;
    HX_SETTINGS_SLOTS_B(HX_IMPLEMENT_GET, HX_IMPLEMENT_SET, HX_IMPLEMENT_GETSET)
    TAttachmentsPtr AdditionalAttachments() override;
    HX_SETTINGS_SLOTS_C(HX_IMPLEMENT_GET, HX_IMPLEMENT_SET, HX_IMPLEMENT_GETSET)
    bool GetPluginEnabled(const std::string& name) override;
    bool SetPluginEnabled(const std::string& name, bool enabled) override;
    std::string VersionText() override { return versionText_; }
    Microsoft::WRL::ComPtr<IUnknown> GetAssistant(const std::string& name) override;
    HX_SETTINGS_SLOTS_D(HX_IMPLEMENT_GET, HX_IMPLEMENT_SET, HX_IMPLEMENT_GETSET)

    // IVQModuleSettings
    bool HasSettings() override { return hasSettings_; }
    HX_IMPLEMENT_GET(Enabled)
    bool GetMinDebugInfo() override { return !ReadString("MinDebugInfo").empty(); }
    HX_MODULE_SLOTS_B(HX_IMPLEMENT_GET, HX_IMPLEMENT_SET, HX_IMPLEMENT_GETSET)

protected:
    // The value of a name: the module's table, then the defaults when useDefaults is set.
    // Kind and create matter only for appending a missing name.
    virtual bool FindSetting(const char* name, bool useDefaults, std::uint8_t kind, bool create,
                             THxSettingValue& value);
    // An exception object answers for its own screenshot flag and passes itself to assistants.
    virtual bool ScreenshotWanted() { return true; }
    virtual IUnknown* AssistantException() { return nullptr; }

    // One reference fewer without deleting; the caller deletes at 0.
    ULONG ReleaseReference() { return --refs_; }
    bool WriteSettingText(const char* name, const std::string& value) override { return WriteString(name, value); }
    // Stores a typed value; false without a settings resource or when the stored kind differs.
    virtual bool Write(const char* name, const THxSettingValue& value);

private:
    template <THxSettingType Type>
    typename THxSettingTraits<Type>::Value ReadTyped(const char* name)
    {
        if constexpr (Type == THxSettingType::Boolean)
            return ReadBool(name);
        else if constexpr (Type == THxSettingType::Integer)
            return ReadInteger(name);
        else
            return ReadString(name);
    }
    template <THxSettingType Type>
    bool WriteTyped(const char* name, typename THxSettingTraits<Type>::Param value)
    {
        if constexpr (Type == THxSettingType::Boolean)
            return WriteBool(name, value);
        else if constexpr (Type == THxSettingType::Integer)
            return WriteInteger(name, value);
        else
            return WriteString(name, value);
    }
    // Own table, then defaults or the main module's settings; false when nowhere.
    bool ReadSettingValue(const char* name, std::uint8_t kind, THxSettingValue& value, bool& fromMain);
    std::string ReadRawString(const char* name);
    void DecipherPassword(const char* password, const char* server, const char* account);
    void ReadVersionText();

    std::atomic<ULONG> refs_{0};
    bool hasSettings_ = false;
    HMODULE module_ = nullptr;
    THxModuleSettings* block_ = nullptr;
    std::string versionText_;
    CRITICAL_SECTION listLock_;
    TAttachmentsPtr attachments_;
    TFieldsPtr fields_;
    TFieldsPtr assistantValues_;
};

// ---- Choosing a settings object ----

// A new settings object; with loadSettings the module's table is acquired.
TSettingsPtr NewSettings(HMODULE module, bool loadSettings = true);

// Kept by start-up: the main module's settings, and whether modules without settings defer to
// the governing settings.
void SetMainModuleSettings(const TSettingsPtr& settings) noexcept;
TSettingsPtr MainModuleSettings() noexcept;
void SetSharedSettingsLookup(bool shared) noexcept;

TSettingsPtr GetModuleSettings(HMODULE module);
TSettingsPtr GetModuleSettingsOfAddress(const void* address);
// depth 0: the settings of the module that called this function.
TSettingsPtr GetCallerModuleSettings(int depth);
TSettingsPtr FindGoverningSettings();
