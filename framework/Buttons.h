#pragma once

// Speed buttons: small buttons with a glyph that never take the focus, alone or in groups.
//
// A TSpeedButton is a child window of its own class, so that it can be driven from outside:
// BM_CLICK clicks it (as a user's click does, group logic included), BM_GETCHECK and BM_SETCHECK
// read and set Down, and the caption's accelerator clicks it too. A left press shows it pressed
// while the mouse stays on it; the release inside clicks (Click and OnClick come before OnMouseUp).
//
// Groups: buttons with the same nonzero GroupIndex on the same parent are exclusive: one going
// down releases the others. A click puts a grouped button down; clicking the one that is down
// releases it only when AllowAllUp, which the whole group shares. Code may set and clear Down on
// any button, grouped or not.
//
// Glyph: a strip of NumGlyphs images of equal width (up, disabled, down, exclusive), whose
// transparent colour is its bottom-left pixel unless set. A missing image falls back to the up
// image; a missing disabled one is drawn embossed. A strip 2, 3 or 4 times as wide as it is high
// sets NumGlyphs to that count.

#include "Controls.h"
#include "Graphics.h"
#include "ImgList.h"

#include <memory>

enum TButtonLayout { blGlyphLeft, blGlyphRight, blGlyphTop, blGlyphBottom };
// What a button shows: up, disabled, pressed by the mouse, or down (exclusive).
enum TButtonState { bsUp, bsDisabled, bsDown, bsExclusive };

// A left press held on a button: the button looks pressed while the mouse stays on it, and the
// release on it clicks. The button repaints where a call says its look changed.
class TButtonPress {
public:
    // The left button went down on the button and is still down.
    bool Held() const { return held_; }
    // ... and the mouse is on the button.
    bool Inside() const { return inside_; }
    void Start() { held_ = inside_ = true; }
    // The mouse is at x, y (client coordinates): true when it crossed the button's edge.
    bool Move(const TControl& button, int x, int y);
    // Ends the press at x, y: true when it ended on the button (a click).
    bool Finish(const TControl& button, int x, int y);
    // Ends the press without a click: false when none was held.
    bool Cancel();

private:
    static bool OnButton(const TControl& button, int x, int y);

    bool held_ = false;
    bool inside_ = false;
};

// A custom-drawn button window with Down, GroupIndex and AllowAllUp: a left press, BM_CLICK and
// BM_SETCHECK drive it, BM_GETCHECK reads Down. How a group hears of a change is the subclass's.
class TGroupedButton : public TCustomControl {
public:
    explicit TGroupedButton(TComponent* owner);

    bool AllowAllUp() const { return allowAllUp_; }
    void SetAllowAllUp(bool value);
    bool Down() const { return down_; }
    void SetDown(bool value);
    int GroupIndex() const { return groupIndex_; }
    void SetGroupIndex(int index);

    void WndProc(TMessage& message) override;

protected:
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseMove(TShiftState shift, int x, int y) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
    // What a user's click (mouse or BM_CLICK) does: the group's Down logic, then Click.
    virtual void UserClick();
    // Whether a release at x, y on the button clicks it.
    virtual bool ClicksAt(int /*x*/, int /*y*/) const { return true; }
    // A button went down, or the group's index or AllowAllUp changed: the siblings must follow.
    virtual void GroupChanged() = 0;
    // A sibling of the group changed: share its AllowAllUp, and go up when it went down.
    void FollowGroup(const TGroupedButton& sender);
    // A left press on an enabled button starts tracking: true then.
    bool StartPress(TMouseButton button);
    void CancelPress();
    const TButtonPress& Press() const { return press_; }

private:
    bool allowAllUp_ = false;
    bool down_ = false;
    int groupIndex_ = 0;
    TButtonPress press_;
    bool releasing_ = false;  // inside WM_LBUTTONUP: the capture goes as expected
};

class TSpeedButton : public TGroupedButton {
    DECLARE_CLASS_INFO()

public:
    explicit TSpeedButton(TComponent* owner);
    ~TSpeedButton() override;

    bool Flat() const { return flat_; }
    void SetFlat(bool value);
    // Never null; setting copies the bitmap (null empties the glyph).
    TBitmap* Glyph() const { return glyph_.get(); }
    void SetGlyph(TBitmap* glyph);
    int NumGlyphs() const { return numGlyphs_; }
    // 1 to 4.
    void SetNumGlyphs(int count);
    TButtonLayout Layout() const { return layout_; }
    void SetLayout(TButtonLayout layout);
    // Pixels between the edge and the glyph; -1 centres glyph and caption together.
    int Margin() const { return margin_; }
    void SetMargin(int margin);
    // Pixels between glyph and caption; -1 centres the caption in the room the glyph leaves.
    int Spacing() const { return spacing_; }
    void SetSpacing(int spacing);

    // The mouse is over the button (flat buttons show a frame then).
    bool MouseInControl() const { return mouseInControl_; }
    // What Paint shows now.
    TButtonState State() const;

    void WndProc(TMessage& message) override;

protected:
    void CreateParams(TCreateParams& params) override;
    void Paint() override;
    // The group's other speed buttons take AllowAllUp, and go up when this one went down.
    void GroupChanged() override;
    // Where the glyph's top left and the caption's box go inside client, for these sizes.
    void CalcLayout(const TRect& client, SIZE glyphSize, SIZE textSize, TPoint& glyphPos, TRect& textRect) const;
    // The size of one glyph image; zero when there is no glyph.
    SIZE GlyphSize() const;

private:
    void GlyphChanged(TObject*);
    void UpdateGlyphList();
    void DrawGlyph(TCanvas& canvas, TPoint at, TButtonState state);
    void DrawCaption(TCanvas& canvas, const TRect& rect);

    bool flat_ = false;
    std::unique_ptr<TBitmap> glyph_;
    std::unique_ptr<TImageList> glyphList_;  // the glyph cut into images, made when painted
    bool glyphListStale_ = true;
    int numGlyphs_ = 1;
    TButtonLayout layout_ = blGlyphLeft;
    int margin_ = -1;
    int spacing_ = 4;
    bool mouseInControl_ = false;
};

template <>
struct TEnumTraits<TButtonLayout> {
    static constexpr const char* Names[] = {"blGlyphLeft", "blGlyphRight", "blGlyphTop", "blGlyphBottom"};
};
