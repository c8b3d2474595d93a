#pragma once

// The backup page: exports the whole registry with the system's registry editor into a
// time-stamped file of "registrybackups\".

#include "ExtCtrls.h"
#include "Forms.h"
#include "HTMLabel.h"
#include "Handles.h"
#include "ImgList.h"
#include "KvButton.h"
#include "KvLabel.h"
#include "KvPanel.h"
#include "StdCtrls.h"

#include <string>

class TfrmRegistryBackup : public TForm {
public:
    explicit TfrmRegistryBackup(TComponent* owner);

    TKvPanel* pnlLeft = nullptr;
    TKvLabel* lblTitle = nullptr;
    TKvBitBtn* btnRun = nullptr;
    TKvBitBtn* btnBack = nullptr;
    TKvPanel* pnlRight = nullptr;
    THTMLabel* lblInstructions = nullptr;
    TTimer* tmrAfterShow = nullptr;
    // The main window's glyphs, or the page's own when there is no main window.
    TImageList* Images = nullptr;

    void btnRunClick(TObject* Sender);
    void btnBackClick(TObject* Sender);

    // Runs the export, waits for it to end and reports the outcome.
    void BackUpRegistry();
    // Starts commandLine in a new console in folder (none: the current one); an empty
    // handle when the start failed.
    static TUniqueHandle RunApp(const std::string& commandLine, const std::string& folder);

    // AppPath + "registrybackups".
    static std::string BackupFolder();
    // The command line that exports the registry into target.
    static std::string ExportCommand(const std::string& target);

private:
    void CreateControls();
};
