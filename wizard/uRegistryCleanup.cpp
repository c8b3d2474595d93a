#include "uRegistryCleanup.h"

TfrmRegistryCleanup::TfrmRegistryCleanup(TComponent* owner) : TForm(owner) {
    SetName("frmRegistryCleanup");
    BuildForm([this] { CreateControls(); });
}

void TfrmRegistryCleanup::CreateControls() {
    SetCaption("Registry Cleanup");
    SetBorderStyle(bsSingle);
    SetBorderIcons({biSystemMenu});
    SetPosition(poMainFormCenter);
    SetClientSize(480, 320);
}
