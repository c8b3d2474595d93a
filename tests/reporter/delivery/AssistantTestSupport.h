#pragma once

// Bitmaps for the assistant tests: a plain-coloured .bmp file, loaded as the reporter loads one;
// and scripted steps for a form shown modally.

#include "hxNVAssistant.h"
#include "hxNVAssistantWindow.h"
#include "hxNVBitmap.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

inline std::string TestTempFile(const std::string& name)
{
    char folder[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + name;
}

// A 32-bit .bmp of one colour.
inline bool WritePlainBmp(const std::string& path, int width, int height, COLORREF color)
{
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;  // one colour: the row order does not matter
    info.biPlanes = 1;
    info.biBitCount = 32;
    info.biCompression = BI_RGB;
    const std::uint32_t pixel = (GetRValue(color) << 16) | (GetGValue(color) << 8) | GetBValue(color);
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), pixel);
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size() * 4);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info), sizeof info);
    out.write(reinterpret_cast<const char*>(pixels.data()), static_cast<std::streamsize>(pixels.size() * 4));
    return static_cast<bool>(out);
}

inline TNVBitmapPtr PlainBitmap(int width, int height, COLORREF color)
{
    const std::string path = TestTempFile("hxAssistantTest.bmp");
    if (!WritePlainBmp(path, width, height, color))
        return nullptr;
    TNVBitmapPtr bitmap = LoadBitmapFile(path);
    DeleteFileA(path.c_str());
    return bitmap;
}

// Steps run one per timer tick inside a form's message loop; when they run out while a form is
// still up, the form is closed so that a failing test cannot hang.
class TScript {
public:
    explicit TScript(std::vector<std::function<void()>> steps) : steps_(std::move(steps))
    {
        current_ = this;
        timer_ = SetTimer(nullptr, 0, 20, &Tick);
    }
    ~TScript()
    {
        KillTimer(nullptr, timer_);
        current_ = nullptr;
    }
    TScript(const TScript&) = delete;
    TScript& operator=(const TScript&) = delete;

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD)
    {
        TScript* self = current_;
        // A step that pumps messages (a screenshot does) must not run the next one inside it.
        if (!self || self->running_)
            return;
        if (self->next_ < self->steps_.size()) {
            self->running_ = true;
            self->steps_[self->next_++]();
            self->running_ = false;
        } else if (HWND form = FindWindowA(kAssistantWindowClass, nullptr)) {
            ADD_FAILURE() << "the script ended with a form still up";
            PostMessageA(form, WM_CLOSE, 0, 0);
        }
    }

    static inline TScript* current_ = nullptr;
    std::vector<std::function<void()>> steps_;
    std::size_t next_ = 0;
    bool running_ = false;
    UINT_PTR timer_ = 0;
};

// The control of a form's item; null before the form is shown.
inline HWND Control(INVForm* form, const std::string& name)
{
    for (int i = 0; i < form->GetItemCount(); ++i)
        if (form->GetItem(i)->GetName() == name)
            return form->GetItem(i)->GetHandle();
    return nullptr;
}

// Characters posted to a control, as the keyboard would type them.
inline void Type(HWND window, const std::string& text)
{
    for (char c : text)
        PostMessageA(window, WM_CHAR, static_cast<unsigned char>(c), 1);
}
