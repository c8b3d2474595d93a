#include "PictureContainer.h"

#include "Jpeg.h"
#include "Streams.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

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
