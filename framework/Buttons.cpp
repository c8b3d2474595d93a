#include "Buttons.h"

#include <algorithm>

bool TButtonPress::OnButton(const TControl& button, int x, int y) {
    const TRect client = button.ClientRect();
    return PtInRect(&client, TPoint{x, y}) != FALSE;
}

bool TButtonPress::Move(const TControl& button, int x, int y) {
    if (!held_)
        return false;
    const bool inside = OnButton(button, x, y);
    if (inside == inside_)
        return false;
    inside_ = inside;
    return true;
}

bool TButtonPress::Finish(const TControl& button, int x, int y) {
    held_ = inside_ = false;
    return OnButton(button, x, y);
}

bool TButtonPress::Cancel() {
    if (!held_)
        return false;
    held_ = inside_ = false;
    return true;
}

TGroupedButton::TGroupedButton(TComponent* owner) : TCustomControl(owner) {
    // Clicks come from the release and BM_CLICK, with the group logic first.
    ControlStyle.Exclude(csClickEvents);
}

void TGroupedButton::SetAllowAllUp(bool value) {
    allowAllUp_ = value;
    GroupChanged();
}

void TGroupedButton::SetDown(bool value) {
    if (value == down_)
        return;
    down_ = value;
    Invalidate();
    if (down_)
        GroupChanged();
}

void TGroupedButton::SetGroupIndex(int index) {
    if (index == groupIndex_)
        return;
    groupIndex_ = index;
    GroupChanged();
}

void TGroupedButton::FollowGroup(const TGroupedButton& sender) {
    if (groupIndex_ == 0 || sender.groupIndex_ != groupIndex_ || &sender == this)
        return;
    allowAllUp_ = sender.allowAllUp_;
    if (sender.down_)
        SetDown(false);
}

void TGroupedButton::WndProc(TMessage& message) {
    switch (message.Msg) {
    case BM_CLICK:
        if (Enabled())
            UserClick();
        message.Result = 0;
        return;
    case BM_GETCHECK:
        message.Result = down_ ? BST_CHECKED : BST_UNCHECKED;
        return;
    case BM_SETCHECK:
        SetDown(message.WParam == BST_CHECKED);
        message.Result = 0;
        return;
    case WM_ERASEBKGND:
        message.Result = 1;  // Paint covers the whole client area
        return;
    case WM_LBUTTONUP:
        // The click's handler may free the button.
        WhileFlagged(releasing_, [&] { TCustomControl::WndProc(message); });
        return;
    case WM_CAPTURECHANGED:
        // Another window took the mouse while the button was held: no click follows.
        if (!releasing_)
            CancelPress();
        break;
    case WM_CANCELMODE:
        CancelPress();
        break;
    case CM_ENABLEDCHANGED:
        if (!Enabled())
            CancelPress();
        break;
    default:
        break;
    }
    TCustomControl::WndProc(message);
}

void TGroupedButton::CancelPress() {
    if (press_.Cancel())
        Invalidate();
}

bool TGroupedButton::StartPress(TMouseButton button) {
    if (button != mbLeft || !Enabled())
        return false;
    press_.Start();
    Repaint();
    return true;
}

void TGroupedButton::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    StartPress(button);
    TCustomControl::MouseDown(button, shift, x, y);
}

void TGroupedButton::MouseMove(TShiftState shift, int x, int y) {
    if (press_.Move(*this, x, y))
        Repaint();
    TCustomControl::MouseMove(shift, x, y);
}

void TGroupedButton::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
    if (button == mbLeft && press_.Held()) {
        const bool inside = press_.Finish(*this, x, y);
        Invalidate();
        if (inside && ClicksAt(x, y)) {
            TFreeWatch watch(*this);
            UserClick();
            if (watch.Freed())
                return;
        }
    }
    TCustomControl::MouseUp(button, shift, x, y);
}

void TGroupedButton::UserClick() {
    if (groupIndex_ != 0) {
        if (!down_)
            SetDown(true);
        else if (allowAllUp_)
            SetDown(false);
    }
    Click();
}

const TClassInfo& TSpeedButton::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TSpeedButton::AllowAllUp, &TSpeedButton::SetAllowAllUp>("AllowAllUp").WithDefault(false),
        Prop<&TSpeedButton::Down, &TSpeedButton::SetDown>("Down").WithDefault(false),
        Prop<&TSpeedButton::Flat, &TSpeedButton::SetFlat>("Flat").WithDefault(false),
        Prop<&TSpeedButton::Glyph, &TSpeedButton::SetGlyph>("Glyph"),
        Prop<&TSpeedButton::GroupIndex, &TSpeedButton::SetGroupIndex>("GroupIndex").WithDefault(0),
        Prop<&TSpeedButton::Layout, &TSpeedButton::SetLayout>("Layout").WithDefault(blGlyphLeft),
        Prop<&TSpeedButton::Margin, &TSpeedButton::SetMargin>("Margin").WithDefault(-1),
        Prop<&TSpeedButton::NumGlyphs, &TSpeedButton::SetNumGlyphs>("NumGlyphs").WithDefault(1),
        Prop<&TSpeedButton::Spacing, &TSpeedButton::SetSpacing>("Spacing").WithDefault(4),
    };
    static const TClassInfo info = MakeClassInfo<TSpeedButton, TCustomControl>("TSpeedButton", props);
    return info;
}

TSpeedButton::TSpeedButton(TComponent* owner) : TGroupedButton(owner), glyph_(std::make_unique<TBitmap>()) {
    glyph_->OnChange = TNotifyEvent(this, &TSpeedButton::GlyphChanged);
    SetBounds(0, 0, 23, 22);
}

TSpeedButton::~TSpeedButton() = default;

void TSpeedButton::CreateParams(TCreateParams& params) {
    TCustomControl::CreateParams(params);
    params.ClassStyle |= CS_HREDRAW | CS_VREDRAW;  // the content is centred
}

TButtonState TSpeedButton::State() const {
    if (!Enabled())
        return bsDisabled;
    if (Press().Inside())
        return bsDown;
    return Down() ? bsExclusive : bsUp;
}

void TSpeedButton::GroupChanged() {
    TWinControl* parent = Parent();
    if (GroupIndex() == 0 || !parent)
        return;
    for (int i = 0; i < parent->ControlCount(); ++i)
        if (auto sibling = dynamic_cast<TSpeedButton*>(parent->Controls(i)))
            sibling->FollowGroup(*this);
}

void TSpeedButton::SetFlat(bool value) {
    if (value == flat_)
        return;
    flat_ = value;
    Invalidate();
}

void TSpeedButton::SetGlyph(TBitmap* glyph) {
    if (glyph)
        glyph_->Assign(*glyph);
    else
        glyph_->SetSize(0, 0);
}

void TSpeedButton::GlyphChanged(TObject*) {
    const int width = glyph_->Width(), height = glyph_->Height();
    if (height > 0 && width % height == 0 && width / height >= 2 && width / height <= 4)
        numGlyphs_ = width / height;
    glyphListStale_ = true;
    Invalidate();
}

void TSpeedButton::SetNumGlyphs(int count) {
    count = std::clamp(count, 1, 4);
    if (count == numGlyphs_)
        return;
    numGlyphs_ = count;
    glyphListStale_ = true;
    Invalidate();
}

void TSpeedButton::SetLayout(TButtonLayout layout) {
    if (layout == layout_)
        return;
    layout_ = layout;
    Invalidate();
}

void TSpeedButton::SetMargin(int margin) {
    margin = std::max(margin, -1);
    if (margin == margin_)
        return;
    margin_ = margin;
    Invalidate();
}

void TSpeedButton::SetSpacing(int spacing) {
    spacing = std::max(spacing, -1);
    if (spacing == spacing_)
        return;
    spacing_ = spacing;
    Invalidate();
}

void TSpeedButton::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CM_DIALOGCHAR:
        // The caption's accelerator clicks; the focus stays where it is.
        if (IsAccel(static_cast<char>(message.WParam), Caption()) && CanFocus()) {
            UserClick();
            message.Result = 1;
            return;
        }
        break;
    case CM_MOUSEENTER:
        mouseInControl_ = true;
        if (flat_)
            Invalidate();
        break;
    case CM_MOUSELEAVE:
        mouseInControl_ = false;
        if (flat_)
            Invalidate();
        break;
    default:
        break;
    }
    TGroupedButton::WndProc(message);
}

SIZE TSpeedButton::GlyphSize() const {
    if (glyph_->Empty())
        return SIZE{0, 0};
    const int width = glyph_->Width() / numGlyphs_;
    return width > 0 ? SIZE{width, glyph_->Height()} : SIZE{0, 0};
}

void TSpeedButton::CalcLayout(const TRect& client, SIZE glyphSize, SIZE textSize, TPoint& glyphPos,
                              TRect& textRect) const {
    const bool horizontal = layout_ == blGlyphLeft || layout_ == blGlyphRight;
    const bool hasGlyph = glyphSize.cx > 0 && glyphSize.cy > 0;
    const bool hasText = textSize.cx > 0 && textSize.cy > 0;
    // Along the main axis the glyph comes first (left, top) or last (right, bottom).
    const int room = horizontal ? client.right - client.left : client.bottom - client.top;
    const int glyphLength = hasGlyph ? (horizontal ? glyphSize.cx : glyphSize.cy) : 0;
    const int textLength = hasText ? (horizontal ? textSize.cx : textSize.cy) : 0;
    int margin = margin_;
    int spacing = hasGlyph && hasText ? spacing_ : 0;
    if (margin == -1) {
        if (spacing == -1) {
            margin = spacing = (room - glyphLength - textLength) / 3;
        } else {
            margin = (room - glyphLength - spacing - textLength) / 2;
        }
    } else if (spacing == -1) {
        spacing = (room - margin - glyphLength - textLength) / 2;
    }
    const bool glyphFirst = layout_ == blGlyphLeft || layout_ == blGlyphTop;
    int glyphStart, textStart;
    if (glyphFirst) {
        glyphStart = margin;
        textStart = margin + glyphLength + spacing;
    } else {
        glyphStart = room - margin - glyphLength;
        textStart = glyphStart - spacing - textLength;
    }
    // Across it both are centred.
    const int across = horizontal ? client.bottom - client.top : client.right - client.left;
    const int glyphAcross = (across - (horizontal ? glyphSize.cy : glyphSize.cx)) / 2;
    const int textAcross = (across - (horizontal ? textSize.cy : textSize.cx)) / 2;
    if (horizontal) {
        glyphPos = TPoint{client.left + glyphStart, client.top + glyphAcross};
        textRect = MakeBounds(client.left + textStart, client.top + textAcross, textSize.cx, textSize.cy);
    } else {
        glyphPos = TPoint{client.left + glyphAcross, client.top + glyphStart};
        textRect = MakeBounds(client.left + textAcross, client.top + textStart, textSize.cx, textSize.cy);
    }
}

void TSpeedButton::UpdateGlyphList() {
    if (!glyphListStale_)
        return;
    glyphListStale_ = false;
    glyphList_.reset();
    const SIZE size = GlyphSize();
    if (size.cx == 0)
        return;
    auto list = std::make_unique<TImageList>(nullptr);
    list->SetSize(size.cx, size.cy);
    list->AddMasked(*glyph_, glyph_->TransparentColor());
    glyphList_ = std::move(list);
}

void TSpeedButton::DrawGlyph(TCanvas& canvas, TPoint at, TButtonState state) {
    UpdateGlyphList();
    if (!glyphList_)
        return;
    const int count = glyphList_->Count();
    int index = 0;
    bool embossed = false;
    switch (state) {
    case bsUp:
        break;
    case bsDisabled:
        if (count > 1)
            index = 1;
        else
            embossed = true;
        break;
    case bsDown:
        index = count > 2 ? 2 : 0;
        break;
    case bsExclusive:
        index = count > 3 ? 3 : count > 2 ? 2 : 0;
        break;
    }
    glyphList_->Draw(canvas, at.x, at.y, index, !embossed);
}

void TSpeedButton::DrawCaption(TCanvas& canvas, const TRect& rect) {
    const std::string text = Caption();
    HDC dc = canvas.Handle();
    const int oldMode = SetBkMode(dc, TRANSPARENT);
    const UINT flags = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
    TRect box = rect;
    if (Enabled()) {
        DrawTextA(dc, text.data(), static_cast<int>(text.size()), &box, flags);
    } else {
        // Engraved: the highlight one pixel down and right, the shadow on top.
        OffsetRect(&box, 1, 1);
        SetTextColor(dc, ColorToRGB(clBtnHighlight));
        DrawTextA(dc, text.data(), static_cast<int>(text.size()), &box, flags);
        OffsetRect(&box, -1, -1);
        SetTextColor(dc, ColorToRGB(clBtnShadow));
        DrawTextA(dc, text.data(), static_cast<int>(text.size()), &box, flags);
    }
    SetBkMode(dc, oldMode);
}

void TSpeedButton::Paint() {
    TCanvas& canvas = Canvas();
    HDC dc = canvas.Handle();
    TRect client = ClientRect();
    canvas.FillRect(client);
    const TButtonState state = State();
    const bool pushed = state == bsDown || state == bsExclusive;
    TRect frame = client;
    if (flat_) {
        if (pushed)
            DrawEdge(dc, &frame, BDR_SUNKENOUTER, BF_RECT);
        else if (mouseInControl_ && state != bsDisabled)
            DrawEdge(dc, &frame, BDR_RAISEDINNER, BF_RECT);
    } else {
        DrawEdge(dc, &frame, pushed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
    }

    const std::string text = Caption();
    SIZE textSize{0, 0};
    if (!text.empty()) {
        canvas.RequireFont();
        TRect measure = MakeRect(0, 0, client.right, 0);
        DrawTextA(dc, text.data(), static_cast<int>(text.size()), &measure, DT_CALCRECT | DT_SINGLELINE);
        textSize = SIZE{measure.right - measure.left, measure.bottom - measure.top};
    }
    TPoint glyphPos;
    TRect textRect;
    CalcLayout(client, GlyphSize(), textSize, glyphPos, textRect);
    if (pushed) {
        // The content moves with the face.
        glyphPos.x += 1;
        glyphPos.y += 1;
        OffsetRect(&textRect, 1, 1);
    }
    DrawGlyph(canvas, glyphPos, state);
    if (!text.empty())
        DrawCaption(canvas, textRect);
}
