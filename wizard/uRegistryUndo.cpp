#include "uRegistryUndo.h"

TfrmRegistryUndo::TfrmRegistryUndo(TComponent* owner) : TForm(owner) {
    SetName("frmRegistryUndo");
    BuildForm([this] { CreateControls(); });
}

void TfrmRegistryUndo::CreateControls() {
    SetCaption("Undo Registry Cleanup");
    SetBorderStyle(bsSingle);
    SetBorderIcons({biSystemMenu});
    SetPosition(poMainFormCenter);
    SetClientSize(480, 320);
}
