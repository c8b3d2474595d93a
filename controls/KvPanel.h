#pragma once

// Panels with frame-style borders, the framed group box and the status bar that hosts status
// panes and draws a size grip.
//
// Borders go outside in: BorderOuter on BorderSides, a ring of BorderWidth pixels in
// BorderColor on every side, BorderInner on BorderSides. The client area where aligned children
// go lies inside all three.

#include "Controls.h"
#include "DockTree.h"
#include "ExtCtrls.h"
#include "Forms.h"
#include "Graphics.h"
#include "KvCommon.h"

#include <functional>
#include <string>

enum TKvGridStyle { gsDots, gsDottedLines, gsSolidLines };

class TKvCustomPanel : public TCustomPanel, public IKvFrameControllerClient {
    DECLARE_CLASS_INFO()

public:
    explicit TKvCustomPanel(TComponent* owner);
    ~TKvCustomPanel() override;

    TAlignmentVertical AlignmentVertical() const { return alignmentVertical_; }
    virtual void SetAlignmentVertical(TAlignmentVertical value);
    TColor BorderColor() const { return borderColor_; }
    virtual void SetBorderColor(TColor value);
    TFrameStyle BorderInner() const { return borderInner_; }
    virtual void SetBorderInner(TFrameStyle value);
    TFrameStyle BorderOuter() const { return borderOuter_; }
    virtual void SetBorderOuter(TFrameStyle value);
    TSides BorderSides() const { return borderSides_; }
    virtual void SetBorderSides(TSides value);
    // The light and dark colours of the fsPopup and fsStatus borders.
    TColor BorderHighlight() const { return borderHighlight_; }
    virtual void SetBorderHighlight(TColor value);
    TColor BorderShadow() const { return borderShadow_; }
    virtual void SetBorderShadow(TColor value);
    TColor FlatColor() const { return flatColor_; }
    virtual void SetFlatColor(TColor value);
    int FlatColorAdjustment() const { return flatColorAdjustment_; }
    virtual void SetFlatColorAdjustment(int value);
    TKvFrameController* FrameController() const { return frameController_; }
    virtual void SetFrameController(TKvFrameController* value);
    TColor GridColor() const { return gridColor_; }
    virtual void SetGridColor(TColor value);
    TKvGridStyle GridStyle() const { return gridStyle_; }
    virtual void SetGridStyle(TKvGridStyle value);
    int GridX() const { return gridX_; }
    virtual void SetGridX(int value);
    int GridY() const { return gridY_; }
    virtual void SetGridY(int value);
    bool ShowGrid() const { return showGrid_; }
    virtual void SetShowGrid(bool value);
    bool Transparent() const { return transparent_; }
    virtual void SetTransparent(bool value);
    bool ThemeAware() const { return themeAware_; }
    virtual void SetThemeAware(bool value);
    bool ShowDockClientCaptions() const { return showDockClientCaptions_; }
    void SetShowDockClientCaptions(bool value);
    bool Locked() const { return locked_; }
    void SetLocked(bool value) { locked_ = value; }

    // The mouse position in client coordinates.
    virtual TPoint CursorPosition() const;
    // rect less the borders on their sides, and less BorderWidth all round when asked.
    virtual void AdjustRect(TRect& rect, bool includeBorderWidth) const;
    // The controller's frame style, sides and colours, when it shows frames.
    void ApplyFrameController(TKvFrameController& controller) override;

    // Keeps the bottom edge of a bottom-aligned panel (the right edge of a right-aligned one)
    // in place when only the height (width) changes.
    void SetBounds(int left, int top, int width, int height) override;
    void WndProc(TMessage& message) override;

    // After the panel is painted.
    TNotifyEvent OnPaint;

protected:
    void AdjustClientRect(TRect& rect) const override;
    std::unique_ptr<TDockManager> CreateDockManager() override;
    void Notification(TComponent* component, TOperation operation) override;
    void Paint() override;
    // The area that painting fills: the whole client area.
    virtual TRect PaintClientRect() const;
    // The caption inside rect, placed by Alignment and AlignmentVertical.
    virtual void DrawCaption(TRect rect);
    virtual void DrawGrid(const TRect& rect);
    // Paints outer border, border width, inner border, background, grid and caption.
    void PaintPanel();
    // One border style on BorderSides; returns what lies inside.
    TRect DrawPanelBorder(TRect rect, TFrameStyle style);
    // Text drawn in Font, embossed when the panel is disabled.
    void DrawEmbossedText(const std::string& text, TRect rect, UINT flags);
    bool ThemedLook() const;
    void BordersChanged();

private:
    void AdjustForStyle(TRect& rect, TFrameStyle style) const;

    TAlignmentVertical alignmentVertical_ = avCenter;
    TColor borderColor_ = clBtnFace;
    TFrameStyle borderInner_ = fsNone;
    TFrameStyle borderOuter_ = fsRaised;
    TSides borderSides_ = kAllSides;
    TColor borderHighlight_ = clBtnHighlight;
    TColor borderShadow_ = clBtnShadow;
    TColor flatColor_ = clBtnShadow;
    int flatColorAdjustment_ = 30;
    TKvFrameController* frameController_ = nullptr;
    TColor gridColor_ = clBtnShadow;
    TKvGridStyle gridStyle_ = gsDots;
    int gridX_ = 8;
    int gridY_ = 8;
    bool showGrid_ = false;
    bool transparent_ = false;
    bool themeAware_ = true;
    bool showDockClientCaptions_ = true;
    bool locked_ = false;
    TRect sizedClient_{};  // the client area at the last WM_SIZE
};

// The grabbers of a panel that is a dock site: with ShowDockClientCaptions each shows its
// client's caption in the caption colours (the active ones for the client holding the focus)
// and a close glyph; without, the plain frame.
class TKvPanelDockManager : public TDockTree {
public:
    explicit TKvPanelDockManager(TKvCustomPanel& panel) : TDockTree(panel), panel_(panel) {}

protected:
    void PaintDockFrame(HDC dc, TControl& client, const TRect& grabber) override;

private:
    TKvCustomPanel& panel_;
};

class TKvPanel : public TKvCustomPanel {
    DECLARE_CLASS_INFO()

public:
    explicit TKvPanel(TComponent* owner) : TKvCustomPanel(owner) {}
};

// ---- Group box --------------------------------------------------------------------------

enum TKvGroupBoxStyle { gsStandard, gsCustom, gsTopLine, gsFlat };

// A framed group with its caption in a gap of the frame's top edge. gsCustom paints like a
// panel with the caption above the client area.
class TKvCustomGroupBox : public TKvCustomPanel {
    DECLARE_CLASS_INFO()

public:
    explicit TKvCustomGroupBox(TComponent* owner);

    TKvGroupBoxStyle GroupStyle() const { return groupStyle_; }
    virtual void SetGroupStyle(TKvGroupBoxStyle value);

    void WndProc(TMessage& message) override;

protected:
    void AdjustClientRect(TRect& rect) const override;
    void Paint() override;

private:
    // Where the caption goes; empty without a caption or in gsCustom.
    TRect CaptionRect();
    void PaintThemed(const TRect& caption, int frameTop);
    void PaintFrame(int frameTop);
    void DialogChar(TMessage& message);

    TKvGroupBoxStyle groupStyle_ = gsFlat;
};

class TKvGroupBox : public TKvCustomGroupBox {
    DECLARE_CLASS_INFO()

public:
    explicit TKvGroupBox(TComponent* owner) : TKvCustomGroupBox(owner) {}
};

// ---- Status bar -------------------------------------------------------------------------

// What the size grip does with a press: by default it sends form WM_SYSCOMMAND with command
// and the screen point of the press.
using TKvSizeGripCommandFunction = std::function<void(HWND form, WPARAM command, LPARAM point)>;
// Replaces the function (tests record instead of sizing); returns the previous one.
TKvSizeGripCommandFunction SetSizeGripCommandHook(TKvSizeGripCommandFunction hook);

// A bottom-aligned bar that hosts status panes and draws a size grip in its right end.
class TKvStatusBar : public TKvCustomPanel {
    DECLARE_CLASS_INFO()

public:
    // The grip takes this many pixels at the right end, over the full height.
    static constexpr int kGripWidth = 13;
    // The command a press on the grip sends: sizing from the bottom-right corner.
    static constexpr WPARAM kGripCommand = SC_SIZE + 8;

    explicit TKvStatusBar(TComponent* owner);
    ~TKvStatusBar() override;

    bool AutoStyle() const { return autoStyle_; }
    void SetAutoStyle(bool value) { autoStyle_ = value; }
    bool AutoScalePanes() const { return autoScalePanes_; }
    void SetAutoScalePanes(bool value) { autoScalePanes_ = value; }
    bool ShowSizeGrip() const { return showSizeGrip_; }
    virtual void SetShowSizeGrip(bool value);
    const std::string& SimpleCaption() const { return simpleCaption_; }
    virtual void SetSimpleCaption(const std::string& value);
    bool SimpleStatus() const { return simpleStatus_; }
    virtual void SetSimpleStatus(bool value);
    TFrameStyle SimpleFrameStyle() const { return simpleFrameStyle_; }
    virtual void SetSimpleFrameStyle(TFrameStyle value);

    // Switch AutoStyle off when the value changes.
    void SetBorderInner(TFrameStyle value) override;
    void SetBorderOuter(TFrameStyle value) override;
    void SetBorderSides(TSides value) override;

    // The parent form can be sized and is not maximized.
    bool GripAllowed() const;
    // Whether client point lies in the grip and the grip works there.
    bool InSizeGrip(TPoint point) const;

    void SetBounds(int left, int top, int width, int height) override;
    void Loaded() override;
    void WndProc(TMessage& message) override;

protected:
    void AdjustClientRect(TRect& rect) const override;
    TRect PaintClientRect() const override;
    void CreateWnd() override;
    void Paint() override;
    virtual void DrawSimpleFrame(TRect rect);
    // No borders, 19 pixels high; AutoStyle stays set.
    virtual void ApplyAutoStyle();

private:
    void PaintGrip(HDC dc);
    void PaintSimpleCaption();
    void ScalePanes(int oldWidth, int newWidth);
    bool Themed() const;

    bool autoStyle_ = true;
    bool autoScalePanes_ = false;
    bool showSizeGrip_ = true;
    std::string simpleCaption_;
    bool simpleStatus_ = false;
    TFrameStyle simpleFrameStyle_ = fsFlat;
    TCanvas gripCanvas_;
    bool gripAllowed_ = false;
    int lastWidth_ = 0;
    bool firstResize_ = true;
};

template <>
struct TEnumTraits<TKvGridStyle> {
    static constexpr const char* Names[] = {"gsDots", "gsDottedLines", "gsSolidLines"};
};
template <>
struct TEnumTraits<TKvGroupBoxStyle> {
    static constexpr const char* Names[] = {"gsStandard", "gsCustom", "gsTopLine", "gsFlat"};
};
