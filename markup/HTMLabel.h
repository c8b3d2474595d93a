#pragma once

// A label whose text is a small HTML-like markup: <B> <I> <U> <S>, <FONT FACE COLOR BGCOLOR
// SIZE>, <BR>, <HR>, <P ALIGN INDENT BGCOLOR>, <UL>/<LI>, <IND x>, <A href>, <IMG>, <BODY
// BGCOLOR BACKGROUND>, <SHAD>, <SUB>, <SUP>, <HI>, <E>, <Z> (hidden). It wraps at its width,
// can size itself, ellipsize, and tracks anchors under the mouse: a click on an address with
// "://" or "mailto:" opens it through the shell, any other anchor goes to OnAnchorClick. Its hint
// may be an anchor's address, an image's ALT text or the whole text when it is cut, and is shown
// as markup in a pop-up of its own with HTMLHint.

#include "ExtCtrls.h"
#include "ImgList.h"
#include "PictureContainer.h"
#include "StdCtrls.h"
#include "StringList.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

enum TAutoSizeType { asVertical, asHorizontal, asBoth };
enum TGradientType { gtFullHorizontal, gtFullVertical, gtBottomLine, gtCenterLine, gtTopLine };
enum TVAlignment { tvaTop, tvaCenter, tvaBottom };

using TAnchorClick = TEvent<void(TObject* Sender, const std::string& Anchor)>;
using TAnchorHintEvent = TEvent<void(TObject* Sender, std::string& Anchor)>;

// The plain text of the markup: <BR> and <HR> become CR LF, <Z> sections go, other tags go.
std::string HTMLStrip(const std::string& text);
// A markup colour: "#RRGGBB" or a colour name ("clRed", "clBtnFace" ...); black when unknown
// or malformed.
TColor HTMLColor(const std::string& value);

// Lines that tell the label when they change.
class THTMLStrings : public TStringList {
public:
    explicit THTMLStrings(std::function<void()> changed) : changed_(std::move(changed)) {}
    void Put(int index, const std::string& s) override;
    int AddObject(const std::string& s, TObject* object) override;
    void InsertObject(int index, const std::string& s, TObject* object) override;
    void Delete(int index) override;
    void Clear() override;
    void SetText(const std::string& text) override;

private:
    std::function<void()> changed_;
};

class THTMLabel : public TCustomLabel {
    DECLARE_CLASS_INFO()

public:
    explicit THTMLabel(TComponent* owner);
    ~THTMLabel() override;

    THTMLStrings* HTMLText() const { return htmlText_.get(); }
    // A whole list assigned at once loses its line ends: it breaks only at <BR>.
    void SetHTMLText(TStringList* value);
    void SetHTMLText(const std::string& value);

    bool AnchorHint() const { return anchorHint_; }
    void SetAnchorHint(bool value) { anchorHint_ = value; }
    bool AutoSizing() const { return autoSizing_; }
    void SetAutoSizing(bool value);
    TAutoSizeType AutoSizeType() const { return autoSizeType_; }
    void SetAutoSizeType(TAutoSizeType value);
    TPanelBevel BevelInner() const { return bevelInner_; }
    void SetBevelInner(TPanelBevel value) { bevelInner_ = value; Invalidate(); }
    TPanelBevel BevelOuter() const { return bevelOuter_; }
    void SetBevelOuter(TPanelBevel value) { bevelOuter_ = value; Invalidate(); }
    int BevelWidth() const { return bevelWidth_; }
    void SetBevelWidth(int value) { bevelWidth_ = std::max(1, value); Invalidate(); }
    int BorderWidth() const { return borderWidth_; }
    void SetBorderWidth(int value) { borderWidth_ = std::max(0, value); Invalidate(); }
    TBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TBorderStyle value) { borderStyle_ = value; Invalidate(); }
    TColor ColorTo() const { return colorTo_; }
    void SetColorTo(TColor value) { colorTo_ = value; Invalidate(); }
    TGradientType GradientType() const { return gradientType_; }
    void SetGradientType(TGradientType value) { gradientType_ = value; Invalidate(); }
    bool Ellipsis() const { return ellipsis_; }
    void SetEllipsis(bool value) { ellipsis_ = value; Invalidate(); }
    bool HintShowFull() const { return hintShowFull_; }
    void SetHintShowFull(bool value) { hintShowFull_ = value; }
    bool Hover() const { return hover_; }
    void SetHover(bool value) { hover_ = value; }
    TColor HoverColor() const { return hoverColor_; }
    void SetHoverColor(TColor value) { hoverColor_ = value; }
    TColor HoverFontColor() const { return hoverFontColor_; }
    void SetHoverFontColor(TColor value) { hoverFontColor_ = value; }
    bool HTMLHint() const { return htmlHint_; }
    void SetHTMLHint(bool value) { htmlHint_ = value; }
    TImageList* Images() const { return images_; }
    void SetImages(TImageList* value);
    int LineWidth() const { return lineWidth_; }
    void SetLineWidth(int value) { lineWidth_ = value; Invalidate(); }
    TPictureContainer* PictureContainer() const { return pictureContainer_; }
    void SetPictureContainer(TPictureContainer* value);
    TColor ShadowColor() const { return shadowColor_; }
    void SetShadowColor(TColor value) { shadowColor_ = value; Invalidate(); }
    int ShadowOffset() const { return shadowOffset_; }
    void SetShadowOffset(int value) { shadowOffset_ = value; Invalidate(); }
    TColor URLColor() const { return urlColor_; }
    void SetURLColor(TColor value) { urlColor_ = value; Invalidate(); }
    TVAlignment VAlignment() const { return vAlignment_; }
    void SetVAlignment(TVAlignment value) { vAlignment_ = value; Invalidate(); }
    std::string Version() const { return "1.7.0.0"; }
    void SetVersion(const std::string&) {}

    // The address of the anchor at a client point, or empty.
    std::string AnchorAt(int x, int y);
    // The ALT text of the image at a client point, or empty.
    std::string ImageHintAt(int x, int y);
    // The hint for the mouse at a client point: the anchor's address (AnchorHint, through
    // OnAnchorHint), the image's ALT text, the whole text when it is cut (HintShowFull), else the
    // short part of Hint.
    std::string HintAt(int x, int y);
    // Whether the last painting left part of the text out.
    bool TextCut() const { return textCut_; }
    // The pop-up showing a marked-up hint, while it is shown.
    HWND HintPopup() const;
    // The size the text takes at the current width (or unlimited width: 0).
    SIZE TextExtent(int width);
    THTMLPictureCache& PictureCache() { return pictureCache_; }

    TAnchorClick OnAnchorClick;
    TAnchorClick OnAnchorEnter;
    TAnchorClick OnAnchorExit;
    TAnchorHintEvent OnAnchorHint;

    void Loaded() override;
    void WndProc(TMessage& message) override;

protected:
    void Paint() override;
    void AdjustBounds() override {}
    void Notification(TComponent* component, TOperation operation) override;
    void MouseMove(TShiftState shift, int x, int y) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;

private:
    class THintPopup;
    // A place in the text with something to tell: an anchor's address or an image's ALT text.
    struct TSpot {
        std::string Text;
        TRect Rect;
    };
    struct TRendering {
        std::string Markup;
        bool Ellipsis = false;
        bool Draw = false;
        // Filled while drawing, when given.
        std::vector<TSpot>* Anchors = nullptr;
        std::vector<TSpot>* ImageHints = nullptr;
        const TFont* Font = nullptr;  // null: the label's
    };
    // Lays the markup out in area of canvas; draws when asked. Returns the size used.
    SIZE Render(TCanvas& canvas, const TRect& area, const TRendering& how);
    SIZE Render(TCanvas& canvas, const TRect& area, bool draw);
    // The client rectangle less the frame.
    TRect TextArea() const;
    // A marked-up hint below the cursor, replacing a shown one.
    void ShowHintPopup(const std::string& markup);
    void HideHintPopup();
    // The hint for a new place under the mouse replaces the shown one.
    void RefreshHint();
    void PaintOn(TCanvas& canvas);
    // The picture of an address from the cache, loaded on first use.
    THTMLPicture* CachedPicture(const std::string& address);
    void TextChanged();
    void PaintBackground(TCanvas& canvas, const TRect& rect);
    void InvalidateAnchor(const std::string& address);

    std::unique_ptr<THTMLStrings> htmlText_;
    bool anchorHint_ = false;
    bool autoSizing_ = false;
    bool sizing_ = false;
    TAutoSizeType autoSizeType_ = asVertical;
    TPanelBevel bevelInner_ = bvNone;
    TPanelBevel bevelOuter_ = bvNone;
    int bevelWidth_ = 1;
    int borderWidth_ = 0;
    TBorderStyle borderStyle_ = bsNone;
    TColor colorTo_ = clNone;
    TGradientType gradientType_ = gtFullHorizontal;
    bool ellipsis_ = false;
    bool hintShowFull_ = false;
    bool hover_ = false;
    TColor hoverColor_ = clNone;
    TColor hoverFontColor_ = clNone;
    bool htmlHint_ = false;
    TImageList* images_ = nullptr;
    int lineWidth_ = 0;
    TPictureContainer* pictureContainer_ = nullptr;
    TColor shadowColor_ = clGray;
    int shadowOffset_ = 2;
    TColor urlColor_ = clBlue;
    TVAlignment vAlignment_ = tvaTop;

    std::vector<TSpot> anchors_;
    std::vector<TSpot> imageHints_;
    std::string hotAnchor_;
    std::string hotImageHint_;
    bool textCut_ = false;
    std::unique_ptr<THintPopup> hintPopup_;
    THTMLPictureCache pictureCache_;
};

template <>
struct TEnumTraits<TAutoSizeType> {
    static constexpr const char* Names[] = {"asVertical", "asHorizontal", "asBoth"};
};
template <>
struct TEnumTraits<TGradientType> {
    static constexpr const char* Names[] = {"gtFullHorizontal", "gtFullVertical", "gtBottomLine", "gtCenterLine",
                                            "gtTopLine"};
};
template <>
struct TEnumTraits<TVAlignment> {
    static constexpr const char* Names[] = {"tvaTop", "tvaCenter", "tvaBottom"};
};
