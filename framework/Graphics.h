#pragma once

// Colours, drawing tools, a canvas over a device context, and pictures.
//
// Tools (TFont, TPen, TBrush) describe a GDI object and create it on first use of Handle();
// any change drops the handle and fires OnChange. A TCanvas selects its tools into its DC
// only when a drawing call needs them and deselects them before a tool's old handle dies,
// so every GDI object is deleted while no DC holds it.

#include "Classes.h"
#include "Event.h"
#include "Handles.h"
#include "Streams.h"
#include "SysUtils.h"
#include "TypInfo.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

using TRect = RECT;
using TPoint = POINT;

inline TRect MakeRect(int left, int top, int right, int bottom) { return TRect{left, top, right, bottom}; }
inline TRect MakeBounds(int left, int top, int width, int height) {
    return TRect{left, top, left + width, top + height};
}

// Plain colours are 0x00BBGGRR; a system colour is kSystemColor | its COLOR_xxx index.
constexpr int32_t kSystemColor = INT32_MIN;

enum TColor : int32_t {
    clBlack = 0x000000,
    clMaroon = 0x000080,
    clGreen = 0x008000,
    clOlive = 0x008080,
    clNavy = 0x800000,
    clPurple = 0x800080,
    clTeal = 0x808000,
    clGray = 0x808080,
    clSilver = 0xC0C0C0,
    clRed = 0x0000FF,
    clLime = 0x00FF00,
    clYellow = 0x00FFFF,
    clBlue = 0xFF0000,
    clFuchsia = 0xFF00FF,
    clAqua = 0xFFFF00,
    clWhite = 0xFFFFFF,
    clMoneyGreen = 0xC0DCC0,
    clSkyBlue = 0xF0CAA6,
    clCream = 0xF0FBFF,
    clMedGray = 0xA4A0A0,
    clNone = 0x1FFFFFFF,
    clDefault = 0x20000000,

    clScrollBar = kSystemColor | COLOR_SCROLLBAR,
    clBackground = kSystemColor | COLOR_BACKGROUND,
    clActiveCaption = kSystemColor | COLOR_ACTIVECAPTION,
    clInactiveCaption = kSystemColor | COLOR_INACTIVECAPTION,
    clMenu = kSystemColor | COLOR_MENU,
    clWindow = kSystemColor | COLOR_WINDOW,
    clWindowFrame = kSystemColor | COLOR_WINDOWFRAME,
    clMenuText = kSystemColor | COLOR_MENUTEXT,
    clWindowText = kSystemColor | COLOR_WINDOWTEXT,
    clCaptionText = kSystemColor | COLOR_CAPTIONTEXT,
    clActiveBorder = kSystemColor | COLOR_ACTIVEBORDER,
    clInactiveBorder = kSystemColor | COLOR_INACTIVEBORDER,
    clAppWorkSpace = kSystemColor | COLOR_APPWORKSPACE,
    clHighlight = kSystemColor | COLOR_HIGHLIGHT,
    clHighlightText = kSystemColor | COLOR_HIGHLIGHTTEXT,
    clBtnFace = kSystemColor | COLOR_BTNFACE,
    clBtnShadow = kSystemColor | COLOR_BTNSHADOW,
    clGrayText = kSystemColor | COLOR_GRAYTEXT,
    clBtnText = kSystemColor | COLOR_BTNTEXT,
    clInactiveCaptionText = kSystemColor | COLOR_INACTIVECAPTIONTEXT,
    clBtnHighlight = kSystemColor | COLOR_BTNHIGHLIGHT,
    cl3DDkShadow = kSystemColor | COLOR_3DDKSHADOW,
    cl3DLight = kSystemColor | COLOR_3DLIGHT,
    clInfoText = kSystemColor | COLOR_INFOTEXT,
    clInfoBk = kSystemColor | COLOR_INFOBK,
    clHotLight = kSystemColor | COLOR_HOTLIGHT,
    clGradientActiveCaption = kSystemColor | COLOR_GRADIENTACTIVECAPTION,
    clGradientInactiveCaption = kSystemColor | COLOR_GRADIENTINACTIVECAPTION,
    clMenuHighlight = kSystemColor | COLOR_MENUHILIGHT,
    clMenuBar = kSystemColor | COLOR_MENUBAR,
};

// System colours resolve through GetSysColor; plain colours pass unchanged.
COLORREF ColorToRGB(TColor color);
inline TColor RGBToColor(COLORREF rgb) { return static_cast<TColor>(rgb & 0xFFFFFF); }

// Names such as "clBtnFace"; case-insensitive lookup.
bool ColorToIdent(TColor color, std::string& ident);
bool IdentToColor(const std::string& ident, TColor& color);
// A further table of names, tried before the framework's own by both look-ups. A library that
// names colours of its own registers its table once at start-up; the table must stay alive.
struct TColorIdent {
    const char* Name;
    int Color;
};
void RegisterColorIdents(std::span<const TColorIdent> idents);
// The name when there is one, else "$" and eight hex digits.
std::string ColorToString(TColor color);
// A name, or a number (decimal or "$" hex); raises EConvertError.
TColor StringToColor(const std::string& text);

class EInvalidGraphic : public Exception {
    using Exception::Exception;
};

// The pixels per inch of the screen, read once.
int ScreenPixelsPerInch();

// A drawing tool: a description that makes its GDI object on demand.
template <class H>
class TGraphicsTool : public TPersistent {
public:
    TGraphicsTool() = default;
    TGraphicsTool(const TGraphicsTool&) = delete;
    TGraphicsTool& operator=(const TGraphicsTool&) = delete;

    // Fired after every change; a canvas owns the OnChange of its own tools.
    TNotifyEvent OnChange;

protected:
    H CachedHandle() const { return handle_.Get(); }
    void CacheHandle(H handle) const { handle_.Reset(handle); }
    // Drops the handle; the old one lives until the listeners have let go of it.
    void Changed() {
        TUniqueGdi<H> old = std::move(handle_);
        OnChange(this);
    }

private:
    mutable TUniqueGdi<H> handle_;
};

enum TFontStyle { fsBold, fsItalic, fsUnderline, fsStrikeOut };
using TFontStyles = TSet<TFontStyle>;
enum TFontPitch { fpDefault, fpVariable, fpFixed };

class TFont : public TGraphicsTool<HFONT> {
    DECLARE_CLASS_INFO()

public:
    TFont();

    HFONT Handle() const;

    const std::string& Name() const { return name_; }
    void SetName(const std::string& name);
    // Points at PixelsPerInch; Height is the negative character height in pixels.
    int Size() const;
    void SetSize(int points);
    int Height() const { return height_; }
    void SetHeight(int height);
    TColor Color() const { return color_; }
    void SetColor(TColor color);
    TFontStyles Style() const { return style_; }
    void SetStyle(TFontStyles style);
    BYTE Charset() const { return charset_; }
    void SetCharset(BYTE charset);
    TFontPitch Pitch() const { return pitch_; }
    void SetPitch(TFontPitch pitch);
    int PixelsPerInch() const { return pixelsPerInch_; }

    void Assign(const TPersistent& source) override;

private:
    std::string name_ = "MS Sans Serif";
    int height_;
    TColor color_ = clWindowText;
    TFontStyles style_;
    BYTE charset_ = DEFAULT_CHARSET;
    TFontPitch pitch_ = fpDefault;
    int pixelsPerInch_;
};

// The values match the PS_xxx constants.
enum TPenStyle { psSolid, psDash, psDot, psDashDot, psDashDotDot, psClear, psInsideFrame };
enum TPenMode {
    pmBlack, pmWhite, pmNop, pmNot, pmCopy, pmNotCopy, pmMergePenNot, pmMaskPenNot,
    pmMergeNotPen, pmMaskNotPen, pmMerge, pmNotMerge, pmMask, pmNotMask, pmXor, pmNotXor
};

class TPen : public TGraphicsTool<HPEN> {
    DECLARE_CLASS_INFO()

public:
    HPEN Handle() const;

    TColor Color() const { return color_; }
    void SetColor(TColor color);
    int Width() const { return width_; }
    void SetWidth(int width);
    TPenStyle Style() const { return style_; }
    void SetStyle(TPenStyle style);
    // The raster operation a canvas applies while this pen is selected.
    TPenMode Mode() const { return mode_; }
    void SetMode(TPenMode mode);

    void Assign(const TPersistent& source) override;

private:
    TColor color_ = clBlack;
    int width_ = 1;
    TPenStyle style_ = psSolid;
    TPenMode mode_ = pmCopy;
};

enum TBrushStyle { bsSolid, bsClear, bsHorizontal, bsVertical, bsFDiagonal, bsBDiagonal, bsCross, bsDiagCross };

class TBrush : public TGraphicsTool<HBRUSH> {
    DECLARE_CLASS_INFO()

public:
    // The stock null brush for bsClear.
    HBRUSH Handle() const;

    TColor Color() const { return color_; }
    void SetColor(TColor color);
    TBrushStyle Style() const { return style_; }
    void SetStyle(TBrushStyle style);

    void Assign(const TPersistent& source) override;

private:
    TColor color_ = clWhite;
    TBrushStyle style_ = bsSolid;
};

class TGraphic;

// Drawing on a device context it does not own.
class TCanvas : public TPersistent {
public:
    TCanvas();
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;
    ~TCanvas() override;

    HDC Handle() const { return dc_; }
    // Deselects the tools from the previous DC first.
    void SetHandle(HDC dc);

    TFont& Font() { return font_; }
    TPen& Pen() { return pen_; }
    TBrush& Brush() { return brush_; }
    // The raster operation of CopyRect and Draw.
    DWORD CopyMode = SRCCOPY;

    void MoveTo(int x, int y);
    void LineTo(int x, int y);
    TPoint PenPos() const;
    void SetPenPos(TPoint point) { MoveTo(point.x, point.y); }

    TColor Pixels(int x, int y) const;
    void SetPixel(int x, int y, TColor color);

    // With the brush.
    void FillRect(const TRect& rect);
    void FrameRect(const TRect& rect);
    // Outlined with the pen and filled with the brush.
    void Rectangle(int left, int top, int right, int bottom);
    void Rectangle(const TRect& rect) { Rectangle(rect.left, rect.top, rect.right, rect.bottom); }
    void Ellipse(int left, int top, int right, int bottom);
    void Polygon(std::span<const TPoint> points);
    void Polyline(std::span<const TPoint> points);

    // Text in the font; the background is the brush unless the brush is clear.
    void TextOut(int x, int y, const std::string& text);
    // Clipped to rect; a solid brush fills rect first.
    void TextRect(const TRect& rect, int x, int y, const std::string& text);
    SIZE TextExtent(const std::string& text);
    int TextWidth(const std::string& text) { return TextExtent(text).cx; }
    int TextHeight(const std::string& text) { return TextExtent(text).cy; }

    void Draw(int x, int y, TGraphic& graphic);
    void StretchDraw(const TRect& rect, TGraphic& graphic);
    void CopyRect(const TRect& dest, TCanvas& source, const TRect& sourceRect);

    // The bounds of the current clip area in logical units.
    TRect ClipRect() const;
    // Null removes clipping; the region is copied.
    void SetClipRegion(HRGN region);
    void IntersectClipRect(const TRect& rect);
    void ExcludeClipRect(const TRect& rect);

    // Brings the tools into the DC; drawing calls do this themselves.
    void RequirePen();
    void RequireBrush();
    void RequireFont();

private:
    void RequireHandle() const;
    void ToolChanged(TObject* sender);
    void DeselectTools();

    HDC dc_ = nullptr;
    TFont font_;
    TPen pen_;
    TBrush brush_;
    // Declared after the tools: they are deselected before the tools die.
    std::optional<TSelection> fontSelection_;
    std::optional<TSelection> penSelection_;
    std::optional<TSelection> brushSelection_;
};

// Saves the canvas's clip region and puts it back on destruction.
class TClipGuard {
public:
    explicit TClipGuard(TCanvas& canvas);
    TClipGuard(const TClipGuard&) = delete;
    TClipGuard& operator=(const TClipGuard&) = delete;
    ~TClipGuard();

private:
    TCanvas& canvas_;
    TUniqueGdi<HRGN> saved_;  // null when there was no clip region
};

// Lends a DC to a canvas for the lifetime of the loan (painting, drawing an item).
class TCanvasLoan {
public:
    TCanvasLoan(TCanvas& canvas, HDC dc) : canvas_(canvas) { canvas_.SetHandle(dc); }
    ~TCanvasLoan() { canvas_.SetHandle(nullptr); }
    TCanvasLoan(const TCanvasLoan&) = delete;
    TCanvasLoan& operator=(const TCanvasLoan&) = delete;

private:
    TCanvas& canvas_;
};

// An image that can draw itself and round-trip through a stream.
class TGraphic : public TPersistent {
public:
    TGraphic() = default;
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;

    virtual int Width() const = 0;
    virtual int Height() const = 0;
    bool Empty() const { return Width() <= 0 || Height() <= 0; }

    // Reads from the stream's position to its end.
    virtual void LoadFromStream(TStream& stream) = 0;
    virtual void SaveToStream(TStream& stream) const = 0;
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;

    virtual std::unique_ptr<TGraphic> Clone() const = 0;

    bool Transparent() const { return transparent_; }
    void SetTransparent(bool transparent);

    TNotifyEvent OnChange;

protected:
    friend class TCanvas;
    // Stretches the image over rect of the canvas.
    virtual void Draw(TCanvas& canvas, const TRect& rect) = 0;
    void Changed() { OnChange(this); }
    // "Data": what SaveToStream writes, unless the graphic is empty.
    void DefineProperties(TFiler& filer) override;
    void DefineData(TFiler& filer, bool hasData);

private:
    bool transparent_ = false;
};

enum TPixelFormat { pf24bit, pf32bit };

// A top-down DIB section selected into its own memory DC, drawn on through Canvas().
class TBitmap : public TGraphic {
public:
    TBitmap();
    TBitmap(int width, int height, TPixelFormat format = pf24bit);
    ~TBitmap() override;

    int Width() const override { return width_; }
    int Height() const override { return height_; }
    // Keeps the overlapping pixels; new pixels are black.
    void SetSize(int width, int height);
    void SetWidth(int width) { SetSize(width, height_); }
    void SetHeight(int height) { SetSize(width_, height); }
    TPixelFormat PixelFormat() const { return format_; }
    void SetPixelFormat(TPixelFormat format);

    TCanvas& Canvas() { return canvas_; }
    // The DIB, selected into the canvas's DC; use CopyHandle for a DC of your own.
    HBITMAP Handle() const { return dib_.Get(); }
    TUniqueGdi<HBITMAP> CopyHandle() const;

    // Row y from the top: 3 or 4 bytes a pixel, blue first. Pending drawing is flushed.
    uint8_t* ScanLine(int y);
    const uint8_t* ScanLine(int y) const;
    int BytesPerScanLine() const { return stride_; }

    // The colour that transparent drawing leaves out: bottom-left pixel unless set.
    TColor TransparentColor() const;
    void SetTransparentColor(TColor color);

    // RT_BITMAP resources.
    void LoadFromResourceName(HMODULE module, const std::string& name);
    void LoadFromResourceID(HMODULE module, int id);
    // BMP files: any bit count GDI reads; saved as 24 or 32 bits.
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) const override;
    std::unique_ptr<TGraphic> Clone() const override;

    void Assign(const TPersistent& source) override;

protected:
    void Draw(TCanvas& canvas, const TRect& rect) override;

private:
    void Recreate(int width, int height, TPixelFormat format, bool keepPixels);
    void LoadDib(const uint8_t* data, size_t size, size_t bitsOffset);

    int width_ = 0;
    int height_ = 0;
    TPixelFormat format_ = pf24bit;
    int stride_ = 0;
    uint8_t* bits_ = nullptr;
    TColor transparentColor_ = clDefault;
    // Destroyed in reverse: canvas tools, then the DIB selection, the DIB, the DC.
    TUniqueMemoryDc dc_;
    TUniqueGdi<HBITMAP> dib_;
    std::optional<TSelection> dibSelection_;
    TCanvas canvas_;
};

// An icon handle owner.
class TIcon : public TGraphic {
public:
    int Width() const override { return width_; }
    int Height() const override { return height_; }

    HICON Handle() const { return icon_.Get(); }
    // Takes ownership.
    void SetHandle(HICON icon);

    // RT_GROUP_ICON resources, at the system's large icon size.
    void LoadFromResourceName(HMODULE module, const std::string& name);
    void LoadFromResourceID(HMODULE module, int id);
    // ICO files: the image nearest the large icon size; saving writes back what was loaded.
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) const override;
    std::unique_ptr<TGraphic> Clone() const override;

    void Assign(const TPersistent& source) override;

protected:
    void Draw(TCanvas& canvas, const TRect& rect) override;
    // An icon known only by its handle keeps no bytes to write.
    void DefineProperties(TFiler& filer) override { DefineData(filer, !Empty() && !fileData_.empty()); }

private:
    void Take(HICON icon, std::vector<uint8_t> fileData);

    TUniqueIcon icon_;
    int width_ = 0;
    int height_ = 0;
    std::vector<uint8_t> fileData_;
};

// Holds one graphic, its kind chosen from the data it loads.
class TPicture : public TPersistent {
public:
    TPicture() = default;
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;

    // Null when empty.
    TGraphic* Graphic() const { return graphic_.get(); }
    void SetGraphic(std::unique_ptr<TGraphic> graphic);
    // The graphic when it is a bitmap; otherwise replaces it with an empty bitmap.
    TBitmap& Bitmap();

    int Width() const { return graphic_ ? graphic_->Width() : 0; }
    int Height() const { return graphic_ ? graphic_->Height() : 0; }

    // BMP, JPEG or ICO by their first bytes; raises EInvalidGraphic for anything else.
    void LoadFromStream(TStream& stream);
    void LoadFromFile(const std::string& fileName);
    void SaveToStream(TStream& stream) const;

    // From another picture or any graphic.
    void Assign(const TPersistent& source) override;

    TNotifyEvent OnChange;

private:
    void GraphicChanged(TObject*) { OnChange(this); }

    std::unique_ptr<TGraphic> graphic_;
};

// Names for published properties of these types.
template <>
struct TEnumTraits<TFontStyle> {
    static constexpr const char* Names[] = {"fsBold", "fsItalic", "fsUnderline", "fsStrikeOut"};
};
template <>
struct TEnumTraits<TFontPitch> {
    static constexpr const char* Names[] = {"fpDefault", "fpVariable", "fpFixed"};
};
template <>
struct TEnumTraits<TPenStyle> {
    static constexpr const char* Names[] = {"psSolid", "psDash", "psDot", "psDashDot", "psDashDotDot", "psClear",
                                            "psInsideFrame"};
};
template <>
struct TEnumTraits<TPenMode> {
    static constexpr const char* Names[] = {"pmBlack",       "pmWhite",     "pmNop",     "pmNot",
                                            "pmCopy",        "pmNotCopy",   "pmMergePenNot", "pmMaskPenNot",
                                            "pmMergeNotPen", "pmMaskNotPen", "pmMerge",  "pmNotMerge",
                                            "pmMask",        "pmNotMask",   "pmXor",     "pmNotXor"};
};
template <>
struct TEnumTraits<TBrushStyle> {
    static constexpr const char* Names[] = {"bsSolid",     "bsClear",     "bsHorizontal", "bsVertical",
                                            "bsFDiagonal", "bsBDiagonal", "bsCross",      "bsDiagCross"};
};
template <>
struct TPropKindOverride<TColor> {
    static constexpr TTypeKind Kind = TTypeKind::Colour;
    static std::string ToText(int64_t value) { return ColorToString(static_cast<TColor>(value)); }
    static bool FromText(const std::string& text, int64_t& value);
};
