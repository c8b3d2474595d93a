#pragma once

// The exception box: the window that tells the user that the program failed and offers the
// actions on the bug report. The full box has hand-drawn flat buttons with small pictures, an
// optional countdown that takes the focused action by itself and, with "AutoShowBugRep", the
// details view; the plain box has an OK button and perhaps a Details button.

#include "hxExceptHandling.h"

#include <wrl/client.h>

// Builds and shows the box; runs in the handling flow's modal loop.
Microsoft::WRL::ComPtr<IHxExceptionBox> CreateExceptionBox(IVQException* exception, bool plainStyle,
                                                           bool styleIsTwo, bool beep);

// The class of the box's window.
inline constexpr const char* ExceptionBoxClassName = "hxExceptWndClass";
// Posted to the box when the report changed: the details view is rebuilt.
inline constexpr UINT ReportUpdatedMessage = 0x709;
inline constexpr WPARAM ReportUpdatedWParam = 1357;
inline constexpr LPARAM ReportUpdatedLParam = 2468;
// The countdown's timer.
inline constexpr UINT_PTR CountdownTimerId = 777;
