#include "uRegistryUndo.h"

#include "Registry.h"
#include "StringList.h"
#include "SysUtils.h"
#include "Undos.h"
#include "uMain.h"

#include <algorithm>
#include <cstdint>
#include <exception>

namespace {

constexpr uint64_t kFileTimeTicksPerDay = 864000000000ull;

uint64_t FileTimeValue(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Days since the stamp, with fractions; a stamp in the future counts as now.
double AgeInDays(const FILETIME& stamp) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t nowValue = FileTimeValue(now), stampValue = FileTimeValue(stamp);
    if (stampValue >= nowValue)
        return 0;
    return static_cast<double>(nowValue - stampValue) / static_cast<double>(kFileTimeTicksPerDay);
}

}  // namespace

TfrmRegistryUndo::TfrmRegistryUndo(TComponent* owner) : TForm(owner) {
    SetName("frmRegistryUndo");
    BuildForm([this] { CreateControls(); });
}

void TfrmRegistryUndo::CreateControls() {
    SetCaption("Undo Registry Cleanup");
    SetBorderStyle(bsSingle);
    SetBorderIcons({biSystemMenu, biMinimize});
    SetPosition(poScreenCenter);
    SetClientSize(704, 478);
    OnShow = TNotifyEvent(this, &TfrmRegistryUndo::FormShow);
    OnClose = TCloseEvent(this, &TfrmRegistryUndo::FormClose);

    Images = PageImages(*this);

    const auto place = [](TControl* control, TWinControl* parent, const char* name, int left, int top, int width,
                              int height) {
        control->SetName(name);
        control->SetParent(parent);
        control->SetBounds(left, top, width, height);
    };
    const auto glyphButton = [this, &place](TKvBitBtn* button, const char* name, const char* caption,
                                            TWinControl* parent, int left, int top, TWizardGlyph glyph) {
        place(button, parent, name, left, top, 104, 30);
        button->SetCaption(caption);
        button->SetImages(Images);
        button->SetImageIndex(glyph);
        button->SetMargin(8);
        button->SetSpacing(8);
        button->SetAlignment(taLeftJustify);
    };

    // The file to show, and the age limit for old files.
    gbUndoFiles = new TGroupBox(this);
    place(gbUndoFiles, this, "gbUndoFiles", 8, 6, 388, 56);
    gbUndoFiles->SetCaption("Select Undo File");
    cboUndoFiles = new TComboBox(this);
    place(cboUndoFiles, gbUndoFiles, "cboUndoFiles", 12, 22, 364, 21);
    cboUndoFiles->SetStyle(csDropDownList);
    cboUndoFiles->TabStop = true;
    cboUndoFiles->OnChange = TNotifyEvent(this, &TfrmRegistryUndo::cboUndoFilesChange);

    gbDeleteUndoFiles = new TkelGroupBox(this);
    place(gbDeleteUndoFiles, this, "gbDeleteUndoFiles", 404, 6, 292, 56);
    gbDeleteUndoFiles->SetCaption("Delete Undo Files");
    lblOlderThan = new TLabel(this);
    place(lblOlderThan, gbDeleteUndoFiles, "lblOlderThan", 14, 26, 70, 15);
    lblOlderThan->SetCaption("Older Than");
    seOlderThan = new TSpinEdit(this);
    place(seOlderThan, gbDeleteUndoFiles, "seOlderThan", 96, 22, 56, 22);
    seOlderThan->SetMinValue(1);
    seOlderThan->SetMaxValue(60);
    seOlderThan->SetValue(7);
    seOlderThan->TabStop = true;
    lblDays = new TLabel(this);
    place(lblDays, gbDeleteUndoFiles, "lblDays", 162, 26, 40, 15);
    lblDays->SetCaption("Days");
    lblOlderThan->SetFocusControl(seOlderThan);

    // The entries of the selected file.
    lvwRegKeys = new TKvListView(this);
    place(lvwRegKeys, this, "lvwRegKeys", 8, 70, 688, 306);
    lvwRegKeys->SetViewStyle(vsReport);
    lvwRegKeys->SetCheckboxes(true);
    lvwRegKeys->SetReadOnly(true);
    lvwRegKeys->SetGridLines(true);
    lvwRegKeys->TabStop = true;
    const struct {
        const char* caption;
        int width, minWidth, maxWidth;
    } columns[] = {{"Key", 328, 300, 3000}, {"Value", 341, 150, 1500}};
    for (const auto& layout : columns) {
        TListColumn* column = lvwRegKeys->Columns().Add();
        column->SetCaption(layout.caption);
        column->SetMaxWidth(layout.maxWidth);
        column->SetMinWidth(layout.minWidth);
        column->SetWidth(layout.width);
    }
    lvwRegKeys->OnCheckStateChange = TLVNotifyEvent(this, &TfrmRegistryUndo::lvwRegKeysCheckStateChange);
    lvwRegKeys->OnDblClick = TNotifyEvent(this, &TfrmRegistryUndo::lvwRegKeysDblClick);

    // What to do with the selected file, and the page's own buttons.
    gbSelected = new TGroupBox(this);
    place(gbSelected, this, "gbSelected", 8, 382, 240, 60);
    gbSelected->SetCaption("Selected Undo File");
    btnUndo = new TKvBitBtn(this);
    glyphButton(btnUndo, "btnUndo", "&Undo", gbSelected, 12, 20, wgUndo);
    btnUndo->OnClick = TNotifyEvent(this, &TfrmRegistryUndo::btnUndoClick);
    btnDeleteUndoFile = new TKvBitBtn(this);
    glyphButton(btnDeleteUndoFile, "btnDeleteUndoFile", "&Delete", gbSelected, 124, 20, wgDelete);
    btnDeleteUndoFile->OnClick = TNotifyEvent(this, &TfrmRegistryUndo::btnDeleteUndoFileClick);

    PopupSelect = new TPopupMenu(this);
    PopupSelect->SetName("PopupSelect");
    All1 = new TMenuItem(this);
    All1->SetName("All1");
    All1->SetCaption("All");
    All1->OnClick = TNotifyEvent(this, &TfrmRegistryUndo::All1Click);
    PopupSelect->Items()->Add(All1);
    None1 = new TMenuItem(this);
    None1->SetName("None1");
    None1->SetCaption("None");
    None1->OnClick = TNotifyEvent(this, &TfrmRegistryUndo::None1Click);
    PopupSelect->Items()->Add(None1);

    btnTick1 = new TKvMenuButton(this);
    glyphButton(btnTick1, "btnTick1", "Tick", this, 480, 402, wgTick);
    btnTick1->SetDropDownMenu(PopupSelect);
    btnBack = new TKvBitBtn(this);
    glyphButton(btnBack, "btnBack", "Back", this, 592, 402, wgBack);
    btnBack->SetCancel(true);
    btnBack->OnClick = TNotifyEvent(this, &TfrmRegistryUndo::btnBackClick);
    btnHint = new TKvToolButton(this);
    place(btnHint, this, "btnHint", 448, 405, 24, 24);
    btnHint->SetImages(Images);
    btnHint->SetImageIndex(wgHelp);
    FormHelp1 = MakeFormHelp(*this, btnHint, 430);

    StatusBar = new TKvStatusBar(this);
    StatusBar->SetName("StatusBar");
    StatusBar->SetParent(this);
    StatusBar->SetBounds(0, 454, 704, 24);
    StatusBar->SetAlign(alBottom);
    StatusBar->SetShowSizeGrip(false);
    Status = new TKvGlyphStatus(this);
    place(Status, StatusBar, "Status", 2, 2, 300, 20);
    Status->SetAlign(alClient);
    Status->SetImages(Images);
    Status->SetImageIndex(wgIdle);
    Status->SetCaption("Ready!");
    lblTotal = new TKvStatusPane(this);
    place(lblTotal, StatusBar, "lblTotal", 304, 2, 80, 20);
    lblTotal->SetAlignment(taCenter);
    lblTotal->SetAlign(alRight);
    ProgressBar = new TProgressBar(this);
    place(ProgressBar, StatusBar, "ProgressBar", 388, 3, 312, 18);
    ProgressBar->SetAlign(alRight);

    TPageSettings settings = MakePageSettings(
        *this, "RegistryUndo", "frmRegistryUndo",
        {"lvwRegKeys.Columns.Width", "gbDeleteUndoFiles.CheckBoxChecked", "seOlderThan.Value"},
        {poStoreFormPlacement, poStoreDefValues});
    rsStorage = settings.Storage;
    rsIniData = settings.IniData;
    rsPropSaver1 = settings.PropSaver;
}

// ---- Handlers ---------------------------------------------------------------------------------

void TfrmRegistryUndo::FormShow(TObject*) {
    ControlsVisible(true);
    // Before the file is read, so that a read error stays on show.
    ChangeStatus(wgIdle, "Ready!");
    InitUndoSection();
    gbDeleteUndoFiles->Repaint();
    ShowFileControls();
    TickAll(true);
}

void TfrmRegistryUndo::FormClose(TObject*, TCloseAction&) {
    lvwRegKeys->Items().Clear();
    entries_.clear();
}

void TfrmRegistryUndo::cboUndoFilesChange(TObject*) { InitUndoSection(); }

void TfrmRegistryUndo::btnUndoClick(TObject*) {
    std::string failure;
    if (!RestoreUndo(failure)) {
        ChangeStatus(wgIdle, "Not restored!");
        ShowMessageBox(Handle(), failure, "", MB_OK | MB_ICONERROR);
        return;
    }
    ChangeStatus(wgIdle, "Restored!");
    const int answer = ShowMessageBox(Handle(),
                                      "Restore was successful, however you must restart your PC. \r\n"
                                      "Do you want reboot your system now?",
                                      "Confirm", MB_YESNO | MB_ICONQUESTION);
    if (answer == IDYES && !ExitWin()->Execute())
        ShowMessageBox(Handle(), "The computer could not be restarted. Please restart it yourself.", "",
                       MB_OK | MB_ICONERROR);
}

void TfrmRegistryUndo::btnDeleteUndoFileClick(TObject*) { DeleteCurrUndoList(); }

void TfrmRegistryUndo::btnBackClick(TObject*) { Close(); }

void TfrmRegistryUndo::lvwRegKeysCheckStateChange(TObject*, TListItem*) { UpdateUndoButton(); }

void TfrmRegistryUndo::lvwRegKeysDblClick(TObject*) {
    if (!lvwRegKeys->Selected())
        ShowMessageBox(Handle(), "Please select an entry first.", "", MB_OK | MB_ICONERROR);
}

void TfrmRegistryUndo::All1Click(TObject*) { TickAll(true); }

void TfrmRegistryUndo::None1Click(TObject*) { TickAll(false); }

// ---- Operations -------------------------------------------------------------------------------

std::string TfrmRegistryUndo::RestoreFolder() { return AppPath + "restore\\"; }

TkelShutdown* TfrmRegistryUndo::ExitWin() {
    if (frmMain && frmMain->ExitWin)
        return frmMain->ExitWin;
    if (!ownExitWin_) {
        ownExitWin_ = new TkelShutdown(this);
        ownExitWin_->ActionType = aatReboot;
        ownExitWin_->Force = true;
    }
    return ownExitWin_;
}

void TfrmRegistryUndo::InitUndoSection() {
    LoadRestoreFiles();
    LoadCurrentReg();
    UpdateUndoButton();
}

void TfrmRegistryUndo::LoadRestoreFiles() {
    const int selected = cboUndoFiles->ItemIndex();
    cboUndoFiles->Items()->Clear();

    const std::string folder = RestoreFolder();
    const bool ageOut = gbDeleteUndoFiles->CheckBoxChecked();
    const double limit = seOlderThan->Value();
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*.reg").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            // The pattern also matches other spellings of the extension (and short names).
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || ExtractFileExt(name) != ".reg")
                continue;
            if (ageOut && AgeInDays(found.ftLastWriteTime) > limit && !IsCurrentJournal(folder + name) &&
                DeleteFileA((folder + name).c_str()))
                continue;
            names.push_back(name);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    // Time-stamp names: the newest comes last.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        cboUndoFiles->Items()->Add(name);

    const int count = cboUndoFiles->Items()->Count();
    cboUndoFiles->SetItemIndex(selected >= 0 && selected < count ? selected : count - 1);
}

void TfrmRegistryUndo::LoadCurrentReg() {
    const int index = cboUndoFiles->ItemIndex();
    if (index < 0 || index >= cboUndoFiles->Items()->Count()) {
        lvwRegKeys->Items().Clear();
        entries_.clear();
        return;
    }
    const std::string path = RestoreFolder() + (*cboUndoFiles->Items())[index];
    TStringList lines;
    bool readable = true;
    if (IsCurrentJournal(path)) {
        // The journal holds its file open; its lines are the file's text.
        lines.Assign(UndoFile.Lines);
    } else {
        try {
            lines.LoadFromFile(path);
        } catch (const EOSError&) {
            readable = false;
        }
    }
    lvwRegKeys->Items().BeginUpdate();
    lvwRegKeys->Items().Clear();
    entries_ = ParseUndoLines(lines);
    for (const TUndoEntry& entry : entries_) {
        TListItem* item = lvwRegKeys->Items().Add();
        item->SetCaption(entry.Key);
        item->SubItems().Add(entry.Text);
    }
    lvwRegKeys->Items().EndUpdate();
    if (!readable)
        ChangeStatus(wgIdle, "Error reading undo file.");
}

bool TfrmRegistryUndo::RestoreUndo(std::string& failure) {
    TRegistry reg(KEY_ALL_ACCESS | kNativeRegistryView);
    TListItems& items = lvwRegKeys->Items();
    for (int i = 0; i < items.Count() && i < static_cast<int>(entries_.size()); ++i) {
        TListItem* item = items[i];
        if (!item->Checked())
            continue;
        const TUndoEntry& entry = entries_[static_cast<size_t>(i)];
        std::string reason;
        bool restored = false;
        try {
            restored = RestoreUndoEntry(reg, entry);
            if (!restored)
                reason = "The key could not be opened or created.";
        } catch (const std::exception& error) {
            reason = error.what();
        }
        if (!restored) {
            reg.CloseKey();
            failure = "Error restoring the registry entry\r\n" + entry.Key +
                      (entry.Text.empty() ? std::string() : "\r\n" + entry.Text) + "\r\n\r\n" + reason;
            lvwRegKeys->SetSelected(item);
            item->MakeVisible(false);
            return false;
        }
        item->SetChecked(false);
    }
    return true;
}

void TfrmRegistryUndo::DeleteCurrUndoList() {
    const int index = cboUndoFiles->ItemIndex();
    if (index >= 0 && index < cboUndoFiles->Items()->Count() &&
        ShowMessageBox(Handle(), "Delete undo file?", "Confirm", MB_YESNO | MB_ICONQUESTION) == IDYES) {
        const std::string path = RestoreFolder() + (*cboUndoFiles->Items())[index];
        // The journal keeps the current run's file open: it is never deleted.
        if (!IsCurrentJournal(path) && DeleteFileA(path.c_str())) {
            ChangeStatus(wgIdle, "Deleted!");
            InitUndoSection();
        } else {
            ShowMessageBox(Handle(), "Error deleting undo file.", "Error", MB_OK | MB_ICONERROR);
        }
    }
    if (cboUndoFiles->Items()->Count() == 0)
        ShowFileControls();
}

void TfrmRegistryUndo::ChangeStatus(int glyph, const std::string& text) {
    Status->SetImageIndex(glyph);
    Status->SetCaption(text);
    Status->Repaint();
}

void TfrmRegistryUndo::ControlsVisible(bool on) {
    btnBack->SetEnabled(on);
    lblTotal->SetVisible(!on);
    ProgressBar->SetVisible(!on);
}

void TfrmRegistryUndo::ShowFileControls() {
    const bool files = cboUndoFiles->Items()->Count() > 0;
    gbSelected->SetVisible(files);
    btnTick1->SetEnabled(files);
}

void TfrmRegistryUndo::UpdateUndoButton() {
    bool ticked = false;
    const TListItems& items = lvwRegKeys->Items();
    for (int i = 0; i < items.Count() && !ticked; ++i)
        ticked = items[i]->Checked();
    btnUndo->SetEnabled(ticked);
}

void TfrmRegistryUndo::TickAll(bool checked) {
    TListItems& items = lvwRegKeys->Items();
    for (int i = 0; i < items.Count(); ++i)
        items[i]->SetChecked(checked);
    UpdateUndoButton();
}

bool TfrmRegistryUndo::IsCurrentJournal(const std::string& path) const {
    return !UndoFile.FileName.empty() && SameText(path, UndoFile.FileName);
}
