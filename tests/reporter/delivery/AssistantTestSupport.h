#pragma once

// Bitmaps for the assistant tests: a plain-coloured .bmp file, loaded as the reporter loads one.

#include "hxNVBitmap.h"

#include <windows.h>

#include <cstdint>
#include <fstream>
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
