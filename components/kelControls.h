#pragma once

// A group box whose caption is a check box: ticking it enables the controls inside the box,
// clearing it disables them.

#include "StdCtrls.h"

#include <string>

class TkelCustomGroupBox : public TCustomGroupBox {
    DECLARE_CLASS_INFO()

public:
    explicit TkelCustomGroupBox(TComponent* owner);

    bool AutoDisableControls() const { return autoDisableControls_; }
    void SetAutoDisableControls(bool value);
    bool CheckBoxChecked() const;
    void SetCheckBoxChecked(bool value);
    bool CheckBoxVisible() const;
    void SetCheckBoxVisible(bool value);
    // The caption check box; owned by the box.
    TCheckBox* CheckBox() const { return checkBox_; }

    void Update() override;
    void WndProc(TMessage& message) override;
    // Ends the caption check box's loading too: made while the box loaded (a form built in
    // code), it would otherwise stay loading and never fire its clicks.
    void Loaded() override;

    // Fires after every click of the check box, by the user or from CheckBoxChecked.
    TNotifyEvent OnCheckBoxClick;
    std::string About;

    // The check glyph's size.
    virtual SIZE GetCheckBoxSize() const;
    // Gives the check box the caption and places it over the caption line.
    virtual void AdjustCheckBox();
    // With AutoDisableControls: every other child is enabled exactly when the box is
    // enabled and the check box hidden or checked.
    virtual void UpdateControlsState();

protected:
    virtual void CheckBoxClick(TObject* sender);
    void Paint() override;

private:
    TCheckBox* checkBox_ = nullptr;
    bool autoDisableControls_ = true;
};

class TkelGroupBox : public TkelCustomGroupBox {
    DECLARE_CLASS_INFO()

public:
    explicit TkelGroupBox(TComponent* owner) : TkelCustomGroupBox(owner) {}
};
