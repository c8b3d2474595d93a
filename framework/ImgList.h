#pragma once

// A list of equally sized images with masks, kept in a system image list.

#include "Classes.h"
#include "Graphics.h"

#include <commctrl.h>

#include <utility>
#include <vector>

struct TImageListTraits {
    static HIMAGELIST Invalid() { return nullptr; }
    static bool Valid(HIMAGELIST h) { return h != nullptr; }
    static void Close(HIMAGELIST h) { ImageList_Destroy(h); }
};
using TUniqueImageList = TUniqueResource<HIMAGELIST, TImageListTraits>;

class TImageList : public TComponent {
public:
    explicit TImageList(TComponent* owner) : TComponent(owner) {}
    // Users told of the end unregister their change listeners: they are told while the list
    // is still whole.
    ~TImageList() override;

    int Width() const { return width_; }
    int Height() const { return height_; }
    // A new size empties the list.
    void SetSize(int width, int height);

    // Created on first use: 24-bit colour with a mask.
    HIMAGELIST Handle() const;
    int Count() const;
    void Clear();

    // Splits the strip into Width-wide images; pixels of maskColor become transparent.
    // Returns the index of the first image added.
    int AddMasked(const TBitmap& strip, TColor maskColor);
    // An RT_BITMAP strip; clDefault takes its bottom-left pixel as the mask colour.
    void LoadStripResource(HMODULE module, const std::string& name, TColor maskColor = clDefault);
    void LoadStripResource(HMODULE module, int id, TColor maskColor = clDefault);

    // Disabled images are drawn embossed in the button highlight and shadow colours.
    // Masked pixels leave the canvas untouched either way; a bad index draws nothing.
    void Draw(TCanvas& canvas, int x, int y, int index, bool enabled = true) const;

    TNotifyEvent OnChange;
    // Further listeners, told after OnChange of every change until they unregister (a control
    // showing images of a list that others share). One registration per client.
    void RegisterChanges(const void* client, TNotifyEvent handler);
    void UnRegisterChanges(const void* client);

private:
    void Changed();
    void DrawDisabled(TCanvas& canvas, int x, int y, int index) const;

    int width_ = 16;
    int height_ = 16;
    mutable TUniqueImageList handle_;
    std::vector<std::pair<const void*, TNotifyEvent>> listeners_;
};
