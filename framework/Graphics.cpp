#include "Graphics.h"

#include "FormStream.h"
#include "Jpeg.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

// ---- Colours ----

namespace {

struct TColorName {
    TColor color;
    const char* name;
};

constexpr TColorName kColorNames[] = {
    {clBlack, "clBlack"},
    {clMaroon, "clMaroon"},
    {clGreen, "clGreen"},
    {clOlive, "clOlive"},
    {clNavy, "clNavy"},
    {clPurple, "clPurple"},
    {clTeal, "clTeal"},
    {clGray, "clGray"},
    {clSilver, "clSilver"},
    {clRed, "clRed"},
    {clLime, "clLime"},
    {clYellow, "clYellow"},
    {clBlue, "clBlue"},
    {clFuchsia, "clFuchsia"},
    {clAqua, "clAqua"},
    {clWhite, "clWhite"},
    {clMoneyGreen, "clMoneyGreen"},
    {clSkyBlue, "clSkyBlue"},
    {clCream, "clCream"},
    {clMedGray, "clMedGray"},
    {clNone, "clNone"},
    {clDefault, "clDefault"},
    {clScrollBar, "clScrollBar"},
    {clBackground, "clBackground"},
    {clActiveCaption, "clActiveCaption"},
    {clInactiveCaption, "clInactiveCaption"},
    {clMenu, "clMenu"},
    {clWindow, "clWindow"},
    {clWindowFrame, "clWindowFrame"},
    {clMenuText, "clMenuText"},
    {clWindowText, "clWindowText"},
    {clCaptionText, "clCaptionText"},
    {clActiveBorder, "clActiveBorder"},
    {clInactiveBorder, "clInactiveBorder"},
    {clAppWorkSpace, "clAppWorkSpace"},
    {clHighlight, "clHighlight"},
    {clHighlightText, "clHighlightText"},
    {clBtnFace, "clBtnFace"},
    {clBtnShadow, "clBtnShadow"},
    {clGrayText, "clGrayText"},
    {clBtnText, "clBtnText"},
    {clInactiveCaptionText, "clInactiveCaptionText"},
    {clBtnHighlight, "clBtnHighlight"},
    {cl3DDkShadow, "cl3DDkShadow"},
    {cl3DLight, "cl3DLight"},
    {clInfoText, "clInfoText"},
    {clInfoBk, "clInfoBk"},
    {clHotLight, "clHotLight"},
    {clGradientActiveCaption, "clGradientActiveCaption"},
    {clGradientInactiveCaption, "clGradientInactiveCaption"},
    {clMenuHighlight, "clMenuHighlight"},
    {clMenuBar, "clMenuBar"},
};

}  // namespace

COLORREF ColorToRGB(TColor color) {
    if (color < 0)
        return GetSysColor(color & 0xFF);
    return static_cast<COLORREF>(color);
}

namespace {

// Registered tables, the latest first.
std::vector<std::span<const TColorIdent>>& ExtraColorIdents() {
    static std::vector<std::span<const TColorIdent>> tables;
    return tables;
}

}  // namespace

void RegisterColorIdents(std::span<const TColorIdent> idents) {
    auto& tables = ExtraColorIdents();
    for (const auto& table : tables)
        if (table.data() == idents.data())
            return;
    tables.insert(tables.begin(), idents);
}

bool ColorToIdent(TColor color, std::string& ident) {
    for (const auto& table : ExtraColorIdents())
        for (const TColorIdent& entry : table)
            if (entry.Color == static_cast<int>(color)) {
                ident = entry.Name;
                return true;
            }
    for (const TColorName& entry : kColorNames)
        if (entry.color == color) {
            ident = entry.name;
            return true;
        }
    return false;
}

bool IdentToColor(const std::string& ident, TColor& color) {
    for (const auto& table : ExtraColorIdents())
        for (const TColorIdent& entry : table)
            if (SameText(entry.Name, ident)) {
                color = static_cast<TColor>(entry.Color);
                return true;
            }
    for (const TColorName& entry : kColorNames)
        if (SameText(entry.name, ident)) {
            color = entry.color;
            return true;
        }
    return false;
}

std::string ColorToString(TColor color) {
    std::string ident;
    if (ColorToIdent(color, ident))
        return ident;
    return "$" + IntToHex(static_cast<uint32_t>(color), 8);
}

TColor StringToColor(const std::string& text) {
    TColor color;
    if (IdentToColor(Trim(text), color))
        return color;
    return static_cast<TColor>(StrToInt(text));
}

bool TPropKindOverride<TColor>::FromText(const std::string& text, int64_t& value) {
    TColor color;
    int number;
    if (IdentToColor(Trim(text), color))
        value = color;
    else if (TryStrToInt(text, number))
        value = number;
    else
        return false;
    return true;
}

int ScreenPixelsPerInch() {
    static const int ppi = [] {
        TWindowDc screen(nullptr);
        return screen ? GetDeviceCaps(screen.Get(), LOGPIXELSY) : 96;
    }();
    return ppi;
}

// ---- Tools ----

TFont::TFont() : pixelsPerInch_(ScreenPixelsPerInch()) { height_ = -MulDiv(8, pixelsPerInch_, 72); }

HFONT TFont::Handle() const {
    if (!CachedHandle()) {
        LOGFONTA font{};
        font.lfHeight = height_;
        font.lfWeight = style_.Contains(fsBold) ? FW_BOLD : FW_NORMAL;
        font.lfItalic = style_.Contains(fsItalic);
        font.lfUnderline = style_.Contains(fsUnderline);
        font.lfStrikeOut = style_.Contains(fsStrikeOut);
        font.lfCharSet = charset_;
        font.lfOutPrecision = OUT_DEFAULT_PRECIS;
        font.lfClipPrecision = CLIP_DEFAULT_PRECIS;
        font.lfQuality = DEFAULT_QUALITY;
        font.lfPitchAndFamily = pitch_ == fpFixed ? FIXED_PITCH : pitch_ == fpVariable ? VARIABLE_PITCH : DEFAULT_PITCH;
        name_.copy(font.lfFaceName, LF_FACESIZE - 1);
        HFONT handle = CreateFontIndirectA(&font);
        if (!handle)
            throw EInvalidGraphic("Cannot create font " + name_);
        CacheHandle(handle);
    }
    return CachedHandle();
}

void TFont::SetName(const std::string& name) {
    if (name != name_) {
        name_ = name;
        Changed();
    }
}

int TFont::Size() const { return -MulDiv(height_, 72, pixelsPerInch_); }

void TFont::SetSize(int points) { SetHeight(-MulDiv(points, pixelsPerInch_, 72)); }

void TFont::SetHeight(int height) {
    if (height != height_) {
        height_ = height;
        Changed();
    }
}

void TFont::SetColor(TColor color) {
    if (color != color_) {
        color_ = color;
        Changed();
    }
}

void TFont::SetStyle(TFontStyles style) {
    if (style != style_) {
        style_ = style;
        Changed();
    }
}

void TFont::SetCharset(BYTE charset) {
    if (charset != charset_) {
        charset_ = charset;
        Changed();
    }
}

void TFont::SetPitch(TFontPitch pitch) {
    if (pitch != pitch_) {
        pitch_ = pitch;
        Changed();
    }
}

void TFont::Assign(const TPersistent& source) {
    const auto* font = dynamic_cast<const TFont*>(&source);
    if (!font)
        return TPersistent::Assign(source);
    name_ = font->name_;
    // The same point size on this font's device.
    height_ = MulDiv(font->height_, pixelsPerInch_, font->pixelsPerInch_);
    color_ = font->color_;
    style_ = font->style_;
    charset_ = font->charset_;
    pitch_ = font->pitch_;
    Changed();
}

HPEN TPen::Handle() const {
    if (!CachedHandle()) {
        HPEN handle = CreatePen(style_, width_, ColorToRGB(color_));
        if (!handle)
            throw EInvalidGraphic("Cannot create pen");
        CacheHandle(handle);
    }
    return CachedHandle();
}

void TPen::SetColor(TColor color) {
    if (color != color_) {
        color_ = color;
        Changed();
    }
}

void TPen::SetWidth(int width) {
    if (width != width_) {
        width_ = width;
        Changed();
    }
}

void TPen::SetStyle(TPenStyle style) {
    if (style != style_) {
        style_ = style;
        Changed();
    }
}

void TPen::SetMode(TPenMode mode) {
    if (mode != mode_) {
        mode_ = mode;
        Changed();
    }
}

void TPen::Assign(const TPersistent& source) {
    const auto* pen = dynamic_cast<const TPen*>(&source);
    if (!pen)
        return TPersistent::Assign(source);
    color_ = pen->color_;
    width_ = pen->width_;
    style_ = pen->style_;
    mode_ = pen->mode_;
    Changed();
}

HBRUSH TBrush::Handle() const {
    if (style_ == bsClear)
        return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    if (!CachedHandle()) {
        const COLORREF rgb = ColorToRGB(color_);
        // bsHorizontal.. map onto HS_HORIZONTAL.. in order.
        HBRUSH handle = style_ == bsSolid ? CreateSolidBrush(rgb) : CreateHatchBrush(style_ - bsHorizontal, rgb);
        if (!handle)
            throw EInvalidGraphic("Cannot create brush");
        CacheHandle(handle);
    }
    return CachedHandle();
}

void TBrush::SetColor(TColor color) {
    if (color != color_) {
        color_ = color;
        // A clear brush turns solid when it gets a colour.
        if (style_ == bsClear)
            style_ = bsSolid;
        Changed();
    }
}

void TBrush::SetStyle(TBrushStyle style) {
    if (style != style_) {
        style_ = style;
        Changed();
    }
}

void TBrush::Assign(const TPersistent& source) {
    const auto* brush = dynamic_cast<const TBrush*>(&source);
    if (!brush)
        return TPersistent::Assign(source);
    color_ = brush->color_;
    style_ = brush->style_;
    Changed();
}

// ---- Canvas ----

TCanvas::TCanvas() {
    font_.OnChange = TNotifyEvent(this, &TCanvas::ToolChanged);
    pen_.OnChange = TNotifyEvent(this, &TCanvas::ToolChanged);
    brush_.OnChange = TNotifyEvent(this, &TCanvas::ToolChanged);
}

TCanvas::~TCanvas() { DeselectTools(); }

void TCanvas::SetHandle(HDC dc) {
    if (dc != dc_) {
        DeselectTools();
        dc_ = dc;
    }
}

void TCanvas::DeselectTools() {
    fontSelection_.reset();
    penSelection_.reset();
    brushSelection_.reset();
}

void TCanvas::ToolChanged(TObject* sender) {
    if (sender == &font_)
        fontSelection_.reset();
    else if (sender == &pen_)
        penSelection_.reset();
    else if (sender == &brush_)
        brushSelection_.reset();
}

void TCanvas::RequireHandle() const {
    if (!dc_)
        throw EInvalidGraphic("Canvas does not allow drawing");
}

void TCanvas::RequirePen() {
    RequireHandle();
    if (!penSelection_) {
        static const int kRop2[] = {R2_BLACK,       R2_WHITE,      R2_NOP,         R2_NOT,
                                    R2_COPYPEN,     R2_NOTCOPYPEN, R2_MERGEPENNOT, R2_MASKPENNOT,
                                    R2_MERGENOTPEN, R2_MASKNOTPEN, R2_MERGEPEN,    R2_NOTMERGEPEN,
                                    R2_MASKPEN,     R2_NOTMASKPEN, R2_XORPEN,      R2_NOTXORPEN};
        penSelection_.emplace(dc_, pen_.Handle());
        SetROP2(dc_, kRop2[pen_.Mode()]);
    }
}

void TCanvas::RequireBrush() {
    RequireHandle();
    if (!brushSelection_) {
        brushSelection_.emplace(dc_, brush_.Handle());
        SetBkColor(dc_, ColorToRGB(brush_.Color()));
        SetBkMode(dc_, brush_.Style() == bsClear ? TRANSPARENT : OPAQUE);
    }
}

void TCanvas::RequireFont() {
    RequireHandle();
    if (!fontSelection_) {
        fontSelection_.emplace(dc_, font_.Handle());
        SetTextColor(dc_, ColorToRGB(font_.Color()));
    }
}

void TCanvas::MoveTo(int x, int y) {
    RequireHandle();
    MoveToEx(dc_, x, y, nullptr);
}

void TCanvas::LineTo(int x, int y) {
    RequirePen();
    ::LineTo(dc_, x, y);
}

TPoint TCanvas::PenPos() const {
    RequireHandle();
    TPoint point{};
    GetCurrentPositionEx(dc_, &point);
    return point;
}

TColor TCanvas::Pixels(int x, int y) const {
    RequireHandle();
    const COLORREF rgb = GetPixel(dc_, x, y);
    return rgb == CLR_INVALID ? clNone : RGBToColor(rgb);
}

void TCanvas::SetPixel(int x, int y, TColor color) {
    RequireHandle();
    ::SetPixelV(dc_, x, y, ColorToRGB(color));
}

void TCanvas::FillRect(const TRect& rect) {
    RequireHandle();
    ::FillRect(dc_, &rect, brush_.Handle());
}

void TCanvas::FrameRect(const TRect& rect) {
    RequireHandle();
    ::FrameRect(dc_, &rect, brush_.Handle());
}

void TCanvas::Rectangle(int left, int top, int right, int bottom) {
    RequirePen();
    RequireBrush();
    ::Rectangle(dc_, left, top, right, bottom);
}

void TCanvas::Ellipse(int left, int top, int right, int bottom) {
    RequirePen();
    RequireBrush();
    ::Ellipse(dc_, left, top, right, bottom);
}

void TCanvas::Polygon(std::span<const TPoint> points) {
    RequirePen();
    RequireBrush();
    ::Polygon(dc_, points.data(), static_cast<int>(points.size()));
}

void TCanvas::Polyline(std::span<const TPoint> points) {
    RequirePen();
    ::Polyline(dc_, points.data(), static_cast<int>(points.size()));
}

void TCanvas::TextOut(int x, int y, const std::string& text) {
    RequireFont();
    RequireBrush();
    ::TextOutA(dc_, x, y, text.data(), static_cast<int>(text.size()));
}

void TCanvas::TextRect(const TRect& rect, int x, int y, const std::string& text) {
    RequireFont();
    RequireBrush();
    const UINT options = ETO_CLIPPED | (brush_.Style() == bsClear ? 0 : ETO_OPAQUE);
    ExtTextOutA(dc_, x, y, options, &rect, text.data(), static_cast<UINT>(text.size()), nullptr);
}

SIZE TCanvas::TextExtent(const std::string& text) {
    RequireFont();
    SIZE size{};
    GetTextExtentPoint32A(dc_, text.data(), static_cast<int>(text.size()), &size);
    return size;
}

void TCanvas::Draw(int x, int y, TGraphic& graphic) {
    if (!graphic.Empty())
        graphic.Draw(*this, MakeBounds(x, y, graphic.Width(), graphic.Height()));
}

void TCanvas::StretchDraw(const TRect& rect, TGraphic& graphic) {
    if (!graphic.Empty())
        graphic.Draw(*this, rect);
}

void TCanvas::CopyRect(const TRect& dest, TCanvas& source, const TRect& sourceRect) {
    RequireHandle();
    source.RequireHandle();
    StretchBlt(dc_, dest.left, dest.top, dest.right - dest.left, dest.bottom - dest.top, source.dc_,
               sourceRect.left, sourceRect.top, sourceRect.right - sourceRect.left,
               sourceRect.bottom - sourceRect.top, CopyMode);
}

TRect TCanvas::ClipRect() const {
    RequireHandle();
    TRect rect{};
    GetClipBox(dc_, &rect);
    return rect;
}

void TCanvas::SetClipRegion(HRGN region) {
    RequireHandle();
    SelectClipRgn(dc_, region);
}

void TCanvas::IntersectClipRect(const TRect& rect) {
    RequireHandle();
    ::IntersectClipRect(dc_, rect.left, rect.top, rect.right, rect.bottom);
}

void TCanvas::ExcludeClipRect(const TRect& rect) {
    RequireHandle();
    ::ExcludeClipRect(dc_, rect.left, rect.top, rect.right, rect.bottom);
}

TClipGuard::TClipGuard(TCanvas& canvas) : canvas_(canvas), saved_(CreateRectRgn(0, 0, 0, 0)) {
    if (!saved_)
        throw EInvalidGraphic("Cannot create region");
    if (GetClipRgn(canvas.Handle(), saved_.Get()) != 1)
        saved_.Reset();
}

TClipGuard::~TClipGuard() { SelectClipRgn(canvas_.Handle(), saved_.Get()); }

// ---- Graphic ----

void TGraphic::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(stream);
}

void TGraphic::SaveToFile(const std::string& fileName) const {
    TFileStream stream(fileName, fmCreate);
    SaveToStream(stream);
}

void TGraphic::DefineProperties(TFiler& filer) { DefineData(filer, !Empty()); }

void TGraphic::DefineData(TFiler& filer, bool hasData) {
    TPersistent::DefineProperties(filer);
    filer.DefineBinaryProperty(
        "Data", [this](TStream& stream) { LoadFromStream(stream); }, [this](TStream& stream) { SaveToStream(stream); },
        hasData);
}

void TGraphic::SetTransparent(bool transparent) {
    if (transparent != transparent_) {
        transparent_ = transparent;
        Changed();
    }
}

namespace {

// The rest of a stream, bounded so that a damaged size cannot exhaust memory.
std::vector<uint8_t> ReadRest(TStream& stream) {
    const int64_t count = stream.Size() - stream.Position();
    if (count < 0 || count > (int64_t{1} << 30))
        throw EInvalidGraphic("Image data too large");
    std::vector<uint8_t> data(static_cast<size_t>(count));
    stream.ReadBuffer(data.data(), count);
    return data;
}

template <class T>
T ReadLittle(const uint8_t* p) {
    T value{};
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Images above this many pixels are refused as damaged.
constexpr int64_t kMaxPixels = int64_t{1} << 26;

}  // namespace

// ---- Bitmap ----

TBitmap::TBitmap() : dc_(CreateCompatibleDC(nullptr)) {
    if (!dc_)
        throw EInvalidGraphic("Cannot create a memory DC");
    canvas_.SetHandle(dc_.Get());
}

TBitmap::TBitmap(int width, int height, TPixelFormat format) : TBitmap() {
    Recreate(width, height, format, false);
}

TBitmap::~TBitmap() { canvas_.SetHandle(nullptr); }

void TBitmap::SetSize(int width, int height) {
    if (width != width_ || height != height_)
        Recreate(width, height, format_, true);
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
    if (format != format_)
        Recreate(width_, height_, format, true);
}

void TBitmap::Recreate(int width, int height, TPixelFormat format, bool keepPixels) {
    if (width <= 0 || height <= 0) {
        width = height = 0;
    } else if (int64_t{width} * height > kMaxPixels) {
        throw EInvalidGraphic("Bitmap too large");
    }
    const int bytesPerPixel = format == pf32bit ? 4 : 3;
    const int stride = (width * bytesPerPixel + 3) & ~3;
    TUniqueGdi<HBITMAP> dib;
    void* bits = nullptr;
    if (width > 0) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = static_cast<WORD>(bytesPerPixel * 8);
        info.bmiHeader.biCompression = BI_RGB;
        dib.Reset(CreateDIBSection(dc_.Get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        if (!dib)
            throw EInvalidGraphic("Out of system resources");
        if (keepPixels && bits_) {
            GdiFlush();
            const int oldBytes = format_ == pf32bit ? 4 : 3;
            auto* target = static_cast<uint8_t*>(bits);
            for (int y = 0; y < std::min(height, height_); ++y)
                for (int x = 0; x < std::min(width, width_); ++x)
                    std::memcpy(target + y * stride + x * bytesPerPixel, bits_ + y * stride_ + x * oldBytes, 3);
        }
        if (dibSelection_)
            dibSelection_->Select(dib.Get());
        else
            dibSelection_.emplace(dc_.Get(), dib.Get());
    } else {
        dibSelection_.reset();
    }
    dib_ = std::move(dib);
    bits_ = static_cast<uint8_t*>(bits);
    width_ = width;
    height_ = height;
    format_ = format;
    stride_ = width > 0 ? stride : 0;
    Changed();
}

TUniqueGdi<HBITMAP> TBitmap::CopyHandle() const {
    if (!bits_)
        return {};
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width_;
    info.bmiHeader.biHeight = -height_;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = format_ == pf32bit ? 32 : 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    TUniqueGdi<HBITMAP> copy(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!copy)
        throw EInvalidGraphic("Out of system resources");
    GdiFlush();
    std::memcpy(bits, bits_, static_cast<size_t>(stride_) * height_);
    return copy;
}

uint8_t* TBitmap::ScanLine(int y) {
    return const_cast<uint8_t*>(static_cast<const TBitmap&>(*this).ScanLine(y));
}

const uint8_t* TBitmap::ScanLine(int y) const {
    if (y < 0 || y >= height_)
        throw EInvalidGraphic("Scan line index out of range");
    GdiFlush();
    return bits_ + static_cast<ptrdiff_t>(y) * stride_;
}

TColor TBitmap::TransparentColor() const {
    if (transparentColor_ != clDefault || Empty())
        return transparentColor_;
    const uint8_t* pixel = ScanLine(height_ - 1);
    return RGBToColor(RGB(pixel[2], pixel[1], pixel[0]));
}

void TBitmap::SetTransparentColor(TColor color) {
    if (color != transparentColor_) {
        transparentColor_ = color;
        Changed();
    }
}

void TBitmap::Draw(TCanvas& canvas, const TRect& rect) {
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (Transparent()) {
        TransparentBlt(canvas.Handle(), rect.left, rect.top, width, height, dc_.Get(), 0, 0, width_, height_,
                       ColorToRGB(TransparentColor()));
    } else {
        StretchBlt(canvas.Handle(), rect.left, rect.top, width, height, dc_.Get(), 0, 0, width_, height_,
                   canvas.CopyMode);
    }
}

void TBitmap::LoadDib(const uint8_t* data, size_t size, size_t bitsOffset) {
    if (size < sizeof(BITMAPCOREHEADER))
        throw EInvalidGraphic("Bitmap image is not valid");
    const DWORD headerSize = ReadLittle<DWORD>(data);
    int64_t width, height;
    int bitCount;
    DWORD compression = BI_RGB, sizeImage = 0;
    size_t tableBytes;
    if (headerSize == sizeof(BITMAPCOREHEADER)) {
        const auto core = ReadLittle<BITMAPCOREHEADER>(data);
        width = core.bcWidth;
        height = core.bcHeight;
        bitCount = core.bcBitCount;
        tableBytes = bitCount <= 8 ? (size_t{1} << bitCount) * sizeof(RGBTRIPLE) : 0;
    } else if (headerSize >= sizeof(BITMAPINFOHEADER) && headerSize <= size) {
        const auto header = ReadLittle<BITMAPINFOHEADER>(data);
        width = header.biWidth;
        height = header.biHeight;
        bitCount = header.biBitCount;
        compression = header.biCompression;
        sizeImage = header.biSizeImage;
        size_t colors = header.biClrUsed ? header.biClrUsed : bitCount <= 8 ? size_t{1} << bitCount : 0;
        if (colors > 256)
            throw EInvalidGraphic("Bitmap image is not valid");
        tableBytes = colors * sizeof(RGBQUAD);
        if (compression == BI_BITFIELDS && headerSize == sizeof(BITMAPINFOHEADER))
            tableBytes += 3 * sizeof(DWORD);
    } else {
        throw EInvalidGraphic("Bitmap image is not valid");
    }
    const bool knownFormat =
        (compression == BI_RGB && (bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 16 ||
                                   bitCount == 24 || bitCount == 32)) ||
        (compression == BI_RLE8 && bitCount == 8) || (compression == BI_RLE4 && bitCount == 4) ||
        (compression == BI_BITFIELDS && (bitCount == 16 || bitCount == 32));
    const int64_t rows = height < 0 ? -height : height;
    if (!knownFormat || width <= 0 || rows == 0 || width * rows > kMaxPixels)
        throw EInvalidGraphic("Bitmap image is not valid");

    const size_t tableEnd = headerSize + tableBytes;
    if (bitsOffset == 0)
        bitsOffset = tableEnd;
    if (tableEnd > size || bitsOffset < tableEnd || bitsOffset > size)
        throw EInvalidGraphic("Bitmap image is not valid");
    const size_t available = size - bitsOffset;
    const size_t needed = compression == BI_RLE8 || compression == BI_RLE4
                              ? sizeImage
                              : static_cast<size_t>((width * bitCount + 31) / 32 * 4 * rows);
    if (needed == 0 || needed > available)
        throw EInvalidGraphic("Bitmap image is truncated");

    // GDI reads the header fields with their natural alignment.
    std::vector<DWORD> info((tableEnd + sizeof(DWORD) - 1) / sizeof(DWORD));
    std::memcpy(info.data(), data, tableEnd);
    Recreate(static_cast<int>(width), static_cast<int>(rows), bitCount == 32 ? pf32bit : pf24bit, false);
    TClipGuard clip(canvas_);
    canvas_.SetClipRegion(nullptr);
    if (SetDIBitsToDevice(dc_.Get(), 0, 0, static_cast<DWORD>(width), static_cast<DWORD>(rows), 0, 0, 0,
                          static_cast<UINT>(rows), data + bitsOffset, reinterpret_cast<BITMAPINFO*>(info.data()),
                          DIB_RGB_COLORS) == 0)
        throw EInvalidGraphic("Bitmap image is not valid");
}

void TBitmap::LoadFromResourceName(HMODULE module, const std::string& name) {
    TResourceStream resource(module, name, RT_BITMAP);
    LoadDib(resource.Memory(), static_cast<size_t>(resource.Size()), 0);
}

void TBitmap::LoadFromResourceID(HMODULE module, int id) {
    TResourceStream resource(module, id, RT_BITMAP);
    LoadDib(resource.Memory(), static_cast<size_t>(resource.Size()), 0);
}

void TBitmap::LoadFromStream(TStream& stream) {
    const std::vector<uint8_t> data = ReadRest(stream);
    if (data.size() < sizeof(BITMAPFILEHEADER) || data[0] != 'B' || data[1] != 'M')
        throw EInvalidGraphic("Bitmap image is not valid");
    const DWORD bitsOffset = ReadLittle<BITMAPFILEHEADER>(data.data()).bfOffBits;
    if (bitsOffset < sizeof(BITMAPFILEHEADER))
        throw EInvalidGraphic("Bitmap image is not valid");
    LoadDib(data.data() + sizeof(BITMAPFILEHEADER), data.size() - sizeof(BITMAPFILEHEADER),
            bitsOffset - sizeof(BITMAPFILEHEADER));
}

void TBitmap::SaveToStream(TStream& stream) const {
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width_;
    info.biHeight = height_;
    info.biPlanes = 1;
    info.biBitCount = format_ == pf32bit ? 32 : 24;
    info.biCompression = BI_RGB;
    info.biSizeImage = static_cast<DWORD>(stride_) * height_;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + info.biSizeImage;
    stream.WriteBuffer(&file, sizeof file);
    stream.WriteBuffer(&info, sizeof info);
    for (int y = height_ - 1; y >= 0; --y)  // bottom-up
        stream.WriteBuffer(ScanLine(y), stride_);
}

std::unique_ptr<TGraphic> TBitmap::Clone() const {
    auto copy = std::make_unique<TBitmap>();
    copy->Assign(*this);
    return copy;
}

void TBitmap::Assign(const TPersistent& source) {
    const auto* bitmap = dynamic_cast<const TBitmap*>(&source);
    if (!bitmap)
        return TGraphic::Assign(source);
    if (bitmap == this)
        return;
    Recreate(bitmap->width_, bitmap->height_, bitmap->format_, false);
    if (bits_) {
        GdiFlush();
        std::memcpy(bits_, bitmap->bits_, static_cast<size_t>(stride_) * height_);
    }
    transparentColor_ = bitmap->transparentColor_;
    SetTransparent(bitmap->Transparent());
    Changed();
}

// ---- Icon ----

void TIcon::SetHandle(HICON icon) { Take(icon, {}); }

void TIcon::Take(HICON icon, std::vector<uint8_t> fileData) {
    TUniqueIcon owner(icon);
    int width = 0, height = 0;
    ICONINFO info{};
    if (icon && GetIconInfo(icon, &info)) {
        TUniqueGdi<HBITMAP> color(info.hbmColor), mask(info.hbmMask);
        BITMAP bitmap{};
        if (color && GetObjectA(color.Get(), sizeof bitmap, &bitmap)) {
            width = bitmap.bmWidth;
            height = bitmap.bmHeight;
        } else if (mask && GetObjectA(mask.Get(), sizeof bitmap, &bitmap)) {
            width = bitmap.bmWidth;
            height = bitmap.bmHeight / 2;  // AND and XOR masks stacked
        }
    }
    icon_ = std::move(owner);
    width_ = width;
    height_ = height;
    fileData_ = std::move(fileData);
    Changed();
}

void TIcon::LoadFromResourceName(HMODULE module, const std::string& name) {
    HICON icon = static_cast<HICON>(LoadImageA(module, name.c_str(), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    if (!icon)
        throw EResNotFound("Resource " + name + " not found");
    Take(icon, {});
}

void TIcon::LoadFromResourceID(HMODULE module, int id) {
    HICON icon = static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(id), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    if (!icon)
        throw EResNotFound("Resource " + IntToStr(id) + " not found");
    Take(icon, {});
}

void TIcon::LoadFromStream(TStream& stream) {
    std::vector<uint8_t> data = ReadRest(stream);
    constexpr size_t kDirSize = 6, kEntrySize = 16;
    if (data.size() < kDirSize || ReadLittle<WORD>(&data[0]) != 0 || ReadLittle<WORD>(&data[2]) != 1)
        throw EInvalidGraphic("Icon image is not valid");
    const size_t count = ReadLittle<WORD>(&data[4]);
    if (count == 0 || data.size() < kDirSize + count * kEntrySize)
        throw EInvalidGraphic("Icon image is not valid");
    // Nearest to the large icon size, then the most colours.
    const int wanted = GetSystemMetrics(SM_CXICON);
    size_t best = count;
    int bestDistance = 0, bestBits = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* entry = &data[kDirSize + i * kEntrySize];
        const int width = entry[0] ? entry[0] : 256;
        const int bits = ReadLittle<WORD>(entry + 6);
        const size_t bytes = ReadLittle<DWORD>(entry + 8), offset = ReadLittle<DWORD>(entry + 12);
        if (bytes == 0 || offset > data.size() || bytes > data.size() - offset)
            continue;
        const int distance = std::abs(width - wanted);
        if (best == count || distance < bestDistance || (distance == bestDistance && bits > bestBits)) {
            best = i;
            bestDistance = distance;
            bestBits = bits;
        }
    }
    if (best == count)
        throw EInvalidGraphic("Icon image is not valid");
    const uint8_t* entry = &data[kDirSize + best * kEntrySize];
    const int width = entry[0] ? entry[0] : 256, height = entry[1] ? entry[1] : 256;
    HICON icon = CreateIconFromResourceEx(&data[ReadLittle<DWORD>(entry + 12)], ReadLittle<DWORD>(entry + 8), TRUE,
                                          0x00030000, width, height, LR_DEFAULTCOLOR);
    if (!icon)
        throw EInvalidGraphic("Icon image is not valid");
    Take(icon, std::move(data));
}

void TIcon::SaveToStream(TStream& stream) const {
    if (fileData_.empty())
        throw EInvalidGraphic("Only icons loaded from a stream can be saved");
    stream.WriteBuffer(fileData_.data(), static_cast<int64_t>(fileData_.size()));
}

std::unique_ptr<TGraphic> TIcon::Clone() const {
    auto copy = std::make_unique<TIcon>();
    copy->Assign(*this);
    return copy;
}

void TIcon::Assign(const TPersistent& source) {
    const auto* icon = dynamic_cast<const TIcon*>(&source);
    if (!icon)
        return TGraphic::Assign(source);
    if (icon != this)
        Take(icon->icon_ ? CopyIcon(icon->icon_.Get()) : nullptr, icon->fileData_);
}

void TIcon::Draw(TCanvas& canvas, const TRect& rect) {
    DrawIconEx(canvas.Handle(), rect.left, rect.top, icon_.Get(), rect.right - rect.left, rect.bottom - rect.top, 0,
               nullptr, DI_NORMAL);
}

// ---- Picture ----

void TPicture::SetGraphic(std::unique_ptr<TGraphic> graphic) {
    graphic_ = std::move(graphic);
    if (graphic_)
        graphic_->OnChange = TNotifyEvent(this, &TPicture::GraphicChanged);
    OnChange(this);
}

TBitmap& TPicture::Bitmap() {
    if (auto* bitmap = dynamic_cast<TBitmap*>(graphic_.get()))
        return *bitmap;
    auto bitmap = std::make_unique<TBitmap>();
    TBitmap& result = *bitmap;
    SetGraphic(std::move(bitmap));
    return result;
}

void TPicture::LoadFromStream(TStream& stream) {
    uint8_t magic[4] = {};
    const int64_t start = stream.Position();
    const int64_t got = stream.Read(magic, sizeof magic);
    stream.SetPosition(start);
    std::unique_ptr<TGraphic> graphic;
    if (got >= 2 && magic[0] == 'B' && magic[1] == 'M')
        graphic = std::make_unique<TBitmap>();
    else if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF)
        graphic = std::make_unique<TJPEGImage>();
    else if (got == 4 && magic[0] == 0 && magic[1] == 0 && magic[2] == 1 && magic[3] == 0)
        graphic = std::make_unique<TIcon>();
    else
        throw EInvalidGraphic("Unknown picture format");
    graphic->LoadFromStream(stream);
    SetGraphic(std::move(graphic));
}

void TPicture::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(stream);
}

void TPicture::SaveToStream(TStream& stream) const {
    if (graphic_)
        graphic_->SaveToStream(stream);
}

void TPicture::Assign(const TPersistent& source) {
    if (const auto* picture = dynamic_cast<const TPicture*>(&source)) {
        if (picture != this)
            SetGraphic(picture->graphic_ ? picture->graphic_->Clone() : nullptr);
    } else if (const auto* graphic = dynamic_cast<const TGraphic*>(&source)) {
        SetGraphic(graphic->Clone());
    } else {
        TPersistent::Assign(source);
    }
}

const TClassInfo& TFont::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TFont::Charset, &TFont::SetCharset>("Charset").WithDefault(DEFAULT_CHARSET),
        Prop<&TFont::Color, &TFont::SetColor>("Color").WithDefault(clWindowText),
        Prop<&TFont::Height, &TFont::SetHeight>("Height"),
        Prop<&TFont::Name, &TFont::SetName>("Name"),
        Prop<&TFont::Pitch, &TFont::SetPitch>("Pitch").WithDefault(fpDefault),
        Prop<&TFont::Size, &TFont::SetSize>("Size").NotStored(),
        Prop<&TFont::Style, &TFont::SetStyle>("Style").WithDefault(0),
    };
    static const TClassInfo info = MakeClassInfo<TFont, TPersistent>("TFont", props);
    return info;
}

const TClassInfo& TPen::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TPen::Color, &TPen::SetColor>("Color").WithDefault(clBlack),
        Prop<&TPen::Mode, &TPen::SetMode>("Mode").WithDefault(pmCopy),
        Prop<&TPen::Style, &TPen::SetStyle>("Style").WithDefault(psSolid),
        Prop<&TPen::Width, &TPen::SetWidth>("Width").WithDefault(1),
    };
    static const TClassInfo info = MakeClassInfo<TPen, TPersistent>("TPen", props);
    return info;
}

const TClassInfo& TBrush::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TBrush::Color, &TBrush::SetColor>("Color").WithDefault(clWhite),
        Prop<&TBrush::Style, &TBrush::SetStyle>("Style").WithDefault(bsSolid),
    };
    static const TClassInfo info = MakeClassInfo<TBrush, TPersistent>("TBrush", props);
    return info;
}
