#pragma once

// Labels with 3-D text styles, rotation, borders, blinking and a fly-by colour, and a label
// that opens a web address when clicked.
//
// Both stay windowless like TLabel: the parent paints them and routes the mouse to them.
// Angles are degrees counter-clockwise, always held in 0..359.

#include "Controls.h"
#include "Graphics.h"
#include "KvCommon.h"
#include "StdCtrls.h"

#include <windows.h>

#include <functional>
#include <string>

enum TRotation { roNone, roFlat, roCurve };
enum TCenterPoint {
    cpUpperLeft, cpUpperCenter, cpUpperRight, cpLeftCenter, cpCenter, cpRightCenter, cpLowerLeft, cpLowerCenter,
    cpLowerRight
};

// Any angle in degrees brought into 0..359 (-30 is 330, 450 is 90, -720 is 0).
int NormalizeAngle(int angle);

class TKvLabel : public TLabel, public IKvOldProperties {
    DECLARE_CLASS_INFO()

public:
    explicit TKvLabel(TComponent* owner);
    ~TKvLabel() override;

    int Angle() const { return angle_; }
    virtual void SetAngle(int value);
    TRotation Rotation() const { return rotation_; }
    virtual void SetRotation(TRotation value);
    TCenterPoint CenterPoint() const { return centerPoint_; }
    virtual void SetCenterPoint(TCenterPoint value);
    TTextStyle TextStyle() const { return textStyle_; }
    virtual void SetTextStyle(TTextStyle value);
    // Leaves out the shadow copy of the raised and recessed styles.
    bool LightTextStyle() const { return lightTextStyle_; }
    virtual void SetLightTextStyle(bool value);
    TColor HighlightColor() const { return highlightColor_; }
    virtual void SetHighlightColor(TColor value);
    TColor ShadowColor() const { return shadowColor_; }
    virtual void SetShadowColor(TColor value);
    int ShadowDepth() const { return shadowDepth_; }
    virtual void SetShadowDepth(int value);
    bool Blinking() const { return blinking_; }
    virtual void SetBlinking(bool value);
    TColor BlinkColor() const { return blinkColor_; }
    virtual void SetBlinkColor(TColor value);
    // Shared by every blinking control of the process.
    int BlinkIntervalOff() const;
    virtual void SetBlinkIntervalOff(int value);
    int BlinkIntervalOn() const;
    virtual void SetBlinkIntervalOn(int value);
    int BevelWidth() const { return bevelWidth_; }
    virtual void SetBevelWidth(int value);
    TFrameStyle BorderInner() const { return borderInner_; }
    virtual void SetBorderInner(TFrameStyle value);
    TFrameStyle BorderOuter() const { return borderOuter_; }
    virtual void SetBorderOuter(TFrameStyle value);
    TSides BorderSides() const { return borderSides_; }
    virtual void SetBorderSides(TSides value);
    TColor BorderColor() const { return borderColor_; }
    virtual void SetBorderColor(TColor value);
    TColor BorderHighlight() const { return borderHighlight_; }
    virtual void SetBorderHighlight(TColor value);
    TColor BorderShadow() const { return borderShadow_; }
    virtual void SetBorderShadow(TColor value);
    int BorderWidth() const { return borderWidth_; }
    virtual void SetBorderWidth(int value);
    TColor FlatColor() const { return flatColor_; }
    virtual void SetFlatColor(TColor value);
    bool FlyByEnabled() const { return flyByEnabled_; }
    virtual void SetFlyByEnabled(bool value);
    TColor FlyByColor() const { return flyByColor_; }
    virtual void SetFlyByColor(TColor value);

    // The colour the face of the text is painted in now.
    TColor ColorInUse() const { return colorInUse_; }

    void WndProc(TMessage& message) override;
    void Loaded() override;
    bool ReadOldProperty(const TFormProperty& property) override;

protected:
    // The text that is painted.
    virtual std::string GetLabelText() const;
    // The blink list's phase reached this label.
    virtual void Blink(bool on);
    // Fits the bounds to the text, borders, shadow and rotation while AutoSize is on.
    void AdjustBounds() override;
    // Each character on an ellipse around the centre point, turned to follow it.
    virtual void DrawCurvedText(TCanvas& canvas, const TRect& rect);
    // The font colour becomes the normal colour and the colour in use.
    virtual void UpdateColors();

    void Paint() override;
    // The flat renderer: DrawText unrotated, one turned line for roFlat.
    virtual void DrawFlatText(TCanvas& canvas, const TRect& rect);

private:
    // Draws one border ring by the label's rules; returns what is left inside.
    TRect DrawLabelBorder(TCanvas& canvas, const TRect& rect, TFrameStyle style);
    // How many pixels a border of this style takes on each side.
    int BorderStyleWidth(TFrameStyle style) const;
    // The copies of the text style and then the face, each through draw(dx, dy, colour).
    void DrawStyled(const std::function<void(int dx, int dy, TColor color)>& draw);
    // The caption's size on dc as DrawText lays it out.
    SIZE MeasureText(HDC dc) const;
    void SwitchToTrueTypeFont();

    int angle_ = 0;
    TRotation rotation_ = roNone;
    TCenterPoint centerPoint_ = cpCenter;
    TTextStyle textStyle_ = tsNormal;
    bool lightTextStyle_ = false;
    TColor highlightColor_ = clBtnHighlight;
    TColor shadowColor_ = clBtnShadow;
    int shadowDepth_ = 2;
    bool blinking_ = false;
    TColor blinkColor_ = clHighlight;
    int bevelWidth_ = 1;
    TFrameStyle borderInner_ = fsNone;
    TFrameStyle borderOuter_ = fsNone;
    TSides borderSides_ = kAllSides;
    TColor borderColor_ = clBtnFace;
    TColor borderHighlight_ = clBtnHighlight;
    TColor borderShadow_ = clBtnShadow;
    int borderWidth_ = 0;
    TColor flatColor_ = clBtnShadow;
    bool flyByEnabled_ = false;
    TColor flyByColor_ = clHighlight;

    TColor normalColor_;
    TColor colorInUse_;
    TColor savedFlyByColor_ = clWindowText;
    bool flyingBy_ = false;  // the fly-by colour replaced the font colour
    bool switchingFont_ = false;
};

// Runs a command line as WinExec does; returns WinExec's result. Tests replace it.
using TKvRunCommandFunction = std::function<UINT(const std::string& commandLine, UINT showCommand)>;
TKvRunCommandFunction SetKvRunCommandHook(TKvRunCommandFunction function);
UINT KvRunCommand(const std::string& commandLine, UINT showCommand);

// The screen cursor number of the hand cursor the address labels show.
constexpr TCursor crKvHandCursor = 26000;

// A label that opens its URL (or its caption when there is none) on a click, through the
// shell's "Open". A failed open of a page ending in ".htm" offers the system's open-with
// dialog. The text is underlined, in VisitedColor once opened, else in UnvisitedColor.
class TKvURLLabel : public TKvLabel {
    DECLARE_CLASS_INFO()

public:
    explicit TKvURLLabel(TComponent* owner);

    const std::string& URL() const { return url_; }
    void SetURL(const std::string& value) { url_ = value; }
    bool Visited() const { return visited_; }
    virtual void SetVisited(bool value);
    TColor VisitedColor() const { return visitedColor_; }
    virtual void SetVisitedColor(TColor value);
    TColor UnvisitedColor() const { return unvisitedColor_; }
    virtual void SetUnvisitedColor(TColor value);

    void Click() override;

private:
    void ApplyVisitedColor();

    std::string url_;
    bool visited_ = false;
    TColor visitedColor_ = clPurple;
    TColor unvisitedColor_ = clHighlight;
};

template <>
struct TEnumTraits<TRotation> {
    static constexpr const char* Names[] = {"roNone", "roFlat", "roCurve"};
};
template <>
struct TEnumTraits<TCenterPoint> {
    static constexpr const char* Names[] = {"cpUpperLeft",   "cpUpperCenter", "cpUpperRight",
                                            "cpLeftCenter",  "cpCenter",      "cpRightCenter",
                                            "cpLowerLeft",   "cpLowerCenter", "cpLowerRight"};
};
