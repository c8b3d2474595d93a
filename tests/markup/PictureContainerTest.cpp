#include "PictureContainer.h"

#include "FormStream.h"
#include "Jpeg.h"
#include "PictureCheck.h"
#include "Streams.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace {

// LZW-compressed image data of a GIF with 2-bit codes (four colours), as sub-blocks.
std::vector<uint8_t> GifImageData(const std::vector<uint8_t>& pixels) {
    const int minimum = 2;
    const int clear = 1 << minimum;
    std::vector<uint8_t> bytes;
    uint32_t buffer = 0;
    int bits = 0;
    int width = minimum + 1;
    auto emit = [&](int code) {
        buffer |= static_cast<uint32_t>(code) << bits;
        bits += width;
        while (bits >= 8) {
            bytes.push_back(static_cast<uint8_t>(buffer & 0xFF));
            buffer >>= 8;
            bits -= 8;
        }
    };
    std::map<std::pair<int, int>, int> table;
    int next = clear + 2;
    emit(clear);
    int prefix = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        auto key = std::make_pair(prefix, static_cast<int>(pixels[i]));
        auto found = table.find(key);
        if (found != table.end()) {
            prefix = found->second;
            continue;
        }
        emit(prefix);
        table[key] = next++;
        if (next > (1 << width) && width < 12)
            ++width;
        prefix = pixels[i];
    }
    emit(prefix);
    emit(clear + 1);
    if (bits > 0)
        bytes.push_back(static_cast<uint8_t>(buffer & 0xFF));
    std::vector<uint8_t> blocks{static_cast<uint8_t>(minimum)};
    for (size_t at = 0; at < bytes.size(); at += 255) {
        size_t length = std::min<size_t>(255, bytes.size() - at);
        blocks.push_back(static_cast<uint8_t>(length));
        blocks.insert(blocks.end(), bytes.begin() + static_cast<ptrdiff_t>(at),
                      bytes.begin() + static_cast<ptrdiff_t>(at + length));
    }
    blocks.push_back(0);
    return blocks;
}

void Put16(std::vector<uint8_t>& bytes, int value) {
    bytes.push_back(static_cast<uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

// An animated 8 x 6 GIF: one frame per colour index, each filling the picture.
std::vector<uint8_t> AnimatedGif(const std::vector<int>& frameColors) {
    std::vector<uint8_t> gif{'G', 'I', 'F', '8', '9', 'a'};
    Put16(gif, 8);
    Put16(gif, 6);
    gif.insert(gif.end(), {0xF1, 0, 0});  // global table of four colours
    gif.insert(gif.end(), {0, 0, 0, 255, 0, 0, 0, 0, 255, 0, 255, 0});  // black, red, blue, green
    for (int color : frameColors) {
        gif.insert(gif.end(), {0x21, 0xF9, 0x04, 0x04, 10, 0, 0, 0});
        gif.push_back(',');
        Put16(gif, 0);
        Put16(gif, 0);
        Put16(gif, 8);
        Put16(gif, 6);
        gif.push_back(0);
        auto data = GifImageData(std::vector<uint8_t>(48, static_cast<uint8_t>(color)));
        gif.insert(gif.end(), data.begin(), data.end());
    }
    gif.push_back(0x3B);
    return gif;
}

std::vector<uint8_t> BytesOf(const TGraphic& graphic) {
    TMemoryStream stream;
    graphic.SaveToStream(stream);
    return std::vector<uint8_t>(stream.Memory(), stream.Memory() + stream.Size());
}

std::vector<uint8_t> BitmapBytes() {
    TBitmap bitmap(10, 7);
    bitmap.Canvas().Brush().SetColor(clLime);
    bitmap.Canvas().FillRect(MakeRect(0, 0, 10, 7));
    return BytesOf(bitmap);
}

void Put32(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<uint8_t>(value >> shift));
}

// An 8 x 6 GIF without a global table: one interlaced image with its own four colours.
std::vector<uint8_t> LocalTableGif() {
    std::vector<uint8_t> gif{'G', 'I', 'F', '8', '7', 'a'};
    Put16(gif, 8);
    Put16(gif, 6);
    gif.insert(gif.end(), {0x00, 0, 0});
    gif.push_back(',');
    Put16(gif, 0);
    Put16(gif, 0);
    Put16(gif, 8);
    Put16(gif, 6);
    gif.push_back(0xC1);  // local table of four colours, interlaced
    gif.insert(gif.end(), {0, 0, 0, 0, 255, 0, 0, 0, 255, 255, 0, 0});  // black, lime, blue, red
    auto data = GifImageData(std::vector<uint8_t>(48, 1));
    gif.insert(gif.end(), data.begin(), data.end());
    gif.push_back(0x3B);
    return gif;
}

// A bitmap file from its info header fields, the colour table or masks, and the pixel bytes.
std::vector<uint8_t> BitmapFile(int width, int height, int bitCount, uint32_t compression,
                                const std::vector<uint32_t>& colors, const std::vector<uint8_t>& pixels) {
    std::vector<uint8_t> info;
    Put32(info, 40);
    Put32(info, static_cast<uint32_t>(width));
    Put32(info, static_cast<uint32_t>(height));
    Put16(info, 1);
    Put16(info, bitCount);
    Put32(info, compression);
    Put32(info, static_cast<uint32_t>(pixels.size()));
    Put32(info, 2835);
    Put32(info, 2835);
    Put32(info, compression == BI_BITFIELDS ? 0 : static_cast<uint32_t>(colors.size()));
    Put32(info, 0);
    for (uint32_t color : colors)
        Put32(info, color);
    std::vector<uint8_t> file{'B', 'M'};
    Put32(file, static_cast<uint32_t>(14 + info.size() + pixels.size()));
    Put32(file, 0);
    Put32(file, static_cast<uint32_t>(14 + info.size()));
    file.insert(file.end(), info.begin(), info.end());
    file.insert(file.end(), pixels.begin(), pixels.end());
    return file;
}

// 10 x 7, four colours of eight bits; every pixel is colour 2 (lime).
std::vector<uint8_t> PaletteBitmap() {
    std::vector<uint8_t> pixels;
    for (int y = 0; y < 7; ++y) {
        pixels.insert(pixels.end(), 10, 2);
        pixels.insert(pixels.end(), 2, 0);
    }
    return BitmapFile(10, 7, 8, BI_RGB, {0x000000, 0xFF0000, 0x00FF00, 0x0000FF}, pixels);
}

// The same picture run-length encoded.
std::vector<uint8_t> RunLengthBitmap() {
    std::vector<uint8_t> pixels;
    for (int y = 0; y < 7; ++y)
        pixels.insert(pixels.end(), {10, 2, 0, 0});
    pixels.insert(pixels.end(), {0, 1});
    return BitmapFile(10, 7, 8, BI_RLE8, {0x000000, 0xFF0000, 0x00FF00, 0x0000FF}, pixels);
}

// 10 x 7 at sixteen bits, 5-6-5, all lime.
std::vector<uint8_t> MaskedBitmap() {
    std::vector<uint8_t> pixels;
    for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 10; ++x)
            Put16(pixels, 0x07E0);
    }
    return BitmapFile(10, 7, 16, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}, pixels);
}

// Rows from the top: a negative height; 32 bits, all lime.
std::vector<uint8_t> TopDownBitmap() {
    std::vector<uint8_t> pixels;
    for (int i = 0; i < 70; ++i)
        Put32(pixels, 0x00FF00);
    return BitmapFile(10, -7, 32, BI_RGB, {}, pixels);
}

// The old header of twelve bytes: 10 x 7 at four bits, three-byte colours, all lime.
std::vector<uint8_t> CoreBitmap() {
    std::vector<uint8_t> file{'B', 'M'};
    Put32(file, 0);
    Put32(file, 0);
    Put32(file, 14 + 12 + 16 * 3);
    Put32(file, 12);
    Put16(file, 10);
    Put16(file, 7);
    Put16(file, 1);
    Put16(file, 4);
    for (int i = 0; i < 16; ++i)
        file.insert(file.end(), {0, static_cast<uint8_t>(i == 1 ? 255 : 0), 0});
    for (int y = 0; y < 7; ++y)
        file.insert(file.end(), {0x11, 0x11, 0x11, 0x11, 0x11, 0, 0, 0});
    return file;
}

std::vector<uint8_t> JpegBytes(int width, int height) {
    TBitmap source(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            source.Canvas().SetPixel(x, y, static_cast<TColor>(RGB(x * 255 / width, y * 255 / height, 128)));
    }
    TJPEGImage jpeg;
    jpeg.Assign(source);
    return BytesOf(jpeg);
}

// Offsets of the JPEG segments before the scan data (each at its 0xFF), and of the scan data.
std::vector<size_t> JpegSegments(const std::vector<uint8_t>& bytes, size_t& scan) {
    std::vector<size_t> segments;
    size_t at = 2;
    scan = bytes.size();
    while (at + 4 <= bytes.size() && bytes[at] == 0xFF) {
        segments.push_back(at);
        const size_t length = (bytes[at + 2] << 8) | bytes[at + 3];
        if (bytes[at + 1] == 0xDA) {
            scan = std::min(bytes.size(), at + 2 + length);
            break;
        }
        at += 2 + length;
    }
    return segments;
}

// The colour the picture draws at its middle.
TColor MiddleColor(THTMLPicture& picture) {
    TBitmap target(picture.Width(), picture.Height());
    target.Canvas().Draw(0, 0, picture);
    return target.Canvas().Pixels(picture.Width() / 2, picture.Height() / 2);
}

}  // namespace

TEST(HTMLPicture, AnimatedGifShowsTheChosenFrame) {
    const auto gif = AnimatedGif({1, 2});
    EXPECT_EQ(GifFrameStarts(gif.data(), gif.size()).size(), 2u);
    THTMLPicture picture;
    picture.LoadFromBytes(gif);
    EXPECT_EQ(picture.FrameCount(), 2);
    EXPECT_EQ(picture.Width(), 8);
    EXPECT_EQ(picture.Height(), 6);
    EXPECT_EQ(picture.ScreenSize().cx, 8);
    EXPECT_EQ(MiddleColor(picture), clRed);

    int changes = 0;
    picture.OnFrameChange = [&](TObject*) { ++changes; };
    picture.SetFrame(2);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(MiddleColor(picture), clBlue);

    // Assign copies the bytes and starts again at the first frame; the bytes round-trip.
    THTMLPicture copy;
    copy.Assign(picture);
    EXPECT_EQ(copy.Frame(), 1);
    EXPECT_EQ(MiddleColor(copy), clRed);
    EXPECT_EQ(BytesOf(copy), gif);
}

TEST(HTMLPicture, BitmapAndJpegHaveNoFrames) {
    THTMLPicture bitmap;
    bitmap.LoadFromBytes(BitmapBytes());
    EXPECT_EQ(bitmap.FrameCount(), -1);
    EXPECT_EQ(bitmap.Width(), 10);
    EXPECT_EQ(bitmap.Height(), 7);
    bitmap.SetFrame(3);
    EXPECT_EQ(bitmap.Width(), 10);
    EXPECT_EQ(MiddleColor(bitmap), clLime);

    TBitmap source(16, 16);
    source.Canvas().Brush().SetColor(clWhite);
    source.Canvas().FillRect(MakeRect(0, 0, 16, 16));
    TJPEGImage jpeg;
    jpeg.Assign(source);
    THTMLPicture photo;
    photo.LoadFromBytes(BytesOf(jpeg));
    EXPECT_EQ(photo.FrameCount(), -1);
    EXPECT_EQ(photo.Width(), 16);
}

TEST(HTMLPicture, DamagedPicturesFailWithoutReadingPastTheEnd) {
    auto expectInvalid = [](std::vector<uint8_t> bytes, const char* what) {
        THTMLPicture picture;
        try {
            picture.LoadFromBytes(std::move(bytes));
            ADD_FAILURE() << what << " loaded";
        } catch (const EInvalidGraphic& error) {
            EXPECT_EQ(error.Message, "Could not load image. Invalid format") << what;
        }
    };
    const auto gif = AnimatedGif({1, 2});
    expectInvalid(std::vector<uint8_t>(gif.begin(), gif.begin() + 10), "short GIF header");
    expectInvalid({'G', 'I', 'F', '8'}, "GIF signature only");
    auto bitmap = BitmapBytes();
    expectInvalid(std::vector<uint8_t>(bitmap.begin(), bitmap.begin() + 20), "short bitmap");
    expectInvalid({0xFF, 0xD8, 0xFF, 0xE0, 0, 0, 0, 0}, "short JPEG");
    expectInvalid({1, 2, 3, 4, 5, 6, 7, 8, 9}, "unknown bytes");

    // A control block at the very end: counted only with its image descriptor inside the bytes.
    std::vector<uint8_t> tail(gif.begin(), gif.begin() + 30);
    tail.insert(tail.end(), {0x21, 0xF9, 0x04, 0, 0, 0, 0, 0});
    EXPECT_EQ(GifFrameStarts(tail.data(), tail.size()).size(), 0u);
    tail.push_back(',');
    EXPECT_EQ(GifFrameStarts(tail.data(), tail.size()).size(), 1u);
    THTMLPicture cut;
    try {
        cut.LoadFromBytes(tail);
    } catch (const EInvalidGraphic&) {
    }
    EXPECT_EQ(cut.FrameSize().cx, 0);  // the descriptor's fields lie past the end
}

TEST(HTMLPicture, ContainerCacheAndAddresses) {
    TPictureContainer container(nullptr);
    auto item = container.Items()->Add();
    item->SetName("LOGO");
    THTMLPicture source;
    source.LoadFromBytes(BitmapBytes());
    item->SetPicture(&source);
    EXPECT_EQ(container.FindPicture("Logo"), item->Picture());
    EXPECT_EQ(container.FindPicture("Other"), nullptr);
    EXPECT_EQ(container.FindPicture("logo")->Width(), 10);
    container.SetVersion("2.0");
    EXPECT_EQ(container.Version(), "1.0.0.0");

    char folder[MAX_PATH];
    GetTempPathA(sizeof(folder), folder);
    std::string file = std::string(folder) + "markup_picture_test.bmp";
    {
        TFileStream stream(file, fmCreate);
        auto bytes = BitmapBytes();
        stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    }
    THTMLPictureCache cache;
    THTMLPicture* loaded = cache.AddPicture();
    loaded->LoadFromURL("file://" + file);
    EXPECT_EQ(loaded->Width(), 10);
    DeleteFileA(file.c_str());

    THTMLPicture* remote = cache.AddPicture();
    remote->LoadFromURL("http://127.0.0.1/logo.gif");
    EXPECT_TRUE(remote->IsEmpty());
    EXPECT_EQ(cache.FindPicture("http://127.0.0.1/logo.gif"), remote);
    EXPECT_EQ(cache.FindPicture("HTTP://127.0.0.1/logo.gif"), nullptr);
    THTMLPicture* missing = cache.AddPicture();
    missing->LoadFromURL("res://NO_SUCH_PICTURE");
    EXPECT_TRUE(missing->IsEmpty());
    cache.ClearPictures();
    EXPECT_EQ(cache.Count(), 0);
}

// A form stream sets an item's picture through its published property.
TEST(HTMLPicture, FormStreamSetsAnItemsPicture) {
    TPictureContainer container(nullptr);
    TResourceStream stream(GetModuleHandleA(nullptr), "PICTUREFORM", RT_RCDATA);
    TFormReadOptions options;
    options.ReadExtraProperty = &ReadHTMLPictureData;
    ReadComponent(stream, container, options);
    ASSERT_EQ(container.Items()->Count(), 1);
    TPictureItem* item = container.Items()->Items(0);
    EXPECT_EQ(item->Tag, 3);
    THTMLPicture* logo = container.FindPicture("logo");
    ASSERT_EQ(logo, item->Picture());
    EXPECT_EQ(logo->Width(), 2);
    EXPECT_EQ(logo->Height(), 1);
    EXPECT_EQ(GetObjectProp(*item, "Picture"), logo);

    // Setting the property copies the picture.
    THTMLPicture other;
    other.LoadFromBytes(BitmapBytes());
    SetObjectProp(*item, "Picture", &other);
    EXPECT_EQ(item->Picture(), logo);
    EXPECT_EQ(logo->Width(), 10);
}

TEST(HTMLPicture, EveryKindOfValidBitmapAndGifLoads) {
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> pictures{
        {"eight-bit colour table", PaletteBitmap()}, {"run-length encoded", RunLengthBitmap()},
        {"sixteen bits with masks", MaskedBitmap()}, {"rows from the top", TopDownBitmap()},
        {"twelve-byte header", CoreBitmap()},       {"GIF with a local table", LocalTableGif()},
    };
    for (const auto& [what, bytes] : pictures) {
        THTMLPicture picture;
        ASSERT_NO_THROW(picture.LoadFromBytes(bytes)) << what;
        EXPECT_EQ(picture.Width(), bytes[0] == 'G' ? 8 : 10) << what;
        EXPECT_EQ(MiddleColor(picture), clLime) << what;
    }
    THTMLPicture photo;
    ASSERT_NO_THROW(photo.LoadFromBytes(JpegBytes(33, 17)));
    EXPECT_EQ(photo.Width(), 33);
}

TEST(HTMLPicture, PicturesThatMisleadTheLoaderAreRefused) {
    const std::string invalid = "Could not load image. Invalid format";
    auto outcome = [](const std::function<void()>& load) -> std::string {
        try {
            load();
            return "loaded";
        } catch (const EInvalidGraphic& error) {
            return error.Message;
        }
    };
    auto load = [&](const std::vector<uint8_t>& bytes) {
        THTMLPicture picture;
        return outcome([&] { picture.LoadFromBytes(bytes); });
    };

    // A global colour table announced but left out: the frame rebuilt for Frame 2 keeps the header.
    auto missingTable = AnimatedGif({1, 2});
    missingTable.erase(missingTable.begin() + 13, missingTable.begin() + 25);
    THTMLPicture animated;
    EXPECT_EQ(outcome([&] { animated.LoadFromBytes(missingTable); }), invalid);
    EXPECT_EQ(outcome([&] { animated.SetFrame(2); }), invalid);
    // A colour index past a table of two colours.
    auto pastTable = AnimatedGif({3});
    pastTable[10] = 0xF0;
    pastTable.erase(pastTable.begin() + 19, pastTable.begin() + 25);
    EXPECT_EQ(load(pastTable), invalid);
    // A frame wider than the screen, and one whose codes end before its last pixel.
    auto wide = AnimatedGif({1});
    wide[25 + 8 + 5] = 9;
    EXPECT_EQ(load(wide), invalid);
    auto tall = LocalTableGif();
    tall[8] = tall[13 + 7] = 7;
    EXPECT_EQ(load(tall), invalid);
    // Cut inside the image data; without only its trailer a GIF still loads.
    auto cut = LocalTableGif();
    cut.resize(cut.size() - 3);
    EXPECT_EQ(load(cut), invalid);
    auto noTrailer = LocalTableGif();
    noTrailer.pop_back();
    EXPECT_EQ(load(noTrailer), "loaded");

    auto farBits = PaletteBitmap();
    farBits[10] = static_cast<uint8_t>(farBits.size() + 2);
    EXPECT_EQ(load(farBits), invalid);
    auto shortTable = PaletteBitmap();
    shortTable[46] = 5;  // five colours, where the pixels begin after four
    EXPECT_EQ(load(shortTable), invalid);
    auto shortRows = PaletteBitmap();
    shortRows.pop_back();
    EXPECT_EQ(load(shortRows), invalid);
    auto longRun = RunLengthBitmap();
    longRun[14 + 40 + 16] = 11;  // a run one pixel past the row
    EXPECT_EQ(load(longRun), invalid);
    auto noMask = MaskedBitmap();
    noMask[14 + 40] = noMask[14 + 40 + 1] = 0;
    EXPECT_EQ(load(noMask), invalid);

    const auto jpeg = JpegBytes(16, 16);
    size_t scan = 0;
    const auto segments = JpegSegments(jpeg, scan);
    for (size_t segment : segments) {
        if (jpeg[segment + 1] == 0xC0) {
            auto precise = jpeg;
            precise[segment + 4] = 12;  // twelve bits a sample
            EXPECT_EQ(load(precise), invalid);
        }
        if (jpeg[segment + 1] == 0xC4) {
            auto noCodes = jpeg;
            std::fill(noCodes.begin() + static_cast<ptrdiff_t>(segment) + 5,
                      noCodes.begin() + static_cast<ptrdiff_t>(segment) + 21, 0);
            EXPECT_EQ(load(noCodes), invalid);
        }
    }
    EXPECT_EQ(load(std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + static_cast<ptrdiff_t>(segments.back()))),
              invalid);

    // Only GIF, BMP and JPEG pictures reach the loader.
    EXPECT_EQ(load({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0x0D}), invalid);
    EXPECT_EQ(load({0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0}), invalid);
}

namespace {

enum class TPictureKind { Gif, Bitmap, Jpeg };

struct TDamageSample {
    TPictureKind Kind;
    std::vector<uint8_t> Bytes;
};

// Counts access violations seen while it lives, also those the system catches itself.
class TAccessViolationCount {
public:
    TAccessViolationCount() : handler_(AddVectoredExceptionHandler(1, &Count)) { count_ = 0; }
    ~TAccessViolationCount() { RemoveVectoredExceptionHandler(handler_); }
    TAccessViolationCount(const TAccessViolationCount&) = delete;
    TAccessViolationCount& operator=(const TAccessViolationCount&) = delete;
    int Value() const { return count_; }

private:
    static LONG CALLBACK Count(EXCEPTION_POINTERS* pointers) {
        if (pointers->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
            ++count_;
        return EXCEPTION_CONTINUE_SEARCH;
    }
    static inline std::atomic<int> count_ = 0;
    void* handler_;
};

size_t EnvironmentNumber(const char* name, size_t fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtoul(value, nullptr, 10) : fallback;
}

// One piece of damage of the kinds a broken file shows: bits, a cut, a byte, or a header field.
void DamageOnce(TDamageSample& sample, std::mt19937& random) {
    std::vector<uint8_t>& bytes = sample.Bytes;
    if (bytes.empty())
        return;
    auto below = [&](size_t n) { return n == 0 ? size_t{0} : static_cast<size_t>(random() % n); };
    auto value = [&](uint32_t original) -> uint32_t {
        const uint32_t values[] = {0, 1, 2, 3, 7, 8, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0xFFFF, 0x10000, 0x7FFFFFFF,
                                   0x80000000, 0xFFFFFFFF, original + 1, original - 1, original * 2,
                                   static_cast<uint32_t>(random()), static_cast<uint32_t>(random() % 64)};
        return values[below(std::size(values))];
    };
    auto put = [&](size_t at, int size, uint32_t number, bool bigEndian = false) {
        for (int i = 0; i < size && at + static_cast<size_t>(i) < bytes.size(); ++i) {
            const int shift = 8 * (bigEndian ? size - 1 - i : i);
            bytes[at + static_cast<size_t>(i)] = static_cast<uint8_t>(number >> shift);
        }
    };
    auto get = [&](size_t at, int size) {
        uint32_t number = 0;
        for (int i = size - 1; i >= 0; --i)
            number = (number << 8) | (at + static_cast<size_t>(i) < bytes.size() ? bytes[at + static_cast<size_t>(i)] : 0);
        return number;
    };
    switch (below(5)) {
    case 0:  // a few bits
        for (size_t i = 1 + below(4); i > 0; --i)
            bytes[below(bytes.size())] ^= static_cast<uint8_t>(1u << below(8));
        return;
    case 1:  // cut short
        bytes.resize(below(bytes.size()));
        return;
    case 2:  // one byte
        bytes[below(bytes.size())] = static_cast<uint8_t>(value(0));
        return;
    default: break;
    }
    switch (sample.Kind) {
    case TPictureKind::Gif: {
        const auto starts = GifFrameStarts(bytes.data(), bytes.size());
        std::vector<size_t> descriptors;
        for (size_t start : starts)
            descriptors.push_back(start + 8);
        if (descriptors.empty() && bytes.size() > 13)
            descriptors.push_back(13 + ((bytes[10] & 0x80) ? 3u << ((bytes[10] & 7) + 1) : 0));
        switch (below(6)) {
        case 0:  // a global table announced but not there
            if (bytes.size() > 13 && (bytes[10] & 0x80))
                bytes.erase(bytes.begin() + 13, bytes.begin() + std::min<ptrdiff_t>(
                                                     static_cast<ptrdiff_t>(bytes.size()),
                                                     13 + (3 << ((bytes[10] & 7) + 1))));
            else if (bytes.size() > 10)
                bytes[10] |= static_cast<uint8_t>(0x80 | below(8));
            return;
        case 1:  // screen size or table flags
            put(6 + below(7), below(2) ? 2 : 1, value(get(6, 2)));
            return;
        case 2:  // an image's place, size or flags
            if (!descriptors.empty()) {
                const size_t at = descriptors[below(descriptors.size())] + 1 + below(9);
                put(at, at % 2 ? 2 : 1, value(get(at, 2)));
            }
            return;
        case 3:  // the code size of the image data
            if (!descriptors.empty()) {
                const size_t at = descriptors[below(descriptors.size())];
                if (at + 9 < bytes.size()) {
                    const size_t table = (bytes[at + 9] & 0x80) ? 3u << ((bytes[at + 9] & 7) + 1) : 0;
                    put(at + 10 + table, 1, value(2));
                }
            }
            return;
        case 4:  // a control block's length
            if (!starts.empty())
                put(starts[below(starts.size())] + 2, 1, value(4));
            return;
        default:  // a sub-block length inside the image data
            if (!descriptors.empty()) {
                const size_t at = descriptors[below(descriptors.size())] + 11 + below(8);
                put(at, 1, value(0));
            }
            return;
        }
    }
    case TPictureKind::Bitmap: {
        const bool core = get(14, 4) == 12;
        struct TField {
            size_t At;
            int Size;
        };
        const std::vector<TField> fields =
            core ? std::vector<TField>{{2, 4}, {10, 4}, {14, 4}, {18, 2}, {20, 2}, {22, 2}, {24, 2}}
                 : std::vector<TField>{{2, 4},  {10, 4}, {14, 4}, {18, 4}, {22, 4}, {26, 2},
                                       {28, 2}, {30, 4}, {34, 4}, {46, 4}, {50, 4}};
        if (below(4) == 0) {  // the colour table or masks
            const size_t table = 14 + get(14, 4);
            if (table < bytes.size())
                put(table + below(16), 1, value(0));
            return;
        }
        const TField field = fields[below(fields.size())];
        put(field.At, field.Size, value(get(field.At, field.Size)));
        return;
    }
    case TPictureKind::Jpeg: {
        size_t scan = 0;
        const auto segments = JpegSegments(bytes, scan);
        if (segments.empty())
            return;
        const size_t segment = segments[below(segments.size())];
        const size_t length = get(segment + 2, 1) << 8 | get(segment + 3, 1);
        switch (below(7)) {
        case 0:  // the marker
            bytes[segment + 1] = static_cast<uint8_t>(value(bytes[segment + 1]));
            return;
        case 1:  // the segment's length
            put(segment + 2, 2, value(static_cast<uint32_t>(length)), true);
            return;
        case 2: {  // the segment left out
            const size_t end = std::min(bytes.size(), segment + 2 + length);
            bytes.erase(bytes.begin() + static_cast<ptrdiff_t>(segment), bytes.begin() + static_cast<ptrdiff_t>(end));
            return;
        }
        case 3: {  // the segment twice
            const size_t end = std::min(bytes.size(), segment + 2 + length);
            std::vector<uint8_t> copy(bytes.begin() + static_cast<ptrdiff_t>(segment),
                                      bytes.begin() + static_cast<ptrdiff_t>(end));
            bytes.insert(bytes.begin() + static_cast<ptrdiff_t>(end), copy.begin(), copy.end());
            return;
        }
        case 4:  // a field inside the segment: sizes, precision, components, tables
            put(segment + 4 + below(std::max<size_t>(length, 2)), below(2) ? 2 : 1, value(get(segment + 4, 2)),
                true);
            return;
        case 5:  // a marker inside the scan data
            if (scan + 2 < bytes.size()) {
                const size_t at = scan + below(bytes.size() - scan - 1);
                bytes[at] = 0xFF;
                bytes[at + 1] = static_cast<uint8_t>(value(0xD9));
            }
            return;
        default:  // the end marker gone
            if (bytes.size() >= 2 && bytes[bytes.size() - 2] == 0xFF)
                bytes.resize(bytes.size() - 2);
            return;
        }
    }
    }
}

}  // namespace

// Set PICTURE_DAMAGE_ROUNDS (and PICTURE_DAMAGE_SEED) for longer runs by hand.
TEST(HTMLPicture, DamagedPicturesAreRefusedWithoutAFault) {
    const std::vector<TDamageSample> samples{
        {TPictureKind::Gif, AnimatedGif({1, 2})}, {TPictureKind::Gif, LocalTableGif()},
        {TPictureKind::Bitmap, BitmapBytes()},    {TPictureKind::Bitmap, PaletteBitmap()},
        {TPictureKind::Bitmap, RunLengthBitmap()}, {TPictureKind::Bitmap, MaskedBitmap()},
        {TPictureKind::Bitmap, CoreBitmap()},     {TPictureKind::Jpeg, JpegBytes(16, 16)},
        {TPictureKind::Jpeg, JpegBytes(33, 17)},
    };
    const size_t rounds = EnvironmentNumber("PICTURE_DAMAGE_ROUNDS", 5000);
    std::mt19937 random(static_cast<uint32_t>(EnvironmentNumber("PICTURE_DAMAGE_SEED", 4105)));
    TAccessViolationCount faults;
    size_t loaded = 0;
    size_t refused = 0;
    for (size_t round = 0; round < rounds; ++round) {
        TDamageSample sample = samples[round % samples.size()];
        for (size_t damage = 1 + random() % 3; damage > 0; --damage)
            DamageOnce(sample, random);
        auto attempt = [&](const std::function<void()>& load) {
            try {
                load();
                return true;
            } catch (const EInvalidGraphic& error) {
                EXPECT_EQ(error.Message, "Could not load image. Invalid format") << "round " << round;
                return false;
            }
        };
        THTMLPicture picture;
        if (attempt([&] { picture.LoadFromBytes(sample.Bytes); })) {
            ++loaded;
            TBitmap target(16, 16);
            target.Canvas().Draw(0, 0, picture);
        } else {
            ++refused;
        }
        if (sample.Kind == TPictureKind::Gif)
            attempt([&] { picture.SetFrame(2); });
        ASSERT_EQ(faults.Value(), 0) << "round " << round;
    }
    EXPECT_GT(loaded, 0u);
    EXPECT_GT(refused, 0u);
    std::printf("%zu damaged pictures: %zu loaded, %zu refused\n", rounds, loaded, refused);
}

namespace {

void PutSegment(std::vector<uint8_t>& jpeg, uint8_t marker, const std::vector<uint8_t>& body) {
    const size_t length = body.size() + 2;
    jpeg.insert(jpeg.end(), {0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    jpeg.insert(jpeg.end(), body.begin(), body.end());
}

// A progressive grey JPEG whose scans hold no data: one scan of the DC coefficients, then scans
// of the AC ones, each ten bytes. padding bytes of comments come before the scans.
std::vector<uint8_t> EmptyScansJpeg(int width, int height, int scans, size_t padding = 0) {
    std::vector<uint8_t> jpeg{0xFF, 0xD8};
    std::vector<uint8_t> quantization{0};
    quantization.insert(quantization.end(), 64, 1);
    PutSegment(jpeg, 0xDB, quantization);
    PutSegment(jpeg, 0xC2,
               {8, static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height), static_cast<uint8_t>(width >> 8),
                static_cast<uint8_t>(width), 1, 1, 0x11, 0});
    for (uint8_t table : {0x00, 0x10}) {  // DC and AC table 0: one code, for symbol 0
        std::vector<uint8_t> codes{table, 1};
        codes.insert(codes.end(), 16, 0);
        PutSegment(jpeg, 0xC4, codes);
    }
    while (padding > 0) {
        const size_t part = std::min<size_t>(padding, 60000);
        PutSegment(jpeg, 0xFE, std::vector<uint8_t>(part, 'x'));
        padding -= part;
    }
    for (int i = 0; i < scans; ++i) {
        const uint8_t first = i == 0 ? 0 : 1;
        const uint8_t last = i == 0 ? 0 : 63;
        PutSegment(jpeg, 0xDA, {1, 1, 0x00, first, last, 0});
    }
    jpeg.insert(jpeg.end(), {0xFF, 0xD9});
    return jpeg;
}

// A picture of one grey level as libjpeg writes it: with the scans of script, or with its own
// progression when there is none.
std::vector<uint8_t> FlatJpeg(int width, int height, int components, const std::vector<jpeg_scan_info>& script) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    if (script.empty()) {
        jpeg_simple_progression(&info);
    } else {
        info.scan_info = script.data();
        info.num_scans = static_cast<int>(script.size());
    }
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(static_cast<size_t>(width) * static_cast<size_t>(components), 128);
    JSAMPROW rows[] = {row.data()};
    while (info.next_scanline < info.image_height)
        jpeg_write_scanlines(&info, rows, 1);
    jpeg_finish_compress(&info);
    std::vector<uint8_t> bytes(buffer, buffer + size);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return bytes;
}

std::chrono::milliseconds Elapsed(std::chrono::steady_clock::time_point started) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
}

}  // namespace

// Each scan of a progressive picture has the decoder visit every block of its components, even
// a scan without data: a few bytes a scan make a large picture cost seconds a scan.
TEST(HTMLPicture, ProgressiveScansWithoutDataAreRefusedAtOnce) {
    for (int scans : {1000, 100, 10}) {
        const auto jpeg = EmptyScansJpeg(8192, 8192, scans);
        THTMLPicture picture;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_THROW(picture.LoadFromBytes(jpeg), EInvalidGraphic) << scans << " scans";
        EXPECT_LT(Elapsed(started).count(), 1000) << scans << " scans, " << jpeg.size() << " bytes";
    }
    // A small picture may have as many scans as any encoder writes, not more.
    const auto most = EmptyScansJpeg(64, 64, 100);
    EXPECT_TRUE(IsWellFormedJpeg(most.data(), most.size()));
    const auto tooMany = EmptyScansJpeg(64, 64, 101);
    EXPECT_FALSE(IsWellFormedJpeg(tooMany.data(), tooMany.size()));
}

// The work allowed grows with the bytes: the same large picture with ten empty scans passes once
// its file is large enough to pay for them, and its check takes time in proportion.
TEST(HTMLPicture, ProgressiveWorkAllowedGrowsWithTheSize) {
    const auto small = EmptyScansJpeg(8192, 8192, 10);
    const auto large = EmptyScansJpeg(8192, 8192, 10, 100000);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(IsWellFormedJpeg(small.data(), small.size()));
    EXPECT_LT(Elapsed(started).count(), 100);
    const auto largeStarted = std::chrono::steady_clock::now();
    EXPECT_TRUE(IsWellFormedJpeg(large.data(), large.size()));
    std::printf("%zu bytes: ten empty scans of 8192 x 8192 checked in %lld ms\n", large.size(),
                static_cast<long long>(Elapsed(largeStarted).count()));
}

// The flattest pictures real encoders write cost the most work a byte: one bit a block for the
// DC coefficients, and the AC scans hardly more than their headers. They pass.
TEST(HTMLPicture, FlatProgressivePicturesOfRealEncodersPass) {
    // libjpeg's own progression, grey and in colour.
    for (int components : {1, 3}) {
        const auto jpeg = FlatJpeg(4096, 4096, components, {});
        EXPECT_TRUE(IsWellFormedJpeg(jpeg.data(), jpeg.size())) << components << " components, " << jpeg.size();
    }
    // Ten scans of the bands of the coefficients, each sent whole: the most visits a byte.
    std::vector<jpeg_scan_info> bands;
    const int limits[][2] = {{0, 0}, {1, 1}, {2, 2}, {3, 5}, {6, 9}, {10, 14}, {15, 20}, {21, 27}, {28, 35}, {36, 63}};
    for (const auto& band : limits)
        bands.push_back(jpeg_scan_info{1, {0, 0, 0, 0}, band[0], band[1], 0, 0});
    const auto banded = FlatJpeg(4096, 4096, 1, bands);
    EXPECT_TRUE(IsWellFormedJpeg(banded.data(), banded.size())) << banded.size() << " bytes";
    // Sixty-four scans, one a coefficient, of a smaller picture.
    std::vector<jpeg_scan_info> single;
    for (int k = 0; k < 64; ++k)
        single.push_back(jpeg_scan_info{1, {0, 0, 0, 0}, k, k, 0, 0});
    const auto many = FlatJpeg(256, 256, 1, single);
    EXPECT_TRUE(IsWellFormedJpeg(many.data(), many.size()));
}
