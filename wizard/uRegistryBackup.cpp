#include "uRegistryBackup.h"

TfrmRegistryBackup::TfrmRegistryBackup(TComponent* owner) : TForm(owner) {
    SetName("frmRegistryBackup");
    BuildForm([this] { CreateControls(); });
}

void TfrmRegistryBackup::CreateControls() {
    SetCaption("Registry Backup");
    SetBorderStyle(bsSingle);
    SetBorderIcons({biSystemMenu});
    SetPosition(poMainFormCenter);
    SetClientSize(480, 320);
}
