#pragma once

// Bracket markup for help texts and the small routines the help components share.
//
// Markup: [B] [I] [U] [S] and any combination of these letters switch the style, [] and
// unknown tags switch to the plain style, a colour name such as [BLUE] changes the colour,
// [DEF] (or [DEFAULT]) returns to the base font. The renderer lays a text out into a bitmap.

#include "Controls.h"
#include "Graphics.h"

#include <string>
#include <vector>

class TFormHelp;

enum TRenderFlag {
    rfAccelChar,    // "&x" underlines x, "&&" draws "&"
    rfTwoPass,      // embossed: highlight one pixel lower, then the text one pixel higher
    rfShadow,       // a checkered shadow along the box's bottom and right edges
    rfBox,          // a framed box in the background colour
    rfWordWrap,     // wrap lines at the width
    rfAdjustWidth,  // narrow the bitmap to the widest line
    rfPlainText,    // tags are text
};
using TRenderFlags = TSet<TRenderFlag>;

struct TTaggedTextParams {
    TBitmap* Bitmap = nullptr;     // sized and drawn on
    HDC Background = nullptr;      // the screen under the pop-up shows through; null: filled
    TPoint Origin{0, 0};           // added to every line's position
    TRenderFlags Flags;
    int MarginX = 0;
    int MarginY = 0;
    char TagOpen = '[';
    char TagClose = ']';
    int Width = 0;                 // negative: nothing is drawn
    TColor Color = clWindow;       // background
    TColor ShadowColor = clBlack;
    const TFont* Font = nullptr;   // null: the bitmap canvas's font
    std::string Text;
    TPoint* Position = nullptr;    // screen position of the pop-up, moved onto the screen
    SIZE Size{0, 0};               // out: the bitmap's size
};

// Sizes the bitmap to the text, moves Position so that the pop-up is centred on it and stays on
// the screen, and draws the background, box, shadow and lines.
void RenderTaggedText(TTaggedTextParams& params);

// The lines of text as the renderer breaks them (CR LF or a lone LF, then word wrap).
std::vector<std::string> WrapTaggedText(TCanvas& canvas, const std::string& text, int width, int marginX,
                                        char tagOpen, char tagClose, bool plain, int* widest = nullptr);

// The width of one line with its tags applied, starting at marginX.
int MeasureTaggedLine(TCanvas& canvas, const std::string& line, int marginX, char tagOpen, char tagClose);

// The text without any known tag; unknown bracketed text stays.
std::string StripTags(const std::string& text, char tagOpen = '[', char tagClose = ']');

// The colour of a colour tag name (upper case), false when it is none.
bool TagColor(const std::string& name, TColor& color);

// The first TFormHelp among the components of control's top owner (below the application).
TFormHelp* FindFormHelp(const TControl* control);

// Skip flags of ControlAtPos, as the system's child-window search takes them.
enum : unsigned { capSkipInvisible = 1, capSkipDisabled = 2, capSkipTransparent = 4 };
// The control whose window lies deepest under a screen point (or the nearest parent window's).
TWinControl* ControlAtPos(TPoint point, bool skipInvisible, bool skipDisabled, bool skipTransparent);

// Set a published property of the matching kind when the instance has one; true when set.
bool SetMethodPropByName(TObject& instance, const std::string& name, const TNotifyEvent& method);
bool SetIntPropByName(TObject& instance, const std::string& name, int value);
bool SetEnumPropByName(TObject& instance, const std::string& name, int value);
// The published "Down", or "Checked" when there is none.
bool SetDown(TObject& control, bool value);

// Puts text on the clipboard in format (CF_TEXT ...); false when it could not.
bool ClipboardSetText(UINT format, const std::string& text);

// 0 unknown; 9x: 1 (95), 2 (95 B), 3 (98), 4 (98 A); NT: 5 (3.x), 6 (4), 7 (5.x).
int GetOSVersionCode();
// Every version of the NT platform.
bool IsWinNT();
bool IsWinXPOrLater();
bool IsComCtl6OrLater();

// The theme library, bound by name once.
bool LoadThemeLibrary();
bool ThemeIsActive();

// The system's push-button frame, pushed or not; rect shrinks to the inside.
void DrawPushFrame(HDC dc, TRect& rect, bool pushed);

// 1-based position of the last sub in s, 0 when none (the utility components' routine).
int LastPos(const std::string& sub, const std::string& s);
// The height of "Wj" in the canvas's font.
int LineHeight(TCanvas& canvas);
