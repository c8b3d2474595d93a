#pragma once

// A speed button that repeats its click while it is held down, and can show a scroll arrow
// as its glyph.

#include "Buttons.h"
#include "ExtCtrls.h"
#include "KvCommon.h"

class TKvRapidFireButton : public TSpeedButton {
    DECLARE_CLASS_INFO()

public:
    explicit TKvRapidFireButton(TComponent* owner);

    // Milliseconds from the press to the first repeated click, and between the later ones.
    int InitialDelay() const { return initialDelay_; }
    void SetInitialDelay(int value) { initialDelay_ = value; }
    int Delay() const { return delay_; }
    void SetDelay(int value) { delay_ = value; }
    // Anything but scsNone replaces the glyph with the system's scroll arrow that way.
    TKvScrollStyle ScrollStyle() const { return scrollStyle_; }
    virtual void SetScrollStyle(TKvScrollStyle value);

    void WndProc(TMessage& message) override;

protected:
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
    void Paint() override;
    // The repeat timer's tick: clicks while the button is pressed and holds the mouse.
    void TimerExpired(TObject* sender);
    // Null until the first press.
    TTimer* RepeatTimer() const { return repeatTimer_; }

private:
    void UpdateScrollGlyph();

    int initialDelay_ = 400;
    int delay_ = 100;
    TKvScrollStyle scrollStyle_ = scsNone;
    TTimer* repeatTimer_ = nullptr;  // owned as a component
    // The look the scroll glyph was made for.
    bool glyphFlat_ = false;
    bool glyphEnabled_ = true;
};
