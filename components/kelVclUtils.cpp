#include "kelVclUtils.h"

#include "Forms.h"
#include "kelSysUtils.h"

#include <string>

namespace {

// The class of the framework's hidden application window.
constexpr const char* kApplicationClass = "TApplication";
// A copy that does not answer within this time is left alone.
constexpr UINT kRestoreTimeoutMs = 5000;

HWND ExistingAppWindow() {
    HWND window = Application.Handle();
    return IsWindow(window) ? window : nullptr;
}

}  // namespace

void ShowAppWindow() {
    if (HWND window = ExistingAppWindow())
        ShowWindow(window, SW_SHOWNORMAL);
}

void HideAppWindow() {
    HWND window = ExistingAppWindow();
    if (window && IsWindowVisible(window))
        ShowWindow(window, SW_HIDE);
}

void ShowApplication() {
    ShowAppWindow();
    if (TCustomForm* form = Application.MainForm())
        form->SetVisible(true);
}

void HideApplication() {
    HideAppWindow();
    if (TCustomForm* form = Application.MainForm())
        form->SetVisible(false);
}

HWND FindPrevInstanceWindow() {
    HWND own = Application.Handle();
    const std::string& title = Application.Title();
    HWND found = nullptr;
    do
        found = FindWindowExA(nullptr, found, kApplicationClass, title.c_str());
    while (found && found == own);
    return found;
}

bool BringPrevInstanceToFront() {
    HWND window = FindPrevInstanceWindow();
    if (!IsWindow(window))
        return false;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    // The other copy may take the foreground for its own forms.
    AllowSetForegroundWindow(process);
    if (IsIconic(window))
        OpenIcon(window);
    else
        SetForegroundWindow(window);
    // The framework's application window stays hidden while its main form is minimised on
    // its own: restoring the application window brings that form back. Sent, so that the
    // other copy has done it when this call returns.
    SendMessageTimeoutA(window, WM_SYSCOMMAND, SC_RESTORE, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, kRestoreTimeoutMs,
                        nullptr);
    return true;
}

void ExtractShellIcon(int index, TIcon* largeIcon, TIcon* smallIcon) {
    HICON largeHandle = nullptr;
    HICON smallHandle = nullptr;
    const std::string library = SystemFolder() + "shell32.dll";
    if (ExtractIconExA(library.c_str(), index, largeIcon ? &largeHandle : nullptr, smallIcon ? &smallHandle : nullptr, 1) == 0)
        return;
    if (largeIcon && largeHandle)
        largeIcon->SetHandle(largeHandle);
    if (smallIcon && smallHandle)
        smallIcon->SetHandle(smallHandle);
}
