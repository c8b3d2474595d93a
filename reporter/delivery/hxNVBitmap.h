#pragma once

// The reporter's 32-bit bitmap: screen capture, .bmp files, resizing and compact PNG encoding;
// and the pixels of the 32-bit pictures the reporter keeps as bitmap resources.

#include <windows.h>
#include <wrl/client.h>

#include <string>

class INVBitmap : public IUnknown {
public:
    virtual int GetWidth() = 0;
    virtual int GetHeight() = 0;
    // Copies the whole bitmap to dc at (x, y).
    virtual bool Draw(HDC dc, int x, int y) = 0;
    virtual bool SaveBmp(const std::string& fileName) = 0;
    // Mode 0: palette image; 1: 16-level grey; 2-5: palette image unless it is larger than
    // 50, 100, 200 or 300 KiB and the grey one is smaller. A failed write deletes the file.
    virtual bool SavePng(const std::string& fileName, int mode) = 0;
    // A new bitmap fitting maxWidth x maxHeight with the aspect ratio kept; null on failure.
    virtual Microsoft::WRL::ComPtr<INVBitmap> Resize(int maxWidth, int maxHeight) = 0;
};
__CRT_UUID_DECL(INVBitmap, 0xb3a105bd, 0xd836, 0x4446, 0xa0, 0x6a, 0x81, 0x6a, 0xc2, 0x7c, 0xc4, 0x20)

using TNVBitmapPtr = Microsoft::WRL::ComPtr<INVBitmap>;

// The virtual screen with the mouse cursor; with ownWindowsOnly everything outside this
// process's visible top-level windows is white, and null when there is no such window.
TNVBitmapPtr CaptureDesktop(bool ownWindowsOnly);

// A .bmp file of any shape, converted to 32 bits; null when it cannot be read or breaks one of
// the picture check's bitmap rules (nothing of such a file reaches the system).
TNVBitmapPtr LoadBitmapFile(const std::string& fileName);

// The pixels (bottom-up BGRA with straight alpha, after the 40-byte header) of the bitmap
// resource name when it is exactly size x size pixels of 32 bits; null otherwise.
const BYTE* AlphaBitmapPixels(HMODULE module, const std::string& name, int size);
