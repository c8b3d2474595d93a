#pragma once

// The scan and cleanup page: runs a scan thread, lists its findings, lets the user tick,
// exclude or inspect them, and fixes the ticked (or selected) ones with the undo journal.
//
// Event order of a scan: AddError ... ScanFinished (on the scan thread's behalf), then
// terminate (the thread's termination notice). Run stays disabled from ScanFinished until
// terminate, so that no new scan can free the thread while it is still inside a callback.

#include "ComCtrls.h"
#include "ExtCtrls.h"
#include "FormHelp.h"
#include "Forms.h"
#include "KvButton.h"
#include "KvListVw.h"
#include "KvPanel.h"
#include "KvStatus.h"
#include "Menus.h"
#include "RegistryWork.h"
#include "StdCtrls.h"
#include "StringList.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TrsIniData;
class TrsPropSaver;
class TrsStorage;

class TfrmRegistryCleanup : public TForm {
    DECLARE_CLASS_INFO()

public:
    explicit TfrmRegistryCleanup(TComponent* owner);
    ~TfrmRegistryCleanup() override;

    TKvListView* lvwRegKeys = nullptr;
    // Column widths and the window's placement, kept in "RegistryCleanup.ini" beside the program.
    TrsStorage* rsStorage = nullptr;
    TrsIniData* rsIniData = nullptr;
    TrsPropSaver* rsPropSaver1 = nullptr;
    TKvBitBtn* btnRun = nullptr;
    TKvBitBtn* btnDeleteInvalidEntries = nullptr;
    TKvMenuButton* btnTick = nullptr;
    TKvBitBtn* btnBack = nullptr;
    TKvToolButton* btnHint = nullptr;
    TFormHelp* FormHelp1 = nullptr;
    TKvStatusBar* StatusBar = nullptr;
    TKvGlyphStatus* Status = nullptr;
    TKvStatusPane* lblTotal = nullptr;
    TProgressBar* ProgressBar = nullptr;
    TLabel* lblRegKey = nullptr;
    TPopupMenu* PopupCleanup = nullptr;
    TMenuItem* mnuViewSelected = nullptr;
    TMenuItem* mnuExcludeSelected = nullptr;
    TMenuItem* mnuDeleteSelected = nullptr;
    TPopupMenu* PopupSelect = nullptr;
    TMenuItem* All1 = nullptr;
    TMenuItem* None1 = nullptr;
    TTimer* tmrAfterShow = nullptr;

    // Page state.
    bool Running = false;
    bool StopRequested = false;
    TRegistryCheckThread* Thread() const { return thread_.get(); }

    // The pause ScanFinished keeps pumping messages for before the page is idle again;
    // tests and the benchmark shorten it.
    unsigned FinishPauseMs = 2500;

    // Which checks the next scan runs; by default read from the settings page (frmCleanupSettings).
    std::function<TScanOptions()> ReadScanOptions;

    // Handlers bound in the form.
    void FormShow(TObject* Sender);
    void FormCloseQuery(TObject* Sender, bool& CanClose);
    void FormClose(TObject* Sender, TCloseAction& Action);
    void btnRunClick(TObject* Sender);
    void btnDeleteInvalidEntriesClick(TObject* Sender);
    void btnBackClick(TObject* Sender);
    void lvwRegKeysCheckStateChange(TObject* Sender, TListItem* Item);
    void lvwRegKeysDblClick(TObject* Sender);
    void lvwRegKeysDeletion(TObject* Sender, TListItem* Item);
    void PopupCleanupPopup(TObject* Sender);
    void mnuViewSelectedClick(TObject* Sender);
    void mnuExcludeSelectedClick(TObject* Sender);
    void mnuDeleteSelectedClick(TObject* Sender);
    void All1Click(TObject* Sender);
    void None1Click(TObject* Sender);
    void tmrAfterShowTimer(TObject* Sender);

    // Thread event receivers.
    void ShowProgress(TObject* Sender);
    void ShowStatus(TObject* Sender);
    void AddError(TObject* Sender);
    void ScanFinished(TObject* Sender);
    void FixError(TObject* Sender);
    void ClearFinished(TObject* Sender);
    void terminate(TObject* Sender);

    void ChangeStatus(int glyph, const std::string& text);
    void ControlsVisible(bool on);
    void PopupsVisible(bool on);
    void Run();
    void Stop();

private:
    void CreateControls();
    void ScanAuto();
    void CleanReg();
    void TickAll(bool checked);
    bool AnyTicked() const;
    bool IsExcluded(const std::string& path) const;
    // Findings the journal refused stay listed, and their rows say why.
    void ShowKeptFindings();
    // Idle controls after a fix that could not start.
    void RestoreAfterFailedFix();
    // The controls of a scan that ended: Run comes back with the thread's end.
    void ShowScanEnd();
    // Processes messages as they come for the given time.
    void PumpFor(unsigned milliseconds);
    // A fix may start: a scan ran and is over.
    bool CanFix() const;
    // Marks for fixing exactly the findings whose items answer true.
    void MarkFindings(bool (TListItem::*marked)() const);

    // Shows all that the scan's events left for the display, and stops the refresh timer.
    void RefreshDisplay();
    // The scan's events call it: the refresh timer runs until RefreshDisplay.
    void RefreshDue();
    // Shows the noted status, progress and total, and the queued rows when listRows.
    void ShowPending(bool listRows);

    std::unique_ptr<TRegistryCheckThread> thread_;
    struct {
        bool progress = false, hasStatus = false, hasTotal = false;
        int total = 0, position = 0;
        std::string status, totalText;
    } pending_;
    bool listHeld_ = false;  // the list is in an update since the last refresh
    // Findings not listed yet: the found event only queues them, so that the scan thread does
    // not wait while rows go in; the refresh timer lists them, and every end of a scan.
    std::vector<TRegistryError*> pendingRows_;
    ULONGLONG lastListed_ = 0;
    TTimer* refreshTimer_ = nullptr;
    void ListPendingRows();
    // From ScanAuto until the thread's termination notice.
    bool threadActive_ = false;
    bool inScanFinished_ = false;
    bool scanFinishedSeen_ = false;
    bool ticking_ = false;  // TickAll answers the check events once, at its end
};

// Full key paths never listed nor fixed, one per line of AppPath + "ExcludedKeys.txt";
// exists while the page is shown.
extern std::unique_ptr<TStringList> ExcludedKeys;

// Drives the system registry editor to the key (and value) by simulated key strokes;
// "Can't run Regedit." when its window cannot be found or started.
void OpenRegEditWithKey(const std::string& keyPath, const std::string& valueName);

// Starts the registry editor and waits until it is idle; false when it could not start.
// Tests replace it so that no real editor starts; an empty function restores the system's.
using TRegEditStarter = std::function<bool()>;
TRegEditStarter SetRegEditStarter(TRegEditStarter starter);
