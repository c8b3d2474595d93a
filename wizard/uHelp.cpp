#include "uHelp.h"

#include "uMain.h"

const char* const ProductFaqAddress = "http://www.example.com/hivesweep/faq.html";

TfrmHelp::TfrmHelp(TComponent* owner) : TForm(owner) {
    SetName("frmHelp");
    BuildForm([this] { CreateControls(); });
}

void TfrmHelp::CreateControls() {
    SetCaption("Learn More ...");
    SetBorderStyle(bsDialog);
    SetPosition(poMainFormCenter);
    SetClientSize(500, 300);

    Images = PageImages(*this);

    const TSidePanels panels = MakeSidePanels(*this, "Learn More ...");
    pnlLeft = panels.Left;
    lblTitle = panels.Title;
    pnlRight = panels.Right;

    btnBack = new TKvBitBtn(this);
    btnBack->SetName("btnBack");
    btnBack->SetParent(pnlLeft);
    btnBack->SetBounds(12, 260, 108, 30);
    btnBack->SetCaption("Back");
    btnBack->SetImages(Images);
    btnBack->SetImageIndex(wgBack);
    btnBack->SetMargin(8);
    btnBack->SetSpacing(8);
    btnBack->SetAlignment(taLeftJustify);
    btnBack->SetCancel(true);
    btnBack->OnClick = TNotifyEvent(this, &TfrmHelp::btnBackClick);

    lblFaq = new TLabel(this);
    lblFaq->SetName("lblFaq");
    lblFaq->SetParent(pnlRight);
    lblFaq->SetAutoSize(false);
    lblFaq->SetWordWrap(true);
    lblFaq->SetBounds(16, 16, 336, 48);
    lblFaq->SetCaption(
        "To learn more about Windows Registry read the product FAQ. It explains what the registry is "
        "and how a clean registry helps your computer.");

    lblFeatures = new TLabel(this);
    lblFeatures->SetName("lblFeatures");
    lblFeatures->SetParent(pnlRight);
    lblFeatures->SetAutoSize(false);
    lblFeatures->SetWordWrap(true);
    lblFeatures->SetBounds(16, 76, 336, 130);
    lblFeatures->SetCaption(
        "With this program you can:\r\n"
        "  -  back up the whole registry before you change it,\r\n"
        "  -  find entries that point to files and programs that are gone,\r\n"
        "  -  remove them all or only those you choose,\r\n"
        "  -  undo any cleanup later from its undo file.");

    btnFAQ = new TKvRapidFireButton(this);
    btnFAQ->SetName("btnFAQ");
    btnFAQ->SetParent(pnlRight);
    btnFAQ->SetBounds(16, 252, 150, 30);
    btnFAQ->SetCaption("Product FAQ        ");
    btnFAQ->SetHint(ProductFaqAddress);
    btnFAQ->SetShowHint(true);
    btnFAQ->OnClick = TNotifyEvent(this, &TfrmHelp::btnFAQClick);
    // The help glyph, on the bottom-left pixel's colour, which the button leaves out.
    TBitmap glyph;
    glyph.SetSize(16, 16);
    glyph.Canvas().Brush().SetColor(clFuchsia);
    glyph.Canvas().FillRect(MakeRect(0, 0, 16, 16));
    Images->Draw(glyph.Canvas(), 0, 0, wgHelp);
    btnFAQ->SetGlyph(&glyph);
    btnFAQ->SetMargin(10);
    btnFAQ->SetSpacing(10);
}

void TfrmHelp::btnFAQClick(TObject*) {
    // The button repeats its click while it is held down: the page opens once per press.
    if (btnFAQ->State() == bsDown)
        return;
    ShellOpen(Handle(), "open", ProductFaqAddress, "", "", SW_SHOWNORMAL);
}

void TfrmHelp::btnBackClick(TObject*) { Close(); }
