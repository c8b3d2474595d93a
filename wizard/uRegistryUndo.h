#pragma once

// The undo page: lists the undo files of "restore\", shows the entries of the chosen one as a
// list with check boxes, writes the ticked entries back into the registry, deletes undo files
// and offers a reboot after a restore.

#include "ComCtrls.h"
#include "FormHelp.h"
#include "Forms.h"
#include "ImgList.h"
#include "KvButton.h"
#include "KvListVw.h"
#include "KvPanel.h"
#include "KvStatus.h"
#include "Menus.h"
#include "Spin.h"
#include "StdCtrls.h"
#include "UndoReader.h"
#include "kelComponents.h"
#include "kelControls.h"

#include <string>
#include <vector>

class TrsIniData;
class TrsPropSaver;
class TrsStorage;

class TfrmRegistryUndo : public TForm {
public:
    explicit TfrmRegistryUndo(TComponent* owner);

    TKvListView* lvwRegKeys = nullptr;
    TGroupBox* gbUndoFiles = nullptr;  // "Select Undo File"
    TComboBox* cboUndoFiles = nullptr;
    TGroupBox* gbSelected = nullptr;  // "Selected Undo File"
    TKvBitBtn* btnUndo = nullptr;
    TKvBitBtn* btnDeleteUndoFile = nullptr;
    TKvMenuButton* btnTick1 = nullptr;
    TPopupMenu* PopupSelect = nullptr;
    TMenuItem* All1 = nullptr;
    TMenuItem* None1 = nullptr;
    TKvBitBtn* btnBack = nullptr;
    TKvToolButton* btnHint = nullptr;
    TFormHelp* FormHelp1 = nullptr;
    TkelGroupBox* gbDeleteUndoFiles = nullptr;
    TLabel* lblOlderThan = nullptr;
    TSpinEdit* seOlderThan = nullptr;
    TLabel* lblDays = nullptr;
    TKvStatusBar* StatusBar = nullptr;
    TKvGlyphStatus* Status = nullptr;
    TKvStatusPane* lblTotal = nullptr;
    TProgressBar* ProgressBar = nullptr;
    // The main window's glyphs, or the page's own when there is no main window.
    TImageList* Images = nullptr;
    // Column widths, the ageing box and its days, kept in "RegistryUndo.ini" beside the program.
    TrsStorage* rsStorage = nullptr;
    TrsIniData* rsIniData = nullptr;
    TrsPropSaver* rsPropSaver1 = nullptr;

    void FormShow(TObject* Sender);
    void FormClose(TObject* Sender, TCloseAction& Action);
    void cboUndoFilesChange(TObject* Sender);
    void btnUndoClick(TObject* Sender);
    void btnDeleteUndoFileClick(TObject* Sender);
    void btnBackClick(TObject* Sender);
    void lvwRegKeysCheckStateChange(TObject* Sender, TListItem* Item);
    void lvwRegKeysDblClick(TObject* Sender);
    void All1Click(TObject* Sender);
    void None1Click(TObject* Sender);

    // The file list, then the entries of the selected file.
    void InitUndoSection();
    // Lists the ".reg" files of the folder, sorted by name; with "Delete Undo Files" ticked,
    // those older than seOlderThan days are deleted instead.
    void LoadRestoreFiles();
    // The entries of the selected file: the current run's from the journal's lines.
    void LoadCurrentReg();
    // Writes the ticked entries back in list order, unticking each one written. Stops at the
    // first entry that fails; failure then describes it.
    bool RestoreUndo(std::string& failure);
    void DeleteCurrUndoList();
    void ChangeStatus(int glyph, const std::string& text);
    void ControlsVisible(bool on);

    // AppPath + "restore\".
    static std::string RestoreFolder();
    // The shutdown component that reboots: the main window's.
    TkelShutdown* ExitWin();
    // The parsed entries, one per list item in the same order.
    const std::vector<TUndoEntry>& Entries() const { return entries_; }

private:
    void CreateControls();
    // Shows the undo-file controls only while there is a file.
    void ShowFileControls();
    void UpdateUndoButton();
    void TickAll(bool checked);
    bool IsCurrentJournal(const std::string& path) const;

    std::vector<TUndoEntry> entries_;
    TkelShutdown* ownExitWin_ = nullptr;
};
