#pragma once

// A number editor: an edit for whole numbers with up and down arrows at its right edge.

#include "StdCtrls.h"

// The arrows are a native up-down window ("msctls_updown32") inside the edit, which keeps the
// text clear of them with its right margin. The arrows and the Up/Down keys step Value by
// Increment. Only digits and a leading '-' (when negative values are possible) can be typed
// or pasted. Value reads the text: text that is no number reads as MinValue. While
// MaxValue > MinValue values are clamped to [MinValue, MaxValue]; otherwise they are free.
// OnChange fires when the text changes; leaving the control writes the text as Value.
class TSpinEdit : public TCustomEdit {
    DECLARE_CLASS_INFO()

public:
    explicit TSpinEdit(TComponent* owner);

    int Value() const;
    void SetValue(int value);
    int MinValue() const { return minValue_; }
    void SetMinValue(int value);
    int MaxValue() const { return maxValue_; }
    void SetMaxValue(int value);
    int Increment() const { return increment_; }
    void SetIncrement(int value) { increment_ = value; }
    // False: the text cannot be typed into, only stepped.
    bool EditorEnabled() const { return editorEnabled_; }
    void SetEditorEnabled(bool value) { editorEnabled_ = value; }

    // The arrows' window (a child of the edit's); null without a window.
    HWND ButtonHandle() const { return upDown_; }

    void WndProc(TMessage& message) override;

protected:
    void CreateWnd() override;
    // OnKeyDown hears the key first; Up and Down then step and go no further, Shift+Insert and
    // Shift+Delete paste and cut through the checks, Delete does nothing without the editor.
    void KeyDown(WORD& key, TShiftState shift) override;
    // Characters that cannot belong to a number end here (OnKeyPress does not hear them).
    void KeyPress(char& key) override;
    // Step Value up or down by Increment.
    virtual void UpClick();
    virtual void DownClick();
    bool IsValidChar(char key) const;

private:
    // The value clamped to the range when there is one.
    int CheckValue(long long value) const;
    bool NegativeAllowed() const;
    // True when the text with the selection replaced by inserted could still become a number.
    bool AcceptsReplacement(const std::string& inserted) const;
    void PlaceButton();

    int minValue_ = 0;
    int maxValue_ = 0;
    int increment_ = 1;
    bool editorEnabled_ = true;
    HWND upDown_ = nullptr;  // a view: the window goes with the edit's
};
