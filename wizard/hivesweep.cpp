#include "Forms.h"
#include "KvShellCom.h"
#include "KvShellInfo.h"
#include "kelComponents.h"
#include "uCleanupSettings.h"
#include "uHelp.h"
#include "uMain.h"
#include "uRegistryBackup.h"
#include "uRegistryCleanup.h"
#include "uRegistryUndo.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    TKvShellCom shellCom;
    TKvShellInfo shellInfo;
    try {
        // The utility components can be made by name.
        RegisterKelComponents();
        Application.Initialize();
        Application.SetTitle("Quorvia Free Registry Cleaner");
        // The first form made is the main window.
        Application.CreateForm(frmMain);
        Application.CreateForm(frmCleanupSettings);
        Application.CreateForm(frmHelp);
        Application.CreateForm(frmRegistryBackup);
        Application.CreateForm(frmRegistryCleanup);
        Application.CreateForm(frmRegistryUndo);
        Application.Run();
    } catch (...) {
        Application.HandleException(nullptr);
    }
    return 0;
}
