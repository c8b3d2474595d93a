#include "rsIniData.h"
#include "rsPropSaver.h"

#include "ExtCtrls.h"
#include "FormStream.h"
#include "KvListVw.h"
#include "Menus.h"
#include "Spin.h"
#include "StdCtrls.h"
#include "kelComponents.h"
#include "kelControls.h"

#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

namespace {

std::string SettingsPath() {
    char base[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, base);
    return std::string(base) + "rsPropSaver" + std::to_string(GetCurrentProcessId()) + ".ini";
}

std::string ReadFile(const std::string& path) {
    if (!FileExists(path))
        return "";
    TMemoryStream stream;
    stream.LoadFromFile(path);
    return std::string(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size()));
}

// A page like the wizard's: check boxes, a group box with a check box in its caption, a list
// view with columns and a spin edit, persisted by a storage, a settings file and a saver.
class TSavedForm : public TTestForm {
public:
    explicit TSavedForm(const std::function<void(TSavedForm&)>& setUp = {}) {
        SetCaption("Saved settings");
        OnCreate = [this](TObject*) { ++ownCreates; };
        OnClose = [this](TObject*, TCloseAction& action) {
            ++ownCloses;
            action = closeAction;
        };
        BuildForm([&] {
            chkAPPPath = Add<TCheckBox>(this, 8, 8, 180, 20);
            chkAPPPath->SetName("chkAPPPath");
            chkAPPPath->SetCaption("Application Paths");
            chkAPPPath->SetChecked(true);
            gbClearSoftware = Add<TkelGroupBox>(this, 8, 34, 200, 80);
            gbClearSoftware->SetName("gbClearSoftware");
            gbClearSoftware->SetCaption("Clear Software Section");
            gbClearSoftware->SetCheckBoxChecked(true);
            lvwRegKeys = Add<TKvListView>(this, 216, 8, 170, 200);
            lvwRegKeys->SetName("lvwRegKeys");
            lvwRegKeys->SetViewStyle(vsReport);
            for (const char* caption : {"Key", "Value", "Problem"})
                lvwRegKeys->Columns().Add()->SetCaption(caption);
            seOlderThan = Add<TSpinEdit>(this, 8, 122, 80, 22);
            seOlderThan->SetName("seOlderThan");
            seOlderThan->SetMaxValue(1000);
            seOlderThan->SetValue(7);
            rsStorage = new TrsStorage(this);
            rsStorage->SetName("rsStorage");
            rsIniData = new TrsIniData(this);
            rsIniData->SetName("rsIniData");
            rsIniData->FileDir = fdCustom;
            rsIniData->Options = {};
            rsIniData->FileName = SettingsPath();
            rsStorage->SetStorageData(rsIniData);
            rsStorage->SetActive(true);
            rsPropSaver1 = new TrsPropSaver(this);
            rsPropSaver1->SetName("rsPropSaver1");
            rsPropSaver1->SetStorage(rsStorage);
            rsPropSaver1->RootSection = "frmSaved";
            for (const char* line : {"chkAPPPath.Checked", "gbClearSoftware.CheckBoxChecked", "lvwRegKeys.Columns.Width",
                                     "seOlderThan.Value"})
                rsPropSaver1->Properties().Add(line);
            rsPropSaver1->SetWhenLoad(wlOnCreate);
            rsPropSaver1->SetWhenSave(wsOnClose);
            if (setUp)
                setUp(*this);
        });
    }

    TCheckBox* chkAPPPath = nullptr;
    TkelGroupBox* gbClearSoftware = nullptr;
    TKvListView* lvwRegKeys = nullptr;
    TSpinEdit* seOlderThan = nullptr;
    TrsStorage* rsStorage = nullptr;
    TrsIniData* rsIniData = nullptr;
    TrsPropSaver* rsPropSaver1 = nullptr;
    int ownCreates = 0;
    int ownCloses = 0;
    TCloseAction closeAction = caHide;

    std::string Widths() const {
        std::string text;
        for (int i = 0; i < lvwRegKeys->Columns().Count(); ++i)
            text += (i ? "," : "") + std::to_string(lvwRegKeys->Columns().Items(i)->Width());
        return text;
    }
};

struct PropSaver : GuiTest {
    void SetUp() override {
        GuiTest::SetUp();
        DeleteFileA(SettingsPath().c_str());
    }
    void TearDown() override {
        DeleteFileA(SettingsPath().c_str());
        GuiTest::TearDown();
    }
};

}  // namespace

TEST(RsPropertyLine, Syntax) {
    TrsProperty plain = TrsProperty::Parse("chkAPPPath.Checked");
    EXPECT_EQ(plain.Path, "chkAPPPath.Checked");
    EXPECT_EQ(plain.KeyName, "chkAPPPath.Checked");
    EXPECT_EQ(plain.Default, "");
    EXPECT_TRUE(plain.Enabled);
    EXPECT_EQ(plain.Kind, TrsPropKind::Published);
    EXPECT_EQ(plain.Direction, TrsPropDirection::Both);
    EXPECT_FALSE(plain.Encipher);

    TrsProperty full = TrsProperty::Parse("a.b,\"True\",\"Key, name\",EURC");
    EXPECT_EQ(full.Path, "a.b");
    EXPECT_EQ(full.Default, "True");
    EXPECT_EQ(full.KeyName, "Key, name");
    EXPECT_EQ(full.Kind, TrsPropKind::User);
    EXPECT_EQ(full.Direction, TrsPropDirection::Read);
    EXPECT_TRUE(full.Encipher);

    TrsProperty trailing = TrsProperty::Parse("a.b,False,");
    EXPECT_EQ(trailing.Path, "a.b");
    EXPECT_EQ(trailing.Default, "False");
    EXPECT_EQ(trailing.KeyName, "a.b");
    TrsProperty disabled = TrsProperty::Parse("a.b,xCW");
    EXPECT_FALSE(disabled.Enabled);
    EXPECT_EQ(disabled.Kind, TrsPropKind::Custom);
    EXPECT_EQ(disabled.Direction, TrsPropDirection::Write);
    // Without a flag group the commas belong to the path.
    EXPECT_EQ(TrsProperty::Parse("a.b,c").Path, "a.b,c");
}

TEST_F(PropSaver, StoresAndRestoresAFormsState) {
    auto first = new TSavedForm;
    EXPECT_EQ(first->ownCreates, 1);
    EXPECT_TRUE(first->chkAPPPath->Checked());  // no file yet: the form's own values
    first->chkAPPPath->SetChecked(false);
    first->gbClearSoftware->SetCheckBoxChecked(false);
    first->lvwRegKeys->Columns().Items(0)->SetWidth(120);
    first->lvwRegKeys->Columns().Items(1)->SetWidth(300);
    first->lvwRegKeys->Columns().Items(2)->SetWidth(80);
    first->seOlderThan->SetValue(42);
    first->ShowForm();
    first->SetBounds(50, 60, 500, 400);
    first->Close();
    EXPECT_EQ(first->ownCloses, 1);
    EXPECT_FALSE(first->Visible());
    FreeComponent(first);  // the storage writes the file as the form goes

    const std::string text = ReadFile(SettingsPath());
    EXPECT_EQ(text.find("[frmSaved]\r\nchkAPPPath.Checked=\"False\"\r\nFormPlacement=\""), 0u) << text;
    EXPECT_NE(text.find("gbClearSoftware.CheckBoxChecked=\"False\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("lvwRegKeys.Columns.Width=\"120,300,80\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("seOlderThan.Value=42\r\n"), std::string::npos);

    auto second = new TSavedForm;
    EXPECT_EQ(second->ownCreates, 1);
    EXPECT_FALSE(second->chkAPPPath->Checked());
    EXPECT_FALSE(second->gbClearSoftware->CheckBoxChecked());
    EXPECT_EQ(second->Widths(), "120,300,80");
    EXPECT_EQ(second->seOlderThan->Value(), 42);
    EXPECT_EQ(second->Position(), poDesigned);  // no re-centring over the restored place
    second->ShowForm();
    EXPECT_EQ(second->Left(), 50);
    EXPECT_EQ(second->Top(), 60);
    EXPECT_EQ(second->Width(), 500);
    EXPECT_EQ(second->Height(), 400);
    second->closeAction = caNone;  // a close that is refused saves nothing
    second->seOlderThan->SetValue(9);
    second->Close();
    EXPECT_EQ(second->ownCloses, 1);
    EXPECT_EQ(second->rsStorage->ReadString("\\frmSaved\\seOlderThan.Value", ""), "42");
    second->closeAction = caHide;
    second->Close();
    EXPECT_EQ(second->rsStorage->ReadString("\\frmSaved\\seOlderThan.Value", ""), "9");
    FreeComponent(second);
}

TEST_F(PropSaver, DefaultsDisabledLinesAndCollectionCounts) {
    auto form = new TSavedForm([](TSavedForm& f) {
        f.rsPropSaver1->Properties().Clear();
        f.rsPropSaver1->Properties().Add("chkAPPPath.Checked,\"True\",");
        f.rsPropSaver1->Properties().Add("seOlderThan.Value,xPD");
        f.rsPropSaver1->Properties().Add("lvwRegKeys.Columns.Width");
        f.rsPropSaver1->Properties().Add("nothing.Here");
        f.rsPropSaver1->SetOptions({});
    });
    TrsStorage& storage = *form->rsStorage;
    storage.WriteInteger("\\frmSaved\\seOlderThan.Value", 5);
    storage.WriteString("\\frmSaved\\nothing.Here", "x");
    EXPECT_TRUE(form->rsPropSaver1->FormPlacementOptions().Empty());
    form->rsPropSaver1->SaveToStorage();
    // The default value, a disabled line and an unresolvable path leave no key.
    EXPECT_FALSE(storage.KeyExists("\\frmSaved\\chkAPPPath.Checked"));
    EXPECT_FALSE(storage.KeyExists("\\frmSaved\\seOlderThan.Value"));
    EXPECT_FALSE(storage.KeyExists("\\frmSaved\\nothing.Here"));
    EXPECT_FALSE(storage.KeyExists("\\frmSaved\\FormPlacement"));
    form->chkAPPPath->SetChecked(false);
    form->rsPropSaver1->SaveToStorage();
    EXPECT_EQ(storage.ReadString("\\frmSaved\\chkAPPPath.Checked", ""), "False");
    // A missing key gives the default back.
    storage.DeleteKey("\\frmSaved\\chkAPPPath.Checked");
    storage.WriteString("\\frmSaved\\lvwRegKeys.Columns.Width", "\"50,60\"");
    form->rsPropSaver1->LoadFromStorage();
    EXPECT_TRUE(form->chkAPPPath->Checked());
    EXPECT_EQ(form->Widths(), "50,60");
    storage.WriteString("\\frmSaved\\lvwRegKeys.Columns.Width", "70,80,90,100");
    form->rsPropSaver1->SetOptions({poNotRestoreCollectionItemsCount});
    form->rsPropSaver1->LoadFromStorage();
    EXPECT_EQ(form->Widths(), "70,80");
    form->rsPropSaver1->SetOptions({});
    form->rsPropSaver1->LoadFromStorage();
    EXPECT_EQ(form->Widths(), "70,80,90,100");
    // A damaged value leaves its property alone and the other lines still load.
    storage.WriteString("\\frmSaved\\chkAPPPath.Checked", "Maybe");
    storage.WriteString("\\frmSaved\\lvwRegKeys.Columns.Width", "\"11,12\"");
    form->chkAPPPath->SetChecked(false);
    form->rsPropSaver1->LoadFromStorage();
    EXPECT_FALSE(form->chkAPPPath->Checked());
    EXPECT_EQ(form->Widths(), "11,12");
    FreeComponent(form);
}

TEST_F(PropSaver, PlacementTextAndHooks) {
    auto form = new TSavedForm;
    form->ShowForm();
    form->SetBounds(30, 40, 320, 240);
    TrsPropSaver& saver = *form->rsPropSaver1;
    const std::string placement = saver.PlacementText();
    int fields = 1;
    for (char c : placement)
        fields += c == ',';
    EXPECT_EQ(fields, 10);
    EXPECT_NE(placement.find(",30,40,350,280"), std::string::npos) << placement;
    // Nine fields, or a field that is no number, are ignored.
    saver.ApplyPlacementText("0,1,0,0,0,0,10,10,200");
    saver.ApplyPlacementText("0,1,0,0,0,0,10,10,200,x");
    EXPECT_EQ(form->Left(), 30);
    saver.SetFormPlacementOptions({pfpSize});
    saver.ApplyPlacementText("0,1,-1,-1,-1,-1,10,10,210,110");
    EXPECT_EQ(form->Left(), 30);
    EXPECT_EQ(form->Width(), 200);
    EXPECT_EQ(form->Height(), 100);
    EXPECT_TRUE(saver.Options().Contains(poStoreFormPlacement));
    saver.SetFormPlacementOptions({});
    EXPECT_FALSE(saver.Options().Contains(poStoreFormPlacement));

    // Without a storage the run's events still fire; a manual saver leaves the form's handlers.
    std::string order;
    saver.OnBeforeSave = [&](TObject*) { order += "before "; };
    saver.OnAfterSave = [&](TObject*) { order += "after "; };
    saver.SetStorage(nullptr);
    saver.SaveToStorage();
    EXPECT_EQ(order, "before after ");
    saver.SetWhenSave(wsManual);
    form->Close();
    EXPECT_EQ(form->ownCloses, 1);
    EXPECT_EQ(order, "before after ");
    saver.SetWhenSave(wsOnHide);
    form->ShowForm();
    form->Close();
    EXPECT_EQ(order, "before after before after ");
    FreeComponent(form);
}

TEST_F(PropSaver, AFontAndAWholeComponentComeBackFromTheFile) {
    auto addLines = [](TSavedForm& f) {
        f.rsPropSaver1->Properties().Add("Font");        // a persistent object
        f.rsPropSaver1->Properties().Add("chkAPPPath");  // a whole component
    };
    auto first = new TSavedForm(addLines);
    first->Font()->SetName("Arial");
    first->Font()->SetHeight(-19);
    first->Font()->SetStyle({fsBold, fsItalic});
    first->Font()->SetColor(clRed);
    first->chkAPPPath->SetCaption("Changed caption");
    first->chkAPPPath->SetChecked(false);
    first->chkAPPPath->SetBounds(20, 12, 150, 24);
    first->chkAPPPath->SetHint("stored too");
    first->ShowForm();
    first->Close();
    FreeComponent(first);
    const std::string text = ReadFile(SettingsPath());
    EXPECT_NE(text.find("\r\nFont=hex:"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nchkAPPPath=hex:"), std::string::npos) << text;

    auto second = new TSavedForm(addLines);
    EXPECT_EQ(second->Font()->Name(), "Arial");
    EXPECT_EQ(second->Font()->Height(), -19);
    EXPECT_EQ(second->Font()->Style(), (TFontStyles{fsBold, fsItalic}));
    EXPECT_EQ(second->Font()->Color(), clRed);
    EXPECT_EQ(second->chkAPPPath->Caption(), "Changed caption");
    EXPECT_FALSE(second->chkAPPPath->Checked());
    EXPECT_EQ(second->chkAPPPath->Left(), 20);
    EXPECT_EQ(second->chkAPPPath->Width(), 150);
    EXPECT_EQ(second->chkAPPPath->Hint(), "stored too");
    EXPECT_EQ(second->chkAPPPath->Parent(), second);
    // A value of another kind leaves the component alone.
    second->rsStorage->WriteString("\\frmSaved\\chkAPPPath", "not streamed");
    second->rsPropSaver1->LoadFromStorage();
    EXPECT_EQ(second->chkAPPPath->Caption(), "Changed caption");
    FreeComponent(second);
}

TEST_F(PropSaver, TheStoragesKeyStreamsComponents) {
    RegisterClass(TTimer::StaticClassInfo());
    auto form = new TSavedForm;
    TrsStorage& storage = *form->rsStorage;
    auto* timer = new TTimer(form);
    timer->SetName("tmrPoll");
    timer->SetInterval(250);
    timer->SetEnabled(false);
    ASSERT_TRUE(storage.FindKey("\\Components\\timer", true));
    storage.Key().WriteComponent(*timer);
    EXPECT_EQ(storage.Key().Value().Kind, TrsKeyKind::Binary);
    EXPECT_TRUE(storage.Key().HasScratch());

    TTimer restored(nullptr);
    storage.Key().ReadComponent(restored);
    EXPECT_EQ(restored.Interval(), 250);
    EXPECT_FALSE(restored.Enabled());
    EXPECT_EQ(restored.Name(), "tmrPoll");
    TComponent owner(nullptr);
    auto* made = dynamic_cast<TTimer*>(storage.Key().ReadNewComponent(&owner));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->Owner(), &owner);
    EXPECT_EQ(made->Interval(), 250);
    // Another kind raises the key error; deactivating frees the scratch stream.
    storage.WriteInteger("\\Components\\number", 1);
    ASSERT_TRUE(storage.FindKey("\\Components\\number", false));
    EXPECT_THROW(storage.Key().ReadComponent(restored), TrsException);
    storage.SetActive(false);
    EXPECT_FALSE(storage.Key().HasScratch());
    FreeComponent(form);
}

namespace {

// Data a component keeps beside its published properties: a wave player's and a file
// storage's bytes ("FileData") and a settings back end's embedded copy ("InternalFile").
struct TDataParts {
    explicit TDataParts(TComponent* owner) {
        wav = new TkelWav(owner);
        wav->SetName("wavAlert");
        files = new TkelFileStorage(owner);
        files->SetName("fsNotes");
        embedded = new TrsIniData(owner);
        embedded->SetName("rsDefaults");
    }
    static TDataParts Find(TComponent& owner) {
        TDataParts parts;
        parts.wav = dynamic_cast<TkelWav*>(owner.FindComponent("wavAlert"));
        parts.files = dynamic_cast<TkelFileStorage*>(owner.FindComponent("fsNotes"));
        parts.embedded = dynamic_cast<TrsIniData*>(owner.FindComponent("rsDefaults"));
        EXPECT_TRUE(parts.wav && parts.files && parts.embedded);
        return parts;
    }
    // Bytes of every value, zeros and a byte above 127 among them.
    static inline const std::string sound{"RIFF\x04\0\0\0WAVE\xFF", 13}, notes{"line one\r\n\0line two", 19},
        copy = "[S]\r\nk=\"embedded\"\r\n";
    void Fill() {
        Put(wav->Data(), sound);
        Put(files->Data(), notes);
        Put(embedded->InternalFile(), copy);
    }
    static void Put(TMemoryStream& stream, const std::string& bytes) {
        stream.Clear();
        stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    }
    static std::string Bytes(TMemoryStream& stream) {
        return {reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size())};
    }
    void ExpectFilled() const {
        EXPECT_EQ(Bytes(wav->Data()), sound);
        EXPECT_EQ(Bytes(files->Data()), notes);
        EXPECT_EQ(Bytes(embedded->InternalFile()), copy);
    }

    TkelWav* wav = nullptr;
    TkelFileStorage* files = nullptr;
    TrsIniData* embedded = nullptr;

private:
    TDataParts() = default;
};

}  // namespace

TEST_F(PropSaver, WholeComponentsKeepTheirDataThroughTheFile) {
    auto addParts = [](TSavedForm& f) {
        TDataParts parts(&f);
        for (const char* line : {"wavAlert", "fsNotes", "rsDefaults"})
            f.rsPropSaver1->Properties().Add(line);
    };
    auto first = new TSavedForm(addParts);
    TDataParts written = TDataParts::Find(*first);
    written.Fill();
    written.wav->SetPlayFrom(pfDFM);
    first->ShowForm();
    first->Close();
    FreeComponent(first);
    const std::string text = ReadFile(SettingsPath());
    for (const char* key : {"\r\nwavAlert=hex:", "\r\nfsNotes=hex:", "\r\nrsDefaults=hex:"})
        EXPECT_NE(text.find(key), std::string::npos) << key << "\n" << text;

    auto second = new TSavedForm(addParts);
    const TDataParts read = TDataParts::Find(*second);
    read.ExpectFilled();
    EXPECT_EQ(read.wav->PlayFrom(), pfDFM);
    FreeComponent(second);
}

// The storage's key alone: written, saved to the file, loaded by another storage, read back
// into a component and into one made by its class name.
TEST_F(PropSaver, TheStoragesKeyKeepsComponentDataThroughTheFile) {
    RegisterKelComponents();
    RegisterClass(TrsIniData::StaticClassInfo());
    auto settings = [](TComponent& owner) {
        auto* ini = new TrsIniData(&owner);
        ini->FileDir = fdCustom;
        ini->Options = {};
        ini->FileName = SettingsPath();
        auto* storage = new TrsStorage(&owner);
        storage->SetStorageData(ini);
        return storage;
    };
    {
        TComponent owner(nullptr);
        TrsStorage* storage = settings(owner);
        TDataParts parts(&owner);
        parts.Fill();
        for (TComponent* part : std::initializer_list<TComponent*>{parts.wav, parts.files, parts.embedded}) {
            ASSERT_TRUE(storage->FindKey("\\Parts\\" + part->Name(), true));
            storage->Key().WriteComponent(*part);
        }
        storage->Save();
    }
    TComponent owner(nullptr);
    TrsStorage* storage = settings(owner);
    storage->Load();
    TComponent into(nullptr), made(nullptr);
    TDataParts parts(&into);
    for (TComponent* part : std::initializer_list<TComponent*>{parts.wav, parts.files, parts.embedded}) {
        ASSERT_TRUE(storage->FindKey("\\Parts\\" + part->Name(), false)) << part->Name();
        storage->Key().ReadComponent(*part);
        storage->Key().ReadNewComponent(&made);
    }
    parts.ExpectFilled();
    TDataParts::Find(made).ExpectFilled();
}

// A data module holds a storage and a saver like a form, with OnCreate and OnDestroy only.
TEST_F(PropSaver, ADataModuleIsTheSaversOwnerBelowAForm) {
    auto build = [](TComponent* owner, TrsPropSaverLoad whenLoad, TrsPropSaverSave whenSave) {
        auto module = new TDataModule(owner);
        module->SetName("dmSettings");
        module->BuildModule([&] {
            auto timer = new TTimer(module);
            timer->SetName("tmrPoll");
            auto storage = new TrsStorage(module);
            auto ini = new TrsIniData(module);
            ini->FileDir = fdCustom;
            ini->Options = {};
            ini->FileName = SettingsPath();
            storage->SetStorageData(ini);
            storage->SetActive(true);
            auto saver = new TrsPropSaver(module);
            saver->SetName("rsPropSaver1");
            saver->SetStorage(storage);
            saver->RootSection = "dmSettings";
            saver->Properties().Add("tmrPoll.Interval");
            saver->SetWhenLoad(whenLoad);
            saver->SetWhenSave(whenSave);
        });
        return module;
    };
    auto interval = [](TDataModule* module) { return static_cast<TTimer*>(module->FindComponent("tmrPoll"))->Interval(); };

    TDataModule* module = build(nullptr, wlOnCreate, wsOnDestroy);
    EXPECT_EQ(std::count(Screen.DataModules().begin(), Screen.DataModules().end(), module), 1);
    static_cast<TTimer*>(module->FindComponent("tmrPoll"))->SetInterval(75);
    FreeComponent(module);  // OnDestroy saves, the storage then writes the file
    EXPECT_EQ(std::count(Screen.DataModules().begin(), Screen.DataModules().end(), module), 0);
    EXPECT_NE(ReadFile(SettingsPath()).find("[dmSettings]\r\ntmrPoll.Interval=75\r\n"), std::string::npos);

    module = build(nullptr, wlOnCreate, wsManual);
    EXPECT_EQ(interval(module), 75);  // loaded in OnCreate
    FreeComponent(module);
    module = build(nullptr, wlOnShow, wsManual);  // a data module has no OnShow
    EXPECT_EQ(interval(module), 1000);
    EXPECT_FALSE(module->OnCreate.Assigned());
    FreeComponent(module);

    // On a form, the data module is still the nearest owner: the form's events stay its own.
    auto form = new TTestForm;
    module = build(form, wlOnShow, wsOnClose);
    EXPECT_FALSE(form->OnShow.Assigned());
    EXPECT_FALSE(form->OnClose.Assigned());
    FreeComponent(form);
}

// "Form.Component" names a component of any open form, not only of the application's.
TEST_F(PropSaver, ReferencesReachEveryOpenForm) {
    auto menus = new TTestForm;  // owned by no one
    menus->SetName("frmMenus");
    auto popup = new TPopupMenu(menus);
    popup->SetName("pmList");
    auto form = new TSavedForm([](TSavedForm& f) {
        f.rsPropSaver1->Properties().Clear();
        f.rsPropSaver1->Properties().Add("chkAPPPath.PopupMenu");
    });
    form->chkAPPPath->SetPopupMenu(popup);
    form->rsPropSaver1->SaveToStorage();
    EXPECT_EQ(form->rsStorage->ReadString("\\frmSaved\\chkAPPPath.PopupMenu", ""), "frmMenus.pmList");
    form->chkAPPPath->SetPopupMenu(nullptr);
    form->rsPropSaver1->LoadFromStorage();
    EXPECT_EQ(form->chkAPPPath->PopupMenu(), popup);
    // The form name must match exactly.
    form->chkAPPPath->SetPopupMenu(nullptr);
    form->rsStorage->WriteString("\\frmSaved\\chkAPPPath.PopupMenu", "FRMMENUS.pmList");
    form->rsPropSaver1->LoadFromStorage();
    EXPECT_EQ(form->chkAPPPath->PopupMenu(), nullptr);
    FreeComponent(form);
    FreeComponent(menus);
}

// A form frees its saver after its own parts are gone: the saver leaves its events alone then.
TEST_F(PropSaver, AFormBeingFreedKeepsItsSaverOffItsEvents) {
    auto token = std::make_shared<int>(0);
    auto form = new TSavedForm([&](TSavedForm& f) {
        f.rsPropSaver1->SetWhenLoad(wlManual);
        f.rsPropSaver1->SetWhenSave(wsManual);
        f.OnCreate = [token](TObject*) {};
        f.OnClose = [token](TObject*, TCloseAction&) {};
        f.rsPropSaver1->SetWhenLoad(wlOnCreate);
        f.rsPropSaver1->SetWhenSave(wsOnClose);
    });
    EXPECT_EQ(token.use_count(), 3);  // the saver holds both handlers
    FreeComponent(form);
    EXPECT_EQ(token.use_count(), 1);  // none was copied back into the freed form
}

// A whole component whose stored value no longer reads in full (a reference to a form that is not
// open, a property this program does not know): what was read stays, the component is loaded
// all the same, so its clicks and its timer work, and the saver goes on with the next line.
TEST_F(PropSaver, AWholeComponentThatFailsToReadIsLoadedAllTheSame) {
    TTimer* timer = nullptr;
    auto form = new TSavedForm([&](TSavedForm& f) {
        f.rsPropSaver1->Properties().Clear();
        for (const char* line : {"chkAPPPath", "tmrPoll", "seOlderThan.Value"})
            f.rsPropSaver1->Properties().Add(line);
        timer = new TTimer(&f);
        timer->SetName("tmrPoll");
        timer->SetEnabled(false);
    });
    auto value = [](TFormValueType type, int64_t number, const std::string& text = {}) {
        TFormValue v;
        v.Type = type;
        v.Int = number;
        v.Text = text;
        return v;
    };
    auto store = [&](const std::string& key, const TFormObject& object) {
        const std::string bytes = FormBytes(object);
        form->rsStorage->WriteBinary("\\frmSaved\\" + key, bytes.data(), bytes.size());
    };
    using V = TFormValueType;
    store("chkAPPPath", {"TCheckBox",
                         "chkAPPPath",
                         {{"Caption", value(V::String, 0, "Read before the error")},
                          {"PopupMenu", value(V::Ident, 0, "frmGone.pmList")},
                          {"Checked", value(V::False, 0)}},
                         {}});
    store("tmrPoll", {"TTimer", "tmrPoll", {{"Interval", value(V::Int8, 10)}, {"Colour", value(V::Int8, 1)}}, {}});
    form->rsStorage->WriteInteger("\\frmSaved\\seOlderThan.Value", 42);
    int ticks = 0;
    timer->SetOnTimer([&](TObject*) { ++ticks; });
    timer->SetEnabled(true);
    int clicks = 0;
    form->chkAPPPath->OnClick = [&](TObject*) { ++clicks; };
    form->rsPropSaver1->LoadFromStorage();

    EXPECT_FALSE(form->chkAPPPath->IsLoading());
    EXPECT_EQ(form->chkAPPPath->Caption(), "Read before the error");
    EXPECT_FALSE(form->chkAPPPath->Checked());
    EXPECT_EQ(form->chkAPPPath->PopupMenu(), nullptr);
    EXPECT_FALSE(timer->IsLoading());
    EXPECT_EQ(timer->Interval(), 10u);
    EXPECT_EQ(form->seOlderThan->Value(), 42);

    form->ShowForm();
    SendMessageA(form->chkAPPPath->Handle(), BM_CLICK, 0, 0);
    EXPECT_TRUE(form->chkAPPPath->Checked());
    EXPECT_EQ(clicks, 1);
    // The timer runs: its ticks arrive (bounded, so that a timer that never started fails).
    const DWORD start = GetTickCount();
    while (ticks == 0 && GetTickCount() - start < 5000)
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT) == WAIT_OBJECT_0)
            Application.ProcessMessages();
    EXPECT_GT(ticks, 0);

    // The storage's own component read raises, and loads what it read all the same.
    TTimer other(nullptr);
    ASSERT_TRUE(form->rsStorage->FindKey("\\frmSaved\\tmrPoll", false));
    EXPECT_THROW(form->rsStorage->Key().ReadComponent(other), EPropertyError);
    EXPECT_FALSE(other.IsLoading());
    EXPECT_EQ(other.Interval(), 10u);
    FreeComponent(form);
}
