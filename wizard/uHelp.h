#pragma once

// The help page: points to the product FAQ on the web.

#include "Forms.h"
#include "ImgList.h"
#include "KvButton.h"
#include "KvLabel.h"
#include "KvPanel.h"
#include "KvSpnEdt.h"
#include "StdCtrls.h"

// Where the product FAQ lies.
extern const char* const ProductFaqAddress;

class TfrmHelp : public TForm {
public:
    explicit TfrmHelp(TComponent* owner);

    TKvPanel* pnlLeft = nullptr;
    TKvLabel* lblTitle = nullptr;
    TKvBitBtn* btnBack = nullptr;
    TKvPanel* pnlRight = nullptr;
    TLabel* lblFaq = nullptr;
    TLabel* lblFeatures = nullptr;
    TKvRapidFireButton* btnFAQ = nullptr;
    // The main window's glyphs, or the page's own when there is no main window.
    TImageList* Images = nullptr;

    void btnFAQClick(TObject* Sender);
    void btnBackClick(TObject* Sender);

private:
    void CreateControls();
};
