#include "FormHelpUtils.h"

#include "FormHelp.h"
#include "Forms.h"
#include "SysUtils.h"
#include "TypInfo.h"

#include <commctrl.h>
#include <shlwapi.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

struct TTagColor {
    const char* Name;
    TColor Value;
};

constexpr TTagColor kTagColors[] = {
    {"BLACK", clBlack}, {"MAROON", clMaroon}, {"GREEN", clGreen},   {"OLIVE", clOlive},
    {"NAVY", clNavy},   {"PURPLE", clPurple}, {"TEAL", clTeal},     {"GRAY", clGray},
    {"SILVER", clSilver}, {"RED", clRed},     {"LIME", clLime},     {"YELLOW", clYellow},
    {"BLUE", clBlue},   {"FUCHSIA", clFuchsia}, {"AQUA", clAqua},   {"WHITE", clWhite},
};

// The tags the stripper knows, in the order it tries them: the empty tag, every ordering of
// one to four different style letters, the colours, then "DEFAULT" and "DEF".
const std::vector<std::string>& StripTable() {
    static const std::vector<std::string> table = [] {
        std::vector<std::string> tags{""};
        const std::string letters = "BIUS";
        for (size_t length = 1; length <= 4; ++length) {
            // Orderings of length letters, in the order of the letters above.
            std::array<int, 4> index{0, 1, 2, 3};
            std::vector<std::string> found;
            do {
                std::string tag;
                for (size_t i = 0; i < length; ++i)
                    tag += letters[static_cast<size_t>(index[i])];
                if (std::find(found.begin(), found.end(), tag) == found.end())
                    found.push_back(tag);
            } while (std::next_permutation(index.begin(), index.end()));
            tags.insert(tags.end(), found.begin(), found.end());
        }
        for (const TTagColor& color : kTagColors)
            tags.push_back(color.Name);
        tags.push_back("DEFAULT");
        tags.push_back("DEF");
        return tags;
    }();
    return table;
}

// What an upper-cased tag does to the style, and to the colour when setColor is on.
void ApplyTag(const std::string& tag, const TFont& base, bool setColor, TFontStyles& style, TColor& color) {
    TColor named;
    if (tag == "DEF" || tag == "DEFAULT") {
        style = base.Style();
        if (setColor)
            color = base.Color();
    } else if (TagColor(tag, named)) {
        if (setColor)
            color = named;
    } else {
        style = TFontStyles();
        for (char letter : tag) {
            switch (letter) {
            case 'B': style.Include(fsBold); break;
            case 'I': style.Include(fsItalic); break;
            case 'S': style.Include(fsStrikeOut); break;
            case 'U': style.Include(fsUnderline); break;
            default: break;
            }
        }
    }
}

// Draws or measures lines of markup on one canvas; style and colour carry from line to line.
class TTagRenderer {
public:
    TTagRenderer(TCanvas& canvas, const TFont& base, char open, char close, bool plain, bool accel, bool twoPass)
        : canvas_(canvas), open_(open), close_(close), plain_(plain), accel_(accel), twoPass_(twoPass) {
        base_.Assign(base);
        style_ = base.Style();
        color_ = base.Color();
        canvas_.Font().Assign(base);
    }

    // Returns the end x; draws when y >= 0.
    int Line(const std::string& text, int x, int y, bool draw) {
        if (plain_)
            return Piece(text, x, y, draw);
        size_t from = 0;
        for (;;) {
            const size_t open = text.find(open_, from);
            const size_t close = FindClose(text, from, open);
            if (open == std::string::npos || close == std::string::npos)
                return Piece(text.substr(from), x, y, draw);
            if (close < open) {
                // The stray closing character stays before every later opening one, so each of
                // those goes in turn and the rest is text.
                std::string rest;
                for (size_t i = from; i < text.size(); ++i) {
                    if (text[i] != open_)
                        rest += text[i];
                }
                return Piece(rest, x, y, draw);
            }
            x = Piece(text.substr(from, open - from), x, y, draw);
            Apply(UpperCase(text.substr(open + 1, close - open - 1)));
            from = close + 1;
        }
    }

    // The closing character of a tag opened at open (npos: none yet), searched from from; one
    // character for both ends closes at its next occurrence after the opening one.
    size_t FindClose(const std::string& text, size_t from, size_t open) const {
        if (open_ == close_)
            return open == std::string::npos ? std::string::npos : text.find(close_, open + 1);
        return text.find(close_, from);
    }

    void SetPassColor(TColor color) { passColor_ = color; }
    void Reset() {
        style_ = base_.Style();
        color_ = base_.Color();
    }

private:
    void Apply(const std::string& tag) { ApplyTag(tag, base_, !twoPass_, style_, color_); }

    void Select(TFontStyles style) {
        canvas_.Font().SetStyle(style);
        canvas_.Font().SetColor(twoPass_ ? passColor_ : color_);
    }

    int Out(const std::string& text, int x, int y, bool draw, TFontStyles style) {
        if (text.empty())
            return x;
        Select(style);
        if (draw)
            canvas_.TextOut(x, y, text);
        return x + canvas_.TextWidth(text);
    }

    int Piece(const std::string& text, int x, int y, bool draw) {
        if (!accel_)
            return Out(text, x, y, draw, style_);
        std::string run;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '&' || i + 1 >= text.size()) {
                run += text[i];
                continue;
            }
            ++i;
            if (text[i] == '&') {
                run += '&';
                continue;
            }
            x = Out(run, x, y, draw, style_);
            run.clear();
            x = Out(std::string(1, text[i]), x, y, draw, TFontStyles(style_).Include(fsUnderline));
        }
        return Out(run, x, y, draw, style_);
    }

    TCanvas& canvas_;
    TFont base_;
    char open_;
    char close_;
    bool plain_;
    bool accel_;
    bool twoPass_;
    TFontStyles style_;
    TColor color_ = clBlack;
    TColor passColor_ = clBlack;
};

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (text[i] == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += text[i];
        }
    }
    lines.push_back(line);
    return lines;
}

// Word wrap of one line. The line is the first of these cuts of the rest that fits: the whole
// rest, the cuts after each of its blanks from the last (a final blank does not count), then one
// character less at a time down to one character; each cut measured on its own from the base
// style. Measuring every cut anew grows with the cube of a long word's length, so the widths of
// all cuts are found in one pass from the left: a cut renders like the whole rest up to the
// first tag whose closing character it does not hold, and shows the rest of the cut as text from
// there. The pass stops where every longer cut is too wide.
class TLineWrapper {
public:
    TLineWrapper(TCanvas& canvas, const TFont& base, const std::string& line, int marginX, int limit, char open,
                 char close, bool plain)
        : canvas_(canvas), base_(base), line_(line), marginX_(marginX), limit_(limit), open_(open),
          close_(close), plain_(plain) {}

    struct TCut {
        size_t Length;
        int Width;
        bool Broken;  // cut between two characters of a word
    };

    TCut Next(size_t start) {
        start_ = start;
        const size_t length = line_.size() - start;
        MeasureCuts();
        if (length <= 1 || Fits(length))
            return TCut{length, Width(length), false};
        // The blank cuts that can fit, from the last; none past the measured cuts fits.
        const std::string_view rest(line_.data() + start, length);
        const size_t last = std::min(length - 2, widths_.size() - 2);
        size_t firstBlank = std::string_view::npos;
        for (size_t blank = rest.rfind(' ', last); blank != std::string_view::npos;
             blank = blank == 0 ? std::string_view::npos : rest.rfind(' ', blank - 1)) {
            if (Fits(blank + 1))
                return TCut{blank + 1, Width(blank + 1), false};
            firstBlank = blank;
        }
        if (firstBlank == 0)
            return TCut{1, Width(1), false};
        // One character less at a time, from before the first blank or from the whole rest.
        size_t cut = std::min(firstBlank != std::string_view::npos ? firstBlank : length - 1, widths_.size() - 1);
        while (cut > 1 && !Fits(cut))
            --cut;
        return TCut{cut, Width(cut), true};
    }

private:
    static constexpr int kTooWide = std::numeric_limits<int>::max();

    bool Fits(size_t length) const { return length < widths_.size() && widths_[length] <= limit_; }
    int Width(size_t length) const { return widths_[length]; }

    // widths_[n] := the width of the cut of length n, for every n up to where all longer cuts
    // are too wide; kTooWide where a cut is known to be too wide without its width.
    void MeasureCuts() {
        widths_.assign(1, marginX_);
        size_t from = start_;
        int x = marginX_;
        TFontStyles style = base_.Style();
        for (;;) {
            const size_t open = plain_ ? std::string::npos : Find(open_, from, openAt_);
            // One character for both ends closes a tag at its next occurrence, as in the renderer.
            const size_t close = plain_ || (open_ == close_ && open == std::string::npos) ? std::string::npos
                                 : open_ == close_ ? Find(close_, open + 1, closeAt_)
                                                   : Find(close_, from, closeAt_);
            if (open == std::string::npos || close == std::string::npos || close < open) {
                // No more tags. After a stray closing character every opening one is dropped.
                MeasureRun(from, line_.size(), x, style, close < open && open != std::string::npos);
                return;
            }
            // Cuts ending before the closing character show the tag as text.
            const size_t reached = MeasureRun(from, close, x, style, false);
            if (reached < close) {
                if (reached <= open)
                    return;  // too wide before the tag: so is everything after it
                widths_.resize(close - start_ + 1, kTooWide);
            }
            x = widths_[open - start_];
            TColor unused = clBlack;
            ApplyTag(UpperCase(line_.substr(open + 1, close - open - 1)), base_, false, style, unused);
            from = close + 1;
            widths_.push_back(x);
            if (x > limit_)
                return;
        }
    }

    // Appends the widths of the cuts ending in (from, to]: x plus the width of line_[from, end) in
    // style, without opening characters when dropOpens. Stops after the first one over the limit
    // and returns the end of the last cut measured. The text is measured from `from` each time,
    // in pieces doubling in length, so no width rests on adding up the widths of pieces.
    size_t MeasureRun(size_t from, size_t to, int x, TFontStyles style, bool dropOpens) {
        canvas_.Font().SetStyle(style);
        canvas_.RequireFont();
        std::string text;
        std::vector<int> extents;
        size_t end = from;     // cuts measured up to here
        size_t shown = 0;      // characters of text up to end
        size_t taken = from;   // characters of the line put into text
        for (size_t piece = 64; end < to; piece *= 2) {
            for (; taken < to && text.size() < piece; ++taken) {
                if (!dropOpens || line_[taken] != open_)
                    text += line_[taken];
            }
            extents.resize(text.size());
            int fit = 0;
            SIZE size{};
            if (!text.empty())
                GetTextExtentExPointA(canvas_.Handle(), text.data(), static_cast<int>(text.size()),
                                      std::numeric_limits<int>::max(), &fit, extents.data(), &size);
            for (; end < taken; ++end) {
                if (!dropOpens || line_[end] != open_)
                    ++shown;
                const int width = x + (shown > 0 ? extents[shown - 1] : 0);
                widths_.push_back(width);
                if (width > limit_)
                    return end + 1;
            }
        }
        return end;
    }

    // The next c at or after from; remembers the last answer, since most searches go on from it.
    size_t Find(char c, size_t from, std::pair<size_t, size_t>& last) const {
        if (last.first > from || from > last.second) {
            const size_t at = line_.find(c, from);
            last = {from, at == std::string::npos ? line_.size() : at};
        }
        return last.second == line_.size() ? std::string::npos : last.second;
    }

    TCanvas& canvas_;
    const TFont& base_;
    const std::string& line_;
    const int marginX_;
    const int limit_;
    const char open_;
    const char close_;
    const bool plain_;
    size_t start_ = 0;
    std::vector<int> widths_;
    std::pair<size_t, size_t> openAt_{1, 0};   // (from, found) of the last search; empty at first
    std::pair<size_t, size_t> closeAt_{1, 0};
};

DWORD ComCtlMajorVersion() {
    HMODULE library = GetModuleHandleA("comctl32.dll");
    if (!library)
        return 0;
    auto getVersion = reinterpret_cast<DLLGETVERSIONPROC>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllGetVersion")));
    DLLVERSIONINFO info{};
    info.cbSize = sizeof(info);
    if (!getVersion || FAILED(getVersion(&info)))
        return 0;
    return info.dwMajorVersion;
}

// The theme library and the few entry points the caption button draws with.
struct TThemeLibrary {
    using TIsThemeActive = BOOL(WINAPI*)();
    HMODULE Module = nullptr;
    TIsThemeActive IsThemeActive = nullptr;
    FARPROC Others[6] = {};
    bool Supported = false;
    bool ComCtl6 = false;

    TThemeLibrary() {
        Supported = IsWinXPOrLater();
        ComCtl6 = ComCtlMajorVersion() >= 6;
    }
    ~TThemeLibrary() {
        if (Module)
            FreeLibrary(Module);
    }
};

TThemeLibrary& ThemeLibrary() {
    static TThemeLibrary library;
    return library;
}

bool ReadVersion(OSVERSIONINFOA& info) {
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return GetVersionExA(&info) != FALSE;
#pragma GCC diagnostic pop
}

}  // namespace

bool TagColor(const std::string& name, TColor& color) {
    for (const TTagColor& entry : kTagColors) {
        if (name == entry.Name) {
            color = entry.Value;
            return true;
        }
    }
    return false;
}

int MeasureTaggedLine(TCanvas& canvas, const std::string& line, int marginX, char tagOpen, char tagClose) {
    TFont base;
    base.Assign(canvas.Font());
    TTagRenderer renderer(canvas, base, tagOpen, tagClose, false, false, false);
    int width = renderer.Line(line, marginX, -1, false);
    canvas.Font().Assign(base);
    return width;
}

std::vector<std::string> WrapTaggedText(TCanvas& canvas, const std::string& text, int width, int marginX,
                                        char tagOpen, char tagClose, bool plain, int* widest) {
    TFont base;
    base.Assign(canvas.Font());
    int wide = 0;
    std::vector<std::string> result;
    for (const std::string& line : SplitLines(text)) {
        TLineWrapper wrapper(canvas, base, line, marginX, width - marginX, tagOpen, tagClose, plain);
        size_t start = 0;
        do {
            const TLineWrapper::TCut cut = wrapper.Next(start);
            // A word broken between characters takes the full width.
            if (cut.Broken)
                wide = std::max(wide, width);
            wide = std::max(wide, cut.Width);
            result.push_back(line.substr(start, cut.Length));
            start += cut.Length;
        } while (start < line.size());
    }
    canvas.Font().Assign(base);
    if (widest)
        *widest = wide;
    return result;
}

void RenderTaggedText(TTaggedTextParams& params) {
    params.Size = SIZE{0, 0};
    if (params.Width < 0 || !params.Bitmap)
        return;
    TBitmap& bitmap = *params.Bitmap;
    TCanvas& canvas = bitmap.Canvas();
    TFont base;
    base.Assign(params.Font ? *params.Font : canvas.Font());
    canvas.Font().Assign(base);
    const int lineHeight = LineHeight(canvas);
    const bool plain = params.Flags.Contains(rfPlainText);
    const bool shadow = params.Flags.Contains(rfShadow);

    std::vector<std::string> lines;
    int widest = 0;
    if (params.Flags.Contains(rfWordWrap)) {
        lines = WrapTaggedText(canvas, params.Text, params.Width, params.MarginX, params.TagOpen, params.TagClose,
                               plain, &widest);
    } else {
        lines = SplitLines(params.Text);
        TTagRenderer measure(canvas, base, params.TagOpen, params.TagClose, plain, false, false);
        for (const std::string& line : lines) {
            measure.Reset();
            widest = std::max(widest, measure.Line(line, params.MarginX, -1, false));
        }
    }
    int width = params.Width;
    if (params.Flags.Contains(rfAdjustWidth))
        width = widest + params.MarginX + (shadow ? 7 : 0);
    int height = static_cast<int>(lines.size()) * lineHeight + 2 * params.MarginY + (shadow ? 8 : 0);
    bitmap.SetSize(width, height);
    params.Size = SIZE{width, height};

    TPoint at{0, 0};
    if (params.Position && (params.Position->x != 0 || params.Position->y != 0)) {
        const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
        const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
        TPoint& position = *params.Position;
        position.x = std::max<int>(0, std::min<int>(position.x - width / 2, screenWidth - width));
        position.y = std::max<int>(0, position.y);
        if (position.y + height > screenHeight)
            position.y = screenHeight - height - 20;
        at = position;
    }

    if (params.Background) {
        BitBlt(canvas.Handle(), 0, 0, width, height, params.Background, at.x, at.y, SRCCOPY);
    } else {
        canvas.Brush().SetStyle(bsSolid);
        canvas.Brush().SetColor(params.Color);
        canvas.FillRect(MakeRect(0, 0, width, height));
    }
    const int boxWidth = width - (shadow ? 6 : 0);
    const int boxHeight = height - (shadow ? 6 : 0);
    if (params.Flags.Contains(rfBox)) {
        canvas.Brush().SetStyle(bsSolid);
        canvas.Brush().SetColor(params.Color);
        canvas.Pen().SetColor(clWindowFrame);
        canvas.Pen().SetWidth(1);
        canvas.Rectangle(0, 0, boxWidth, boxHeight);
    }
    if (shadow) {
        COLORREF shade = ColorToRGB(params.ShadowColor);
        HDC dc = canvas.Handle();
        for (int y = 7; y < height; ++y) {
            for (int x = 7; x < width; ++x) {
                bool inShadow = x >= boxWidth || y >= boxHeight;
                if (inShadow && (x + y) % 2 == 0)
                    ::SetPixelV(dc, x, y, shade);
            }
        }
    }

    canvas.Brush().SetStyle(bsClear);
    const bool twoPass = params.Flags.Contains(rfTwoPass);
    TTagRenderer renderer(canvas, base, params.TagOpen, params.TagClose, plain, params.Flags.Contains(rfAccelChar),
                          twoPass);
    auto drawPass = [&](int offset) {
        renderer.Reset();
        int y = params.Origin.y + params.MarginY + offset;
        for (const std::string& line : lines) {
            renderer.Line(line, params.Origin.x + params.MarginX, y, true);
            y += lineHeight;
        }
    };
    if (twoPass) {
        renderer.SetPassColor(clBtnHighlight);
        drawPass(1);
        renderer.SetPassColor(base.Color());
    }
    drawPass(0);
    canvas.Brush().SetStyle(bsSolid);
    canvas.Font().Assign(base);
}

std::string StripTags(const std::string& text, char tagOpen, char tagClose) {
    std::string result = text;
    bool removed = true;
    while (removed) {
        removed = false;
        for (const std::string& entry : StripTable()) {
            std::string tag = std::string(1, tagOpen) + entry + tagClose;
            size_t at = UpperCase(result).find(tag);
            if (at != std::string::npos) {
                result.erase(at, tag.size());
                removed = true;
            }
        }
    }
    return result;
}

TFormHelp* FindFormHelp(const TControl* control) {
    if (!control)
        return nullptr;
    const TComponent* top = control;
    while (top->Owner() && top->Owner() != &Application)
        top = top->Owner();
    for (int i = 0; i < top->ComponentCount(); ++i) {
        if (auto help = dynamic_cast<TFormHelp*>(top->Components(i)))
            return help;
    }
    return nullptr;
}

TWinControl* ControlAtPos(TPoint point, bool skipInvisible, bool skipDisabled, bool skipTransparent) {
    HWND window = WindowFromPoint(point);
    UINT flags = (skipInvisible ? CWP_SKIPINVISIBLE : 0) | (skipDisabled ? CWP_SKIPDISABLED : 0) |
                 (skipTransparent ? CWP_SKIPTRANSPARENT : 0);
    while (window) {
        TPoint client = point;
        ScreenToClient(window, &client);
        HWND child = ChildWindowFromPointEx(window, client, flags);
        if (!child || child == window)
            break;
        window = child;
    }
    for (; window; window = GetParent(window)) {
        if (TWinControl* control = TWinControl::FindControl(window))
            return control;
    }
    return nullptr;
}

bool SetMethodPropByName(TObject& instance, const std::string& name, const TNotifyEvent& method) {
    return SetMethodProp<TNotifyEvent>(instance, name, method);
}

bool SetIntPropByName(TObject& instance, const std::string& name, int value) {
    const TPropInfo* prop = FindPropInfo(instance, name);
    if (!prop || prop->Kind != TTypeKind::Integer || !prop->Set)
        return false;
    SetPropValue(instance, *prop, TPropValue(int64_t{value}));
    return true;
}

bool SetEnumPropByName(TObject& instance, const std::string& name, int value) {
    const TPropInfo* prop = FindPropInfo(instance, name);
    // Booleans are the enumeration False, True.
    if (!prop || (prop->Kind != TTypeKind::Enumeration && prop->Kind != TTypeKind::Boolean) || !prop->Set)
        return false;
    SetPropValue(instance, *prop, TPropValue(int64_t{value}));
    return true;
}

bool SetDown(TObject& control, bool value) {
    return SetEnumPropByName(control, "Down", value) || SetEnumPropByName(control, "Checked", value);
}

bool ClipboardSetText(UINT format, const std::string& text) {
    if (format == 0 || !OpenClipboard(Application.Handle()))
        return false;
    bool set = false;
    if (HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, text.size() + 1)) {
        if (void* memory = GlobalLock(block)) {
            std::memcpy(memory, text.data(), text.size());
            GlobalUnlock(block);
            set = EmptyClipboard() && SetClipboardData(format, block);
        }
        // The system owns the block once it was handed over.
        if (!set)
            GlobalFree(block);
    }
    CloseClipboard();
    return set;
}

int GetOSVersionCode() {
    OSVERSIONINFOA info;
    if (!ReadVersion(info))
        return 0;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        const bool letter = std::strchr(info.szCSDVersion, info.dwMinorVersion >= 10 ? 'A' : 'B') != nullptr;
        if (info.dwMinorVersion >= 10)
            return letter ? 4 : 3;
        return letter ? 2 : 1;
    }
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        switch (info.dwMajorVersion) {
        case 3: return 5;
        case 4: return 6;
        case 5: return 7;
        default: return 0;
        }
    }
    return 0;
}

bool IsWinNT() {
    OSVERSIONINFOA info;
    return ReadVersion(info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool IsWinXPOrLater() {
    OSVERSIONINFOA info;
    return ReadVersion(info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           (info.dwMajorVersion >= 6 || (info.dwMajorVersion == 5 && info.dwMinorVersion >= 1));
}

bool IsComCtl6OrLater() {
    return ThemeLibrary().ComCtl6;
}

bool LoadThemeLibrary() {
    TThemeLibrary& library = ThemeLibrary();
    if (library.Supported && !library.Module) {
        library.Module = LoadLibraryA("uxtheme.dll");
        if (library.Module) {
            library.IsThemeActive = reinterpret_cast<TThemeLibrary::TIsThemeActive>(
                reinterpret_cast<void*>(GetProcAddress(library.Module, "IsThemeActive")));
            const char* names[] = {"IsAppThemed", "OpenThemeData", "CloseThemeData", "DrawThemeBackground",
                                   "DrawThemeParentBackground", "DrawThemeText"};
            for (size_t i = 0; i < std::size(names); ++i)
                library.Others[i] = GetProcAddress(library.Module, names[i]);
        }
    }
    return library.Module != nullptr;
}

bool ThemeIsActive() {
    TThemeLibrary& library = ThemeLibrary();
    return library.Module && library.IsThemeActive && library.IsThemeActive() != FALSE;
}

void DrawPushFrame(HDC dc, TRect& rect, bool pushed) {
    DrawFrameControl(dc, &rect, DFC_BUTTON, DFCS_BUTTONPUSH | DFCS_ADJUSTRECT | (pushed ? DFCS_PUSHED : 0));
}

int LineHeight(TCanvas& canvas) {
    return canvas.TextHeight("Wj");
}
