#include "PictureContainer.h"

#include "FormStream.h"
#include "PictureCheck.h"
#include "Streams.h"
#include "SysUtils.h"

#include <objbase.h>

#include <algorithm>
#include <cstring>

namespace {

// {7BF80980-BF32-101A-8BBB-00AA00300CAB}: the picture interface the loader hands out.
const IID kPictureInterface = {0x7BF80980, 0xBF32, 0x101A, {0x8B, 0xBB, 0x00, 0xAA, 0x00, 0x30, 0x0C, 0xAB}};

// Every GIF block read below is checked against the end of the bytes.
constexpr size_t kControlBlockSize = 8;      // "!" 0xF9 0x04, four bytes, terminator
constexpr size_t kDescriptorSize = 10;       // "," left, top, width, height, flags
constexpr size_t kGifHeaderSize = 13;

uint16_t Word16(const uint8_t* data) {
    return static_cast<uint16_t>(data[0] | (data[1] << 8));
}

bool IsGif(const std::vector<uint8_t>& data) {
    return data.size() >= 4 && std::memcmp(data.data(), "GIF8", 4) == 0;
}

}  // namespace

std::vector<size_t> GifFrameStarts(const uint8_t* data, size_t size) {
    std::vector<size_t> starts;
    if (size < 4 || std::memcmp(data, "GIF8", 4) != 0)
        return starts;
    for (size_t i = 0; i + kControlBlockSize < size; ++i) {
        if (data[i] == '!' && data[i + 1] == 0xF9 && data[i + 2] == 0x04 && data[i + kControlBlockSize] == ',')
            starts.push_back(i);
    }
    return starts;
}

// ---- THTMLPicture -------------------------------------------------------------------------------

const TClassInfo& THTMLPicture::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<THTMLPicture, TPersistent>("THTMLPicture", {});
    return info;
}

THTMLPicture::THTMLPicture() = default;

THTMLPicture::~THTMLPicture() {
    if (picture_)
        picture_->Release();
}

int THTMLPicture::Width() const {
    if (frameSize_.cx > 0)
        return frameSize_.cx;
    OLE_XSIZE_HIMETRIC width = 0;
    if (!picture_ || FAILED(picture_->get_Width(&width)))
        return 0;
    return MulDiv(width, LogPixelsX, 2540);
}

int THTMLPicture::Height() const {
    if (frameSize_.cy > 0)
        return frameSize_.cy;
    OLE_YSIZE_HIMETRIC height = 0;
    if (!picture_ || FAILED(picture_->get_Height(&height)))
        return 0;
    return MulDiv(height, LogPixelsY, 2540);
}

int THTMLPicture::FrameCount() const {
    if (frameCount_ == -2)
        frameCount_ = IsGif(data_) ? static_cast<int>(GifFrameStarts(data_.data(), data_.size()).size()) : -1;
    return frameCount_;
}

void THTMLPicture::ResetFrameData() {
    frameCount_ = -2;
    framePos_ = TPoint{0, 0};
    frameSize_ = SIZE{0, 0};
    screenSize_ = SIZE{0, 0};
}

void THTMLPicture::LoadFromBytes(std::vector<uint8_t> bytes) {
    data_ = std::move(bytes);
    ResetFrameData();
    frame_ = 1;
    Decode();
    Changed();
}

void THTMLPicture::LoadFromStream(TStream& stream) {
    int64_t size = stream.Size() - stream.Position();
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(size, 0)));
    if (!bytes.empty())
        stream.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    LoadFromBytes(std::move(bytes));
}

void THTMLPicture::SaveToStream(TStream& stream) const {
    if (!data_.empty())
        stream.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

void THTMLPicture::LoadFromResource(HMODULE instance, const std::string& name) {
    HRSRC resource = FindResourceA(instance, name.c_str(), MAKEINTRESOURCEA(10));  // RT_RCDATA
    if (!resource)
        return;
    TResourceStream stream(instance, name, MAKEINTRESOURCEA(10));
    LoadFromStream(stream);
}

void THTMLPicture::LoadFromURL(const std::string& address) {
    const std::string upper = UpperCase(address);
    if (upper.rfind("RES://", 0) == 0) {
        LoadFromResource(GetModuleHandleA(nullptr), address.substr(6));
    } else if (upper.rfind("FILE://", 0) == 0) {
        TFileStream stream(address.substr(7), fmOpenRead | fmShareDenyWrite);
        LoadFromStream(stream);
    } else {
        // Downloads are not made in this program: the address is only recorded.
        url_ = address;
    }
}

std::unique_ptr<TGraphic> THTMLPicture::Clone() const {
    auto copy = std::make_unique<THTMLPicture>();
    copy->Assign(*this);
    return copy;
}

void THTMLPicture::Assign(const TPersistent& source) {
    auto other = dynamic_cast<const THTMLPicture*>(&source);
    if (!other) {
        TGraphic::Assign(source);
        return;
    }
    data_ = other->data_;
    stretch_ = other->stretch_;
    url_ = other->url_;
    ResetFrameData();
    frame_ = 1;
    Decode();
    Changed();
}

void THTMLPicture::SetFrame(int value) {
    frame_ = value;
    if (!data_.empty())
        Decode();
    OnFrameChange(this);
}

// The header, the selected frame's blocks and the trailer; the frame's place is recorded.
std::vector<uint8_t> THTMLPicture::FrameImage() {
    const std::vector<size_t> starts = GifFrameStarts(data_.data(), data_.size());
    if (data_.size() < kGifHeaderSize || starts.empty())
        return data_;
    screenSize_ = SIZE{Word16(&data_[6]), Word16(&data_[8])};
    const size_t index = static_cast<size_t>(std::clamp(frame_, 1, static_cast<int>(starts.size())) - 1);
    const size_t begin = starts[index];
    size_t end = index + 1 < starts.size() ? starts[index + 1] : data_.size();
    if (end == data_.size() && data_.back() == 0x3B)
        --end;
    std::vector<uint8_t> image(data_.begin(), data_.begin() + static_cast<ptrdiff_t>(starts.front()));
    image.insert(image.end(), data_.begin() + static_cast<ptrdiff_t>(begin), data_.begin() + static_cast<ptrdiff_t>(end));
    image.push_back(0x3B);
    const size_t descriptor = begin + kControlBlockSize;
    if (descriptor + kDescriptorSize <= data_.size()) {
        framePos_ = TPoint{Word16(&data_[descriptor + 1]), Word16(&data_[descriptor + 3])};
        frameSize_ = SIZE{Word16(&data_[descriptor + 5]), Word16(&data_[descriptor + 7])};
    }
    return image;
}

void THTMLPicture::Decode() {
    if (picture_) {
        picture_->Release();
        picture_ = nullptr;
    }
    if (data_.empty())
        return;
    std::vector<uint8_t> bytes = IsGif(data_) && FrameCount() >= 1 ? FrameImage() : data_;
    // The system's loader trusts the sizes and tables inside the bytes: it sees none that do not hold.
    if (!IsWellFormedPicture(bytes.data(), bytes.size()))
        throw EInvalidGraphic("Could not load image. Invalid format");
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    void* memory = block ? GlobalLock(block) : nullptr;
    if (!memory) {
        if (block)
            GlobalFree(block);
        throw EInvalidGraphic("Could not allocate memory for image");
    }
    std::memcpy(memory, bytes.data(), bytes.size());
    GlobalUnlock(block);
    IStream* stream = nullptr;
    // The stream frees the block when it goes.
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream))) {
        GlobalFree(block);
        throw EInvalidGraphic("Could not create image stream");
    }
    if (!stream)
        throw EInvalidGraphic("Empty image stream created");
    IPicture* picture = nullptr;
    HRESULT result = OleLoadPicture(stream, static_cast<LONG>(bytes.size()), FALSE, kPictureInterface,
                                    reinterpret_cast<void**>(&picture));
    stream->Release();
    if (FAILED(result)) {
        if (picture)
            picture->Release();
        throw EInvalidGraphic("Could not load image. Invalid format");
    }
    if (!picture)
        throw EInvalidGraphic("Could not load image");
    picture_ = picture;
}

void THTMLPicture::Draw(TCanvas& canvas, const TRect& rect) {
    if (!picture_)
        return;
    OLE_XSIZE_HIMETRIC width = 0;
    OLE_YSIZE_HIMETRIC height = 0;
    picture_->get_Width(&width);
    picture_->get_Height(&height);
    int cx = stretch_ ? rect.right - rect.left : MulDiv(width, LogPixelsX, 2540);
    int cy = stretch_ ? rect.bottom - rect.top : MulDiv(height, LogPixelsY, 2540);
    picture_->Render(canvas.Handle(), rect.left, rect.top, cx, cy, 0, height, width, -height, nullptr);
}

bool ReadHTMLPictureData(TObject& target, const TFormProperty& property) {
    const std::string suffix = ".Data";
    const std::string& name = property.Name;
    if (property.Value.Type != TFormValueType::Binary || name.size() <= suffix.size() ||
        !SameText(name.substr(name.size() - suffix.size()), suffix))
        return false;
    const TPropInfo* prop = FindPropInfo(target, name.substr(0, name.size() - suffix.size()));
    if (!prop || prop->Kind != TTypeKind::Class)
        return false;
    auto picture = dynamic_cast<THTMLPicture*>(std::get<TObject*>(GetPropValue(target, *prop)));
    if (!picture)
        return false;
    const std::string& bytes = property.Value.Text;
    picture->LoadFromBytes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    return true;
}

// ---- container and cache -------------------------------------------------------------------------

const TClassInfo& TPictureItem::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TPictureItem::Picture, &TPictureItem::SetPicture>("Picture"),
        Prop<&TPictureItem::Name, &TPictureItem::SetName>("Name"),
        Prop<&TPictureItem::Tag>("Tag").WithDefault(0),
    };
    static const TClassInfo info = MakeClassInfo<TPictureItem, TCollectionItem>("TPictureItem", props);
    return info;
}

TPictureItem::TPictureItem(TCollection* collection)
    : TCollectionItem(collection), picture_(std::make_unique<THTMLPicture>()) {}

void TPictureItem::SetPicture(THTMLPicture* value) {
    if (value)
        picture_->Assign(*value);
}

const TClassInfo& TPictureCollection::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TPictureCollection, TCollection>("TPictureCollection", {});
    return info;
}

const TClassInfo& TPictureContainer::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TPictureContainer::Items>("Items"),
        Prop<&TPictureContainer::Version, &TPictureContainer::SetVersion>("Version"),
    };
    static const TClassInfo info = MakeClassInfo<TPictureContainer, TComponent>("TPictureContainer", props);
    return info;
}

TPictureContainer::TPictureContainer(TComponent* owner)
    : TComponent(owner), items_(std::make_unique<TPictureCollection>(this)) {}

THTMLPicture* TPictureContainer::FindPicture(const std::string& name) const {
    for (int i = 0; i < items_->Count(); ++i) {
        if (SameText(items_->Items(i)->Name(), name))
            return items_->Items(i)->Picture();
    }
    return nullptr;
}

THTMLPicture* THTMLPictureCache::FindPicture(const std::string& address) const {
    for (const auto& picture : pictures_) {
        if (picture->URL() == address)
            return picture.get();
    }
    return nullptr;
}

THTMLPicture* THTMLPictureCache::AddPicture() {
    pictures_.push_back(std::make_unique<THTMLPicture>());
    return pictures_.back().get();
}
