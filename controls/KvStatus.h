#pragma once

// Framed text panes for status bars (with a glyph or not), and the version-information
// reader: ten string items of an executable's version resource.

#include "Classes.h"
#include "Controls.h"
#include "Graphics.h"
#include "ImgList.h"
#include "KvCommon.h"
#include "StringList.h"

#include <cstdint>
#include <memory>
#include <string>

// ---- Status panes -----------------------------------------------------------------------

// A windowless pane: a frame in FrameStyle inside BorderWidth, then the caption on FillColor.
// Every pane is in the process-wide blink list; the blink intervals are the list's, so they are
// shared by all panes.
class TKvCustomStatusPane : public TGraphicControl, public IKvFrameControllerClient {
    DECLARE_CLASS_INFO()

public:
    explicit TKvCustomStatusPane(TComponent* owner);
    ~TKvCustomStatusPane() override;

    TAlignment Alignment() const { return alignment_; }
    virtual void SetAlignment(TAlignment value);
    bool AutoSize() const { return autoSize_; }
    virtual void SetAutoSize(bool value);
    int DefaultWidth() const { return defaultWidth_; }
    virtual void SetDefaultWidth(int value);
    bool Blinking() const { return blinking_; }
    virtual void SetBlinking(bool value);
    TColor BlinkColor() const { return blinkColor_; }
    virtual void SetBlinkColor(TColor value);
    virtual int BlinkIntervalOff() const;
    virtual void SetBlinkIntervalOff(int value);
    virtual int BlinkIntervalOn() const;
    virtual void SetBlinkIntervalOn(int value);
    int BorderWidth() const { return borderWidth_; }
    virtual void SetBorderWidth(int value);
    // Sends CM_TEXTCHANGED only when the text changes.
    virtual void SetCaption(const std::string& value) { SetText(value); }
    int CaptionOffset() const { return captionOffset_; }
    virtual void SetCaptionOffset(int value);
    TColor FillColor() const { return fillColor_; }
    virtual void SetFillColor(TColor value);
    TColor FlatColor() const { return flatColor_; }
    virtual void SetFlatColor(TColor value);
    int FlatColorAdjustment() const { return flatColorAdjustment_; }
    virtual void SetFlatColorAdjustment(int value);
    TFrameStyle FrameStyle() const { return frameStyle_; }
    virtual void SetFrameStyle(TFrameStyle value);
    TKvFrameController* FrameController() const { return frameController_; }
    virtual void SetFrameController(TKvFrameController* value);

    // The width AutoSize gives the pane.
    virtual int AutoWidth();
    // Where the caption goes.
    virtual TRect TextRect() const;
    // Whether the pane reaches the right end of the status bar it sits on.
    virtual bool IsRightmostOnStatusBar() const;
    void ApplyFrameController(TKvFrameController& controller) override;

    // The colour the caption is drawn in now (normal or blink colour).
    TColor CurrentColor() const { return currentColor_; }

    void Loaded() override;
    void WndProc(TMessage& message) override;

protected:
    void Notification(TComponent* component, TOperation operation) override;
    void Paint() override;
    virtual void DrawCaption(const std::string& caption);
    virtual void DrawFrame();
    virtual void Blink(bool on);
    // Gives the pane its auto width when AutoSize is set and it is not loading.
    void AdjustSize();
    // The frame's own width inside BorderWidth.
    int FrameInset() const;
    // Whether the status bar underneath draws the pane in the visual theme.
    bool ThemedOnBar() const;

private:
    void PaintThemedBackground(const TRect& textRect);

    TAlignment alignment_ = taLeftJustify;
    bool autoSize_ = false;
    int defaultWidth_ = 40;
    bool blinking_ = false;
    TColor blinkColor_ = clHighlight;
    int borderWidth_ = 1;
    int captionOffset_ = 2;
    TColor fillColor_ = clBtnFace;
    TColor flatColor_ = clBtnShadow;
    int flatColorAdjustment_ = 30;
    TFrameStyle frameStyle_ = fsFlat;
    TKvFrameController* frameController_ = nullptr;
    TColor normalColor_ = clWindowText;
    TColor currentColor_ = clWindowText;
    bool blinkOn_ = false;
};

class TKvStatusPane : public TKvCustomStatusPane {
    DECLARE_CLASS_INFO()

public:
    explicit TKvStatusPane(TComponent* owner) : TKvCustomStatusPane(owner) {}
};

enum TGlyphAlignment { gaLeft, gaRight };

// A status pane with a glyph beside the caption: an image of Images, or cell 0 of Glyph (cell 1
// while disabled when there are two).
class TKvCustomGlyphStatus : public TKvCustomStatusPane {
    DECLARE_CLASS_INFO()

public:
    explicit TKvCustomGlyphStatus(TComponent* owner);
    ~TKvCustomGlyphStatus() override;

    int NumGlyphs() const { return numGlyphs_; }
    virtual void SetNumGlyphs(int value);
    TBitmap* Glyph() const { return glyph_.get(); }
    // Copies the bitmap; a width that is a whole multiple of the height gives NumGlyphs.
    virtual void SetGlyph(TBitmap* value);
    TGlyphAlignment GlyphAlignment() const { return glyphAlignment_; }
    virtual void SetGlyphAlignment(TGlyphAlignment value);
    int GlyphOffset() const { return glyphOffset_; }
    virtual void SetGlyphOffset(int value);
    bool ShowGlyph() const { return showGlyph_; }
    virtual void SetShowGlyph(bool value);
    int ImageIndex() const { return imageIndex_; }
    virtual void SetImageIndex(int value);
    int DisabledIndex() const { return disabledIndex_; }
    virtual void SetDisabledIndex(int value);
    TImageList* Images() const { return images_; }
    virtual void SetImages(TImageList* value);

    // The glyph's size: the image list's, or one cell of the bitmap; 0 x 0 without a glyph.
    SIZE GlyphSize() const;
    // Where the glyph's top-left corner goes.
    TPoint GlyphPosition() const;

    int AutoWidth() override;
    TRect TextRect() const override;

protected:
    void Notification(TComponent* component, TOperation operation) override;
    void Paint() override;
    virtual void DrawBitmapGlyph(const TRect& area);
    virtual void DrawImageListGlyph(const TRect& area);

private:
    void GlyphChanged(TObject*);
    void ImagesChanged(TObject*);
    // The glyph's drawn height: at most the text rectangle's.
    int DrawnGlyphHeight() const;

    std::unique_ptr<TBitmap> glyph_;
    int numGlyphs_ = 1;
    TGlyphAlignment glyphAlignment_ = gaLeft;
    int glyphOffset_ = 2;
    bool showGlyph_ = true;
    int imageIndex_ = -1;
    int disabledIndex_ = -1;
    TImageList* images_ = nullptr;
};

class TKvGlyphStatus : public TKvCustomGlyphStatus {
    DECLARE_CLASS_INFO()

public:
    explicit TKvGlyphStatus(TComponent* owner) : TKvCustomGlyphStatus(owner) {}
};

template <>
struct TEnumTraits<TGlyphAlignment> {
    static constexpr const char* Names[] = {"gaLeft", "gaRight"};
};

// ---- Version information --------------------------------------------------------------

enum TKvVersionItem : uint8_t {
    viCompanyName,
    viFileDescription,
    viFileVersion,
    viInternalName,
    viLegalCopyright,
    viLegalTrademarks,
    viOriginalFilename,
    viProductName,
    viProductVersion,
    viComments,
};

class TKvVersionInfo : public TComponent {
    DECLARE_CLASS_INFO()

public:
    // Reads the running program's own version resource at once.
    explicit TKvVersionInfo(TComponent* owner);
    void Loaded() override;

    TKvAboutInfo About() const { return aiKavrenComponents; }
    void SetAbout(TKvAboutInfo) {}

    // Empty: the running program's file; the first read stores that file's full path here.
    const std::string& FilePath() const { return filePath_; }
    // Reads again unless the path is unchanged or the component is still loading.
    virtual void SetFilePath(const std::string& path);

    // Items 0..9 in TKvVersionItem order; another index raises EListError.
    std::string GetVersionValue(int index) const { return items_[index]; }
    std::string GetVersionValue(TKvVersionItem item) const { return GetVersionValue(static_cast<int>(item)); }
    // Whether the file has a version resource at all.
    bool HasVersionInfo() const { return hasVersionInfo_; }

private:
    void ReadVersionBlock();

    std::string filePath_;
    TStringList items_;
    bool hasVersionInfo_ = false;
};
