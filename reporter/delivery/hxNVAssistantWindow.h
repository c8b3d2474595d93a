#pragma once

// The window that shows one assistant form: layout, painting, owner-drawn buttons and check
// boxes, and its own message loop (TNVForm::ShowModal and the items' Layout, Paint and Draw).

#include <windows.h>

#include <string>

constexpr const char* kAssistantWindowClass = "hxNVAssistantWnd";
constexpr UINT_PTR kAssistantTimerId = 777;
constexpr int kItemLeft = 21;
constexpr int kFirstItemTop = 40;

// face + d per channel (capped at 255) or face - d (floored at 0) when add is false; when two or
// more channels would hit the cap or floor, the opposite operation is done instead.
COLORREF ShiftFaceColor(COLORREF face, COLORREF d, bool add) noexcept;
// Halfway between the colour and white.
COLORREF LightFace(COLORREF face) noexcept;

// A font as the form uses it: height -size, bold or normal, default character set.
HFONT CreateAssistantFont(const char* name, int size, bool bold) noexcept;
