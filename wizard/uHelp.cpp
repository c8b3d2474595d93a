#include "uHelp.h"

TfrmHelp::TfrmHelp(TComponent* owner) : TForm(owner) {
    SetName("frmHelp");
    BuildForm([this] { CreateControls(); });
}

void TfrmHelp::CreateControls() {
    SetCaption("Learn More ...");
    SetBorderStyle(bsSingle);
    SetBorderIcons({biSystemMenu});
    SetPosition(poMainFormCenter);
    SetClientSize(480, 320);
}
