#pragma once

// The first page of the cleanup wizard: which checks the scan runs. The scan page reads the
// choices straight from the check boxes; the page answers the main window through WizardResult.

#include "FormHelp.h"
#include "Forms.h"
#include "HTMLabel.h"
#include "ImgList.h"
#include "KvButton.h"
#include "KvLaunch.h"
#include "StdCtrls.h"
#include "kelControls.h"

#include <string>
#include <vector>

class TrsIniData;
class TrsPropSaver;
class TrsStorage;

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
    TFormHelp* FormHelp1 = nullptr;
    // The instructions, the words to look for in bold orange.
    THTMLabel* HTMLabel1 = nullptr;
    // The choices kept between runs in "CleanupSettings.ini" beside the program: loaded when
    // the page is made, put back when it closes, written when it is freed.
    TrsStorage* rsStorage = nullptr;
    TrsIniData* rsIniData = nullptr;
    TrsPropSaver* rsPropSaver1 = nullptr;

    // The properties the page keeps between runs, as paths from the form, in the order
    // they are stored.
    static const std::vector<std::string>& StoredProperties();

    void FormShow(TObject* Sender);
    void btnBackClick(TObject* Sender);
    void btnNextClick(TObject* Sender);

private:
    void CreateControls();
};
