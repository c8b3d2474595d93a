#include "hxExceptSettings.h"

#include "hxExceptSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// A program variable the settings can name by its offset from the module base.
const char* volatile testVersionText = "4.5.6 test build";

HMODULE Exe()
{
    return GetModuleHandleA(nullptr);
}

// The test library with its own copy of the reporter, loaded next to the test program.
class TTestLibrary {
public:
    TTestLibrary()
    {
        char path[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string file = path;
        file = file.substr(0, file.find_last_of('\\') + 1) + HX_SETTINGS_TEST_DLL;
        module_ = LoadLibraryA(file.c_str());
    }
    ~TTestLibrary()
    {
        if (module_)
            FreeLibrary(module_);
    }
    TTestLibrary(const TTestLibrary&) = delete;
    TTestLibrary& operator=(const TTestLibrary&) = delete;
    HMODULE Module() const { return module_; }
    template <class T>
    T Proc(const char* name) const
    {
        return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_ = nullptr;
};

class SettingsTest : public testing::Test {
protected:
    void TearDown() override
    {
        SetMainModuleSettings(nullptr);
        SetSharedSettingsLookup(false);
        SetHxAssistantServices({});
    }
};

TEST_F(SettingsTest, ProgramValuesAndDefaultsReadBackByExactName)
{
    TSettingsPtr settings = NewSettings(Exe());
    ASSERT_TRUE(settings->HasSettings());
    EXPECT_EQ(settings->Module(), Exe());
    // Stored by the program's resource.
    EXPECT_TRUE(settings->GetEnabled());
    EXPECT_FALSE(settings->GetNoSettings());
    EXPECT_EQ(settings->GetFreezeTimeout(), 60000);
    EXPECT_FALSE(settings->GetAutoSave());
    EXPECT_TRUE(settings->GetPauseThreads());
    EXPECT_FALSE(settings->GetContinueBtnVis());
    EXPECT_EQ(settings->GetSendAssis(), "SendAssistant");
    EXPECT_EQ(settings->GetMailAddr(), "support@example.com");
    EXPECT_TRUE(settings->GetMailAsSmtpServer());
    EXPECT_EQ(settings->GetScrShotDepth(), 8);
    EXPECT_FALSE(settings->GetScrShotAppOnly());
    EXPECT_EQ(settings->GetBugRepFileSize(), 50000);
    EXPECT_EQ(settings->GetDupFreezeDef(), 2);
    EXPECT_EQ(settings->GetF1Classes(), "EDBEditError");
    EXPECT_TRUE(settings->GetF1NoBugRep());
    EXPECT_EQ(settings->GetF1ShowCfg(), 3);
    EXPECT_EQ(settings->GetSendBtnTxt(), "mail bug report");
    EXPECT_EQ(settings->GetCloseBtnTxt(), "close application");
    EXPECT_EQ(settings->GetMailSubj(), "bug report HIVESWEEP 1.0");
    EXPECT_EQ(settings->GetPrepAttMsg(), "Preparing attachments...");
    EXPECT_EQ(settings->GetSendFailMsg(), "Sorry, sending the mail didn't work.");
    // Not stored: the defaults govern, "PleaseWaitBox" is not "PlWaitBox".
    EXPECT_TRUE(settings->GetPlWaitBox());
    EXPECT_EQ(settings->GetAutoDelay(), 60);
    EXPECT_EQ(settings->GetMailFrom(), "");
    EXPECT_FALSE(settings->GetMinDebugInfo());
    EXPECT_EQ(settings->VersionText(), "");

    ComPtr<IVQSettingValues> values;
    ASSERT_TRUE(SUCCEEDED(settings.As(&values)));
    EXPECT_TRUE(values->ReadBool("PleaseWaitBox"));
    EXPECT_EQ(values->ReadString("mailsubj"), "");
    EXPECT_EQ(values->ReadInteger("freezetimeout"), 0);
    EXPECT_EQ(values->ReadIntegerValue("SmtpPort"), 25);
    EXPECT_EQ(values->ReadString("Assistant3"), "PrintAssistant|Print Assistant|ContactForm|DetailsForm");
    ComPtr<IVQSettings> plain;
    EXPECT_TRUE(SUCCEEDED(values.As(&plain)));
}

TEST_F(SettingsTest, DefaultTableHoldsEveryListedSettingOnce)
{
    std::intptr_t count = 0;
    const THxSettingRecord* defaults = HxDefaultSettings(count);
    ASSERT_EQ(count, static_cast<std::intptr_t>(std::size(kHxSettingInfos)));
    for (std::intptr_t i = 0; i < count; ++i)
        EXPECT_EQ(FindSettingRecord(count, defaults, defaults[i].name), i) << defaults[i].name;
    const THxSettingRecord& focused = defaults[FindSettingRecord(count, defaults, "DupFreezeDef")];
    EXPECT_EQ(focused.kind, hxKindBoolean);
    EXPECT_EQ(focused.intValue, 2);
}

TEST_F(SettingsTest, ModuleWithoutResourceReadsTheMainSettingsAndCannotWrite)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    TSettingsPtr bare = NewSettings(kernel);
    EXPECT_FALSE(bare->HasSettings());
    EXPECT_EQ(bare->Module(), nullptr);
    EXPECT_EQ(bare->GetMailSubj(), "bug report");  // built-in default
    EXPECT_EQ(bare->GetDupFreezeDef(), 2);
    EXPECT_TRUE(bare->GetNoSettings());
    EXPECT_FALSE(bare->SetMailSubj("changed"));
    EXPECT_FALSE(bare->SetAutoSave(true));

    SetMainModuleSettings(NewSettings(Exe()));
    EXPECT_EQ(bare->GetMailSubj(), "bug report HIVESWEEP 1.0");
    EXPECT_EQ(bare->GetFreezeTimeout(), 60000);
    EXPECT_TRUE(bare->GetPlWaitBox());
}

TEST_F(SettingsTest, WritesReachEverySettingsObjectOfTheModule)
{
    TSettingsPtr first = NewSettings(Exe());
    TSettingsPtr second = NewSettings(Exe());
    ASSERT_TRUE(first->SetMailSubj("run-time subject"));
    EXPECT_EQ(second->GetMailSubj(), "run-time subject");
    ASSERT_TRUE(first->SetSmtpPort(2525));
    EXPECT_EQ(second->GetSmtpPort(), 2525);
    ASSERT_TRUE(first->SetMailSubj(""));
    EXPECT_EQ(second->GetMailSubj(), "");
    // A missing name is created with the written kind; a different kind is refused.
    EXPECT_TRUE(first->SetMailFrom("reporter@example.com"));
    EXPECT_EQ(second->GetMailFrom(), "reporter@example.com");
    EXPECT_TRUE(first->SetAutoDelay(5));
    ComPtr<TIVQSettings> object(dynamic_cast<TIVQSettings*>(first.Get()));
    EXPECT_FALSE(object->WriteInteger("MailFrom", 3));
    EXPECT_FALSE(object->WriteBool("SmtpPort", true));
    EXPECT_EQ(second->GetSmtpPort(), 2525);
}

TEST_F(SettingsTest, PluginSwitchesEditTheList)
{
    TSettingsPtr settings = NewSettings(Exe());
    EXPECT_TRUE(settings->GetPluginEnabled("processes"));
    EXPECT_TRUE(settings->GetPluginEnabled("Hardware"));
    EXPECT_FALSE(settings->GetPluginEnabled("network"));
    ASSERT_TRUE(settings->SetPluginEnabled("processes", false));
    ComPtr<IVQSettingValues> values;
    ASSERT_TRUE(SUCCEEDED(settings.As(&values)));
    EXPECT_EQ(values->ReadString("Plugins"), "modules|hardware");
    EXPECT_TRUE(settings->SetPluginEnabled("modules", true));
    EXPECT_TRUE(settings->SetPluginEnabled("network", true));
    EXPECT_EQ(values->ReadString("Plugins"), "modules|hardware|network");
    EXPECT_TRUE(settings->SetPluginEnabled("modules", false));
    EXPECT_TRUE(settings->SetPluginEnabled("hardware", false));
    EXPECT_TRUE(settings->SetPluginEnabled("network", false));
    EXPECT_EQ(values->ReadString("Plugins"), "");
    EXPECT_TRUE(settings->SetPluginEnabled("processes", true));
    EXPECT_EQ(values->ReadString("Plugins"), "processes");
}

TEST_F(SettingsTest, StringReadsExpandPlaceholdersButKeepTheExceptionsOwn)
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string program = path;
    program = program.substr(program.find_last_of('\\') + 1);
    program = program.substr(0, program.rfind('.'));

    TSettingsPtr settings = NewSettings(Exe());
    EXPECT_EQ(settings->GetTitleBar(), program);
    ASSERT_TRUE(settings->SetExceptMsg("%APPNAME%:%exceptMsg%%LF%%bugReport%"));
    EXPECT_EQ(settings->GetExceptMsg(), program + ":%exceptMsg%\r\n%bugReport%");
    // Without settings the module's name is the program's too.
    EXPECT_EQ(NewSettings(GetModuleHandleA("kernel32.dll"))->GetTitleBar(), program);
}

TEST_F(SettingsTest, ConstructionDeciphersPasswordsAndReadsTheVersionVariable)
{
    TSettingsPtr keeper = NewSettings(Exe());
    ASSERT_TRUE(keeper->SetSmtpServer("127.0.0.1"));
    ASSERT_TRUE(keeper->SetSmtpAccount("acct"));
    const std::string stored = "stored password text";
    ASSERT_TRUE(keeper->SetSmtpPassword(stored));
    const auto offset = reinterpret_cast<const volatile char*>(&testVersionText) - reinterpret_cast<const char*>(Exe());
    ComPtr<TIVQSettings> object(dynamic_cast<TIVQSettings*>(keeper.Get()));
    ASSERT_TRUE(object->WriteInteger("VersionVar", static_cast<std::int32_t>(offset)));

    TSettingsPtr settings = NewSettings(Exe());
    EXPECT_EQ(settings->GetSmtpPassword(), DecipherPassword(stored, "127.0.0.1", "acct"));
    EXPECT_NE(settings->GetSmtpPassword(), stored);
    EXPECT_EQ(settings->GetHttpPassword(), "");
    EXPECT_EQ(settings->VersionText(), "4.5.6 test build");

    // An offset outside the image is not followed.
    ASSERT_TRUE(object->WriteInteger("VersionVar", 0x7fffff00));
    EXPECT_EQ(NewSettings(Exe())->VersionText(), "");
}

struct TFakeAssistant {
    std::string title;
    std::vector<std::string> forms;
    std::vector<THxAssistantItem> items;
};
TFakeAssistant lastAssistant;
ComPtr<IUnknown> BuildForTest(HMODULE, const std::string& title, const std::vector<std::string>& forms, IUnknown*)
{
    lastAssistant.title = title;
    lastAssistant.forms = forms;
    // Any object stands for the assistant.
    return NewAttachments();
}
void ForEachItemForTest(IUnknown*, bool, const std::function<void(THxAssistantItem&)>& visit)
{
    for (THxAssistantItem& item : lastAssistant.items)
        visit(item);
}

TEST_F(SettingsTest, AssistantsAreBuiltFromTheirDefinitionAndGetTheirEntriesBack)
{
    TSettingsPtr settings = NewSettings(Exe());
    EXPECT_EQ(settings->GetAssistant("SendAssistant"), nullptr);  // no builder
    SetHxAssistantServices({BuildForTest, ForEachItemForTest});
    EXPECT_EQ(settings->GetAssistant("NoSuchAssistant"), nullptr);

    ComPtr<IUnknown> send = settings->GetAssistant("sendassistant");
    ASSERT_NE(send, nullptr);
    EXPECT_EQ(lastAssistant.title, "Send Assistant");
    EXPECT_EQ(lastAssistant.forms, (std::vector<std::string>{"ContactForm", "DetailsForm", "ScrShotForm"}));
    ASSERT_TRUE(settings->SetScrShotDepth(0));
    ASSERT_NE(settings->GetAssistant("SendAssistant"), nullptr);
    EXPECT_EQ(lastAssistant.forms, (std::vector<std::string>{"ContactForm", "DetailsForm"}));
    ASSERT_NE(settings->GetAssistant("PrintAssistant"), nullptr);
    EXPECT_EQ(lastAssistant.title, "Print Assistant");

    lastAssistant.items = {{"Name", false, "Ada", false}, {"CopyMe", true, "", true}, {"Other", false, "", false}};
    ComPtr<IVQSettingValues> values;
    ASSERT_TRUE(SUCCEEDED(settings.As(&values)));
    values->StoreAssistantValues(send.Get());
    lastAssistant.items = {{"Name", false, "", false}, {"CopyMe", true, "", false}, {"Other", false, "keep", false}};
    ASSERT_NE(settings->GetAssistant("SaveAssistant"), nullptr);
    EXPECT_EQ(lastAssistant.items[0].text, "Ada");
    EXPECT_TRUE(lastAssistant.items[1].checked);
    EXPECT_EQ(lastAssistant.items[2].text, "keep");
}

TEST_F(SettingsTest, ListsMirrorTheirSettingsUntilTheSettingsObjectEnds)
{
    TSettingsPtr settings = NewSettings(Exe());
    ComPtr<TIVQSettings> object(dynamic_cast<TIVQSettings*>(settings.Get()));
    ASSERT_TRUE(object->WriteString("AddFields", "Product=Editor|Build=17"));
    TFieldsPtr fields = settings->AdditionalFields();
    EXPECT_EQ(settings->AdditionalFields(), fields);
    ASSERT_EQ(fields->GetCount(), 2);
    fields->SetValue("Build", "18");
    ComPtr<IVQSettingValues> values;
    ASSERT_TRUE(SUCCEEDED(settings.As(&values)));
    EXPECT_EQ(values->ReadString("AddFields"), "Product=Editor|Build=18");

    TAttachmentsPtr attachments = settings->AdditionalAttachments();
    EXPECT_EQ(attachments->GetCount(), 0);
    attachments->Add("c:\\log\\app.log", "", "", "");
    EXPECT_EQ(values->ReadString("AddAttachs"), "c:\\log\\app.log>app.log>>app");

    TSettingsPtr other = NewSettings(Exe());
    object.Reset();
    values.Reset();
    settings.Reset();
    fields->SetValue("Build", "19");
    attachments->Remove("C:\\LOG\\APP.LOG");
    ComPtr<IVQSettingValues> otherValues;
    ASSERT_TRUE(SUCCEEDED(other.As(&otherValues)));
    EXPECT_EQ(otherValues->ReadString("AddFields"), "Product=Editor|Build=18");
    EXPECT_EQ(otherValues->ReadString("AddAttachs"), "c:\\log\\app.log>app.log>>app");
}

TEST_F(SettingsTest, TwoCopiesOfTheReporterShareOneBlockPerModule)
{
    TTestLibrary library;
    ASSERT_NE(library.Module(), nullptr);
    auto acquire = library.Proc<THxModuleSettings* (*)(HMODULE)>("HxTestAcquire");
    auto release = library.Proc<void (*)(THxModuleSettings*)>("HxTestRelease");
    auto readString = library.Proc<bool (*)(HMODULE, const char*, char*, int)>("HxTestReadString");
    auto callerModule = library.Proc<HMODULE (*)(int)>("HxTestCallerModule");
    ASSERT_TRUE(acquire && release && readString && callerModule);

    THxModuleSettings* ours = AcquireModuleSettings(Exe());
    THxModuleSettings* theirs = acquire(Exe());
    ASSERT_NE(ours, nullptr);
    EXPECT_EQ(theirs, ours);
    EXPECT_EQ(ours->useCount, 2);

    TSettingsPtr settings = NewSettings(Exe());
    ASSERT_TRUE(settings->SetMailSubj("written by the program"));
    char text[256] = {};
    ASSERT_TRUE(readString(Exe(), "MailSubj", text, sizeof text));
    EXPECT_STREQ(text, "written by the program");
    ASSERT_TRUE(readString(library.Module(), "MailSubj", text, sizeof text));
    EXPECT_STREQ(text, "bug report of the test library");

    // The library's own table, seen from the program.
    TSettingsPtr librarySettings = GetModuleSettings(library.Module());
    EXPECT_EQ(librarySettings->Module(), library.Module());
    EXPECT_EQ(librarySettings->GetBugRepFileSize(), 1234);
    EXPECT_FALSE(librarySettings->GetAutoClip());
    EXPECT_EQ(callerModule(0), library.Module());
    EXPECT_EQ(callerModule(1), Exe());
    EXPECT_EQ(GetCallerModuleSettings(0)->Module(), Exe());
    EXPECT_EQ(GetModuleSettingsOfAddress(reinterpret_cast<const void*>(callerModule))->Module(), library.Module());

    EXPECT_EQ(ours->useCount, 3);  // ours, theirs and the settings object
    release(theirs);
    EXPECT_EQ(ours->useCount, 2);
    ReleaseModuleSettings(ours);
}

TEST_F(SettingsTest, ModulesWithoutUsableSettingsDeferToTheGoverningOnes)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    EXPECT_EQ(FindGoverningSettings()->Module(), Exe());
    EXPECT_FALSE(GetModuleSettings(kernel)->HasSettings());
    SetSharedSettingsLookup(true);
    EXPECT_EQ(GetModuleSettings(kernel)->Module(), Exe());
    // An address outside every module falls back to the program.
    EXPECT_EQ(GetModuleSettingsOfAddress(nullptr)->Module(), Exe());
    EXPECT_EQ(GetModuleSettingsOfAddress(reinterpret_cast<const void*>(&GetProcAddress))->Module(), Exe());

    // With NoSettings, the program defers too; the governing search then keeps the program's.
    TSettingsPtr settings = NewSettings(Exe());
    ComPtr<TIVQSettings> object(dynamic_cast<TIVQSettings*>(settings.Get()));
    ASSERT_TRUE(object->WriteBool("NoSettings", true));
    EXPECT_EQ(GetModuleSettings(Exe())->Module(), Exe());
    ASSERT_TRUE(object->WriteBool("NoSettings", false));
}

}  // namespace
