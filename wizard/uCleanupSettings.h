#pragma once

// The first page of the cleanup wizard: which checks the scan runs. The scan page reads the
// choices straight from the check boxes; the page answers the main window through WizardResult.

#include "Forms.h"
#include "ImgList.h"
#include "KvButton.h"
#include "KvLaunch.h"
#include "StdCtrls.h"
#include "kelControls.h"

#include <string>
#include <vector>

class TfrmCleanupSettings : public TForm {
    DECLARE_CLASS_INFO()

public:
    explicit TfrmCleanupSettings(TComponent* owner);

    TGroupBox* gbOptions = nullptr;
    TCheckBox* chkClassesSection = nullptr;
    TCheckBox* chkClearFileList = nullptr;
    // Its caption check box gates the seven boxes inside.
    TkelGroupBox* gbClearSoftware = nullptr;
    TCheckBox* chkSharedDLL = nullptr;
    TCheckBox* chkInvalidFileAssociations = nullptr;
    TCheckBox* chkWinStartup = nullptr;
    TCheckBox* chkAPPPath = nullptr;
    TCheckBox* chkHelp = nullptr;
    TCheckBox* chkFonts = nullptr;
    TCheckBox* chkSounds = nullptr;
    TKvLauncher* Launcher = nullptr;
    TImageList* ImageList1 = nullptr;
    TKvBitBtn* btnBack = nullptr;
    TKvBitBtn* btnNext = nullptr;
    TKvToolButton* btnHint = nullptr;
    // The instructions; plain text until the marked-up label takes its place.
    TLabel* HTMLabel1 = nullptr;

    // The properties the page keeps between runs, as paths from the form, in the order
    // they are stored.
    static const std::vector<std::string>& StoredProperties();

    void FormShow(TObject* Sender);
    void btnBackClick(TObject* Sender);
    void btnNextClick(TObject* Sender);

private:
    void CreateControls();
};
