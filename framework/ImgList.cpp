#include "ImgList.h"

#include "SysUtils.h"

#include <algorithm>

TImageList::~TImageList() { SendFreeNotifications(); }

void TImageList::RegisterChanges(const void* client, TNotifyEvent handler) {
    UnRegisterChanges(client);
    listeners_.emplace_back(client, std::move(handler));
}

void TImageList::UnRegisterChanges(const void* client) {
    std::erase_if(listeners_, [client](const auto& listener) { return listener.first == client; });
}

// A listener may unregister (or register another) while it is told: the others are told from a copy
// and only while they are still registered.
void TImageList::Changed() {
    OnChange(this);
    const auto listeners = listeners_;
    for (const auto& [client, handler] : listeners) {
        const void* who = client;
        if (std::any_of(listeners_.begin(), listeners_.end(), [who](const auto& l) { return l.first == who; }))
            handler(this);
    }
}

void TImageList::SetSize(int width, int height) {
    if (width == width_ && height == height_)
        return;
    if (width <= 0 || height <= 0)
        throw EInvalidGraphic("Invalid image size");
    width_ = width;
    height_ = height;
    handle_.Reset();
    Changed();
}

HIMAGELIST TImageList::Handle() const {
    if (!handle_) {
        handle_.Reset(ImageList_Create(width_, height_, ILC_COLOR24 | ILC_MASK, 0, 4));
        if (!handle_)
            throw EInvalidGraphic("Cannot create image list");
    }
    return handle_.Get();
}

int TImageList::Count() const { return handle_ ? ImageList_GetImageCount(handle_.Get()) : 0; }

void TImageList::Clear() {
    if (handle_ && Count() > 0) {
        ImageList_RemoveAll(handle_.Get());
        Changed();
    }
}

int TImageList::AddMasked(const TBitmap& strip, TColor maskColor) {
    if (strip.Empty())
        return -1;
    // The system list selects the bitmap into a DC of its own and blackens masked pixels:
    // it gets an unselected copy.
    TUniqueGdi<HBITMAP> copy = strip.CopyHandle();
    const int index = ImageList_AddMasked(Handle(), copy.Get(), ColorToRGB(maskColor));
    if (index < 0)
        throw EInvalidGraphic("Cannot add image");
    Changed();
    return index;
}

void TImageList::LoadStripResource(HMODULE module, const std::string& name, TColor maskColor) {
    TBitmap strip;
    strip.LoadFromResourceName(module, name);
    AddMasked(strip, maskColor == clDefault ? strip.TransparentColor() : maskColor);
}

void TImageList::LoadStripResource(HMODULE module, int id, TColor maskColor) {
    TBitmap strip;
    strip.LoadFromResourceID(module, id);
    AddMasked(strip, maskColor == clDefault ? strip.TransparentColor() : maskColor);
}

void TImageList::Draw(TCanvas& canvas, int x, int y, int index, bool enabled) const {
    if (index < 0 || index >= Count() || !canvas.Handle())
        return;
    if (enabled)
        ImageList_Draw(handle_.Get(), index, canvas.Handle(), x, y, ILD_TRANSPARENT);
    else
        DrawDisabled(canvas, x, y, index);
}

// Every pixel of the image that is not white forms its shape; the shape is drawn in the
// highlight colour one pixel down and right, then in the shadow colour in place, and the
// rest stays transparent. Both stay inside the image's cell.
void TImageList::DrawDisabled(TCanvas& canvas, int x, int y, int index) const {
    TBitmap image(width_, height_);
    image.Canvas().Brush().SetColor(clWhite);
    image.Canvas().FillRect(MakeRect(0, 0, width_, height_));
    ImageList_Draw(handle_.Get(), index, image.Canvas().Handle(), 0, 0, ILD_TRANSPARENT);

    const COLORREF highlight = ColorToRGB(clBtnHighlight), shadow = ColorToRGB(clBtnShadow);
    COLORREF key = RGB(255, 0, 255);
    while (key == highlight || key == shadow)
        key -= 1;
    TBitmap relief(width_, height_);
    relief.Canvas().Brush().SetColor(RGBToColor(key));
    relief.Canvas().FillRect(MakeRect(0, 0, width_, height_));

    auto paint = [&](int dx, int dy, COLORREF rgb) {
        for (int row = 0; row + dy < height_; ++row) {
            const uint8_t* source = image.ScanLine(row);
            uint8_t* target = relief.ScanLine(row + dy);
            for (int column = 0; column + dx < width_; ++column) {
                const uint8_t* pixel = source + column * 3;
                if (pixel[0] == 0xFF && pixel[1] == 0xFF && pixel[2] == 0xFF)
                    continue;
                uint8_t* out = target + (column + dx) * 3;
                out[0] = GetBValue(rgb);
                out[1] = GetGValue(rgb);
                out[2] = GetRValue(rgb);
            }
        }
    };
    paint(1, 1, highlight);
    paint(0, 0, shadow);

    relief.SetTransparentColor(RGBToColor(key));
    relief.SetTransparent(true);
    canvas.Draw(x, y, relief);
}
