#include "HTMLabel.h"

#include "Forms.h"
#include "SysUtils.h"

#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace {

// Stand-ins for the entities replaced before tags are read, so that they are not taken as markup.
constexpr char kLess = '\x01';
constexpr char kGreater = '\x02';
constexpr char kHardBlank = '\x03';

struct TNamedColor {
    const char* Name;
    TColor Value;
};

constexpr TNamedColor kFixedColors[] = {
    {"clred", clRed},       {"clblack", clBlack},   {"clblue", clBlue},       {"clgreen", clGreen},
    {"claqua", clAqua},     {"clyellow", clYellow}, {"clfuchsia", clFuchsia}, {"clwhite", clWhite},
    {"cllime", clLime},     {"clsilver", clSilver}, {"clgray", clGray},       {"clolive", clOlive},
    {"clnavy", clNavy},     {"clpurple", clPurple}, {"clteal", clTeal},       {"clmaroon", clMaroon},
};

// System colours 1 to 24 in this order.
constexpr const char* kSystemColorNames[] = {
    "clbackground",  "clactivecaption", "clinactivecaption", "clmenu",          "clwindow",
    "clwindowframe", "clmenutext",      "clwindowtext",      "clcaptiontext",   "clactiveborder",
    "clinactiveborder", "clappworkspace", "clhighlight",     "clhighlighttext", "clbtnface",
    "clbtnshadow",   "clgraytext",      "clbtntext",         "clinactivecaptiontext", "clbtnhighlight",
    "cl3ddkshadow",  "cl3dlight",       "clinfotext",        "clinfobk",
};

struct TEntity {
    const char* Name;
    char Text;
};

constexpr TEntity kEntities[] = {
    {"&amp;", '&'},     {"&quot;", '"'},     {"&sect;", '\xA7'},  {"&permil;", '\x89'},
    {"&reg;", '\xAE'},  {"&copy;", '\xA9'},  {"&para;", '\xB6'},  {"&trade;", '\x99'},
    {"&euro;", '\x80'},
};

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

// A tag: its upper-case name, whether it closes, its attributes (upper-case names) and the
// first quoted value after the name.
struct TTag {
    std::string Name;
    bool Closing = false;
    std::map<std::string, std::string> Attributes;
    std::string FirstQuoted;

    std::string Attr(const char* name) const {
        auto found = Attributes.find(name);
        return found == Attributes.end() ? std::string() : found->second;
    }
};

TTag ParseTag(const std::string& body) {
    TTag tag;
    size_t i = 0;
    const size_t n = body.size();
    auto skipBlanks = [&] {
        while (i < n && static_cast<unsigned char>(body[i]) <= ' ')
            ++i;
    };
    skipBlanks();
    if (i < n && body[i] == '/') {
        tag.Closing = true;
        ++i;
    }
    size_t start = i;
    while (i < n && static_cast<unsigned char>(body[i]) > ' ' && body[i] != '/')
        ++i;
    tag.Name = UpperCase(body.substr(start, i - start));
    size_t quote = body.find('"', i);
    if (quote != std::string::npos) {
        size_t close = body.find('"', quote + 1);
        tag.FirstQuoted = body.substr(quote + 1, close == std::string::npos ? std::string::npos : close - quote - 1);
    }
    while (i < n) {
        skipBlanks();
        start = i;
        while (i < n && body[i] != '=' && static_cast<unsigned char>(body[i]) > ' ')
            ++i;
        std::string name = UpperCase(body.substr(start, i - start));
        skipBlanks();
        std::string value;
        if (i < n && body[i] == '=') {
            ++i;
            skipBlanks();
            if (i < n && body[i] == '"') {
                size_t close = body.find('"', i + 1);
                size_t end = close == std::string::npos ? n : close;
                value = body.substr(i + 1, end - i - 1);
                i = close == std::string::npos ? n : close + 1;
            } else {
                start = i;
                while (i < n && static_cast<unsigned char>(body[i]) > ' ')
                    ++i;
                value = body.substr(start, i - start);
            }
        }
        if (!name.empty())
            tag.Attributes[name] = value;
        else if (i < n)
            ++i;
    }
    return tag;
}

// The state that tags change.
struct TStyle {
    std::string Face;
    int Size = 8;
    TColor Color = clBlack;
    TColor Background = clNone;
    TFontStyles Font;
    int Script = 0;  // -1 subscript, 1 superscript
    bool Shadow = false;
    bool Highlight = false;
    bool Marked = false;
    std::string Anchor;
};

enum class TRunKind { Text, Rule, Bullet, Image };

struct TRun {
    TRunKind Kind = TRunKind::Text;
    std::string Text;
    TStyle Style;
    int X = 0;
    int Width = 0;
    int Height = 0;
    int Ascent = 0;
    bool ImageTop = false;
    std::function<void(TCanvas&, const TRect&)> DrawImage;
};

struct TLine {
    std::vector<TRun> Runs;
    int Left = 0;
    int Width = 0;  // right end of the last run
    int Height = 0;
    int Ascent = 0;
    TAlignment Align = taLeftJustify;
    TColor Background = clNone;
    TColor BackgroundTo = clNone;
};

void FillGradient(TCanvas& canvas, const TRect& rect, TColor from, TColor to, int steps, bool horizontal) {
    const COLORREF a = ColorToRGB(from);
    const COLORREF b = ColorToRGB(to);
    const int extent = horizontal ? rect.right - rect.left : rect.bottom - rect.top;
    steps = std::max<int>(1, std::min<int>(steps, std::max<int>(1, extent)));
    canvas.Brush().SetStyle(bsSolid);
    for (int i = 0; i < steps; ++i) {
        auto mix = [&](int shift) {
            int ca = (a >> shift) & 0xFF;
            int cb = (b >> shift) & 0xFF;
            return ca + (cb - ca) * i / std::max<int>(1, steps - 1);
        };
        canvas.Brush().SetColor(static_cast<TColor>(RGB(mix(0), mix(8), mix(16))));
        TRect band = rect;
        if (horizontal) {
            band.left = rect.left + extent * i / steps;
            band.right = rect.left + extent * (i + 1) / steps;
        } else {
            band.top = rect.top + extent * i / steps;
            band.bottom = rect.top + extent * (i + 1) / steps;
        }
        canvas.FillRect(band);
    }
}

void SelectStyle(TCanvas& canvas, const TFont& base, const TStyle& style) {
    TFont& font = canvas.Font();
    font.Assign(base);
    if (!style.Face.empty())
        font.SetName(style.Face);
    font.SetSize(style.Script != 0 ? std::max<int>(1, style.Size * 2 / 3) : style.Size);
    font.SetStyle(style.Font);
}

int FontAscent(TCanvas& canvas) {
    canvas.RequireFont();
    TEXTMETRICA metrics{};
    GetTextMetricsA(canvas.Handle(), &metrics);
    return metrics.tmAscent;
}

// Text pieces with the draw-time entities replaced; an accelerator "&x" makes x its own piece.
std::vector<std::pair<std::string, bool>> Pieces(const std::string& text) {
    std::vector<std::pair<std::string, bool>> pieces{{"", false}};
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == kLess || c == kGreater || c == kHardBlank) {
            pieces.back().first += c == kLess ? '<' : c == kGreater ? '>' : kHardBlank;
            continue;
        }
        if (c != '&') {
            pieces.back().first += c;
            continue;
        }
        bool entity = false;
        for (const TEntity& known : kEntities) {
            size_t length = std::strlen(known.Name);
            if (text.compare(i, length, known.Name) == 0) {
                pieces.back().first += known.Text;
                i += length - 1;
                entity = true;
                break;
            }
        }
        if (entity)
            continue;
        if (i + 1 >= text.size()) {
            pieces.back().first += '&';
        } else if (text[i + 1] == '&') {
            pieces.back().first += '&';
            ++i;
        } else {
            pieces.emplace_back(std::string(1, text[i + 1]), true);
            pieces.emplace_back("", false);
            ++i;
        }
    }
    return pieces;
}

}  // namespace

std::string HTMLStrip(const std::string& text) {
    std::string result;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '<') {
            result += text[i++];
            continue;
        }
        size_t close = text.find('>', i + 1);
        if (close == std::string::npos)
            break;  // an unterminated tag ends the text
        std::string name = UpperCase(text.substr(i + 1, close - i - 1));
        i = close + 1;
        if (name == "BR" || name == "HR") {
            result += "\r\n";
        } else if (name == "Z") {
            size_t end = UpperCase(text).find("</Z>", i);
            i = end == std::string::npos ? text.size() : end + 4;
        }
    }
    return result;
}

TColor HTMLColor(const std::string& value) {
    if (!value.empty() && value[0] == '#') {
        if (value.size() < 7)
            return clBlack;
        int digits[6];
        for (int i = 0; i < 6; ++i) {
            digits[i] = HexDigitValue(value[static_cast<size_t>(i) + 1]);
            if (digits[i] < 0)
                return clBlack;
        }
        int red = digits[0] * 16 + digits[1];
        int green = digits[2] * 16 + digits[3];
        int blue = digits[4] * 16 + digits[5];
        return static_cast<TColor>(red + green * 256 + blue * 65536);
    }
    const std::string name = LowerCase(value);
    for (const TNamedColor& color : kFixedColors) {
        if (name == color.Name)
            return color.Value;
    }
    for (size_t i = 0; i < std::size(kSystemColorNames); ++i) {
        if (name == kSystemColorNames[i])
            return static_cast<TColor>(kSystemColor | static_cast<int32_t>(i + 1));
    }
    return clBlack;
}

// ---- THTMLStrings ---------------------------------------------------------------------------------

void THTMLStrings::Put(int index, const std::string& s) {
    TStringList::Put(index, s);
    changed_();
}

int THTMLStrings::AddObject(const std::string& s, TObject* object) {
    int index = TStringList::AddObject(s, object);
    changed_();
    return index;
}

void THTMLStrings::InsertObject(int index, const std::string& s, TObject* object) {
    TStringList::InsertObject(index, s, object);
    changed_();
}

void THTMLStrings::Delete(int index) {
    TStringList::Delete(index);
    changed_();
}

void THTMLStrings::Clear() {
    TStringList::Clear();
    changed_();
}

void THTMLStrings::SetText(const std::string& text) {
    TStringList::SetText(text);
    changed_();
}

// ---- THTMLabel --------------------------------------------------------------------------------------

const TClassInfo& THTMLabel::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&THTMLabel::HTMLText, static_cast<void (THTMLabel::*)(TStringList*)>(&THTMLabel::SetHTMLText)>(
            "HTMLText"),
        Prop<&THTMLabel::AnchorHint, &THTMLabel::SetAnchorHint>("AnchorHint").WithDefault(false),
        Prop<&THTMLabel::AutoSizing, &THTMLabel::SetAutoSizing>("AutoSizing").WithDefault(false),
        Prop<&THTMLabel::AutoSizeType, &THTMLabel::SetAutoSizeType>("AutoSizeType").WithDefault(asVertical),
        Prop<&THTMLabel::BevelInner, &THTMLabel::SetBevelInner>("BevelInner").WithDefault(bvNone),
        Prop<&THTMLabel::BevelOuter, &THTMLabel::SetBevelOuter>("BevelOuter").WithDefault(bvNone),
        Prop<&THTMLabel::BevelWidth, &THTMLabel::SetBevelWidth>("BevelWidth").WithDefault(1),
        Prop<&THTMLabel::BorderWidth, &THTMLabel::SetBorderWidth>("BorderWidth").WithDefault(0),
        Prop<&THTMLabel::BorderStyle, &THTMLabel::SetBorderStyle>("BorderStyle").WithDefault(bsNone),
        Prop<&THTMLabel::ColorTo, &THTMLabel::SetColorTo>("ColorTo").WithDefault(clNone),
        Prop<&THTMLabel::GradientType, &THTMLabel::SetGradientType>("GradientType").WithDefault(gtFullHorizontal),
        Prop<&THTMLabel::Ellipsis, &THTMLabel::SetEllipsis>("Ellipsis").WithDefault(false),
        Prop<&THTMLabel::HintShowFull, &THTMLabel::SetHintShowFull>("HintShowFull").WithDefault(false),
        Prop<&THTMLabel::Hover, &THTMLabel::SetHover>("Hover").WithDefault(false),
        Prop<&THTMLabel::HoverColor, &THTMLabel::SetHoverColor>("HoverColor").WithDefault(clNone),
        Prop<&THTMLabel::HoverFontColor, &THTMLabel::SetHoverFontColor>("HoverFontColor").WithDefault(clNone),
        Prop<&THTMLabel::HTMLHint, &THTMLabel::SetHTMLHint>("HTMLHint").WithDefault(false),
        Prop<&THTMLabel::Images, &THTMLabel::SetImages>("Images"),
        Prop<&THTMLabel::LineWidth, &THTMLabel::SetLineWidth>("LineWidth").WithDefault(0),
        Prop<&THTMLabel::PictureContainer, &THTMLabel::SetPictureContainer>("PictureContainer"),
        Prop<&THTMLabel::ShadowColor, &THTMLabel::SetShadowColor>("ShadowColor").WithDefault(clGray),
        Prop<&THTMLabel::ShadowOffset, &THTMLabel::SetShadowOffset>("ShadowOffset").WithDefault(2),
        Prop<&THTMLabel::URLColor, &THTMLabel::SetURLColor>("URLColor").WithDefault(clBlue),
        Prop<&THTMLabel::VAlignment, &THTMLabel::SetVAlignment>("VAlignment").WithDefault(tvaTop),
        Prop<&THTMLabel::Version, &THTMLabel::SetVersion>("Version").NotStored(),
        Prop<&THTMLabel::OnAnchorClick>("OnAnchorClick"),
        Prop<&THTMLabel::OnAnchorEnter>("OnAnchorEnter"),
        Prop<&THTMLabel::OnAnchorExit>("OnAnchorExit"),
        Prop<&THTMLabel::OnAnchorHint>("OnAnchorHint"),
    };
    static const TClassInfo info = MakeClassInfo<THTMLabel, TCustomLabel>("THTMLabel", props);
    return info;
}

THTMLabel::THTMLabel(TComponent* owner)
    : TCustomLabel(owner), htmlText_(std::make_unique<THTMLStrings>([this] { TextChanged(); })) {
    SetAutoSize(false);
    SetBounds(Left(), Top(), 100, 40);
}

THTMLabel::~THTMLabel() = default;

// ---- THTMLabel::THintPopup ---------------------------------------------------------------------

namespace {
constexpr char kHintPopupClass[] = "THTMLHintPopup";
constexpr int kHintMarginX = 4;
constexpr int kHintMarginY = 2;
constexpr int kHintMinWrap = 300;
}  // namespace

// A marked-up hint drawn once into a bitmap by the label's renderer; the window only shows it and
// lets the mouse through, so that the label keeps its mouse messages.
class THTMLabel::THintPopup {
public:
    THintPopup(THTMLabel& label, const std::string& markup, TPoint cursor);
    ~THintPopup();
    THintPopup(const THintPopup&) = delete;
    THintPopup& operator=(const THintPopup&) = delete;
    HWND Handle() const { return window_; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    TBitmap bitmap_;
    HWND window_ = nullptr;
};

THTMLabel::THintPopup::THintPopup(THTMLabel& label, const std::string& markup, TPoint cursor) {
    HMONITOR monitor = MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST);
    MONITORINFO screen{};
    screen.cbSize = sizeof(screen);
    GetMonitorInfoA(monitor, &screen);
    const TRect work = screen.rcWork;
    const int frame = 2 * (1 + kHintMarginX);
    const int wrap = std::min<int>(std::max<int>(kHintMinWrap, label.Width()), work.right - work.left - frame);

    TFont font;
    font.Assign(*label.Font());
    font.SetColor(clInfoText);
    TRendering how;
    how.Markup = markup;
    how.Font = &font;
    bitmap_.SetSize(1, 1);
    const SIZE text = label.Render(bitmap_.Canvas(), MakeRect(0, 0, std::max<int>(1, wrap), 100000), how);
    const int width = text.cx + frame;
    const int height = text.cy + 2 * (1 + kHintMarginY);
    bitmap_.SetSize(width, height);
    TCanvas& canvas = bitmap_.Canvas();
    canvas.Brush().SetStyle(bsSolid);
    canvas.Brush().SetColor(clInfoBk);
    canvas.FillRect(MakeRect(0, 0, width, height));
    TRect border = MakeRect(0, 0, width, height);
    Frame3D(canvas, border, clWindowFrame, clWindowFrame, 1);
    how.Draw = true;
    label.Render(canvas, MakeRect(1 + kHintMarginX, 1 + kHintMarginY, width - 1 - kHintMarginX, height - 1 - kHintMarginY),
                 how);

    // Below the cursor as the tooltip is, kept on the monitor.
    int left = std::max<int>(work.left, std::min<int>(cursor.x, work.right - width));
    int top = cursor.y + 20;
    if (top + height > work.bottom)
        top = std::max<int>(work.top, cursor.y - height - 4);

    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA existing{};
    if (!GetClassInfoA(instance, kHintPopupClass, &existing)) {
        WNDCLASSA windowClass{};
        windowClass.style = CS_SAVEBITS;
        windowClass.lpfnWndProc = &THintPopup::WindowProc;
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        windowClass.lpszClassName = kHintPopupClass;
        if (!RegisterClassA(&windowClass))
            RaiseLastOSError();
    }
    window_ = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kHintPopupClass, "", WS_POPUP, left,
                              top, width, height, Application.Handle(), nullptr, instance, this);
    if (!window_)
        RaiseLastOSError();
    ShowWindow(window_, SW_SHOWNOACTIVATE);
}

THTMLabel::THintPopup::~THintPopup() {
    if (window_)
        DestroyWindow(window_);
}

LRESULT CALLBACK THTMLabel::THintPopup::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto self = reinterpret_cast<THintPopup*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
    case WM_NCDESTROY:
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        break;
    case WM_NCHITTEST:
        return HTTRANSPARENT;
    case WM_PAINT:
        if (self) {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            BitBlt(dc, 0, 0, self->bitmap_.Width(), self->bitmap_.Height(), self->bitmap_.Canvas().Handle(), 0, 0,
                   SRCCOPY);
            EndPaint(window, &paint);
            return 0;
        }
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void THTMLabel::TextChanged() {
    Invalidate();
}

void THTMLabel::SetHTMLText(TStringList* value) {
    std::string joined;
    for (int i = 0; value && i < value->Count(); ++i)
        joined += (*value)[i];
    joined.erase(std::remove(joined.begin(), joined.end(), '\r'), joined.end());
    joined.erase(std::remove(joined.begin(), joined.end(), '\n'), joined.end());
    htmlText_->SetText(joined);
}

void THTMLabel::SetHTMLText(const std::string& value) {
    htmlText_->SetText(value);
}

void THTMLabel::Loaded() {
    TCustomLabel::Loaded();
    SetCaption("");
}

void THTMLabel::SetAutoSizing(bool value) {
    if (autoSizing_ == value)
        return;
    autoSizing_ = value;
    if (value) {
        if (Align() == alLeft || Align() == alRight)
            SetWidth(6);
        else if (Align() == alTop || Align() == alBottom)
            SetHeight(6);
    }
    Invalidate();
}

void THTMLabel::SetAutoSizeType(TAutoSizeType value) {
    autoSizeType_ = value;
    Invalidate();
}

void THTMLabel::SetImages(TImageList* value) {
    if (images_)
        images_->RemoveFreeNotification(this);
    images_ = value;
    if (images_)
        images_->FreeNotification(this);
    Invalidate();
}

void THTMLabel::SetPictureContainer(TPictureContainer* value) {
    if (pictureContainer_)
        pictureContainer_->RemoveFreeNotification(this);
    pictureContainer_ = value;
    if (pictureContainer_)
        pictureContainer_->FreeNotification(this);
    Invalidate();
}

void THTMLabel::Notification(TComponent* component, TOperation operation) {
    TCustomLabel::Notification(component, operation);
    if (operation != opRemove)
        return;
    if (component == images_)
        images_ = nullptr;
    if (component == pictureContainer_)
        pictureContainer_ = nullptr;
}

SIZE THTMLabel::Render(TCanvas& canvas, const TRect& area, bool draw) {
    TRendering how;
    how.Markup = htmlText_->Text();
    how.Ellipsis = ellipsis_;
    how.Draw = draw;
    how.Anchors = &anchors_;
    how.ImageHints = &imageHints_;
    return Render(canvas, area, how);
}

SIZE THTMLabel::Render(TCanvas& canvas, const TRect& area, const TRendering& how) {
    // Line ends of the list are line breaks; the entities that look like markup are hidden.
    std::string text = how.Markup;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
        text.erase(text.size() - 2);
    ReplaceAll(text, "\r", "<BR>");
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    ReplaceAll(text, "&nbsp;", std::string(1, kHardBlank));
    ReplaceAll(text, "&lt;", std::string(1, kLess));
    ReplaceAll(text, "&gt;", std::string(1, kGreater));

    TFont base;
    base.Assign(how.Font ? *how.Font : *Font());
    TStyle style;
    style.Face = base.Name();
    style.Size = base.Size();
    style.Color = base.Color();
    style.Font = base.Style();
    std::vector<TStyle> fontStack;
    std::vector<TLine> lines(1);
    const int right = area.right;
    int listLevel = 0;
    int indent = 0;
    TAlignment align = taLeftJustify;
    TColor paraBackground = clNone;
    TColor paraBackgroundTo = clNone;
    TColor bodyBackground = clNone;
    TColor bodyBackgroundTo = clNone;
    bool bodyHorizontal = false;
    THTMLPicture* bodyPicture = nullptr;

    auto lineLeft = [&] { return area.left + indent + listLevel * 12; };
    lines.back().Left = lineLeft();
    int x = lineLeft();
    auto newLine = [&] {
        TLine line;
        line.Left = lineLeft();
        line.Align = align;
        line.Background = paraBackground;
        line.BackgroundTo = paraBackgroundTo;
        lines.push_back(std::move(line));
        x = lines.back().Left;
    };
    auto startLineIfUsed = [&] {
        if (!lines.back().Runs.empty())
            newLine();
        lines.back().Align = align;
        lines.back().Background = paraBackground;
        lines.back().BackgroundTo = paraBackgroundTo;
        lines.back().Left = lineLeft();
        x = std::max<int>(x, lines.back().Left);
    };
    auto addRun = [&](TRun run) {
        if (x + run.Width > right && x > lines.back().Left)
            newLine();
        run.X = x;
        x += run.Width;
        lines.back().Width = std::max<int>(lines.back().Width, x);
        lines.back().Runs.push_back(std::move(run));
    };
    auto measureText = [&](const std::string& word, const TStyle& with, TRun& run) {
        SelectStyle(canvas, base, with);
        SIZE size = canvas.TextExtent(word);
        run.Width = size.cx;
        run.Height = size.cy;
        run.Ascent = FontAscent(canvas);
    };
    auto addText = [&](const std::string& piece) {
        for (const auto& [chunk, underline] : Pieces(piece)) {
            TStyle with = style;
            if (underline)
                with.Font.Include(fsUnderline);
            size_t at = 0;
            while (at < chunk.size()) {
                size_t blank = chunk.find(' ', at);
                size_t end = blank == std::string::npos ? chunk.size() : blank + 1;
                TRun run;
                run.Text = chunk.substr(at, end - at);
                std::replace(run.Text.begin(), run.Text.end(), kHardBlank, ' ');
                run.Style = with;
                measureText(run.Text, with, run);
                addRun(std::move(run));
                at = end;
            }
        }
    };
    auto addImage = [&](const TTag& tag) {
        std::string source = tag.Attr("SRC");
        TRun run;
        run.Kind = TRunKind::Image;
        run.Style = style;
        run.Text = tag.Attr("ALT");
        const std::string upper = UpperCase(source);
        int width = 0;
        int height = 0;
        if (upper.rfind("IDX:", 0) == 0) {
            int index = StrToIntDef(source.substr(4), -1);
            if (!images_ || index < 0 || index >= images_->Count())
                return;
            TImageList* list = images_;
            width = list->Width();
            height = list->Height();
            run.DrawImage = [list, index](TCanvas& target, const TRect& bounds) {
                const int cx = bounds.right - bounds.left;
                const int cy = bounds.bottom - bounds.top;
                if (cx == list->Width() && cy == list->Height()) {
                    list->Draw(target, bounds.left, bounds.top, index);
                    return;
                }
                // Scaled as an icon, which keeps the mask.
                TUniqueIcon icon(ImageList_GetIcon(list->Handle(), index, ILD_NORMAL));
                if (icon)
                    DrawIconEx(target.Handle(), bounds.left, bounds.top, icon.Get(), cx, cy, 0, nullptr, DI_NORMAL);
            };
        } else if (upper.rfind("SSYS:", 0) == 0 || upper.rfind("LSYS:", 0) == 0) {
            const bool small = upper[0] == 'S';
            SHFILEINFOA info{};
            if (!SHGetFileInfoA(source.substr(5).c_str(), 0, &info, sizeof(info),
                                SHGFI_ICON | (small ? SHGFI_SMALLICON : SHGFI_LARGEICON)) ||
                !info.hIcon)
                return;
            auto icon = std::make_shared<TUniqueIcon>(info.hIcon);
            width = GetSystemMetrics(small ? SM_CXSMICON : SM_CXICON);
            height = GetSystemMetrics(small ? SM_CYSMICON : SM_CYICON);
            run.DrawImage = [icon](TCanvas& target, const TRect& bounds) {
                DrawIconEx(target.Handle(), bounds.left, bounds.top, icon->Get(), bounds.right - bounds.left,
                           bounds.bottom - bounds.top, 0, nullptr, DI_NORMAL);
            };
        } else {
            THTMLPicture* picture = nullptr;
            if (source.find("://") != std::string::npos) {
                picture = CachedPicture(source);
            } else if (pictureContainer_) {
                picture = pictureContainer_->FindPicture(source);
            }
            if (!picture || picture->Empty())
                return;
            width = picture->Width();
            height = picture->Height();
            run.DrawImage = [picture](TCanvas& target, const TRect& bounds) {
                // The picture is shared with its container or the cache: it stretches for this drawing only.
                const bool stretch = picture->Stretch();
                picture->SetStretch(true);
                target.StretchDraw(bounds, *picture);
                picture->SetStretch(stretch);
            };
        }
        width = StrToIntDef(tag.Attr("WIDTH"), width);
        height = StrToIntDef(tag.Attr("HEIGHT"), height);
        if (width <= 0 || height <= 0)
            return;
        const std::string imageAlign = UpperCase(tag.Attr("ALIGN"));
        run.ImageTop = imageAlign == "TOP";
        run.Width = width;
        run.Height = height;
        run.Ascent = height;
        if (imageAlign == "MIDDLE") {
            // The image's middle on the middle of the text around it.
            TRun around;
            measureText(" ", style, around);
            run.Ascent = height / 2 + around.Ascent - around.Height / 2;
        }
        addRun(std::move(run));
    };

    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '<') {
            size_t next = text.find('<', i);
            size_t end = next == std::string::npos ? text.size() : next;
            addText(text.substr(i, end - i));
            i = end;
            continue;
        }
        size_t close = text.find('>', i + 1);
        if (close == std::string::npos)
            break;  // an unterminated tag ends the text
        TTag tag = ParseTag(text.substr(i + 1, close - i - 1));
        i = close + 1;
        const std::string& name = tag.Name;
        if (!tag.Closing) {
            if (name == "B") {
                style.Font.Include(fsBold);
            } else if (name == "I") {
                style.Font.Include(fsItalic);
            } else if (name == "U") {
                style.Font.Include(fsUnderline);
            } else if (name == "S") {
                style.Font.Include(fsStrikeOut);
            } else if (name == "BR") {
                if (lines.back().Runs.empty() && lines.back().Height == 0) {
                    TRun blank;
                    measureText(" ", style, blank);
                    lines.back().Height = blank.Height;
                    lines.back().Ascent = blank.Ascent;
                }
                newLine();
            } else if (name == "HR") {
                startLineIfUsed();
                TRun rule;
                rule.Kind = TRunKind::Rule;
                rule.Width = std::max<int>(0, right - x);
                rule.Height = 6;
                rule.Ascent = 3;
                rule.Style = style;
                addRun(std::move(rule));
                newLine();
            } else if (name == "FONT") {
                fontStack.push_back(style);
                if (tag.Attributes.count("FACE"))
                    style.Face = tag.Attr("FACE");
                if (tag.Attributes.count("COLOR"))
                    style.Color = HTMLColor(tag.Attr("COLOR"));
                if (tag.Attributes.count("BGCOLOR"))
                    style.Background = HTMLColor(tag.Attr("BGCOLOR"));
                if (tag.Attributes.count("SIZE")) {
                    static constexpr int kSizes[] = {8, 10, 12, 14, 16};
                    int size = StrToIntDef(tag.Attr("SIZE"), style.Size);
                    style.Size = size >= 1 && size <= 5 ? kSizes[size - 1] : std::clamp(size, 1, 200);
                }
            } else if (name == "A") {
                style.Anchor = tag.FirstQuoted;
            } else if (name == "P") {
                paraBackground = tag.Attributes.count("BGCOLOR") ? HTMLColor(tag.Attr("BGCOLOR")) : clNone;
                paraBackgroundTo = tag.Attributes.count("BGCOLORTO") ? HTMLColor(tag.Attr("BGCOLORTO")) : clNone;
                const std::string where = UpperCase(tag.Attr("ALIGN"));
                align = where == "RIGHT" ? taRightJustify : where == "CENTER" ? taCenter : taLeftJustify;
                indent = std::clamp(StrToIntDef(tag.Attr("INDENT"), 0), 0, 10000);
                startLineIfUsed();
            } else if (name == "IND") {
                int to = area.left + std::clamp(StrToIntDef(tag.Attr("X"), 0), 0, 10000);
                x = std::max<int>(x, to);
            } else if (name == "UL") {
                startLineIfUsed();
                ++listLevel;
                lines.back().Left = lineLeft();
                x = lines.back().Left;
            } else if (name == "LI") {
                startLineIfUsed();
                TRun bullet;
                bullet.Kind = TRunKind::Bullet;
                bullet.Text = "\xB7";
                bullet.Style = style;
                bullet.Style.Face = "Symbol";
                measureText(bullet.Text, bullet.Style, bullet);
                bullet.Width = std::max<int>(bullet.Width + 4, 12);
                x = std::max<int>(area.left, lines.back().Left - 12);
                addRun(std::move(bullet));
                x = std::max<int>(x, lines.back().Left);
            } else if (name == "SUB") {
                style.Script = -1;
            } else if (name == "SUP") {
                style.Script = 1;
            } else if (name == "SHAD") {
                style.Shadow = true;
            } else if (name == "HI") {
                style.Highlight = true;
            } else if (name == "E") {
                style.Marked = true;
            } else if (name == "Z") {
                size_t end = UpperCase(text).find("</Z>", i);
                i = end == std::string::npos ? text.size() : end + 4;
            } else if (name == "IMG") {
                addImage(tag);
            } else if (name == "BODY") {
                if (tag.Attributes.count("BGCOLOR"))
                    bodyBackground = HTMLColor(tag.Attr("BGCOLOR"));
                if (tag.Attributes.count("BGCOLORTO"))
                    bodyBackgroundTo = HTMLColor(tag.Attr("BGCOLORTO"));
                bodyHorizontal = UpperCase(tag.Attr("DIR")) == "H";
                std::string picture = tag.Attr("BACKGROUND");
                if (picture.find("://") != std::string::npos)
                    bodyPicture = CachedPicture(picture);
                else if (!picture.empty() && pictureContainer_)
                    bodyPicture = pictureContainer_->FindPicture(picture);
            }
            // Unknown tags are skipped.
        } else {
            if (name == "B") {
                style.Font.Exclude(fsBold);
            } else if (name == "I") {
                style.Font.Exclude(fsItalic);
            } else if (name == "U") {
                style.Font.Exclude(fsUnderline);
            } else if (name == "S") {
                style.Font.Exclude(fsStrikeOut);
            } else if (name == "FONT") {
                if (!fontStack.empty()) {
                    TFontStyles keep = style.Font;
                    std::string anchor = style.Anchor;
                    style = fontStack.back();
                    style.Font = keep;
                    style.Anchor = anchor;
                    fontStack.pop_back();
                }
            } else if (name == "A") {
                style.Anchor.clear();
            } else if (name == "P") {
                align = taLeftJustify;
                indent = 0;
                paraBackground = clNone;
                paraBackgroundTo = clNone;
                if (!lines.back().Runs.empty())
                    newLine();
            } else if (name == "UL") {
                listLevel = std::max<int>(0, listLevel - 1);
                if (!lines.back().Runs.empty())
                    newLine();
                lines.back().Left = lineLeft();
                x = lines.back().Left;
            } else if (name == "SUB" || name == "SUP") {
                style.Script = 0;
            } else if (name == "SHAD") {
                style.Shadow = false;
            } else if (name == "HI") {
                style.Highlight = false;
            } else if (name == "E") {
                style.Marked = false;
            }
        }
    }
    if (lines.size() > 1 && lines.back().Runs.empty() && lines.back().Height == 0)
        lines.pop_back();

    // Line heights and the size used.
    int height = 0;
    int width = 0;
    for (TLine& line : lines) {
        for (const TRun& run : line.Runs) {
            line.Ascent = std::max<int>(line.Ascent, run.ImageTop ? 0 : run.Ascent);
            line.Height = std::max<int>(line.Height, run.Height);
        }
        for (const TRun& run : line.Runs)
            line.Height = std::max<int>(line.Height, line.Ascent + (run.Height - run.Ascent));
        if (line.Height == 0) {
            TRun blank;
            measureText(" ", style, blank);
            line.Height = blank.Height;
            line.Ascent = blank.Ascent;
        }
        height += line.Height;
        width = std::max<int>(width, line.Width - area.left);
    }
    if (!how.Draw) {
        canvas.Font().Assign(base);
        return SIZE{width, height};
    }

    if (how.Anchors)
        how.Anchors->clear();
    if (how.ImageHints)
        how.ImageHints->clear();
    TClipGuard clip(canvas);
    canvas.IntersectClipRect(area);
    if (bodyBackground != clNone) {
        if (bodyBackgroundTo != clNone) {
            FillGradient(canvas, area, bodyBackground, bodyBackgroundTo, 64, bodyHorizontal);
        } else {
            canvas.Brush().SetStyle(bsSolid);
            canvas.Brush().SetColor(bodyBackground);
            canvas.FillRect(area);
        }
    }
    if (bodyPicture && bodyPicture->Width() > 0 && bodyPicture->Height() > 0) {
        for (int top = area.top; top < area.bottom; top += bodyPicture->Height())
            for (int left = area.left; left < area.right; left += bodyPicture->Width())
                canvas.Draw(left, top, *bodyPicture);
    }
    int y = area.top;
    for (size_t index = 0; index < lines.size(); ++index) {
        const TLine& line = lines[index];
        // The last line that shows whole before the bottom cuts the rest off.
        const bool cutBelow = how.Ellipsis && index + 1 < lines.size() && y + line.Height <= area.bottom &&
                              y + line.Height + lines[index + 1].Height > area.bottom;
        size_t lastText = line.Runs.size();
        for (size_t r = 0; r < line.Runs.size(); ++r) {
            if (line.Runs[r].Kind == TRunKind::Text)
                lastText = r;
        }
        if (line.Background != clNone) {
            TRect band = MakeRect(area.left, y, area.right, y + line.Height);
            if (line.BackgroundTo != clNone) {
                FillGradient(canvas, band, line.Background, line.BackgroundTo, 64, true);
            } else {
                canvas.Brush().SetStyle(bsSolid);
                canvas.Brush().SetColor(line.Background);
                canvas.FillRect(band);
            }
        }
        int shift = 0;
        if (line.Align == taRightJustify)
            shift = std::max<int>(0, right - line.Width);
        else if (line.Align == taCenter)
            shift = std::max<int>(0, (right - line.Width) / 2);
        for (size_t r = 0; r < line.Runs.size(); ++r) {
            const TRun& run = line.Runs[r];
            const int left = run.X + shift;
            if (run.Kind == TRunKind::Rule) {
                canvas.Pen().SetColor(clGray);
                canvas.Pen().SetWidth(1);
                canvas.MoveTo(left, y + line.Height / 2);
                canvas.LineTo(left + run.Width, y + line.Height / 2);
                continue;
            }
            if (run.Kind == TRunKind::Image) {
                int top = run.ImageTop ? y : y + line.Ascent - run.Ascent;
                const TRect bounds = MakeBounds(left, top, run.Width, run.Height);
                run.DrawImage(canvas, bounds);
                if (how.Anchors && !run.Style.Anchor.empty())
                    how.Anchors->push_back({run.Style.Anchor, bounds});
                if (how.ImageHints && !run.Text.empty())
                    how.ImageHints->push_back({run.Text, bounds});
                continue;
            }
            const TStyle& with = run.Style;
            const bool anchor = !with.Anchor.empty();
            const bool hot = anchor && hover_ && how.Anchors && with.Anchor == hotAnchor_;
            TStyle drawn = with;
            if (anchor)
                drawn.Font.Include(fsUnderline);
            SelectStyle(canvas, base, drawn);
            int top = y + line.Ascent - run.Ascent;
            if (with.Script < 0)
                top += run.Ascent / 2;
            else if (with.Script > 0)
                top -= run.Ascent / 3;
            std::string shown = run.Text;
            int runWidth = run.Width;
            bool cut = false;
            const bool endsCut = cutBelow && r == lastText;
            if (how.Ellipsis && (left + runWidth > area.right || endsCut)) {
                while (endsCut && !shown.empty() && shown.back() == ' ')
                    shown.pop_back();
                while (!shown.empty() && left + canvas.TextWidth(shown + "...") > area.right)
                    shown.pop_back();
                shown += "...";
                runWidth = canvas.TextWidth(shown);
                cut = true;
            }
            TColor background = with.Background;
            TColor color = with.Color;
            if (with.Highlight) {
                background = clHighlight;
                color = clHighlightText;
            }
            if (anchor)
                color = urlColor_;
            if (hot && hoverFontColor_ != clNone)
                color = hoverFontColor_;
            if (hot && hoverColor_ != clNone)
                background = hoverColor_;
            if (with.Marked && background == clNone)
                background = clInfoBk;
            if (background != clNone) {
                canvas.Brush().SetStyle(bsSolid);
                canvas.Brush().SetColor(background);
                canvas.FillRect(MakeBounds(left, y, runWidth, line.Height));
            }
            canvas.Brush().SetStyle(bsClear);
            if (with.Shadow) {
                canvas.Font().SetColor(shadowColor_);
                canvas.TextOut(left + shadowOffset_, top + shadowOffset_, shown);
            }
            canvas.Font().SetColor(color);
            canvas.TextOut(left, top, shown);
            if (anchor && how.Anchors)
                how.Anchors->push_back({with.Anchor, MakeBounds(left, y, runWidth, line.Height)});
            if (cut)
                break;
        }
        y += line.Height;
    }
    canvas.Brush().SetStyle(bsSolid);
    canvas.Font().Assign(base);
    return SIZE{width, height};
}

THTMLPicture* THTMLabel::CachedPicture(const std::string& address) {
    THTMLPicture* picture = pictureCache_.FindPicture(address);
    if (picture)
        return picture;
    picture = pictureCache_.AddPicture();
    try {
        picture->LoadFromURL(address);
    } catch (const Exception&) {
        // An unreadable picture draws nothing.
    }
    // Loaded pictures keep the address they came from, so that the next look-up finds them.
    picture->SetURL(address);
    return picture;
}

SIZE THTMLabel::TextExtent(int width) {
    TWindowDc dc(nullptr);
    TCanvas canvas;
    canvas.SetHandle(dc.Get());
    SIZE size = Render(canvas, MakeRect(0, 0, width > 0 ? width : 100000, 100000), false);
    canvas.SetHandle(nullptr);
    return size;
}

void THTMLabel::PaintBackground(TCanvas& canvas, const TRect& rect) {
    const bool full = gradientType_ == gtFullHorizontal || gradientType_ == gtFullVertical;
    if (!Transparent()) {
        if (colorTo_ != clNone && full) {
            FillGradient(canvas, rect, Color(), colorTo_, std::max<int>(1, (rect.right - rect.left) / 4),
                         gradientType_ == gtFullHorizontal);
        } else {
            canvas.Brush().SetStyle(bsSolid);
            canvas.Brush().SetColor(Color());
            canvas.FillRect(rect);
        }
    }
    if (colorTo_ != clNone && !full) {
        const int rows = lineWidth_ > 0 ? lineWidth_ : 2;
        TRect band = rect;
        if (gradientType_ == gtBottomLine) {
            band.top = rect.bottom - rows;
        } else if (gradientType_ == gtTopLine) {
            band.bottom = rect.top + rows;
        } else {
            band.top = (rect.top + rect.bottom) / 2 - rows / 2;
            band.bottom = band.top + rows;
        }
        FillGradient(canvas, band, Color(), colorTo_, std::max<int>(1, (rect.right - rect.left) / 4), true);
    }
}

void THTMLabel::Paint() {
    // Drawn into a bitmap over what lies below, then copied: text looks the same on every device.
    TRect client = ClientRect();
    if (client.right <= 0 || client.bottom <= 0)
        return;
    TBitmap buffer(client.right, client.bottom);
    BitBlt(buffer.Canvas().Handle(), 0, 0, client.right, client.bottom, Canvas().Handle(), 0, 0, SRCCOPY);
    buffer.Canvas().Font().Assign(*Font());
    PaintOn(buffer.Canvas());
    BitBlt(Canvas().Handle(), 0, 0, client.right, client.bottom, buffer.Canvas().Handle(), 0, 0, SRCCOPY);
}

TRect THTMLabel::TextArea() const {
    TRect rect = ClientRect();
    if (bevelOuter_ != bvNone || bevelInner_ != bvNone)
        InflateRect(&rect, -bevelWidth_, -bevelWidth_);
    if (borderStyle_ == bsSingle)
        InflateRect(&rect, -borderWidth_, -borderWidth_);
    return rect;
}

void THTMLabel::PaintOn(TCanvas& canvas) {
    TRect frame = ClientRect();
    PaintBackground(canvas, frame);
    auto bevel = [&](TPanelBevel kind) {
        if (kind == bvNone)
            return;
        TColor top = kind == bvLowered ? clBtnShadow : clBtnHighlight;
        TColor bottom = kind == bvLowered ? clBtnHighlight : clBtnShadow;
        Frame3D(canvas, frame, top, bottom, bevelWidth_);
    };
    bevel(bevelOuter_);
    if (borderWidth_ > 0)
        Frame3D(canvas, frame, Color(), Color(), borderWidth_);
    bevel(bevelInner_);
    if (borderStyle_ == bsSingle && borderWidth_ > 0) {
        canvas.Pen().SetColor(clBlack);
        canvas.Pen().SetWidth(borderWidth_);
        canvas.Brush().SetStyle(bsClear);
        canvas.Rectangle(ClientRect());
        canvas.Brush().SetStyle(bsSolid);
        canvas.Pen().SetWidth(1);
    }
    // The frames are drawn nested; the text keeps clear of the bevel and the single frame only.
    const TRect rect = TextArea();

    const bool sideAligned = Align() == alLeft || Align() == alRight;
    const bool endAligned = Align() == alTop || Align() == alBottom;
    SIZE size = Render(canvas, rect, false);
    if (autoSizing_ && (autoSizeType_ == asHorizontal || autoSizeType_ == asBoth) && !endAligned)
        size = Render(canvas, MakeRect(rect.left, rect.top, rect.left + 100000, rect.bottom), false);
    TRect area = rect;
    const int spare = (rect.bottom - rect.top) - size.cy;
    if (spare > 0 && vAlignment_ == tvaCenter)
        area.top += spare / 2;
    else if (spare > 0 && vAlignment_ == tvaBottom)
        area.top += spare;
    Render(canvas, area, true);
    textCut_ = size.cx > rect.right - rect.left || size.cy > rect.bottom - rect.top;

    if (autoSizing_ && !sizing_) {
        TFlagGuard guard(sizing_);
        int width = Width();
        int height = Height();
        if ((autoSizeType_ == asVertical || autoSizeType_ == asBoth) && !sideAligned)
            height = size.cy + 6;
        if ((autoSizeType_ == asHorizontal || autoSizeType_ == asBoth) && !endAligned)
            width = size.cx + 6;
        if (width != Width() || height != Height())
            SetBounds(Left(), Top(), width, height);
    }
}

std::string THTMLabel::AnchorAt(int x, int y) {
    TPoint point{x, y};
    for (const TSpot& anchor : anchors_) {
        if (PtInRect(&anchor.Rect, point))
            return anchor.Text;
    }
    return "";
}

std::string THTMLabel::ImageHintAt(int x, int y) {
    TPoint point{x, y};
    for (const TSpot& image : imageHints_) {
        if (PtInRect(&image.Rect, point))
            return image.Text;
    }
    return "";
}

std::string THTMLabel::HintAt(int x, int y) {
    std::string anchor = AnchorAt(x, y);
    if (anchorHint_ && !anchor.empty()) {
        OnAnchorHint(this, anchor);
        return anchor;
    }
    std::string image = ImageHintAt(x, y);
    if (!image.empty())
        return image;
    if (hintShowFull_ && textCut_) {
        std::string text = htmlText_->Text();
        if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
            text.erase(text.size() - 2);
        return htmlHint_ ? text : HTMLStrip(text);
    }
    return GetShortHint(Hint());
}

HWND THTMLabel::HintPopup() const {
    return hintPopup_ ? hintPopup_->Handle() : nullptr;
}

void THTMLabel::ShowHintPopup(const std::string& markup) {
    POINT cursor;
    GetCursorPos(&cursor);
    auto popup = std::make_unique<THintPopup>(*this, markup, cursor);
    hintPopup_ = std::move(popup);
}

void THTMLabel::HideHintPopup() {
    hintPopup_.reset();
}

void THTMLabel::RefreshHint() {
    if (!ShowHint())
        return;
    HideHintPopup();
    Application.CancelHint();
    Application.HintMouseEnter(this);
}

void THTMLabel::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CM_HINTSHOW: {
        // The hint depends on the place under the mouse; with HTMLHint it is drawn as markup.
        auto text = reinterpret_cast<std::string*>(message.LParam);
        POINT cursor;
        GetCursorPos(&cursor);
        const TPoint at = ScreenToClient(TPoint{cursor.x, cursor.y});
        TFreeWatch watch(*this);
        *text = HintAt(at.x, at.y);
        if (watch.Freed()) {
            message.Result = 1;
            return;
        }
        message.Result = 0;
        if (htmlHint_ && !text->empty()) {
            ShowHintPopup(*text);
            message.Result = 1;
        }
        return;
    }
    case CM_MOUSELEAVE:
        HideHintPopup();
        hotImageHint_.clear();
        break;
    default:
        break;
    }
    TCustomLabel::WndProc(message);
}

void THTMLabel::InvalidateAnchor(const std::string&) {
    Invalidate();
}

void THTMLabel::MouseMove(TShiftState shift, int x, int y) {
    TFreeWatch watch(*this);
    TCustomLabel::MouseMove(shift, x, y);
    if (watch.Freed())
        return;
    std::string anchor = AnchorAt(x, y);
    std::string image = ImageHintAt(x, y);
    const bool imageChanged = image != hotImageHint_;
    hotImageHint_ = image;
    if (anchor == hotAnchor_) {
        if (imageChanged)
            RefreshHint();
        return;
    }
    std::string old = hotAnchor_;
    hotAnchor_ = anchor;
    if (!anchor.empty()) {
        SetCursor(crHandPoint);
        OnAnchorEnter(this, anchor);
    } else {
        SetCursor(crDefault);
        OnAnchorExit(this, old);
    }
    if (watch.Freed())
        return;
    if (anchorHint_ || imageChanged)
        RefreshHint();
    if (!watch.Freed() && hover_)
        InvalidateAnchor(anchor);
}

void THTMLabel::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
    TFreeWatch watch(*this);
    TCustomLabel::MouseUp(button, shift, x, y);
    if (watch.Freed())
        return;
    // Any button's release acts on the anchor under the mouse.
    std::string anchor = AnchorAt(x, y);
    if (anchor.empty())
        return;
    if (anchor.find("://") != std::string::npos || anchor.find("mailto:") != std::string::npos) {
        HWND owner = nullptr;
        if (TCustomForm* form = GetParentForm(this))
            owner = form->WindowHandle();
        ShellOpen(owner, "open", anchor, "", "", SW_SHOWNORMAL);
    } else {
        OnAnchorClick(this, anchor);
    }
}
