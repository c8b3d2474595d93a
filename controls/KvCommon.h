#pragma once

// What every themed control shares: the enumerations, frame and border drawing in the
// library's frame styles, the dotted focus border, painting the parent behind a transparent
// control, monitor routines, readers for properties older form files hold under earlier
// names, the process-wide blink list, the frame controller and the storage-location holder.
//
// Rectangles are left, top, right, bottom with right and bottom exclusive. The drawing
// routines return the rectangle left inside what they drew; they draw with the canvas's pen,
// and lines in clNone are left out.

#include "Classes.h"
#include "Controls.h"
#include "FormStream.h"
#include "Graphics.h"
#include "KvGraphics.h"
#include "TypInfo.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

enum TFrameStyle {
    fsNone, fsFlat, fsGroove, fsBump, fsLowered, fsButtonDown, fsRaised, fsButtonUp, fsStatus, fsPopup, fsFlatBold
};
enum TSide { sdLeft, sdTop, sdRight, sdBottom };
using TSides = TSet<TSide>;
inline constexpr TSides kAllSides{sdLeft, sdTop, sdRight, sdBottom};
enum TTextStyle { tsNormal, tsRaised, tsRecessed, tsShadow };
enum TAlignmentVertical { avTop, avCenter, avBottom };
enum TFramingPreference { fpCustomFraming, fpXPThemes };
enum TKvHotTrackColorType { htctComplement, htctActual };
enum TKvScrollStyle { scsNone, scsLeft, scsUp, scsRight, scsDown };
// The About property of the components: shown at design time only, never stored.
enum TKvAboutInfo { aiKavrenComponents };
enum TKvPathType { ptIniFile, ptRegistry };
enum TKvRegKey {
    hkeyClassesRoot, hkeyCurrentUser, hkeyLocalMachine, hkeyUsers, hkeyPerformanceData, hkeyCurrentConfig,
    hkeyDynData
};
enum TKvRegAccessKey {
    keyQueryValue, keySetValue, keyCreateSubKey, keyEnumerateSubKeys, keyNotify, keyCreateLink, keyRead, keyWrite,
    keyExecute, keyAllAccess
};
using TKvRegAccess = TSet<TKvRegAccessKey>;

// The blink list asks each registered control this; a control that blinks answers 1.
constexpr UINT CM_KVBLINKQUERY = CM_BASE + 1000;
// Then it sends this with WParam 1 for the on phase, 0 for the off phase.
constexpr UINT CM_KVBLINK = CM_BASE + 1001;
// A tool button asks its parent whether it imposes the button layout, size and caption display.
constexpr UINT CM_KVTOOLBARBUTTONLAYOUT = CM_BASE + 1002;
constexpr UINT CM_KVTOOLBARBUTTONSIZE = CM_BASE + 1003;
constexpr UINT CM_KVTOOLBARSHOWCAPTION = CM_BASE + 1004;

// Setters: stores value in field; false when it held that already.
template <class T, class V>
bool SetIfChanged(T& field, const V& value) {
    if (field == value)
        return false;
    field = value;
    return true;
}

// Points link at value: the component it named and client stop telling each other of their end,
// value and client start. False when link named value already.
template <class T>
bool LinkComponent(TComponent& client, T*& link, std::type_identity_t<T>* value) {
    if (link == value)
        return false;
    if (link)
        link->RemoveFreeNotification(&client);
    link = value;
    if (link)
        link->FreeNotification(&client);
    return true;
}

// ---- Borders and frames -------------------------------------------------------------------

// One-pixel lines on the chosen sides: left and top in ulColor, right and bottom in lrColor.
TRect DrawSides(TCanvas& canvas, const TRect& rect, TColor ulColor, TColor lrColor, TSides sides);
// DrawSides width times, each inside the last.
TRect DrawBevel(TCanvas& canvas, const TRect& rect, TColor ulColor, TColor lrColor, int width, TSides sides);
// The style in system colours.
TRect DrawBorder(TCanvas& canvas, const TRect& rect, TFrameStyle style, TSides sides);
// The style in shades of color.
TRect DrawColorBorder(TCanvas& canvas, const TRect& rect, TColor color, TFrameStyle style, TSides sides);
// Two rings in shades of color, sunken when down.
TRect DrawBox(TCanvas& canvas, const TRect& rect, TColor color, bool down, TSides sides);
// The non-client frame of the library's controls on 0, 0, width, height.
void DrawFrame(TCanvas& canvas, int width, int height, bool keepBackground, TSides sides, TColor frameColor,
               TColor color, TFrameStyle style);
// A one-pixel rectangle in color whose corner pixels stay unpainted; nothing under 2 x 2.
void DrawOpenCornerRect(TCanvas& canvas, const TRect& rect, TColor color);
// Every second pixel of each edge, starting one in from the corner, in the pen's colour.
TRect DrawFocusBorder(TCanvas& canvas, const TRect& rect);
// The copies a text style puts under the text, each through draw(dx, dy, colour); light leaves
// out the shadow of raised and recessed text. The text itself comes after them.
void DrawTextStyleCopies(TTextStyle style, bool light, TColor highlight, TColor shadow, int shadowDepth,
                         const std::function<void(int dx, int dy, TColor color)>& draw);

// Paints what the parent shows behind a windowed control onto dc (control's client
// coordinates). A windowless control lies on its parent's painting already: nothing is done.
void PaintParentBackground(TControl& control, HDC dc, bool invalidateParent);

// ---- Monitors -------------------------------------------------------------------------------

TRect MonitorWorkArea(HWND window);
TRect MonitorRect(HWND window);
int MonitorWorkAreaHeight(HWND window);
// The monitor whose bounds contain point, or null.
HMONITOR FindMonitor(TPoint point);

// ---- Properties of older form files --------------------------------------------------------

// A control that takes properties older form files hold under earlier names.
class IKvOldProperties {
public:
    // True when the name was an old one (its value taken or discarded).
    virtual bool ReadOldProperty(const TFormProperty& property) = 0;

protected:
    ~IKvOldProperties() = default;
};

// The readers such a control uses.
class TKvOldPropReader {
public:
    // Reads an identifier and discards it; false when the value is not one.
    static bool SkipIdent(const TFormValue& value);
    // Reads a list of strings and discards it; false when the value is not one.
    static bool SkipStrings(const TFormValue& value);
    // Reads True or False; false when the value is neither.
    static bool ReadBool(const TFormValue& value, bool& result);
    // Reads an identifier naming a frame style (any case); false when the value is not one.
    static bool ReadFrameStyle(const TFormValue& value, TFrameStyle& style);
    // The older frame names: FrameFlat hands its value to setFlat, FrameFocusStyle its style to
    // setHotStyle, FrameFlatStyle is skipped. False for any other name or a value of the wrong kind.
    static bool ReadFrameNames(const TFormProperty& property, const std::function<void(bool flat)>& setFlat,
                               const std::function<void(TFrameStyle style)>& setHotStyle);
};

// For TFormReadOptions::ReadExtraProperty: hands the property to the target's old-name reader.
bool ReadKvOldProperty(TObject& target, const TFormProperty& property);

// ---- Blinking -------------------------------------------------------------------------------

// One per process while a control is registered: a timer flips the phase and tells every
// registered control that answers CM_KVBLINKQUERY with 1. A control removes itself before it
// is freed; it may do so, or free the list, while it is told.
class TKvBlinkingControlsList {
public:
    static void Add(TControl* control);
    // Frees the list with its timer when the last control leaves.
    static void Remove(TControl* control);
    // Null while no control is registered.
    static TKvBlinkingControlsList* Instance();

    bool PhaseOn() const { return phaseOn_; }
    unsigned IntervalOn() const { return intervalOn_; }
    unsigned IntervalOff() const { return intervalOff_; }
    // 0 is refused: it would stop the blinking for good.
    void SetIntervalOn(unsigned ms);
    void SetIntervalOff(unsigned ms);
    int Count() const { return static_cast<int>(controls_.size()); }
    // The timer's tick: flips the phase and tells the controls.
    void Tick(TObject* sender = nullptr);
    // The TTimer that drives the ticks.
    const TComponent* Timer() const { return timer_.get(); }

    TKvBlinkingControlsList(const TKvBlinkingControlsList&) = delete;
    TKvBlinkingControlsList& operator=(const TKvBlinkingControlsList&) = delete;
    ~TKvBlinkingControlsList();

private:
    TKvBlinkingControlsList();

    bool phaseOn_ = true;
    unsigned intervalOn_ = 500;
    unsigned intervalOff_ = 500;
    std::unique_ptr<TComponent> timer_;  // a TTimer
    std::vector<TControl*> controls_;
    bool* destroyed_ = nullptr;  // set while a tick runs: the tick may free the list
};

// ---- Frame controller -----------------------------------------------------------------------

class TKvRegIniFile;
class TKvFrameController;

// A control that applies the controller's settings itself instead of by property name.
// A control that hears its controller go (Notification) just drops its pointer to it.
class IKvFrameControllerClient {
public:
    virtual void ApplyFrameController(TKvFrameController& controller) = 0;

protected:
    ~IKvFrameControllerClient() = default;
};

// Pushes frame and colour settings to the controls that register with it, by published
// property name (each only where the control publishes that name).
class TKvFrameController : public TComponent, public IKvOldProperties {
    DECLARE_CLASS_INFO()

public:
    explicit TKvFrameController(TComponent* owner);
    ~TKvFrameController() override;

    // Which setting changed: 0 all, then 1 Color, 2 FocusColor, 3 DisabledColor, 4 ParentColor,
    // 5 FlatButtonColor, 6 FlatButtons, 7 FrameColor, 8 FrameHotColor, 9 FrameHotTrack,
    // 10 FrameHotStyle, 11 FrameSides, 12 FrameStyle, 13 FrameVisible, 14 FramingPreference.
    virtual void UpdateControl(TControl* control, int which);
    virtual void UpdateControls(int which);

    TColor Color() const { return color_; }
    virtual void SetColor(TColor value);
    bool ParentColor() const { return parentColor_; }
    virtual void SetParentColor(bool value);
    TColor FlatButtonColor() const { return flatButtonColor_; }
    virtual void SetFlatButtonColor(TColor value);
    bool FlatButtons() const { return flatButtons_; }
    virtual void SetFlatButtons(bool value);
    TColor DisabledColor() const { return disabledColor_; }
    virtual void SetDisabledColor(TColor value);
    TColor FocusColor() const { return focusColor_; }
    virtual void SetFocusColor(TColor value);
    TColor FrameColor() const { return frameColor_; }
    virtual void SetFrameColor(TColor value);
    TColor FrameHotColor() const { return frameHotColor_; }
    virtual void SetFrameHotColor(TColor value);
    bool FrameHotTrack() const { return frameHotTrack_; }
    virtual void SetFrameHotTrack(bool value);
    TFrameStyle FrameHotStyle() const { return frameHotStyle_; }
    virtual void SetFrameHotStyle(TFrameStyle value);
    TSides FrameSides() const { return frameSides_; }
    virtual void SetFrameSides(TSides value);
    TFrameStyle FrameStyle() const { return frameStyle_; }
    virtual void SetFrameStyle(TFrameStyle value);
    bool FrameVisible() const { return frameVisible_; }
    virtual void SetFrameVisible(bool value);
    TFramingPreference FramingPreference() const { return framingPreference_; }
    virtual void SetFramingPreference(TFramingPreference value);
    TKvRegIniFile* RegIniFile() const { return regIniFile_; }
    virtual void SetRegIniFile(TKvRegIniFile* value);

    // A control that names this controller; it is updated at once with which = 0. The
    // controller forgets a registered control that is freed.
    void RegisterControl(TControl* control);
    void UnregisterControl(TControl* control);
    int ControlCount() const { return controls_ ? static_cast<int>(controls_->size()) : 0; }

    void BeginUpdate() { ++updateCount_; }
    // The last one runs UpdateControls(0).
    void EndUpdate();

    void Assign(const TPersistent& source) override;
    void Loaded() override;
    bool ReadOldProperty(const TFormProperty& property) override;

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    bool IsColorStored() const { return !parentColor_; }

    TColor color_ = clWindow;
    TColor disabledColor_ = clBtnFace;
    TColor flatButtonColor_ = clBtnFace;
    bool flatButtons_ = true;
    TColor focusColor_ = clWindow;
    TColor frameColor_ = clBtnShadow;
    TColor frameHotColor_ = clBtnShadow;
    TFrameStyle frameHotStyle_ = fsFlatBold;
    bool frameHotTrack_ = false;
    TSides frameSides_ = kAllSides;
    TFrameStyle frameStyle_ = fsFlat;
    bool frameVisible_ = false;
    TFramingPreference framingPreference_ = fpXPThemes;
    bool parentColor_ = false;
    TKvRegIniFile* regIniFile_ = nullptr;
    int updateCount_ = 0;
    std::unique_ptr<std::vector<TControl*>> controls_;  // made on first registration
};

// Moves client's link from the controller it names to value: the old one forgets client, the new
// one applies its settings at once, and each hears of the other's end. Null unlinks.
void LinkFrameController(TControl& client, TKvFrameController*& link, TKvFrameController* value);

// ---- Storage location -----------------------------------------------------------------------

// Where settings would be kept: an ini file or a registry key. It reads and writes nothing
// itself; a changed setting drops the storage object it made, to be made again when needed.
class TKvRegIniFile : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TKvRegIniFile(TComponent* owner);
    ~TKvRegIniFile() override;

    const std::string& Path() const { return path_; }
    virtual void SetPath(const std::string& value);
    TKvPathType PathType() const { return pathType_; }
    virtual void SetPathType(TKvPathType value);
    TKvRegKey RegKey() const { return regKey_; }
    virtual void SetRegKey(TKvRegKey value);
    TKvRegAccess RegAccess() const { return regAccess_; }
    virtual void SetRegAccess(TKvRegAccess value);

    // Whether the storage object must be made again before its next use.
    bool NeedsRecreate() const { return needsRecreate_; }

private:
    std::string path_;
    TKvPathType pathType_ = ptIniFile;
    TKvRegKey regKey_ = hkeyCurrentUser;
    TKvRegAccess regAccess_{keyAllAccess};
    bool needsRecreate_ = true;
};

template <>
struct TEnumTraits<TFrameStyle> {
    static constexpr const char* Names[] = {"fsNone",       "fsFlat",   "fsGroove",   "fsBump",
                                            "fsLowered",    "fsButtonDown", "fsRaised", "fsButtonUp",
                                            "fsStatus",     "fsPopup",  "fsFlatBold"};
};
template <>
struct TEnumTraits<TSide> {
    static constexpr const char* Names[] = {"sdLeft", "sdTop", "sdRight", "sdBottom"};
};
template <>
struct TEnumTraits<TTextStyle> {
    static constexpr const char* Names[] = {"tsNormal", "tsRaised", "tsRecessed", "tsShadow"};
};
template <>
struct TEnumTraits<TAlignmentVertical> {
    static constexpr const char* Names[] = {"avTop", "avCenter", "avBottom"};
};
template <>
struct TEnumTraits<TFramingPreference> {
    static constexpr const char* Names[] = {"fpCustomFraming", "fpXPThemes"};
};
template <>
struct TEnumTraits<TKvHotTrackColorType> {
    static constexpr const char* Names[] = {"htctComplement", "htctActual"};
};
template <>
struct TEnumTraits<TKvScrollStyle> {
    static constexpr const char* Names[] = {"scsNone", "scsLeft", "scsUp", "scsRight", "scsDown"};
};
template <>
struct TEnumTraits<TKvAboutInfo> {
    static constexpr const char* Names[] = {"aiKavrenComponents"};
};
template <>
struct TEnumTraits<TKvPathType> {
    static constexpr const char* Names[] = {"ptIniFile", "ptRegistry"};
};
template <>
struct TEnumTraits<TKvRegKey> {
    static constexpr const char* Names[] = {"hkeyClassesRoot",     "hkeyCurrentUser",   "hkeyLocalMachine",
                                            "hkeyUsers",           "hkeyPerformanceData", "hkeyCurrentConfig",
                                            "hkeyDynData"};
};
template <>
struct TEnumTraits<TKvRegAccessKey> {
    static constexpr const char* Names[] = {"keyQueryValue", "keySetValue",   "keyCreateSubKey", "keyEnumerateSubKeys",
                                            "keyNotify",     "keyCreateLink", "keyRead",         "keyWrite",
                                            "keyExecute",    "keyAllAccess"};
};
