#include "uRegistryCleanup.h"

#include "uCleanupSettings.h"
#include "uMain.h"

#include "SysUtils.h"

#include <shellapi.h>

#include <utility>

std::unique_ptr<TStringList> ExcludedKeys;

namespace {

const char* const kExcludedKeysFile = "ExcludedKeys.txt";
// The Description of a finding that stays because the undo file could not take it.
const char* const kKeptForLineBreak = "Not deleted: a name has a line break";

// A scan's events only note what changed; the refresh timer shows it. The scan thread waits
// for the window while it handles an event, so the display's work stays out of the events:
// status and progress this often, new rows (each batch repaints the list) less often.
constexpr unsigned kRefreshMs = 100;
constexpr unsigned kListRefreshMs = 500;

TRegistryError* FindingOf(const TListItem* item) { return static_cast<TRegistryError*>(item->Data()); }

bool StartRegEditWithShell() {
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "open";
    info.lpFile = "Regedit.exe";
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&info))
        return false;
    if (info.hProcess) {
        TUniqueHandle process(info.hProcess);
        WaitForInputIdle(process.Get(), 10000);
    }
    return true;
}

TRegEditStarter& RegEditStarter() {
    static TRegEditStarter starter;
    return starter;
}

struct TDescendantSearch {
    const char* className;
    HWND found;
};

BOOL CALLBACK MatchDescendant(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<TDescendantSearch*>(data);
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    if (lstrcmpiA(name, search->className) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The editor's tree and list may sit below an inner frame window, so all descendants count.
HWND FindDescendant(HWND parent, const char* className) {
    TDescendantSearch search{className, nullptr};
    EnumChildWindows(parent, MatchDescendant, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A hung editor must not hang the page.
void SendKey(HWND window, UINT message, WPARAM key) {
    SendMessageTimeoutA(window, message, key, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
}

// The options the settings page stands for; the software boxes count only while their
// group's check box is ticked.
TScanOptions SettingsScanOptions() {
    TScanOptions options = 0;
    const TfrmCleanupSettings* page = frmCleanupSettings;
    if (!page)
        return options;
    if (page->chkClassesSection->Checked())
        options |= soFileExtensions;
    if (page->chkClearFileList->Checked())
        options |= soFileList;
    if (!page->gbClearSoftware->CheckBoxChecked())
        return options;
    const struct {
        const TCheckBox* box;
        TScanOptions option;
    } software[] = {
        {page->chkSharedDLL, soSharedDLLs}, {page->chkInvalidFileAssociations, soFileAssociations},
        {page->chkWinStartup, soStartupRun}, {page->chkAPPPath, soAppPaths},
        {page->chkHelp, soHelpFiles},        {page->chkFonts, soFonts},
        {page->chkSounds, soSounds},
    };
    for (const auto& entry : software)
        if (entry.box->Checked())
            options |= entry.option;
    return options;
}

}  // namespace

TRegEditStarter SetRegEditStarter(TRegEditStarter starter) { return std::exchange(RegEditStarter(), std::move(starter)); }

void OpenRegEditWithKey(const std::string& keyPath, const std::string& valueName) {
    const std::string key = LowerCase(Trim(keyPath));
    const std::string value = LowerCase(Trim(valueName));
    if (key.empty())
        return;
    HWND editor = FindWindowA("RegEdit_RegEdit", nullptr);
    if (!editor) {
        const bool started = RegEditStarter() ? RegEditStarter()() : StartRegEditWithShell();
        if (started)
            editor = FindWindowA("RegEdit_RegEdit", nullptr);
    }
    if (!editor) {
        ShowMessageBox(Application.Handle(), "Can't run Regedit.", "", MB_OK | MB_ICONERROR);
        return;
    }
    ShowWindow(editor, SW_RESTORE);
    SetForegroundWindow(editor);
    if (HWND tree = FindDescendant(editor, "SysTreeView32")) {
        SendKey(tree, WM_KEYDOWN, VK_HOME);
        // Right opens the selected node; a character selects the child by type-ahead.
        for (char c : key) {
            if (c == '\\')
                SendKey(tree, WM_KEYDOWN, VK_RIGHT);
            else
                SendKey(tree, WM_CHAR, static_cast<unsigned char>(c));
        }
    }
    if (HWND list = FindDescendant(editor, "SysListView32")) {
        SetForegroundWindow(list);
        SetFocus(list);
        SendKey(list, WM_KEYDOWN, VK_HOME);
        for (char c : value)
            SendKey(list, WM_CHAR, static_cast<unsigned char>(c));
    }
}

// ---- The page ---------------------------------------------------------------------------

const TClassInfo& TfrmRegistryCleanup::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TfrmRegistryCleanup, TForm>("TfrmRegistryCleanup", {});
    return info;
}

TfrmRegistryCleanup::TfrmRegistryCleanup(TComponent* owner) : TForm(owner) {
    SetName("frmRegistryCleanup");
    SetCaption("Registry Cleanup");
    SetBorderStyle(bsSingle);
    SetBorderIcons({biSystemMenu});
    SetPosition(poScreenCenter);
    SetClientSize(640, 418);
    OnShow = [this](TObject* sender) { FormShow(sender); };
    OnCloseQuery = [this](TObject* sender, bool& canClose) { FormCloseQuery(sender, canClose); };
    OnClose = [this](TObject* sender, TCloseAction& action) { FormClose(sender, action); };
    BuildForm([this] { CreateControls(); });
}

TfrmRegistryCleanup::~TfrmRegistryCleanup() {
    // A stop skips the finishing pause.
    if (thread_) {
        StopRequested = true;
        thread_->Terminate();
        thread_->WaitFor();
    }
    // The rows go before the thread and the findings they point at.
    pendingRows_.clear();
    lvwRegKeys->Items().Clear();
}

void TfrmRegistryCleanup::CreateControls() {
    TImageList* images = frmMain ? frmMain->ImageList1 : nullptr;
    auto place = [this](TControl* control, TWinControl* parent, int left, int top, int width, int height) {
        control->SetParent(parent);
        control->SetBounds(left, top, width, height);
    };

    PopupCleanup = new TPopupMenu(this);
    PopupCleanup->SetName("PopupCleanup");
    PopupCleanup->OnPopup = [this](TObject* sender) { PopupCleanupPopup(sender); };
    auto addItem = [this](TPopupMenu* menu, const char* name, const char* caption,
                          void (TfrmRegistryCleanup::*handler)(TObject*)) {
        auto item = new TMenuItem(this);
        item->SetName(name);
        item->SetCaption(caption);
        item->OnClick = [this, handler](TObject* sender) { (this->*handler)(sender); };
        menu->Items()->Add(item);
        return item;
    };
    mnuViewSelected = addItem(PopupCleanup, "mnuViewSelected", "View Selected", &TfrmRegistryCleanup::mnuViewSelectedClick);
    mnuExcludeSelected =
        addItem(PopupCleanup, "mnuExcludeSelected", "Exclude Selected", &TfrmRegistryCleanup::mnuExcludeSelectedClick);
    mnuExcludeSelected->SetHint("Never scan or delete this key.");
    mnuDeleteSelected =
        addItem(PopupCleanup, "mnuDeleteSelected", "Delete Selected", &TfrmRegistryCleanup::mnuDeleteSelectedClick);
    PopupSelect = new TPopupMenu(this);
    PopupSelect->SetName("PopupSelect");
    All1 = addItem(PopupSelect, "All1", "All", &TfrmRegistryCleanup::All1Click);
    None1 = addItem(PopupSelect, "None1", "None", &TfrmRegistryCleanup::None1Click);

    lvwRegKeys = new TKvListView(this);
    lvwRegKeys->SetName("lvwRegKeys");
    place(lvwRegKeys, this, 8, 8, 624, 300);
    lvwRegKeys->SetViewStyle(vsReport);
    lvwRegKeys->SetCheckboxes(true);
    lvwRegKeys->SetReadOnly(true);
    lvwRegKeys->SetGridLines(true);
    lvwRegKeys->SetRowSelect(true);
    lvwRegKeys->SetHotTrack(true);
    const struct {
        const char* caption;
        int width, minWidth, maxWidth;
    } columns[] = {{"Key", 300, 300, 3000}, {"Value", 152, 100, 800}, {"Description", 135, 100, 800}};
    for (const auto& c : columns) {
        TListColumn* column = lvwRegKeys->Columns().Add();
        column->SetCaption(c.caption);
        column->SetMinWidth(c.minWidth);
        column->SetMaxWidth(c.maxWidth);
        column->SetWidth(c.width);
    }
    lvwRegKeys->OnCheckStateChange = [this](TObject* sender, TListItem* item) { lvwRegKeysCheckStateChange(sender, item); };
    lvwRegKeys->OnDblClick = [this](TObject* sender) { lvwRegKeysDblClick(sender); };
    lvwRegKeys->OnDeletion = [this](TObject* sender, TListItem* item) { lvwRegKeysDeletion(sender, item); };

    auto button = [&](auto* control, const char* name, const char* caption, int imageIndex, int left, int width) {
        control->SetName(name);
        place(control, this, left, 354, width, 30);
        control->SetCaption(caption);
        control->SetImages(images);
        control->SetImageIndex(imageIndex);
        return control;
    };
    btnRun = button(new TKvBitBtn(this), "btnRun", "Run", wgRun, 8, 100);
    btnRun->OnClick = [this](TObject* sender) { btnRunClick(sender); };
    btnDeleteInvalidEntries = button(new TKvBitBtn(this), "btnDeleteInvalidEntries", "Delete", wgDelete, 116, 100);
    btnDeleteInvalidEntries->OnClick = [this](TObject* sender) { btnDeleteInvalidEntriesClick(sender); };
    btnTick = button(new TKvMenuButton(this), "btnTick", "Tick", wgTick, 224, 100);
    btnTick->SetDropDownMenu(PopupSelect);
    btnHint = new TKvToolButton(this);
    btnHint->SetName("btnHint");
    place(btnHint, this, 332, 354, 30, 30);
    btnHint->SetImages(images);
    btnHint->SetImageIndex(wgHelp);
    FormHelp1 = MakeFormHelp(*this, btnHint, 400);
    btnBack = button(new TKvBitBtn(this), "btnBack", "Back", wgBack, 532, 100);
    btnBack->OnClick = [this](TObject* sender) { btnBackClick(sender); };

    lblRegKey = new TLabel(this);
    lblRegKey->SetName("lblRegKey");
    place(lblRegKey, this, 8, 314, 624, 16);
    lblRegKey->SetAutoSize(false);
    lblRegKey->SetShowAccelChar(false);
    lblRegKey->SetCaption("");
    ProgressBar = new TProgressBar(this);
    ProgressBar->SetName("ProgressBar");
    place(ProgressBar, this, 8, 332, 624, 14);

    StatusBar = new TKvStatusBar(this);
    StatusBar->SetName("StatusBar");
    StatusBar->SetParent(this);
    StatusBar->SetHeight(26);
    StatusBar->SetAlign(alBottom);
    Status = new TKvGlyphStatus(this);
    Status->SetName("Status");
    Status->SetParent(StatusBar);
    Status->SetWidth(420);
    Status->SetAlign(alLeft);
    Status->SetImages(images);
    Status->SetImageIndex(wgIdle);
    Status->SetCaption("Ready!");
    lblTotal = new TKvStatusPane(this);
    lblTotal->SetName("lblTotal");
    lblTotal->SetParent(StatusBar);
    lblTotal->SetAlign(alClient);

    tmrAfterShow = new TTimer(this);
    tmrAfterShow->SetName("tmrAfterShow");
    tmrAfterShow->SetEnabled(false);
    tmrAfterShow->SetOnTimer([this](TObject* sender) { tmrAfterShowTimer(sender); });
    refreshTimer_ = new TTimer(this);
    refreshTimer_->SetEnabled(false);
    refreshTimer_->SetInterval(kRefreshMs);
    refreshTimer_->SetOnTimer([this](TObject*) { ShowPending(GetTickCount64() - lastListed_ >= kListRefreshMs); });

    TPageSettings settings = MakePageSettings(*this, "RegistryCleanup", "frmRegistryCleanup",
                                              {"lvwRegKeys.Columns.Width"}, {poStoreFormPlacement, poStoreDefValues});
    rsStorage = settings.Storage;
    rsIniData = settings.IniData;
    rsPropSaver1 = settings.PropSaver;
}

void TfrmRegistryCleanup::ChangeStatus(int glyph, const std::string& text) {
    Status->SetImageIndex(glyph);
    Status->SetCaption(text);
}

void TfrmRegistryCleanup::ControlsVisible(bool on) {
    // Run waits for the end of the scan thread, whatever else comes back.
    btnRun->SetEnabled(on && !threadActive_);
    btnBack->SetEnabled(on);
    btnDeleteInvalidEntries->SetEnabled(on);
    btnTick->SetEnabled(on);
    lblTotal->SetVisible(!on);
    lblRegKey->SetVisible(!on);
    ProgressBar->SetVisible(!on);
}

void TfrmRegistryCleanup::PopupsVisible(bool on) {
    mnuViewSelected->SetVisible(on);
    mnuDeleteSelected->SetVisible(on);
}

void TfrmRegistryCleanup::FormShow(TObject*) {
    ControlsVisible(true);
    btnDeleteInvalidEntries->SetEnabled(false);
    btnTick->SetEnabled(false);
    lvwRegKeys->SetPopupMenu(PopupCleanup);
    ExcludedKeys = std::make_unique<TStringList>();
    const std::string file = AppPath + kExcludedKeysFile;
    if (FileExists(file)) {
        try {
            ExcludedKeys->LoadFromFile(file);
        } catch (const std::exception&) {
            // An unreadable file excludes nothing; it is written again on close.
        }
    }
    ChangeStatus(wgIdle, "Ready!");
}

void TfrmRegistryCleanup::FormCloseQuery(TObject*, bool& canClose) {
    if (thread_ && Running && threadActive_)
        Stop();
    lvwRegKeys->Items().Clear();
    canClose = true;
}

void TfrmRegistryCleanup::FormClose(TObject*, TCloseAction&) {
    if (!ExcludedKeys)
        return;
    try {
        ExcludedKeys->SaveToFile(AppPath + kExcludedKeysFile);
    } catch (const std::exception&) {
        // A read-only folder keeps the old list; the page closes anyway.
    }
    ExcludedKeys.reset();
}

void TfrmRegistryCleanup::btnRunClick(TObject*) {
    if (thread_ && Running && threadActive_)
        Stop();
    else if (!threadActive_ && !Running)
        Run();
}

void TfrmRegistryCleanup::btnBackClick(TObject*) { Close(); }

void TfrmRegistryCleanup::Run() {
    ChangeStatus(wgBusy, "Working ...");
    ControlsVisible(false);
    PopupsVisible(false);
    lvwRegKeys->Items().Clear();
    btnRun->SetCaption("Stop");
    btnRun->SetImageIndex(wgStop);
    btnRun->SetEnabled(true);
    ScanAuto();
}

void TfrmRegistryCleanup::ScanAuto() {
    if (Running)
        return;
    Running = true;
    StopRequested = false;
    if (thread_) {
        thread_->WaitFor();
        pendingRows_.clear();
        thread_.reset();
    }
    thread_ = std::make_unique<TRegistryCheckThread>();
    thread_->FreeOnTerminate = false;
    thread_->OnProgress = [this](TObject* sender) { ShowProgress(sender); };
    thread_->OnStatus = [this](TObject* sender) { ShowStatus(sender); };
    thread_->OnErrorFound = [this](TObject* sender) { AddError(sender); };
    thread_->OnTerminate = [this](TObject* sender) { terminate(sender); };
    thread_->OnErrorFixed = [this](TObject* sender) { FixError(sender); };
    thread_->OnScanFinished = [this](TObject* sender) { ScanFinished(sender); };
    thread_->OnCleanFinished = [this](TObject* sender) { ClearFinished(sender); };
    thread_->ScanOptions = ReadScanOptions ? ReadScanOptions() : SettingsScanOptions();
    threadActive_ = true;
    scanFinishedSeen_ = false;
    thread_->Start();
}

void TfrmRegistryCleanup::ShowProgress(TObject*) {
    pending_.total = thread_->Total;
    pending_.position = thread_->Position;
    pending_.progress = true;
    RefreshDue();
}

void TfrmRegistryCleanup::ShowStatus(TObject*) {
    pending_.status = thread_->StatusText;
    pending_.hasStatus = true;
    RefreshDue();
}

void TfrmRegistryCleanup::RefreshDue() {
    if (!refreshTimer_->Enabled())
        refreshTimer_->SetEnabled(true);
}

void TfrmRegistryCleanup::RefreshDisplay() {
    refreshTimer_->SetEnabled(false);
    ShowPending(true);
}

void TfrmRegistryCleanup::ShowPending(bool listRows) {
    if (listRows) {
        lastListed_ = GetTickCount64();
        ListPendingRows();
    }
    if (pending_.progress) {
        ProgressBar->SetMax(pending_.total);
        ProgressBar->SetPosition(pending_.position);
    }
    if (pending_.hasStatus)
        lblRegKey->SetCaption(pending_.status);
    if (pending_.hasTotal)
        lblTotal->SetCaption(pending_.totalText);
    pending_ = {};
    if (std::exchange(listHeld_, false))
        lvwRegKeys->Items().EndUpdate();
}

void TfrmRegistryCleanup::ListPendingRows() {
    if (pendingRows_.empty())
        return;
    if (!std::exchange(listHeld_, true))
        lvwRegKeys->Items().BeginUpdate();
    for (TRegistryError* error : pendingRows_) {
        TListItem* item = lvwRegKeys->Items().Add();
        item->SetCaption(error->GetFullPath());
        item->SubItems().Add(error->Value);
        item->SubItems().Add(error->Description);
        item->SetData(error);
        error->ListItem = item;
    }
    pendingRows_.clear();
}

bool TfrmRegistryCleanup::IsExcluded(const std::string& path) const {
    if (!ExcludedKeys)
        return false;
    for (int i = 0; i < ExcludedKeys->Count(); ++i) {
        const std::string& line = (*ExcludedKeys)[i];
        if (!line.empty() && (SameText(line, path) || path.find(line) != std::string::npos))
            return true;
    }
    return false;
}

void TfrmRegistryCleanup::AddError(TObject*) {
    TRegistryError* error = thread_->LastError();
    if (!error)
        return;
    if (!IsExcluded(error->GetFullPath()))
        pendingRows_.push_back(error);
    pending_.totalText = "Total: " + IntToStr(thread_->Errors.Count());
    pending_.hasTotal = true;
    RefreshDue();
}

void TfrmRegistryCleanup::PumpFor(unsigned milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        Application.ProcessMessages();
        const ULONGLONG now = GetTickCount64();
        if (now >= end)
            break;
        HANDLE sync = SyncEvent();
        MsgWaitForMultipleObjects(1, &sync, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

void TfrmRegistryCleanup::ScanFinished(TObject*) {
    RefreshDisplay();
    Running = false;
    scanFinishedSeen_ = true;
    inScanFinished_ = true;
    btnRun->SetEnabled(false);
    // A stop asked for an end now: no pause then.
    if (!StopRequested)
        PumpFor(FinishPauseMs);
    inScanFinished_ = false;
    ShowScanEnd();
}

void TfrmRegistryCleanup::ShowScanEnd() {
    ControlsVisible(true);
    btnRun->SetCaption("Run");
    btnRun->SetImageIndex(wgRun);
    lblTotal->SetVisible(true);
    ChangeStatus(wgIdle, "Ready!");
    if (lvwRegKeys->Items().Count() > 0) {
        TickAll(true);
        PopupsVisible(true);
        btnDeleteInvalidEntries->SetEnabled(true);
    } else {
        btnDeleteInvalidEntries->SetEnabled(false);
        btnTick->SetEnabled(false);
    }
}

void TfrmRegistryCleanup::terminate(TObject*) {
    RefreshDisplay();
    threadActive_ = false;
    // A receiver's error ends a scan without its finishing notice.
    if (!scanFinishedSeen_) {
        scanFinishedSeen_ = true;
        ShowScanEnd();
    }
    if (StopRequested)
        ChangeStatus(wgIdle, "Stopped!");
    Running = false;
    btnRun->SetEnabled(btnBack->Enabled());
}

void TfrmRegistryCleanup::Stop() {
    StopRequested = true;
    btnRun->SetEnabled(false);
    thread_->Terminate();
    thread_->WaitFor();
    btnRun->SetCaption("Run");
    btnRun->SetImageIndex(wgRun);
    ControlsVisible(true);
    PopupsVisible(true);
    if (lvwRegKeys->Items().Count() > 0) {
        TickAll(true);
    } else {
        PopupsVisible(false);
        btnDeleteInvalidEntries->SetEnabled(false);
        btnTick->SetEnabled(false);
    }
}

bool TfrmRegistryCleanup::CanFix() const { return thread_ && !Running && !inScanFinished_; }

void TfrmRegistryCleanup::MarkFindings(bool (TListItem::*marked)() const) {
    // Every finding is marked afresh: one left over from an earlier fix, or excluded since,
    // must not be deleted with these.
    for (int i = 0; i < thread_->Errors.Count(); ++i)
        static_cast<TRegistryError*>(thread_->Errors.Objects(i))->Checked = false;
    TListItems& items = lvwRegKeys->Items();
    for (int i = 0; i < items.Count(); ++i)
        if (TRegistryError* error = FindingOf(items[i]))
            error->Checked = (items[i]->*marked)();
}

void TfrmRegistryCleanup::btnDeleteInvalidEntriesClick(TObject*) {
    if (!CanFix())
        return;
    ChangeStatus(wgBusy, "Deleting ...");
    Status->Repaint();
    ControlsVisible(false);
    MarkFindings(&TListItem::Checked);
    CleanReg();
}

void TfrmRegistryCleanup::mnuDeleteSelectedClick(TObject*) {
    if (!CanFix())
        return;
    MarkFindings(&TListItem::Selected);
    CleanReg();
}

void TfrmRegistryCleanup::CleanReg() {
    if (!CanFix())
        return;
    // Between its last event and its end the thread finishes at once.
    if (threadActive_)
        thread_->WaitFor();
    Running = true;
    bool journaled = false;
    try {
        journaled = thread_->CreateUndoFile();
    } catch (const std::exception&) {
    }
    if (journaled) {
        ShowKeptFindings();
        thread_->FixErrors();
    } else {
        ShowMessageBox(Handle(), "Can not save logfile.", Application.Title(), MB_OK | MB_ICONERROR);
        RestoreAfterFailedFix();
    }
    Running = false;
}

void TfrmRegistryCleanup::ShowKeptFindings() {
    for (int i = 0; i < thread_->Errors.Count(); ++i) {
        auto error = static_cast<TRegistryError*>(thread_->Errors.Objects(i));
        if (error->KeptForLineBreak && error->ListItem)
            static_cast<TListItem*>(error->ListItem)->SubItems().Put(1, kKeptForLineBreak);
    }
}

void TfrmRegistryCleanup::RestoreAfterFailedFix() {
    ControlsVisible(true);
    lblTotal->SetVisible(true);
    PopupsVisible(lvwRegKeys->Items().Count() > 0);
    btnDeleteInvalidEntries->SetEnabled(AnyTicked());
    btnTick->SetEnabled(lvwRegKeys->Items().Count() > 0);
    ChangeStatus(wgIdle, "Ready!");
}

void TfrmRegistryCleanup::FixError(TObject*) {
    try {
        TRegistryError* error = thread_->CurrentError;
        if (error && error->ListItem)
            static_cast<TListItem*>(error->ListItem)->Delete();
        lblTotal->SetCaption(IntToStr(lvwRegKeys->Items().Count()));
    } catch (const std::exception&) {
    }
}

void TfrmRegistryCleanup::ClearFinished(TObject*) {
    PopupsVisible(true);
    btnRun->SetEnabled(true);
    btnBack->SetEnabled(true);
    lblRegKey->SetVisible(false);
    ProgressBar->SetVisible(false);
    Running = false;
    ChangeStatus(wgIdle, "Deleted!");
}

void TfrmRegistryCleanup::lvwRegKeysDeletion(TObject*, TListItem* item) {
    if (TRegistryError* error = FindingOf(item); error && error->ListItem == item)
        error->ListItem = nullptr;
}

bool TfrmRegistryCleanup::AnyTicked() const {
    const TListItems& items = lvwRegKeys->Items();
    for (int i = 0; i < items.Count(); ++i)
        if (items[i]->Checked())
            return true;
    return false;
}

void TfrmRegistryCleanup::TickAll(bool checked) {
    {
        // One answer for the whole change instead of one per item.
        const bool wasTicking = std::exchange(ticking_, true);
        TListItems& items = lvwRegKeys->Items();
        for (int i = 0; i < items.Count(); ++i)
            items[i]->SetChecked(checked);
        ticking_ = wasTicking;
    }
    if (!ticking_)
        lvwRegKeysCheckStateChange(lvwRegKeys, nullptr);
}

void TfrmRegistryCleanup::lvwRegKeysCheckStateChange(TObject*, TListItem*) {
    if (ticking_ || Running || inScanFinished_)
        return;
    btnDeleteInvalidEntries->SetEnabled(AnyTicked());
}

void TfrmRegistryCleanup::All1Click(TObject*) {
    TickAll(true);
    btnDeleteInvalidEntries->SetEnabled(true);
}

void TfrmRegistryCleanup::None1Click(TObject*) { TickAll(false); }

void TfrmRegistryCleanup::PopupCleanupPopup(TObject*) { PopupsVisible(lvwRegKeys->Items().Count() > 0); }

void TfrmRegistryCleanup::mnuExcludeSelectedClick(TObject*) {
    TListItem* item = lvwRegKeys->Selected();
    if (!item)
        return;
    if (TRegistryError* error = FindingOf(item); error && ExcludedKeys)
        ExcludedKeys->Add(error->GetFullPath());
    item->Delete();
    lblTotal->SetCaption(IntToStr(lvwRegKeys->Items().Count()));
}

void TfrmRegistryCleanup::mnuViewSelectedClick(TObject*) {
    TListItem* item = lvwRegKeys->Selected();
    if (!item) {
        ShowMessageBox(Handle(), "Please select an entry first.", "", MB_OK | MB_ICONERROR);
        return;
    }
    TRegistryError* error = FindingOf(item);
    if (error && !Trim(error->GetFullPath()).empty())
        OpenRegEditWithKey(error->GetFullPath(), error->ValueName);
}

void TfrmRegistryCleanup::lvwRegKeysDblClick(TObject* sender) { mnuViewSelectedClick(sender); }

void TfrmRegistryCleanup::tmrAfterShowTimer(TObject*) {}
