#include "uCleanupSettings.h"

TfrmCleanupSettings::TfrmCleanupSettings(TComponent* owner) : TForm(owner) {
    SetName("frmCleanupSettings");
    BuildForm([this] { CreateControls(); });
}

void TfrmCleanupSettings::CreateControls() {
    SetCaption("Cleanup Settings");
    SetBorderStyle(bsSingle);
    SetBorderIcons({biSystemMenu, biMinimize});
    SetPosition(poScreenCenter);
    SetClientSize(480, 320);
}
