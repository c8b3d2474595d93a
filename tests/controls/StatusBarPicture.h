#pragma once

// The status bar the pictures show below their content: a pane with a green dot and a caption
// on the left, a count filling the rest.

#include "Forms.h"
#include "ImgList.h"
#include "KvStatus.h"

#include <string>

namespace guitest {

struct TPictureStatusBar {
    TKvStatusBar* Bar;
    TKvGlyphStatus* Status;
    TKvStatusPane* Total;
};

// Adds the dot to images (16 x 16) and the bar with its panes to form, which owns them.
inline TPictureStatusBar AddPictureStatusBar(TForm& form, TImageList& images, int statusWidth,
                                             const std::string& total) {
    images.SetSize(16, 16);
    TBitmap dot(16, 16);
    dot.Canvas().Brush().SetColor(clLime);
    dot.Canvas().FillRect(MakeRect(0, 0, 16, 16));
    dot.Canvas().Brush().SetColor(clGreen);
    dot.Canvas().Ellipse(2, 2, 14, 14);
    images.AddMasked(dot, clLime);
    TPictureStatusBar result{};
    result.Bar = new TKvStatusBar(&form);
    result.Bar->SetParent(&form);
    result.Status = new TKvGlyphStatus(&form);
    result.Status->SetParent(result.Bar);
    result.Status->SetImages(&images);
    result.Status->SetImageIndex(0);
    result.Status->SetCaption("Ready!");
    result.Status->SetWidth(statusWidth);
    result.Status->SetAlign(alLeft);
    result.Total = new TKvStatusPane(&form);
    result.Total->SetParent(result.Bar);
    result.Total->SetCaption(total);
    result.Total->SetAlign(alClient);
    return result;
}

}  // namespace guitest
