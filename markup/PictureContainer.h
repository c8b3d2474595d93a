#pragma once

// Pictures of the HTML label: THTMLPicture keeps the raw bytes of a GIF, JPEG or BMP image and
// decodes them with the system's OLE picture loader (one frame of an animated GIF at a time);
// TPictureContainer holds named pictures; THTMLPictureCache keeps the pictures loaded by address.

#include "Classes.h"
#include "Graphics.h"

#include <ocidl.h>
#include <olectl.h>

#include <memory>
#include <string>
#include <vector>

struct TFormProperty;

using TDownloadErrorEvent = TEvent<void(TObject* Sender, int err)>;
using TDownloadCancelEvent = TEvent<void(TObject* Sender, bool& Cancel)>;
using TDownloadProgressEvent = TEvent<void(TObject* Sender, DWORD dwSize, DWORD dwTotSize)>;

class THTMLPicture : public TGraphic {
    DECLARE_CLASS_INFO()

public:
    THTMLPicture();
    ~THTMLPicture() override;

    int Width() const override;
    int Height() const override;
    // No bytes loaded.
    bool IsEmpty() const { return data_.empty(); }

    // Decoding failures raise EInvalidGraphic with the loader's message.
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) const override;
    void LoadFromBytes(std::vector<uint8_t> bytes);
    // An RCDATA resource of that name, when present.
    void LoadFromResource(HMODULE instance, const std::string& name);
    // "RES://name" from the program's module, "FILE://path" from a file; any other address is
    // only recorded (there is no download).
    void LoadFromURL(const std::string& address);
    const std::string& URL() const { return url_; }
    void SetURL(const std::string& address) { url_ = address; }
    std::unique_ptr<TGraphic> Clone() const override;
    void Assign(const TPersistent& source) override;

    bool Stretch() const { return stretch_; }
    void SetStretch(bool value) { stretch_ = value; }
    // 1-based frame of an animated GIF.
    int Frame() const { return frame_; }
    void SetFrame(int value);
    // Frames of a GIF; -1 for other images.
    int FrameCount() const;
    TPoint FramePos() const { return framePos_; }
    SIZE FrameSize() const { return frameSize_; }
    // The logical screen size of a GIF (0 for other images).
    SIZE ScreenSize() const { return screenSize_; }
    // Logical resolution of the picture (96 by default).
    int LogPixelsX = 96;
    int LogPixelsY = 96;
    bool Asynch = false;

    TNotifyEvent OnFrameChange;
    TDownloadErrorEvent OnDownLoadError;
    TNotifyEvent OnDownLoadComplete;
    TDownloadCancelEvent OnDownLoadCancel;
    TDownloadProgressEvent OnDownLoadProgress;

protected:
    void Draw(TCanvas& canvas, const TRect& rect) override;

private:
    void Decode();
    void ResetFrameData();
    std::vector<uint8_t> FrameImage();

    std::vector<uint8_t> data_;
    IPicture* picture_ = nullptr;
    bool stretch_ = false;
    int frame_ = 1;
    mutable int frameCount_ = -2;  // -2: not counted since the bytes changed
    TPoint framePos_{0, 0};
    SIZE frameSize_{0, 0};
    SIZE screenSize_{0, 0};
    std::string url_;
};

// For TFormReadOptions::ReadExtraProperty: takes "Name.Data" where Name is a published picture
// property of the target (a picture item's "Picture.Data"): the picture's bytes.
bool ReadHTMLPictureData(TObject& target, const TFormProperty& property);

// The offsets of the graphic-control blocks that open the frames of GIF bytes; empty for others.
std::vector<size_t> GifFrameStarts(const uint8_t* data, size_t size);

class TPictureItem : public TCollectionItem {
    DECLARE_CLASS_INFO()

public:
    explicit TPictureItem(TCollection* collection);

    THTMLPicture* Picture() const { return picture_.get(); }
    // Copies the picture.
    void SetPicture(THTMLPicture* value);
    const std::string& Name() const { return name_; }
    void SetName(const std::string& value) { name_ = value; }
    int Tag = 0;

private:
    std::unique_ptr<THTMLPicture> picture_;
    std::string name_;
};

class TPictureCollection : public TCollection {
    DECLARE_CLASS_INFO()

public:
    explicit TPictureCollection(TPersistent* owner) : TCollection(owner, &MakeItem<TPictureItem>) {}
    TPictureItem* Add() { return static_cast<TPictureItem*>(TCollection::Add()); }
    TPictureItem* Items(int index) const { return static_cast<TPictureItem*>(TCollection::Items(index)); }
};

class TPictureContainer : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TPictureContainer(TComponent* owner);

    TPictureCollection* Items() const { return items_.get(); }
    std::string Version() const { return "1.0.0.0"; }
    void SetVersion(const std::string&) {}
    // The picture of the first item named name (ignoring case), or null.
    THTMLPicture* FindPicture(const std::string& name) const;

private:
    std::unique_ptr<TPictureCollection> items_;
};

// The label's pictures loaded by address.
class THTMLPictureCache {
public:
    // Exact comparison of the recorded address; null when none.
    THTMLPicture* FindPicture(const std::string& address) const;
    THTMLPicture* AddPicture();
    void ClearPictures() { pictures_.clear(); }
    int Count() const { return static_cast<int>(pictures_.size()); }

private:
    std::vector<std::unique_ptr<THTMLPicture>> pictures_;
};
