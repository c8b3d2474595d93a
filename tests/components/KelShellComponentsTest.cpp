#include "FormStream.h"
#include "Forms.h"
#include "GuiTestSupport.h"
#include "Handles.h"
#include "KvStatus.h"
#include "Menus.h"
#include "PaintTestSupport.h"
#include "kelComponents.h"
#include "kelConsts.h"
#include "kelControls.h"
#include "kelVclUtils.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace guitest;

namespace {

// Replaces the shell calls for one test and puts the old ones back.
class TShellCallsScope {
public:
    // set fills in the calls to replace.
    explicit TShellCallsScope(const std::function<void(TkelShellCalls&)>& set) {
        TkelShellCalls calls;
        set(calls);
        previous_ = SetShellCallsHook(std::move(calls));
    }
    ~TShellCallsScope() { SetShellCallsHook(std::move(previous_)); }
    TShellCallsScope(const TShellCallsScope&) = delete;
    TShellCallsScope& operator=(const TShellCallsScope&) = delete;

private:
    TkelShellCalls previous_;
};

// The names of a zero-separated list that ends in two zeros.
std::vector<std::string> SplitZeros(const char* list) {
    std::vector<std::string> names;
    for (const char* p = list; p && *p; p += names.back().size() + 1)
        names.emplace_back(p);
    return names;
}

// ---- File operation ----

class KelFileOperationTest : public GuiTest {};

TEST_F(KelFileOperationTest, HandsTheListsAndFlagsToTheShell) {
    SHFILEOPSTRUCTA seen{};
    std::vector<std::string> from;
    std::vector<std::string> to;
    int calls = 0;
    TShellCallsScope scope([&](TkelShellCalls& c) {
        c.FileOperation = [&](SHFILEOPSTRUCTA& op) {
            ++calls;
            seen = op;
            from = SplitZeros(op.pFrom);
            to = SplitZeros(op.pTo);
            return 0;
        };
    });
    TkelFileOperation operation(nullptr);
    EXPECT_FALSE(operation.Execute());  // an empty list does nothing
    EXPECT_EQ(calls, 0);

    operation.FileList()->Add("C:\\a.txt");
    operation.FileList()->Add("C:\\b.txt");
    operation.DestFolder = "D:\\out";
    operation.ProgressTitle = "Copying";
    EXPECT_TRUE(operation.Execute());
    EXPECT_EQ(seen.wFunc, static_cast<UINT>(FO_COPY));
    EXPECT_EQ(seen.fFlags, FOF_ALLOWUNDO | FOF_FILESONLY | FOF_RENAMEONCOLLISION);
    EXPECT_EQ(from, (std::vector<std::string>{"C:\\a.txt", "C:\\b.txt"}));
    EXPECT_EQ(to, (std::vector<std::string>{"D:\\out"}));
    EXPECT_STREQ(seen.lpszProgressTitle, "Copying");

    // "source=target" lines: one target each, relative sources beside the program.
    operation.FileList()->Clear();
    operation.FileList()->Add("data\\c.txt=D:\\x\\*.bak");
    operation.FileList()->Add("C:\\d.txt=D:\\y\\");
    operation.Operation = fotMove;
    operation.Options = {fofSilent, fofNoConfirmation};
    EXPECT_TRUE(operation.Execute());
    EXPECT_EQ(seen.wFunc, static_cast<UINT>(FO_MOVE));
    EXPECT_EQ(seen.fFlags, FOF_SILENT | FOF_NOCONFIRMATION | FOF_MULTIDESTFILES);
    EXPECT_EQ(from, (std::vector<std::string>{AppFolder() + "data\\c.txt", "C:\\d.txt"}));
    EXPECT_EQ(to, (std::vector<std::string>{"D:\\x\\c.bak", "D:\\y\\d.txt"}));
}

TEST_F(KelFileOperationTest, AFailureReachesOnErrorWithTheSystemsText) {
    TShellCallsScope scope([](TkelShellCalls& c) {
        c.FileOperation = [](SHFILEOPSTRUCTA&) { return static_cast<int>(ERROR_FILE_NOT_FOUND); };
    });
    TkelFileOperation operation(nullptr);
    operation.Operation = fotDelete;
    operation.FileList()->Add("C:\\missing.txt");
    std::string error;
    operation.OnError = [&](TObject*, const std::string& text, bool& handled) {
        error = text;
        handled = true;
    };
    EXPECT_FALSE(operation.Execute());
    EXPECT_EQ(error, SysErrorMessage(ERROR_FILE_NOT_FOUND));
}

// ---- File association ----

// A classes root of the test's own below HKEY_CURRENT_USER, deleted at the end.
class KelFileAssociationTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        path_ = "Software\\HivesweepTest-" + std::to_string(GetCurrentProcessId()) + "\\Classes";
        HKEY key = nullptr;
        ASSERT_EQ(
            RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        root_.Reset(key);
        scope_ = std::make_unique<TShellCallsScope>([this](TkelShellCalls& c) {
            c.ChangeNotify = [this](LONG event, UINT) { notices_ += event == SHCNE_ASSOCCHANGED ? 1 : 100; };
            c.ClassesRoot = [this] { return root_.Get(); };
        });
    }
    void TearDown() override {
        scope_.reset();
        root_.Reset();
        RegDeleteTreeA(HKEY_CURRENT_USER, ("Software\\HivesweepTest-" + std::to_string(GetCurrentProcessId())).c_str());
        GuiTest::TearDown();
    }
    std::string Default(const std::string& key) {
        char data[512] = "";
        DWORD size = sizeof(data);
        if (RegGetValueA(root_.Get(), key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
            return "<missing>";
        return data;
    }

    TUniqueKey root_;
    int notices_ = 0;

private:
    std::string path_;
    std::unique_ptr<TShellCallsScope> scope_;
};

TEST_F(KelFileAssociationTest, WritesUnderTheTypeKeyNamedAfterTheExtension) {
    TkelFileAssociation association(nullptr);
    association.SetExtension("txt");
    EXPECT_EQ(association.Extension(), ".txt");
    association.SetText<atFileDescription>("Text Document");
    EXPECT_EQ(Default(".txt"), "txtfile");
    EXPECT_EQ(Default("txtfile"), "Text Document");
    EXPECT_EQ(association.Text<atExtDescription>(), "txtfile");
    association.SetText<atIconFile>("C:\\icons.dll");
    association.SetIconIndex(3);
    association.SetText<atOpenCommandDescription>("&Open");
    association.SetText<atOpenCommand>("notepad.exe \"%1\"");
    association.SetText<atPrintToCommand>("notepad.exe /pt \"%1\" \"%2\"");
    EXPECT_EQ(Default("txtfile\\DefaultIcon"), "C:\\icons.dll,3");
    EXPECT_EQ(Default("txtfile\\shell\\open"), "&Open");
    EXPECT_EQ(Default("txtfile\\shell\\open\\command"), "notepad.exe \"%1\"");
    EXPECT_EQ(Default("txtfile\\shell\\printto\\command"), "notepad.exe /pt \"%1\" \"%2\"");
    EXPECT_EQ(Default("txtfile\\shell\\edit"), "<missing>");
    EXPECT_GE(notices_, 1);
    EXPECT_EQ(notices_ % 100, notices_);  // only "associations changed"

    // Another component, given the extension by its form, reads it all back.
    TkelFileAssociation reader(nullptr);
    reader.BeginLoading();
    reader.SetExtension(".TXT");
    reader.Loaded();
    EXPECT_EQ(Default("txtfile"), "Text Document");
    EXPECT_TRUE(reader.ReadAssociation());
    EXPECT_EQ(reader.Text<atExtDescription>(), "txtfile");
    EXPECT_EQ(reader.Text<atFileDescription>(), "Text Document");
    EXPECT_EQ(reader.Text<atIconFile>(), "C:\\icons.dll");
    EXPECT_EQ(reader.IconIndex(), 3);
    EXPECT_EQ(reader.Text<atOpenCommand>(), "notepad.exe \"%1\"");
    EXPECT_EQ(reader.Text<atOpenCommandDescription>(), "&Open");
    EXPECT_EQ(reader.Text<atEditCommand>(), "");

    // Removing deletes the extension's key and reads the now empty association.
    const int before = notices_;
    EXPECT_TRUE(reader.RemoveAssociation());
    EXPECT_EQ(Default(".TXT"), "<missing>");
    EXPECT_EQ(reader.Text<atExtDescription>(), "");
    EXPECT_EQ(notices_, before + 1);
}

TEST_F(KelFileAssociationTest, ReadingCopesWithAOddIconTextAndSkipsPrograms) {
    ASSERT_EQ(RegSetKeyValueA(root_.Get(), ".odd", nullptr, REG_SZ, "oddfile", 8), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueA(root_.Get(), "oddfile\\DefaultIcon", nullptr, REG_SZ, "a,b,x", 6), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueA(root_.Get(), ".exe", nullptr, REG_SZ, "exefile", 8), ERROR_SUCCESS);
    TkelFileAssociation association(nullptr);
    association.BeginLoading();
    association.SetExtension("odd");
    association.Loaded();
    EXPECT_TRUE(association.ReadAssociation());
    EXPECT_EQ(association.Text<atIconFile>(), "a,b");  // split at the last comma
    EXPECT_EQ(association.IconIndex(), 0);
    association.BeginLoading();
    association.SetExtension("exe");
    association.Loaded();
    EXPECT_FALSE(association.ReadAssociation());
    EXPECT_EQ(association.Text<atExtDescription>(), "");
}

TEST_F(KelFileAssociationTest, TextsSetBeforeTheExtensionAreWrittenWithIt) {
    TkelFileAssociation association(nullptr);
    association.SetText<atFileDescription>("Hive Sweep Journal");
    association.SetText<atOpenCommand>("hivesweep.exe \"%1\"");
    EXPECT_EQ(notices_, 0) << "nothing to write under yet, and no error";
    association.SetExtension("hsj");
    EXPECT_EQ(Default(".hsj"), "hsjfile");
    EXPECT_EQ(Default("hsjfile"), "Hive Sweep Journal");
    EXPECT_EQ(Default("hsjfile\\shell\\open\\command"), "hivesweep.exe \"%1\"");
    // A new extension takes the same texts along instead of dropping them.
    association.SetExtension("hsk");
    EXPECT_EQ(association.Text<atFileDescription>(), "Hive Sweep Journal");
    EXPECT_EQ(Default(".hsk"), "hsjfile");
    EXPECT_EQ(notices_, 2);
}

// ---- File storage and wave player ----

std::string TempFile(const std::string& name) {
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof(temp), temp);
    return std::string(temp) + "hivesweep-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

class KelFileStorageTest : public GuiTest {};

TEST_F(KelFileStorageTest, LoadsAndSavesWholeFiles) {
    const std::string source = TempFile("source.bin");
    const std::string target = TempFile("target.bin");
    {
        TMemoryStream bytes;
        bytes.Write("abc\0def", 7);
        bytes.SaveToFile(source);
    }
    TkelFileStorage storage(nullptr);
    std::string events;
    storage.OnLoad = [&](TObject*, bool ok) { events += ok ? "load " : "load-failed "; };
    storage.OnSave = [&](TObject*, bool ok) { events += ok ? "save " : "save-failed "; };
    storage.SetFileName(source);
    EXPECT_EQ(storage.DataSize(), 7);
    storage.SaveToFile(target);
    TMemoryStream copy;
    copy.LoadFromFile(target);
    ASSERT_EQ(copy.Size(), 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy.Memory()), 7), std::string("abc\0def", 7));

    // An existing target: the handler may refuse.
    storage.OnConfirmOverride = [&](TObject*, bool& overrideFile) {
        events += "ask ";
        overrideFile = false;
    };
    storage.SetFileName(TempFile("missing.bin"));
    EXPECT_EQ(storage.DataSize(), 0);  // a missing file leaves the data empty
    storage.SaveToFile(target);
    copy.LoadFromFile(target);
    EXPECT_EQ(copy.Size(), 7);
    EXPECT_EQ(events, "load save ask ");

    try {
        storage.SaveToFile(TempFile("no\\such\\folder\\x.bin"));
        ADD_FAILURE() << "saving into a missing folder succeeded";
    } catch (const EkelFileStorage& e) {
        EXPECT_EQ(std::string(e.what()),
                  Format(kelconsts::SCannotSaveData, TempFile("no\\such\\folder\\x.bin").c_str()));
    }
    DeleteFileA(source.c_str());
    DeleteFileA(target.c_str());
}

TEST_F(KelFileStorageTest, FileDataIsACountThenTheBytesAndADamagedCountIsRefused) {
    TkelFileStorage storage(nullptr);
    TMemoryStream stored;
    storage.WriteData(stored);
    ASSERT_EQ(stored.Size(), 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stored.Memory()), 4), std::string(4, '\0'));

    TMemoryStream input;
    input.Write("\x03\0\0\0xyz", 7);
    input.SetPosition(0);
    storage.ReadData(input);
    EXPECT_EQ(storage.DataSize(), 3);
    stored.Clear();
    storage.WriteData(stored);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stored.Memory()), 7), std::string("\x03\0\0\0xyz", 7));

    TMemoryStream damaged;
    damaged.Write("\xFF\xFF\0\0ab", 6);
    damaged.SetPosition(0);
    EXPECT_THROW(storage.ReadData(damaged), EReadError);
    EXPECT_EQ(storage.DataSize(), 3);  // untouched
}

// A form stream holding one wave player named Player with the given FileData bytes.
std::vector<unsigned char> PlayerForm(const std::string& fileData) {
    std::vector<unsigned char> bytes = {'T', 'P', 'F', '0'};
    auto shortString = [&](const std::string& text) {
        bytes.push_back(static_cast<unsigned char>(text.size()));
        bytes.insert(bytes.end(), text.begin(), text.end());
    };
    shortString("TComponent");
    shortString("Root");
    bytes.push_back(0);
    shortString("TkelWav");
    shortString("Player");
    shortString("FileData");
    bytes.push_back(static_cast<unsigned char>(TFormValueType::Binary));
    const uint32_t size = static_cast<uint32_t>(fileData.size());
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<unsigned char>(size >> (8 * i)));
    bytes.insert(bytes.end(), fileData.begin(), fileData.end());
    bytes.push_back(0);
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

TEST_F(KelFileStorageTest, AnEmptyPlayerStreamsInAndOutWithoutASound) {
    RegisterKelComponents();
    int sounds = 0;
    TShellCallsScope scope(
        [&](TkelShellCalls& c) { c.PlayWave = [&](const char*, HMODULE, DWORD) { return ++sounds, TRUE; }; });
    const std::vector<unsigned char> form = PlayerForm(std::string(4, '\0'));
    TMemoryStream stream;
    stream.Write(form.data(), static_cast<int64_t>(form.size()));
    stream.SetPosition(0);
    TComponent root(nullptr);
    ReadComponent(stream, root);
    auto player = dynamic_cast<TkelWav*>(root.FindComponent("Player"));
    ASSERT_NE(player, nullptr);
    EXPECT_EQ(player->DataSize(), 0);
    TMemoryStream out;
    player->WriteData(out);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.Memory()), static_cast<size_t>(out.Size())),
              std::string(4, '\0'));
    // The component writer streams it out again: the empty data is the count 0 alone.
    TMemoryStream written;
    WriteComponent(written, root);
    written.SetPosition(0);
    const TFormObject again = ParseForm(written);
    ASSERT_EQ(again.Children.size(), 1u);
    const TFormProperty* fileData = again.Children[0].FindProperty("FileData");
    ASSERT_NE(fileData, nullptr);
    EXPECT_EQ(fileData->Value.Type, TFormValueType::Binary);
    EXPECT_EQ(fileData->Value.Text, std::string(4, '\0'));
    EXPECT_EQ(sounds, 0);
    // Playing the empty stored sound is refused before the system sees it.
    player->SetPlayFrom(pfDFM);
    EXPECT_FALSE(player->Play());
    EXPECT_EQ(sounds, 0);
}

// Either storage class writes its bytes as FileData; damaged data fails the read instead of
// leaving the storage empty.
TEST_F(KelFileStorageTest, TheComponentWriterWritesFileDataOfEitherClass) {
    RegisterKelComponents();
    const std::string bytes("RIFF\0\x01\xFFWAVE", 11);
    for (const char* className : {"TkelWav", "TkelFileStorage"}) {
        TComponent root(nullptr);
        root.SetName("Root");
        auto* storage = dynamic_cast<TkelCustomFileStorage*>(CreateComponentByName(className, &root));
        ASSERT_NE(storage, nullptr);
        storage->SetName("Stored");
        storage->Data().WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
        TMemoryStream written;
        WriteComponent(written, root);
        written.SetPosition(0);
        const TFormObject form = ParseForm(written);
        ASSERT_EQ(form.Children.size(), 1u);
        const TFormProperty* data = form.Children[0].FindProperty("FileData");
        ASSERT_NE(data, nullptr) << className;
        EXPECT_EQ(data->Value.Type, TFormValueType::Binary);
        EXPECT_EQ(data->Value.Text, std::string("\x0B\0\0\0", 4) + bytes);

        TFormObject damaged = form;
        damaged.Children[0].Properties = {{"FileData", data->Value}};
        damaged.Children[0].Properties[0].Value.Text.pop_back();
        TComponent refused(nullptr);
        EXPECT_THROW(ReadComponent(damaged, refused), EReadError) << className;
    }
}

class KelWavTest : public GuiTest {};

TEST_F(KelWavTest, PlaysFromEachSourceWithItsFlags) {
    struct TCall {
        std::string Sound;
        HMODULE Module;
        DWORD Flags;
    };
    std::vector<TCall> calls;
    TkelWav wav(nullptr);
    TShellCallsScope scope([&](TkelShellCalls& c) {
        c.PlayWave = [&](const char* sound, HMODULE module, DWORD flags) {
            calls.push_back({sound ? sound : "<none>", module, flags});
            return TRUE;
        };
    });
    std::string trace;
    wav.OnPlayBefore = [&](TObject*) { trace += wav.Playing() ? "before(playing) " : "before "; };
    wav.OnPlayAfter = [&](TObject*) { trace += "after "; };
    EXPECT_EQ(wav.ResourceName(), "WAVE1");
    EXPECT_EQ(wav.EventAlias(), ".Default");

    wav.SetPlayFrom(pfSystemEvent);
    ASSERT_TRUE(wav.Play());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Sound, ".Default");
    EXPECT_EQ(calls[0].Flags, static_cast<DWORD>(SND_ASYNC | SND_NODEFAULT | SND_NOWAIT | SND_ALIAS));
    EXPECT_EQ(trace, "before(playing) after ");
    EXPECT_TRUE(wav.Playing());

    // A new source while playing restarts the sound.
    calls.clear();
    wav.SetResourceName("CHIME");
    wav.SetPlayFrom(pfResource);
    ASSERT_EQ(calls.size(), 4u);  // each change: stop, then play
    EXPECT_EQ(calls[2].Sound, "<none>");
    EXPECT_EQ(calls[3].Sound, "CHIME");
    EXPECT_EQ(calls[3].Module, GetModuleHandleA(nullptr));
    EXPECT_EQ(calls[3].Flags, static_cast<DWORD>(SND_ASYNC | SND_NODEFAULT | SND_NOWAIT | SND_RESOURCE));

    wav.Stop();
    EXPECT_FALSE(wav.Playing());
    calls.clear();
    wav.SetAsyncPlay(false);
    wav.Looped = true;
    wav.NoStopSound = true;
    wav.NoWaitIfBusy = false;
    wav.NoDefaultSound = false;
    wav.SetPlayFrom(pfFile);
    ASSERT_TRUE(wav.Play());
    EXPECT_FALSE(wav.Playing());  // a synchronous sound is over when Play returns
    EXPECT_EQ(calls.back().Flags, static_cast<DWORD>(SND_LOOP | SND_NOSTOP | SND_FILENAME));

    // Switching to asynchronous play while a sound plays stops it.
    calls.clear();
    wav.SetAsyncPlay(true);
    ASSERT_TRUE(wav.Play());
    wav.SetAsyncPlay(false);
    wav.SetAsyncPlay(true);
    EXPECT_FALSE(wav.Playing());
    EXPECT_EQ(calls.back().Sound, "<none>");
}

// ---- Tray icon ----

class KelTrayIconTest : public GuiTestFailingOnExceptions {
protected:
    void SetUp() override {
        GuiTestFailingOnExceptions::SetUp();
        scope_ = std::make_unique<TShellCallsScope>([this](TkelShellCalls& c) {
            c.NotifyIcon = [this](DWORD message, NOTIFYICONDATAA& data) {
                Calls.push_back({message, data});
                return Refuse ? FALSE : TRUE;
            };
        });
    }
    void TearDown() override {
        scope_.reset();
        GuiTestFailingOnExceptions::TearDown();
    }

    struct TCall {
        DWORD Message;
        NOTIFYICONDATAA Data;
    };
    std::vector<TCall> Calls;
    bool Refuse = false;

private:
    std::unique_ptr<TShellCallsScope> scope_;
};

TEST_F(KelTrayIconTest, ShowsChangesAndHidesTheIcon) {
    TkelTrayIcon tray(nullptr);
    tray.SetName("Tray1");
    EXPECT_EQ(tray.CycleInterval(), 200u);
    EXPECT_EQ(tray.InfoTimeout, 10000u);
    std::string events;
    tray.OnShow = [&](TObject*) { events += "show "; };
    tray.OnHide = [&](TObject*) { events += "hide "; };
    tray.SetHint(std::string(70, 'h'));
    EXPECT_TRUE(Calls.empty());  // not shown yet
    tray.SetVisible(true);
    ASSERT_EQ(Calls.size(), 1u);
    const NOTIFYICONDATAA& added = Calls[0].Data;
    EXPECT_EQ(Calls[0].Message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(added.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V2_SIZE));
    EXPECT_EQ(added.hWnd, tray.IconWindow());
    EXPECT_EQ(added.uCallbackMessage, 1235u);
    EXPECT_EQ(added.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_NE(added.hIcon, nullptr);
    EXPECT_EQ(std::string(added.szTip), std::string(63, 'h'));

    tray.SetHint("Cleaner");
    ASSERT_EQ(Calls.size(), 2u);
    EXPECT_EQ(Calls[1].Message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_STREQ(Calls[1].Data.szTip, "Cleaner");
    tray.SetShowHint(false);
    EXPECT_STREQ(Calls.back().Data.szTip, "");

    // The shell restarted: the icon goes in again.
    SendMessageA(tray.IconWindow(), TaskbarCreatedMessage(), 0, 0);
    EXPECT_EQ(Calls.back().Message, static_cast<DWORD>(NIM_ADD));

    tray.SetVisible(false);
    EXPECT_EQ(Calls.back().Message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(events, "show hide ");

    Refuse = true;
    try {
        tray.SetVisible(true);
        ADD_FAILURE() << "a refused icon was taken as shown";
    } catch (const EkelTrayIcon& e) {
        EXPECT_STREQ(e.what(), "Tray1.InsertToTray failed");
    }
    EXPECT_FALSE(tray.Visible());
    Refuse = false;
    tray.SetVisible(true);
    EXPECT_EQ(Calls.back().Message, static_cast<DWORD>(NIM_ADD));
}

TEST_F(KelTrayIconTest, MouseActionsFireEventsAndTheRightButtonOpensTheMenu) {
    TTestForm form;
    auto tray = new TkelTrayIcon(&form);
    auto menu = new TPopupMenu(&form);
    auto item = new TMenuItem(menu);
    item->SetCaption("Restore");
    menu->Items()->Add(item);
    tray->SetPopupMenu(menu);
    tray->SetVisible(true);
    std::string events;
    tray->OnMouseDown = [&](TObject*, TMouseButton button, TShiftState, int, int) {
        events += button == mbRight ? "down(right) " : "down ";
    };
    tray->OnMouseUp = [&](TObject*, TMouseButton, TShiftState, int, int) { events += "up "; };
    tray->OnClick = [&](TObject*) { events += "click "; };
    tray->OnDblClick = [&](TObject*) { events += "double "; };
    tray->OnPopupMenu = [&](TObject*) { events += "popup "; };
    tray->OnBalloonClick = [&](TObject*) { events += "balloon "; };
    int tracked = 0;
    TTrackPopupMenuFunction previous = SetTrackPopupMenuHook([&](HMENU, UINT, int, int, HWND) {
        ++tracked;
        EXPECT_EQ(menu->PopupComponent(), tray);
        return 0u;
    });
    const HWND window = tray->IconWindow();
    SendMessageA(window, WM_KELTRAYICON, 0, WM_RBUTTONDOWN);
    SendMessageA(window, WM_KELTRAYICON, 0, WM_RBUTTONUP);
    EXPECT_EQ(tracked, 1);
    SendMessageA(window, WM_KELTRAYICON, 0, WM_LBUTTONUP);
    SendMessageA(window, WM_KELTRAYICON, 0, WM_LBUTTONDBLCLK);
    SendMessageA(window, WM_KELTRAYICON, 0, NIN_BALLOONUSERCLICK);
    SendMessageA(window, WM_KELTRAYICON, 7, WM_LBUTTONUP);  // another icon's number
    EXPECT_EQ(events, "down(right) up popup up click double balloon ");

    // The left button opens the menu instead with PopupByLeft; nothing reacts while disabled.
    events.clear();
    tray->PopupByLeft = true;
    SendMessageA(window, WM_KELTRAYICON, 0, WM_LBUTTONUP);
    SendMessageA(window, WM_KELTRAYICON, 0, WM_RBUTTONUP);
    EXPECT_EQ(tracked, 2);
    tray->SetEnabled(false);
    SendMessageA(window, WM_KELTRAYICON, 0, WM_LBUTTONUP);
    EXPECT_EQ(events, "up click popup up ");
    SetTrackPopupMenuHook(previous);
    Application.ProcessMessages();  // the WM_NULL posted after the menu
}

TEST_F(KelTrayIconTest, CyclesThroughTheImagesAndShowsABalloon) {
    TImageList images(nullptr);
    images.SetSize(16, 16);
    TBitmap strip(48, 16);
    strip.Canvas().Brush().SetColor(clRed);
    strip.Canvas().FillRect(MakeRect(0, 0, 48, 16));
    images.AddMasked(strip, clFuchsia);
    ASSERT_EQ(images.Count(), 3);
    TkelTrayIcon tray(nullptr);
    tray.SetImageList(&images);
    tray.SetImageIndex(1);
    tray.SetVisible(true);
    std::vector<int> seen;
    tray.OnCycleIcons = [&](TObject*) { seen.push_back(tray.ImageIndex()); };
    tray.SetCycleInterval(10);
    EXPECT_FALSE(tray.Running());
    tray.SetCycleIcons(true);
    EXPECT_TRUE(tray.Running());
    PumpUntil([&] { return seen.size() >= 3; });
    tray.SetCycleIcons(false);
    EXPECT_EQ(std::vector<int>(seen.begin(), seen.begin() + 3), (std::vector<int>{2, 0, 1}));
    EXPECT_EQ(Calls.back().Message, static_cast<DWORD>(NIM_MODIFY));

    tray.InfoText = std::string(300, 'i');
    tray.InfoTitle = "Scan finished";
    tray.InfoTimeout = 5000;
    tray.InfoType = tiiWarning;
    ASSERT_TRUE(tray.ShowBalloon());
    const NOTIFYICONDATAA& balloon = Calls.back().Data;
    EXPECT_TRUE(balloon.uFlags & NIF_INFO);
    EXPECT_EQ(std::string(balloon.szInfo), std::string(255, 'i'));
    EXPECT_STREQ(balloon.szInfoTitle, "Scan finished");
    EXPECT_EQ(balloon.uTimeout, 5000u);
    EXPECT_EQ(balloon.dwInfoFlags, static_cast<DWORD>(NIIF_WARNING));

    // The list goes first: the icon falls back to another one.
    tray.SetImageList(nullptr);
    EXPECT_NE(Calls.back().Data.hIcon, nullptr);
}

TEST_F(KelTrayIconTest, MinimizingTheOwnerFormGoesToTheTray) {
    TTestForm form;
    form.Show();
    auto tray = new TkelTrayIcon(&form);
    tray->SetMinimizeToTray(true);
    int minimized = 0;
    tray->OnMinimize = [&](TObject*) { ++minimized; };
    SendMessageA(form.Handle(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_EQ(minimized, 1);
    EXPECT_TRUE(tray->Visible());
    EXPECT_FALSE(IsIconic(form.Handle()));
    ASSERT_FALSE(Calls.empty());
    EXPECT_EQ(Calls.back().Message, static_cast<DWORD>(NIM_ADD));
    tray->Restore();
    EXPECT_FALSE(tray->Visible());
    EXPECT_EQ(Calls.back().Message, static_cast<DWORD>(NIM_DELETE));
    HideAppWindow();
}

// ---- Start button and colour picker ----

class KelStartButtonTest : public GuiTest {};

TEST_F(KelStartButtonTest, ReadsAndMovesTheButtonItFound) {
    // A stand-in for the task bar's button.
    TTestForm bar;
    const HWND button = CreateWindowExA(0, "Button", "Start", WS_CHILD | WS_VISIBLE, 2, 3, 50, 20, bar.Handle(),
                                        nullptr, nullptr, nullptr);
    ASSERT_NE(button, nullptr);
    TShellCallsScope scope([&](TkelShellCalls& c) { c.FindStartButton = [&] { return button; }; });
    TkelStartButtonProperties start(nullptr);
    EXPECT_EQ(start.ButtonHandle(), button);
    EXPECT_EQ(start.ButtonLeft(), 2);
    EXPECT_EQ(start.ButtonTop(), 3);
    EXPECT_EQ(start.ButtonWidth(), 50);
    EXPECT_EQ(start.ButtonHeight(), 20);
    start.SetButtonWidth(80);
    start.SetButtonTop(5);
    RECT r{};
    GetWindowRect(button, &r);
    EXPECT_EQ(r.right - r.left, 80);
    EXPECT_EQ(start.ButtonTop(), 5);
    EXPECT_TRUE(start.Enabled());
    start.SetEnabled(false);
    EXPECT_FALSE(IsWindowEnabled(button));
    bar.Show();
    EXPECT_TRUE(start.Visible());
    start.SetVisible(false);
    EXPECT_FALSE(IsWindowVisible(button));

    // No task bar: nothing to read or move.
    TShellCallsScope none([](TkelShellCalls& c) { c.FindStartButton = [] { return HWND(nullptr); }; });
    TkelStartButtonProperties missing(nullptr);
    missing.SetButtonLeft(10);
    EXPECT_EQ(missing.ButtonLeft(), 0);
    EXPECT_FALSE(missing.Visible());
}

class KelColorPickerTest : public GuiTestFailingOnExceptions {};

TEST_F(KelColorPickerTest, TicksAndReadsThePixelUnderTheMouse) {
    TShellCallsScope scope([](TkelShellCalls& c) { c.PixelAtCursor = [] { return static_cast<TColor>(0x123456); }; });
    TkelColorPicker picker(nullptr);
    EXPECT_EQ(picker.Interval(), 100u);
    std::vector<TColor> colors;
    picker.SetInterval(10);
    picker.SetOnTimer([&](TObject*) { colors.push_back(picker.Color()); });
    PumpUntil([&] { return colors.size() >= 2; });
    EXPECT_EQ(colors[0], static_cast<TColor>(0x123456));
    picker.SetEnabled(false);
    EXPECT_FALSE(picker.Running());
    picker.SetCursor(crCross);
    EXPECT_EQ(Screen.Cursor(), crCross);
    picker.SetCursor(crDefault);
}

// ---- Published lists and icons in a form stream ----

class KelFormStreamTest : public GuiTest {};

TEST_F(KelFormStreamTest, AFormSetsTheFileListTheIconsAboutAndStyle) {
    RegisterKelComponents();
    RegisterKelControls();
    RegisterClass(TKvVersionInfo::StaticClassInfo());
    using V = TFormValueType;
    auto value = [](V type, const std::string& text) {
        TFormValue v;
        v.Type = type;
        v.Text = text;
        return v;
    };
    TFormValue files;
    files.Type = V::List;
    files.List = {value(V::String, "C:\\a.txt"), value(V::LString, "b.txt=D:\\x\\")};
    const std::string large = guitest::MakeIcoFile(32, RGB(0, 0, 255));
    const std::string small = guitest::MakeIcoFile(16, RGB(255, 0, 0));
    TFormObject form{"TForm", "Shell", {}, {}};
    form.Children = {
        {"TkelTrayIcon", "Tray", {{"Icon.Data", value(V::Binary, large)}}, {}},
        {"TkelFileOperation", "Copier", {{"FileList.Strings", files}}, {}},
        {"TkelFileAssociation",
         "Association",
         {{"LargeIcon.Data", value(V::Binary, large)}, {"SmallIcon.Data", value(V::Binary, small)}},
         {}},
        {"TKvVersionInfo", "Version", {{"About", value(V::Ident, "aiKavrenComponents")}}, {}},
        {"TkelImageListBox", "Images", {{"Style", value(V::Ident, "lbStandard")}}, {}},
    };
    TFormReadOptions options;
    options.SetParent = [](TComponent& child, TComponent& container) {
        if (auto control = dynamic_cast<TControl*>(&child))
            control->SetParent(dynamic_cast<TWinControl*>(&container));
    };
    auto check = [](TComponent& root) {
        auto tray = dynamic_cast<TkelTrayIcon*>(root.FindComponent("Tray"));
        auto copier = dynamic_cast<TkelFileOperation*>(root.FindComponent("Copier"));
        auto association = dynamic_cast<TkelFileAssociation*>(root.FindComponent("Association"));
        auto images = dynamic_cast<TkelImageListBox*>(root.FindComponent("Images"));
        ASSERT_TRUE(tray && copier && association && images && root.FindComponent("Version"));
        EXPECT_TRUE(tray->Icon()->Handle());
        EXPECT_EQ(tray->Icon()->Width(), 32);
        ASSERT_EQ(copier->FileList()->Count(), 2);
        EXPECT_EQ(copier->FileList()->Text(), "C:\\a.txt\r\nb.txt=D:\\x\\\r\n");
        EXPECT_EQ(association->LargeIcon()->Width(), 32);
        EXPECT_EQ(association->SmallIcon()->Width(), 16);
        EXPECT_EQ(images->Style(), lbOwnerDrawFixed);
        EXPECT_TRUE(GetWindowLongA(images->Handle(), GWL_STYLE) & LBS_OWNERDRAWFIXED);
    };
    TMemoryStream stream;
    const std::string bytes = FormBytes(form);
    stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream.SetPosition(0);
    TTestForm loaded;
    ReadComponent(stream, loaded, options);
    check(loaded);

    // The writer gives the lines and the icons' bytes back the same way; the version
    // reader's About is not stored.
    TMemoryStream written;
    WriteComponent(written, loaded);
    written.SetPosition(0);
    const TFormObject again = ParseForm(written);
    for (const TFormObject& child : again.Children) {
        if (child.Name == "Version") {
            EXPECT_FALSE(child.FindProperty("About"));
        }
    }
    written.SetPosition(0);
    TTestForm copy;
    ReadComponent(written, copy, options);
    check(copy);
    // Null stands for an empty list or icon.
    auto copier = dynamic_cast<TkelFileOperation*>(copy.FindComponent("Copier"));
    SetObjectProp(*copier, "FileList", nullptr);
    EXPECT_EQ(copier->FileList()->Count(), 0);
    auto tray = dynamic_cast<TkelTrayIcon*>(copy.FindComponent("Tray"));
    SetObjectProp(*tray, "Icon", nullptr);
    EXPECT_FALSE(tray->Icon()->Handle());
}

TEST(KelRegistration, EveryComponentIsMadeByName) {
    RegisterKelComponents();
    RegisterKelComponents();  // harmless twice
    for (const char* name : {"TkelThreadComponent", "TkelThreadTimer", "TkelWndProcHook", "TkelFolderMonitor",
                             "TkelRegistryMonitor", "TkelFileOperation", "TkelFileAssociation", "TkelFileStorage",
                             "TkelWav", "TkelTrayIcon", "TkelStartButtonProperties", "TkelColorPicker"}) {
        TComponent owner(nullptr);
        TComponent* made = CreateComponentByName(name, &owner);
        ASSERT_NE(made, nullptr) << name;
        EXPECT_EQ(made->ClassName(), name);
    }
}

}  // namespace
