#pragma once

// Pictures of windows for a person to look at: a form as it shows on the screen, written as a
// PNG into the folder the test run names (SCREENSHOT_OUT) or beside the test program.

#include "Forms.h"
#include "Graphics.h"
#include "hxNVBitmap.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace guitest {

// The window's screen area as it shows now.
inline bool CaptureWindow(HWND window, TBitmap& shot) {
    RECT bounds;
    GetWindowRect(window, &bounds);
    shot.SetSize(bounds.right - bounds.left, bounds.bottom - bounds.top);
    HDC screen = GetDC(nullptr);
    BOOL copied = BitBlt(shot.Canvas().Handle(), 0, 0, shot.Width(), shot.Height(), screen, bounds.left, bounds.top,
                         SRCCOPY);
    ReleaseDC(nullptr, screen);
    return copied != FALSE;
}

// Writes shot as <name>.png; true when the PNG was written.
inline bool SaveScreenshot(TBitmap& shot, const std::string& name) {
    std::string base;
    if (const char* folder = std::getenv("SCREENSHOT_OUT")) {
        base = std::string(folder) + "\\";
    } else {
        char exe[MAX_PATH] = "";
        GetModuleFileNameA(nullptr, exe, sizeof(exe));
        base = exe;
        base.erase(base.find_last_of('\\') + 1);
    }
    CreateDirectoryA(base.c_str(), nullptr);
    shot.SaveToFile(base + name + ".bmp");
    TNVBitmapPtr loaded = LoadBitmapFile(base + name + ".bmp");
    bool saved = loaded && loaded->SavePng(base + name + ".png", 0);
    DeleteFileA((base + name + ".bmp").c_str());
    return saved;
}

// Repaints the window with all its children now and saves what shows as <name>.png.
inline bool SaveWindowScreenshot(HWND window, const std::string& name) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Application.ProcessMessages();
    TBitmap shot;
    return CaptureWindow(window, shot) && SaveScreenshot(shot, name);
}

}  // namespace guitest
