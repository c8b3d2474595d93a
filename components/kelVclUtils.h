#pragma once

// The application's hidden window, the previous copy of the program and shell icons.

#include "Graphics.h"

#include <windows.h>

void ShowAppWindow();
void HideAppWindow();
// The application window, then the main form.
void ShowApplication();
void HideApplication();

// The application window of another running copy: same window class and title; 0 when none.
HWND FindPrevInstanceWindow();
// Restores or brings forward the other copy; false when there is none.
bool BringPrevInstanceToFront();

// Icon number index of the system folder's shell32.dll into the icons given (null: not wanted).
void ExtractShellIcon(int index, TIcon* largeIcon, TIcon* smallIcon);
