#pragma once

// A small "please wait" box with an optional icon, a status line and a progress bar. It has no
// thread of its own: on the thread that showed it calls update and pump the window; from other
// threads they post, so no call waits for the window's thread.

#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>

class IProgressAlert : public IUnknown {
public:
    virtual std::string GetTitle() = 0;
    virtual void SetTitle(const std::string& text) = 0;
    // Position within the current area, 0-1000.
    virtual int GetPosition() = 0;
    virtual void SetPosition(int value) = 0;
    // An empty text repeats the previous area's text.
    virtual void AddArea(const std::string& text, int64_t weight) = 0;
    virtual void ClearAreas() = 0;
    virtual void AreaDone() = 0;
    virtual int GetCurrentArea() = 0;
    // Index = area count means finished: the last area at position 1000.
    virtual void SetCurrentArea(int index) = 0;
    // Dispatches the waiting messages of the window's thread; elsewhere does nothing.
    virtual void ProcessMessages() = 0;
    // False when the box is already shown or cannot be created. Parent is disabled meanwhile.
    virtual bool Show(HWND parent, bool centred) = 0;
    virtual void Close() = 0;
};
__CRT_UUID_DECL(IProgressAlert, 0x3d06bf68, 0x340e, 0x4402, 0x9d, 0xdb, 0x0e, 0x63, 0x54, 0x7c, 0x40, 0x49)

using TProgressAlertPtr = Microsoft::WRL::ComPtr<IProgressAlert>;

// iconName names a bitmap resource in iconModule: a 40-byte header and 32 x 32 pixels of 32 bits
// with alpha. Without it the box has no icon.
TProgressAlertPtr CreateProgressAlert(const std::string& title, HMODULE iconModule,
                                      const std::string& iconName);
