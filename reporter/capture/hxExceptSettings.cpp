#include "hxExceptSettings.h"

#include "hxDisAsm.h"
#include "hxExceptSupport.h"
#include "hxStrings.h"
#include "hxTools.h"

#include <atomic>
#include <cstring>
#include <mutex>

using Microsoft::WRL::ComPtr;

namespace {

constexpr THxSettingRecord kDefaultSettings[] = {
#define HX_DEFAULT_B(Name, Default) {const_cast<char*>(#Name), hxKindBoolean, Default, 0, nullptr},
#define HX_DEFAULT_I(Name, Default) {const_cast<char*>(#Name), hxKindInteger, 0, Default, nullptr},
#define HX_DEFAULT_IB(Name, Default) {const_cast<char*>(#Name), hxKindBoolean, 0, Default, nullptr},
#define HX_DEFAULT_S(Name, Default) {const_cast<char*>(#Name), hxKindString, 0, 0, const_cast<char*>(Default)},
    HX_SETTING_LIST(HX_DEFAULT_B, HX_DEFAULT_I, HX_DEFAULT_IB, HX_DEFAULT_S)
#undef HX_DEFAULT_B
#undef HX_DEFAULT_I
#undef HX_DEFAULT_IB
#undef HX_DEFAULT_S
};
// Every row of the list once; lookups find the first record of a name.
static_assert(std::size(kDefaultSettings) == 120);

std::mutex servicesLock;
THxAssistantServices assistantServices;
THxAssistantServices AssistantServices()
{
    std::lock_guard lock(servicesLock);
    return assistantServices;
}

std::mutex mainLock;
TSettingsPtr mainSettings;
std::atomic<bool> sharedLookup{false};

bool UsableSettings(const TSettingsPtr& settings)
{
    return settings && settings->HasSettings() && !settings->GetNoSettings();
}

// Only image memory with valid headers is asked for resources.
HMODULE ImageAllocationBase(const MEMORY_BASIC_INFORMATION& info)
{
    if (info.State != MEM_COMMIT || info.Type != MEM_IMAGE || !info.AllocationBase)
        return nullptr;
    return PeNtHeaders(info.AllocationBase) ? static_cast<HMODULE>(info.AllocationBase) : nullptr;
}

}  // namespace

const THxSettingRecord* HxDefaultSettings(std::intptr_t& count) noexcept
{
    count = static_cast<std::intptr_t>(std::size(kDefaultSettings));
    return kDefaultSettings;
}

void SetHxAssistantServices(const THxAssistantServices& services) noexcept
{
    std::lock_guard lock(servicesLock);
    assistantServices = services;
}

// ---- TIVQSettings ----

TIVQSettings::TIVQSettings(HMODULE module, bool loadSettings)
{
    InitializeCriticalSection(&listLock_);
    if (loadSettings)
        block_ = AcquireModuleSettings(module);
    hasSettings_ = block_ != nullptr;
    if (!block_)
        return;
    module_ = module;
    DecipherPassword("SmtpPassword", "SmtpServer", "SmtpAccount");
    DecipherPassword("HttpPassword", "HttpServer", "HttpAccount");
    ReadVersionText();
}

TIVQSettings::~TIVQSettings()
{
    if (fields_) {
        ComPtr<IVQFieldsEx> ex;
        if (SUCCEEDED(fields_.As(&ex)))
            ex->ForgetSettings();
    }
    if (attachments_) {
        ComPtr<IVQAttachmentsOwner> owner;
        if (SUCCEEDED(attachments_.As(&owner)))
            owner->ForgetSettings();
    }
    ReleaseModuleSettings(block_);
    DeleteCriticalSection(&listLock_);
}

HRESULT STDMETHODCALLTYPE TIVQSettings::QueryInterface(REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IVQSettings) || iid == __uuidof(IVQModuleSettings))
        *object = static_cast<IVQModuleSettings*>(this);
    else if (iid == __uuidof(IVQSettingValues))
        *object = static_cast<IVQSettingValues*>(this);
    else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE TIVQSettings::AddRef()
{
    return ++refs_;
}

ULONG STDMETHODCALLTYPE TIVQSettings::Release()
{
    const ULONG left = --refs_;
    if (left == 0)
        delete this;
    return left;
}

bool TIVQSettings::FindSetting(const char* name, bool useDefaults, std::uint8_t kind, bool create,
                               THxSettingValue& value)
{
    if (block_) {
        if (ReadModuleSetting(block_, name, value))
            return true;
        if (create) {
            THxSettingValue zero;
            zero.kind = kind;
            WriteModuleSetting(block_, name, zero, true);
            if (ReadModuleSetting(block_, name, value))
                return true;
        }
    }
    if (!useDefaults)
        return false;
    std::intptr_t count = 0;
    const THxSettingRecord* defaults = HxDefaultSettings(count);
    const std::intptr_t index = FindSettingRecord(count, defaults, name);
    if (index < 0)
        return false;
    const THxSettingRecord& record = defaults[index];
    value.kind = record.kind;
    value.boolValue = record.boolValue != 0;
    value.intValue = record.intValue;
    value.strValue = record.strValue ? record.strValue : "";
    return true;
}

bool TIVQSettings::ReadSettingValue(const char* name, std::uint8_t kind, THxSettingValue& value, bool& fromMain)
{
    fromMain = false;
    const TSettingsPtr main = MainModuleSettings();
    const bool useDefaults = !main || main->Module() == module_;
    if (FindSetting(name, useDefaults, kind, false, value))
        return true;
    if (useDefaults)
        return false;
    ComPtr<IVQSettingValues> values;
    if (FAILED(main.As(&values)))
        return false;
    fromMain = true;
    value.kind = kind;
    switch (kind) {
    case hxKindBoolean:
        value.boolValue = values->ReadBool(name);
        break;
    case hxKindInteger:
        value.intValue = values->ReadInteger(name);
        break;
    default:
        value.strValue = values->ReadString(name);
        break;
    }
    return true;
}

bool TIVQSettings::ReadBool(const char* name)
{
    THxSettingValue value;
    bool fromMain = false;
    return ReadSettingValue(name, hxKindBoolean, value, fromMain) && value.boolValue;
}

std::int32_t TIVQSettings::ReadInteger(const char* name)
{
    THxSettingValue value;
    bool fromMain = false;
    return ReadSettingValue(name, hxKindInteger, value, fromMain) ? value.intValue : 0;
}

std::string TIVQSettings::ReadString(const char* name)
{
    THxSettingValue value;
    bool fromMain = false;
    if (!ReadSettingValue(name, hxKindString, value, fromMain))
        return {};
    // The main module's read has expanded its text already.
    if (fromMain || value.strValue.empty())
        return value.strValue;
    // The message and report placeholders stay for the exception object to fill in.
    return ExpandPlaceholders(module_, value.strValue, "%exceptMsg%", "%bugReport%");
}

std::string TIVQSettings::ReadRawString(const char* name)
{
    THxSettingValue value;
    return ReadModuleSetting(block_, name, value) ? value.strValue : std::string();
}

bool TIVQSettings::Write(const char* name, const THxSettingValue& value)
{
    if (!hasSettings_)
        return false;
    THxSettingValue found;
    return FindSetting(name, false, value.kind, true, found) && found.kind == value.kind &&
           WriteModuleSetting(block_, name, value, false);
}

bool TIVQSettings::WriteBool(const char* name, bool value)
{
    THxSettingValue v;
    v.kind = hxKindBoolean;
    v.boolValue = value;
    return Write(name, v);
}

bool TIVQSettings::WriteInteger(const char* name, std::int32_t value)
{
    THxSettingValue v;
    v.kind = hxKindInteger;
    v.intValue = value;
    if (Write(name, v))
        return true;
    // Small integer settings (a button index, a duplicate definition) keep the record kind of a
    // flag and carry their number in the integer cell.
    for (const THxSettingInfo& info : kHxSettingInfos)
        if (info.type == THxSettingType::Integer && std::strcmp(info.name, name) == 0) {
            v.kind = hxKindBoolean;
            return Write(name, v);
        }
    return false;
}

bool TIVQSettings::WriteString(const char* name, const std::string& value)
{
    THxSettingValue v;
    v.kind = hxKindString;
    v.strValue = value;
    return Write(name, v);
}

void TIVQSettings::DecipherPassword(const char* password, const char* server, const char* account)
{
    const std::string stored = ReadRawString(password);
    if (!stored.empty())
        WriteString(password, ::DecipherPassword(stored, ReadRawString(server), ReadRawString(account)));
}

void TIVQSettings::ReadVersionText()
{
    const std::int32_t offset = ReadInteger("VersionVar");
    if (offset <= 0)
        return;
    const TPeView image = TPeView::OfModule(module_);
    if (!image.Valid() || static_cast<std::size_t>(offset) > image.Size() - sizeof(const char*))
        return;
    const char* text = nullptr;
    if (!TryReadMemory(image.Base() + offset, &text, sizeof text) || !text)
        return;
    // The variable may point anywhere; read it byte by byte through the guarded copy.
    constexpr std::size_t kLimit = 4096;
    for (std::size_t i = 0; i < kLimit; ++i) {
        char c = 0;
        if (!TryReadMemory(text + i, &c, 1) || c == 0)
            break;
        versionText_ += c;
    }
}

TFieldsPtr TIVQSettings::AdditionalFields()
{
    EnterCriticalSection(&listLock_);
    if (!fields_)
        fields_ = FieldsFromSetting(ReadString("AddFields"), this);
    TFieldsPtr fields = fields_;
    LeaveCriticalSection(&listLock_);
    return fields;
}

TAttachmentsPtr TIVQSettings::AdditionalAttachments()
{
    EnterCriticalSection(&listLock_);
    if (!attachments_)
        attachments_ = AttachmentsFromSetting(ReadString("AddAttachs"), this);
    TAttachmentsPtr attachments = attachments_;
    LeaveCriticalSection(&listLock_);
    return attachments;
}

bool TIVQSettings::GetPluginEnabled(const std::string& name)
{
    return ListContainsText(ReadString("Plugins"), '|', name);
}

bool TIVQSettings::SetPluginEnabled(const std::string& name, bool enabled)
{
    const std::string list = ReadString("Plugins");
    if (ListContainsText(list, '|', name) == enabled)
        return true;
    std::string updated;
    if (enabled) {
        updated = list.empty() ? name : list + '|' + name;
    } else {
        for (const std::string& item : SplitSettingList(list, '|')) {
            if (SameTextCI(item, name))
                continue;
            if (!updated.empty())
                updated += '|';
            updated += item;
        }
    }
    return WriteString("Plugins", updated);
}

ComPtr<IUnknown> TIVQSettings::GetAssistant(const std::string& name)
{
    std::string definition;
    for (int i = 1;; ++i) {
        const std::string value = ReadString(("Assistant" + IntToStrFast(i)).c_str());
        if (value.empty())
            return nullptr;
        if (SameTextCI(GetField(value, '|', 1), name)) {
            definition = value;
            break;
        }
    }
    std::vector<std::string> items = SplitSettingList(definition, '|');
    const std::string title = items.size() > 1 ? items[1] : std::string();
    std::vector<std::string> forms(items.size() > 2 ? items.begin() + 2 : items.end(), items.end());
    if (!ScreenshotWanted() || GetScrShotDepth() == 0)
        std::erase_if(forms, [](const std::string& form) { return SameTextCI(form, "ScrShotForm"); });
    const THxAssistantServices services = AssistantServices();
    if (!services.build)
        return nullptr;
    ComPtr<IUnknown> assistant = services.build(module_, title, forms, AssistantException());
    if (assistant)
        RestoreAssistantValues(assistant.Get());
    return assistant;
}

void TIVQSettings::StoreAssistantValues(IUnknown* assistant)
{
    const THxAssistantServices services = AssistantServices();
    if (!assistant || !services.forEachItem)
        return;
    EnterCriticalSection(&listLock_);
    if (!assistantValues_)
        assistantValues_ = NewFields(nullptr, true);
    TFieldsPtr values = assistantValues_;
    LeaveCriticalSection(&listLock_);
    services.forEachItem(assistant, true, [&](THxAssistantItem& item) {
        values->SetValue(item.name, item.isCheckBox ? (item.checked ? "True" : "False") : item.text);
    });
}

void TIVQSettings::RestoreAssistantValues(IUnknown* assistant)
{
    const THxAssistantServices services = AssistantServices();
    EnterCriticalSection(&listLock_);
    TFieldsPtr values = assistantValues_;
    LeaveCriticalSection(&listLock_);
    if (!assistant || !values || !services.forEachItem)
        return;
    services.forEachItem(assistant, false, [&](THxAssistantItem& item) {
        if (values->IndexOf(item.name) < 0)
            return;
        const std::string stored = values->GetValue(item.name);
        if (item.isCheckBox)
            item.checked = SameTextCI(stored, "True");
        else
            item.text = stored;
    });
}

// ---- Choosing a settings object ----

TSettingsPtr NewSettings(HMODULE module, bool loadSettings)
{
    return TSettingsPtr(new TIVQSettings(module, loadSettings));
}

void SetMainModuleSettings(const TSettingsPtr& settings) noexcept
{
    TSettingsPtr old;
    {
        std::lock_guard lock(mainLock);
        old = mainSettings;
        mainSettings = settings;
    }
}

TSettingsPtr MainModuleSettings() noexcept
{
    std::lock_guard lock(mainLock);
    return mainSettings;
}

void SetSharedSettingsLookup(bool shared) noexcept
{
    sharedLookup.store(shared);
}

TSettingsPtr FindGoverningSettings()
{
    HMODULE exe = GetModuleHandleA(nullptr);
    TSettingsPtr result = FindSettingsResource(exe) ? NewSettings(exe) : nullptr;
    const auto* address = static_cast<const char*>(nullptr);
    while (!(result && !result->GetNoSettings())) {
        MEMORY_BASIC_INFORMATION info{};
        if (VirtualQuery(address, &info, sizeof info) != sizeof info)
            break;
        HMODULE module = ImageAllocationBase(info);
        if (module && info.BaseAddress == info.AllocationBase && FindSettingsResource(module)) {
            TSettingsPtr settings = NewSettings(module);
            if (!result || !settings->GetNoSettings())
                result = settings;
        }
        const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        if (next <= address)
            break;
        address = next;
    }
    return result;
}

TSettingsPtr GetModuleSettings(HMODULE module)
{
    TSettingsPtr own = NewSettings(module);
    const bool keep = own->HasSettings() ? !own->GetNoSettings() : !sharedLookup.load();
    if (keep)
        return own;
    TSettingsPtr governing = FindGoverningSettings();
    return UsableSettings(governing) ? governing : own;
}

TSettingsPtr GetModuleSettingsOfAddress(const void* address)
{
    HMODULE exe = GetModuleHandleA(nullptr);
    TSettingsPtr settings;
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(address, &info, sizeof info) == sizeof info) {
        HMODULE module = ImageAllocationBase(info);
        if (module && module != exe && FindSettingsResource(module))
            settings = NewSettings(module);
    }
    if (!settings || settings->GetNoSettings()) {
        TSettingsPtr governing = FindGoverningSettings();
        if (!settings || UsableSettings(governing))
            settings = governing;
    }
    return settings ? settings : NewSettings(exe);
}

__attribute__((noinline)) TSettingsPtr GetCallerModuleSettings(int depth)
{
    // The caller's own return address needs no walk; further frames come from the unwinder,
    // which also finds frames that keep no frame pointer.
    void* frame = __builtin_return_address(0);
    if (depth > 0 && RtlCaptureStackBackTrace(static_cast<DWORD>(depth) + 1, 1, &frame, nullptr) != 1)
        frame = nullptr;
    return GetModuleSettingsOfAddress(frame);
}
