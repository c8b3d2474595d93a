#include "kelControls.h"

#include "Handles.h"
#include "Themes.h"

#include <algorithm>

const TClassInfo& TkelCustomGroupBox::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelCustomGroupBox::AutoDisableControls, &TkelCustomGroupBox::SetAutoDisableControls>(
            "AutoDisableControls")
            .WithDefault(true),
        Prop<&TkelCustomGroupBox::CheckBoxChecked, &TkelCustomGroupBox::SetCheckBoxChecked>("CheckBoxChecked")
            .WithDefault(true),
        Prop<&TkelCustomGroupBox::CheckBoxVisible, &TkelCustomGroupBox::SetCheckBoxVisible>("CheckBoxVisible")
            .WithDefault(true),
        Prop<&TkelCustomGroupBox::OnCheckBoxClick>("OnCheckBoxClick"),
        Prop<&TkelCustomGroupBox::About>("About").NotStored(),
    };
    static const TClassInfo info =
        MakeClassInfo<TkelCustomGroupBox, TCustomGroupBox>("TkelCustomGroupBox", props);
    return info;
}

const TClassInfo& TkelGroupBox::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TkelGroupBox, TkelCustomGroupBox>("TkelGroupBox", {});
    return info;
}

namespace {

constexpr int kCheckBoxLeft = 8;
// Between the glyph and the text, and after the text.
constexpr int kGlyphGap = 5;
constexpr int kTextTail = 1;

}  // namespace

TkelCustomGroupBox::TkelCustomGroupBox(TComponent* owner) : TCustomGroupBox(owner) {
    checkBox_ = new TCheckBox(this);
    checkBox_->SetParent(this);
    checkBox_->SetVisible(true);
    checkBox_->SetParentFont(true);
    checkBox_->SetChecked(true);
    checkBox_->OnClick = TNotifyEvent(this, &TkelCustomGroupBox::CheckBoxClick);
}

void TkelCustomGroupBox::SetAutoDisableControls(bool value) {
    autoDisableControls_ = value;
    UpdateControlsState();
}

bool TkelCustomGroupBox::CheckBoxChecked() const { return checkBox_->Checked(); }

void TkelCustomGroupBox::SetCheckBoxChecked(bool value) {
    TFreeWatch watch(*this);  // the click's handler may free the box
    checkBox_->SetChecked(value);
    if (!watch.Freed())
        UpdateControlsState();
}

bool TkelCustomGroupBox::CheckBoxVisible() const { return checkBox_->Visible(); }

void TkelCustomGroupBox::SetCheckBoxVisible(bool value) {
    checkBox_->SetVisible(value);
    AdjustCheckBox();
    Invalidate();
}

SIZE TkelCustomGroupBox::GetCheckBoxSize() const { return SIZE{13, 13}; }

void TkelCustomGroupBox::AdjustCheckBox() {
    if (!checkBox_->HandleAllocated() || !HandleAllocated())
        return;
    const std::string caption = Caption();
    if (checkBox_->Caption() != caption)
        checkBox_->SetCaption(caption);
    // Outside Paint the canvas has no DC of its own: lend it the window's.
    TCanvas& canvas = Canvas();
    std::unique_ptr<TWindowDc> windowDc;
    std::unique_ptr<TCanvasLoan> loan;
    if (!canvas.Handle()) {
        windowDc = std::make_unique<TWindowDc>(WindowHandle());
        if (!*windowDc)
            return;
        loan = std::make_unique<TCanvasLoan>(canvas, windowDc->Get());
    }
    canvas.Font().Assign(*Font());
    const SIZE text = canvas.TextExtent(caption);
    const SIZE glyph = GetCheckBoxSize();
    checkBox_->SetBounds(kCheckBoxLeft, 0, text.cx + kGlyphGap + glyph.cx + kTextTail, std::max<int>(text.cy, glyph.cy));
    // Wipe the caption text the group box painted beneath the check box.
    const TRect bounds = checkBox_->BoundsRect();
    if (ThemeServices().ThemesEnabled() && Parent()) {
        ThemeServices().DrawThemeParentBackground(WindowHandle(), canvas.Handle(), &bounds);
    } else {
        canvas.Brush().SetColor(Color());
        canvas.Brush().SetStyle(bsSolid);
        canvas.FillRect(bounds);
    }
}

void TkelCustomGroupBox::UpdateControlsState() {
    if (!autoDisableControls_)
        return;
    bool state = Enabled();
    if (CheckBoxVisible() && !CheckBoxChecked())
        state = false;
    for (int i = 0; i < ControlCount(); ++i)
        if (Controls(i) != checkBox_)
            Controls(i)->SetEnabled(state);
    Invalidate();
}

void TkelCustomGroupBox::Loaded() {
    TCustomGroupBox::Loaded();
    if (checkBox_->IsLoading())
        checkBox_->Loaded();
    UpdateControlsState();
}

void TkelCustomGroupBox::CheckBoxClick(TObject*) {
    UpdateControlsState();
    OnCheckBoxClick(this);
}

void TkelCustomGroupBox::Paint() {
    TCustomGroupBox::Paint();
    AdjustCheckBox();
}

void TkelCustomGroupBox::Update() {
    TCustomGroupBox::Update();
    AdjustCheckBox();
}

void TkelCustomGroupBox::WndProc(TMessage& message) {
    if (message.Msg == CM_TEXTCHANGED)
        AdjustCheckBox();
    TCustomGroupBox::WndProc(message);
}
